// The FAT engine on volumes made by mkfs.fat and filled with mtools, checked against what
// The Sleuth Kit reads from the same volumes (fls, icat).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "volume/volume_records.h"
#include "fs/fat_layout.h"
#include "fat/fat_test_support.h"
#include "platform/byte_view.h"
#include "support/missing_images.h"
#include "support/test_images.h"

namespace qelda::fat::test {
namespace {

// The volumes as made, and three whose boot sectors (FAT32: and the backup) were zeroed
// afterwards: those are read with the geometry rebuilt from their directory clusters, and
// must give what the reader gave before the damage.
const char* const kVolumes[] = {"fat12_floppy", "fat12_16m",      "fat16_s1",       "fat16_s64",     "fat16_r64",
                                "fat32_s1",     "fat32_s8",       "tiny_1m",        "fat12_bootzero", "fat16_bootzero",
                                "fat32_bootzero"};

class FatRealVolumes : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir_ = fatImages();
    if (dir_.empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the FAT image script could not run";
    base_ = dir_ + "/" + GetParam();
    scan_ = std::make_unique<WorkerScan>(base_ + ".img", fileSystemOf(GetParam()));
  }
  std::string dir_, base_;
  std::unique_ptr<WorkerScan> scan_;
};

TEST_P(FatRealVolumes, QuickScanListsTheLiveTreeTheReaderLists) {
  ASSERT_EQ(scan_->run(engine::kScanQuick).status, engine::ScanStatus::Done);
  EXPECT_TRUE(scan_->notifier.shown.empty());
  EXPECT_TRUE(scan_->tree->hasRoot());
  EXPECT_TRUE(scan_->tree->rootCollapsed());
  EXPECT_TRUE(scan_->logged("[Creating directory tree]"));
  EXPECT_TRUE(scan_->logged("Process completed"));
  // The root the console creates counts as the first find.
  EXPECT_EQ(scan_->app.currentEngine->foundCount(), scan_->tree->size() + 1);

  std::map<std::string, std::pair<bool, std::uint64_t>> expected;
  for (const auto& e : readFls(base_ + ".fls")) {
    if (e.deleted) continue;
    std::uint64_t size = 0;
    if (!e.folder) {
      std::error_code ec;
      size = std::filesystem::file_size(base_ + ".files/" + e.inode, ec);
      if (size == 0) continue;  // empty files have no cluster and are not listed
    }
    expected[lower(e.path)] = {e.folder, size};
  }
  EXPECT_GE(expected.size(), 5u);
  std::map<std::string, std::pair<bool, std::uint64_t>> found;
  for (const auto& [path, item] : scan_->found())
    if (!(item->m_byFlags & kItemDeleted)) found[lower(path)] = {item->isFolder(), item->m_nSize};
  EXPECT_EQ(found, expected);
}

TEST_P(FatRealVolumes, DeletedScanListsEveryDeletedFileUnderItsFolder) {
  ASSERT_EQ(scan_->run(engine::kScanDeleted).status, engine::ScanStatus::Done);
  std::set<std::string> found;
  for (const auto& [path, item] : scan_->found())
    if ((item->m_byFlags & kItemDeleted) && !item->isFolder()) found.insert(lower(path));
  std::size_t deletedFiles = 0;
  for (const auto& e : readFls(base_ + ".flsd")) {
    if (e.folder || !e.deleted) continue;
    ++deletedFiles;
    EXPECT_TRUE(found.count(deletedNameForm(e.path))) << e.path;
  }
  EXPECT_GT(deletedFiles, 0u);
  // Every folder shown leads to something deleted: no live folder stands alone.
  for (const auto& [path, item] : scan_->found()) {
    if (item->isFolder() && !(item->m_byFlags & kItemDeleted)) {
      bool leads = false;
      for (const auto& f : found) leads = leads || f.rfind(lower(path) + "/", 0) == 0;
      EXPECT_TRUE(leads) << path;
    }
  }
}

TEST_P(FatRealVolumes, SavedLiveFilesEqualTheReadersCopies) {
  ASSERT_EQ(scan_->run(engine::kScanQuick).status, engine::ScanStatus::Done);
  std::map<std::string, std::string> inodeOf;
  for (const auto& e : readFls(base_ + ".fls"))
    if (!e.deleted && !e.folder) inodeOf[lower(e.path)] = e.inode;
  std::size_t compared = 0;
  for (const auto& [path, item] : scan_->found()) {
    if (item->isFolder() || (item->m_byFlags & kItemDeleted)) continue;
    const auto it = inodeOf.find(lower(path));
    ASSERT_NE(it, inodeOf.end()) << path;
    engine::ReadOutcome outcome;
    EXPECT_EQ(scan_->read(*item, &outcome), readFile(base_ + ".files/" + it->second)) << path;
    EXPECT_EQ(outcome, engine::ReadOutcome::Complete) << path;
    ++compared;
  }
  EXPECT_GT(compared, 0u);
}

TEST_P(FatRealVolumes, SavedDeletedFilesEqualTheirOriginals) {
  ASSERT_EQ(scan_->run(engine::kScanDeleted).status, engine::ScanStatus::Done);
  std::map<std::string, results::FoundItemRef> deleted;
  for (const auto& [path, item] : scan_->found())
    if (item->m_byFlags & kItemDeleted) deleted[lower(path)] = item;
  std::ifstream expect(base_ + ".expect");
  std::string line;
  std::size_t compared = 0;
  while (std::getline(expect, line)) {
    const auto tab = line.find('\t');
    const std::string path = line.substr(tab + 1);
    const auto it = deleted.find(lower(path));
    ASSERT_NE(it, deleted.end()) << path;
    EXPECT_EQ(scan_->read(*it->second), readFile(base_ + ".orig/" + line.substr(0, tab))) << path;
    ++compared;
  }
  EXPECT_GT(compared, 0u);
}

INSTANTIATE_TEST_SUITE_P(FatVolumes, FatRealVolumes, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return std::string(info.param); });

TEST(FatDeepTree, TwoHundredLevelsAreWalkedWithoutTheCallStack) {
  const std::string dir = fatImages();
  if (dir.empty()) QELDA_SKIP_WITHOUT_IMAGES();
  MountedVolume vol(dir + "/deep200.img");
  {
    auto engine = vol.engine();
    engine->ScanVolume(0);
    std::string bottom;
    for (int i = 1; i <= 200; ++i) bottom.append(1, 'd').append(std::to_string(i)).append(1, '/');
    bottom += "bottom file.bin";
    std::set<std::string> paths;
    for (const auto& [path, entry] : FoundPaths(vol.sink_).all) paths.insert(lower(path));
    EXPECT_TRUE(paths.count(bottom));
    EXPECT_EQ(engine->m_nFolderCount, 201u);  // the root and 200 folders
  }
  auto engine = vol.engine();
  engine->ScanVolume(1);
  // The deleted file 150 folders down brings exactly its 150 folders with it, outermost first.
  ASSERT_EQ(vol.sink_.items.size(), 151u);
  for (int i = 0; i < 150; ++i)
    EXPECT_EQ(lower(platform::toUtf8(vol.sink_.items[i].name)), std::string(1, 'd').append(std::to_string(i + 1)));
  EXPECT_EQ(vol.sink_.items[150].name, u"Deleted At 150.bin");
  std::ifstream expect(dir + "/deep200.expect");
  std::string line;
  std::getline(expect, line);
  EXPECT_EQ(MountedVolume::readItem(*engine, vol.sink_.items[150].item, 1), readFile(dir + "/deep200.orig/1"));
}

// --- damaged copies of a FAT16 volume -------------------------------------------------------------

class FatCopies : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string dir = fatImages();
    if (dir.empty()) QELDA_SKIP_WITHOUT_IMAGES();
    base_ = dir + "/fat16_s1";
    vol_ = std::make_unique<MountedVolume>(base_ + ".img", true);
    // The geometry as the boot sector gives it.
    const auto bootBytes = readFile(base_ + ".img");
    const auto params = fs::fat::parseFatBootSector(platform::ByteView(bootBytes.data(), 512));
    ASSERT_TRUE(params);
    params_ = *params;
    fat1_ = std::uint64_t(params_.reservedSectors) * 512;
    fat2_ = fat1_ + std::uint64_t(params_.sectorsPerFat) * 512;
    image_ = bootBytes;
  }
  void zeroSector(std::uint64_t offset) {
    const std::vector<std::uint8_t> zeros(512);
    vol_->patch(offset, zeros);
  }
  std::unique_ptr<CFatEngine> engineWithGeometry() {
    auto e = vol_->engine();
    e->FatCopyBootParams(params_);
    return e;
  }
  std::string base_;
  std::unique_ptr<MountedVolume> vol_;
  fs::fat::FatBootParams params_;
  std::uint64_t fat1_ = 0, fat2_ = 0;
  std::vector<std::uint8_t> image_;
};

TEST_F(FatCopies, IdenticalCopiesLoadFat1WithoutReadingAgain) {
  auto e = engineWithGeometry();
  EXPECT_EQ(e->FatCheckFatSignatures(), 0u);
  e->FatVerifyFats();
  EXPECT_EQ(e->m_nLinkingMode, fs::fat::kLinkFat1);
  EXPECT_TRUE(vol_->log_.has("Identical copies"));
  EXPECT_FALSE(vol_->log_.has("FAT Linking Mode"));  // no second load
  ASSERT_EQ(e->m_pFat.size(), std::size_t(params_.sectorsPerFat) * 512);
  EXPECT_TRUE(std::equal(e->m_pFat.begin(), e->m_pFat.end(), image_.begin() + std::ptrdiff_t(fat1_)));
}

TEST_F(FatCopies, Fat1WithoutSignatureLoadsFat2AndTheScanStillReadsEverything) {
  zeroSector(fat1_);
  auto e = engineWithGeometry();
  EXPECT_EQ(e->FatCheckFatSignatures(), 1u);
  e->FatVerifyFats();
  EXPECT_EQ(e->m_nLinkingMode, fs::fat::kLinkFat2);
  EXPECT_TRUE(vol_->log_.has("Loading FAT 2"));
  EXPECT_TRUE(std::equal(e->m_pFat.begin(), e->m_pFat.end(), image_.begin() + std::ptrdiff_t(fat2_)));

  auto scan = vol_->engine();
  scan->ScanVolume(0);
  EXPECT_EQ(scan->m_nLinkingMode, fs::fat::kLinkFat2);
  bool seen = false;
  for (const auto& [path, entry] : FoundPaths(vol_->sink_).all) {
    if (lower(path) != "frag/fragmented big file.bin") continue;
    seen = true;
    EXPECT_EQ(MountedVolume::readItem(*scan, entry->item, 0).size(), 60000u);
  }
  EXPECT_TRUE(seen);
}

TEST_F(FatCopies, NoSignatureInEitherCopyMeansContiguousReading) {
  zeroSector(fat1_);
  zeroSector(fat2_);
  auto e = engineWithGeometry();
  EXPECT_EQ(e->FatCheckFatSignatures(), 2u);
  e->FatVerifyFats();
  EXPECT_EQ(e->m_nLinkingMode, fs::fat::kLinkContiguous);
  EXPECT_TRUE(e->m_pFat.empty());
  EXPECT_EQ(e->LoadFat(), 0u);
  std::uint32_t bytes = 0;
  EXPECT_EQ(e->FollowClusterChain(7, bytes), std::vector<std::uint32_t>{7});
  EXPECT_EQ(e->GetClusterList(7, 1025, 0, bytes), (std::vector<std::uint32_t>{7, 8, 9}));
  EXPECT_EQ(bytes, 12u);
  // The whole scan needs the parameter rebuild then, which this engine does not have.
  auto scan = vol_->engine();
  scan->ScanVolume(0);
  EXPECT_TRUE(vol_->sink_.items.empty());
  ASSERT_EQ(vol_->notifier_.shown.size(), 1u);
  EXPECT_EQ(platform::toUtf8(vol_->notifier_.shown[0]),
            "Not a valid volume, or critical data structure of volume badly corrupt.");
}

TEST_F(FatCopies, DifferingSectorIsJudgedByItsImplausibleEntries) {
  struct Case {
    const char* what;
    bool patchFat1;
    std::uint16_t value;  // written into every entry of sector 3
    std::uint8_t expectedMode;
    bool fat1Errors;
  };
  const Case cases[] = {
      {"FAT1 holds values beyond the data area", true, 0xFFF0, fs::fat::kLinkFat2, true},
      {"FAT2 holds values beyond the data area", false, 0xFFF0, fs::fat::kLinkFat1, false},
      {"both plausible: FAT1 kept", false, 0x0003, fs::fat::kLinkFat1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vol_ = std::make_unique<MountedVolume>(base_ + ".img", true);
    std::vector<std::uint8_t> sector(512);
    for (std::size_t o = 0; o < 512; o += 2) platform::putLe16(&sector[o], c.value);
    vol_->patch((c.patchFat1 ? fat1_ : fat2_) + 3 * 512, sector);
    auto e = engineWithGeometry();
    e->m_nTotalSectors = image_.size() / 512;
    e->FatVerifyFats();
    EXPECT_TRUE(vol_->log_.has("Mismatch in FAT copies"));
    EXPECT_EQ(e->m_nLinkingMode, c.expectedMode);
    EXPECT_EQ(vol_->log_.has("FAT 1 verified"), c.fat1Errors);
    if (c.fat1Errors) {
      EXPECT_TRUE(vol_->log_.has("256 Error found"));
    }
  }
}

TEST_F(FatCopies, UniformSectorOfTheChosenCopyIsTakenFromTheOther) {
  zeroSector(fat1_ + 512);  // FAT1's second sector: chains of the files the script wrote
  auto e = engineWithGeometry();
  e->m_nTotalSectors = image_.size() / 512;
  e->FatVerifyFats();
  EXPECT_EQ(e->m_nLinkingMode, fs::fat::kLinkFat1);  // no implausible entries in either copy
  EXPECT_TRUE(std::equal(e->m_pFat.begin() + 512, e->m_pFat.begin() + 1024,
                         image_.begin() + std::ptrdiff_t(fat2_ + 512)));
}

// FAT1's sectors 4 to 6 lie in an extent whose file is empty, so they cannot be read; FAT2's
// same sectors carry a mark. The loader reads whole blocks and takes just those three from FAT2.
TEST_F(FatCopies, UnreadableSectorsInsideABlockComeFromTheOtherCopy) {
  qelda::test::ImageDir dir;
  std::vector<std::uint8_t> volume = image_;
  std::vector<std::uint8_t> mark(3 * 512);
  for (std::size_t i = 0; i < mark.size(); ++i) mark[i] = std::uint8_t(i * 7 + 1);
  std::copy(mark.begin(), mark.end(), volume.begin() + std::ptrdiff_t(fat2_ + 4 * 512));
  dir.putAt("volume.img", 0, volume);
  dir.truncate("short.img", 0);
  const std::uint64_t sectors = volume.size() / 512;
  const std::uint64_t cut = fat1_ / 512 + 4;
  const std::string descriptor = dir.putText(
      "volume.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " + std::to_string(cut) +
                         " FLAT \"volume.img\" 0\nRW 3 FLAT \"short.img\" 0\nRW " + std::to_string(sectors - cut - 3) +
                         " FLAT \"volume.img\" " + std::to_string(cut + 3) + "\n");
  app::CQELDAApp app;
  qelda::test::RecordingNotifier notifier;
  RecordingLog log;
  ASSERT_EQ(app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(app::kImageVmdk, descriptor),
            app::MountOutcome::Mounted);
  CFatEngine e(app, log, notifier);
  FatVolumeSource source;
  source.sectorCount = sectors;
  e.initializeVolume(0, source);
  e.FatCopyBootParams(params_);
  e.m_nLinkingMode = fs::fat::kLinkFat1;
  ASSERT_EQ(e.LoadFat(), 1u);
  ASSERT_EQ(e.m_pFat.size(), std::size_t(params_.sectorsPerFat) * 512);
  const auto at = [&](std::uint64_t sector) { return e.m_pFat.begin() + std::ptrdiff_t(sector * 512); };
  EXPECT_TRUE(std::equal(at(0), at(4), image_.begin() + std::ptrdiff_t(fat1_)));
  EXPECT_TRUE(std::equal(at(4), at(7), mark.begin()));
  EXPECT_TRUE(std::equal(at(7), e.m_pFat.end(), image_.begin() + std::ptrdiff_t(fat1_ + 7 * 512)));
  EXPECT_EQ(e.FatVerifyFat(0, 0), 3u);  // each unreadable sector is one error
}

// --- hand-made damage --------------------------------------------------------------------------------

TEST(FatHandMade, EntryLeadingBackToAnAncestorEndsTheWalk) {
  const std::string dir = fatImages();
  if (dir.empty()) QELDA_SKIP_WITHOUT_IMAGES();
  MountedVolume vol(dir + "/tiny_1m.img", true);
  std::uint32_t sub = 0, deeper = 0;
  {
    auto engine = vol.engine();
    engine->ScanVolume(0);
    for (const auto& [path, entry] : FoundPaths(vol.sink_).all) {
      if (lower(path) == "sub") sub = std::uint32_t(entry->item.m_nRecordKey);
      if (lower(path) == "sub/deeper") deeper = std::uint32_t(entry->item.m_nRecordKey);
    }
  }
  ASSERT_GE(sub, 2u);
  ASSERT_GE(deeper, 2u);
  // A live folder entry in sub/deeper whose cluster is sub's, in deeper's first free slot.
  auto engine = vol.engine();
  engine->ScanVolume(0);
  const std::uint64_t dataStart =
      fs::fat::systemSectors(engine->m_nReservedSectors, engine->m_nSectorsPerFat, engine->m_nRootDirSectors);
  const std::uint64_t at = (dataStart + std::uint64_t(deeper - 2) * engine->m_nSectorsPerCluster) * 512;
  const auto bytes = readFile(dir + "/tiny_1m.img");
  std::uint64_t slot = at;
  while (bytes[slot] != 0) slot += 32;
  std::vector<std::uint8_t> entry(32);
  std::memcpy(entry.data(), "LOOP       ", 11);
  entry[fs::fat::dirent::kAttributes] = fs::fat::dirent::kAttrDirectory;
  platform::putLe16(&entry[fs::fat::dirent::kClusterLow], std::uint16_t(sub));
  platform::putLe16(&entry[fs::fat::dirent::kWriteDate], (45 << 9) | (6 << 5) | 15);
  vol.patch(slot, entry);
  for (const std::uint32_t deleted : {0u, 1u}) {
    SCOPED_TRACE(deleted);
    auto e = vol.engine();
    e->ScanVolume(deleted);
    EXPECT_LT(vol.sink_.items.size(), 20u);
    EXPECT_EQ(e->pendingItemCount(), 0u);
  }
}

TEST(FatHandMade, HeldBackFoldersNeverOutliveATreeBuildStoppedOrNot) {
  const std::string dir = fatImages();
  if (dir.empty()) QELDA_SKIP_WITHOUT_IMAGES();
  MountedVolume vol(dir + "/fat16_s1.img");
  // Stops the scan as soon as the tree build starts.
  struct StopLog : platform::ILog {
    app::CQELDAApp* app = nullptr;
    std::vector<std::string> entries;
    void AddLogEntry(std::u16string text, bool) override {
      entries.push_back(platform::toUtf8(text));
      if (entries.back() == "Creating directory tree") app->m_bStopRequested = 1;
    }
  } log;
  log.app = &vol.app_;
  CFatEngine e(vol.app_, log, vol.notifier_);
  e.m_pConsole = &vol.sink_;
  FatVolumeSource source;
  source.sectorCount = std::filesystem::file_size(dir + "/fat16_s1.img") / 512;
  e.initializeVolume(0, source);
  FOUND_ITEM stale;
  stale.m_nId = 999;
  e.PushPendingItem(stale, u"left over");  // as a walk cut short elsewhere could leave it
  e.ScanVolume(1);
  EXPECT_EQ(e.pendingItemCount(), 0u);
  EXPECT_TRUE(vol.sink_.items.empty());
  EXPECT_NE(std::find(log.entries.begin(), log.entries.end(), "Process aborted. User intervention"), log.entries.end());
}

TEST(FatInitialize, ReadsTheImageItWasGivenAfterTheApplicationLetsItGo) {
  const std::string dir = fatImages();
  if (dir.empty()) QELDA_SKIP_WITHOUT_IMAGES();
  MountedVolume vol(dir + "/fat16_s1.img");
  auto e = vol.engine();
  vol.app_.clearImage();
  e->ScanVolume(0);
  EXPECT_TRUE(vol.notifier_.shown.empty());
  EXPECT_GT(vol.sink_.items.size(), 40u);
}

TEST(FatInitialize, CopiesTheSelectedVolumeAndLeavesWholeDisksAlone) {
  struct Case {
    const char* what;
    std::uint8_t kind;
    std::u16string name;
    std::uint64_t expectedStart;
    std::uint64_t expectedCount;
    std::u16string expectedPath;
  };
  const Case cases[] = {
      {"partition of the mounted image", 1, u"", 2048, 4096, u""},
      {"volume file", 7, u"/images/vol.img", 0, 4096, u"/images/vol.img"},
      {"whole disk", 0, u"disk", 0, 0, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    app::CQELDAApp app;
    qelda::test::RecordingNotifier notifier;
    RecordingLog log;
    volume::DEVICE_ENTRY entry;
    entry.m_byKind = c.kind;
    entry.m_szName = c.name;
    volume::VOLUME_RECORD& volume = entry.m_pDetail.makeVolume();
    volume.m_nStartSector = 2048;
    volume.m_nSectorCount = 4096;
    volume.m_nLastSector = 6144;
    volume.m_byFileSystem = volume::kFsFat16;
    volume.m_byDrive = 0xFF;
    app.m_pSelectedSource = &entry;
    CFatEngine e(app, log, notifier);
    e.Initialize(c.kind == 7 ? 1 : 0);
    EXPECT_EQ(e.m_nPartitionStart, c.expectedStart);
    EXPECT_EQ(e.m_nTotalSectors, c.expectedCount);
    EXPECT_EQ(e.m_szImagePath, c.expectedPath);
    EXPECT_EQ(e.m_nNextItemId, c.kind == 0 ? 0u : 2u);
    EXPECT_EQ(app.m_bVolumeOpened.load(), c.kind == 0 ? 0 : 1);
  }
}

}  // namespace
}  // namespace qelda::fat::test
