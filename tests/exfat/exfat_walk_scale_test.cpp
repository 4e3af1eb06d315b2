// The exFAT walks' work held against the size of the disk, on volumes built here whose
// folders claim the largest directory (256 MiB) each: folders nested in the next as deep
// as the walks go and further, and many sibling folders whose claims overlap over a heap
// with no end-of-directory entry anywhere. Each volume is scanned at one size and at four
// times it; the engine's own counters (bytes read, items reported, memory held, depth)
// must grow no faster than the disk. Also the work folder's removal when the program is
// ended by a signal.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/scan_state.h"
#include "exfat/exfat_engine.h"
#include "fs/exfat_layout.h"
#include "platform/byte_view.h"
#include "platform/text.h"
#include "support/image_dir.h"
#include "support/recording_notifier.h"
#include "support/walk_scale.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace qelda::exfat {
namespace {

using platform::putLe16;
using platform::putLe32;
using platform::putLe64;
namespace e = fs::exfat::entry;

constexpr std::uint64_t kClaim = fs::exfat::kMaxDirectoryBytes;

// An exFAT volume of one-sector clusters, root at cluster 4 (one cluster unless a chain is
// given), every other cluster free and zero.
class ExFatVolume {
 public:
  explicit ExFatVolume(std::uint32_t clusters) : clusters_(clusters) {
    fatLength_ = ((clusters + 2) * 4 + 511) / 512;
    heap_ = kFatOffset + fatLength_;
    bytes_.assign(std::size_t(heap_ + clusters) * 512, 0);
    std::uint8_t* b = bytes_.data();
    std::memcpy(b + 3, "EXFAT   ", 8);
    putLe64(b + fs::exfat::boot::kVolumeLength, heap_ + clusters);
    putLe32(b + fs::exfat::boot::kFatOffset, kFatOffset);
    putLe32(b + fs::exfat::boot::kFatOffset + 4, fatLength_);
    putLe32(b + fs::exfat::boot::kClusterHeapOffset, heap_);
    putLe32(b + fs::exfat::boot::kClusterCount, clusters);
    putLe32(b + fs::exfat::boot::kRootCluster, 4);
    b[fs::exfat::boot::kBytesPerSectorShift] = 9;
    b[fs::exfat::boot::kSectorsPerClusterShift] = 0;
    b[fs::exfat::boot::kNumberOfFats] = 1;
    b[510] = 0x55;
    b[511] = 0xAA;
    setFat(0, 0xFFFFFFF8);
    setFat(1, 0xFFFFFFFF);
    setFat(4, 0xFFFFFFFF);
  }
  std::uint32_t lastCluster() const { return clusters_ + 1; }
  void setFat(std::uint32_t cluster, std::uint32_t value) {
    putLe32(bytes_.data() + std::size_t(kFatOffset) * 512 + cluster * 4ull, value);
  }
  std::uint8_t* cluster(std::uint32_t c) { return bytes_.data() + (std::size_t(heap_) + c - 2) * 512; }
  // A folder's entry set (file, stream, one name entry) at `at`; its directory claims
  // `length` bytes from `first` on, contiguous unless it follows its chain.
  void folderSet(std::uint8_t* at, std::uint32_t first, std::uint64_t length, const std::u16string& name,
                 bool chain = false) {
    std::memset(at, 0, 96);
    at[0] = e::kFile;
    at[e::kSecondaryCount] = 2;
    at[e::kAttributes] = fs::exfat::kAttributeFolder;
    std::uint8_t* s = at + 32;
    s[0] = e::kStream;
    s[e::kStreamFlags] = chain ? 0x01 : 0x03;
    s[e::kNameLength] = std::uint8_t(name.size());
    putLe64(s + e::kValidDataLength, length);
    putLe32(s + e::kFirstCluster, first);
    putLe64(s + e::kDataLength, length);
    std::uint8_t* n = at + 64;
    n[0] = e::kName;
    for (std::size_t i = 0; i < name.size() && i < 15; ++i) putLe16(n + e::kNameChars + 2 * i, name[i]);
  }
  // Deleted name entries with no set: a directory holds them, and they end nothing.
  void fill(std::uint32_t c, std::size_t from) {
    for (std::size_t o = from; o < 512; o += 32) cluster(c)[o] = e::kDeletedName;
  }
  std::string write(qelda::test::ImageDir& dir) const { return dir.putAt("volume.img", 0, bytes_); }
  std::uint64_t bytes() const { return bytes_.size(); }

 private:
  static constexpr std::uint32_t kFatOffset = 24;
  std::uint32_t clusters_;
  std::uint32_t fatLength_ = 0;
  std::uint32_t heap_ = 0;
  std::vector<std::uint8_t> bytes_;
};

std::u16string numbered(std::uint32_t n) { return platform::fromUtf8(std::string("F").append(std::to_string(n))); }

// Folder k's directory is cluster k and claims 256 MiB; it holds folder k+1's set, then
// deleted name entries: no end-of-directory entry anywhere. Contiguous, each folder's
// claim covers all deeper ones; along chains, each chain is its one cluster.
ExFatVolume nested(std::uint32_t clusters, bool chain) {
  ExFatVolume v(clusters);
  v.folderSet(v.cluster(4), 5, kClaim, numbered(5), chain);
  for (std::uint32_t c = 5; c <= v.lastCluster(); ++c) {
    if (c < v.lastCluster()) v.folderSet(v.cluster(c), c + 1, kClaim, numbered(c + 1), chain);
    v.fill(c, c < v.lastCluster() ? 96 : 0);
    if (chain) v.setFat(c, 0xFFFFFFFF);
  }
  return v;
}
ExFatVolume nestedContiguous(std::uint32_t clusters) { return nested(clusters, false); }
ExFatVolume nestedChains(std::uint32_t clusters) { return nested(clusters, true); }

// A root of many clusters (a chain) holding a folder for every eighth cluster of the heap,
// each claiming 256 MiB from there on, over a heap with no end-of-directory entry.
ExFatVolume siblings(std::uint32_t clusters) {
  ExFatVolume v(clusters);
  const std::uint32_t folders = clusters / 8;
  const std::uint32_t rootClusters = (folders * 96 + 511) / 512 + 1;
  const std::uint32_t firstHeapFolder = 4 + rootClusters;
  std::vector<std::uint8_t> root(std::size_t(rootClusters) * 512, 0);
  for (std::uint32_t i = 0; i < folders; ++i) {
    const std::uint32_t first = firstHeapFolder + i * 7;
    if (first > v.lastCluster()) break;
    v.folderSet(root.data() + i * 96ull, first, kClaim, numbered(first));
  }
  for (std::uint32_t k = 0; k < rootClusters; ++k) {
    std::memcpy(v.cluster(4 + k), root.data() + k * 512ull, 512);
    v.setFat(4 + k, k + 1 < rootClusters ? 4 + k + 1 : 0xFFFFFFFF);
  }
  for (std::uint32_t c = firstHeapFolder; c <= v.lastCluster(); ++c) v.fill(c, 0);
  return v;
}

class CountingSink final : public platform::IFoundItemSink {
 public:
  void ResetFoundTree() override {}
  std::uint32_t AddFoundItem(const FOUND_ITEM& item, std::u16string_view) override {
    items.push_back(item);
    return std::uint32_t(items.size() - 1);
  }
  void SetFoundItemSize(std::uint32_t, std::uint64_t, std::uint8_t) override {}
  void SetFoundItemParent(std::uint32_t, std::uint32_t) override {}
  void UpdateStatusCounts() override {}
  void CollapseRootChildren() override {}
  void QueueItemRename(const FOUND_ITEM&, std::u16string_view) override {}
  void ApplyQueuedRenames() override {}
  std::deque<FOUND_ITEM> items;
};

class NullLog final : public platform::ILog {
 public:
  void AddLogEntry(std::u16string, bool) override {}
};

enum class Scan { Quick, Deleted, Advanced };

struct Work {
  fs::WalkStats stats;
  std::size_t items = 0;
  bool workFolderLeft = true;
};

Work scan(const ExFatVolume& v, Scan kind) {
  qelda::test::ImageDir dir;
  engine::ScanState state;
  NullLog log;
  qelda::test::RecordingNotifier notifier;
  CountingSink sink;
  Work w;
  {
    CExFatEngine engine(state, {.console = &sink, .log = &log, .notifier = &notifier});
    EngineProbe::setWorkRoot(engine, dir.file("work"));
    EngineProbe::setWorkInMemoryUpTo(engine, 0);  // its work files are looked for
    ExFatVolumeSource source;
    source.entryKind = 7;
    source.fileSystemCode = volume::kFsExFat;
    source.fileSystemName = u"exFAT";
    source.imagePath = platform::fromUtf8(v.write(dir));
    source.sectorCount = v.bytes() / 512;
    EngineProbe::initializeVolume(engine, 1, source);
    if (kind == Scan::Advanced) engine.ScanAdvanced(0);
    else engine.ScanVolume(kind == Scan::Deleted ? 1 : 0);
    w.stats = EngineProbe::walkStats(engine);
    w.items = sink.items.size();
  }
  w.workFolderLeft = !std::filesystem::is_empty(dir.file("work"));
  return w;
}

struct ScaleCase {
  const char* what;
  ExFatVolume (*make)(std::uint32_t clusters);
  Scan scan;
  bool reachesTheLimit;
};

TEST(ExFatWalkScale, WorkGrowsNoFasterThanTheDisk) {
  // 3000 clusters nest past the walks' limit of 2048 already; four times as many.
  constexpr std::uint32_t kClusters = 3000;
  const ScaleCase cases[] = {
      {"nested along chains, quick scan", nestedChains, Scan::Quick, true},
      {"nested along chains, deleted-files scan", nestedChains, Scan::Deleted, true},
      {"nested along chains, advanced scan", nestedChains, Scan::Advanced, false},  // claims past the volume: no lost folder's
      {"nested contiguous, quick scan", nestedContiguous, Scan::Quick, true},
      {"nested contiguous, deleted-files scan", nestedContiguous, Scan::Deleted, true},
      {"nested contiguous, advanced scan", nestedContiguous, Scan::Advanced, false},
      {"overlapping siblings, quick scan", siblings, Scan::Quick, false},
      {"overlapping siblings, deleted-files scan", siblings, Scan::Deleted, false},
  };
  // What a level of the walk may hold: its window and its frame.
  constexpr std::uint64_t kPerLevel = kWindowCapacity + 1024;
  for (const ScaleCase& c : cases) {
    SCOPED_TRACE(c.what);
    const ExFatVolume small = c.make(kClusters);
    const ExFatVolume large = c.make(4 * kClusters);
    const Work one = scan(small, c.scan);
    const Work four = scan(large, c.scan);
    for (const auto& [v, w] : {std::pair{&small, one}, std::pair{&large, four}}) {
      // Each directory cluster is read once a pass; an item stands for an entry set.
      EXPECT_LE(w.stats.directoryBytesRead, 3 * v->bytes());
      EXPECT_LE(w.items, v->bytes() / 96 + 2);
      EXPECT_LE(w.stats.deepestWalk, kMaxWalkDepth);
      EXPECT_LE(w.stats.mostHeldBytes, w.stats.deepestWalk * kPerLevel + v->bytes());
      EXPECT_FALSE(w.workFolderLeft);
    }
    qelda::test::expectWorkGrowsWithTheDisk(one.stats, one.items, four.stats, four.items, kMaxWalkDepth * 256,
                                            c.reachesTheLimit ? std::optional<std::uint64_t>(kMaxWalkDepth) : std::nullopt);
  }
}

// An empty folder that claims 256 MiB is read to its end-of-directory entry: one read.
TEST(ExFatWalkScale, AnEmptyFolderIsReadToItsEndOfDirectoryEntry) {
  ExFatVolume v(4096);
  v.folderSet(v.cluster(4), 100, kClaim, u"empty");
  const Work w = scan(v, Scan::Quick);
  EXPECT_EQ(w.items, 1u);
  // The root's cluster and the folder's.
  EXPECT_EQ(w.stats.directoryBytesRead, 2 * 512u);
}

// A program killed by SIGTERM (or aborting) in the middle of a scan leaves no work folder;
// one stopped by SIGKILL cannot clean up, and is not tried.
TEST(ExFatWalkScale, AFatalSignalRemovesTheWorkFolder) {
  for (const int sig : {SIGTERM, SIGABRT}) {
    SCOPED_TRACE(sig);
    qelda::test::ImageDir dir;
    const std::string root = dir.file("work");
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      engine::ScanState state;
      NullLog log;
      qelda::test::RecordingNotifier notifier;
      CExFatEngine engine(state, {.log = &log, .notifier = &notifier});
      EngineProbe::setWorkRoot(engine, root);
      EngineProbe::setWorkInMemoryUpTo(engine, 0);  // its work files are looked for
      ExFatVolume v(512);
      ExFatVolumeSource source;
      source.entryKind = 7;
      source.fileSystemCode = volume::kFsExFat;
      source.fileSystemName = u"exFAT";
      source.imagePath = platform::fromUtf8(v.write(dir));
      source.sectorCount = v.bytes() / 512;
      EngineProbe::initializeVolume(engine, 1, source);
      if (!EngineProbe::LoadBootSectorAndFat(engine) || EngineProbe::workFolder(engine).empty()) ::_exit(3);
      ::raise(sig);
      ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), sig);
    ASSERT_TRUE(std::filesystem::exists(root));
    EXPECT_TRUE(std::filesystem::is_empty(root));
  }
}

}  // namespace
}  // namespace qelda::exfat
