// The lost-volume search on hand-made disks: the cases real tools do not make (a boot
// sector without its mark, a backup alone, counts that overflow, a fragmented $MFT, a FAT
// volume known only by its directories), the numbering and logging of found volumes, and
// what counts as already listed.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/lost_search.h"
#include "lost/lost_volume.h"
#include "lost_disk_builder.h"
#include "platform/text.h"
#include "support/flat_disk.h"
#include "volume/partition_list.h"

namespace qelda::lost::test {
namespace {

constexpr std::uint8_t kImageFound = kKindFoundInImage;
constexpr std::uint8_t kImageRebuilt = kKindRebuiltInImage;

std::string describe(const std::vector<Found>& found) {
  std::string s;
  for (const Found& f : found)
    s += std::to_string(f.kind) + " " + std::string(f.fileSystem.begin(), f.fileSystem.end()) + " " +
         std::to_string(f.start) + " " + std::to_string(f.count) + "\n";
  return s;
}

// --------------------------------------------------------------------- boot-sector tests

struct BootCase {
  const char* what;
  std::uint64_t diskSectors;
  bool deep;
  std::vector<std::pair<std::uint64_t, Sector>> sectors;
  std::vector<std::pair<std::uint64_t, Record>> records;
  std::vector<Found> expected;
};

// A FAT boot sector that gives its volume's total sectors (in the 32-bit field).
Sector withTotal(Sector s, std::uint32_t total) {
  platform::putLe32(&s[32], total);
  return s;
}

// NTFS, FAT32 and exFAT volumes at cylinder and mebibyte starts, NTFS known by its backup
// alone and exFAT by its backup boot region are found on disks real tools made and wiped
// (check_lost_disks.sh); here, the boot sectors and counts no tool writes.
TEST(LostBootSectors, EachTestFindsWhatItsSecondStructureConfirms) {
  const Record mft = RecordBuilder().standardInformation().fileName(u"$MFT").nonResidentData({{8, 4}}, 32768).done();
  const Record notMft = RecordBuilder().standardInformation().fileName(u"$LogFile").nonResidentData({{8, 4}}, 32768).done();
  const std::vector<BootCase> cases = {
      {"NTFS at 63 confirmed by its $MFT record", 40000, false, {{63, ntfsBoot(8, 4, 2, 20000)}}, {{63 + 32, mft}},
       {{kImageFound, u"NTFS", 63, 20000}}},
      {"NTFS at 63 whose $MFT record has another name", 40000, false, {{63, ntfsBoot(8, 4, 2, 20000)}},
       {{63 + 32, notMft}}, {}},
      {"NTFS whose total sectors overflow every sum, confirmed by its $MFT", 40000, false,
       {{63, ntfsBoot(8, 4, 2, UINT64_MAX - 10)}}, {{63 + 32, mft}}, {{kImageFound, u"NTFS", 63, 40000 - 63}}},
      {"NTFS claiming more than the disk is cut at the disk's end", 30000, false,
       {{63, ntfsBoot(8, 4, 2, 50000)}}, {{63 + 32, mft}}, {{kImageFound, u"NTFS", 63, 30000 - 63}}},
      {"FAT16 at 63 without its boot mark", 300000, false,
       {{63, [] { Sector s = fatBoot(4, 1, 512, 200); s[510] = s[511] = 0; return s; }()}, {64, fatSignature()}},
       {}, {{kImageFound, u"FAT", 63, 4 * 200 * 256}}},
      {"FAT16 at 16065 + 63 without its FAT", 200000, false, {{16128, fatBoot(4, 1, 512, 200)}}, {}, {}},
      {"FAT16 at 16065 + 63 with its FAT", 300000, false, {{16128, fatBoot(4, 1, 512, 200)}, {16129, fatSignature()}},
       {}, {{kImageFound, u"FAT", 16128, 4 * 200 * 256}}},
      {"FAT16 whose FAT maps more than its boot sector gives: as long as the boot sector says", 300000, false,
       {{16128, withTotal(fatBoot(4, 1, 512, 200), 100000)}, {16129, fatSignature()}}, {},
       {{kImageFound, u"FAT", 16128, 100000}}},
      {"FAT16 whose boot sector gives more than its FAT maps: what the FAT addresses", 300000, false,
       {{16128, withTotal(fatBoot(4, 1, 512, 200), 250000)}, {16129, fatSignature()}}, {},
       {{kImageFound, u"FAT", 16128, 4 * 200 * 256}}},
      {"FAT whose FAT addresses 4096 sectors or fewer", 200000, false,
       {{16128, fatBoot(1, 1, 512, 16)}, {16129, fatSignature()}}, {}, {}},
      {"exFAT at a cylinder", 200000, false, {{16065, exFatBoot(128, 64, 60000, 7000)}, {16065 + 128, fatSignature()}},
       {}, {{kImageFound, u"exFAT", 16065, 60000}}},
      {"exFAT with no clusters", 200000, false, {{16065, exFatBoot(128, 64, 60000, 0)}, {16065 + 128, fatSignature()}},
       {}, {}},
      {"exFAT known by its backup boot region (deep)", 100000, true,
       {{5000 + 12, exFatBoot(128, 64, 60000, 7000)}, {5000 + 128, fatSignature()}}, {},
       {{kImageFound, u"exFAT", 5000, 60000}}},
      {"exFAT backup candidate below sector 12 (deep)", 100000, true, {{5, exFatBoot(128, 64, 60000, 7000)}}, {}, {}},
      {"a boot sector in the disk's last mebibyte (deep)", 5000, true,
       {{4900, fatBoot(4, 1, 512, 200)}, {4901, fatSignature()}}, {}, {{kImageFound, u"FAT", 4900, 100}}},
      {"a disk of fewer than 2048 sectors (deep)", 1500, true, {{700, fatBoot(4, 1, 512, 200)}, {701, fatSignature()}},
       {}, {{kImageFound, u"FAT", 700, 800}}},
  };
  for (const BootCase& c : cases) {
    SCOPED_TRACE(c.what);
    LostDisk disk(c.diskSectors);
    for (const auto& [at, s] : c.sectors) disk.put(at, s);
    for (const auto& [at, r] : c.records) {
      disk.put(at, r);
      disk.put(at + 8, plainRecord());
    }
    const std::vector<Found> found = disk.search(c.deep);
    EXPECT_EQ(found, c.expected) << describe(found);
  }
}

TEST(LostBootSectors, RecordFieldsFollowEachFileSystemsConventions) {
  LostDisk disk(300000);
  disk.put(63, ntfsBoot(8, 4, 2, 20000));
  disk.put(63 + 20000, ntfsBoot(8, 4, 2, 20000));
  disk.put(32193, fatBoot(1, 32, 0, 0, 308, 2));
  disk.put(32193 + 32, fatSignature());
  disk.put(80325, exFatBoot(2048, 64, 60000, 7000, 5));
  disk.put(80325 + 2048, fatSignature());
  ASSERT_EQ(disk.search(false).size(), 3u);

  const volume::VOLUME_RECORD* ntfs = disk.volume(0);
  EXPECT_EQ(ntfs->m_nLastSector, 63u + 20000);  // its backup boot sector
  EXPECT_EQ(ntfs->m_nMftSector, 32u);
  EXPECT_EQ(ntfs->m_nMftMirrSector, 16u);
  EXPECT_EQ(ntfs->m_wNtfsSectorsPerCluster, 8u);
  EXPECT_EQ(ntfs->m_byFileSystem, volume::kFsNtfs);

  const volume::VOLUME_RECORD* fat = disk.volume(1);
  EXPECT_EQ(fat->m_nLastSector, 32193u + 308 * 128 - 1);
  EXPECT_EQ(fat->m_nReservedSectors, 32u);
  EXPECT_EQ(fat->m_nFatSectors, 308u);
  EXPECT_EQ(fat->m_nRootCluster, 2u);
  EXPECT_EQ(fat->m_byFileSystem, volume::kFsFat32);

  const volume::VOLUME_RECORD* exfat = disk.volume(2);
  EXPECT_EQ(exfat->m_nLastSector, 80325u + 60000 - 1);
  EXPECT_EQ(exfat->m_bySectorsPerCluster, 8u);  // 60000 / 7000
  EXPECT_EQ(exfat->m_nReservedSectors, 2048u);
  EXPECT_EQ(exfat->m_nFatSectors, 64u);
  EXPECT_EQ(exfat->m_nRootCluster, 5u);
  EXPECT_EQ(exfat->m_szSizeText, u"27.34 MB");  // 7000 x 8 sectors, not the volume length
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(disk.volume(i)->m_byDrive, 0xFF);
    EXPECT_TRUE(disk.volume(i)->clusterArray.empty());
  }
}

TEST(LostBootSectors, AProbeThatFindsOneVolumeStillTriesTheOthers) {
  // The FAT32 one track into cylinder 2 and the backup of the NTFS volume ending right
  // before that cylinder are probed in the same step.
  LostDisk disk(100000);
  disk.put(32129, ntfsBoot(8, 4, 2, 32066));
  disk.put(63 + 32, RecordBuilder().standardInformation().fileName(u"$MFT").nonResidentData({{8, 4}}, 32768).done());
  disk.put(32193, fatBoot(1, 32, 0, 0, 308, 2));
  disk.put(32193 + 32, fatSignature());
  const std::vector<Found> found = disk.search(false);
  EXPECT_EQ(found, (std::vector<Found>{{kImageFound, u"FAT32", 32193, 308 * 128}, {kImageFound, u"NTFS", 63, 32066}}))
      << describe(found);
}

// --------------------------------------------------------------------- numbering, log, stop

TEST(LostSearchRun, VolumesAreNumberedAcrossSearchesAndLogged) {
  LostDisk disk(40000);
  disk.put(63, ntfsBoot(8, 4, 2, 20000));
  disk.put(63 + 20000, ntfsBoot(8, 4, 2, 20000));
  disk.state.m_nFoundVolumeCount = 2;  // two volumes found by an earlier search
  disk.state.m_bPartitionScanSaved = 1;
  ASSERT_EQ(disk.search(false).size(), 1u);
  EXPECT_EQ(disk.volume(0)->m_szName, u"Std Vol 3 ");
  EXPECT_EQ(disk.state.m_nFoundVolumeCount, 3u);
  EXPECT_EQ(disk.state.m_bPartitionScanSaved, 0u);
  EXPECT_EQ(disk.rows, 1u);
  EXPECT_EQ(disk.state.m_bLostVolumesInImage, 1u);
  EXPECT_EQ(disk.state.m_bLostVolumesOnDisk, 0u);
  EXPECT_EQ(disk.state.m_byLostVolumeDrive, 0x7F);  // 0xFF + 128 in eight bits
  EXPECT_EQ(disk.state.m_pSourceList->m_byRowState, 0x10);
  EXPECT_EQ(disk.state.m_pSourceList->m_szName, platform::fromUtf8(disk.path()));

  const std::u16string time = platform::formatLogTime(0);
  const std::vector<std::u16string> expected = {u"[Searching volume]",    u"Process started", u"Started on:" + time,
                                                u"Volume:  3 ",         u"Found at sector no. 63 ",
                                                u"Process completed",   u"Completed on :" + time};
  EXPECT_EQ(disk.log.entries(), expected);

  // The same volume on the same image is not listed again.
  EXPECT_EQ(disk.search(true).size(), 1u);
  EXPECT_EQ(disk.state.m_nFoundVolumeCount, 3u);
}

// The user stops the search at its nth step (never when n is 0); every status text shown
// is kept.
class StopAtStep final : public platform::IScanProgress {
 public:
  StopAtStep(std::atomic<std::uint32_t>& stop, int steps) : stop_(stop), left_(steps) {}
  std::vector<std::u16string> texts;
  void stepIt(int) override {
    if (--left_ == 0) stop_ = 1;
  }
  void setRange(int, std::uint64_t, std::uint64_t) override {}
  void setStep(int, std::uint64_t) override {}
  void setPos(int, std::uint64_t) override {}
  std::uint64_t getPos(int) const override { return 0; }
  void showBar(int, bool) override {}
  void SetFoundText(std::u16string_view) override {}
  void SetStatusText(std::u16string_view text) override { texts.emplace_back(text); }
  void SetStopEnabled(bool) override {}

 private:
  std::atomic<std::uint32_t>& stop_;
  int left_;
};

TEST(LostSearchRun, AStopKeepsWhatWasFoundAndLogsTheAbort) {
  for (const bool deep : {false, true}) {
    SCOPED_TRACE(deep ? "deep" : "quick");
    LostDisk disk(200000);
    disk.put(63, ntfsBoot(8, 4, 2, 20000));
    disk.put(63 + 20000, ntfsBoot(8, 4, 2, 20000));
    disk.put(160650, fatBoot(4, 1, 512, 200));  // at cylinder 10: reached only without the stop
    disk.put(160651, fatSignature());
    StopAtStep stop(disk.state.m_bStopRequested, deep ? 12 : 5);
    const std::vector<Found> found = disk.search(deep, &stop);
    EXPECT_EQ(found, (std::vector<Found>{{kImageFound, u"NTFS", 63, 20000}})) << describe(found);
    const auto entries = disk.log.entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], u"Process aborted. User intervention");
    EXPECT_EQ(disk.state.m_bStopRequested, 0u);  // dropped at the end of the search
    EXPECT_EQ(disk.state.m_bBusy, 0u);
  }
}

TEST(LostSearchRun, EachStepShowsTheSectorReadAndTheDisksSize) {
  struct Case {
    bool deep;
    std::uint64_t diskSectors;
    std::vector<std::u16string> firstTexts;
  } cases[] = {
      {false, 40000, {u"Reading sector 0 of 40000", u"Reading sector 63 of 40000", u"Reading sector 126 of 40000"}},
      {true, 10000, {u"Reading sector 0 of 10000", u"Reading sector 2048 of 10000", u"Reading sector 4096 of 10000"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deep ? "deep" : "quick");
    LostDisk disk(c.diskSectors);
    StopAtStep status(disk.state.m_bStopRequested, 0);
    disk.search(c.deep, &status);
    std::vector<std::u16string> steps;
    for (const std::u16string& t : status.texts)
      if (t.starts_with(u"Reading sector ") && steps.size() < c.firstTexts.size()) steps.push_back(t);
    EXPECT_EQ(steps, c.firstTexts);
  }
}

TEST(LostSearchRun, AnImageFileThatCannotBeOpenedFindsNothingAndCompletes) {
  LostState state;
  state.m_strResumeFilePath = "/nonexistent/qelda/disk.img";
  platform::TextLog log{[] { return std::time_t(0); }};
  platform::NullScanProgress silent;
  CLostVolume dialog(state, silent, log, {});
  dialog.m_nSourceKind = 1;
  dialog.OnInitDialog();
  dialog.waitForSearch();
  EXPECT_EQ(dialog.m_nRowCount, 0u);
  EXPECT_EQ(dialog.m_bSearchDone, 1u);
  EXPECT_EQ(log.entries().at(3), u"Process completed");
}

TEST(LostSearchRun, ASecondImageFileWithAVolumeAtTheSameStartIsStillSearched) {
  LostDisk first(40000, "first.img");
  first.put(63, ntfsBoot(8, 4, 2, 20000));
  first.put(63 + 20000, ntfsBoot(8, 4, 2, 20000));
  ASSERT_EQ(first.search(false).size(), 1u);
  // The same bytes in another file: a different disk, listed again.
  qelda::test::ImageDir other;
  other.truncate("second.img", 40000 * 512);
  other.put("second.img", 63, ntfsBoot(8, 4, 2, 20000));
  other.put("second.img", 63 + 20000, ntfsBoot(8, 4, 2, 20000));
  first.state.m_strResumeFilePath = other.file("second.img");
  EXPECT_EQ(first.search(false).size(), 2u);
}

// --------------------------------------------------------------------- the mounted disk

// A flat disk mounted as the current source, the partition's volume selected.
TEST(LostMountedDisk, SearchesTheWholeDiskWhateverSourceIsSelected) {
  qelda::test::FlatDisk disk(60000);
  // One partition-walk volume (kind 1) at 63 and the same volume's boot sector and backup.
  disk.put(0, qelda::test::partitionTable({{0x07, 63, 20001}}));
  disk.put(63, ntfsBoot(8, 4, 2, 20000));
  disk.put(63 + 20000, ntfsBoot(8, 4, 2, 20000));
  ASSERT_EQ(disk.mount(), app::MountOutcome::Mounted);
  app::CQELDAApp& app = disk.app;
  ASSERT_TRUE(app.m_pSourceList && app.m_pSourceList->m_pNext);
  app.m_pSelectedSource = app.m_pSourceList->m_pNext;  // the partition's volume, not a drive

  platform::TextLog log;
  platform::NullScanProgress silent;
  const auto rows = app::runLostVolumeSearch(app, false, false, silent, log);
  ASSERT_EQ(rows.size(), 1u);
  const volume::DEVICE_ENTRY& found = *rows[0];
  EXPECT_EQ(found.m_byKind, kKindFoundOnDisk);
  EXPECT_EQ(found.m_wIndex, 2u);  // after the whole disk and the partition
  EXPECT_TRUE(found.m_szName.empty());
  EXPECT_EQ(found.m_pDetail.volume()->m_byDrive, 0x80);
  EXPECT_EQ(found.m_pDetail.volume()->m_nStartSector, 63u);
  EXPECT_EQ(app.m_bLostVolumesOnDisk, 1u);
  EXPECT_EQ(app.m_byLostVolumeDrive, 0u);  // 0x80 + 128 in eight bits
  EXPECT_EQ(app.m_nScanType, 1u);          // the scan's own choice is kept
}

// --------------------------------------------------------------------- $MFT rebuild

Record mftRecord(std::uint32_t clusters, std::int64_t firstCluster, std::uint64_t allocated) {
  return RecordBuilder().standardInformation().fileName(u"$MFT").nonResidentData({{clusters, firstCluster, 1, 2}}, allocated).done();
}

struct MftCase {
  const char* what;
  std::uint64_t recordSector;
  Record record;
  std::vector<Found> expected;
};

TEST(LostMftRebuild, TheClusterSizeIsTheOneThatFillsTheAllocation) {
  const std::vector<MftCase> cases = {
      {"clusters of 8 sectors", 100 + 32, mftRecord(8, 4, 8 * 4096), {{kImageRebuilt, u"NTFS", 100, 5000 - 100}}},
      {"clusters of 1 sector", 100 + 16, mftRecord(64, 16, 64 * 512), {{kImageRebuilt, u"NTFS", 100, 5000 - 100}}},
      {"clusters of 128 sectors", 300 + 256, mftRecord(1, 2, 65536), {{kImageRebuilt, u"NTFS", 300, 5000 - 300}}},
      {"no cluster size fills it", 132, mftRecord(8, 4, 8 * 4096 + 512), {}},
      {"a volume that would start at sector 0", 32, mftRecord(8, 4, 8 * 4096), {}},
      {"a volume that would start inside the first track", 90, mftRecord(8, 4, 8 * 4096), {}},
      {"resident data", 132, RecordBuilder().standardInformation().fileName(u"$MFT").residentData(100).done(), {}},
      {"another record's name", 132,
       RecordBuilder().standardInformation().fileName(u"$MFTMirr").nonResidentData({{8, 4}}, 32768).done(), {}},
      {"a run without a place", 132,
       RecordBuilder().standardInformation().fileName(u"$MFT").nonResidentData({{8, 0, 1, 0}}, 32768).done(), {}},
  };
  for (const MftCase& c : cases) {
    SCOPED_TRACE(c.what);
    LostDisk disk(5000);
    disk.put(c.recordSector, c.record);
    disk.put(c.recordSector + 8, plainRecord());
    const std::vector<Found> found = disk.search(true);
    EXPECT_EQ(found, c.expected) << describe(found);
    if (!c.expected.empty()) {
      EXPECT_EQ(disk.volume(0)->m_nMftSector, c.recordSector - c.expected[0].start);
      EXPECT_EQ(disk.volume(0)->m_nLastSector, 5000u);
      EXPECT_EQ(disk.volume(0)->m_szName, u"Adv Vol 1 ");
    }
  }
}

TEST(LostMftRebuild, AnMftOfFourGibibytesOrMoreIsRebuiltToo) {
  // 2^20 clusters of 4096 bytes: the allocation does not fit in 32 bits.
  LostDisk disk(5000);
  disk.put(100 + 32, RecordBuilder()
                         .standardInformation()
                         .fileName(u"$MFT")
                         .nonResidentData({{0x100000, 4, 3, 1}}, std::uint64_t(0x100000) * 4096)
                         .done());
  disk.put(100 + 40, plainRecord());
  EXPECT_EQ(disk.search(true), (std::vector<Found>{{kImageRebuilt, u"NTFS", 100, 4900}}));
}

TEST(LostMftRebuild, AFragmentedMftIsFollowedThroughItsAttributeList) {
  // Volume at 200, clusters of 8 sectors. Record 0 holds runs at clusters 4 (2 clusters)
  // and 10 (2 clusters); record 9, the second record of the run at 10, holds the rest:
  // 3 clusters at 20. The list names record 0 itself first.
  constexpr std::uint64_t v = 200;
  const std::uint64_t allocated = 7 * 4096;
  const Record base = RecordBuilder()
                          .standardInformation()
                          .attributeList({{0x10, 0, 0}, {0x30, 0, 0}, {0x80, 0, 0}, {0x80, 4, 9}})
                          .fileName(u"$MFT")
                          .nonResidentData({{2, 4}, {2, 6}}, allocated)
                          .done();
  const Record extension = RecordBuilder().nonResidentData({{3, 20}}, 0, 4).done();
  for (const bool intact : {true, false}) {
    SCOPED_TRACE(intact ? "extension readable" : "extension lost");
    LostDisk disk(2000);
    disk.put(v + 32, base);
    disk.put(v + 40, plainRecord());
    if (intact) disk.put(v + 80 + 2, extension);
    const std::vector<Found> found = disk.search(true);
    if (intact) {
      EXPECT_EQ(found, (std::vector<Found>{{kImageRebuilt, u"NTFS", v, 2000 - v}})) << describe(found);
      if (!found.empty()) {
        EXPECT_EQ(disk.volume(0)->m_wNtfsSectorsPerCluster, 8u);
      }
    } else {
      EXPECT_TRUE(found.empty()) << describe(found);
    }
  }
}

TEST(LostMftRebuild, RecordsSpanningTwoRunsAreMappedAcrossThem) {
  LostState state;
  platform::TextLog log;
  platform::NullScanProgress silent;
  CThreadForSearchVolume search(state, silent, log, {});
  search.m_wSectorsPerCluster = 1;
  // Runs of 3, 1 and 4 sectors at 100, 50 and 300 (deltas +100, -50, +250).
  search.m_pRunTable = {{3, 100, 1, 'S'}, {1, 0xCE, 1, 'M'}, {4, 250, 2, 'M'}};
  struct Row {
    std::uint32_t record;
    std::optional<std::uint64_t> sector;
    std::uint64_t second;
  };
  const std::vector<Row> rows = {{0, 100, 0}, {1, 102, 50}, {2, 300, 0}, {3, 302, 0}, {4, std::nullopt, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.record);
    std::uint64_t second = 99;
    EXPECT_EQ(search.MapMftRecordToSector(r.record, second), r.sector);
    if (r.sector) {
      EXPECT_EQ(second, r.second);
    }
  }
}

// --------------------------------------------------------------------- FAT from directories

struct VoteCase {
  const char* what;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> hits;  // sector, first cluster
  std::uint8_t overall;
  std::vector<std::uint8_t> perHit;
};

TEST(LostDirectoryClusters, TheClusterSizeIsTheDistanceMostPairsAgreeOn) {
  const std::vector<VoteCase> cases = {
      {"four sectors a cluster", {{1000, 2}, {1012, 5}, {1040, 12}, {1100, 27}}, 4, {4, 4, 4, 4}},
      {"equal votes go to the smaller size", {{1000, 2}, {1002, 3}, {1010, 4}}, 2, {2, 2, 8}},
      {"distances that are no power of two", {{1000, 2}, {1003, 3}, {1010, 4}}, 0, {0, 0, 0}},
      {"whole division", {{1000, 2}, {1003, 3}, {1009, 4}}, 4, {4, 0, 4}},
      {"a cluster that does not grow with the sector", {{1000, 9}, {1004, 3}, {1008, 10}}, 8, {8, 0, 8}},
      {"more than 128 sectors a cluster", {{1000, 2}, {1256, 3}}, 0, {0, 0}},
  };
  for (const VoteCase& c : cases) {
    SCOPED_TRACE(c.what);
    LostState state;
    platform::TextLog log;
    platform::NullScanProgress silent;
    CThreadForSearchVolume search(state, silent, log, {});
    for (const auto& [sector, cluster] : c.hits) search.m_pGroupTable.push_back({sector, cluster, 0, true, false, 0});
    EXPECT_EQ(search.EstimateClusterSize(c.hits.size()), c.overall);
    for (std::size_t i = 0; i < c.perHit.size(); ++i) EXPECT_EQ(search.m_pGroupTable[i].clusterVote, c.perHit[i]) << i;
  }
}

// A FAT16 volume at 1000: one reserved sector, two FATs of 200 sectors, a root of 32
// sectors, clusters of 4 sectors; data from 1433.
constexpr std::uint64_t kFat16Start = 1000;
constexpr std::uint64_t kFat16Data = kFat16Start + 1 + 400 + 32;

void putFat16Directories(LostDisk& disk, std::size_t count) {
  const std::uint32_t clusters[] = {3, 7, 12, 20, 31, 44};
  for (std::size_t i = 0; i < count; ++i) disk.put(kFat16Data + (clusters[i] - 2) * 4, directoryStart(clusters[i]));
}

TEST(LostDirectoryClusters, FourAgreeingDirectoriesRebuildTheVolumeThreeDoNot) {
  for (const std::size_t directories : {3u, 4u, 6u}) {
    SCOPED_TRACE(directories);
    LostDisk disk(300000);
    disk.put(kFat16Start + 1, fatSignature());
    disk.put(kFat16Start + 201, fatSignature());
    putFat16Directories(disk, directories);
    const std::vector<Found> found = disk.search(true);
    if (directories < 4) {
      EXPECT_TRUE(found.empty()) << describe(found);
      continue;
    }
    ASSERT_EQ(found, (std::vector<Found>{{kImageRebuilt, u"FAT", kFat16Start, 200 * 256 * 4}})) << describe(found);
    const volume::VOLUME_RECORD* v = disk.volume(0);
    EXPECT_EQ(v->m_byFileSystem, volume::kFsFat16);
    EXPECT_EQ(v->m_nFatSectors, 200u);
    EXPECT_EQ(v->m_nReservedSectors, 1u);
    EXPECT_EQ(v->m_wRootDirSectors, 32u);
    EXPECT_EQ(v->m_bySectorsPerCluster, 4u);
    EXPECT_EQ(v->clusterArray.size(), directories);
    EXPECT_EQ(v->m_szName, u"Adv Vol 1 ");
    // Searching again adds the same volume no second time.
    EXPECT_EQ(disk.search(true).size(), 1u);
  }
}

TEST(LostDirectoryClusters, AnUnconfirmedFirstFatAddsASecondReading) {
  LostDisk disk(300000);
  disk.put(kFat16Start + 201, fatSignature());  // the second FAT only
  putFat16Directories(disk, 5);
  const std::vector<Found> found = disk.search(true);
  // The second reading: one-sector FATs, a FAT32 layout in front of the same data start,
  // named by its own type.
  const std::uint64_t second = kFat16Data - 2 - 32;
  EXPECT_EQ(found, (std::vector<Found>{{kImageRebuilt, u"FAT", kFat16Start, 200 * 256 * 4},
                                       {kImageRebuilt, u"FAT32", second, 300000 - second}}))
      << describe(found);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(disk.volume(1)->m_byFileSystem, volume::kFsFat32);
  EXPECT_EQ(disk.volume(1)->m_nFatSectors, 1u);
  EXPECT_EQ(disk.volume(1)->clusterArray.size(), 5u);
}

TEST(LostDirectoryClusters, AFatRightBeforeTheDataIsAFat32ToTheDisksEnd) {
  LostDisk disk(300000);
  disk.put(kFat16Data - 1, fatSignature());
  putFat16Directories(disk, 4);
  const std::uint64_t start = kFat16Data - 2 - 32;
  const std::vector<Found> found = disk.search(true);
  EXPECT_EQ(found, (std::vector<Found>{{kImageRebuilt, u"FAT32", start, 300000 - start}})) << describe(found);
}

TEST(LostDirectoryClusters, DirectoriesThatFitNoVolumeAddNothing) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> dirs;
    std::vector<std::uint64_t> fats;
  };
  const std::vector<Case> cases = {
      {"clusters 0 and 1", {{100, 0}, {104, 1}, {108, 0}, {112, 1}}, {}},
      {"clusters beyond the sectors", {{100, 50000}, {104, 50001}, {108, 50002}, {112, 50003}}, {}},
      {"no room in front of the data for a FAT32's reserved sectors", {{20, 2}, {24, 3}, {28, 4}, {32, 5}}, {}},
      {"the FAT signature right at the data start", {{400, 2}, {404, 3}, {408, 4}, {412, 5}}, {400}},
      {"the FAT signature 32 sectors before it", {{400, 2}, {404, 3}, {408, 4}, {412, 5}}, {368}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LostDisk disk(4000);
    for (const auto& [sector, cluster] : c.dirs) disk.put(sector, directoryStart(cluster));
    for (const std::uint64_t f : c.fats) disk.put(f, fatSignature());
    const std::vector<Found> found = disk.search(true);
    EXPECT_TRUE(found.empty()) << describe(found);
  }
}

}  // namespace
}  // namespace qelda::lost::test
