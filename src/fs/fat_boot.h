// The geometry of a FAT volume as its boot sector gives it, and the engine's judgement of
// whether that geometry can be used. Pure: bytes in, values out.
#pragma once

#include <cstdint>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fat {

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

// Reads a boot sector. The type is taken from the format's own markers: a zero 16-bit
// sectors-per-FAT count means FAT32; otherwise fewer than 4085 data clusters mean FAT12.
// NotThisFormat: sectors per cluster is not a power of two up to 128. OutOfRange: a FAT32
// with 266 or fewer FAT sectors or a root cluster below 2, a FAT16 with 266 or more, or a
// FAT larger than the format allows.
platform::Parsed<FatBootParams> parseFatBootSector(platform::ByteView sector);

// True when sectors per cluster is 1 (allowed only when allowOne), 2, 4, ..., 128.
bool isClusterSizeAllowed(std::uint32_t sectorsPerCluster, bool allowOne);

// The scan's own test of copied parameters: true when they cannot be trusted on a volume
// of totalSectors sectors (the backup boot sector may not claim one sector per cluster).
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

}  // namespace qelda::fat
