#include "fs/fat_boot.h"

#include "fs/fat_layout.h"

namespace qelda::fat {

using platform::ParseError;

bool isClusterSizeAllowed(std::uint32_t spc, bool allowOne) {
  if (spc == 1) return allowOne;
  return spc >= 2 && spc <= 128 && (spc & (spc - 1)) == 0;
}

platform::Parsed<FatBootParams> parseFatBootSector(platform::ByteView sector) {
  platform::LeCursor c(sector, boot::kSectorsPerCluster);
  FatBootParams p;
  p.sectorsPerCluster = c.u8();
  p.reservedSectors = c.u16();
  c.skip(1);  // number of FATs: two are assumed
  const std::uint16_t rootEntries = c.u16();
  const std::uint16_t total16 = c.u16();
  p.media = c.u8();
  const std::uint16_t fat16 = c.u16();
  c.seek(boot::kTotalSectors32);
  const std::uint32_t total32 = c.u32();
  const std::uint32_t fat32 = c.u32();
  c.seek(boot::kRootCluster);
  const std::uint32_t rootCluster = c.u32();
  if (!c.ok()) return ParseError::Truncated;
  if (!isClusterSizeAllowed(p.sectorsPerCluster, true)) return ParseError::NotThisFormat;

  p.rootDirSectors = std::uint16_t(rootEntries / 16);
  if (fat16 == 0) {
    p.fatType = kFat32;
    p.rootDirSectors = 0;
    p.sectorsPerFat = fat32;
    p.rootCluster = rootCluster;
    p.endOfChain = kFat32EndMarks;
    if (p.sectorsPerFat <= 266 || p.rootCluster < 2 || p.sectorsPerFat > kMaxFatSectors32)
      return ParseError::OutOfRange;
    return p;
  }
  p.sectorsPerFat = fat16;
  const std::uint64_t total = total16 != 0 ? total16 : total32;
  const std::uint64_t clusters =
      dataClusterBound(total, systemSectors(p.reservedSectors, p.sectorsPerFat, p.rootDirSectors), p.sectorsPerCluster);
  // Without a usable sector count the size of the FAT decides, as a small FAT12 has few sectors.
  const bool fat12 = clusters >= 2 ? clusters - 2 < 4085 : p.sectorsPerFat <= 12;
  p.fatType = fat12 ? kFat12 : kFat16;
  p.endOfChain = fat12 ? kFat12End : kFat16End;
  if (p.sectorsPerFat >= 266) return ParseError::OutOfRange;
  return p;
}

bool bootParamsAreBad(const FatBootParams& p, std::uint64_t totalSectors, bool backup) {
  if (!isClusterSizeAllowed(p.sectorsPerCluster, !backup)) return true;
  if (p.fatType == kFat32 && (p.sectorsPerFat <= 266 || p.rootCluster < 2)) return true;
  if (p.fatType == kFat16 && p.sectorsPerFat >= 266) return true;
  if (p.fatType == kFat32 && p.sectorsPerFat > kMaxFatSectors32) return true;
  if (p.fatType != kFat32 && p.sectorsPerFat > kMaxFatSectorsSmall) return true;
  return p.sectorsPerFat == 0 || p.sectorsPerFat >= totalSectors / 10;
}

}  // namespace qelda::fat
