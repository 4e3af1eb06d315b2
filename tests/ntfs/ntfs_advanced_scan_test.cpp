// The deep (advanced) scan of NTFS volumes made by mkntfs and ntfs-3g and then damaged: every
// file The Sleuth Kit listed before the damage is listed again and reads back as it read it;
// hand-made record sets for the tree's made-up folders; the signature hits of the search.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/scan_info.h"
#include "carve/header_catalogue.h"
#include "engine/scan_state.h"
#include "fs/mft_record.h"
#include "fs/ntfs_boot.h"
#include "fs/ntfs_layout.h"
#include "support/missing_images.h"
#include "ntfs/ntfs_image_support.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace qelda::ntfs {

using qelda::fs::ntfs::NtfsBootParams;
namespace layout = qelda::fs::ntfs::layout;
namespace {

using namespace qelda::ntfs::test;
using Bytes = std::vector<std::uint8_t>;

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

NtfsBootParams bootOf(const VolumeCopy& copy) {
  const Bytes boot = copy.bytesAt(0, 512);
  const auto parsed = qelda::fs::ntfs::parseNtfsBoot(platform::ByteView(boot), copy.sectors());
  EXPECT_TRUE(parsed);
  return parsed ? *parsed : NtfsBootParams{};
}

// The boot sector, its backup, $MFT's record 0 and its copy in $MFTMirr, all zeroed.
void zeroBootsAndRecordZero(VolumeCopy& copy, const NtfsBootParams& boot) {
  const Bytes zeros(1024, 0);
  copy.patch(0, Bytes(512, 0));
  copy.patch((copy.sectors() - 1) * 512, Bytes(512, 0));
  copy.patch(boot.mftSector() * 512, zeros);
  copy.patch(boot.mftMirrSector() * 512, zeros);
}

// Only the cluster size, in the boot sector and its backup.
void zeroClusterSize(VolumeCopy& copy, const NtfsBootParams&) {
  copy.patch(layout::kBootSectorsPerCluster, {0});
  copy.patch((copy.sectors() - 1) * 512 + layout::kBootSectorsPerCluster, {0});
}

// Paths that name more than one found item, user files and folders only.
std::vector<std::string> duplicatePaths(const results::CFileFolderTree& tree) {
  std::map<std::string, int> seen;
  for (const auto i : tree.items()) {
    const std::string path = platform::toUtf8(tree.pathOf(i));
    if (!isSystemPath(path)) ++seen[path];
  }
  std::vector<std::string> out;
  for (const auto& [path, n] : seen)
    if (n > 1) out.push_back(path);
  return out;
}

// The advanced scan through the scan worker, of the partition at VolumeCopy::kVolumeStart.
engine::ScanOutcome scanAdvanced(DiskScan& s, VolumeCopy& copy) {
  if (!s.mount(copy.diskImage())) return {engine::ScanStatus::Failed, u"not mounted", {}};
  s.app.m_nAdvancedFileSystem = engine::kAdvancedNtfs;
  return s.scan(engine::kScanAdvanced, s.partitionAt(VolumeCopy::kVolumeStart));
}

struct DamageCase {
  const char* name;
  void (*damage)(VolumeCopy&, const NtfsBootParams&);
};

class NtfsDamagedDeepScan : public ::testing::TestWithParam<std::tuple<int, DamageCase>> {
 protected:
  void SetUp() override {
    if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
    base_ = ntfsImagesDir() + "/ntfs-" + std::to_string(std::get<0>(GetParam()));
  }
  std::string base_;
};

TEST_P(NtfsDamagedDeepScan, ListsWhatTheSleuthKitListedBeforeAndReadsItTheSame) {
  VolumeCopy copy(base_ + ".img");
  std::get<1>(GetParam()).damage(copy, bootOf(copy));
  DiskScan s;
  const engine::ScanOutcome outcome = scanAdvanced(s, copy);
  ASSERT_EQ(outcome.status, engine::ScanStatus::Done) << platform::toUtf8(outcome.message + u" " + outcome.cause);

  const Listing want = flsListing(base_ + ".fls");
  const Listing got = engineListing(*s.tree);
  const std::vector<std::string> missing = missingByRecord(base_ + ".fls", got);
  std::string shown;
  for (std::size_t i = 0; i < missing.size() && i < 20; ++i) shown += "  " + missing[i] + "\n";
  ASSERT_GE(double(want.size() - missing.size()), 0.99 * double(want.size())) << shown;
  EXPECT_TRUE(missing.empty()) << shown;
  // Stale copies of user records: none on these volumes.
  EXPECT_TRUE(duplicatePaths(*s.tree).empty());

  // Every file found reads as The Sleuth Kit reads it from the undamaged volume.
  const fs::path tsk = base_ + ".tsk";
  std::size_t compared = 0;
  for (const auto i : s.tree->items()) {
    const std::string path = platform::toUtf8(s.tree->pathOf(i));
    if (i->isFolder() || isSystemPath(path)) continue;
    SCOPED_TRACE(path);
    std::string bytes;
    EXPECT_EQ(s.read(*i, bytes), engine::ReadOutcome::Complete);
    if (!fs::exists(tsk / path)) {
      EXPECT_EQ(i->m_nSize, 0u) << "The Sleuth Kit saved no such file";  // it leaves empty files out
      continue;
    }
    EXPECT_EQ(bytes, readWhole(tsk / path));
    ++compared;
  }
  EXPECT_GE(compared, 3000u);
}

INSTANTIATE_TEST_SUITE_P(
    ClusterSizes, NtfsDamagedDeepScan,
    ::testing::Combine(::testing::Values(1024, 4096, 65536),
                       ::testing::Values(DamageCase{"BootSectorsAndRecordZeroZeroed", zeroBootsAndRecordZero},
                                         DamageCase{"ClusterSizeZeroed", zeroClusterSize})),
    [](const auto& info) {
      return std::to_string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
    });

// The same damaged volumes, scanned, saved and resumed: the resumed engine has only what the
// file kept (the run records; $MFT's runs when any were found) to find each item's record,
// and reads every file as The Sleuth Kit reads it from the undamaged volume.
class NtfsSavedDeepScan : public ::testing::TestWithParam<DamageCase> {};

TEST_P(NtfsSavedDeepScan, ResumedFilesReadAsTheSleuthKitReadsThem) {
  if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
  const std::string base = ntfsImagesDir() + "/ntfs-4096";
  VolumeCopy copy(base + ".img");
  GetParam().damage(copy, bootOf(copy));
  DiskScan scanned;
  ASSERT_EQ(scanAdvanced(scanned, copy).status, engine::ScanStatus::Done);
  qelda::test::ImageDir dir;
  const std::string saved = dir.file("deep.qsi");
  ASSERT_EQ(app::SaveScanImage(scanned.app, *scanned.tree, saved), "");

  DiskScan resumed;
  ASSERT_TRUE(resumed.mount(copy.diskImage()));
  const engine::ScanOutcome outcome = resumed.resume(saved);
  ASSERT_EQ(outcome.status, engine::ScanStatus::Done) << platform::toUtf8(outcome.message + u" " + outcome.cause);
  const Listing got = engineListing(*resumed.tree), want = engineListing(*scanned.tree);
  EXPECT_EQ(got, want) << "only resumed:\n" << difference(got, want) << "only scanned:\n" << difference(want, got);

  const fs::path tsk = base + ".tsk";
  std::size_t compared = 0;
  for (const results::FoundItemRef i : resumed.tree->items()) {
    const std::string path = platform::toUtf8(resumed.tree->pathOf(i));
    if (i->isFolder() || isSystemPath(path) || !fs::exists(tsk / path)) continue;
    SCOPED_TRACE(path);
    std::string bytes;
    EXPECT_EQ(resumed.read(*i, bytes), engine::ReadOutcome::Complete);
    EXPECT_TRUE(bytes == readWhole(tsk / path)) << bytes.size() << " bytes read";
    ++compared;
  }
  EXPECT_GE(compared, 3000u);
}

INSTANTIATE_TEST_SUITE_P(Damage, NtfsSavedDeepScan,
                         ::testing::Values(DamageCase{"BootSectorsAndRecordZeroZeroed", zeroBootsAndRecordZero},
                                           DamageCase{"ClusterSizeZeroed", zeroClusterSize},
                                           // $MFT's runs are found and saved too; ids are still no record numbers.
                                           DamageCase{"Undamaged", [](VolumeCopy&, const NtfsBootParams&) {}}),
                         [](const auto& info) { return std::string(info.param.name); });

// The restore's run records as the tables hold them: taken back whole, in order, as a deep
// scan without $MFT's runs; refused when a record is no run record or the tables are short.
TEST(NtfsRestoredRunRecords, AreTakenBackWholeOrRefused) {
  const std::vector<qelda::fs::ntfs::RunRecord> saved = {{40, 10, 5, 64, 1, 0}, {48, 11, 64, qelda::fs::ntfs::kUnknownRecordNumber, 0, 1}};
  std::vector<std::uint8_t> good;
  for (const qelda::fs::ntfs::RunRecord& r : saved) {
    const auto b = qelda::fs::ntfs::encodeRunRecord(r);
    good.insert(good.end(), b.begin(), b.end());
  }
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    bool restored;
  };
  const std::vector<Case> cases = {
      {"sound", [](std::vector<std::uint8_t>&) {}, true},
      {"a record neither file nor folder", [](std::vector<std::uint8_t>& b) { b[28 + layout::kRunRecordIsFile] = 2; }, false},
      {"a mark that is no flag", [](std::vector<std::uint8_t>& b) { b[layout::kRunRecordMark] = 7; }, false},
      {"tables a byte short", [](std::vector<std::uint8_t>& b) { b.pop_back(); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> tables = good;
    c.damage(tables);
    engine::SCAN_IMAGE_HEADER header;
    header.m_byFsCode = 7;
    header.sectorsPerCluster = 8;
    header.sectorCount = 4096;
    header.lastSector = 4095;
    header.runRecordCount = 2;
    header.firstRunRecord = 64;
    header.engineTableBytes = good.size();
    header.noDriveSearch = 1;
    std::size_t offset = 0;
    const engine::TableReader read = [&](std::span<std::uint8_t> out) {
      if (out.size() > tables.size() - offset) return false;
      std::copy_n(tables.begin() + std::ptrdiff_t(offset), out.size(), out.begin());
      offset += out.size();
      return true;
    };
    app::CQELDAApp app;
    results::CFileFolderTree tree;
    qelda::test::RecordingNotifier notifier;
    CNtfsEngine engine(app, {.console = &tree});
    std::u16string cause;
    EXPECT_EQ(engine.RestoreFromScanInfo(header, read, notifier, cause), c.restored ? 1u : 0u);
    EXPECT_EQ(cause.empty(), c.restored) << platform::toUtf8(cause);
    if (!c.restored) continue;
    EXPECT_EQ(EngineProbe::runRecords(engine), saved);
    EXPECT_TRUE(EngineProbe::advancedScan(engine));
    EXPECT_EQ(EngineProbe::mftRecordCount(engine), 0u);
  }
}

// A copy of the 4096-byte volume whose records are patched before its boot sectors, record 0
// and the mirror's copy are zeroed.
class NtfsDeepTree : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
    base_ = ntfsImagesDir() + "/ntfs-4096";
    copy_ = std::make_unique<VolumeCopy>(base_ + ".img");
    boot_ = bootOf(*copy_);
    probe_.mount(copy_->volumeImage(), copy_->volume());
    probe_.engine->ScanVolume(0);
    ASSERT_GT(EngineProbe::mftRecordCount(*probe_.engine), 3000u);
  }
  std::uint32_t recordOf(const std::string& path) { return flsRecordOf(base_ + ".fls", path); }

  // Rewrites every $FILE_NAME of the record: its parent, or (name false) its name's length 0.
  void patchFileNames(const std::string& path, std::uint32_t parent, bool keepName = true) {
    const std::uint32_t record = recordOf(path);
    ASSERT_NE(record, 0u) << path;
    qelda::fs::ntfs::RecordBuffer read;
    ASSERT_TRUE(EngineProbe::readRecord(*probe_.engine, record, read));
    Bytes bytes(read.begin(), read.end());
    const platform::ByteView view(bytes);
    int patched = 0;
    for (const qelda::fs::ntfs::AttributeRef& a : qelda::fs::ntfs::walkAttributes(view, layout::kMaxAttributes).attributes) {
      if (a.type != layout::kTypeFileName) continue;
      const std::size_t value = a.offset + *view.le16(a.offset + layout::kAttrValueOffset);
      if (keepName) platform::putLe32(bytes.data() + value + layout::kFnParent, parent);
      else bytes[value + layout::kFnNameLength] = 0;
      ++patched;
    }
    ASSERT_GT(patched, 0);
    copy_->patchRecord(EngineProbe::GetRecordSector(*probe_.engine, record) * 512, bytes);
  }

  std::set<std::string> pathsAfterDeepScan() {
    zeroBootsAndRecordZero(*copy_, boot_);
    scan_ = std::make_unique<DiskScan>();
    EXPECT_EQ(scanAdvanced(*scan_, *copy_).status, engine::ScanStatus::Done);
    std::set<std::string> out;
    for (const auto i : scan_->tree->items()) out.insert(platform::toUtf8(scan_->tree->pathOf(i)));
    return out;
  }

  std::string base_;
  std::unique_ptr<VolumeCopy> copy_;
  NtfsBootParams boot_;
  MountedVolume probe_;
  std::unique_ptr<DiskScan> scan_;
};

TEST_F(NtfsDeepTree, MissingParentsCyclesAndUnnamedFoldersEndUnderMadeUpFolders) {
  const std::string c = "deep/a/b/c", d = "deep/a/b/c/d";
  const std::string many = std::to_string(recordOf("many"));
  const std::string dRecord = std::to_string(recordOf(d));
  patchFileNames("Docs/Reports", 77777);                   // a parent never found
  patchFileNames("Ελληνικά", 88888);                       // two folders with one missing parent
  patchFileNames("Docs/Empty folder", 88888);
  patchFileNames(c, recordOf(d));                          // c and d each other's parent
  patchFileNames("many", 0, false);                        // a folder that cannot be reported
  patchFileNames("SHORT.TXT", recordOf("packed"));         // a file under a folder made later
  const std::set<std::string> paths = pathsAfterDeepScan();

  const std::string lost = "Lost folder(s)/";
  for (const std::string& want : std::vector<std::string>{
           lost + "Folder 77777/Reports/2021/report.txt",
           lost + "Folder 88888/Ελληνικά/Ünïcödé — 日本語.txt",
           lost + "Folder 88888/Empty folder",
           // The cycle is entered at the first of its folders found.
           lost + "Folder " + dRecord + "/c/d/e/f/g/h/deep.txt",
           // The unnamed folder's files keep their place under a folder named by its record.
           lost + "Folder " + many + "/f0001.txt",
           lost + "Folder " + many + "/f3000.txt",
           "packed/SHORT.TXT",
           "deep/a/b",
           "Long File Name.txt",
       })
    EXPECT_TRUE(paths.count(want)) << want;
  for (const char* gone : {"Docs/Reports", "many", "Ελληνικά", "deep/a/b/c", "SHORT.TXT"})
    EXPECT_FALSE(paths.count(gone)) << gone;
  // One made-up folder per missing parent.
  std::size_t folders88888 = 0;
  for (const auto i : scan_->tree->items())
    if (i->isFolder() && scan_->tree->nameOf(i) == u"Folder 88888") ++folders88888;
  EXPECT_EQ(folders88888, 1u);
}

TEST_F(NtfsDeepTree, ItemsAreKeyedByTheirRecordsSector) {
  pathsAfterDeepScan();
  results::FoundItemRef item = scan_->find("Docs/Reports/2021/report.txt");
  ASSERT_NE(item, nullptr);
  // The key is where the record lies; the id is the search's, not the record's number.
  Bytes record = copy_->bytesAt(item->m_nRecordKey * 512, 1024);
  ASSERT_TRUE(qelda::fs::ntfs::ApplyRecordFixup(record));
  EXPECT_EQ(qelda::fs::ntfs::GetRecordLongFileName(platform::ByteView(record)), std::u16string(u"report.txt"));
  EXPECT_GE(item->m_nId, 10u);
  EXPECT_NE(item->m_nId, recordOf("Docs/Reports/2021/report.txt"));
}

TEST_F(NtfsDeepTree, QuickScanWithoutBootSectorsOrMftRunsTheDeepScan) {
  zeroBootsAndRecordZero(*copy_, boot_);
  DiskScan s;
  ASSERT_TRUE(s.mount(copy_->diskImage()));
  // The partition walk no longer knows the volume: its record says nothing.
  ASSERT_EQ(s.scan(engine::kScanQuick, s.partitionAt(VolumeCopy::kVolumeStart)).status, engine::ScanStatus::Done);
  EXPECT_TRUE(missingByRecord(base_ + ".fls", engineListing(*s.tree)).empty());
}

// A volume of fewer than 2049 sectors holding three records: at sector 32, in its last two
// sectors, and an old-style ("FILE*") copy, whose header holds no record number.
TEST(NtfsDeepSearch, SmallVolumeIsSearchedToItsLastRecord) {
  if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
  const std::string base = ntfsImagesDir() + "/ntfs-4096";
  MountedVolume probe;
  VolumeCopy source(base + ".img");
  ASSERT_TRUE(probe.mount(source.volumeImage(), source.volume()));
  probe.engine->ScanVolume(0);
  auto onDisk = [&](const std::string& path) {
    const std::uint64_t sector = EngineProbe::GetRecordSector(*probe.engine, flsRecordOf(base + ".fls", path));
    return source.bytesAt(sector * 512, 1024);
  };
  const Bytes report = onDisk("Docs/Reports/2021/report.txt");  // non-resident: it votes for 8 sectors a cluster
  const Bytes readme = onDisk("readme.txt");
  Bytes old = onDisk("SHORT.TXT");
  // To the old layout: the update sequence array moves from 0x30 to 0x2A.
  std::copy(old.begin() + 0x30, old.begin() + 0x36, old.begin() + 0x2A);
  platform::putLe16(old.data() + layout::kRecordUsaOffset, layout::kUsaOffsetOld);

  constexpr std::uint64_t kSectors = 1500;
  qelda::test::ImageDir dir;
  dir.truncate("small.img", kSectors * 512);
  dir.putAt("small.img", 32 * 512, report);
  dir.putAt("small.img", 600 * 512, old);
  dir.putAt("small.img", (kSectors - 2) * 512, readme);
  dir.putText("small.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " + std::to_string(kSectors) +
                                " FLAT \"small.img\" 0\n");
  MountedVolume v;
  ASSERT_TRUE(v.mount(dir.file("small.vmdk"), dir.file("small.img")));
  v.engine->ScanAdvanced();
  EXPECT_EQ(EngineProbe::m_nSectorsPerCluster(*v.engine), 8);
  std::map<std::uint64_t, qelda::fs::ntfs::RunRecord> bySector;
  for (const qelda::fs::ntfs::RunRecord& r : EngineProbe::runRecords(*v.engine)) bySector[r.sector] = r;
  ASSERT_EQ(bySector.size(), 3u);
  EXPECT_EQ(bySector[32].recordNumber, flsRecordOf(base + ".fls", "Docs/Reports/2021/report.txt"));
  EXPECT_EQ(bySector[600].recordNumber, qelda::fs::ntfs::kUnknownRecordNumber);
  EXPECT_EQ(bySector[kSectors - 2].recordNumber, flsRecordOf(base + ".fls", "readme.txt"));
  const Listing got = engineListing(v.tree);
  const Listing fls = flsListing(base + ".fls");
  const auto sizeOf = [&fls](const std::string& path) {
    const auto it = std::find_if(fls.begin(), fls.end(), [&](const std::string& e) { return e.rfind("f " + path + " ", 0) == 0; });
    return it == fls.end() ? std::string("?") : it->substr(path.size() + 3);
  };
  EXPECT_TRUE(got.count("f readme.txt " + sizeOf("readme.txt"))) << difference(got, {});
  EXPECT_TRUE(got.count("f SHORT.TXT " + sizeOf("SHORT.TXT")));
  const std::string reports = std::to_string(flsRecordOf(base + ".fls", "Docs/Reports/2021"));
  EXPECT_TRUE(got.count("f Lost folder(s)/Folder " + reports + "/report.txt " + sizeOf("Docs/Reports/2021/report.txt")));
  // The search's log: the derivation, the search, the tree.
  const auto& lines = v.log.lines;
  const auto at = [&lines](const char* text) { return std::find(lines.begin(), lines.end(), text) - lines.begin(); };
  EXPECT_LT(at("Calculating system parameters"), at("Searching metadata..."));
  EXPECT_LT(at("Searching metadata..."), at("Creating directory tree"));
  EXPECT_LT(at("Creating directory tree"), std::ptrdiff_t(lines.size()));
}

TEST(NtfsDeepSearch, NoClusterSizeAnywhereFailsWithTheVolumeMessage) {
  qelda::test::ImageDir dir;
  dir.truncate("blank.img", 4096 * 512);
  dir.putText("blank.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW 4096 FLAT \"blank.img\" 0\n");
  MountedVolume v;
  ASSERT_TRUE(v.mount(dir.file("blank.vmdk"), dir.file("blank.img")));
  v.engine->ScanAdvanced();
  EXPECT_EQ(EngineProbe::m_nSectorsPerCluster(*v.engine), 0);
  EXPECT_FALSE(EngineProbe::failure(*v.engine).empty());
  EXPECT_EQ(v.tree.size(), 0u);
}

TEST(NtfsDeepSearch, DeletedScanDeepBranchIsTheDeepScan) {
  if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
  const std::string base = ntfsImagesDir() + "/ntfs-deleted";
  VolumeCopy copy(base + ".img");
  DiskScan s;
  ASSERT_TRUE(s.mount(copy.diskImage()));
  s.app.m_nScanType = 0;
  ASSERT_EQ(s.scan(engine::kScanDeleted).status, engine::ScanStatus::Done);
  ASSERT_TRUE(s.app.currentEngine);
  // Deleted files come back under their own folders, read from their records' runs; the
  // folder "gone" lost its record to a new file, so what it held hangs under a made-up folder
  // named by that record.
  const std::string gone = "Lost folder(s)/Folder " + std::to_string(flsRecordOf(base + ".fls", "keep/second.txt"));
  const std::pair<std::string, std::string> cases[] = {
      {"mixed/dead.txt", "mixed/dead.txt"},
      {"root-dead.txt", "root-dead.txt"},
      {"keep/sub/b.bin", "keep/sub/b.bin"},
      {"sparse-dead.bin", "sparse-dead.bin"},
      {gone + "/inner/deeper/g3.txt", "$OrphanFiles/inner/deeper/g3.txt"},
      {gone + "/inner/g2.bin", "$OrphanFiles/inner/g2.bin"},
  };
  for (const auto& [path, flsPath] : cases) {
    SCOPED_TRACE(path);
    results::FoundItemRef item = s.find(path);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->m_byFlags & kItemDeleted);
    const std::uint32_t record = flsRecordOf(base + ".fls-d", flsPath);
    ASSERT_NE(record, 0u);
    std::string bytes;
    s.read(*item, bytes);
    EXPECT_EQ(bytes, run("icat '" + base + ".img' " + std::to_string(record)));
  }
}

// Signatures in free clusters during the deep scan, when raw recovery is on: under
// "Raw Data Folder(s)", one folder per type (its text cut to 8 characters), named by cluster.
TEST(NtfsDeepSearch, RawHitsGoUnderRawDataFolders) {
  if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
  DiskScan s;
  ASSERT_TRUE(s.mount(ntfsImagesDir() + "/ntfs-raw-disk.vmdk"));
  // A type with a long text ahead of the catalogue's: RAR archives, sized by what follows.
  carve::HEADER_RECORD longText;
  longText.m_szExtension = u"rarchive-long";
  longText.m_wTypeId = 999;
  longText.m_nHeaderLen = 4;
  longText.m_abyHeader = {'R', 'a', 'r', '!'};
  longText.m_nMaxSize = 8192;
  s.app.selectedHeaders.append(longText);
  for (const carve::HEADER_RECORD& r : carve::defaultHeaderCatalogue()) s.app.selectedHeaders.append(r);
  s.app.m_pSelectedHeaders = s.app.selectedHeaders.head();
  s.app.m_nSetRaw = 0;
  s.app.m_nAdvancedFileSystem = engine::kAdvancedNtfs;
  ASSERT_EQ(s.scan(engine::kScanAdvanced).status, engine::ScanStatus::Done);

  results::FoundItemRef top = s.find("Raw Data Folder(s)");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->m_nId, 0xFFFFFFF0u);
  EXPECT_EQ(top->m_nParentId, 5u);
  results::FoundItemRef rar = s.find("Raw Data Folder(s)/rarchive");
  ASSERT_NE(rar, nullptr);
  EXPECT_LT(rar->m_nId, top->m_nId);

  std::ifstream manifest(ntfsImagesDir() + "/ntfs-raw.manifest");
  std::string name;
  std::uint64_t type = 0, size = 0;
  std::int64_t first = 0;
  int pieces = 0, sized = 0;
  std::size_t found = 0;
  while (manifest >> name >> type >> size >> first >> pieces >> sized) {
    if (pieces != 1 || !sized || name.ends_with(".rar")) continue;
    SCOPED_TRACE(name);
    results::FoundItemRef hit;
    for (const auto i : s.tree->items())
      if (!i->isFolder() && (i->m_byFlags & kItemBySignature) && i->m_nRecordKey == std::uint64_t(first)) hit = i;
    ASSERT_NE(hit, nullptr);
    const std::string path = platform::toUtf8(s.tree->pathOf(hit));
    EXPECT_EQ(path.rfind("Raw Data Folder(s)/", 0), 0u) << path;
    EXPECT_NE(path.find("/" + std::to_string(first) + "."), std::string::npos) << path;
    EXPECT_EQ(hit->m_nSize, size);
    std::string bytes;
    s.read(*hit, bytes);
    const fs::path corpus = fs::path(ntfsImagesDir()) / "carve" / name;
    const fs::path fixture = fs::path(QELDA_TEST_SOURCES_DIR) / "data" / "carve" / name;
    EXPECT_EQ(bytes, readWhole(fs::exists(corpus) ? corpus : fixture));
    ++found;
  }
  EXPECT_GE(found, 30u);
}

}  // namespace
}  // namespace qelda::ntfs
