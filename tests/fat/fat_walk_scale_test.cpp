// The FAT walks' work held against the size of the disk, on FAT32 volumes built here whose
// directories nest as deep as the walks go and further: folders nested along one chain
// that runs through the whole data area, and lost directory clusters whose ".." names the
// next cluster. Each volume is scanned at one size and at four times it; the walks' own
// counters (bytes read, items reported, memory held, depth) must grow no faster than the
// disk, whatever the machine's speed. Also a deleted file whose size runs past the
// volume's end: saved with what the volume holds, never padded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "fat/fat_test_support.h"
#include "fs/fat_layout.h"
#include "platform/byte_view.h"
#include "support/walk_scale.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace qelda::fat::test {

namespace boot = fs::fat::boot;
namespace dirent = fs::fat::dirent;
namespace {

using platform::putLe16;
using platform::putLe32;

// A FAT32 volume of one-sector clusters, both FAT copies alike, root at cluster 2.
class Fat32Volume {
 public:
  explicit Fat32Volume(std::uint32_t clusters)
      : clusters_(clusters), fatSectors_(std::max<std::uint32_t>(300, ((clusters + 2) * 4 + 511) / 512)) {
    bytes_.assign(std::size_t(totalSectors()) * 512, 0);
    std::uint8_t* b = bytes_.data();
    b[0] = 0xEB;
    b[1] = 0x58;
    b[2] = 0x90;
    std::memcpy(b + 3, "mkfs.fat", 8);
    putLe16(b + boot::kBytesPerSector, 512);
    b[boot::kSectorsPerCluster] = 1;
    putLe16(b + boot::kReservedSectors, kReserved);
    b[boot::kFatCount] = 2;
    b[boot::kMedia] = 0xF8;
    putLe32(b + boot::kTotalSectors32, std::uint32_t(totalSectors()));
    putLe32(b + boot::kSectorsPerFat32, fatSectors_);
    putLe32(b + boot::kRootCluster, 2);
    b[510] = 0x55;
    b[511] = 0xAA;
    setFat(0, 0x0FFFFFF8);
    setFat(1, 0x0FFFFFFF);
    setFat(2, 0x0FFFFFFF);
  }
  std::uint64_t totalSectors() const { return kReserved + 2ull * fatSectors_ + clusters_; }
  std::uint32_t lastCluster() const { return clusters_ + 1; }
  void setFat(std::uint32_t cluster, std::uint32_t value) {
    for (int copy = 0; copy < 2; ++copy)
      putLe32(bytes_.data() + (kReserved + std::size_t(copy) * fatSectors_) * 512 + cluster * 4ull, value);
  }
  std::uint8_t* cluster(std::uint32_t c) { return bytes_.data() + (kReserved + 2ull * fatSectors_ + c - 2) * 512; }
  // Entry `slot` of directory cluster `c`.
  void entry(std::uint32_t c, int slot, const char* name11, std::uint8_t attributes, std::uint32_t first,
             std::uint32_t size = 0) {
    std::uint8_t* e = cluster(c) + slot * dirent::kSize;
    std::memcpy(e, name11, 11);
    e[dirent::kAttributes] = attributes;
    putLe16(e + dirent::kClusterHigh, std::uint16_t(first >> 16));
    putLe16(e + dirent::kClusterLow, std::uint16_t(first));
    putLe16(e + dirent::kWriteDate, (45 << 9) | (6 << 5) | 15);
    putLe32(e + dirent::kFileSize, size);
  }
  // A directory cluster's "." and "..".
  void dots(std::uint32_t c, std::uint32_t parent) {
    entry(c, 0, ".          ", dirent::kAttrDirectory, c);
    entry(c, 1, "..         ", dirent::kAttrDirectory, parent);
  }
  std::string write(qelda::test::ImageDir& dir, const std::string& name) const {
    return dir.putAt(name, 0, bytes_);
  }
  std::uint64_t bytes() const { return bytes_.size(); }

 private:
  static constexpr std::uint32_t kReserved = 32;
  std::uint32_t clusters_;
  std::uint32_t fatSectors_;
  std::vector<std::uint8_t> bytes_;
};

std::string folderName(std::uint32_t i) {
  char name[24];
  std::snprintf(name, sizeof name, "D%07u   ", i);
  return std::string(name).substr(0, 11);  // an 8.3 name: 11 characters
}

// Folders nested one in the next, each one cluster, along one chain through the whole
// data area: each folder's chain runs on through every deeper folder, and no cluster holds
// an end mark (deleted files fill them up).
Fat32Volume nestedAlongOneChain(std::uint32_t clusters) {
  Fat32Volume v(clusters);
  v.entry(2, 0, folderName(3).c_str(), dirent::kAttrDirectory, 3);
  for (std::uint32_t c = 3; c <= v.lastCluster(); ++c) {
    v.dots(c, c == 3 ? 0 : c - 1);
    if (c < v.lastCluster()) v.entry(c, 2, folderName(c + 1).c_str(), dirent::kAttrDirectory, c + 1);
    for (int slot = 3; slot < 16; ++slot) v.entry(c, slot, "\xE5ILLER  BIN", dirent::kAttrArchive, 0, 0);
    v.setFat(c, c < v.lastCluster() ? c + 1 : 0x0FFFFFFF);
  }
  return v;
}

// 2100 folders nested one in the next from cluster 3, each one cluster, past the walks'
// limit, along one chain that runs on through every cluster to the volume's end: the folders
// the walks do not reach are placed as lost ones, and each of them, and each folder in it,
// has the rest of the volume for its chain.
Fat32Volume foldersAlongLongerChain(std::uint32_t clusters) {
  constexpr std::uint32_t kFolders = 2100;
  Fat32Volume v(clusters);
  v.entry(2, 0, folderName(3).c_str(), dirent::kAttrDirectory, 3);
  for (std::uint32_t c = 3; c < 3 + kFolders; ++c) {
    v.dots(c, c == 3 ? 0 : c - 1);
    if (c + 1 < 3 + kFolders) v.entry(c, 2, folderName(c + 1).c_str(), dirent::kAttrDirectory, c + 1);
  }
  for (std::uint32_t c = 3; c <= v.lastCluster(); ++c) v.setFat(c, c < v.lastCluster() ? c + 1 : 0x0FFFFFFF);
  return v;
}

// Directory clusters no entry leads to, each naming the next as its parent; the last names
// a cluster that holds no directory. The FAT holds them all free.
Fat32Volume lostParentChain(std::uint32_t clusters) {
  Fat32Volume v(clusters);
  for (std::uint32_t c = 3; c < v.lastCluster(); ++c) v.dots(c, c + 1);
  return v;
}

struct Work {
  fs::WalkStats stats;
  std::size_t items = 0;
  std::size_t deepest = 0;  // of the reported tree; 1 for an item of the root
};

std::size_t treeDepth(const std::deque<FoundEntry>& items) {
  std::unordered_map<std::uint32_t, std::uint32_t> parentOf;
  for (const FoundEntry& f : items) parentOf.emplace(f.item.m_nId, f.item.m_nParentId);
  std::unordered_map<std::uint32_t, std::size_t> depthOf;
  std::size_t deepest = 0;
  for (const FoundEntry& f : items) {
    // Up to a known depth, then back down.
    std::vector<std::uint32_t> path;
    std::uint32_t id = f.item.m_nId;
    std::size_t depth = 0;
    while (id != 0 && path.size() <= items.size()) {
      if (const auto known = depthOf.find(id); known != depthOf.end()) {
        depth = known->second;
        break;
      }
      path.push_back(id);
      const auto parent = parentOf.find(id);
      id = parent == parentOf.end() ? 0 : parent->second;
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) depthOf[*it] = ++depth;
    deepest = std::max(deepest, depth);
  }
  return deepest;
}

enum class Scan { Quick, Deleted, Advanced };

Work scan(const Fat32Volume& v, Scan kind) {
  qelda::test::ImageDir dir;
  MountedVolume vol(v.write(dir, "hostile.img"));
  auto e = vol.engine();
  if (kind == Scan::Advanced) e->ScanAdvanced(0);
  else e->ScanVolume(kind == Scan::Deleted ? 1 : 0);
  return {EngineProbe::walkStats(*e), vol.sink_.items.size(), treeDepth(vol.sink_.items)};
}

struct ScaleCase {
  const char* what;
  Fat32Volume (*make)(std::uint32_t clusters);
  Scan scan;
  bool reachesTheLimit;  // the walk goes as deep as it may
};

TEST(FatWalkScale, WorkGrowsNoFasterThanTheDisk) {
  // 3000 clusters nest past the walks' limit of 2048 already; four times as many.
  constexpr std::uint32_t kClusters = 3000;
  const ScaleCase cases[] = {
      {"nested along one chain, quick scan", nestedAlongOneChain, Scan::Quick, true},
      {"nested along one chain, deleted-files scan", nestedAlongOneChain, Scan::Deleted, true},
      {"nested along one chain, advanced scan", nestedAlongOneChain, Scan::Advanced, true},
      {"nested along a chain to the volume's end, quick scan", foldersAlongLongerChain, Scan::Quick, true},
      {"nested along a chain to the volume's end, advanced scan", foldersAlongLongerChain, Scan::Advanced, true},
      {"lost folders naming the next as parent, advanced scan", lostParentChain, Scan::Advanced, false},
  };
  for (const ScaleCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Fat32Volume small = c.make(kClusters);
    const Fat32Volume large = c.make(4 * kClusters);
    const Work one = scan(small, c.scan);
    const Work four = scan(large, c.scan);
    for (const auto& [v, w] : {std::pair{&small, one}, std::pair{&large, four}}) {
      // Each directory cluster is read once a pass; an item stands for at least one entry.
      EXPECT_LE(w.stats.directoryBytesRead, 3 * v->bytes());
      EXPECT_LE(w.items, v->bytes() / dirent::kSize);
      // The open walks hold a cluster and a frame each, as deep as the limit at most.
      EXPECT_LE(w.stats.deepestWalk, kMaxWalkDepth);
      EXPECT_LE(w.stats.mostHeldBytes, kMaxWalkDepth * 1024);
      EXPECT_EQ(w.stats.heldBytes, 0u);
      // Chains that share their tails are followed once: the folders nested along one chain
      // do not each follow it again to the volume's end.
      EXPECT_LE(w.stats.chainClustersFollowed, 2ull * v->lastCluster());
      // Lost folders too stay within the walks' depth: under the root, "Lost folder(s)",
      // a made-up parent, then as deep as a walk goes.
      EXPECT_LE(w.deepest, kMaxWalkDepth + 3);
    }
    qelda::test::expectWorkGrowsWithTheDisk(one.stats, one.items, four.stats, four.items, kMaxWalkDepth * 256,
                                            c.reachesTheLimit ? std::optional<std::uint64_t>(kMaxWalkDepth) : std::nullopt);
  }
}

// A deleted file in the root whose first cluster is the volume's last and whose size is
// 4 MiB: one cluster of it is on the volume. Saving gives that cluster and says the file
// is partly recovered; the rest is not made up of zeros.
TEST(FatWalkScale, AFileRunningPastTheVolumesEndIsNotPaddedWithZeros) {
  Fat32Volume v(10000);  // room for the file's size: larger sizes are no file's
  const std::uint32_t last = v.lastCluster();
  v.entry(2, 0, "\xE5""AST    BIN", dirent::kAttrArchive, last, 4u << 20);
  v.entry(2, 1, "INSIDE  BIN", dirent::kAttrArchive, 100, 1024);
  v.setFat(100, 101);
  v.setFat(101, 0x0FFFFFFF);
  for (std::uint32_t c : {last, 100u, 101u}) std::memset(v.cluster(c), int(c & 0x7F) + 1, 512);
  qelda::test::ImageDir dir;
  WorkerScan scan(v.write(dir, "volume.img"), volume::kFsFat32);
  const auto outcome0 = scan.run(engine::kScanDeleted);
  ASSERT_EQ(outcome0.status, engine::ScanStatus::Done) << platform::toUtf8(outcome0.message) << platform::toUtf8(outcome0.cause);
  results::FoundItemRef past;
  for (const auto& f : scan.found())
    if (f.path.find("AST.BIN") != std::string::npos) past = f.item;
  ASSERT_TRUE(past);
  ASSERT_EQ(past->m_nRecordKey, last);
  engine::ReadOutcome outcome;
  const auto bytes = scan.read(*past, &outcome);
  EXPECT_EQ(outcome, engine::ReadOutcome::Partial);
  EXPECT_EQ(bytes, std::vector<std::uint8_t>(512, std::uint8_t((last & 0x7F) + 1)));

  // A file wholly inside the volume is read whole, as before.
  ASSERT_EQ(scan.run(engine::kScanQuick).status, engine::ScanStatus::Done);
  results::FoundItemRef inside;
  for (const auto& f : scan.found())
    if (f.path == "INSIDE.BIN") inside = f.item;
  ASSERT_TRUE(inside);
  const auto whole = scan.read(*inside, &outcome);
  EXPECT_EQ(outcome, engine::ReadOutcome::Complete);
  std::vector<std::uint8_t> expected(512, 100 + 1);
  expected.resize(1024, 101 + 1);
  EXPECT_EQ(whole, expected);
}

}  // namespace
}  // namespace qelda::fat::test
