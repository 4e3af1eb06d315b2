// CExFatEngine on copies of a mkfs.exfat/exfat-fuse volume, patched where a case needs
// damage: chains and cluster lists, the FAT's check and copy, the cluster map and its
// marks, cluster reads at the heap's edges, ids, loops in the tree, the first-item step of
// the deleted-files scan, a stop, and the work folder's life.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/scan_state.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_test_support.h"
#include "fs/exfat_boot.h"
#include "fs/exfat_entries.h"
#include "platform/byte_view.h"
#include "platform/text.h"
#include "support/image_dir.h"
#include "support/missing_images.h"
#include "support/recording_notifier.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace qelda::exfat {
namespace {

using platform::ByteView;
using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Records the calls an engine makes, in order.
class RecordingSink final : public platform::IFoundItemSink {
 public:
  struct Found {
    FOUND_ITEM item;
    std::u16string name;
  };
  void ResetFoundTree() override { calls.push_back("reset"); }
  std::uint32_t AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override {
    calls.push_back("add");
    items.push_back({item, std::u16string(name)});
    if (stopOnFirst && stop) *stop = 1;
    return std::uint32_t(items.size() - 1);
  }
  void SetFoundItemParent(std::uint32_t, std::uint32_t) override {}
  void SetFoundItemSize(std::uint32_t i, std::uint64_t size, std::uint8_t lastFlags) override {
    items.at(i).item.m_nSize = size;
    items.at(i).item.lastFlags |= lastFlags;
  }
  void UpdateStatusCounts() override {}
  void CollapseRootChildren() override { calls.push_back("collapse"); }
  void QueueItemRename(const FOUND_ITEM&, std::u16string_view) override {}
  void ApplyQueuedRenames() override {}

  const Found* named(std::u16string_view name) const {
    for (const Found& f : items)
      if (f.name == name) return &f;
    return nullptr;
  }
  std::deque<Found> items;
  std::vector<std::string> calls;
  bool stopOnFirst = false;
  std::atomic<std::uint32_t>* stop = nullptr;
};

class RecordingLog final : public platform::ILog {
 public:
  void AddLogEntry(std::u16string text, bool) override { entries.push_back(platform::toUtf8(text)); }
  bool has(const std::string& text) const { return std::find(entries.begin(), entries.end(), text) != entries.end(); }
  std::vector<std::string> entries;
};

// A copy of exfat-8m (4 KiB clusters, 1536 of them; bitmap at 2, root at 5) that a case
// may patch, and engines over it reading the file directly.
class ExFatEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::exfat::exfatImages().empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the exFAT volumes could not be made";
    original_ = readFile(test::exfat::exfatImages() + "/exfat-8m.img");
    path_ = dir_.putAt("volume.img", 0, original_);
    params_ = *fs::exfat::parseExFatBoot(ByteView(original_));
  }

  // `inMemoryUpTo`: the largest table held in memory; by default none is, so that the work
  // files themselves can be looked at.
  std::unique_ptr<CExFatEngine> engine(std::uint64_t recordSectors = 0, std::uint64_t inMemoryUpTo = 0) {
    sink_ = std::make_unique<RecordingSink>();
    log_ = RecordingLog();
    auto e = std::make_unique<CExFatEngine>(
        state_, engine::EngineSinks{.console = sink_.get(), .log = &log_, .notifier = &notifier_});
    EngineProbe::setWorkRoot(*e, dir_.file("work"));
    EngineProbe::setWorkInMemoryUpTo(*e, inMemoryUpTo);
    ExFatVolumeSource source;
    source.entryKind = 7;
    source.fileSystemCode = volume::kFsExFat;
    source.fileSystemName = u"exFAT";
    source.imagePath = platform::fromUtf8(path_);
    source.sectorCount = recordSectors ? recordSectors : original_.size() / 512;
    EngineProbe::initializeVolume(*e, 1, source);
    return e;
  }
  void patch32(std::uint64_t offset, std::uint32_t value) {
    std::uint8_t b[4];
    platform::putLe32(b, value);
    dir_.putAt("volume.img", offset, b);
  }
  std::uint64_t fatEntryOffset(std::uint32_t cluster) const { return std::uint64_t(params_.fatOffset) * 512 + 4ull * cluster; }
  std::uint64_t clusterOffset(std::uint32_t cluster) const { return *fs::exfat::firstSectorOfCluster(params_, cluster) * 512; }
  std::uint32_t fatValue(std::uint32_t cluster) const { return *ByteView(original_).le32(fatEntryOffset(cluster)); }
  // A file's first cluster, from a quick scan.
  std::uint32_t firstClusterOf(std::u16string_view name) {
    auto e = engine();
    e->ScanVolume(0);
    const RecordingSink::Found* f = sink_->named(name);
    return f ? std::uint32_t(f->item.m_nRecordKey) : 0;
  }

  test::ImageDir dir_;
  Bytes original_;
  std::string path_;
  fs::exfat::ExFatBootParams params_;
  engine::ScanState state_;
  test::RecordingNotifier notifier_;
  RecordingLog log_;
  std::unique_ptr<RecordingSink> sink_;
};

TEST_F(ExFatEngineTest, ChainsStopBeforeARepeatAndOutsideClusters2ToCPlus1) {
  const std::uint32_t first = firstClusterOf(u"fragmented.bin");
  ASSERT_GE(first, 2u);
  std::vector<std::uint32_t> sound;
  for (std::uint32_t c = first; c >= 2 && c <= params_.clusterCount + 1; c = fatValue(c)) sound.push_back(c);
  const std::size_t n = sound.size();
  ASSERT_GE(n, 6u);
  const std::uint32_t last = params_.clusterCount + 1;
  struct Case {
    const char* what;
    std::optional<std::size_t> at;  // the chain's entry patched, if any
    std::uint32_t value;            // its new value
    std::size_t expected;           // chain length
    bool endsAtLastCluster;
  };
  const Case cases[] = {
      {"sound", std::nullopt, 0, n, false},
      {"the last entry back to the first", n - 1, sound[0], n, false},
      {"the third entry back to the second", 2, sound[1], 3, false},
      {"an entry past the heap", 3, last + 1, 4, false},
      {"an entry to cluster 1", 3, 1, 4, false},
      {"the heap's last cluster is a cluster", 3, last, 5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir_.putAt("volume.img", 0, original_);
    if (c.at) patch32(fatEntryOffset(sound[*c.at]), c.value);
    auto e = engine();
    ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
    std::uint32_t bytes = 0;
    const auto chain = EngineProbe::FollowClusterChain(*e, first, bytes);
    EXPECT_EQ(chain.size(), c.expected);
    EXPECT_EQ(bytes, chain.size() * 4);
    EXPECT_EQ(std::set<std::uint32_t>(chain.begin(), chain.end()).size(), chain.size());
    if (c.endsAtLastCluster) {
      EXPECT_EQ(chain.back(), last);
    }
  }
}

TEST_F(ExFatEngineTest, ContiguousClusterListsStayInTheHeap) {
  auto e = engine();
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
  ASSERT_EQ(e->sectorsPerCluster(), 8u);
  const std::uint32_t last = params_.clusterCount + 1;
  struct Case {
    std::uint32_t first;
    std::uint64_t size;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      {10, 1, {10}},
      {10, 8193, {10, 11, 12}},
      {10, 0, {}},
      {0, 4096, {}},
      {1, 4096, {}},
      {last + 1, 4096, {}},
      {last - 1, UINT64_MAX, {last - 1, last}},  // a size from disk claiming more than the heap
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.first << " " << c.size);
    std::uint32_t bytes = 0;
    EXPECT_EQ(EngineProbe::GetClusterList(*e, bytes, c.first, c.size, 2), c.expected);
    EXPECT_EQ(bytes, c.expected.size() * 4);
  }
}

TEST_F(ExFatEngineTest, FatCheckSkipsTheTwoReservedEntriesAndCountsImplausibleOnes) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> patches;  // entry, value
    std::uint32_t errors;
  };
  const std::uint32_t past = params_.clusterCount + 2;
  const Case cases[] = {
      {"sound", {}, 0},
      {"garbage in entries 0 and 1 (media F8 FF FF kept)", {{1, 0x12345678}}, 0},
      {"two entries past the heap", {{40, past}, {41, 0xFFFFFFF0}}, 2},
      {"the heap's last cluster and the end mark", {{40, past - 1}, {41, 0xFFFFFFFF}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir_.putAt("volume.img", 0, original_);
    for (const auto& [entry, value] : c.patches) patch32(fatEntryOffset(entry), value);
    auto e = engine();
    ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
    EXPECT_EQ(EngineProbe::VerifyFat(*e), c.errors);
    EXPECT_EQ(log_.has("FAT 1 verified"), c.errors != 0);
    EXPECT_EQ(log_.has(std::to_string(c.errors) + " Error found"), c.errors != 0);
    EXPECT_TRUE(log_.has("Loading FAT 1"));
  }
}

TEST_F(ExFatEngineTest, FatCopyHoldsTheEntriesOfEveryClusterAndGoesWithTheEngine) {
  auto e = engine();
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
  const std::string path = EngineProbe::m_hFatFile(*e).path();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.rfind(dir_.file("work") + "/", 0), 0u);
  EXPECT_TRUE(path.ends_with("/exFat.dat"));
  // ceil((C + 2) x 4 / 512) sectors: 13 of the FAT's 16 here.
  const std::uint64_t bytes = (std::uint64_t(params_.clusterCount + 2) * 4 + 511) / 512 * 512;
  ASSERT_LT(bytes, std::uint64_t(params_.fatLength) * 512);
  EXPECT_EQ(std::filesystem::file_size(path), bytes);
  const auto copy = EngineProbe::m_hFatFile(*e).bytes();
  EXPECT_TRUE(std::equal(copy.begin(), copy.end(), original_.begin() + std::ptrdiff_t(fatEntryOffset(0))));
  const std::string folder = EngineProbe::workFolder(*e);
  e->FreeAll();
  EXPECT_FALSE(std::filesystem::exists(folder));
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
  const std::string again = EngineProbe::workFolder(*e);
  e.reset();
  EXPECT_FALSE(std::filesystem::exists(again));
}

// Tables no larger than the limit are held in memory, with the same bytes as in files, and
// no folder is made for them; one byte over the limit, the table is a file again.
TEST_F(ExFatEngineTest, SmallTablesAreHeldInMemoryWithTheBytesTheFilesHold) {
  auto files = engine();
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*files));
  ASSERT_TRUE(EngineProbe::BuildClusterMap(*files));
  const auto fatBytes = EngineProbe::m_hFatFile(*files).bytes();
  const auto mapBytes = EngineProbe::m_hClusterMapFile(*files).bytes();
  const std::vector<std::uint8_t> fat(fatBytes.begin(), fatBytes.end());
  const std::vector<std::uint8_t> map(mapBytes.begin(), mapBytes.end());
  ASSERT_FALSE(EngineProbe::workFolder(*files).empty());
  files.reset();
  struct Case {
    const char* what;
    std::uint64_t limit;
    bool fatInMemory, mapInMemory;
  } cases[] = {
      {"the default limit", kWorkInMemoryBytes, true, true},
      {"a limit of the FAT copy's size", fat.size(), true, true},
      {"a byte below the map's size", map.size() - 1, map.size() - 1 >= fat.size(), false},
      {"no limit", 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto e = engine(0, c.limit);
    ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
    ASSERT_TRUE(EngineProbe::BuildClusterMap(*e));
    EXPECT_EQ(EngineProbe::m_hFatFile(*e).path().empty(), c.fatInMemory);
    EXPECT_EQ(EngineProbe::m_hClusterMapFile(*e).path().empty(), c.mapInMemory);
    EXPECT_EQ(EngineProbe::workFolder(*e).empty(), c.fatInMemory && c.mapInMemory);
    EXPECT_TRUE(std::ranges::equal(EngineProbe::m_hFatFile(*e).bytes(), fat));
    EXPECT_TRUE(std::ranges::equal(EngineProbe::m_hClusterMapFile(*e).bytes(), map));
    EXPECT_EQ(EngineProbe::clusterMapByte(*e, 2), map[0]);
  }
}

// The map, byte by byte, against the bitmap; also when the bitmap is not at cluster 2 and
// only the root's bitmap entry says where it is.
TEST_F(ExFatEngineTest, ClusterMapFollowsTheBitmapWhereTheRootEntrySays) {
  const Bytes bitmap(original_.begin() + std::ptrdiff_t(clusterOffset(2)),
                     original_.begin() + std::ptrdiff_t(clusterOffset(2) + params_.clusterCount / 8));
  const auto expectMapIsBitmap = [&](CExFatEngine& e) {
    ASSERT_TRUE(EngineProbe::BuildClusterMap(e));
    ASSERT_EQ(EngineProbe::m_nClusterMapLength(e), params_.clusterCount);
    std::size_t used = 0;
    for (std::uint32_t k = 0; k < params_.clusterCount; ++k) {
      const bool bit = (bitmap[k / 8] >> (k % 8)) & 1;
      used += bit;
      ASSERT_EQ(EngineProbe::clusterMapByte(e, k + 2) != 0, bit) << "cluster " << k + 2;
    }
    EXPECT_EQ(used, 1536u - 1423u);  // dump.exfat: 1423 free
    EXPECT_EQ(std::filesystem::file_size(EngineProbe::m_hClusterMapFile(e).path()), 4096u);
  };
  {
    auto e = engine();
    ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
    expectMapIsBitmap(*e);
  }
  // Move the bitmap to a free cluster near the end, point the root's entry at it, zero
  // cluster 2 and its FAT entry.
  const std::uint32_t moved = params_.clusterCount - 10;
  ASSERT_EQ((bitmap[(moved - 2) / 8] >> ((moved - 2) % 8)) & 1, 0);
  dir_.putAt("volume.img", clusterOffset(moved), {original_.data() + clusterOffset(2), params_.clusterBytes()});
  dir_.putAt("volume.img", clusterOffset(2), Bytes(params_.clusterBytes(), 0));
  patch32(fatEntryOffset(2), 0);
  const std::uint64_t root = clusterOffset(params_.rootCluster);
  std::size_t entry = 0;
  while (original_[root + entry] != 0x81) entry += 32;
  patch32(root + entry + 20, moved);
  auto e = engine();
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
  expectMapIsBitmap(*e);
  EXPECT_EQ(EngineProbe::m_nBitmapCluster(*e), moved);
}

TEST_F(ExFatEngineTest, MarksStayInsideTheMapAndFollowTheItemsData) {
  auto e = engine();
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
  ASSERT_TRUE(EngineProbe::BuildClusterMap(*e));
  const std::uint32_t last = params_.clusterCount + 1;
  const std::uint32_t frag = firstClusterOf(u"fragmented.bin");
  auto map = EngineProbe::m_hClusterMapFile(*e).writable();
  std::fill(map.begin(), map.end(), 0);
  const auto marked = [&] {
    std::vector<std::uint32_t> out;
    for (std::uint32_t c = 2; c <= last; ++c)
      if (EngineProbe::clusterMapByte(*e, c)) out.push_back(c);
    return out;
  };
  FOUND_ITEM item;
  item.m_nSize = UINT64_MAX;  // a size from disk: no further than the map
  EngineProbe::MarkClusterMap(*e, item, last - 2);
  EXPECT_EQ(marked(), (std::vector<std::uint32_t>{last - 2, last - 1, last}));
  std::fill(map.begin(), map.end(), 0);
  item.m_nSize = 3 * 4096;
  EngineProbe::MarkClusterMap(*e, item, 4);  // the root's stand-in is never marked
  EXPECT_TRUE(marked().empty());
  EngineProbe::MarkClusterMap(*e, item, 100);
  EXPECT_EQ(marked(), (std::vector<std::uint32_t>{100, 101, 102}));
  std::fill(map.begin(), map.end(), 0);
  // A chained item: its chain's clusters, as many as its size needs.
  item.m_byFlags = kItemCompressed;
  item.m_nSize = 4 * 4096;
  EngineProbe::MarkClusterMap(*e, item, frag);
  std::vector<std::uint32_t> chain;
  for (std::uint32_t c = frag; chain.size() < 4; c = fatValue(c)) chain.push_back(c);
  std::sort(chain.begin(), chain.end());
  EXPECT_EQ(marked(), chain);
  EXPECT_NE(chain.back() - chain.front(), 3u);  // the chain jumps: a run would differ
  EXPECT_EQ(std::filesystem::file_size(EngineProbe::m_hClusterMapFile(*e).path()), 4096u);
}

TEST_F(ExFatEngineTest, ClusterReadsAreRefusedOutsideTheHeap) {
  auto e = engine();
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
  const std::uint32_t last = params_.clusterCount + 1;
  std::vector<std::uint8_t> buffer(2 * params_.clusterBytes(), 0xAA);
  struct Case {
    std::uint32_t sectors, cluster, sectorInCluster;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {8, 0, 0, 0}, {8, 1, 0, 0}, {8, last + 1, 0, 0}, {8, 0xFFFFFFFF, 0, 0},
      {16, last, 0, 0},  // runs past the heap's end
      {8, last, 1, 0},   // the same, by its start within the cluster
      {8, last, 0, 1}, {8, 2, 0, 1}, {1, last, 7, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.cluster << "+" << c.sectorInCluster << " x" << c.sectors);
    std::fill(buffer.begin(), buffer.end(), 0xAA);
    EXPECT_EQ(e->ReadClusterSectors(c.sectors, c.cluster, std::uint16_t(c.sectorInCluster), buffer.data()), c.expected);
    if (c.expected == 0) {
      EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + c.sectors * 512, [](auto b) { return b == 0; }));
    }
  }
  std::vector<std::uint8_t> two(2 * params_.clusterBytes());
  ASSERT_EQ(e->ReadClusterSectors(16, 2, 0, two.data()), 1u);
  EXPECT_TRUE(std::equal(two.begin(), two.end(), original_.begin() + std::ptrdiff_t(clusterOffset(2))));
}

TEST_F(ExFatEngineTest, AVolumeLongerThanItsRecordIsCutToIt) {
  // The record says the volume ends halfway: clusters past that are not the volume's.
  auto e = engine(params_.volumeLength / 2);
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
  EXPECT_EQ(EngineProbe::m_nVolumeLength(*e), params_.volumeLength / 2);
  EXPECT_EQ(EngineProbe::m_nClusterCount(*e), (params_.volumeLength / 2 - params_.clusterHeapOffset) / 8);
  EXPECT_EQ(EngineProbe::m_nLastSector(*e), params_.volumeLength / 2);
  // Shorter than the heap's start: no volume.
  auto short_ = engine(params_.clusterHeapOffset);
  EXPECT_FALSE(EngineProbe::LoadBootSectorAndFat(*short_));
  EXPECT_FALSE(EngineProbe::failure(*short_).empty());
}

TEST_F(ExFatEngineTest, IdsStartAfterTheRootWalksClusterAndNeverReachTheReservedOnes) {
  struct Case {
    std::uint32_t rootField;
    std::uint32_t firstId;
  };
  for (const Case c : {Case{5, 6}, Case{0xFFFFFFFF, 5}, Case{0, 5}, Case{3, 5}}) {
    SCOPED_TRACE(c.rootField);
    dir_.putAt("volume.img", 0, original_);
    // In both boot sectors: with neither region's checksum holding, the main one serves.
    patch32(96, c.rootField);
    patch32(12 * 512 + 96, c.rootField);
    auto e = engine();
    ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
    EXPECT_EQ(EngineProbe::m_nNextItemId(*e), c.firstId);
    e->ScanVolume(0);
    std::set<std::uint32_t> ids;
    for (const auto& f : sink_->items) {
      EXPECT_GE(f.item.m_nId, c.firstId);
      EXPECT_TRUE(ids.insert(f.item.m_nId).second);
    }
  }
}

// c's directory entry made to point at a's cluster: the walk shows c but does not go round.
TEST_F(ExFatEngineTest, AFolderLeadingBackToAnAncestorIsListedButNotWalkedAgain) {
  auto e = engine();
  e->ScanVolume(0);
  const std::size_t sound = sink_->items.size();
  const auto* a = sink_->named(u"a");
  const auto* b = sink_->named(u"b");
  ASSERT_TRUE(a && b);
  const std::uint64_t dir = clusterOffset(std::uint32_t(b->item.m_nRecordKey));
  fs::exfat::ExFatDirectoryWalk walk(ByteView(original_.data() + dir, params_.clusterBytes()), fs::exfat::ExFatWalkKind::Folder);
  std::optional<fs::exfat::ExFatEntrySet> c;
  while (const auto s = walk.next())
    if (s->name == u"c") c = s;
  ASSERT_TRUE(c);
  patch32(dir + c->offset + 32 + 20, std::uint32_t(a->item.m_nRecordKey));
  e = engine();
  e->ScanVolume(0);
  EXPECT_EQ(sink_->items.size(), sound - 2);  // keep.txt and deep.txt are no longer reached
  const auto* cAgain = sink_->named(u"c");
  ASSERT_NE(cAgain, nullptr);
  for (const auto& f : sink_->items) EXPECT_NE(f.item.m_nParentId, cAgain->item.m_nId) << platform::toUtf8(f.name);
}

TEST_F(ExFatEngineTest, TheDeletedScanResetsTheTreeBeforeItsFirstFolder) {
  auto e = engine();
  e->ScanVolume(1);
  ASSERT_GE(sink_->calls.size(), 3u);
  EXPECT_EQ(sink_->calls[0], "reset");
  EXPECT_EQ(std::count(sink_->calls.begin(), sink_->calls.end(), "reset"), 1);
  EXPECT_EQ(sink_->items.front().name, u"a");  // the folders on the way to a/b/c/deep.txt come first
  EXPECT_TRUE(sink_->items.front().item.isFolder());
  // The root the console makes counts as found: one more than the items sent.
  EXPECT_EQ(e->foundCount(), sink_->items.size() + 1);
}

// Type folders take 2501 files each ("png", "png1", ...); sizes keep all 64 bits; long type
// texts are cut; a finder's name comes after the raw file's number.
TEST_F(ExFatEngineTest, RawFilesGoUnderTypeFoldersOf2501Files) {
  auto e = engine();
  ASSERT_TRUE(EngineProbe::LoadBootSectorAndFat(*e));
  const auto hit = [](std::u16string type, std::uint64_t cluster, std::uint64_t size) {
    carve::RawHit h;
    h.unit = cluster;
    h.match.typeText = std::move(type);
    h.match.size = size;
    return h;
  };
  for (std::uint64_t i = 0; i < 2502; ++i) EngineProbe::AddRawFoundFile(*e, nullptr, hit(u"png", 100 + i, 4096));
  const std::u16string finderName = u"(300x200)";
  EngineProbe::AddRawFoundFile(*e, &finderName, hit(u"png", 7, 5ull << 30));
  EngineProbe::AddRawFoundFile(*e, nullptr, hit(u"averyveryverylongtype", 9, 1));
  std::map<std::u16string, std::uint32_t> folders;  // name -> id
  std::map<std::uint32_t, std::size_t> files;      // folder id -> files
  for (const auto& f : sink_->items) {
    EXPECT_TRUE(f.item.m_byFlags & kItemBySignature);
    if (f.item.isFolder()) {
      EXPECT_EQ(f.item.m_nParentId, 0u);
      EXPECT_EQ(f.item.m_nRecordKey, f.item.m_nId);
      folders[f.name] = f.item.m_nId;
    } else {
      ++files[f.item.m_nParentId];
    }
  }
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(files[folders[u"png"]], 2501u);
  EXPECT_EQ(files[folders[u"png1"]], 2u);
  EXPECT_EQ(files[folders[u"averyveryverylo"]], 1u);
  EXPECT_EQ(sink_->items[1].name, u"100.png");
  const auto* named = sink_->named(u"2503_(300x200).png");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->item.m_nSize, 5ull << 30);
  EXPECT_EQ(named->item.m_nRecordKey, 7u);
  EXPECT_NE(sink_->named(u"9.averyveryverylo"), nullptr);
}

// A directory's bytes inside a live file (a disk image it holds, or the folders a newer
// volume wrote over these sectors) are that file's data: the advanced scan finds no folder
// there, while the same bytes in a free cluster are a lost folder.
TEST_F(ExFatEngineTest, TheAdvancedScanFindsNoFolderInALiveFilesData) {
  auto e = engine();
  e->ScanVolume(0);
  const auto* folder = sink_->named(u"b");
  const auto file = std::find_if(sink_->items.begin(), sink_->items.end(), [&](const RecordingSink::Found& f) {
    return !f.item.isFolder() && !(f.item.m_byFlags & kItemDeleted) && f.item.m_nSize >= params_.clusterBytes();
  });
  ASSERT_TRUE(folder && file != sink_->items.end());
  const std::uint32_t inFile = std::uint32_t(file->item.m_nRecordKey);
  const std::u16string fileName = file->name;
  // The heap's last cluster the allocation bitmap (at cluster 2) leaves free.
  std::uint32_t free = 0;
  for (std::uint32_t k = 0; k < params_.clusterCount; ++k)
    if (!((original_[clusterOffset(2) + k / 8] >> (k % 8)) & 1)) free = k + 2;
  ASSERT_NE(free, 0u);
  const auto dir = original_.begin() + std::ptrdiff_t(clusterOffset(std::uint32_t(folder->item.m_nRecordKey)));
  const Bytes copy(dir, dir + std::ptrdiff_t(params_.clusterBytes()));
  dir_.putAt("volume.img", clusterOffset(inFile), copy);
  dir_.putAt("volume.img", clusterOffset(free), copy);
  e = engine();
  e->ScanAdvanced(0);
  EXPECT_EQ(sink_->named(u"Folder " + platform::widenLatin1(std::to_string(inFile))), nullptr);
  EXPECT_NE(sink_->named(u"Folder " + platform::widenLatin1(std::to_string(free))), nullptr);
  EXPECT_NE(sink_->named(fileName), nullptr);
}

TEST_F(ExFatEngineTest, AStopEndsTheScanAtTheNextStep) {
  auto e = engine();
  sink_->stopOnFirst = true;
  sink_->stop = &state_.m_bStopRequested;
  e->ScanVolume(0);
  EXPECT_LE(sink_->items.size(), 2u);
  EXPECT_TRUE(log_.has("Process aborted. User intervention"));
  state_.m_bStopRequested = 0;
}

}  // namespace
}  // namespace qelda::exfat
