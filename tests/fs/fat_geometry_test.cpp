// The parameter rebuild's votes and acceptance, on finds and FAT signatures made in code.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "fs/fat_dir_entry.h"
#include "fs/fat_geometry.h"
#include "fs/fat_layout.h"
#include "platform/byte_view.h"

namespace qelda::fs::fat {
namespace {

using platform::ByteView;

// Finds of directory clusters laid out as a volume with data start `dataStart` and `spc`
// sectors per cluster would have them.
std::vector<DirFind> findsAt(std::uint64_t dataStart, std::uint32_t spc, std::initializer_list<std::uint32_t> clusters) {
  std::vector<DirFind> finds;
  for (const std::uint32_t c : clusters) finds.push_back({dataStart + std::uint64_t(c - 2) * spc, c, 0});
  return finds;
}

SignatureProbe signaturesAt(std::set<std::uint64_t> sectors) {
  return [sectors](std::uint64_t s) { return sectors.count(s) != 0; };
}

TEST(FatGeometry, ClusterSizeIsThePowerOfTwoMostPairsAgreeOn) {
  // Sectors 600 and 664 for clusters 10 and 18: 64 sectors over 8 clusters.
  std::vector<DirFind> finds = {{600, 10, 0}, {664, 18, 0}};
  EXPECT_EQ(estimateClusterSize(finds), 8);
  EXPECT_EQ(finds[0].sectorsPerCluster, 8);
  EXPECT_EQ(finds[1].sectorsPerCluster, 8);

  // Three finds of 4 sectors per cluster outvote one odd pair; a find whose pairs give no
  // power of two gets none.
  finds = findsAt(1000, 4, {3, 7, 20});
  finds.push_back({1004 + 600, 103, 0});  // 6 sectors per cluster with respect to each of the others
  EXPECT_EQ(estimateClusterSize(finds), 4);
  EXPECT_EQ(finds[3].sectorsPerCluster, 0);

  // Equal votes: the smaller size wins.
  finds = {{100, 2, 0}, {102, 3, 0}, {1000, 50, 0}, {1004, 51, 0}};  // one pair says 2, one 4; the rest 18 or 19
  EXPECT_EQ(estimateClusterSize(finds), 2);

  finds.clear();
  EXPECT_EQ(estimateClusterSize(finds), 0);
}

TEST(FatGeometry, CandidatesSortByVotesThenLargerClusters) {
  std::vector<StartCandidate> table;
  countStartCandidate(table, 500, 4);
  countStartCandidate(table, 536, 8);
  countStartCandidate(table, 700, 16);
  countStartCandidate(table, 700, 16);
  countStartCandidate(table, 536, 8);
  countStartCandidate(table, 536, 2);
  sortStartCandidates(table);
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[0].dataStart, 700u);  // 2 votes, 16 sectors before 8
  EXPECT_EQ(table[1].dataStart, 536u);
  EXPECT_EQ(table[1].sectorsPerCluster, 8u);
  EXPECT_EQ(table[2].sectorsPerCluster, 4u);  // 1 vote each: 4 before 2
  EXPECT_EQ(table[3].sectorsPerCluster, 2u);
}

TEST(FatGeometry, RebuildsEachTypeFromItsFatSignatures) {
  struct Case {
    const char* what;
    std::vector<DirFind> finds;
    std::uint64_t totalSectors;
    std::set<std::uint64_t> signatures;
    RebuiltGeometry expected;
  };
  const std::vector<Case> cases = {
      // 64 MiB FAT16: 4 reserved, 128 FAT sectors, 32 root sectors: data at 292.
      {"FAT16 with FAT1 at sector 4", findsAt(292, 4, {3, 4, 9}), 131072, {4, 132}, {kFat16, 4, 4, 32, 128, 131072}},
      // FAT1's signature wiped: FAT2's at 4 + 128 gives the reserved sectors.
      {"FAT16 from FAT2 alone", findsAt(292, 4, {3, 4, 9}), 131072, {132}, {kFat16, 4, 4, 32, 128, 131072}},
      // 600 MiB FAT32 of 8-sector clusters: 32 reserved, 1200 FAT sectors, data at 2432.
      {"FAT32 with FAT1 at sector 32", findsAt(2432, 8, {3, 17, 31}), 1228800, {32, 1232}, {kFat32, 8, 32, 0, 1200, 1228800}},
      {"FAT32 from FAT2 alone", findsAt(2432, 8, {3, 17, 31}), 1228800, {1232}, {kFat32, 8, 32, 0, 1200, 1228800}},
      // 4 GiB by mkfs.fat: its 8176 FAT sectors hold 1046528 entries, as many as the volume
      // has room for clusters; the formatter leaves the last of them unused.
      {"FAT32 whose end lies past its FAT", findsAt(16384, 8, {3, 4, 5}), 8388608, {32, 8208},
       {kFat32, 8, 32, 0, 8176, 8388608}},
      // 4 MiB FAT12 of 2-sector clusters: 1 reserved, 12 FAT sectors, 32 root sectors: data at 57.
      {"FAT12", findsAt(57, 2, {3, 6, 11}), 8192, {1, 13}, {kFat12, 2, 1, 32, 12, 8192}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto finds = c.finds;
    const auto g = rebuildGeometry(finds, c.totalSectors, signaturesAt(c.signatures));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->fatType, c.expected.fatType);
    EXPECT_EQ(g->sectorsPerCluster, c.expected.sectorsPerCluster);
    EXPECT_EQ(g->reservedSectors, c.expected.reservedSectors);
    EXPECT_EQ(g->rootDirSectors, c.expected.rootDirSectors);
    EXPECT_EQ(g->sectorsPerFat, c.expected.sectorsPerFat);
  }
}

TEST(FatGeometry, RefusesWhatNoCandidateExplains) {
  struct Case {
    const char* what;
    std::vector<DirFind> finds;
    std::uint64_t totalSectors;
  };
  const std::vector<Case> cases = {
      // Above 555 sectors only clusters of 8 sectors or more vote.
      {"data start 600 with 4-sector clusters", findsAt(600, 4, {3, 4, 9}), 131072},
      // FAT32 of 4-sector clusters: the same rule.
      {"FAT32 with 4-sector clusters", findsAt(2432, 4, {3, 17, 31}), 1228800},
      // A FAT of 300 to 1023 sectors is neither FAT16 nor a FAT32 the formatters make.
      {"FAT of 600 sectors", findsAt(1232, 8, {3, 17, 31}), 614400},
      // More clusters than the FAT can hold: a FAT16 of 100 sectors holds 25600.
      {"volume larger than its FAT", findsAt(4 + 200 + 32, 4, {3, 5, 9}), 4 * 30000 + 236},
      // Finds at sectors past 2^32 from clusters that would wrap a 32-bit data start.
      {"far finds", {{(1ull << 33) + 300, 3, 0}, {(1ull << 33) + 304, 4, 0}, {(1ull << 33) + 308, 5, 0}}, 1ull << 34},
      {"no finds", {}, 131072},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto finds = c.finds;
    EXPECT_FALSE(rebuildGeometry(finds, c.totalSectors, signaturesAt({4, 32})));
  }
}

// 12 FAT12 sectors hold 4096 entries (512 * 8 / 12 a sector), not 12 * 768.
TEST(FatGeometry, Fat12CapacityIsTwelveBitsAnEntry) {
  auto fits = findsAt(57, 2, {3, 6, 11});
  EXPECT_TRUE(rebuildGeometry(fits, 57 + 2 * 4000, signaturesAt({1})));
  auto tooMany = findsAt(57, 2, {3, 6, 11});
  EXPECT_FALSE(rebuildGeometry(tooMany, 57 + 2 * 5000, signaturesAt({1})));
}

TEST(FatDirEntryChecks, VerdictsWithoutReadingTheVolume) {
  const auto entry = [](const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size,
                        std::uint16_t date) {
    std::vector<std::uint8_t> e(32);
    std::copy(name11, name11 + 11, e.begin());
    e[dirent::kAttributes] = attr;
    platform::putLe16(&e[dirent::kClusterHigh], std::uint16_t(cluster >> 16));
    platform::putLe16(&e[dirent::kClusterLow], std::uint16_t(cluster));
    platform::putLe32(&e[dirent::kFileSize], size);
    platform::putLe16(&e[dirent::kWriteDate], date);
    return e;
  };
  constexpr std::uint16_t kDate = (45 << 9) | (6 << 5) | 15;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> e;
    EntryVerdict expected;
  } cases[] = {
      {"file", entry("README  TXT", 0x20, 5, 100, kDate), EntryVerdict::Usable},
      {"folder", entry("SUB        ", 0x10, 5, 0, kDate), EntryVerdict::DirectoryToConfirm},
      {"long-name part", entry("AB\0C\0D\0E\0F\0", 0x0F, 0, 0, 0), EntryVerdict::Skipped},
      {"empty file", entry("EMPTY   TXT", 0x20, 0, 0, kDate), EntryVerdict::Skipped},
      {"label", entry("MY VOLUME  ", 0x08, 0, 0, kDate), EntryVerdict::Skipped},
      {"no attribute", entry("README  TXT", 0x00, 5, 100, kDate), EntryVerdict::Refused},
      {"attribute above 0x3F", entry("README  TXT", 0x60, 5, 100, kDate), EntryVerdict::Refused},
      {"cluster past the bound", entry("README  TXT", 0x20, 5000, 100, kDate), EntryVerdict::Refused},
      {"size past the data area", entry("README  TXT", 0x20, 5, 2000 * 512, kDate), EntryVerdict::Refused},
      {"zero in the name", entry("READ\0   TXT", 0x20, 5, 100, kDate), EntryVerdict::Refused},
      {"no date", entry("README  TXT", 0x20, 5, 100, 0), EntryVerdict::Refused},
      {"month 13", entry("README  TXT", 0x20, 5, 100, (45 << 9) | (13 << 5) | 1), EntryVerdict::Refused},
      {"star in a file name", entry("READ*E  TXT", 0x20, 5, 100, kDate), EntryVerdict::Refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(entryVerdictWithoutReads(ByteView(c.e), 4000, 1000, EntrySite::UnknownData), c.expected);
  }
  // In a folder, an entry without archive, directory or label bit is a plain file; the other
  // checks still hold.
  for (const std::uint8_t attr : {0x00, 0x01, 0x05, 0x07}) {
    SCOPED_TRACE(attr);
    EXPECT_EQ(entryVerdictWithoutReads(ByteView(entry("README  TXT", attr, 5, 100, kDate)), 4000, 1000, EntrySite::Folder),
              EntryVerdict::Usable);
    EXPECT_EQ(entryVerdictWithoutReads(ByteView(entry("README  TXT", attr, 0, 0, kDate)), 4000, 1000, EntrySite::Folder),
              EntryVerdict::Skipped);
    EXPECT_EQ(entryVerdictWithoutReads(ByteView(entry("README  TXT", attr, 5, 100, 0)), 4000, 1000, EntrySite::Folder),
              EntryVerdict::Refused);
  }

  // A cluster may hold entries when its first entry that is not passed over is usable.
  std::vector<std::uint8_t> cluster(512);
  const auto put = [&](std::size_t slot, const std::vector<std::uint8_t>& e) {
    std::copy(e.begin(), e.end(), cluster.begin() + std::ptrdiff_t(slot * 32));
  };
  EXPECT_FALSE(mayHoldDirectoryEntries(ByteView(cluster), 4000, 1000));  // zeros: an end at once
  put(0, entry("AB\0C\0D\0E\0F\0", 0x0F, 0, 0, 0));
  put(1, entry("MY VOLUME  ", 0x08, 0, 0, kDate));
  put(2, entry("README  TXT", 0x20, 5, 100, kDate));
  EXPECT_TRUE(mayHoldDirectoryEntries(ByteView(cluster), 4000, 1000));
  put(1, entry("README  TXT", 0x00, 5, 100, kDate));
  EXPECT_FALSE(mayHoldDirectoryEntries(ByteView(cluster), 4000, 1000));
}

TEST(FatDirEntryChecks, DotEntriesAndTheClusterTheyName) {
  std::vector<std::uint8_t> sector(512);
  std::copy_n(".          ", 11, sector.begin());
  std::copy_n("..         ", 11, sector.begin() + 32);
  platform::putLe16(&sector[dirent::kClusterLow], 0x0005);
  platform::putLe16(&sector[dirent::kClusterHigh], 0x0001);
  EXPECT_TRUE(startsDirectoryCluster(ByteView(sector)));
  EXPECT_EQ(dotEntryCluster(ByteView(sector), kFat32), 0x10005u);
  EXPECT_EQ(dotEntryCluster(ByteView(sector), kFat16), 0x0005u);  // the high word is no part of it there
  sector[33] = 'X';
  EXPECT_FALSE(startsDirectoryCluster(ByteView(sector)));
}

}  // namespace
}  // namespace qelda::fs::fat
