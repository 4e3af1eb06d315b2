#include "carve/raw_match.h"

#include <algorithm>
#include <cstring>

#include "carve/finder_memory.h"
#include "carve/length_finders.h"
#include "carve/raw_types.h"

namespace qelda::carve {

namespace {

// The forward search reads ahead this much, so that stepping sectors or neighbouring clusters
// costs one read per block rather than one per unit.
constexpr std::size_t kForwardReadBytes = 32 * 1024;

bool signatureAt(const HEADER_RECORD& r, std::span<const std::uint8_t, 512> sector) {
  // The first byte turns most records down before the comparison is called.
  return hasUsableSignature(r) && sector[r.m_nOffset] == r.m_abyHeader[0] &&
         std::memcmp(sector.data() + r.m_nOffset, r.m_abyHeader.data(), r.m_nHeaderLen) == 0;
}

const char16_t* officeKindText(std::uint8_t kind) {
  switch (kind) {
    case kOfficeWord: return u"DOC";
    case kOfficeSheet: return u"XLS";
    case kOfficePresentation: return u"PPT";
    default: return nullptr;
  }
}

FinderOutcome runFinder(RawFinder finder, FinderRun& run) {
  switch (finder) {
    case RawFinder::Jpeg: return GetJpegFileSize(run);
    case RawFinder::Tiff: return GetTiffFileSize(run);
    case RawFinder::Bmp: return GetBmpFileSize(run);
    case RawFinder::Gif: return GetGifFileSize(run);
    case RawFinder::Png: return GetPngFileSize(run);
    case RawFinder::Rar: return GetRarFileSize(run);
    case RawFinder::Zip: return GetZipFileSize(run);
    case RawFinder::Au: return GetAuFileSize(run);
    case RawFinder::Html: return GetHtmlFileSize(run);
    case RawFinder::Avi: return GetAviFileSize(run);
    case RawFinder::ForwardSearch:
    case RawFinder::Office: break;
  }
  return std::nullopt;
}

}  // namespace

std::uint64_t measureForward(const RAW_READ_CONTEXT& context, std::uint64_t unit, std::uint64_t startBytes,
                             std::uint32_t maxSize) {
  std::uint64_t size = startBytes;
  if (!context.unitRule || context.unitRule->unitBytes() == 0) return size;
  const std::uint32_t step = context.unitRule->unitBytes();
  engine::ByteWindow source(context.reader, context.sourceFirstSector, context.sourceEndSector, kForwardReadBytes);
  while (size < maxSize && !context.stopRequested()) {
    const auto next = context.unitRule->nextUnit(unit);
    if (!next || next->firstSector < context.sourceFirstSector || next->firstSector >= context.sourceEndSector) break;
    const auto first = source.bytes((next->firstSector - context.sourceFirstSector) * engine::kSectorBytes,
                                    engine::kSectorBytes);
    if (first && MatchRawSignatures(context, std::span<const std::uint8_t, 512>(first->data(), 512),
                                    next->firstSector, next->unit, nullptr))
      break;  // another file starts there
    size += step;
    unit = next->unit;
  }
  return size;
}

bool MatchRawSignatures(const RAW_READ_CONTEXT& context, std::span<const std::uint8_t, 512> sector,
                        std::uint64_t absoluteSector, std::uint64_t unit, RawMatch* match, FinderMemory* memory) {
  for (const HEADER_RECORD* record = context.selectedHeaders; record; record = record->m_pNext) {
    if (!signatureAt(*record, sector)) continue;
    if (!match) return true;
    const std::uint32_t unitBytes = context.unitRule ? context.unitRule->unitBytes() : engine::kSectorBytes;
    const std::uint32_t clusterBytes = context.unitRule ? context.unitRule->clusterBytes() : engine::kSectorBytes;
    engine::ByteWindow window(context.reader, absoluteSector, context.sourceEndSector);
    FinderRun run{window, context.stop, record->m_nMaxSize, memory};
    RawMatch m;
    m.record = record;
    m.typeText = record->m_szExtension;
    const RawFinder finder = finderForType(record->m_wTypeId);
    if (finder == RawFinder::ForwardSearch) {
      m.size = measureForward(context, unit, unitBytes, record->m_nMaxSize);
      m.skipCovered = true;
    } else if (finder == RawFinder::Office) {
      const OFFICE_SIZE_RESULT office = GetOfficeFileSize(run);
      if (memory) memory->peakWindowBytes = std::max(memory->peakWindowBytes, window.heldBytes());
      const char16_t* kindText = officeKindText(office.kind);
      if (kindText && office.flag == 0) {
        // A document whose own tables do not hold together: measured by what follows it.
        m.size = measureForward(context, unit, clusterBytes, record->m_nMaxSize);
        m.typeText = u"BAD";
      } else {
        m.size = office.size ? std::min(office.size, window.size())
                             : measureForward(context, unit, clusterBytes, record->m_nMaxSize);
        m.endKnown = office.size != 0 && office.size <= window.size() && office.flag == 1;
        if (kindText) m.typeText = kindText;
      }
    } else {
      FinderOutcome found = runFinder(finder, run);
      if (memory) memory->peakWindowBytes = std::max(memory->peakWindowBytes, window.heldBytes());
      if (!found) continue;  // not this format: a later type may still claim the sector
      if (found->sizeUnknown) {
        m.size = measureForward(context, unit, unitBytes, record->m_nMaxSize);
        m.skipCovered = true;
      } else {
        m.size = std::min(found->size, window.size());
        m.name = std::move(found->name);
        m.modified = found->modified;
        m.skipCovered = found->skipCovered;
        m.endKnown = !found->endGuessed && found->size <= window.size();
      }
    }
    *match = std::move(m);
    return true;
  }
  return false;
}

}  // namespace qelda::carve
