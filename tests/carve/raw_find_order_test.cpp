// The order every signature search keeps its finds in: a find whose end is known moves the
// search past the units it takes (the candidate ones only), a find whose end is not known ends
// where the next find begins or where the search ends, and nothing is reported twice.
#include "carve/raw_sweep.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace qelda::carve::test {
namespace {

constexpr std::uint64_t kUnit = 4096;

RawHit find(std::uint64_t unit, std::uint64_t size, bool endKnown) {
  RawHit hit;
  hit.unit = unit;
  hit.match.size = size;
  hit.match.endKnown = endKnown;
  return hit;
}

struct Reported {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> files;  // unit, size
  RawFindOrder order;
  explicit Reported(std::function<bool(std::uint64_t)> isCandidate)
      : order(kUnit, 100, std::move(isCandidate), [this](RawHit&& h) { files.emplace_back(h.unit, h.match.size); }) {}
};

TEST(RawFindOrder, AFindOfUnknownEndEndsAtTheNextFindCountingCandidateUnitsOnly) {
  // Odd units are in use: a file's bytes lie on the even ones from its own on.
  Reported r([](std::uint64_t u) { return u % 2 == 0; });
  r.order.take(find(10, 1'000'000, false));
  EXPECT_TRUE(r.files.empty());  // held until the next find says where it ends
  r.order.take(find(16, 2 * kUnit + 1, true));
  // Units 10, 12 and 14 lie before the next find; its three units end at 22 (20 is its third).
  EXPECT_EQ(r.files, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{10, 3 * kUnit}, {16, 2 * kUnit + 1}}));
  EXPECT_EQ(r.order.skipUntil(), 21u);
  EXPECT_EQ(r.order.bytesBetween(16, 21), 3 * kUnit);
}

TEST(RawFindOrder, TheLastHeldFindEndsWhereTheSearchEndedAndIsReportedOnce) {
  Reported r(nullptr);
  r.order.take(find(90, 1'000'000, false));
  r.order.finish(95);
  r.order.finish(100);
  EXPECT_EQ(r.files, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{90, 5 * kUnit}}));
  // A known end is kept as found, and never reaches past the last unit.
  r.order.take(find(96, 9 * kUnit, true));
  EXPECT_EQ(r.order.skipUntil(), 100u);
  EXPECT_EQ(r.files.back(), (std::pair<std::uint64_t, std::uint64_t>{96, 9 * kUnit}));
}

}  // namespace
}  // namespace qelda::carve::test
