// Fuzz entry for the exFAT parsers and engine: the input is taken as a boot region (its
// first sector a boot sector) and as a directory stream, and every answer is held to what
// the engine relies on: geometry inside the volume, walks that move forward and stay in the
// stream, names of at most 255 characters. An input whose boot sector holds is also scanned
// as a partition by every scan of the engine, and the clusters of what they find must lie
// in the heap.
//
// Built by the fuzz preset; run with -dict=tests/fuzz/exfat_parse.dict and the seeds in
// tests/fuzz/corpus/exfat_parse/.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <vector>

#include "carve/header_catalogue.h"
#include "engine/scan_state.h"
#include "exfat/exfat_engine.h"
#include "fs/exfat_boot.h"
#include "fs/exfat_entries.h"
#include "fs/exfat_layout.h"
#include "platform/byte_view.h"
#include "fuzz/fuzz_support.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace {

using qelda::platform::ByteView;
namespace fs = qelda::fs;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// A sound 8 MiB geometry, for the predicates when the input's own boot sector is refused.
fs::exfat::ExFatBootParams fallbackParams() {
  std::vector<std::uint8_t> s(512, 0);
  qelda::platform::putLe64(&s[72], 16384);
  qelda::platform::putLe32(&s[80], 2048);
  qelda::platform::putLe32(&s[84], 16);
  qelda::platform::putLe32(&s[88], 4096);
  qelda::platform::putLe32(&s[92], 1536);
  qelda::platform::putLe32(&s[96], 5);
  s[108] = 9;
  s[109] = 3;
  return *fs::exfat::parseExFatBoot(ByteView(s));
}

fs::exfat::ExFatBootParams checkedBoot(ByteView data) {
  const auto parsed = fs::exfat::parseExFatBoot(data);
  if (!parsed) return fallbackParams();
  const fs::exfat::ExFatBootParams& p = *parsed;
  const std::uint64_t spc = p.sectorsPerCluster;
  check(spc != 0 && p.fatOffset != 0 && p.fatLength != 0 && p.clusterCount != 0);
  check(p.clusterHeapOffset < p.volumeLength);
  check(std::uint64_t(p.clusterHeapOffset) + p.clusterCount * spc <= p.volumeLength);
  // The last heap cluster lies inside the volume; the ones around the heap are refused.
  const auto last = fs::exfat::firstSectorOfCluster(p, std::uint64_t(p.clusterCount) + 1);
  check(last && *last + spc <= p.volumeLength);
  check(!fs::exfat::firstSectorOfCluster(p, 1) && !fs::exfat::firstSectorOfCluster(p, std::uint64_t(p.clusterCount) + 2));
  const std::uint32_t root = fs::exfat::rootWalkCluster(p);
  check(root == 4 || fs::exfat::isHeapCluster(p, root));
  return p;
}

// The geometry cut to a volume record's sector count (taken from the input) still keeps
// every cluster inside what is left.
void checkFit(const fs::exfat::ExFatBootParams& p, ByteView data) {
  const auto tail = data.le64(data.size() >= 8 ? data.size() - 8 : 0);
  if (!tail) return;
  const std::uint64_t sectors = *tail % (p.volumeLength + 2);
  fs::exfat::ExFatBootParams q = p;
  if (!fs::exfat::fitExFatBootToSectors(q, sectors)) return;
  check(sectors == 0 || q.volumeLength <= sectors);
  check(q.clusterCount != 0 && q.clusterCount <= p.clusterCount);
  check(std::uint64_t(q.clusterHeapOffset) + std::uint64_t(q.clusterCount) * q.sectorsPerCluster <= q.volumeLength);
}

void checkSet(const fs::exfat::ExFatEntrySet& s, std::size_t streamSize) {
  check(s.offset <= s.lastEntry && s.lastEntry < s.end && s.end <= streamSize);
  check(s.name.size() <= qelda::fs::exfat::kMaxNameChars);
  for (char16_t c : s.name) check(c != 0);
}

void walk(ByteView data, fs::exfat::ExFatWalkKind kind, const fs::exfat::ExFatBootParams& p) {
  fs::exfat::ExFatDirectoryWalk w(data, kind);
  std::uint32_t previous = 0;
  bool first = true;
  while (const auto s = w.next()) {
    checkSet(*s, data.size());
    check(first || s->offset >= previous);
    check(w.position() > s->offset);
    previous = w.position();
    first = false;
    if (kind == fs::exfat::ExFatWalkKind::Folder) check(!s->name.empty() && !s->emptyNameStream);
    const std::uint32_t n = fs::exfat::directoryClusterCount(p, s->firstCluster, s->dataLength);
    check(n == 0 || std::uint64_t(s->firstCluster) + n <= std::uint64_t(p.clusterCount) + 2);
    (void)fs::exfat::entrySetFitsVolume(*s, p);
  }
  check(w.position() <= data.size());
}

// The same walk taking the bytes a window at a time, as the engine feeds it: its sets are
// the whole stream's, up to where it meets an end-of-directory entry.
void walkInWindows(ByteView data, fs::exfat::ExFatWalkKind kind) {
  std::vector<fs::exfat::ExFatEntrySet> whole;
  fs::exfat::ExFatDirectoryWalk all(data, kind);
  while (auto s = all.next()) whole.push_back(std::move(*s));
  const std::size_t step = 1 + (data.size() ? *data.u8(0) : 0) * 7;
  fs::exfat::ExFatDirectoryWalk w(kind);
  std::vector<std::uint8_t> window;
  std::uint32_t start = 0;
  std::size_t fed = 0, seen = 0;
  for (std::size_t rounds = 0; rounds <= data.size() + 2; ++rounds) {
    if (const auto s = w.next()) {
      check(seen < whole.size());
      if (seen >= whole.size()) return;
      const fs::exfat::ExFatEntrySet& t = whole[seen++];
      check(s->offset == t.offset && s->end == t.end && s->name == t.name && s->firstCluster == t.firstCluster);
      continue;
    }
    if (!w.needsBytes()) break;
    const std::size_t done = std::min<std::size_t>(w.position() - start, window.size());
    window.erase(window.begin(), window.begin() + std::ptrdiff_t(done));
    start += std::uint32_t(done);
    const std::size_t take = std::min(data.size() - fed, std::max(step, w.bytesWanted()));
    window.insert(window.end(), data.data() + fed, data.data() + fed + take);
    fed += take;
    w.feed(ByteView(window), start, fed == data.size());
  }
  check(!w.needsBytes() || fed == data.size());
}

class KeptItems final : public qelda::platform::IFoundItemSink {
 public:
  void ResetFoundTree() override { items.clear(); }
  std::uint32_t AddFoundItem(const qelda::FOUND_ITEM& item, std::u16string_view) override {
    items.push_back(item);
    return std::uint32_t(items.size() - 1);
  }
  void SetFoundItemParent(std::uint32_t, std::uint32_t) override {}
  void SetFoundItemSize(std::uint32_t, std::uint64_t, std::uint8_t) override {}
  void UpdateStatusCounts() override {}
  void CollapseRootChildren() override {}
  void QueueItemRename(const qelda::FOUND_ITEM&, std::u16string_view) override {}
  void ApplyQueuedRenames() override {}
  std::deque<qelda::FOUND_ITEM> items;
};
class NoLog final : public qelda::platform::ILog {
 public:
  void AddLogEntry(std::u16string, bool) override {}
};
class NoNotice final : public qelda::platform::IUserNotifier {
 public:
  void Show(std::u16string_view, std::uint32_t, std::uint32_t) override {}
};

// The input as a partition of a disk held in memory, through the quick, deleted, advanced,
// deep deleted and raw scans: ids are never the root's, and every cluster an item is read
// from is a heap cluster.
void scanAsVolume(const std::uint8_t* data, std::size_t size) {
  if (size > (std::size_t(1) << 20) || !fs::exfat::parseExFatBoot(ByteView(data, size))) return;
  static const std::vector<qelda::carve::HEADER_RECORD> catalogue = qelda::carve::defaultHeaderCatalogue();
  qelda::carve::SelectedHeaders headers;
  for (const auto& r : catalogue) headers.append(r);
  qelda::engine::ScanState state;
  state.m_pSelectedHeaders = headers.head();
  state.publishMountedImage(qelda::fuzz::memoryDisk({data, size}));
  NoLog log;
  NoNotice notice;
  qelda::platform::NullScanProgress bar;
  for (int scan = 0; scan < 5; ++scan) {
    KeptItems sink;
    qelda::exfat::CExFatEngine e(state, {.console = &sink, .scanDlg = &bar, .log = &log, .notifier = &notice});
    // The engine keeps its FAT and cluster map in files: one folder serves every input.
    EngineProbe::setWorkRoot(e, qelda::fuzz::scratch().file("work"));
    qelda::exfat::ExFatVolumeSource source;
    source.entryKind = 1;
    source.fileSystemCode = qelda::volume::kFsExFat;
    source.fileSystemName = u"exFAT";
    source.sectorCount = size / 512;
    EngineProbe::initializeVolume(e, 0, source);
    switch (scan) {
      case 0: e.ScanVolume(0); break;
      case 1: e.ScanVolume(1); break;
      case 2: e.ScanAdvanced(0); break;
      case 3: EngineProbe::SearchDirectoryClusters(e); break;
      default: e.ScanRaw(); break;
    }
    for (const qelda::FOUND_ITEM& item : sink.items) {
      check(item.m_nId != 0);
      if (item.isFolder() || item.m_nSize == 0) continue;
      for (const std::uint32_t c : e.itemClusters(item)) check(fs::exfat::isHeapCluster(e.params(), c));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const fs::exfat::ExFatBootParams p = checkedBoot(input);
  (void)fs::exfat::exFatBootChecksumMatches(input);
  if (const auto regionBytes = fs::exfat::exFatBootRegionBytes(input)) check(*regionBytes >= 12 * 512 && *regionBytes <= 12 * 4096);
  for (std::uint8_t shift = 9; shift <= 12; ++shift) (void)fs::exfat::isExFatBackupRegion(input, shift);
  checkFit(p, input);

  walk(input, fs::exfat::ExFatWalkKind::Root, p);
  walk(input, fs::exfat::ExFatWalkKind::Folder, p);
  walkInWindows(input, fs::exfat::ExFatWalkKind::Root);
  walkInWindows(input, fs::exfat::ExFatWalkKind::Folder);
  // Sets at offsets the input names itself, aligned or not.
  for (std::size_t i = 0; i + 4 <= size && i < 64; i += 4) {
    const std::uint32_t offset = *input.le32(i) % std::uint32_t(size + 64);
    if (const auto s = fs::exfat::parseEntrySetAt(input, offset)) {
      checkSet(*s, size);
      check(!s->name.empty() && s->nameLength != 0);
    }
  }
  const fs::exfat::ExFatRootEntries r = fs::exfat::findRootEntries(input);
  if (r.label) check(r.label->size() <= qelda::fs::exfat::entry::kMaxLabelChars);
  if (r.bitmap && fs::exfat::bitmapEntryIsPlausible(*r.bitmap, p)) check(fs::exfat::isHeapCluster(p, r.bitmap->firstCluster));
  (void)fs::exfat::IsDirectoryCluster(input);
  scanAsVolume(data, size);
  return 0;
}
