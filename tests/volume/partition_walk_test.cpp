// The MBR/EBR walk and the source list, through the real mount step: on hand-made disks
// for the chains real tools will not write, and on the corpus disks against fsstat.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "platform/log.h"
#include "platform/text.h"
#include "volume/partition_list.h"
#include "volume/volume_records.h"
#include "support/boot_sectors.h"
#include "support/flat_disk.h"
#include "support/missing_images.h"
#include "support/test_images.h"

namespace qelda::volume {
namespace {

using test::exFatBoot;
using test::FlatDisk;
using test::ntfsBoot;
using test::partitionTable;
using test::Sector;
using Entry = test::TableEntry;

Sector table(std::initializer_list<Entry> entries) { return partitionTable(entries); }

// Extended partitions with several logicals (mbr.raw) are walked end to end, starts and
// lengths against mmls by check_source_list.sh and every field against fsstat below; here,
// the tables no tool writes.

// Entries that claim more than a 100,000-sector disk holds: the list shows the claim, the
// engines get what the disk holds, and the log says so once per such volume.
TEST(PartitionWalk, EntriesPastTheDiskAreListedAsClaimedAndReadToTheDiskEndOnly) {
  struct Case {
    const char* what;
    Entry entry;
    std::uint64_t readable;                  // m_nSectorCount
    std::optional<std::uint64_t> claimed;    // claimedSectorCount
    const char16_t* sizeText;
  } cases[] = {
      {"inside the disk", {0x07, 2048, 90'000}, 90'000, std::nullopt, u"43.95 MB"},
      {"to the last sector exactly", {0x07, 2048, 97'952}, 97'952, std::nullopt, u"47.83 MB"},
      {"2 TiB claimed", {0x07, 2048, 0xFFFFFFFFu}, 97'952, 0xFFFFFFFFull, u"2048.00 GB"},
      {"one sector too many", {0x07, 2048, 97'953}, 97'952, 97'953ull, u"47.83 MB"},
      {"starting past the end", {0x07, 0xFFFFFF00u, 0x100}, 0, 0x100ull, u"128.00 KB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FlatDisk disk(100'000);
    platform::TextLog log;
    disk.app.layoutLog_ = &log;
    disk.put(0, table({c.entry}));
    disk.put(2048, ntfsBoot(8, 4, 1000));
    ASSERT_EQ(disk.mount(), app::MountOutcome::Mounted);
    const auto v = disk.volumes();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->m_nSectorCount, c.readable);
    EXPECT_EQ(v[0]->m_nLastSector, v[0]->m_nStartSector + c.readable);
    EXPECT_EQ(v[0]->claimedSectorCount, c.claimed);
    EXPECT_EQ(v[0]->m_szSizeText, c.sizeText);
    EXPECT_EQ(v[0]->m_nSizeBytes, std::uint64_t(c.entry.count) * 512);
    const auto notes = log.entries();
    ASSERT_EQ(notes.size(), c.claimed ? 1u : 0u);
    if (c.claimed) {
      EXPECT_NE(notes[0].find(u"VMDK-Vol 0: the partition table gives " +
                              platform::widenLatin1(std::to_string(*c.claimed))),
                std::u16string::npos);
    }
  }
}

// What the engines take from the selected volume: its sectors on the disk, never the claim.
TEST(PartitionWalk, EnginesReadAVolumeCutAtTheDiskEnd) {
  FlatDisk disk(100'000);
  disk.put(0, table({{0x07, 2048, 0xFFFFFFFFu}, {0x06, 0xFFFFFF00u, 0x100}}));
  disk.put(2048, ntfsBoot(8, 4, 1000));
  ASSERT_EQ(disk.mount(), app::MountOutcome::Mounted);
  DEVICE_ENTRY* ntfsEntry = disk.app.m_pSourceList->m_pNext;
  ASSERT_NE(ntfsEntry, nullptr);
  disk.app.m_pSelectedSource = ntfsEntry;
  ntfs::CNtfsEngine ntfs(disk.app, nullptr, nullptr, nullptr);
  ntfs.Initialize(0);
  EXPECT_EQ(ntfs.m_nPartitionStart, 2048u);
  EXPECT_EQ(ntfs.m_nSectorCount, 100'000u - 2048);
  EXPECT_EQ(ntfs.m_nLastSector, 100'000u);

  disk.app.m_pSelectedSource = ntfsEntry->m_pNext;
  ASSERT_NE(disk.app.m_pSelectedSource, nullptr);
  platform::TextLog log;
  fat::CFatEngine fat(disk.app, log, disk.notifier);
  fat.Initialize(0);
  EXPECT_EQ(fat.m_nTotalSectors, 0u);
  EXPECT_EQ(fat.m_nLastSector, 0xFFFFFF00u);
}

TEST(PartitionWalk, DamagedChainsEndAndListEachVolumeOnce) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint64_t, Sector>> tables;  // sector, table
    std::vector<std::uint64_t> starts;
  } cases[] = {
      {"an EBR linking to itself (link sector 0)",
       {{0, table({{0x05, 1000, 5000}})}, {1000, table({{0x06, 10, 100}, {0x05, 0, 100}})}},
       {1010}},
      {"two EBRs linking to each other",
       {{0, table({{0x05, 1000, 5000}})},
        {1000, table({{0x06, 10, 100}, {0x05, 2000, 100}})},
        {3000, table({{0x06, 20, 100}, {0x0F, 0, 100}})}},
       {1010, 3020}},
      {"a link past the end of the disk",
       {{0, table({{0x05, 1000, 5000}})}, {1000, table({{0x06, 10, 100}, {0x05, 0xFFFFFF00u, 100}})}},
       {1010}},
      {"two extended entries in the MBR: the chain starts at the first",
       {{0, table({{0x05, 1000, 5000}, {0x0F, 2000, 5000}})},
        {1000, table({{0x06, 10, 100}})},
        {2000, table({{0x06, 20, 100}})}},
       {1010}},
      {"count 0 and Linux entries are not listed",
       {{0, table({{0x07, 100, 0}, {0x83, 200, 100}, {0x06, 300, 100}, {0x00, 400, 100}})}},
       {300}},
      {"a table without its signature adds nothing",
       {{0, table({{0x05, 1000, 5000}})}, {1000, [] { auto t = table({{0x06, 10, 100}}); t[511] = 0; return t; }()}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FlatDisk disk(10'000);
    for (const auto& [sector, bytes] : c.tables) disk.put(sector, bytes);
    disk.mount();
    EXPECT_EQ(disk.starts(), c.starts);
  }
}

TEST(PartitionWalk, ChainIsCutAfter1024Links) {
  FlatDisk disk(4000);
  disk.put(0, table({{0x05, 1, 3000}}));
  // EBR n at sector 1 + 2n holds a volume in the sector after it and links to EBR n + 1.
  for (std::uint32_t n = 0; n < 1500; ++n) disk.put(1 + 2 * n, table({{0x06, 1, 1}, {0x05, 2 * (n + 1), 2}}));
  disk.mount();
  EXPECT_EQ(disk.volumes().size(), 1023u) << "the MBR and 1023 extended boot records";
  EXPECT_EQ(disk.app.m_pVolumeListTail->m_nStartSector, 2u * 1022 + 2);
}

// Cluster sizes no formatter writes: exFAT shifts past 2^7 sectors, NTFS clusters above
// 64 KiB (a negative power of two in the boot sector). An exFAT of no clusters under type 07.
TEST(PartitionWalk, ClusterSizesAtAndPastTheirLimits) {
  struct Case {
    const char* what;
    Sector boot;
    std::uint32_t sectorsPerCluster;
  } cases[] = {
      {"exFAT shift 3", exFatBoot(2048, 16, 16384, 0, 5, 3), 8},
      {"exFAT shift 0", exFatBoot(2048, 16, 16384, 0, 5, 0), 1},
      {"exFAT shift 7", exFatBoot(2048, 16, 16384, 0, 5, 7), 128},
      {"exFAT shift 8", exFatBoot(2048, 16, 16384, 0, 5, 8), 0},
      {"exFAT shift 26", exFatBoot(2048, 16, 16384, 0, 5, 26), 0},
      {"exFAT shift 255", exFatBoot(2048, 16, 16384, 0, 5, 255), 0},
      {"NTFS 0xF4: 2^(256 - 244) sectors", ntfsBoot(0xF4, 3, 5), 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FlatDisk disk(20'000);
    disk.put(0, table({{0x07, 2048, 16384}}));
    disk.put(2048, c.boot);
    disk.mount();
    const auto v = disk.volumes();
    ASSERT_EQ(v.size(), 1u);
    if (v[0]->m_byFileSystem == kFsNtfs) {
      EXPECT_EQ(v[0]->m_wNtfsSectorsPerCluster, c.sectorsPerCluster);
      EXPECT_EQ(v[0]->m_nMftSector, 3u * 4096);
    } else {
      EXPECT_EQ(v[0]->m_byFileSystem, kFsExFat);
      EXPECT_EQ(v[0]->m_bySectorsPerCluster, c.sectorsPerCluster);
    }
  }
}

// A type-0x07 volume is NTFS unless its first sector says exFAT, or, when that sector is
// damaged, its exFAT backup boot sector (12 sectors in) is sound: then it is exFAT, with the
// backup's geometry. Anything less keeps the name the partition type gives.
TEST(PartitionWalk, ADamagedExFatBootSectorIsReplacedByItsBackup) {
  Sector garbage{};
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = std::uint8_t(i * 7 + 1);
  const Sector backup = exFatBoot(128, 64, 16384, 2000, 6, 3);
  const Sector unsound = exFatBoot(128, 64, 16384, 0, 6, 3);  // no clusters
  const Sector tooLong = exFatBoot(20000, 64, 40000, 2000, 6, 3);  // its FAT lies past the partition
  struct Case {
    const char* what;
    Sector first, twelfth;
    std::uint8_t fileSystem;
  } cases[] = {
      {"first sector zeroed, backup sound", Sector{}, backup, kFsExFat},
      {"first sector overwritten, backup sound", garbage, backup, kFsExFat},
      {"first sector zeroed, no backup", Sector{}, Sector{}, kFsNtfs},
      {"first sector zeroed, backup without clusters", Sector{}, unsound, kFsNtfs},
      {"first sector zeroed, backup larger than the partition", Sector{}, tooLong, kFsNtfs},
      {"a sound NTFS boot sector wins over sector 12", ntfsBoot(8, 4, 2), backup, kFsNtfs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FlatDisk disk(20'000);
    disk.put(0, table({{0x07, 2048, 16384}}));
    disk.put(2048, c.first);
    disk.put(2048 + 12, c.twelfth);
    ASSERT_EQ(disk.mount(), app::MountOutcome::Mounted);
    const auto v = disk.volumes();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->m_byFileSystem, c.fileSystem);
    EXPECT_EQ(v[0]->m_szFileSystem, c.fileSystem == kFsExFat ? u"exFAT" : u"NTFS");
    if (c.fileSystem == kFsExFat) {
      EXPECT_EQ(v[0]->m_bySectorsPerCluster, 8u);
      EXPECT_EQ(v[0]->m_nReservedSectors, 128u);
      EXPECT_EQ(v[0]->m_nFatSectors, 64u);
      EXPECT_EQ(v[0]->m_nRootCluster, 6u);
    }
  }
  // The partition type decides first: a FAT32 entry stays FAT32 whatever sector 12 holds.
  FlatDisk disk(20'000);
  disk.put(0, table({{0x0C, 2048, 16384}}));
  disk.put(2048 + 12, backup);
  disk.mount();
  ASSERT_EQ(disk.volumes().size(), 1u);
  EXPECT_EQ(disk.volumes()[0]->m_byFileSystem, kFsFat32);
}

TEST(PartitionWalk, SourceListStartsWithTheWholeDiskAndKeepsTheTail) {
  FlatDisk disk(20'000);
  disk.put(0, table({{0x06, 100, 1000}, {0x07, 2000, 1000}}));
  disk.put(2000, ntfsBoot(8, 4, 100));
  ASSERT_EQ(disk.mount(), app::MountOutcome::Mounted);
  const app::CQELDAApp& app = disk.app;
  const DEVICE_ENTRY* e = app.m_pSourceList;
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->m_wIndex, 0);
  EXPECT_EQ(e->m_byKind, kKindWholeDisk);
  ASSERT_NE(e->m_pDetail.drive(), nullptr);
  EXPECT_EQ(e->m_pDetail.drive()->m_byDrive, 0x80);
  EXPECT_EQ(e->m_pDetail.drive()->m_nSizeSectors, 20'000u);
  EXPECT_EQ(e->m_pDetail.drive()->m_szSizeText, u"9.77 MB");
  EXPECT_EQ(app.m_pSourceCursor->m_wIndex, 2);  // numbering and kinds: check_source_list.sh
  // The volume list is still whole after the source list was built from it.
  ASSERT_NE(app.m_pVolumeListTail, nullptr);
  EXPECT_EQ(app.m_pVolumeListTail->m_nStartSector, 2000u);
  EXPECT_EQ(app.m_pVolumeList->m_pNext, app.m_pVolumeListTail);
  // The FAT16 volume's boot sector is zeros: its record is typed by the partition type.
  EXPECT_EQ(disk.volumes()[0]->m_byFileSystem, kFsFat16);
  EXPECT_EQ(disk.volumes()[0]->m_szFileSystem, u"FAT");
  EXPECT_EQ(disk.volumes()[0]->m_bySectorsPerCluster, 0);
  EXPECT_EQ(disk.volumes()[0]->m_nRootCluster, 0u);

  // A later search appends behind the last volume.
  appendVolumeNode(disk.app, 5000, 10, {}, 0x07);
  EXPECT_EQ(app.m_pVolumeList->m_pNext->m_pNext->m_nStartSector, 5000u);
}

TEST(PartitionWalk, EmptyDiskListsOnlyTheWholeDisk) {
  FlatDisk disk(1000);
  ASSERT_EQ(disk.mount(), app::MountOutcome::Mounted);
  EXPECT_EQ(disk.app.m_bImageNoLayout.load(), 1u);
  ASSERT_NE(disk.app.m_pSourceList, nullptr);
  EXPECT_EQ(disk.app.m_pSourceList->m_pNext, nullptr);
  EXPECT_TRUE(disk.notifier.shown.empty());
}

TEST(PartitionWalk, NewMountReplacesTheListsAndForgetsTheSelection) {
  FlatDisk disk(20'000);
  disk.put(0, table({{0x06, 100, 1000}, {0x06, 2000, 1000}}));
  disk.mount();
  disk.app.m_pSelectedSource = disk.app.m_pSourceList->m_pNext;
  ASSERT_EQ(disk.volumes().size(), 2u);
  disk.put(0, table({{0x06, 100, 1000}}));
  disk.mount();
  EXPECT_EQ(disk.volumes().size(), 1u);
  EXPECT_EQ(disk.app.volumeNodes_.size(), 1u);
  EXPECT_EQ(disk.app.sourceEntries_.size(), 2u);
  EXPECT_EQ(disk.app.m_pSelectedSource, nullptr);
}

// --- the corpus, against fsstat and dump.exfat --------------------------------------------------

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

constexpr std::uint64_t kMissing = UINT64_MAX;

// The first number after `label` in `text`.
std::uint64_t numberAfter(const std::string& text, const std::string& label) {
  const auto at = text.find(label);
  if (at == std::string::npos) return kMissing;
  std::size_t i = at + label.size();
  while (i < text.size() && !std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  return i < text.size() ? std::stoull(text.substr(i)) : kMissing;
}

// `label` followed by "A - B": both numbers.
std::pair<std::uint64_t, std::uint64_t> rangeAfter(const std::string& text, const std::string& label) {
  const std::regex re(std::regex_replace(label, std::regex(R"([*.])"), R"(\$&)") + R"(\s*(\d+)\s*-\s*(\d+))");
  std::smatch m;
  if (!std::regex_search(text, m, re)) return {kMissing, kMissing};
  return {std::stoull(m[1]), std::stoull(m[2])};
}

// Every volume of images/NAME.raw (oracle/NAME.parts) against its fsstat or dump.exfat
// output; the ones at `unlisted` (under a Linux type) must not be listed.
TEST(CorpusDisk, EveryVolumesGeometryMatchesFsstat) {
  const struct {
    std::string name;
    std::set<std::uint64_t> unlisted;
  } disks[] = {{"mbr-4prim", {}}, {"mbr", {180224}}, {"gpt", {92160}}};  // the FAT12s under Linux types
  for (const auto& [name, unlisted] : disks) {
    FlatDisk disk(test::testImage(name + ".raw"));
    if (!disk.exists()) QELDA_SKIP_WITHOUT_IMAGES() << "corpus not built";
    ASSERT_EQ(disk.mount(), app::MountOutcome::Mounted);
    std::ifstream table(test::testImage("oracle/" + name + ".parts"));
    std::string n, fs;
    std::uint64_t start = 0, count = 0;
    int checked = 0;
    while (table >> n >> start >> count >> fs) {
      SCOPED_TRACE(name + " p" + n + " " + fs);
      const VOLUME_RECORD* v = disk.volumeAt(start);
      if (unlisted.count(start)) {
        EXPECT_EQ(v, nullptr);
        continue;
      }
      ASSERT_NE(v, nullptr);
      ++checked;
      EXPECT_EQ(v->m_nSectorCount, count);
      const std::string base = test::testImage("oracle/" + name + "-p" + n);
      if (fs == "exfat") {
        const std::string d = readFile(base + ".dump.exfat");
        EXPECT_EQ(v->m_byFileSystem, kFsExFat);
        EXPECT_EQ(std::uint64_t(v->m_bySectorsPerCluster), 1ull << numberAfter(d, "Sector per Cluster bits:"));
        EXPECT_EQ(std::uint64_t(v->m_nReservedSectors), numberAfter(d, "FAT Offset(sector offset):"));
        EXPECT_EQ(std::uint64_t(v->m_nFatSectors), numberAfter(d, "FAT Length(sectors):"));
        EXPECT_EQ(std::uint64_t(v->m_nRootCluster), numberAfter(d, "Root Cluster (cluster offset):"));
        continue;
      }
      const std::string f = readFile(base + ".fsstat");
      const std::uint64_t clusterSectors = numberAfter(f, "Cluster Size:") / 512;
      if (fs == "ntfs") {
        EXPECT_EQ(v->m_byFileSystem, kFsNtfs);
        EXPECT_EQ(std::uint64_t(v->m_wNtfsSectorsPerCluster), clusterSectors);
        EXPECT_EQ(v->m_nMftSector, numberAfter(f, "First Cluster of MFT:") * clusterSectors);
        EXPECT_EQ(v->m_nMftMirrSector, numberAfter(f, "First Cluster of MFT Mirror:") * clusterSectors);
        continue;
      }
      const auto reserved = rangeAfter(f, "* Reserved:");
      const auto fat0 = rangeAfter(f, "* FAT 0:");
      const auto data = rangeAfter(f, "* Data Area:");
      EXPECT_EQ(v->m_byFileSystem, fs == "fat12" ? kFsFat12 : fs == "fat16" ? kFsFat16 : kFsFat32);
      EXPECT_EQ(std::uint64_t(v->m_bySectorsPerCluster), clusterSectors);
      EXPECT_EQ(std::uint64_t(v->m_nReservedSectors), reserved.second + 1);
      EXPECT_EQ(std::uint64_t(v->m_nFatSectors), fat0.second - fat0.first + 1);
      if (fs == "fat32") {
        const auto root = rangeAfter(f, "*** Root Directory:");
        EXPECT_EQ(v->m_wRootDirSectors, 0);
        EXPECT_EQ(std::uint64_t(v->m_nRootCluster), (root.first - data.first) / clusterSectors + 2);
      } else {
        const auto root = rangeAfter(f, "** Root Directory:");
        EXPECT_EQ(std::uint64_t(v->m_wRootDirSectors), root.second - root.first + 1);
        EXPECT_EQ(v->m_nRootCluster, 0u);
      }
    }
    EXPECT_GT(checked, 0);
  }
}

}  // namespace
}  // namespace qelda::volume
