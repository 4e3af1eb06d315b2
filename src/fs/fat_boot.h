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
// The counts of sectors are in the volume's own sectors; the accessors give them in the
// 512-byte sectors every reader of the volume counts in.
struct FatBpb {
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint16_t reservedSectors = 0;
  std::uint8_t fatCount = 0;
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
  // 512-byte sectors in one of the volume's sectors: 2 to 64 for sectors of 1024 to 32768
  // bytes; 1 for 512 and for a value no formatter writes (read as 512, as ever).
  std::uint32_t sectorUnits() const;
  // A volume of sectors larger than 512 bytes whose clusters, counted in 512-byte sectors,
  // pass 128 (64 KiB): a FAT volume, but one no reader here can hold a cluster of.
  bool clustersTooLarge() const;
  // The data area follows as many FAT copies as the boot sector gives, one or two; any other
  // count is read as the usual two.
  std::uint8_t fatCopies() const { return fatCount == 1 ? 1 : 2; }
  // In 512-byte sectors.
  std::uint32_t clusterSectors() const { return std::uint32_t(sectorsPerCluster) * sectorUnits(); }
  std::uint32_t reserved() const { return std::uint32_t(reservedSectors) * sectorUnits(); }
  std::uint32_t sectorsPerFat() const;
  std::uint16_t rootDirSectors() const;
  std::uint64_t totalSectors() const {
    return std::uint64_t(totalSectors16 != 0 ? totalSectors16 : totalSectors32) * sectorUnits();
  }
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

// In 512-byte sectors, whatever the volume's sector size.
struct FatBootParams {
  std::uint8_t fatType = 0;  // kFat12, kFat16, kFat32
  std::uint8_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint16_t rootDirSectors = 0;  // 0 on FAT32
  std::uint32_t sectorsPerFat = 0;
  std::uint32_t rootCluster = 0;  // 0 below FAT32
  std::uint8_t media = 0;
  std::uint32_t endOfChain = 0;
  std::uint8_t fatCount = 2;  // copies of the FAT in front of the data area: 1 or 2
};

// The engine's reading of a boot sector, typed by cluster count. NotThisFormat: sectors per
// cluster is not a power of two up to 128 (counted in 512-byte sectors: see
// clustersTooLarge). OutOfRange: the FAT fields fail bpbFatFieldsPlausible, or the FAT is
// larger than the format allows.
platform::Parsed<FatBootParams> parseFatBootSector(platform::ByteView sector);

// The scan's own test of copied parameters: true when they cannot be trusted on a volume
// of totalSectors sectors (the backup boot sector may not claim one sector per cluster).
// totalSectors 0: the FAT's size is not weighed against the volume (the raw scan's test).
bool bootParamsAreBad(const FatBootParams& p, std::uint64_t totalSectors, bool backup);

// Sectors in front of the data area: reserved, the FAT copies (two unless the boot sector
// gives one) and the fixed root.
inline std::uint64_t systemSectors(std::uint32_t reserved, std::uint32_t sectorsPerFat, std::uint32_t rootDirSectors,
                                   std::uint8_t fatCount = 2) {
  return std::uint64_t(reserved) + std::uint64_t(fatCount) * sectorsPerFat + rootDirSectors;
}

// One past the highest data cluster: data sectors / sectors per cluster + 2; 0 when the
// volume has no data area or no cluster size.
inline std::uint64_t dataClusterBound(std::uint64_t totalSectors, std::uint64_t systemSectorCount,
                                      std::uint32_t sectorsPerCluster) {
  if (sectorsPerCluster == 0 || totalSectors < systemSectorCount) return 0;
  return (totalSectors - systemSectorCount) / sectorsPerCluster + 2;
}

}  // namespace qelda::fs::fat
