// The raw search of an NTFS volume into which ntfs-3g wrote the carving corpus and then
// deleted it: the free-cluster list against blkls, every contiguous planted file found at
// its first cluster with its size and bytes, the search over every sector when the volume's
// structures cannot be used, hostile $Bitmap records, and the type folders.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "carve/header_catalogue.h"
#include "engine/scan_state.h"
#include "fs/mft_record.h"
#include "fs/ntfs_layout.h"
#include "support/missing_images.h"
#include "ntfs/ntfs_image_support.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace qelda::ntfs {
namespace {

using namespace qelda::ntfs::test;

struct PlantedFile {
  std::string name;
  std::uint16_t typeId = 0;
  std::uint64_t size = 0;
  std::int64_t firstCluster = -1;
  int pieces = 0;     // 0: it stayed inside its MFT record
  bool sized = true;  // the format carries its size
};

std::vector<PlantedFile> plantedFiles() {
  std::vector<PlantedFile> out;
  std::ifstream in(ntfsImagesDir() + "/ntfs-raw.manifest");
  PlantedFile f;
  int sized = 0;
  while (in >> f.name >> f.typeId >> f.size >> f.firstCluster >> f.pieces >> sized) {
    f.sized = sized != 0;
    out.push_back(f);
  }
  return out;
}

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The bytes that were planted under this name.
std::string original(const std::string& planted) {
  const std::string name = planted.rfind("frag-", 0) == 0 ? planted.substr(5) : planted;
  const fs::path corpus = fs::path(ntfsImagesDir()) / "carve" / name;
  if (fs::exists(corpus)) return readWhole(corpus);
  return readWhole(fs::path(QELDA_TEST_SOURCES_DIR) / "data" / "carve" / name);
}

// `blkls -A` of the volume: free runs (first, count).
std::vector<std::pair<std::uint64_t, std::uint64_t>> blklsFreeRuns() {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  std::ifstream in(ntfsImagesDir() + "/ntfs-raw.free");
  std::uint64_t first = 0, count = 0;
  while (in >> first >> count) out.emplace_back(first, count);
  return out;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> engineFreeRuns(const CNtfsEngine& engine, std::uint64_t below) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  for (const FREE_EXTENT* e = EngineProbe::m_pFreeExtents(engine); e; e = e->next) {
    if (e->firstCluster >= below) continue;
    out.emplace_back(e->firstCluster, std::min<std::uint64_t>(e->clusterCount, below - e->firstCluster));
  }
  return out;
}

void selectEveryType(app::CQELDAApp& app) {
  for (const carve::HEADER_RECORD& r : carve::defaultHeaderCatalogue()) app.selectedHeaders.append(r);
  app.m_pSelectedHeaders = app.selectedHeaders.head();
}

// The files found by signature, by their record key.
std::map<std::uint64_t, results::FoundItemRef> signatureFilesByKey(const results::CFileFolderTree& tree) {
  std::map<std::uint64_t, results::FoundItemRef> out;
  for (const auto i : tree.items())
    if (!i->isFolder() && (i->m_byFlags & kItemBySignature)) out.emplace(i->m_nRecordKey, i);
  return out;
}

class NtfsRawScan : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
    planted_ = plantedFiles();
    ASSERT_GT(planted_.size(), 30u);
  }

  // Every planted file that lies in one piece of clusters, and the others.
  std::vector<PlantedFile> contiguous() const {
    std::vector<PlantedFile> out;
    for (const PlantedFile& f : planted_)
      if (f.pieces == 1) out.push_back(f);
    return out;
  }

  // Checks each contiguous planted file among the found ones: key = its first cluster times
  // `unitsPerCluster`, its size and its bytes as planted.
  void expectEveryContiguousFile(DiskScan& scan, std::uint64_t unitsPerCluster) {
    const auto found = signatureFilesByKey(*scan.tree);
    std::size_t checked = 0;
    for (const PlantedFile& f : contiguous()) {
      SCOPED_TRACE(f.name);
      const auto it = found.find(std::uint64_t(f.firstCluster) * unitsPerCluster);
      ASSERT_NE(it, found.end()) << "not found at cluster " << f.firstCluster;
      const FOUND_ITEM& item = *it->second;
      const std::string planted = original(f.name);
      ASSERT_EQ(planted.size(), f.size);
      std::string bytes;
      EXPECT_EQ(scan.read(item, bytes), engine::ReadOutcome::Complete);
      if (f.sized) {
        EXPECT_EQ(item.m_nSize, f.size);
        EXPECT_EQ(bytes, planted);
      } else {
        // Sized by what follows it: at least the file, and the file first.
        EXPECT_GE(item.m_nSize, f.size);
        EXPECT_EQ(bytes.substr(0, planted.size()), planted);
      }
      ++checked;
    }
    EXPECT_GE(checked, 35u);
  }

  std::vector<PlantedFile> planted_;
};

TEST_F(NtfsRawScan, FreeClusterListIsWhatBlklsCallsUnallocated) {
  VolumeCopy copy(ntfsImagesDir() + "/ntfs-raw.img");
  MountedVolume v;
  ASSERT_TRUE(v.mount(copy.volumeImage(), copy.volume()));
  ASSERT_TRUE(EngineProbe::ReadBootSector(*v.engine));
  ASSERT_TRUE(EngineProbe::BuildFreeClusterList(*v.engine));
  // The file system's own clusters: the boot sector counts one sector less than the volume.
  const std::uint64_t clusters = (copy.sectors() - 1) / 8;
  EXPECT_EQ(engineFreeRuns(*v.engine, clusters), blklsFreeRuns());
  // Built again, the list is the same rather than twice as long.
  ASSERT_TRUE(EngineProbe::BuildFreeClusterList(*v.engine));
  EXPECT_EQ(engineFreeRuns(*v.engine, clusters), blklsFreeRuns());
  // Each planted file's first cluster is free now, and the live neighbours' are not.
  for (const PlantedFile& f : planted_) {
    if (f.pieces != 0) {
      EXPECT_TRUE(EngineProbe::isFreeCluster(*v.engine, std::uint64_t(f.firstCluster))) << f.name;
    }
  }
  EXPECT_FALSE(EngineProbe::isFreeCluster(*v.engine, 0));  // the boot sector's cluster
}

TEST_F(NtfsRawScan, EveryContiguousPlantedFileIsFoundSizedAndReadBack) {
  DiskScan scan;
  ASSERT_TRUE(scan.mount(ntfsImagesDir() + "/ntfs-raw-disk.vmdk"));
  selectEveryType(scan.app);
  ASSERT_EQ(scan.scan(engine::kScanRaw).status, engine::ScanStatus::Done);
  expectEveryContiguousFile(scan, 1);

  // Nothing is found in a cluster in use, and each type has its folder under the root.
  const auto free = blklsFreeRuns();
  auto isFree = [&free](std::uint64_t c) {
    return std::any_of(free.begin(), free.end(), [c](auto r) { return c >= r.first && c - r.first < r.second; });
  };
  for (const auto& [key, item] : signatureFilesByKey(*scan.tree)) EXPECT_TRUE(isFree(key)) << key;
  for (const char* folder : {"jpg", "png", "gif", "bmp", "tif", "zip", "html", "rar", "au", "avi", "DOC", "XLS", "PPT"}) {
    results::FoundItemRef item = scan.find(folder);
    ASSERT_NE(item, nullptr) << folder;
    EXPECT_TRUE(item->isFolder());
    EXPECT_EQ(item->m_nParentId, 5u);
    EXPECT_EQ(item->m_byFlags, kItemBySignature);
  }

  // A picture that carries its date and camera is named by them; a file whose finder gives
  // no name is named by its cluster.
  bool exifNamed = false, clusterNamed = false;
  for (const PlantedFile& f : contiguous()) {
    results::FoundItemRef item = signatureFilesByKey(*scan.tree).at(std::uint64_t(f.firstCluster));
    const std::string path = platform::toUtf8(scan.tree->pathOf(item));
    if (f.name == "pillow_exif.jpg") {
      EXPECT_NE(path.find("_(7-3-2009 14-5-32)Canon EOS 5D(96x64).jpg"), std::string::npos) << path;
      exifNamed = true;
    }
    if (f.name == "plain.zip") {
      EXPECT_EQ(path, "zip/" + std::to_string(f.firstCluster) + ".zip");
      clusterNamed = true;
    }
  }
  EXPECT_TRUE(exifNamed && clusterNamed);
}

TEST_F(NtfsRawScan, SectorSearchWhenNoClusterSizeIsLeft) {
  // The cluster size zeroed in the boot sector and its backup: the volume is searched
  // sector by sector, and each hit reads back from the sector it was found at.
  VolumeCopy copy(ntfsImagesDir() + "/ntfs-raw.img");
  copy.patch(0x0D, {0});
  copy.patch((copy.sectors() - 1) * 512 + 0x0D, {0});
  DiskScan scan;
  ASSERT_TRUE(scan.mount(copy.diskImage()));
  selectEveryType(scan.app);
  ASSERT_EQ(scan.scan(engine::kScanRaw).status, engine::ScanStatus::Done);
  expectEveryContiguousFile(scan, 8);
  // The 'X' bytes after the volume are never searched nor read.
  for (const auto& [key, item] : signatureFilesByKey(*scan.tree)) {
    EXPECT_LT(key + (item->m_nSize + 511) / 512, copy.sectors() + 1) << key;
    std::string bytes;
    scan.read(*item, bytes);
    EXPECT_EQ(bytes.find("XXXXXXXXXXXXXXXX"), std::string::npos) << key;
  }
}

// Record 6 patched on a copy of the volume.
class NtfsHostileBitmap : public NtfsRawScan {
 protected:
  void SetUp() override {
    NtfsRawScan::SetUp();
    if (IsSkipped()) return;
    copy_ = std::make_unique<VolumeCopy>(ntfsImagesDir() + "/ntfs-raw.img");
    probe_.mount(copy_->volumeImage(), copy_->volume());
    ASSERT_TRUE(EngineProbe::ReadBootSector(*probe_.engine));
    ASSERT_TRUE(EngineProbe::LoadMft(*probe_.engine));
    recordOffset_ = EngineProbe::GetRecordSector(*probe_.engine, 6) * 512;
    qelda::fs::ntfs::RecordBuffer read;
    ASSERT_TRUE(EngineProbe::readRecord(*probe_.engine, 6, read));
    record_.assign(read.begin(), read.end());
    const auto data = qelda::fs::ntfs::FindRecordData(platform::ByteView(record_), false);
    ASSERT_TRUE(data && !data->resident);
    dataAttribute_ = data->attributeOffset;
    runList_ = data->offset;
  }

  // A fresh engine over the patched copy, its free list built.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> freeRunsAfterPatch(bool& built) {
    copy_->patchRecord(recordOffset_, record_);
    MountedVolume v;
    EXPECT_TRUE(v.mount(copy_->volumeImage(), copy_->volume()));
    EXPECT_TRUE(EngineProbe::ReadBootSector(*v.engine));
    built = EngineProbe::BuildFreeClusterList(*v.engine);
    return engineFreeRuns(*v.engine, ~0ull);
  }

  std::unique_ptr<VolumeCopy> copy_;
  MountedVolume probe_;
  std::uint64_t recordOffset_ = 0;
  std::vector<std::uint8_t> record_;
  std::uint16_t dataAttribute_ = 0;
  std::uint16_t runList_ = 0;
};

TEST_F(NtfsHostileBitmap, RunOutsideTheVolumeGivesNoFreeCluster) {
  // One run of one cluster at an LCN far past the volume's end.
  const std::vector<std::uint8_t> run = {0x41, 0x01, 0xF0, 0xFF, 0xFF, 0x0F, 0x00};
  std::copy(run.begin(), run.end(), record_.begin() + runList_);
  bool built = false;
  EXPECT_TRUE(freeRunsAfterPatch(built).empty());
  EXPECT_TRUE(built);

  // The raw scan then searches every sector instead, and still finds the planted files.
  DiskScan scan;
  ASSERT_TRUE(scan.mount(copy_->diskImage()));
  selectEveryType(scan.app);
  ASSERT_EQ(scan.scan(engine::kScanRaw).status, engine::ScanStatus::Done);
  expectEveryContiguousFile(scan, 8);
}

TEST_F(NtfsHostileBitmap, ShortDataSizeLimitsTheClustersItDescribes) {
  // 1024 bytes of bitmap describe clusters 0 to 8191 only.
  platform::putLe64(record_.data() + dataAttribute_ + qelda::fs::ntfs::layout::kAttrRealSize, 1024);
  bool built = false;
  const auto runs = freeRunsAfterPatch(built);
  ASSERT_TRUE(built);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;
  for (auto [first, count] : blklsFreeRuns())
    if (first < 8192) expected.emplace_back(first, std::min<std::uint64_t>(count, 8192 - first));
  EXPECT_EQ(runs, expected);
}

TEST_F(NtfsHostileBitmap, SparseRunCountsAsInUse) {
  // The bitmap's one run turned into a hole of the same length.
  const std::vector<std::uint8_t> run = {0x01, 0x01, 0x00};
  std::copy(run.begin(), run.end(), record_.begin() + runList_);
  bool built = false;
  EXPECT_TRUE(freeRunsAfterPatch(built).empty());
}

TEST_F(NtfsHostileBitmap, UnreadableRecordGivesNoList) {
  std::fill(record_.begin(), record_.begin() + 4, std::uint8_t{0});
  copy_->patch(recordOffset_, record_);
  MountedVolume v;
  ASSERT_TRUE(v.mount(copy_->volumeImage(), copy_->volume()));
  ASSERT_TRUE(EngineProbe::ReadBootSector(*v.engine));
  EXPECT_FALSE(EngineProbe::BuildFreeClusterList(*v.engine));
  EXPECT_EQ(EngineProbe::m_pFreeExtents(*v.engine), nullptr);
}

// The command itself: `qelda scan --kind raw --list` and `qelda recover --kind raw`, as a user
// runs them on the disk that holds the volume.
TEST_F(NtfsRawScan, CommandRecoversEveryContiguousPlantedFileAsPlanted) {
  const fs::path qelda = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "qelda";
  if (!fs::exists(qelda)) GTEST_SKIP() << "no qelda program beside the tests";
  qelda::test::ImageDir dir;
  const std::string env = "XDG_CONFIG_HOME='" + dir.file("config") + "' ";
  const std::string args = " '" + ntfsImagesDir() + "/ntfs-raw-disk.vmdk' --kind raw "
                           "--types jpg,tif,bmp,gif,png,rar,zip,au,doc,xls,ppt,docx,xlsx,pptx,html,avi";
  const std::string listed = run(env + "'" + qelda.string() + "' scan" + args + " --list");
  std::set<std::string> lines;
  std::stringstream ss(listed);
  for (std::string line; std::getline(ss, line);) lines.insert(line);
  const std::string out = dir.file("out");
  const int status = std::system((env + "'" + qelda.string() + "' recover" + args + " --out '" + out + "' >/dev/null").c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::multiset<std::string> saved;
  for (const auto& e : fs::recursive_directory_iterator(out))
    if (e.is_regular_file()) saved.insert(readWhole(e.path()));
  for (const PlantedFile& f : contiguous()) {
    if (!f.sized) continue;
    SCOPED_TRACE(f.name);
    EXPECT_TRUE(saved.count(original(f.name))) << "no saved file holds its bytes";
    // And the listing names a file of its size found by signature.
    const bool listedWithSize = std::any_of(lines.begin(), lines.end(), [&f](const std::string& l) {
      return l.rfind("f\tS\t" + std::to_string(f.size) + "\t", 0) == 0;
    });
    EXPECT_TRUE(listedWithSize);
  }
}

TEST(NtfsRawFolders, TenThousandFilesAFolderThenANumberedOneAndTheirNames) {
  app::CQELDAApp app;
  results::CFileFolderTree tree;
  CNtfsEngine engine(app, {.console = &tree});
  EngineProbe::m_nNextItemId(engine) = 6;
  for (std::uint64_t i = 0; i < 10001; ++i)
    EngineProbe::AddRawFoundItem(engine, RAW_HIT{u"jpg", 100 + i, 1000}, nullptr);
  const std::u16string dated = u"(7-3-2009 14-5-32)cam";
  const std::u16string slashed = u"a/b\\x";
  EngineProbe::AddRawFoundItem(engine, RAW_HIT{u"png", 5, 10}, &dated);
  EngineProbe::AddRawFoundItem(engine, RAW_HIT{u"png", 6, 10}, &slashed);

  std::map<std::string, int> perFolder;
  std::map<std::string, results::FoundItemRef> byPath;
  for (const auto i : tree.items()) {
    const std::string path = platform::toUtf8(tree.pathOf(i));
    byPath[path] = i;
    if (!i->isFolder()) ++perFolder[path.substr(0, path.find('/'))];
  }
  EXPECT_EQ(perFolder, (std::map<std::string, int>{{"jpg", 10000}, {"jpg1", 1}, {"png", 2}}));
  ASSERT_TRUE(byPath.count("jpg") && byPath.count("jpg1") && byPath.count("png"));
  EXPECT_EQ(byPath["jpg"]->m_nId, 6u);
  EXPECT_EQ(byPath["jpg"]->m_nParentId, 5u);
  EXPECT_EQ(byPath["jpg"]->m_nRecordKey, 6u);
  // Ids go on from the folder's: the first file 7, the numbered folder before its file.
  ASSERT_TRUE(byPath.count("jpg/100.jpg") && byPath.count("jpg1/10100.jpg"));
  EXPECT_EQ(byPath["jpg/100.jpg"]->m_nId, 7u);
  EXPECT_EQ(byPath["jpg/100.jpg"]->m_nRecordKey, 100u);
  EXPECT_EQ(byPath["jpg/100.jpg"]->m_nSize, 1000u);
  EXPECT_EQ(byPath["jpg1"]->m_nId, 7u + 10000u);
  EXPECT_EQ(byPath["jpg1/10100.jpg"]->m_nId, 8u + 10000u);
  // Every file counts towards the numbers of finder-named ones; separators never make paths.
  EXPECT_TRUE(byPath.count("png/10002_(7-3-2009 14-5-32)cam.png"));
  EXPECT_TRUE(byPath.count("png/10003_a_b_x.png"));
  EXPECT_EQ(EngineProbe::m_nFileCount(engine), 10003u);
  EXPECT_EQ(EngineProbe::m_nFolderCount(engine), 4u);  // the root and three type folders
  EXPECT_EQ(engine.foundCount(), 10003u + 4u);
  EXPECT_EQ(EngineProbe::m_nTotalSize(engine), 10001u * 1000u + 20u);
}

// A sector search of a volume over 2 TiB keys its files by sectors past 2^32: each reads
// where it was found (never at the key cut to 32 bits, which here lands in zeros), and one
// that runs past the volume's end is not whole.
TEST(NtfsSignatureFiles, KeysPast32BitClustersReadFromTheirOwnCluster) {
  constexpr std::uint64_t kZeroSectors = std::uint64_t(1) << 32;
  constexpr std::uint64_t kDataSectors = 64;
  qelda::test::ImageDir dir;
  std::vector<std::uint8_t> data(kDataSectors * 512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 7 + i / 512 + 1);
  dir.putAt("data.img", 0, data);
  const std::string vmdk = dir.putText("big.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\n"
                                                   "RW " + std::to_string(kZeroSectors) + " ZERO\n"
                                                   "RW " + std::to_string(kDataSectors) + " FLAT \"data.img\" 0\n");
  MountedVolume v;
  ASSERT_TRUE(v.mount(vmdk, dir.file("data.img")));
  VolumeGeometry g;
  g.sectorCount = kZeroSectors + kDataSectors;
  g.lastSector = g.sectorCount - 1;
  EngineProbe::initializeVolume(*v.engine, g, 0);
  EngineProbe::m_nSectorsPerCluster(*v.engine) = 1;
  EngineProbe::m_bClusterSearch(*v.engine) = 0;

  struct Case {
    std::uint64_t sector;  // from the data's start
    std::uint64_t size;
    bool whole;
  };
  for (const Case& c : {Case{0, 512, true}, Case{16, 3000, true}, Case{40, 24 * 512, true}, Case{60, 8 * 512, false}}) {
    SCOPED_TRACE(c.sector);
    FOUND_ITEM item;
    item.m_byAttributes = kItemFile;
    item.m_byFlags = kItemBySignature;
    item.m_nRecordKey = kZeroSectors + c.sector;
    item.m_nSize = c.size;
    std::vector<std::uint8_t> got;
    const bool whole = v.engine->readFoundBySignature(item, [&got](std::span<const std::uint8_t> b) {
      got.insert(got.end(), b.begin(), b.end());
      return true;
    });
    EXPECT_EQ(whole, c.whole);
    const std::size_t inside = std::size_t(std::min<std::uint64_t>(c.size, (kDataSectors - c.sector) * 512));
    ASSERT_GE(got.size(), inside);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + std::ptrdiff_t(inside), data.begin() + std::ptrdiff_t(c.sector * 512)));
  }
}

}  // namespace
}  // namespace qelda::ntfs
