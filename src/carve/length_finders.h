// The length finders: each one walks the structure of a file found by its signature, through
// the bounds-checked window, and says how long the file is (and, for some, what to call it).
// A finder that does not recognise its format gives nothing, so that a later type whose
// signature also matches may still claim the data.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/byte_window.h"

namespace qelda::carve {

class FinderMemory;

// What every finder is handed: the file from its first byte to the source's end, the stop
// flag, the matched type's byte limit, and what the sweep's earlier finds learnt of the
// same bytes (none outside a sweep).
struct FinderRun {
  engine::ByteWindow& window;
  const std::atomic<std::uint32_t>* stop = nullptr;
  std::uint32_t maxSize = 0;
  FinderMemory* memory = nullptr;

  bool stopRequested() const { return stop && stop->load(std::memory_order_relaxed) != 0; }
};

struct LengthFinderResult {
  std::uint64_t size = 0;
  std::u16string name;                    // cleaned; empty when the file carries nothing to name it by
  std::optional<std::uint64_t> modified;  // DOS time in the low 32 bits, DOS date in the high 32 bits
  bool sizeUnknown = false;               // the format says it does not know: measure by the forward search
  bool skipCovered = false;               // the sweep may pass over the units the file covers
  bool endGuessed = false;                // nothing in the data says where it ends: the size is the type's limit
};
using FinderOutcome = std::optional<LengthFinderResult>;

FinderOutcome GetJpegFileSize(FinderRun& run);
FinderOutcome GetTiffFileSize(FinderRun& run);
FinderOutcome GetBmpFileSize(FinderRun& run);
FinderOutcome GetGifFileSize(FinderRun& run);
FinderOutcome GetPngFileSize(FinderRun& run);
FinderOutcome GetAuFileSize(FinderRun& run);
FinderOutcome GetAviFileSize(FinderRun& run);
FinderOutcome GetRarFileSize(FinderRun& run);
FinderOutcome GetZipFileSize(FinderRun& run);  // the limit is run.maxSize
FinderOutcome GetHtmlFileSize(FinderRun& run);

// Office documents: OLE2 compound files and zip-based documents.
inline constexpr std::uint8_t kOfficeNone = 0;
inline constexpr std::uint8_t kOfficeWord = 1;
inline constexpr std::uint8_t kOfficeSheet = 2;
inline constexpr std::uint8_t kOfficePresentation = 3;
inline constexpr std::uint8_t kOfficePublisher = 4;  // an OLE2 file with a "Quill" entry
inline constexpr std::uint8_t kOfficePlainZip = 5;   // a zip file that is not an Office document

struct OFFICE_SIZE_RESULT {
  std::uint8_t kind = kOfficeNone;
  std::uint64_t size = 0;  // 0: not known
  // OLE2: 1 when the allocation tables are consistent. Zip: 1 when local and central entries
  // agree and the end record was found, 2 when they agree without one or there are more local
  // entries than central ones; 0 otherwise.
  std::uint32_t flag = 0;
  bool zipFamily = false;
};
OFFICE_SIZE_RESULT GetOfficeFileSize(FinderRun& run);

}  // namespace qelda::carve
