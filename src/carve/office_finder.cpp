#include "carve/office_finder.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "carve/finder_memory.h"
#include "carve/zip_walk.h"

namespace qelda::carve {

namespace {

constexpr std::string_view kOleSignature("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
constexpr std::uint64_t kOleSectorBytes = 512;
constexpr std::uint16_t kOleSectorShift = 9;
constexpr std::size_t kHeaderDifatEntries = 109;
constexpr std::size_t kHeaderDifatAt = 0x4C;
constexpr std::size_t kDifatEntriesPerSector = 127;
constexpr std::size_t kFatEntriesPerSector = 128;
constexpr std::size_t kDirectoryEntryBytes = 128;
// What a remembered directory walk found when its sector count, not the data, ended it.
constexpr std::uint64_t kDirectoryCut = 0x100;
constexpr std::size_t kNameChars = 12;  // names are compared over their first 12 characters

// Where sector n of the compound file lies: after the 512-byte header.
std::uint64_t oleSectorAt(std::uint64_t n) { return (n + 1) * kOleSectorBytes; }

// The name at the start of a directory entry equals `text` over 12 characters (a shorter text
// must be followed by the name's terminator); with `prefix`, the name need only begin with it.
bool nameIs(platform::ByteView entry, std::u16string_view text, bool prefix = false) {
  for (std::size_t i = 0; i < kNameChars; ++i) {
    const char16_t c = char16_t(entry.le16(2 * i).value_or(0));
    if (i == text.size()) return prefix || c == 0;
    if (c != text[i]) return false;
  }
  return true;
}

}  // namespace

bool IsOleSpecialSector(std::uint32_t id) { return id >= kOleDifatSector; }

std::uint8_t GetOleSizeFromDirectory(FinderRun& run, const OleTables& tables, std::uint32_t firstDirectorySector) {
  const std::uint64_t start = oleSectorAt(firstDirectorySector);
  const auto root = run.window.bytes(start, kDirectoryEntryBytes);
  if (!root || !nameIs(*root, u"Root Entry")) return kOfficeNone;
  // The walk from a directory sector on depends on nothing but where that sector stands, as
  // long as the table's own sector count does not end it first.
  WalkTrace trace(run.memory ? &run.memory->oleDirectory : nullptr);
  const std::uint64_t base = run.window.firstByte();
  const std::uint64_t limit = base + start + tables.m_nOleSectors * kOleSectorBytes - 1;  // the last sector it reads
  const auto found = [&](std::uint64_t at, std::uint8_t kind) {
    trace.finish(base + at, kind);
    return kind;
  };
  std::uint64_t s = 0;
  for (; s < tables.m_nOleSectors && !run.stopRequested(); ++s) {
    const std::uint64_t at = start + s * kOleSectorBytes;
    if (trace.passes(base + at, 0, limit)) {
      const WalkMemo& m = trace.remembered();
      if (m.value != kDirectoryCut) return std::uint8_t(m.value);
      // The remembered walk stopped at its own sector count: this one goes on from there.
      s = (m.end - base - start) / kOleSectorBytes - 1;
      trace.resume();
      continue;
    }
    const auto sector = run.window.bytes(at, kOleSectorBytes);
    if (!sector) return found(at, kOfficeNone);
    for (std::size_t j = 0; j < kOleSectorBytes / kDirectoryEntryBytes; ++j) {
      const platform::ByteView entry = *sector->sub(j * kDirectoryEntryBytes, kDirectoryEntryBytes);
      if (nameIs(entry, u"WordDocument")) return found(at, kOfficeWord);
      if (nameIs(entry, u"Workbook")) return found(at, kOfficeSheet);
      if (nameIs(entry, u"PowerPoint", true)) return found(at, kOfficePresentation);  // the stream is "PowerPoint Document"
      if (nameIs(entry, u"Quill")) return found(at, kOfficePublisher);
    }
  }
  if (!run.stopRequested()) trace.finish(base + start + s * kOleSectorBytes, kDirectoryCut);
  return kOfficeNone;
}

bool ReadOleDifat(FinderRun& run, OleTables& tables, std::uint32_t difatSectors, std::uint32_t firstDifatSector,
                  std::uint32_t fatSectors) {
  // The chain can be no longer than the FAT sectors beyond the header's 109 need.
  const std::uint64_t needed =
      fatSectors > kHeaderDifatEntries
          ? (fatSectors - kHeaderDifatEntries + kDifatEntriesPerSector - 1) / kDifatEntriesPerSector
          : 0;
  const std::uint64_t count = std::min<std::uint64_t>(difatSectors, needed);
  std::vector<std::uint32_t> visited;
  std::uint32_t n = firstDifatSector;
  for (std::uint64_t k = 0; k < count && !run.stopRequested(); ++k) {
    if (n == kOleEndOfChain) return true;
    if (n >= tables.m_nOleSectors || std::find(visited.begin(), visited.end(), n) != visited.end()) break;
    visited.push_back(n);
    const auto sector = run.window.bytes(oleSectorAt(n), kOleSectorBytes);
    if (!sector) break;
    for (std::size_t j = 0; j < kDifatEntriesPerSector; ++j) {
      const std::uint32_t e = *sector->le32(4 * j);
      if (IsOleSpecialSector(e)) {
        if (k + 1 != count) {
          tables.m_arrOleFatSectors.clear();
          return false;
        }
        break;
      }
      tables.m_arrOleFatSectors.push_back(e);
    }
    n = *sector->le32(4 * kDifatEntriesPerSector);
  }
  if (visited.size() == count || n == kOleEndOfChain) return true;
  tables.m_arrOleFatSectors.clear();
  return false;
}

bool ReadOleFat(FinderRun& run, OleTables& tables, OFFICE_SIZE_RESULT& result) {
  bool consistent = true;
  std::optional<std::uint64_t> highest;  // index of the highest entry in use
  std::uint64_t index = 0;
  for (std::uint32_t fatSector : tables.m_arrOleFatSectors) {
    const auto sector = run.window.bytes(oleSectorAt(fatSector), kOleSectorBytes);
    if (!sector || run.stopRequested()) {
      consistent = false;
      break;
    }
    for (std::size_t i = 0; i < kFatEntriesPerSector && consistent; ++i, ++index) {
      const std::uint32_t e = *sector->le32(4 * i);
      if (e == kOleFreeSector) continue;
      if (!IsOleSpecialSector(e) && oleSectorAt(e) >= tables.m_nOleLimit) consistent = false;
      else highest = index;
    }
    if (!consistent) break;
  }
  tables.m_arrOleFatSectors.clear();
  if (highest) result.size = oleSectorAt(*highest + 1);  // the header, then sectors 0 to highest
  return consistent;
}

std::uint32_t GetOoxmlKind(OFFICE_SIZE_RESULT& result, FinderRun& run) {
  result = OFFICE_SIZE_RESULT{};
  result.zipFamily = true;
  constexpr std::uint8_t kContentTypes = 4;  // the names of kinds are classed by their kind (1 to 3)
  const ZipWalk walk = walkZip(run, run.maxSize, [](std::string_view name) -> std::uint8_t {
    if (name == "[Content_Types].xml") return kContentTypes;
    if (name == "word/document.xml") return kOfficeWord;
    if (name == "xl/workbook.xml") return kOfficeSheet;
    if (name == "ppt/presentation.xml") return kOfficePresentation;
    return 0;
  });
  if (walk.firstClass && *walk.firstClass != kContentTypes) {
    result.kind = kOfficePlainZip;  // names are not looked at further
  } else {
    // The last name of a kind that the walk met says the kind.
    std::uint32_t last = 0;
    for (std::uint8_t kind : {kOfficeWord, kOfficeSheet, kOfficePresentation})
      if (walk.lastOfClass[kind] > last) {
        last = walk.lastOfClass[kind];
        result.kind = kind;
      }
  }
  result.size = walk.end;
  if (walk.viaEndSearch) result.flag = 1;  // the end record's offsets agree with where it stands
  else if (walk.localCount == walk.centralCount && walk.localCount > 0) result.flag = walk.endRecord ? 1 : 2;
  else if (walk.localCount > walk.centralCount && walk.centralCount > 0) result.flag = 2;
  return result.flag;
}

OFFICE_SIZE_RESULT GetOfficeFileSize(FinderRun& run) {
  OFFICE_SIZE_RESULT result;
  engine::ByteWindow& w = run.window;
  if (w.matches(0, std::string_view("PK\x03\x04", 4))) {
    GetOoxmlKind(result, run);
    return result;
  }
  if (!w.matches(0, kOleSignature)) return result;
  const auto shift = w.le16(0x1E);
  const auto fatSectors = w.le32(0x2C);
  const auto firstDirectory = w.le32(0x30);
  const auto firstDifat = w.le32(0x44);
  const auto difatSectors = w.le32(0x48);
  if (!shift || !fatSectors || !firstDirectory || !firstDifat || !difatSectors) return result;
  OleTables tables;
  tables.m_nOleLimit = std::uint64_t(*fatSectors) * kFatEntriesPerSector * kOleSectorBytes;
  tables.m_nOleSectors = std::uint64_t(*fatSectors) * kFatEntriesPerSector;
  if (*shift != kOleSectorShift) return result;
  // Every FAT sector lies in the file: a count the source cannot hold is not believed.
  if (*fatSectors == 0 || std::uint64_t(*fatSectors) > w.size() / kOleSectorBytes) return result;

  result.kind = GetOleSizeFromDirectory(run, tables, *firstDirectory);
  if (result.kind == kOfficeNone) return result;
  result.flag = 1;

  bool incomplete = false;
  for (std::size_t i = 0; i < kHeaderDifatEntries; ++i) {
    const std::uint32_t e = w.le32(kHeaderDifatAt + 4 * i).value_or(kOleFreeSector);
    if (IsOleSpecialSector(e)) continue;
    if (oleSectorAt(e) >= tables.m_nOleLimit) {
      incomplete = true;
      break;
    }
    tables.m_arrOleFatSectors.push_back(e);
  }
  if (incomplete) return result;
  if (!IsOleSpecialSector(*firstDifat) &&
      !ReadOleDifat(run, tables, *difatSectors, *firstDifat, *fatSectors))
    return result;
  result.flag = ReadOleFat(run, tables, result) ? 1 : 0;
  return result;
}

}  // namespace qelda::carve
