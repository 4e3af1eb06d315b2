// Recovering damaged FAT volumes through the scan worker, as `qelda scan` and `qelda recover`
// do: the advanced scan, the deleted-files scan's deep search, volumes rebuilt by the
// lost-volume search. The volumes are made by mkfs.fat and mtools and damaged by the image
// script; the answers are The Sleuth Kit's and mshowfat's from before the damage.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "fat/fat_test_support.h"
#include "support/missing_images.h"
#include "fs/fat_layout.h"

namespace qelda::fat::test {

namespace dirent = fs::fat::dirent;
namespace {

std::string eightDigits(std::uint32_t cluster) {
  char text[16];
  std::snprintf(text, sizeof text, "%08u", cluster);
  return text;
}

// Live entries of a volume before its damage: lower-cased path -> (folder, fls inode).
std::map<std::string, std::pair<bool, std::string>> liveEntries(const std::string& base) {
  std::map<std::string, std::pair<bool, std::string>> out;
  for (const auto& e : readFls(base + ".fls")) {
    if (e.deleted) continue;
    if (!e.folder) {
      std::error_code ec;
      if (std::filesystem::file_size(base + ".files/" + e.inode, ec) == 0) continue;  // no cluster: never listed
    }
    out[lower(e.path)] = {e.folder, e.inode};
  }
  return out;
}

// First clusters of the live folders before the damage, by lower-cased path.
std::map<std::string, std::uint32_t> folderClusters(const std::string& base) {
  std::map<std::string, std::uint32_t> out;
  const auto live = liveEntries(base);
  for (const auto& c : readChains(base + ".chains")) {
    const auto it = live.find(lower(c.path));
    if (it != live.end() && it->second.first) out[lower(c.path)] = c.first;
  }
  return out;
}

// The geometry of a volume file as its boot sector gives it.
struct Geometry {
  std::uint64_t dataStart = 0;  // sector of cluster 2
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t clusterOffset(std::uint32_t c) const { return (dataStart + std::uint64_t(c - 2) * sectorsPerCluster) * 512; }
};
Geometry geometryOf(const std::string& image) {
  std::vector<std::uint8_t> boot(512);
  std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(boot.data()), 512);
  const auto p = fs::fat::parseFatBootSector(platform::ByteView(boot));
  if (!p) return {};
  return {fs::fat::systemSectors(p->reservedSectors, p->sectorsPerFat, p->rootDirSectors), p->sectorsPerCluster};
}

// Counts each non-deleted path found.
std::map<std::string, int> livePathsFound(const WorkerScan& scan) {
  std::map<std::string, int> out;
  for (const auto& [path, item] : scan.found())
    if (!(item->m_byFlags & kItemDeleted)) ++out[lower(path)];
  return out;
}

class FatRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fatImages();
    if (dir_.empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the FAT image script could not run";
  }
  std::string dir_;
};

// --- the advanced scan and the deep search over whole volumes ---------------------------------------

class FatAdvancedVolumes : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir_ = fatImages();
    if (dir_.empty()) QELDA_SKIP_WITHOUT_IMAGES();
    base_ = dir_ + "/" + GetParam();
    scan_ = std::make_unique<WorkerScan>(base_ + ".img", fileSystemOf(GetParam()));
  }
  std::string dir_, base_;
  std::unique_ptr<WorkerScan> scan_;
};

// The advanced scan lists the live tree as the reader does, each item once (the root files
// the root walk listed are not listed again by the pass over the fixed root), and the
// deleted files besides.
TEST_P(FatAdvancedVolumes, AdvancedScanListsTheLiveTreeOnceAndTheDeletedFiles) {
  ASSERT_EQ(scan_->run(engine::kScanAdvanced).status, engine::ScanStatus::Done);
  EXPECT_TRUE(scan_->notifier.shown.empty());
  std::map<std::string, int> expected;
  for (const auto& [path, entry] : liveEntries(base_)) expected[path] = 1;
  EXPECT_EQ(livePathsFound(*scan_), expected);
  std::set<std::string> deleted;
  for (const auto& [path, item] : scan_->found())
    if (item->m_byFlags & kItemDeleted) deleted.insert(lower(path));
  for (const auto& e : readFls(base_ + ".flsd")) {
    if (!e.folder && e.deleted) {
      EXPECT_TRUE(deleted.count(deletedNameForm(e.path))) << e.path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FatVolumes, FatAdvancedVolumes,
                         ::testing::Values("fat12_floppy", "fat16_s1", "fat16_s64", "fat32_s1", "fat32_s8", "tiny_1m",
                                           "fat16_bootzero", "fat32_bootzero"),
                         [](const auto& info) { return std::string(info.param); });

class FatDeepSearchVolumes : public FatAdvancedVolumes {};

// The deep search lists the deleted files the root leads to, once, and reads them back whole.
TEST_P(FatDeepSearchVolumes, DeepSearchListsEveryDeletedFileOnceAndReadsItBack) {
  ASSERT_EQ(scan_->run(engine::kScanDeleted, 0).status, engine::ScanStatus::Done);
  std::map<std::string, std::vector<results::FoundItemRef>> deleted;
  for (const auto& [path, item] : scan_->found())
    if ((item->m_byFlags & kItemDeleted) && !item->isFolder()) deleted[lower(path)].push_back(item);
  for (const auto& e : readFls(base_ + ".flsd")) {
    if (e.folder || !e.deleted) continue;
    const auto it = deleted.find(deletedNameForm(e.path));
    ASSERT_NE(it, deleted.end()) << e.path;
    EXPECT_EQ(it->second.size(), 1u) << e.path;
  }
  std::ifstream expect(base_ + ".expect");
  std::string line;
  while (std::getline(expect, line)) {
    const auto tab = line.find('\t');
    const auto it = deleted.find(lower(line.substr(tab + 1)));
    ASSERT_NE(it, deleted.end()) << line;
    EXPECT_EQ(scan_->read(*it->second.front()), readFile(base_ + ".orig/" + line.substr(0, tab))) << line;
  }
}

INSTANTIATE_TEST_SUITE_P(FatVolumes, FatDeepSearchVolumes,
                         ::testing::Values("fat12_floppy", "fat16_s1", "fat16_s64", "fat32_s1", "fat32_s8", "tiny_1m"),
                         [](const auto& info) { return std::string(info.param); });

// --- both FAT copies zeroed ----------------------------------------------------------------------------

// Without a FAT the geometry is rebuilt and files are read as runs of clusters: every file
// whose chain was one run, in folders of one cluster, comes back whole where it was.
TEST_F(FatRecovery, WithBothFatsZeroedContiguousFilesComeBackWhole) {
  const std::string base = dir_ + "/fat32_fatzero";
  WorkerScan scan(base + ".img", volume::kFsFat32);
  ASSERT_EQ(scan.run(engine::kScanQuick).status, engine::ScanStatus::Done);
  EXPECT_TRUE(scan.logged("[Calculating system parameters]"));
  std::map<std::string, unsigned> runs;
  for (const auto& c : readChains(base + ".chains")) runs[lower(c.path)] = c.runs;
  std::map<std::string, results::FoundItemRef> found;
  for (const auto& [path, item] : scan.found()) found[lower(path)] = item;
  std::size_t whole = 0;
  for (const auto& [path, entry] : liveEntries(base)) {
    bool oneRunAll = runs[path] == 1;
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
      oneRunAll = oneRunAll && runs[path.substr(0, slash)] == 1;
    if (!oneRunAll || entry.first) continue;
    const auto it = found.find(path);
    ASSERT_NE(it, found.end()) << path;
    EXPECT_EQ(scan.read(*it->second), readFile(base + ".files/" + entry.second)) << path;
    ++whole;
  }
  EXPECT_GT(whole, 40u);
}

// --- a folder whose entry was wiped ---------------------------------------------------------------------

class FatOrphanFolder : public FatAdvancedVolumes {};

// "Victim" lost its entry in the root, its chain still in use. The quick scan does not see it;
// the advanced scan finds its cluster and lists it, named by that cluster, with everything
// beneath it under its own names, and everything else where it was.
TEST_P(FatOrphanFolder, AdvancedScanFindsTheFolderByItsCluster) {
  const auto clusters = folderClusters(base_);
  ASSERT_TRUE(clusters.count("victim"));
  const std::string victim = eightDigits(clusters.at("victim"));
  ASSERT_EQ(scan_->run(engine::kScanQuick).status, engine::ScanStatus::Done);
  for (const auto& [path, count] : livePathsFound(*scan_)) EXPECT_NE(path.rfind("victim", 0), 0u) << path;

  ASSERT_EQ(scan_->run(engine::kScanAdvanced).status, engine::ScanStatus::Done);
  std::map<std::string, int> expected;
  std::map<std::string, std::string> inodeOf;
  for (const auto& [path, entry] : liveEntries(base_)) {
    const std::string moved = path.rfind("victim", 0) == 0 ? victim + path.substr(6) : path;
    expected[moved] = 1;
    if (!entry.first) inodeOf[moved] = entry.second;
  }
  EXPECT_EQ(livePathsFound(*scan_), expected);
  std::size_t read = 0;
  for (const auto& [path, item] : scan_->found()) {
    const auto it = inodeOf.find(lower(path));
    if (it == inodeOf.end() || path.rfind(victim, 0) != 0) continue;
    EXPECT_EQ(scan_->read(*item), readFile(base_ + ".files/" + it->second)) << path;
    ++read;
  }
  EXPECT_EQ(read, 2u);
}

INSTANTIATE_TEST_SUITE_P(FatVolumes, FatOrphanFolder, ::testing::Values("fat16_victim", "fat32_victim"),
                         [](const auto& info) { return std::string(info.param); });

// Victim's ".." made to name its own sub-folder: the two are each other's parents, and neither
// can be reached from the other's walk first. Both still come back, under "Lost folder(s)".
TEST_F(FatRecovery, LostFoldersThatAreEachOthersParentsStillComeBack) {
  const std::string base = dir_ + "/fat16_victim";
  const auto clusters = folderClusters(base);
  const std::uint32_t victim = clusters.at("victim"), inner = clusters.at("victim/inner");
  WorkerScan scan(base + ".img", volume::kFsFat16, volume::kKindPartition, true);
  std::uint8_t low[2] = {std::uint8_t(inner), std::uint8_t(inner >> 8)};
  scan.patch(geometryOf(base + ".img").clusterOffset(victim) + dirent::kSize + dirent::kClusterLow, low);
  ASSERT_EQ(scan.run(engine::kScanAdvanced).status, engine::ScanStatus::Done);
  const auto found = livePathsFound(scan);
  const std::string folder = "lost folder(s)/folder " + std::to_string(victim);
  EXPECT_EQ(found.count(folder + "/victim file one.bin"), 1u);
  EXPECT_EQ(found.count(folder + "/inner/victim inner two.bin"), 1u);
}

// --- a volume formatted again over a filled one -------------------------------------------------------

class FatReformatted : public FatAdvancedVolumes {};

// The deep search finds the former folders in the free clusters and places them under
// "Lost folder(s)", each named by its cluster and nested as it was, with its files under
// their own names, byte for byte.
TEST_P(FatReformatted, DeepSearchBringsBackTheFormerTreeUnderLostFolders) {
  ASSERT_EQ(scan_->run(engine::kScanDeleted, 0).status, engine::ScanStatus::Done);
  std::map<std::string, results::FoundItemRef> found;
  std::size_t lostFolders = 0;
  for (const auto& [path, item] : scan_->found()) {
    found[lower(path)] = item;
    if (lower(path) == "lost folder(s)") ++lostFolders;
  }
  EXPECT_EQ(lostFolders, 1u);
  const auto clusters = folderClusters(base_);
  const auto former = liveEntries(base_);
  std::size_t back = 0;
  for (const auto& [path, entry] : former) {
    // The path the former entry gets: each folder named by its first cluster.
    std::string expected = "lost folder(s)";
    std::size_t from = 0;
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      expected += "/folder " + std::to_string(clusters.at(path.substr(0, slash)));
      from = slash + 1;
    }
    expected.push_back('/');
    expected.append(entry.first ? "folder " + std::to_string(clusters.at(path)) : path.substr(from));
    const auto it = found.find(expected);
    if (it == found.end()) continue;
    if (entry.first) {
      back += it->second->isFolder();
    } else {
      EXPECT_TRUE(it->second->m_byFlags & kItemDeleted) << path;
      const bool same = scan_->read(*it->second) == readFile(base_ + ".files/" + entry.second);
      EXPECT_TRUE(same) << path;
      back += same;
    }
  }
  // All but the files of the root, whose directory the new format cleared.
  EXPECT_GE(back * 100, former.size() * 95) << back << " of " << former.size();
}

// The quick scan finds nothing from the new, empty root: it says the search may take long and
// searches the data area, where the former folders come back (named by their clusters at the
// top, by their names below) with their files whole.
TEST_P(FatReformatted, QuickScanSearchesTheDataAreaWhenTheRootLeadsNowhere) {
  ASSERT_EQ(scan_->run(engine::kScanQuick).status, engine::ScanStatus::Done);
  ASSERT_EQ(scan_->notifier.shown.size(), 1u);
  EXPECT_EQ(platform::toUtf8(scan_->notifier.shown[0]).rfind("This process may take several minutes", 0), 0u);
  std::map<std::string, results::FoundItemRef> byName;
  for (const auto& [path, item] : scan_->found())
    if (!item->isFolder()) byName[lower(path.substr(path.rfind('/') + 1))] = item;
  std::size_t files = 0, back = 0;
  for (const auto& [path, entry] : liveEntries(base_)) {
    if (entry.first) continue;
    ++files;
    const auto it = byName.find(path.substr(path.rfind('/') + 1));
    back += it != byName.end() && scan_->read(*it->second) == readFile(base_ + ".files/" + entry.second);
  }
  EXPECT_GE(back * 100, files * 95) << back << " of " << files;
}

INSTANTIATE_TEST_SUITE_P(FatVolumes, FatReformatted, ::testing::Values("fat16_reformat", "fat32_reformat"),
                         [](const auto& info) { return std::string(info.param); });

// A found folder whose ".." (on FAT16) carries a stray high word is still placed under its parent.
TEST_F(FatRecovery, DotDotHighWordIsNoPartOfTheParentOnFat16) {
  const std::string base = dir_ + "/fat16_reformat";
  const auto clusters = folderClusters(base);
  const std::uint32_t parent = clusters.at("folder number 3"), nested = clusters.at("folder number 3/nested");
  WorkerScan scan(base + ".img", volume::kFsFat16, volume::kKindPartition, true);
  const std::uint8_t high[2] = {0x34, 0x12};
  scan.patch(geometryOf(base + ".img").clusterOffset(nested) + dirent::kSize + dirent::kClusterHigh, high);
  ASSERT_EQ(scan.run(engine::kScanDeleted, 0).status, engine::ScanStatus::Done);
  std::set<std::string> paths;
  for (const auto& [path, item] : scan.found()) paths.insert(lower(path));
  EXPECT_TRUE(paths.count("lost folder(s)/folder " + std::to_string(parent) + "/folder " + std::to_string(nested)));
}

// Two found folders that name each other as parent: both are placed, under "Lost folder(s)".
TEST_F(FatRecovery, FoundFoldersThatAreEachOthersParentsArePlaced) {
  const std::string base = dir_ + "/fat16_reformat";
  const auto clusters = folderClusters(base);
  const std::uint32_t parent = clusters.at("folder number 6"), nested = clusters.at("folder number 6/nested");
  WorkerScan scan(base + ".img", volume::kFsFat16, volume::kKindPartition, true);
  const std::uint8_t low[2] = {std::uint8_t(nested), std::uint8_t(nested >> 8)};
  scan.patch(geometryOf(base + ".img").clusterOffset(parent) + dirent::kSize + dirent::kClusterLow, low);
  ASSERT_EQ(scan.run(engine::kScanDeleted, 0).status, engine::ScanStatus::Done);
  std::set<std::string> paths;
  for (const auto& [path, item] : scan.found()) paths.insert(lower(path));
  const std::string top = "lost folder(s)/folder " + std::to_string(parent);
  EXPECT_TRUE(paths.count(top + "/document 6-1.dat"));
  EXPECT_TRUE(paths.count(top + "/folder " + std::to_string(nested) + "/nested 6-1.bin"));
}

// The deep search takes its geometry from the boot sectors only; without them it says so.
TEST_F(FatRecovery, DeepSearchWithoutBootSectorsShowsWhy) {
  WorkerScan scan(dir_ + "/fat16_bootzero.img", volume::kFsFat16);
  const auto outcome = scan.run(engine::kScanDeleted, 0);
  EXPECT_EQ(outcome.status, engine::ScanStatus::Failed);
  ASSERT_EQ(scan.notifier.shown.size(), 1u);
  EXPECT_EQ(platform::toUtf8(scan.notifier.shown[0]),
            "Not a valid volume, or critical data structure of volume badly corrupt.");
  EXPECT_FALSE(outcome.cause.empty());
  EXPECT_EQ(scan.tree->size(), 0u);
}

// --- volumes the lost-volume search rebuilt from their directory clusters --------------------------------

// Both kinds of rebuilt volume are read from the clusters their records list (a listed cluster
// whose "." names another cluster is passed over); the root's entries then name the folders.
TEST_F(FatRecovery, RebuiltVolumesAreReadFromTheirListedClusters) {
  const std::string base = dir_ + "/fat16_victim";
  const auto boot = readFile(base + ".img");
  const auto params = fs::fat::parseFatBootSector(platform::ByteView(boot.data(), 512));
  ASSERT_TRUE(params);
  const auto clusters = folderClusters(base);
  std::vector<std::uint32_t> listed;
  for (const auto& [path, cluster] : clusters) listed.push_back(cluster);
  std::uint32_t aFile = 0;
  for (const auto& c : readChains(base + ".chains"))
    if (lower(c.path) == "readme.txt") aFile = c.first;
  ASSERT_NE(aFile, 0u);
  listed.insert(listed.begin(), aFile);

  std::map<std::string, int> expected;
  const std::string victim = eightDigits(clusters.at("victim"));
  for (const auto& [path, entry] : liveEntries(base)) expected[path.rfind("victim", 0) == 0 ? victim + path.substr(6) : path] = 1;
  for (const std::uint8_t kind : {kSourceRebuiltVolume, kSourceRebuiltImageVolume}) {
    SCOPED_TRACE(int(kind));
    WorkerScan scan(base + ".img", volume::kFsFat16, kind);
    scan.record().m_bySectorsPerCluster = params->sectorsPerCluster;
    scan.record().m_nFatSectors = params->sectorsPerFat;
    scan.record().m_nReservedSectors = params->reservedSectors;
    scan.record().m_wRootDirSectors = params->rootDirSectors;
    scan.record().clusterArray = listed;
    ASSERT_EQ(scan.run(engine::kScanQuick).status, engine::ScanStatus::Done);
    EXPECT_EQ(livePathsFound(scan), expected);

    // A record whose parameters describe no FAT volume is refused, not divided by.
    scan.record().m_bySectorsPerCluster = 0;
    EXPECT_EQ(scan.run(engine::kScanQuick).status, engine::ScanStatus::Failed);
    EXPECT_EQ(scan.run(engine::kScanAdvanced).status, engine::ScanStatus::Failed);
  }
}

// Clusters past the volume's end (here a copy of a directory cluster planted just beyond a
// volume made shorter) are neither searched nor reported.
TEST_F(FatRecovery, SweepsStopAtTheDataAreasEnd) {
  const std::string base = dir_ + "/fat16_victim";
  const Geometry g = geometryOf(base + ".img");
  const auto clusters = folderClusters(base);
  WorkerScan scan(base + ".img", volume::kFsFat16, volume::kKindPartition, true);
  const std::uint64_t sectors = scan.record().m_nSectorCount;
  const std::uint32_t lastCluster = std::uint32_t((sectors - g.dataStart) / g.sectorsPerCluster + 1);
  const std::uint32_t planted = lastCluster - 4;
  scan.record().m_nSectorCount = g.dataStart + std::uint64_t(planted - 2) * g.sectorsPerCluster;
  auto directory = readFile(base + ".img");
  directory = {directory.begin() + std::ptrdiff_t(g.clusterOffset(clusters.at("victim"))),
               directory.begin() + std::ptrdiff_t(g.clusterOffset(clusters.at("victim")) + g.sectorsPerCluster * 512)};
  platform::putLe16(&directory[dirent::kClusterLow], std::uint16_t(planted));
  scan.patch(g.clusterOffset(planted), directory);
  ASSERT_EQ(scan.run(engine::kScanAdvanced).status, engine::ScanStatus::Done);
  for (const auto& [path, item] : scan.found()) EXPECT_NE(item->m_nRecordKey, planted) << path;
  // The same volume at its full length: the planted copy is a folder found by its cluster.
  scan.record().m_nSectorCount = sectors;
  ASSERT_EQ(scan.run(engine::kScanAdvanced).status, engine::ScanStatus::Done);
  std::size_t seen = 0;
  for (const auto& [path, item] : scan.found()) seen += item->m_nRecordKey == planted && item->isFolder();
  EXPECT_EQ(seen, 1u);
}

}  // namespace
}  // namespace qelda::fat::test
