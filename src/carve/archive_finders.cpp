// RAR (version 4 blocks) and ZIP archives.
#include "carve/finder_memory.h"
#include "carve/length_finders.h"
#include "carve/zip_walk.h"

namespace qelda::carve {

namespace {

constexpr std::uint8_t kRarMainHeader = 0x73;
constexpr std::uint8_t kRarFileHeader = 0x74;
constexpr std::uint8_t kRarServiceHeader = 0x7A;
constexpr std::uint8_t kRarEndOfArchive = 0x7B;
constexpr std::uint16_t kRarLongBlock = 0x8000;      // a data size follows the header
constexpr std::uint16_t kRarLargeFile = 0x0100;      // high 32 bits of the data size at +32
constexpr std::uint16_t kRarMinHeaderBytes = 7;
constexpr std::uint64_t kRarFirstBlock = 20;         // marker (7) and a 13-byte main header
constexpr std::size_t kMaxRarBlocks = 1 << 20;

bool startsWith(std::string_view name, std::string_view prefix) { return name.substr(0, prefix.size()) == prefix; }

}  // namespace

FinderOutcome GetRarFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  if (run.stopRequested() || !w.matches(0, "Rar!")) return std::nullopt;
  if (w.matches(0, std::string_view("Rar!\x1A\x07\x01\x00", 8))) return std::nullopt;  // version 5 blocks differ
  std::uint64_t pos = kRarFirstBlock;
  const auto mainSize = w.le16(7 + 5);
  if (w.u8(7 + 2) == kRarMainHeader && mainSize && *mainSize >= kRarMinHeaderBytes) pos = 7 + *mainSize;

  // The walk from a block on depends on nothing but where that block stands.
  WalkTrace trace(run.memory ? &run.memory->rar : nullptr);
  bool ended = false;  // by what the walk read, not by its block limit
  for (std::size_t n = 0; n < kMaxRarBlocks && !run.stopRequested(); ++n) {
    if (pos < w.size() && trace.passes(w.firstByte() + pos, 0)) {
      pos = trace.remembered().end - w.firstByte();
      break;
    }
    ended = true;
    const auto type = w.u8(pos + 2);
    const auto flags = w.le16(pos + 3);
    const auto headSize = w.le16(pos + 5);
    if (!type || !flags || !headSize || *headSize < kRarMinHeaderBytes) break;
    if (*type == kRarEndOfArchive) {
      pos += *headSize;
      break;
    }
    const bool carriesData = *type == kRarFileHeader || *type == kRarServiceHeader;
    if (!carriesData && w.u8(pos + 15) != 2) break;
    std::uint64_t packed = 0;
    if (carriesData || (*flags & kRarLongBlock)) {
      const auto low = w.le32(pos + 7);
      if (!low) break;
      packed = *low;
      if (carriesData && (*flags & kRarLargeFile)) {
        const auto high = w.le32(pos + 32);
        if (!high) break;
        packed |= std::uint64_t(*high) << 32;
      }
    }
    pos += *headSize + packed;
    ended = false;
  }
  if (run.stopRequested()) return std::nullopt;
  if (ended) trace.finish(w.firstByte() + pos);
  LengthFinderResult r;
  r.size = pos;
  return r;
}

FinderOutcome GetZipFileSize(FinderRun& run) {
  if (run.stopRequested() || run.window.le32(0) != kZipLocalHeader) return std::nullopt;
  // An entry under "word", "xl" or "ppt": left to the Office types.
  const ZipWalk walk = walkZip(run, run.maxSize, [](std::string_view name) -> std::uint8_t {
    return startsWith(name, "word") || startsWith(name, "xl") || startsWith(name, "ppt") ? 1 : 0;
  });
  const bool office = walk.lastOfClass[1] != 0;
  LengthFinderResult r;
  if (walk.unresolvedDescriptor && walk.localCount == 1) {
    r.size = run.maxSize;  // nothing says where the archive ends: the type's limit
    r.endGuessed = true;
    return r;
  }
  if (!walk.unresolvedDescriptor && !walk.endRecord && walk.centralCount == 0) return std::nullopt;
  if (office) return std::nullopt;
  r.size = walk.end;
  return r;
}

}  // namespace qelda::carve
