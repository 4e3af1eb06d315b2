#include "engine/item_ids.h"

#include <gtest/gtest.h>

#include <set>

namespace qelda::engine {
namespace {

TEST(ItemIds, MadeUpIdsCountDownFromMinusSixteenAndStartAgain) {
  std::uint32_t next = 2;
  ItemIds ids(next);
  EXPECT_EQ(std::int32_t(ids.takeMadeUp()), -16);
  EXPECT_EQ(std::int32_t(ids.takeMadeUp()), -17);
  ids.restartMadeUp();
  EXPECT_EQ(std::int32_t(ids.takeMadeUp()), -16);
}

TEST(ItemIds, ItemsCountUpInTheEnginesFieldAndNeverTakeTheRootsIds) {
  struct Case {
    std::uint32_t start;
    std::uint32_t first, second;
  };
  // 0 is the found tree's root and 1 "Lost folder(s)": a counter below 2 starts at 2.
  for (const Case c : {Case{0, 2, 3}, Case{1, 2, 3}, Case{2, 2, 3}, Case{10, 10, 11}}) {
    SCOPED_TRACE(c.start);
    std::uint32_t next = 99;
    ItemIds ids(next);
    ids.startAt(c.start);
    EXPECT_EQ(next, c.start);
    EXPECT_EQ(ids.take(), c.first);
    EXPECT_EQ(ids.take(), c.second);
    EXPECT_EQ(next, c.second + 1);
  }
}

TEST(ItemIds, StartingAboveSkipsEveryIdTakenSinceTheScanBegan) {
  std::uint32_t next = 0;
  ItemIds ids(next);
  ids.startAbove(2);
  EXPECT_EQ(ids.take(), 2u);
  ids.startAt(40);
  EXPECT_EQ(ids.take(), 40u);
  ids.startAt(6);  // set back, as a boot sector read again sets it
  ids.startAbove(2);
  EXPECT_EQ(ids.take(), 41u);
  ids.startAbove(100);
  EXPECT_EQ(ids.take(), 100u);
  ids.forgetTaken();
  ids.startAbove(2);
  EXPECT_EQ(ids.take(), 2u);
}

TEST(ItemIds, ItemsAndMadeUpIdsNeverMeet) {
  // Items from just below the made-up ids, made-up ids taken in between: every id given is
  // given once, until the counters meet; then each repeats next to the other's.
  std::uint32_t next = 0;
  ItemIds ids(next);
  ids.startAt(0xFFFFFFE0);
  std::set<std::uint32_t> items, madeUp;
  for (int i = 0; i < 40; ++i) {
    items.insert(ids.take());
    madeUp.insert(ids.takeMadeUp());
  }
  for (const std::uint32_t id : items) EXPECT_EQ(madeUp.count(id), 0u) << id;
  EXPECT_EQ(items.size() + madeUp.size(), 0x10u + 1);  // 0xFFFFFFE0 .. 0xFFFFFFF0, each once
  EXPECT_EQ(items.count(0), 0u);
  EXPECT_EQ(items.count(1), 0u);

  // Without made-up ids the items use the whole range, and stop at its top instead of
  // wrapping round to the root's ids.
  std::uint32_t other = 0;
  ItemIds high(other);
  high.startAt(0xFFFFFFFE);
  EXPECT_EQ(high.take(), 0xFFFFFFFEu);
  EXPECT_EQ(high.take(), 0xFFFFFFFFu);
  EXPECT_EQ(high.take(), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace qelda::engine
