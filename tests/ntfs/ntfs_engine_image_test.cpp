// The engine on real volumes made by mkntfs and filled through ntfs-3g, held against the
// listings and contents The Sleuth Kit gives for the same volumes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "ntfs/ntfs_engine.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "support/image_dir.h"
#include "support/recording_notifier.h"

namespace qelda::ntfs {
namespace {

namespace fs = std::filesystem;

std::string ntfsImagesDir() {
  if (const char* env = std::getenv("QELDA_NTFS_IMAGES")) return env;
  return QELDA_NTFS_IMAGES;
}

// Makes the volumes once per test program (the script returns at once when its stamp matches).
bool imagesReady() {
  static const bool ready = [] {
    const std::string command =
        std::string("bash '") + QELDA_NTFS_IMAGE_SCRIPT + "' '" + ntfsImagesDir() + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }();
  return ready;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

// One line per live user file or folder: "d path" or "f path size".
using Listing = std::set<std::string>;

bool isSystemPath(const std::string& path) { return path.empty() || path[0] == '$'; }

Listing flsListing(const std::string& flsPath) {
  Listing out;
  std::ifstream in(flsPath);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() < 7) continue;
    const std::string& path = f[1];
    // Named streams are not items of their own.
    if (isSystemPath(path) || path.find(':') != std::string::npos) continue;
    const bool folder = f[0].rfind("d/d", 0) == 0;
    out.insert(folder ? "d " + path : "f " + path + " " + f[6]);
  }
  return out;
}

Listing engineListing(const results::CFileFolderTree& tree) {
  Listing out;
  for (const FOUND_ITEM* i = tree.head(); i; i = i->m_pNext) {
    const std::string path = platform::toUtf8(tree.pathOf(i));
    if (isSystemPath(path)) continue;
    out.insert(i->isFolder() ? "d " + path : "f " + path + " " + std::to_string(i->m_nSize));
  }
  return out;
}

std::string difference(const Listing& a, const Listing& b) {
  std::string out;
  int shown = 0;
  for (const auto& s : a)
    if (!b.count(s) && shown++ < 20) out += "  " + s + "\n";
  return out;
}

class RecordingLog final : public platform::ILog {
 public:
  void AddLogEntry(std::u16string text, bool) override { lines.push_back(platform::toUtf8(text)); }
  std::vector<std::string> lines;
};

// A mounted volume with an engine over it.
struct MountedVolume {
  app::CQELDAApp app;
  test::RecordingNotifier notifier;
  results::CFileFolderTree tree;
  RecordingLog log;
  std::unique_ptr<CNtfsEngine> engine;

  bool mount(const std::string& vmdk, const std::string& volumeFile, platform::IFoundItemSink* sink = nullptr) {
    if (app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(app::kImageVmdk, vmdk) !=
        app::MountOutcome::Mounted)
      return false;
    engine = std::make_unique<CNtfsEngine>(app, sink ? sink : &tree, nullptr, &log);
    VolumeGeometry g;
    g.startSector = 0;
    g.sectorCount = fs::file_size(volumeFile) / 512;
    engine->initializeVolume(g, 0);
    return true;
  }
};

// The file's bytes the way a save reads them: the cluster list and the cluster reader,
// or the decoder for compressed files.
std::string engineContent(CNtfsEngine& engine, FOUND_ITEM item) {
  if (item.m_byFlags & kItemCompressed) {
    std::vector<std::uint8_t> out;
    engine.ReadCompressedFile(item, out);
    return std::string(out.begin(), out.end());
  }
  std::vector<std::uint8_t> resident;
  const std::vector<std::uint32_t> clusters = engine.GetClusterList(item, 0, &resident);
  if (clusters.empty()) return std::string(resident.begin(), resident.begin() + std::ptrdiff_t(std::min<std::uint64_t>(resident.size(), item.m_nSize)));
  const std::size_t clusterBytes = std::size_t(engine.m_nSectorsPerCluster) * 512;
  std::string out;
  std::vector<std::uint8_t> buffer(clusterBytes);
  for (const std::uint32_t c : clusters) {
    if (out.size() >= item.m_nSize) break;
    engine.ReadClusterSectors(c, 0, buffer.data(), engine.m_nSectorsPerCluster);
    out.append(buffer.begin(), buffer.end());
  }
  out.resize(std::min<std::size_t>(out.size(), item.m_nSize));
  return out;
}

class NtfsRealVolume : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!imagesReady()) GTEST_SKIP() << "the NTFS volumes could not be made (needs root, FUSE, mkntfs, ntfs-3g)";
    base_ = ntfsImagesDir() + "/ntfs-" + std::to_string(GetParam());
  }
  std::string image() const { return base_ + ".img"; }
  std::string vmdk() const { return base_ + ".vmdk"; }
  std::string base_;
};

TEST_P(NtfsRealVolume, QuickScanListsWhatTheSleuthKitLists) {
  MountedVolume v;
  ASSERT_TRUE(v.mount(vmdk(), image()));
  v.engine->ScanVolume(0);
  EXPECT_EQ(v.engine->m_nSectorsPerCluster, GetParam() / 512);

  const Listing ours = engineListing(v.tree);
  const Listing theirs = flsListing(base_ + ".fls");
  EXPECT_EQ(ours, theirs) << "only ours:\n" << difference(ours, theirs) << "only fls:\n" << difference(theirs, ours);
  EXPECT_GT(ours.size(), 3000u);
  // The root the console makes counts as a folder; every other item is in the store.
  EXPECT_EQ(v.engine->m_nEntryCount, v.tree.size() + 1);
  EXPECT_EQ(v.engine->m_nFolderCount, v.tree.folderCount() + 1);
  EXPECT_EQ(v.engine->m_nFileCount, v.tree.fileCount());
  // Depth first: every folder comes before what is in it.
  std::set<std::uint32_t> seenFolders = {5};
  for (const FOUND_ITEM* i = v.tree.head(); i; i = i->m_pNext) {
    EXPECT_TRUE(seenFolders.count(i->m_nParentId)) << platform::toUtf8(v.tree.pathOf(i));
    if (i->isFolder()) seenFolders.insert(i->m_nId);
  }
  EXPECT_EQ(v.log.lines.front(), "Creating directory tree");
  EXPECT_EQ(v.log.lines[v.log.lines.size() - 2], "Process completed");
}

TEST_P(NtfsRealVolume, EveryFileReadsAsIcatReadsIt) {
  MountedVolume v;
  ASSERT_TRUE(v.mount(vmdk(), image()));
  v.engine->ScanVolume(0);
  int compared = 0, compressed = 0;
  for (const FOUND_ITEM* i = v.tree.head(); i; i = i->m_pNext) {
    const std::string path = platform::toUtf8(v.tree.pathOf(i));
    if (i->isFolder() || isSystemPath(path)) continue;
    SCOPED_TRACE(path);
    const std::string ours = engineContent(*v.engine, *i);
    if (path.rfind("many/f", 0) == 0) {
      // The thousands of small files hold their own number: no need to ask icat for each.
      EXPECT_EQ(ours, "file " + path.substr(6, 4) + "\n");
      continue;
    }
    if (path == "sparse.bin") {
      // Holes stay in place as hole marks: never cluster 0, never closed up.
      FOUND_ITEM copy = *i;
      const auto clusters = v.engine->GetClusterList(copy, 0, nullptr);
      EXPECT_EQ(clusters.size(), (i->m_nSize + GetParam() - 1) / GetParam());
      EXPECT_NE(std::find(clusters.begin(), clusters.end(), kHoleCluster), clusters.end());
      EXPECT_EQ(std::find(clusters.begin(), clusters.end(), 0u), clusters.end());
    }
    const std::string theirs = run("icat '" + image() + "' " + std::to_string(i->m_nId));
    ASSERT_EQ(ours.size(), theirs.size());
    EXPECT_TRUE(ours == theirs);
    ++compared;
    if (i->m_byFlags & kItemCompressed) ++compressed;
  }
  EXPECT_GT(compared, 10);
  if (GetParam() <= 4096) {
    EXPECT_GE(compressed, 5);
  }
}

// Sets the stop flag once the tenth item has arrived.
class StoppingSink final : public platform::IFoundItemSink {
 public:
  StoppingSink(results::CFileFolderTree& tree, app::CQELDAApp& app) : tree_(tree), app_(app) {}
  void ResetFoundTree() override { tree_.ResetFoundTree(); }
  FOUND_ITEM* AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override {
    if (tree_.size() + 1 >= 10) app_.m_bStopRequested = 1;
    return tree_.AddFoundItem(item, name);
  }
  void UpdateStatusCounts() override {}
  void CollapseRootChildren() override {}
  void QueueItemRename(const FOUND_ITEM&, std::u16string_view) override {}
  void ApplyQueuedRenames() override {}

 private:
  results::CFileFolderTree& tree_;
  app::CQELDAApp& app_;
};

TEST_P(NtfsRealVolume, StopEndsTheWalkAtTheNextEntry) {
  MountedVolume v;
  StoppingSink sink(v.tree, v.app);
  ASSERT_TRUE(v.mount(vmdk(), image(), &sink));
  v.engine->ScanVolume(0);
  EXPECT_EQ(v.tree.size(), 10u);
  ASSERT_GE(v.log.lines.size(), 2u);
  EXPECT_EQ(v.log.lines[v.log.lines.size() - 2], "Process aborted. User intervention");
}

INSTANTIATE_TEST_SUITE_P(NtfsClusterSizes, NtfsRealVolume, ::testing::Values(512, 4096, 65536));

// Damaged copies of the 4096-byte-cluster volume.
class NtfsDamagedVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!imagesReady()) GTEST_SKIP() << "the NTFS volumes could not be made";
    source_ = ntfsImagesDir() + "/ntfs-4096.img";
    copy_ = dir_.file("ntfs.img");
    fs::copy_file(source_, copy_);
    const auto sectors = fs::file_size(copy_) / 512;
    dir_.putText("ntfs.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " + std::to_string(sectors) +
                                  " FLAT \"ntfs.img\" 0\n");
  }
  void patch(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) { dir_.putAt("ntfs.img", offset, bytes); }
  test::ImageDir dir_;
  std::string source_, copy_;
};

TEST_F(NtfsDamagedVolume, BackupBootSectorStandsInForADamagedFirstSector) {
  patch(0, std::vector<std::uint8_t>(512, 0));
  MountedVolume v;
  ASSERT_TRUE(v.mount(dir_.file("ntfs.vmdk"), copy_));
  v.engine->ScanVolume(0);
  EXPECT_EQ(v.engine->m_nSectorsPerCluster, 8);
  EXPECT_GT(v.tree.size(), 3000u);
}

TEST_F(NtfsDamagedVolume, MftElsewhereThanTheBootSectorSaysGivesNothing) {
  // $MFT's cluster moved by one: the first run no longer starts there.
  std::ifstream in(copy_, std::ios::binary);
  std::vector<char> boot(512);
  in.read(boot.data(), 512);
  std::uint64_t mft = 0;
  for (int i = 7; i >= 0; --i) mft = (mft << 8) | std::uint8_t(boot[0x30 + i]);
  std::vector<std::uint8_t> moved(8);
  platform::putLe64(moved.data(), mft + 1);
  patch(0x30, moved);
  MountedVolume v;
  ASSERT_TRUE(v.mount(dir_.file("ntfs.vmdk"), copy_));
  v.engine->ScanVolume(0);
  EXPECT_EQ(v.tree.size(), 0u);
  EXPECT_EQ(v.engine->m_nEntryCount, 0u);
}

}  // namespace
}  // namespace qelda::ntfs
