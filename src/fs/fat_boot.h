// The FAT boot sector: its BIOS parameter block read once, the two ways the program tells
// FAT12 from FAT16, and the checks every reader of it shares. Pure: bytes in, values out.
// The volume list (CheckFatBootSector) and the engine (parseFatBootSector) both build on
// readFatBpb; they differ only in the type rule each names below.
#pragma once

#include <cstdint>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs::fat {

// The parameter block as it stands on disk; fields that lie past the bytes given read 0.
struct FatBpb {
  std::uint8_t sectorsPerCluster = 0;
  std::uint16_t reservedSectors = 0;
  std::uint16_t rootEntries = 0;  // 32-byte entries of the fixed root directory
  std::uint16_t totalSectors16 = 0;
  std::uint8_t media = 0;
  std::uint16_t sectorsPerFat16 = 0;  // 0 on FAT32
  std::uint32_t totalSectors32 = 0;
  std::uint32_t sectorsPerFat32 = 0;
  std::uint32_t rootCluster = 0;
  bool complete = false;  // every field lay inside the bytes given

  // FAT32 keeps its FAT size in the 32-bit field and leaves the 16-bit one 0.
  bool isFat32() const { return sectorsPerFat16 == 0; }
  std::uint32_t sectorsPerFat() const { return isFat32() ? sectorsPerFat32 : sectorsPerFat16; }
  std::uint16_t rootDirSectors() const { return isFat32() ? 0 : std::uint16_t(rootEntries / 16); }
  std::uint64_t totalSectors() const { return totalSectors16 != 0 ? totalSectors16 : totalSectors32; }
};

FatBpb readFatBpb(platform::ByteView sector);

// The tests both readers make of the fields: sectors per cluster a power of two (1 to 128);
// a FAT32 with more than 266 FAT sectors and a root cluster of at least 2; otherwise fewer
// than 266 FAT sectors. Neither reader accepts a boot sector that fails them.
bool isClusterSizeAllowed(std::uint32_t sectorsPerCluster, bool allowOne);
bool bpbFatFieldsPlausible(const FatBpb& b);

// FAT12 or FAT16 told apart by the size of the FAT: up to 12 sectors is FAT12. This is the
// volume list's rule; FAT32 as isFat32 says.
std::uint8_t fatTypeBySectorsPerFat(const FatBpb& b);

// FAT12 or FAT16 told apart by the count of data clusters, fewer than 4085 being FAT12;
// without a usable sector count, up to 12 FAT sectors is FAT12. The engine's rule.
std::uint8_t fatTypeByClusterCount(const FatBpb& b);

struct FatBootParams {
  std::uint8_t fatType = 0;  // kFat12, kFat16, kFat32
  std::uint8_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint16_t rootDirSectors = 0;  // 0 on FAT32
  std::uint32_t sectorsPerFat = 0;
  std::uint32_t rootCluster = 0;  // 0 below FAT32
  std::uint8_t media = 0;
  std::uint32_t endOfChain = 0;
};

// The engine's reading of a boot sector, typed by cluster count. NotThisFormat: sectors per
// cluster is not a power of two up to 128. OutOfRange: the FAT fields fail
// bpbFatFieldsPlausible, or the FAT is larger than the format allows.
platform::Parsed<FatBootParams> parseFatBootSector(platform::ByteView sector);

// The scan's own test of copied parameters: true when they cannot be trusted on a volume
// of totalSectors sectors (the backup boot sector may not claim one sector per cluster).
// totalSectors 0: the FAT's size is not weighed against the volume (the raw scan's test).
bool bootParamsAreBad(const FatBootParams& p, std::uint64_t totalSectors, bool backup);

// Sectors in front of the data area: reserved, two FAT copies and the fixed root.
inline std::uint64_t systemSectors(std::uint32_t reserved, std::uint32_t sectorsPerFat, std::uint32_t rootDirSectors) {
  return std::uint64_t(reserved) + 2 * std::uint64_t(sectorsPerFat) + rootDirSectors;
}

// One past the highest data cluster: data sectors / sectors per cluster + 2; 0 when the
// volume has no data area or no cluster size.
inline std::uint64_t dataClusterBound(std::uint64_t totalSectors, std::uint64_t systemSectorCount,
                                      std::uint32_t sectorsPerCluster) {
  if (sectorsPerCluster == 0 || totalSectors < systemSectorCount) return 0;
  return (totalSectors - systemSectorCount) / sectorsPerCluster + 2;
}

}  // namespace qelda::fs::fat
