// The exFAT parsers on volumes made by mkfs.exfat and filled through exfat-fuse: the boot
// sector against dump.exfat, the directory streams against fls, file data against icat.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fs/exfat_boot.h"
#include "fs/exfat_entries.h"
#include "fs/exfat_layout.h"
#include "fs/md5.h"
#include "platform/byte_view.h"
#include "platform/text.h"
#include "support/missing_images.h"
#include "exfat/exfat_test_support.h"

namespace qelda::fs::exfat {
namespace {

using platform::ByteView;
using Bytes = std::vector<std::uint8_t>;
using test::exfat::Entry;
using test::exfat::exfatImages;
using test::exfat::kVolumes;
using test::exfat::readFls;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// dump.exfat's "Name:<tabs>value" lines.
std::map<std::string, std::string> readDump(const std::string& path) {
  std::map<std::string, std::string> fields;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    fields[line.substr(0, colon)] = value;
  }
  return fields;
}

// A volume file in memory with its parsed boot sector; clusters are read through the
// parser's geometry and chains followed through the FAT, cut where a directory or file
// ends.
class Volume {
 public:
  explicit Volume(const std::string& path) : bytes_(readFile(path)) {
    if (auto p = parseExFatBoot(ByteView(bytes_))) params_ = *p;
  }
  const ExFatBootParams& params() const { return params_; }
  ByteView view() const { return ByteView(bytes_); }

  std::vector<std::uint32_t> rootClusters() const {
    return chain(rootWalkCluster(params_), std::uint32_t(exfat::kMaxDirectoryBytes / params_.clusterBytes()));
  }
  std::vector<std::uint32_t> chain(std::uint32_t first, std::uint32_t limit) const {
    std::vector<std::uint32_t> out;
    const ByteView fat(bytes_.data() + std::uint64_t(params_.fatOffset) * 512, std::uint64_t(params_.fatLength) * 512);
    for (std::uint32_t c = first; isHeapCluster(params_, c) && out.size() < limit; c = fat.le32(4ull * c).value_or(0))
      out.push_back(c);
    return out;
  }
  std::vector<std::uint32_t> clustersOf(const ExFatEntrySet& s, std::uint64_t length) const {
    const std::uint32_t n = directoryClusterCount(params_, s.firstCluster, length);
    if (s.followsChain()) return chain(s.firstCluster, n);
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 0; i < n; ++i) out.push_back(s.firstCluster + i);
    return out;
  }
  Bytes read(const std::vector<std::uint32_t>& clusters) const {
    Bytes out;
    for (std::uint32_t c : clusters) {
      const auto at = bytes_.begin() + std::ptrdiff_t(*firstSectorOfCluster(params_, c) * 512);
      out.insert(out.end(), at, at + std::ptrdiff_t(params_.clusterBytes()));
    }
    return out;
  }

 private:
  Bytes bytes_;
  ExFatBootParams params_;
};

class ExFatImage : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dir_ = exfatImages();
    if (dir_.empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the exFAT volumes could not be made (needs root, FUSE, a loop device)";
    base_ = dir_ + "/" + GetParam();
  }
  std::string dir_, base_;
};

TEST_P(ExFatImage, BootSectorAgreesWithDumpExfat) {
  const Bytes image = readFile(base_ + ".img");
  const auto dump = readDump(base_ + ".dump");
  const auto p = parseExFatBoot(ByteView(image));
  ASSERT_TRUE(p);
  EXPECT_EQ(std::to_string(p->volumeLength), dump.at("Volume Length(sectors)"));
  EXPECT_EQ(std::to_string(p->fatOffset), dump.at("FAT Offset(sector offset)"));
  EXPECT_EQ(std::to_string(p->fatLength), dump.at("FAT Length(sectors)"));
  EXPECT_EQ(std::to_string(p->clusterHeapOffset), dump.at("Cluster Heap Offset (sector offset)"));
  EXPECT_EQ(std::to_string(p->clusterCount), dump.at("Cluster Count"));
  EXPECT_EQ(std::to_string(p->rootCluster), dump.at("Root Cluster (cluster offset)"));
  EXPECT_EQ(std::to_string(p->bytesPerSectorShift), dump.at("Sector Size Bits"));
  EXPECT_EQ(std::to_string(p->sectorsPerClusterShift), dump.at("Sector per Cluster bits"));
  EXPECT_EQ(std::to_string(p->clusterBytes()), dump.at("Cluster size"));
  EXPECT_TRUE(p->sectorsPerClusterFromShift && p->heapFromField && !p->clusterCountCut);

  // The backup boot region says the same, and both regions carry their checksums.
  const ByteView backupSector(image.data() + 12 * 512, 512);
  const auto backup = parseExFatBoot(backupSector);
  ASSERT_TRUE(backup);
  EXPECT_EQ(std::tie(backup->volumeLength, backup->clusterHeapOffset, backup->clusterCount, backup->rootCluster),
            std::tie(p->volumeLength, p->clusterHeapOffset, p->clusterCount, p->rootCluster));
  EXPECT_TRUE(exFatBootChecksumMatches(ByteView(image.data(), 12 * 512)));
  EXPECT_TRUE(exFatBootChecksumMatches(ByteView(image.data() + 12 * 512, 12 * 512)));
  EXPECT_FALSE(exFatBootChecksumMatches(ByteView(image.data(), 12 * 512 - 1)));
  // The backup lies 12 of the volume's own sectors in, and must claim the size it was
  // looked for with.
  EXPECT_EQ(exFatBackupRegionSector(9), 12u);
  EXPECT_EQ(exFatBackupRegionSector(12), 96u);
  EXPECT_EQ(exFatBootRegionBytes(backupSector), std::optional<std::size_t>(12 * 512));
  EXPECT_TRUE(isExFatBackupRegion(ByteView(image.data() + 12 * 512, 12 * 512), 9));
  EXPECT_FALSE(isExFatBackupRegion(ByteView(image.data() + 12 * 512, 12 * 512), 12));
  // Volume flags and the percentage in use change while mounted and are not summed;
  // every other byte of the first 11 sectors is.
  for (const std::size_t offset : {106, 107, 112, 200, 511, 5000, 5631}) {
    SCOPED_TRACE(offset);
    Bytes region(image.begin(), image.begin() + 12 * 512);
    region[offset] ^= 0x5A;
    EXPECT_EQ(exFatBootChecksumMatches(ByteView(region)), offset == 106 || offset == 107 || offset == 112);
  }
}

TEST_P(ExFatImage, RootSystemEntriesAgreeWithDumpExfat) {
  const Volume v(base_ + ".img");
  const auto dump = readDump(base_ + ".dump");
  const Bytes root = v.read(v.rootClusters());
  const ExFatRootEntries r = findRootEntries(ByteView(root));
  ASSERT_TRUE(r.bitmap);
  EXPECT_EQ(std::to_string(r.bitmap->firstCluster), dump.at("Bitmap start cluster"));
  EXPECT_EQ(std::to_string(r.bitmap->dataLength), dump.at("Bitmap size"));
  EXPECT_TRUE(bitmapEntryIsPlausible(*r.bitmap, v.params()));
  ASSERT_TRUE(r.upcase);
  // dump.exfat writes this one cluster number in hexadecimal.
  EXPECT_EQ(r.upcase->firstCluster, std::stoul(dump.at("Upcase table start cluster"), nullptr, 16));
  EXPECT_EQ(std::to_string(r.upcase->dataLength), dump.at("Upcase table size"));
  ASSERT_TRUE(r.label);
  EXPECT_EQ(platform::toUtf8(*r.label), GetParam().substr(0, 11));
}

// Every directory read as one stream of its clusters (chained, or contiguous when
// NoFatChain is set, cut at its data length) and walked: the names, folders and deleted
// marks are exactly those fls lists, every live file's data hashes as icat's does, and
// the directory-cluster test tells directories from data.
TEST_P(ExFatImage, WalkedTreeAgreesWithFlsAndIcat) {
  const Volume v(base_ + ".img");
  ASSERT_GT(v.params().clusterCount, 0u);
  std::map<std::string, std::string> md5;  // path -> digest of a live file
  for (const auto& [path, icat] : test::exfat::readMd5(base_ + ".md5"))
    if (!icat.deleted) md5[path] = icat.md5;

  struct Dir {
    std::string path;
    Bytes stream;
    bool deleted;
  };
  std::vector<Dir> stack;
  const auto rootClusters = v.rootClusters();
  std::set<std::uint32_t> dirClusters(rootClusters.begin(), rootClusters.end());
  stack.push_back({"", v.read(rootClusters), false});
  std::vector<Entry> found;
  std::size_t filesChecked = 0, setsCrossingClusters = 0, contiguousMultiClusterDirs = 0, fragmentedFiles = 0;
  std::set<std::uint32_t> walkedDirs;
  while (!stack.empty()) {
    const Dir dir = std::move(stack.back());
    stack.pop_back();
    ExFatDirectoryWalk walk(ByteView(dir.stream), dir.path.empty() ? ExFatWalkKind::Root : ExFatWalkKind::Folder);
    while (const auto s = walk.next()) {
      const std::string path = dir.path + platform::toUtf8(s->name);
      const bool deleted = dir.deleted || s->deleted;
      found.push_back({path, s->isFolder(), deleted});
      setsCrossingClusters += s->offset / v.params().clusterBytes() != (s->end - 1) / v.params().clusterBytes();
      const auto clusters = v.clustersOf(*s, s->isFolder() ? s->dataLength : s->validDataLength);
      if (s->isFolder()) {
        ASSERT_TRUE(walkedDirs.insert(s->firstCluster).second) << path;
        ASSERT_FALSE(clusters.empty()) << path;
        dirClusters.insert(clusters.begin(), clusters.end());
        contiguousMultiClusterDirs += s->noFatChain() && clusters.size() > 1;
        Bytes stream = v.read(clusters);
        // A directory's first cluster looks like one, unless the directory is empty.
        if (ExFatDirectoryWalk(ByteView(stream), ExFatWalkKind::Folder).next()) {
          EXPECT_TRUE(IsDirectoryCluster(ByteView(stream.data(), v.params().clusterBytes()))) << path;
        }
        stack.push_back({path + "/", std::move(stream), deleted});
      } else if (!deleted) {
        ASSERT_EQ(s->validDataLength, s->dataLength) << path;
        Bytes data = v.read(clusters);
        ASSERT_GE(data.size(), s->validDataLength) << path;
        data.resize(s->validDataLength);
        ASSERT_EQ(md5.count(path), 1u) << path;
        EXPECT_EQ(test::md5Hex(data), md5[path]) << path;
        ++filesChecked;
        fragmentedFiles += s->followsChain() && !clusters.empty() && clusters.back() - clusters.front() + 1 != clusters.size();
        for (std::size_t i = 0; i < clusters.size(); ++i)
          EXPECT_FALSE(IsDirectoryCluster(ByteView(v.read({clusters[i]})))) << path << " cluster " << i;
      }
    }
  }
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, readFls(base_ + ".fls"));
  EXPECT_EQ(filesChecked, md5.size());
  // What the volumes were made to hold: a fragmented file, and with small clusters
  // directories of several contiguous clusters and sets that cross cluster boundaries.
  EXPECT_EQ(fragmentedFiles, 1u);
  if (v.params().clusterBytes() <= 4096) {
    EXPECT_GT(setsCrossingClusters, 0u);
    EXPECT_GT(contiguousMultiClusterDirs, 0u);
  }

  std::vector<Entry> deleted;
  for (const Entry& e : found)
    if (e.deleted) deleted.push_back(e);
  EXPECT_EQ(deleted, readFls(base_ + ".flsd"));

  // Directory clusters that no directory holds any more (exfat-fuse shrinks a directory
  // whose last entries were deleted) are found by their shape, and hold what fls lists as
  // orphans.
  std::set<std::string> orphanNames;
  for (std::uint32_t c = 2; c <= v.params().clusterCount + 1; ++c) {
    if (dirClusters.count(c)) continue;
    const Bytes cluster = v.read({c});
    if (!IsDirectoryCluster(ByteView(cluster))) continue;
    ExFatDirectoryWalk walk(ByteView(cluster), ExFatWalkKind::Folder);
    while (const auto s = walk.next()) orphanNames.insert(platform::toUtf8(s->name));
  }
  for (const Entry& e : readFls(base_ + ".flsd", true))
    if (e.path.find('/') == std::string::npos) {
      EXPECT_EQ(orphanNames.count(e.path), 1u) << e.path;
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExFatImage, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return test::exfat::testName(info.param); });

}  // namespace
}  // namespace qelda::fs::exfat
