// The exFAT engine through the scan worker, on volumes made by mkfs.exfat and filled
// through exfat-fuse, and on one of them inside VMDK, VDI and VHD disks: what each scan kind
// lists against fls, and what saving gives against icat.
//
// Documented differences from The Sleuth Kit:
//  - entries fls lists under $OrphanFiles (left in directory clusters no directory holds any
//    more) are found only by the heap searches, as lost folders;
//  - a deleted file is read contiguous from its first cluster; fls follows the chain the FAT
//    still holds, so a deleted fragmented file ("Deleted report.txt") differs from icat.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/scan_worker.h"
#include "carve/header_catalogue.h"
#include "carve/raw_types.h"
#include "exfat/exfat_test_support.h"
#include "fs/exfat_boot.h"
#include "fs/exfat_entries.h"
#include "fs/exfat_layout.h"
#include "fs/md5.h"
#include "platform/log.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "save/save_files.h"
#include "support/image_dir.h"
#include "support/missing_images.h"
#include "support/recording_notifier.h"
#include "volume/volume_records.h"

namespace qelda::exfat {
namespace {

using test::exfat::Entry;
using test::exfat::exfatImages;
using test::exfat::kVolumes;
using test::exfat::readFls;
using test::exfat::readMd5;
using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

const std::string kLost = "Lost folder(s)";

// One application that scans one exFAT source with the scan worker, as `qelda scan` does;
// the engine's work files go to a private folder.
class Scanner {
 public:
  Scanner() { ::setenv("XDG_CACHE_HOME", work_.path().c_str(), 1); }
  ~Scanner() { app_.FreeEngines(); }

  // A volume file as its own source (read through the engine's image-file reader).
  void selectVolumeFile(const std::string& path) {
    entry_.m_byKind = 7;
    entry_.m_szName = platform::fromUtf8(path);
    volume::VOLUME_RECORD& v = entry_.m_pDetail.makeVolume();
    v.m_szFileSystem = u"exFAT";
    v.m_byFileSystem = volume::kFsExFat;
    v.m_nSectorCount = std::filesystem::file_size(path) / 512;
    v.m_nLastSector = v.m_nSectorCount - 1;
    app_.m_pSelectedSource = &entry_;
  }
  // The exFAT volume of a disk image, through the mounted image; false when there is none.
  bool selectDiskVolume(const std::string& image) {
    if (app::CDataRecovery(app_, notifier_).OnBnClickedMountVirtualDisk(app::imageTypeFromPath(image), image) !=
        app::MountOutcome::Mounted)
      return false;
    for (volume::DEVICE_ENTRY* e = app_.m_pSourceList; e; e = e->m_pNext) {
      const volume::VOLUME_RECORD* v = e->m_pDetail.volume();
      if (v && v->m_byFileSystem == volume::kFsExFat) {
        app_.m_pSelectedSource = e;
        return true;
      }
    }
    return false;
  }

  engine::ScanOutcome run(std::uint32_t kind, std::uint32_t scanType = 1) {
    app_.m_nScanKind = kind;
    app_.m_nScanType = scanType;
    tree_ = std::make_unique<results::CFileFolderTree>();
    app::CScanProcess worker(app_, *tree_, progress_, log_, notifier_);
    return worker.run();
  }

  // Every item as a path from the scan root, with its folder and deleted marks.
  std::vector<Entry> listing() const {
    std::vector<Entry> out;
    for (const auto i : tree_->items())
      out.push_back({platform::toUtf8(tree_->pathOf(i)), i->isFolder(), (i->m_byFlags & kItemDeleted) != 0});
    std::sort(out.begin(), out.end());
    return out;
  }
  results::FoundItemRef find(const std::string& path) const {
    for (const auto i : tree_->items())
      if (platform::toUtf8(tree_->pathOf(i)) == path) return i;
    return nullptr;
  }
  // The first item of that name, wherever it hangs.
  results::FoundItemRef findNamed(std::u16string_view name) const {
    for (const auto i : tree_->items())
      if (tree_->nameOf(i) == name) return i;
    return nullptr;
  }

  save::SaveTotals save(const std::string& destination) {
    platform::TextLog log;
    return save::CThreadForSavingFiles(app_, app_.currentEngine.get(), *tree_, log, {destination, ""}).Run();
  }

  bool logged(std::u16string_view text) const {
    for (const auto& e : log_.entries())
      if (e == text) return true;
    return false;
  }

  app::CQELDAApp app_;
  test::RecordingNotifier notifier_;
  platform::NullScanProgress progress_;
  platform::TextLog log_;
  std::unique_ptr<results::CFileFolderTree> tree_;
  test::ImageDir work_;
  volume::DEVICE_ENTRY entry_;
};

std::vector<Entry> deletedOnly(const std::vector<Entry>& entries) {
  std::vector<Entry> out;
  for (const Entry& e : entries)
    if (e.deleted) out.push_back(e);
  return out;
}

// The saved copy of every file icat could read equals icat's bytes, deleted files that
// follow no chain included (their data is read the same way). A deleted file whose data
// followed a chain the driver has cleared from the FAT is read as one run, a guess never
// said whole: only those may be partial.
void expectSavedFilesEqualIcat(Scanner& s, const std::string& base, bool liveOnly) {
  const std::string out = s.work_.file("saved");
  const save::SaveTotals totals = s.save(out);
  EXPECT_EQ(totals.skipped, 0u);
  std::size_t compared = 0;
  std::uint32_t chainedDeleted = 0;
  for (const auto& [path, icat] : readMd5(base + ".md5")) {
    results::FoundItemRef item = s.find(path);
    if (icat.deleted && item && (item->m_byFlags & kItemCompressed)) {  // fls follows the stale chain
      ++chainedDeleted;
      continue;
    }
    if (liveOnly && icat.deleted) continue;
    ASSERT_NE(item, nullptr) << path;
    EXPECT_EQ(test::md5Hex(readFile(out + "/" + path)), icat.md5) << path;
    ++compared;
  }
  EXPECT_LE(totals.partial, chainedDeleted);
  EXPECT_GT(compared, 160u);
}

class ExFatVolumeScan : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (exfatImages().empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the exFAT volumes could not be made (needs root, FUSE, a loop device)";
    base_ = exfatImages() + "/" + GetParam();
    scanner_.selectVolumeFile(base_ + ".img");
  }
  std::string base_;
  Scanner scanner_;
};

TEST_P(ExFatVolumeScan, QuickScanListsWhatFlsListsAndSavesWhatIcatReads) {
  const engine::ScanOutcome r = scanner_.run(engine::kScanQuick);
  ASSERT_EQ(r.status, engine::ScanStatus::Done) << platform::toUtf8(r.cause);
  EXPECT_EQ(scanner_.listing(), readFls(base_ + ".fls"));
  EXPECT_TRUE(scanner_.logged(u"[Creating directory tree]"));
  EXPECT_TRUE(scanner_.logged(u"Loading FAT 1"));
  EXPECT_TRUE(scanner_.logged(u"Process completed"));
  EXPECT_FALSE(scanner_.logged(u"FAT 1 verified"));  // a sound FAT has no error
  EXPECT_TRUE(scanner_.tree_->rootCollapsed());
  // The fragmented file follows its chain; a contiguous one does not.
  EXPECT_TRUE(scanner_.find("fragmented.bin")->m_byFlags & kItemCompressed);
  EXPECT_FALSE(scanner_.find("readme.txt")->m_byFlags & kItemCompressed);
  expectSavedFilesEqualIcat(scanner_, base_, false);
}

TEST_P(ExFatVolumeScan, DeletedScanListsTheDeletedItemsAndTheFoldersLeadingToThem) {
  ASSERT_EQ(scanner_.run(engine::kScanDeleted).status, engine::ScanStatus::Done);
  const std::vector<Entry> got = scanner_.listing();
  EXPECT_EQ(deletedOnly(got), readFls(base_ + ".flsd"));
  // Every existing folder listed leads to something deleted, and every such folder is there.
  std::set<std::string> leading;
  for (const Entry& e : got)
    if (e.deleted)
      for (auto slash = e.path.find('/'); slash != std::string::npos; slash = e.path.find('/', slash + 1))
        leading.insert(e.path.substr(0, slash));
  std::set<std::string> live;
  for (const Entry& e : got)
    if (!e.deleted) {
      EXPECT_TRUE(e.folder) << e.path;
      live.insert(e.path);
    }
  for (const std::string& p : leading) {
    results::FoundItemRef folder = scanner_.find(p);
    if (!folder || !(folder->m_byFlags & kItemDeleted)) {
      EXPECT_EQ(live.count(p), 1u) << p;
    }
  }
  EXPECT_EQ(live.size() + deletedOnly(got).size(), got.size());
}

// Every directory cluster of a sound volume, searched by shape: the root's is the first
// found, so the whole tree hangs under it as one lost folder; directory clusters no
// directory holds any more hold what fls lists as orphans.
TEST_P(ExFatVolumeScan, AdvancedScanFindsTheTreeUnderTheRootClusterAsALostFolder) {
  ASSERT_EQ(scanner_.run(engine::kScanAdvanced).status, engine::ScanStatus::Done);
  const auto params = *fs::exfat::parseExFatBoot(platform::ByteView(readFile(base_ + ".img")));
  const std::string rootFolder = kLost + "/Folder " + std::to_string(params.rootCluster);
  std::vector<Entry> underRoot, elsewhere;
  for (const Entry& e : scanner_.listing()) {
    const bool madeUp = e.path == kLost || (e.path.rfind(kLost + "/Folder ", 0) == 0 &&
                                            e.path.find('/', kLost.size() + 1) == std::string::npos);
    if (madeUp) continue;
    if (e.path.rfind(rootFolder + "/", 0) == 0) underRoot.push_back({e.path.substr(rootFolder.size() + 1), e.folder, e.deleted});
    else elsewhere.push_back(e);
  }
  EXPECT_EQ(underRoot, readFls(base_ + ".fls"));
  std::set<std::string> orphanNames;
  for (const Entry& e : readFls(base_ + ".fls", true)) orphanNames.insert(e.path.substr(e.path.rfind('/') + 1));
  for (const Entry& e : elsewhere) {
    EXPECT_TRUE(e.deleted) << e.path;
    EXPECT_EQ(orphanNames.count(e.path.substr(e.path.rfind('/') + 1)), 1u) << e.path;
  }
  EXPECT_TRUE(scanner_.logged(u"[Creating free cluster list]"));
  EXPECT_TRUE(scanner_.logged(u"Adding lost file(s) and folder(s)"));
}

// The deep deleted-files scan: the deleted-files walk, then lost folders from the free
// clusters only, their contents marked deleted.
TEST_P(ExFatVolumeScan, DeepDeletedScanAddsTheOrphansFromFreeClusters) {
  ASSERT_EQ(scanner_.run(engine::kScanDeleted, 0).status, engine::ScanStatus::Done);
  std::vector<Entry> walked, lost;
  for (const Entry& e : scanner_.listing()) (e.path.rfind(kLost, 0) == 0 ? lost : walked).push_back(e);
  EXPECT_EQ(deletedOnly(walked), readFls(base_ + ".flsd"));
  const std::vector<Entry> orphans = readFls(base_ + ".fls", true);
  std::set<std::string> orphanNames, lostNames;
  for (const Entry& e : orphans) orphanNames.insert(e.path.substr(e.path.rfind('/') + 1));
  for (const Entry& e : lost) {
    const auto parts = std::count(e.path.begin(), e.path.end(), '/');
    if (parts < 2) continue;  // "Lost folder(s)" and its "Folder N"
    EXPECT_TRUE(e.deleted) << e.path;
    lostNames.insert(e.path.substr(e.path.rfind('/') + 1));
  }
  // What fls finds in free directory clusters at the top of $OrphanFiles is found here.
  for (const Entry& e : orphans) {
    if (e.path.find('/') != std::string::npos) continue;
    EXPECT_EQ(lostNames.count(e.path), 1u) << e.path;
  }
  for (const std::string& n : lostNames) EXPECT_EQ(orphanNames.count(n), 1u) << n;
}

// The picture and the archive the volume held before their deletion lie in free clusters:
// the raw scan finds each at the first cluster its deleted entry names (found by the deep
// deleted-files scan, as the entries may lie in directory clusters no directory holds any
// more), sized by its type, under a folder named after the type, and saves the original
// bytes. The picture's finder names it by its dimensions.
TEST_P(ExFatVolumeScan, RawScanFindsTheDeletedPictureAndArchiveInFreeClusters) {
  ASSERT_EQ(scanner_.run(engine::kScanDeleted, 0).status, engine::ScanStatus::Done);
  results::FoundItemRef picture = scanner_.findNamed(u"picture.png");
  results::FoundItemRef archive = scanner_.findNamed(u"archive.zip");
  ASSERT_TRUE(picture && archive);
  const std::uint64_t pictureAt = picture->m_nRecordKey, archiveAt = archive->m_nRecordKey;
  ASSERT_LT(pictureAt, archiveAt);  // so the picture is the raw scan's first file

  for (const carve::HEADER_RECORD& r : carve::defaultHeaderCatalogue())
    if (r.m_wTypeId == carve::kTypePng || r.m_wTypeId == carve::kTypeZip) scanner_.app_.selectedHeaders.append(r);
  scanner_.app_.m_pSelectedHeaders = scanner_.app_.selectedHeaders.head();
  ASSERT_EQ(scanner_.run(engine::kScanRaw).status, engine::ScanStatus::Done);
  const std::string png = "png/1_(300x200).png";
  const std::string zip = "zip/" + std::to_string(archiveAt) + ".zip";
  const std::vector<Entry> want = {{"png", true, false}, {png, false, false}, {"zip", true, false}, {zip, false, false}};
  EXPECT_EQ(scanner_.listing(), want);
  for (const auto i : scanner_.tree_->items()) EXPECT_TRUE(i->m_byFlags & kItemBySignature);
  ASSERT_NE(scanner_.find(png), nullptr);
  EXPECT_EQ(scanner_.find(png)->m_nRecordKey, pictureAt);

  const std::string out = scanner_.work_.file("raw");
  EXPECT_EQ(scanner_.save(out).recovered, 2u);
  const std::string originals = exfatImages() + "/raw/";
  EXPECT_EQ(readFile(out + "/" + png), readFile(originals + "picture.png"));
  EXPECT_EQ(readFile(out + "/" + zip), readFile(originals + "archive.zip"));
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExFatVolumeScan, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return test::exfat::testName(info.param); });

// exfat-c4k as partition 1 of an MBR disk, converted by qemu-img: the engine reads it
// through the image readers.
class ExFatDiskScan : public ::testing::TestWithParam<std::string> {};

TEST_P(ExFatDiskScan, ListsAndSavesAsTheBareVolume) {
  if (exfatImages().empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the exFAT volumes could not be made";
  const std::string base = exfatImages() + "/exfat-c4k";
  Scanner s;
  ASSERT_TRUE(s.selectDiskVolume(exfatImages() + "/" + GetParam()));
  EXPECT_EQ(s.app_.m_pSelectedSource->m_pDetail.volume()->m_nStartSector, 2048u);
  ASSERT_EQ(s.run(engine::kScanQuick).status, engine::ScanStatus::Done);
  EXPECT_EQ(s.listing(), readFls(base + ".fls"));
  expectSavedFilesEqualIcat(s, base, true);
  ASSERT_EQ(s.run(engine::kScanDeleted).status, engine::ScanStatus::Done);
  EXPECT_EQ(deletedOnly(s.listing()), readFls(base + ".flsd"));
  // The raw scan's sectors count from the disk's start, its clusters from the volume's.
  for (const carve::HEADER_RECORD& r : carve::defaultHeaderCatalogue())
    if (r.m_wTypeId == carve::kTypePng) s.app_.selectedHeaders.append(r);
  s.app_.m_pSelectedHeaders = s.app_.selectedHeaders.head();
  ASSERT_EQ(s.run(engine::kScanRaw).status, engine::ScanStatus::Done);
  const std::string out = s.work_.file("raw");
  EXPECT_EQ(s.save(out).recovered, 1u);
  EXPECT_EQ(readFile(out + "/png/1_(300x200).png"), readFile(exfatImages() + "/raw/picture.png"));
}

INSTANTIATE_TEST_SUITE_P(Disks, ExFatDiskScan, ::testing::Values("exfat-disk.vmdk", "exfat-disk.vdi", "exfat-disk.vhd"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(name.rfind('.') + 1);
                         });

// A volume whose root directory cluster was zeroed: the advanced scan finds each folder the
// root held by its directory cluster, with everything fls lists below it. With 128 KiB
// clusters every directory is one cluster, so nothing of them is split between finds.
TEST(ExFatDamagedVolume, ZeroedRootGivesBackItsFoldersAsLostFolders) {
  if (exfatImages().empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the exFAT volumes could not be made";
  const std::string base = exfatImages() + "/exfat-c128k";
  Bytes image = readFile(base + ".img");
  const auto params = *fs::exfat::parseExFatBoot(platform::ByteView(image));
  const std::uint64_t rootAt = *fs::exfat::firstSectorOfCluster(params, params.rootCluster) * 512;
  // The root's folders and their first clusters, before the damage.
  std::map<std::string, std::uint32_t> topFolders;
  {
    fs::exfat::ExFatDirectoryWalk walk(platform::ByteView(image.data() + rootAt, params.clusterBytes()), fs::exfat::ExFatWalkKind::Root);
    while (const auto set = walk.next())
      if (set->isFolder()) topFolders[platform::toUtf8(set->name)] = set->firstCluster;
  }
  ASSERT_GE(topFolders.size(), 6u);
  std::fill(image.begin() + std::ptrdiff_t(rootAt), image.begin() + std::ptrdiff_t(rootAt + params.clusterBytes()), 0);

  Scanner s;
  const std::string damaged = s.work_.putAt("damaged.img", 0, image);
  s.selectVolumeFile(damaged);
  ASSERT_EQ(s.run(engine::kScanAdvanced).status, engine::ScanStatus::Done);

  std::vector<Entry> want;
  want.push_back({kLost, true, false});
  for (const Entry& e : readFls(base + ".fls")) {
    const auto slash = e.path.find('/');
    const auto top = topFolders.find(e.path.substr(0, slash));
    if (top == topFolders.end()) continue;  // a file the root held: gone with it
    const std::string lost = kLost + "/Folder " + std::to_string(top->second);
    if (slash == std::string::npos) want.push_back({lost, true, false});
    else want.push_back({lost + e.path.substr(slash), e.folder, e.deleted});
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(s.listing(), want);
}

// The primary boot sector zeroed: the backup's values serve. Both zeroed: message 305,
// saying why, and nothing found.
TEST(ExFatDamagedVolume, BootSectorFallsBackToItsBackupAndFailsWithoutOne) {
  if (exfatImages().empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the exFAT volumes could not be made";
  const std::string base = exfatImages() + "/exfat-8m";
  Scanner s;
  const Bytes zeros(512, 0);
  std::filesystem::copy_file(base + ".img", s.work_.file("v.img"));
  s.work_.putAt("v.img", 0, zeros);
  s.selectVolumeFile(s.work_.file("v.img"));
  ASSERT_EQ(s.run(engine::kScanQuick).status, engine::ScanStatus::Done);
  EXPECT_EQ(s.listing(), readFls(base + ".fls"));

  s.work_.putAt("v.img", 12 * 512, zeros);
  const engine::ScanOutcome r = s.run(engine::kScanQuick);
  EXPECT_EQ(r.status, engine::ScanStatus::Failed);
  EXPECT_EQ(platform::toUtf8(r.message), "Not a valid volume, or critical data structure of volume badly corrupt.");
  EXPECT_NE(platform::toUtf8(r.cause).find("backup boot sector (volume sector 12)"), std::string::npos)
      << platform::toUtf8(r.cause);
  ASSERT_EQ(s.notifier_.shown.size(), 1u);  // said once
  EXPECT_EQ(s.tree_->size(), 0u);
  EXPECT_EQ(s.app_.m_bBusy, 0u);
}

// The main boot sector's heap offset one cluster later and its cluster count one lower still
// fit the volume, but its region's checksum no longer holds: the backup region, whose does,
// gives the geometry, and the log says so. The whole tree and every byte come back.
class ExFatAlteredBootRegion : public ExFatVolumeScan {};

TEST_P(ExFatAlteredBootRegion, BackupRegionWithAChecksumThatHoldsGivesTheGeometry) {
  Bytes image = readFile(base_ + ".img");
  const auto params = *fs::exfat::parseExFatBoot(platform::ByteView(image));
  ASSERT_TRUE(params.heapFromField);
  Scanner s;
  const std::string damaged = s.work_.putAt("damaged.img", 0, image);
  std::uint8_t field[4];
  platform::putLe32(field, params.clusterHeapOffset + params.sectorsPerCluster);
  s.work_.putAt("damaged.img", fs::exfat::boot::kClusterHeapOffset, field);
  platform::putLe32(field, params.clusterCount - 1);
  s.work_.putAt("damaged.img", fs::exfat::boot::kClusterCount, field);
  // Still a boot sector the parser takes, with the altered values.
  const auto altered = fs::exfat::parseExFatBoot(platform::ByteView(readFile(damaged)));
  ASSERT_TRUE(altered && altered->heapFromField);
  ASSERT_EQ(altered->clusterHeapOffset, params.clusterHeapOffset + params.sectorsPerCluster);

  s.selectVolumeFile(damaged);
  const engine::ScanOutcome r = s.run(engine::kScanQuick);
  ASSERT_EQ(r.status, engine::ScanStatus::Done) << platform::toUtf8(r.cause);
  EXPECT_EQ(s.listing(), readFls(base_ + ".fls"));
  EXPECT_TRUE(s.logged(u"The main boot region's checksum does not hold; the backup boot region (volume sector 12) is used"));
  expectSavedFilesEqualIcat(s, base_, false);

  // The backup's checksum broken too: neither region can be told sound, and the main boot
  // sector serves as before (its heap is one cluster off, so the root is not what fls lists).
  const Bytes broken(4, 0xA5);
  s.work_.putAt("damaged.img", (12 + 11) * 512, broken);
  Scanner again;
  again.selectVolumeFile(damaged);
  ASSERT_EQ(again.run(engine::kScanQuick).status, engine::ScanStatus::Done);
  EXPECT_NE(again.listing(), readFls(base_ + ".fls"));
  EXPECT_FALSE(again.logged(u"The main boot region's checksum does not hold; the backup boot region (volume sector 12) is used"));
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExFatAlteredBootRegion, ::testing::Values("exfat-8m", "exfat-c4k", "exfat-pack"),
                         [](const auto& info) { return test::exfat::testName(info.param); });

}  // namespace
}  // namespace qelda::exfat
