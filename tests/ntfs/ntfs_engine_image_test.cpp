// The engine on real volumes made by mkntfs and filled through ntfs-3g, held against the
// listings and contents The Sleuth Kit gives for the same volumes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/missing_images.h"
#include "ntfs/ntfs_image_support.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace qelda::ntfs {
namespace {

using namespace qelda::ntfs::test;

// The file's bytes the way a save reads them: the cluster list and the cluster reader,
// or the decoder for compressed files.
std::string engineContent(CNtfsEngine& engine, FOUND_ITEM item) {
  if (item.m_byFlags & kItemCompressed) {
    std::vector<std::uint8_t> out;
    EngineProbe::ReadCompressedFile(engine, item, out);
    return std::string(out.begin(), out.end());
  }
  std::vector<std::uint8_t> resident;
  const std::vector<std::uint32_t> clusters = EngineProbe::GetClusterList(engine, item, 0, &resident);
  if (clusters.empty()) return std::string(resident.begin(), resident.begin() + std::ptrdiff_t(std::min<std::uint64_t>(resident.size(), item.m_nSize)));
  const std::size_t clusterBytes = std::size_t(EngineProbe::m_nSectorsPerCluster(engine)) * 512;
  std::string out;
  std::vector<std::uint8_t> buffer(clusterBytes);
  for (const std::uint32_t c : clusters) {
    if (out.size() >= item.m_nSize) break;
    EngineProbe::ReadClusterSectors(engine, c, 0, buffer.data(), EngineProbe::m_nSectorsPerCluster(engine));
    out.append(buffer.begin(), buffer.end());
  }
  out.resize(std::min<std::size_t>(out.size(), item.m_nSize));
  return out;
}

class NtfsRealVolume : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made (needs root, FUSE, mkntfs, ntfs-3g)";
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
  EXPECT_EQ(EngineProbe::m_nSectorsPerCluster(*v.engine), GetParam() / 512);

  const Listing ours = engineListing(v.tree);
  const Listing theirs = flsListing(base_ + ".fls");
  EXPECT_EQ(ours, theirs) << "only ours:\n" << difference(ours, theirs) << "only fls:\n" << difference(theirs, ours);
  EXPECT_GT(ours.size(), 3000u);
  // The root the console makes counts as a folder; every other item is in the store.
  EXPECT_EQ(v.engine->foundCount(), v.tree.size() + 1);
  EXPECT_EQ(EngineProbe::m_nFolderCount(*v.engine), v.tree.folderCount() + 1);
  EXPECT_EQ(EngineProbe::m_nFileCount(*v.engine), v.tree.fileCount());
  // Depth first: every folder comes before what is in it.
  std::set<std::uint32_t> seenFolders = {5};
  for (const auto i : v.tree.items()) {
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
  for (const auto i : v.tree.items()) {
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
      const auto clusters = EngineProbe::GetClusterList(*v.engine, copy, 0, nullptr);
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
  void SetFoundItemSize(std::uint32_t i, std::uint64_t size, std::uint8_t lastFlags) override {
    tree_.SetFoundItemSize(i, size, lastFlags);
  }
  void SetFoundItemParent(std::uint32_t i, std::uint32_t parentId) override { tree_.SetFoundItemParent(i, parentId); }
  std::uint32_t AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override {
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

}  // namespace
}  // namespace qelda::ntfs
