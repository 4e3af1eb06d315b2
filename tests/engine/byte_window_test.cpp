#include "engine/byte_window.h"

#include <gtest/gtest.h>

#include <limits>

#include "carve/carve_test_support.h"

namespace qelda::engine {
namespace {

using carve::test::Bytes;
using carve::test::MemorySource;

Bytes numbered(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i * 7 + (i >> 9));
  return b;
}

TEST(ByteWindow, ReadsFieldsAtOffsetsFromTheFileStartInBothOrders) {
  MemorySource src(numbered(64 * 512));
  const auto reader = src.reader();
  ByteWindow w(reader, 3, src.sectors(), 4096);  // the file starts at sector 3
  const std::uint64_t base = 3 * 512;
  const auto& b = src.bytes();
  for (std::uint64_t off : {0ull, 1ull, 510ull, 511ull, 4094ull, 4095ull, 9000ull}) {
    SCOPED_TRACE(off);
    const std::uint64_t a = base + off;
    EXPECT_EQ(w.u8(off), b[a]);
    EXPECT_EQ(w.le16(off), std::uint16_t(b[a] | b[a + 1] << 8));
    EXPECT_EQ(w.be16(off), std::uint16_t(b[a] << 8 | b[a + 1]));
    EXPECT_EQ(w.le32(off), std::uint32_t(b[a] | b[a + 1] << 8 | b[a + 2] << 16 | std::uint32_t(b[a + 3]) << 24));
    EXPECT_EQ(w.be32(off), std::uint32_t(std::uint32_t(b[a]) << 24 | b[a + 1] << 16 | b[a + 2] << 8 | b[a + 3]));
    std::uint64_t le = 0, be = 0;
    for (int i = 0; i < 8; ++i) le |= std::uint64_t(b[a + i]) << (8 * i), be = be << 8 | b[a + i];
    EXPECT_EQ(w.le64(off), le);
    EXPECT_EQ(w.be64(off), be);
  }
}

TEST(ByteWindow, NothingIsReadAtOrPastTheSourceEnd) {
  MemorySource src(numbered(10 * 512));
  const auto reader = src.reader();
  ByteWindow w(reader, 2, 6);  // the source, for the finders, ends at sector 6
  EXPECT_EQ(w.size(), 4u * 512);
  EXPECT_TRUE(w.u8(4 * 512 - 1).has_value());
  EXPECT_FALSE(w.u8(4 * 512).has_value());
  EXPECT_FALSE(w.le32(4 * 512 - 2).has_value());
  EXPECT_FALSE(w.bytes(0, 4 * 512 + 1).has_value());
  EXPECT_FALSE(w.le64(std::numeric_limits<std::uint64_t>::max() - 3).has_value());
  EXPECT_FALSE(w.bytes(std::numeric_limits<std::uint64_t>::max(), 1).has_value());
  const auto tail = w.bytesUpTo(4 * 512 - 10, 1000);
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->size(), 10u);
  EXPECT_FALSE(w.bytesUpTo(4 * 512, 10).has_value());
  ByteWindow empty(reader, 6, 2);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_FALSE(empty.u8(0).has_value());
}

TEST(ByteWindow, ARangeAcrossBlocksComesWholeAndIsServedFromTheCacheAfterwards) {
  MemorySource src(numbered(256 * 512));
  const auto reader = src.reader();
  ByteWindow w(reader, 0, src.sectors(), 8192);
  const auto v = w.bytes(8192 - 100, 300);  // straddles the first block's end
  ASSERT_TRUE(v);
  EXPECT_TRUE(std::equal(v->data(), v->data() + 300, src.bytes().begin() + 8192 - 100));
  const std::uint64_t readsBefore = src.reads;
  for (std::uint64_t off = 8192 - 100; off < 8192 + 200; ++off) ASSERT_EQ(w.u8(off), src.bytes()[off]);
  EXPECT_EQ(src.reads.load(), readsBefore);
  Bytes copied(70000);
  ASSERT_TRUE(w.copy(5, copied));
  EXPECT_TRUE(std::equal(copied.begin(), copied.end(), src.bytes().begin() + 5));
}

TEST(ByteWindow, AFailedReadGivesNothingButReadableNeighboursStillRead) {
  MemorySource src(numbered(64 * 512));
  src.badSectors = {20};
  const auto reader = src.reader();
  ByteWindow w(reader, 0, src.sectors(), 16 * 512);
  EXPECT_FALSE(w.u8(20 * 512 + 3).has_value());
  EXPECT_FALSE(w.bytes(19 * 512, 1024).has_value());
  // The block around the bad sector fails as a whole; the sectors asked for alone do not.
  EXPECT_EQ(w.u8(17 * 512), src.bytes()[17 * 512]);
  EXPECT_EQ(w.u8(21 * 512), src.bytes()[21 * 512]);
}

TEST(ByteWindow, FindSeesAPatternAcrossEveryBlockBoundaryAndReportsWhereItStopped) {
  const std::uint8_t pattern[2] = {0xFF, 0xD9};
  for (std::uint64_t at : {0ull, 4095ull, 4096ull, 8191ull, 12287ull, 30000ull}) {
    SCOPED_TRACE(at);
    MemorySource src(Bytes(64 * 512, 0));
    src.bytes()[at] = 0xFF;
    src.bytes()[at + 1] = 0xD9;
    const auto reader = src.reader();
    ByteWindow w(reader, 0, src.sectors(), 4096);
    const auto hit = w.find(0, w.size(), pattern);
    ASSERT_TRUE(hit.at);
    EXPECT_EQ(*hit.at, at);
    const auto later = w.find(at + 1, w.size(), pattern);
    EXPECT_FALSE(later.at);
    EXPECT_EQ(later.reached, w.size());
    // The whole pattern must lie before `to`.
    EXPECT_FALSE(w.find(0, at + 1, pattern).at);
  }
  MemorySource src(Bytes(64 * 512, 0));
  src.badSectors = {40};
  const auto reader = src.reader();
  ByteWindow w(reader, 0, src.sectors(), 4096);
  const auto broken = w.find(0, w.size(), pattern);
  EXPECT_FALSE(broken.at);
  EXPECT_LE(broken.reached, 40u * 512);
  std::atomic<std::uint32_t> stop{1};
  EXPECT_EQ(w.find(100, w.size(), pattern, &stop).reached, 100u);
}

}  // namespace
}  // namespace qelda::engine
