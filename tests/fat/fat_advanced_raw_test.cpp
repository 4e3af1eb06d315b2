// The signature search inside the FAT advanced scans, on a FAT32 volume (mkfs.fat, mtools) whose
// deleted pictures, archives and pages lie between live files and whose boot sectors are zeroed:
// the sweep of the advanced scan and the free clusters of a volume rebuilt from its directory
// clusters, each find reported under "Raw Data Folder(s)" and read back as saving reads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "app/raw_types.h"
#include "fat/fat_test_support.h"
#include "support/missing_images.h"
#include "fs/md5.h"

namespace qelda::fat::test {
namespace {

constexpr std::uint32_t kSectorsPerCluster = 8;  // mkfs.fat -s 8
constexpr std::uint32_t kReserved = 32;

std::string advrawImages() {
  if (const char* dir = std::getenv("QELDA_ADVRAW_IMAGES"); dir && *dir) return dir;
  return QELDA_ADVRAW_IMAGES;
}

// "MD5<TAB>SIZE<TAB>NAME" lines: md5 -> size.
std::map<std::string, std::uint64_t> deletedFiles(const std::string& manifest) {
  std::map<std::string, std::uint64_t> out;
  std::ifstream in(manifest);
  std::string md5, size, name;
  while (std::getline(in, md5, '\t') && std::getline(in, size, '\t') && std::getline(in, name)) out[md5] = std::stoull(size);
  return out;
}

// The directory clusters the volume still holds (the sectors that start with "." and ".."), with
// the data area's first sector they give.
struct Directories {
  std::vector<std::uint32_t> clusters;
  std::uint64_t dataStart = 0;
};
Directories directoriesOf(const std::string& image) {
  Directories out;
  std::ifstream in(image, std::ios::binary);
  std::vector<char> sector(512);
  for (std::uint64_t s = 0; s < 16384 && in.read(sector.data(), 512); ++s) {
    if (std::string(sector.data(), 8) != ".       " || std::string(sector.data() + 32, 8) != "..      ") continue;
    const auto byte = [&](int i) { return std::uint32_t(std::uint8_t(sector[i])); };
    const std::uint32_t cluster = byte(26) | byte(27) << 8 | byte(20) << 16 | byte(21) << 24;
    out.clusters.push_back(cluster);
    out.dataStart = s - std::uint64_t(cluster - 2) * kSectorsPerCluster;
  }
  return out;
}

// Wipes the deleted entries of root folder `name` (8.3, blank-padded): the files they named are
// then known to no directory, and their clusters to nothing but their bytes.
void forgetDeletedEntries(WorkerScan& scan, const std::string& image, std::uint64_t dataStart, const std::string& name) {
  std::ifstream in(image, std::ios::binary);
  std::vector<std::uint8_t> cluster(kSectorsPerCluster * 512);
  const auto readAt = [&](std::uint64_t offset, void* to, std::size_t n) {
    in.seekg(std::streamoff(offset));
    in.read(static_cast<char*>(to), std::streamsize(n));
  };
  const auto clusterOffset = [&](std::uint32_t c) { return (dataStart + std::uint64_t(c - 2) * kSectorsPerCluster) * 512; };
  readAt(clusterOffset(2), cluster.data(), cluster.size());
  std::uint32_t c = 0;
  for (std::size_t o = 0; o + 32 <= cluster.size(); o += 32)
    if (std::string(reinterpret_cast<const char*>(&cluster[o]), 11) == name)
      c = cluster[o + 26] | cluster[o + 27] << 8 | cluster[o + 20] << 16 | std::uint32_t(cluster[o + 21]) << 24;
  ASSERT_GE(c, 3u) << name;
  for (int steps = 0; c >= 2 && c < 0x0FFFFFF8 && steps < 64; ++steps) {
    readAt(clusterOffset(c), cluster.data(), cluster.size());
    for (std::size_t o = 0; o + 32 <= cluster.size(); o += 32)
      if (cluster[o] == 0xE5) std::fill(cluster.begin() + std::ptrdiff_t(o), cluster.begin() + std::ptrdiff_t(o + 32), 0);
    scan.patch(clusterOffset(c), cluster);
    std::uint8_t next[4];
    readAt(kReserved * 512 + std::uint64_t(c) * 4, next, 4);
    c = (next[0] | next[1] << 8 | next[2] << 16 | std::uint32_t(next[3]) << 24) & 0x0FFFFFFF;
  }
}

class FatAdvancedRaw : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = advrawImages() + "/fat32.img";
    if (!std::filesystem::exists(advrawImages() + "/.stamp")) QELDA_SKIP_WITHOUT_IMAGES() << "no damaged volumes in " << advrawImages();
    deleted_ = deletedFiles(advrawImages() + "/fat32.deleted");
    ASSERT_GE(deleted_.size(), 80u);
  }

  static void chooseTypes(WorkerScan& scan, const qelda::test::ImageDir& config) {
    std::vector<std::string> unknown;
    ASSERT_TRUE(app::selectRawTypes(scan.app, config.file("config"), {"jpg", "png", "gif", "bmp", "tif", "zip", "html"},
                                    unknown));
    scan.app.m_nSetRaw = 0;
  }

  // The files under "Raw Data Folder(s)" whose bytes, read as saving reads them, are a deleted
  // file's; checks the folders' shape on the way.
  std::size_t byteExactFinds(WorkerScan& scan) {
    std::set<std::string> seen;
    std::uint32_t top = 0;
    std::uint32_t lastId = 0;
    for (const auto& [path, item] : scan.found()) {
      if (path == "Raw Data Folder(s)") {
        EXPECT_TRUE(item->isFolder());
        EXPECT_EQ(item->m_nParentId, 0u);
        top = item->m_nId;
        lastId = top;
        continue;
      }
      if (path.rfind("Raw Data Folder(s)/", 0) != 0) continue;
      EXPECT_TRUE(item->m_byFlags & kItemBySignature) << path;
      // Ids count down from the top folder's, one for each folder and file.
      EXPECT_LT(item->m_nId, lastId) << path;
      lastId = item->m_nId;
      const std::string rest = path.substr(19);
      const std::size_t slash = rest.find('/');
      if (item->isFolder()) {
        EXPECT_EQ(slash, std::string::npos) << path;
        EXPECT_EQ(item->m_nParentId, top) << path;
        continue;
      }
      // <type>/<first cluster>.<type>
      if (slash == std::string::npos) {
        ADD_FAILURE() << path;
        continue;
      }
      const std::string type = rest.substr(0, slash);
      EXPECT_EQ(rest.substr(slash + 1), std::to_string(item->m_nRecordKey) + "." + type) << path;
      const std::vector<std::uint8_t> bytes = scan.read(*item);
      const std::string md5 = qelda::test::md5Hex(bytes);
      if (deleted_.count(md5) && deleted_.at(md5) == item->m_nSize) seen.insert(md5);
    }
    EXPECT_NE(top, 0u) << "no Raw Data Folder(s)";
    return seen.size();
  }

  std::string image_;
  std::map<std::string, std::uint64_t> deleted_;
};

TEST_F(FatAdvancedRaw, SweepOfTheAdvancedScanFindsTheDeletedFilesOnlyWhenTypesAreChosen) {
  qelda::test::ImageDir config;
  WorkerScan scan(image_, volume::kFsFat32);
  ASSERT_EQ(scan.run(engine::kScanAdvanced).status, engine::ScanStatus::Done);
  std::size_t without = 0;
  for (const auto& [path, item] : scan.found()) without += path.rfind("Raw Data Folder(s)", 0) == 0;
  EXPECT_EQ(without, 0u);

  chooseTypes(scan, config);
  ASSERT_EQ(scan.run(engine::kScanAdvanced).status, engine::ScanStatus::Done);
  const std::size_t found = byteExactFinds(scan);
  EXPECT_GE(found * 100, deleted_.size() * 95) << found << " of " << deleted_.size();
}

// The free clusters that no reported item owns and that hold no directory are matched.
TEST_F(FatAdvancedRaw, RebuiltVolumesFreeClustersAreMatched) {
  const Directories dirs = directoriesOf(image_);
  ASSERT_FALSE(dirs.clusters.empty());
  qelda::test::ImageDir config;
  WorkerScan scan(image_, volume::kFsFat32, kSourceRebuiltVolume, true);
  // The deleted files' entries would name them, and their clusters be taken as theirs.
  forgetDeletedEntries(scan, image_, dirs.dataStart, "MEDIA      ");
  scan.record().m_bySectorsPerCluster = kSectorsPerCluster;
  scan.record().m_nReservedSectors = kReserved;
  scan.record().m_nFatSectors = std::uint32_t((dirs.dataStart - kReserved) / 2);
  scan.record().m_wRootDirSectors = 0;
  scan.record().clusterArray = dirs.clusters;
  chooseTypes(scan, config);
  ASSERT_EQ(scan.run(engine::kScanQuick).status, engine::ScanStatus::Done);
  const std::size_t found = byteExactFinds(scan);
  EXPECT_GE(found * 100, deleted_.size() * 95) << found << " of " << deleted_.size();
}

}  // namespace
}  // namespace qelda::fat::test
