#include "fs/index_entry.h"

#include <gtest/gtest.h>

#include "ntfs/ntfs_test_records.h"

namespace qelda::fs::ntfs {
namespace {

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(NtfsIndexEntries, ReadsEntriesUpToTheEnd) {
  const auto bytes = concat({test::indexEntry(64, 5, u"a.txt", 1, 0x20, 1234),
                             test::indexEntry(65, 5, u"Dir", 3, 0x10000000),
                             test::indexEntry(0, 5, u"$MFT", 3), test::indexEntry(66, 5, u"after", 0),
                             test::lastIndexEntry(), test::indexEntry(67, 5, u"stale")});
  const auto entries = parseIndexEntries(platform::ByteView(bytes), 0, bytes.size(), bytes.size());
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, u"a.txt");
  EXPECT_EQ(entries[0].realSize, 1234u);
  EXPECT_FALSE(entries[0].isFolder());
  EXPECT_TRUE(entries[1].isFolder());
  EXPECT_EQ(entries[2].record, 1u);  // $MFT does not end the node
  EXPECT_EQ(entries[3].name, u"after");
}

TEST(NtfsIndexEntries, FolderBitIsTheIndexFlagOnly) {
  struct Case {
    std::uint32_t attributes;
    bool folder;
  } cases[] = {{0x10000000, true}, {0x10000006, true}, {0x20000006, false},  // $Secure's view index
               {0x00000020, false}, {0x0000040C, false}};                    // a reparse point
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attributes);
    const auto bytes = test::indexEntry(70, 5, u"x", 1, c.attributes);
    const auto entries = parseIndexEntries(platform::ByteView(bytes), 0, bytes.size(), bytes.size());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].isFolder(), c.folder);
  }
}

TEST(NtfsIndexEntries, DamagedEntriesEndOrSkipWithoutOverrun) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint16_t value;
    std::size_t expected;
  } cases[] = {
      {"huge entry length", 8, 0xFFF8, 0},
      {"entry length below the header", 8, 0x08, 0},
      {"zero length", 8, 0, 0},
      {"name longer than the entry", 0x50, 0x00FF, 1},  // passed over, the next one read
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = concat({test::indexEntry(64, 5, u"a.txt"), test::indexEntry(65, 5, u"b.txt"), test::lastIndexEntry()});
    if (c.offset == 0x50) bytes[c.offset] = std::uint8_t(c.value);
    else platform::putLe16(&bytes[c.offset], c.value);
    const auto entries = parseIndexEntries(platform::ByteView(bytes), 0, bytes.size(), bytes.size());
    EXPECT_EQ(entries.size(), c.expected);
  }
}

TEST(NtfsIndexBlock, FixupChecksTheUpdateSequence) {
  std::vector<std::uint8_t> block(4096, 0);
  const char sig[] = "INDX";
  std::copy(sig, sig + 4, block.begin());
  platform::putLe16(&block[4], 0x28);
  platform::putLe16(&block[6], 9);
  for (int k = 0; k < 8; ++k) {
    platform::putLe16(&block[0x2A + 2 * k], std::uint16_t(0x1000 + k));
    platform::putLe16(&block[k * 512 + 510], 0x0042);
  }
  auto good = block;
  ASSERT_TRUE(applyIndexBlockFixup(good));
  for (int k = 0; k < 8; ++k) EXPECT_EQ(*platform::ByteView(good).le16(k * 512 + 510), 0x1000 + k);

  struct Case {
    const char* what;
    std::size_t offset;
    std::uint16_t value;
  } cases[] = {{"count for 2048 bytes", 6, 5}, {"count huge", 6, 0xFFFF}, {"array past sector 0", 4, 0x1F8},
               {"array inside the header", 4, 0x10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bad = block;
    platform::putLe16(&bad[c.offset], c.value);
    EXPECT_FALSE(applyIndexBlockFixup(bad));
  }
}

TEST(NtfsIndexBlock, EntriesStayInsideTheNode) {
  std::vector<std::uint8_t> block(4096, 0);
  platform::putLe32(&block[0x18], 0x28);  // entries at 0x40
  platform::putLe32(&block[0x20], 0x200);  // node allocation ends at 0x218
  const auto e = test::indexEntry(64, 5, u"inside");
  std::copy(e.begin(), e.end(), block.begin() + 0x40);
  const auto f = test::indexEntry(65, 5, u"straddles");
  std::copy(f.begin(), f.end(), block.begin() + 0x40 + e.size());
  platform::putLe16(&block[0x40 + e.size() + 8], 0x400);  // runs past the node
  const auto entries = parseIndexBlock(platform::ByteView(block));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, u"inside");
}

}  // namespace
}  // namespace qelda::fs::ntfs
