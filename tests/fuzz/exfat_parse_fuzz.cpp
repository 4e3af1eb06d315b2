// Fuzz entry for the exFAT parsers: the input is taken as a boot region (its first sector
// a boot sector) and as a directory stream, and every answer is held to what the engine
// relies on: geometry inside the volume, walks that move forward and stay in the stream,
// names of at most 255 characters.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/exfat_boot.h"
#include "fs/exfat_entries.h"
#include "fs/exfat_layout.h"
#include "platform/byte_view.h"

namespace {

using qelda::platform::ByteView;
namespace fs = qelda::fs;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// A sound 8 MiB geometry, for the predicates when the input's own boot sector is refused.
fs::ExFatBootParams fallbackParams() {
  std::vector<std::uint8_t> s(512, 0);
  qelda::platform::putLe64(&s[72], 16384);
  qelda::platform::putLe32(&s[80], 2048);
  qelda::platform::putLe32(&s[84], 16);
  qelda::platform::putLe32(&s[88], 4096);
  qelda::platform::putLe32(&s[92], 1536);
  qelda::platform::putLe32(&s[96], 5);
  s[108] = 9;
  s[109] = 3;
  return *fs::parseExFatBoot(ByteView(s));
}

fs::ExFatBootParams checkedBoot(ByteView data) {
  const auto parsed = fs::parseExFatBoot(data);
  if (!parsed) return fallbackParams();
  const fs::ExFatBootParams& p = *parsed;
  const std::uint64_t spc = p.sectorsPerCluster;
  check(spc != 0 && p.fatOffset != 0 && p.fatLength != 0 && p.clusterCount != 0);
  check(p.clusterHeapOffset < p.volumeLength);
  check(std::uint64_t(p.clusterHeapOffset) + p.clusterCount * spc <= p.volumeLength);
  // The last heap cluster lies inside the volume; the ones around the heap are refused.
  const auto last = fs::firstSectorOfCluster(p, std::uint64_t(p.clusterCount) + 1);
  check(last && *last + spc <= p.volumeLength);
  check(!fs::firstSectorOfCluster(p, 1) && !fs::firstSectorOfCluster(p, std::uint64_t(p.clusterCount) + 2));
  const std::uint32_t root = fs::rootWalkCluster(p);
  check(root == 4 || fs::isHeapCluster(p, root));
  return p;
}

void checkSet(const fs::ExFatEntrySet& s, std::size_t streamSize) {
  check(s.offset <= s.lastEntry && s.lastEntry < s.end && s.end <= streamSize);
  check(s.name.size() <= qelda::fs::exfat::kMaxNameChars);
  for (char16_t c : s.name) check(c != 0);
}

void walk(ByteView data, fs::ExFatWalkKind kind, const fs::ExFatBootParams& p) {
  fs::ExFatDirectoryWalk w(data, kind);
  std::uint32_t previous = 0;
  bool first = true;
  while (const auto s = w.next()) {
    checkSet(*s, data.size());
    check(first || s->offset >= previous);
    check(w.position() > s->offset);
    previous = w.position();
    first = false;
    if (kind == fs::ExFatWalkKind::Folder) check(!s->name.empty() && !s->emptyNameStream);
    const std::uint32_t n = fs::directoryClusterCount(p, s->firstCluster, s->dataLength);
    check(n == 0 || std::uint64_t(s->firstCluster) + n <= std::uint64_t(p.clusterCount) + 2);
    (void)fs::entrySetFitsVolume(*s, p);
  }
  check(w.position() <= data.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const fs::ExFatBootParams p = checkedBoot(input);
  (void)fs::exFatBootChecksumMatches(input);

  walk(input, fs::ExFatWalkKind::Root, p);
  walk(input, fs::ExFatWalkKind::Folder, p);
  // Sets at offsets the input names itself, aligned or not.
  for (std::size_t i = 0; i + 4 <= size && i < 64; i += 4) {
    const std::uint32_t offset = *input.le32(i) % std::uint32_t(size + 64);
    if (const auto s = fs::parseEntrySetAt(input, offset)) {
      checkSet(*s, size);
      check(!s->name.empty() && s->nameLength != 0);
    }
  }
  const fs::ExFatRootEntries r = fs::findRootEntries(input);
  if (r.label) check(r.label->size() <= qelda::fs::exfat::entry::kMaxLabelChars);
  if (r.bitmap && fs::bitmapEntryIsPlausible(*r.bitmap, p)) check(fs::isHeapCluster(p, r.bitmap->firstCluster));
  (void)fs::IsDirectoryCluster(input);
  return 0;
}
