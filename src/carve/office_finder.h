// The pieces of the Office finder: an OLE2 compound file is sized from its allocation table
// (FAT) and classified by the names in its directory; a zip-based document is walked record
// by record.
#pragma once

#include <cstdint>
#include <vector>

#include "carve/length_finders.h"

namespace qelda::carve {

inline constexpr std::uint32_t kOleDifatSector = 0xFFFFFFFC;
inline constexpr std::uint32_t kOleFatSector = 0xFFFFFFFD;
inline constexpr std::uint32_t kOleEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kOleFreeSector = 0xFFFFFFFF;

bool IsOleSpecialSector(std::uint32_t id);

// What the FAT of the compound file being sized can address (sectors and bytes, in 64 bits),
// and the FAT's own sector numbers in order.
struct OleTables {
  std::uint64_t m_nOleSectors = 0;
  std::uint64_t m_nOleLimit = 0;
  std::vector<std::uint32_t> m_arrOleFatSectors;
};

// The document kind named by the directory (read as if contiguous from its first sector); 0
// when the first entry is not "Root Entry" or no known entry was met.
std::uint8_t GetOleSizeFromDirectory(FinderRun& run, const OleTables& tables, std::uint32_t firstDirectorySector);
// Appends the FAT sector numbers the DIFAT chain lists; false when the chain is broken.
bool ReadOleDifat(FinderRun& run, OleTables& tables, std::uint32_t difatSectors, std::uint32_t firstDifatSector,
                  std::uint32_t fatSectors);
// Sets the result's size from the highest FAT entry in use; false when an entry points past
// what the FAT can address or a FAT sector cannot be read (the tables are inconsistent).
bool ReadOleFat(FinderRun& run, OleTables& tables, OFFICE_SIZE_RESULT& result);
// A zip-based document: its kind from the entry names, its size, and the flag.
std::uint32_t GetOoxmlKind(OFFICE_SIZE_RESULT& result, FinderRun& run);

}  // namespace qelda::carve
