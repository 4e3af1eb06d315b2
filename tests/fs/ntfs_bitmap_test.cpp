// The walk from $Bitmap bytes to runs of free clusters.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fs/ntfs_bitmap.h"

namespace qelda::fs::ntfs {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Piece {
  Bytes bytes;                 // handed over with addBytes
  std::uint64_t inUse = 0;     // or, when bytes is empty, this many clusters with addInUse
};

std::vector<FreeRun> walk(std::uint64_t limit, const std::vector<Piece>& pieces) {
  FreeClusterWalk w(limit);
  for (const Piece& p : pieces) {
    if (p.bytes.empty()) w.addInUse(p.inUse);
    else w.addBytes(platform::ByteView(p.bytes));
  }
  return w.finish();
}

TEST(FreeClusterWalk, RunsFromBits) {
  struct Case {
    const char* what;
    std::uint64_t limit;
    std::vector<Piece> pieces;
    std::vector<FreeRun> expected;
  };
  const std::vector<Case> cases = {
      {"cluster 0 free starts a run at 0", 16, {{{0xFE, 0xFF}}}, {{0, 1}}},
      {"cluster 0 free and cluster 1 free: one run", 16, {{{0xFC, 0xFF}}}, {{0, 2}}},
      {"lowest bit first", 8, {{{0b10110010}}}, {{0, 1}, {2, 2}, {6, 1}}},
      {"all in use", 24, {{{0xFF, 0xFF, 0xFF}}}, {}},
      {"all free, whole bytes", 24, {{{0x00, 0x00, 0x00}}}, {{0, 24}}},
      {"a run across two pieces", 32, {{{0xFF, 0x0F}}, {{0x00, 0xFF}}}, {{12, 12}}},
      {"the limit cuts a byte: bits past it are not clusters", 13, {{{0xFF, 0x00}}}, {{8, 5}}},
      {"the limit ends an open run", 10, {{{0x00, 0x00, 0x00}}}, {{0, 10}}},
      {"bytes past the limit are passed over", 8, {{{0x0F}}, {{0x00, 0x00}}}, {{4, 4}}},
      {"unread clusters count as in use", 24, {{{0x00}}, {{}, 8}, {{0x00}}}, {{0, 8}, {16, 8}}},
      {"unread clusters past the limit", 12, {{{0x00}}, {{}, 1000}, {{0x00}}}, {{0, 8}}},
      {"a limit of 0 gives nothing", 0, {{{0x00, 0x00}}}, {}},
      {"nothing handed over", 100, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(walk(c.limit, c.pieces), c.expected);
  }
}

TEST(FreeClusterWalk, PositionCountsEveryBitUpToTheLimit) {
  FreeClusterWalk w(20);
  const Bytes two = {0x00, 0xFF};
  w.addBytes(platform::ByteView(two));
  EXPECT_EQ(w.position(), 16u);
  EXPECT_FALSE(w.full());
  w.addInUse(100);
  EXPECT_EQ(w.position(), 20u);
  EXPECT_TRUE(w.full());
  w.addBytes(platform::ByteView(two));
  EXPECT_EQ(w.position(), 20u);
  EXPECT_EQ(w.finish(), (std::vector<FreeRun>{{0, 8}}));
}

}  // namespace
}  // namespace qelda::fs::ntfs
