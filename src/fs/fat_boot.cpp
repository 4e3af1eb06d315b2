#include "fs/fat_boot.h"

#include <algorithm>

#include "fs/fat_layout.h"

namespace qelda::fs::fat {

using platform::ParseError;

namespace {
// FAT16 keeps fewer FAT sectors than this, FAT32 more.
constexpr std::uint32_t kFat16FatSectorLimit = 266;
// Fewer data clusters than this make a FAT12.
constexpr std::uint64_t kFat12MaxClusters = 4085;
// A FAT of at most this many sectors is taken as FAT12 where the size of the FAT decides.
constexpr std::uint32_t kFat12MaxFatSectors = 12;
// The largest sector the boot sector may give: 32768 bytes.
constexpr std::uint32_t kMaxSectorUnits = 64;
}  // namespace

std::uint32_t FatBpb::sectorUnits() const {
  for (std::uint32_t units = 2; units <= kMaxSectorUnits; units *= 2)
    if (bytesPerSector == units * kSectorBytes) return units;
  return 1;
}

bool FatBpb::clustersTooLarge() const {
  return sectorUnits() > 1 && isClusterSizeAllowed(sectorsPerCluster, true) && !isClusterSizeAllowed(clusterSectors(), true);
}

std::uint32_t FatBpb::sectorsPerFat() const {
  const std::uint64_t own = isFat32() ? sectorsPerFat32 : sectorsPerFat16;
  return std::uint32_t(std::min<std::uint64_t>(own * sectorUnits(), UINT32_MAX));
}

std::uint16_t FatBpb::rootDirSectors() const {
  if (isFat32()) return 0;
  // Whole sectors of the volume's size; with 512-byte sectors, rootEntries / 16 as ever.
  const std::uint32_t own = std::uint32_t(rootEntries) * 32 / (kSectorBytes * sectorUnits());
  return std::uint16_t(own * sectorUnits());
}

FatBpb readFatBpb(platform::ByteView sector) {
  FatBpb b;
  b.bytesPerSector = sector.le16(boot::kBytesPerSector).value_or(0);
  b.fatCount = sector.u8(boot::kFatCount).value_or(0);
  b.sectorsPerCluster = sector.u8(boot::kSectorsPerCluster).value_or(0);
  b.reservedSectors = sector.le16(boot::kReservedSectors).value_or(0);
  b.rootEntries = sector.le16(boot::kRootEntries).value_or(0);
  b.totalSectors16 = sector.le16(boot::kTotalSectors16).value_or(0);
  b.media = sector.u8(boot::kMedia).value_or(0);
  b.sectorsPerFat16 = sector.le16(boot::kSectorsPerFat16).value_or(0);
  b.totalSectors32 = sector.le32(boot::kTotalSectors32).value_or(0);
  b.sectorsPerFat32 = sector.le32(boot::kSectorsPerFat32).value_or(0);
  b.rootCluster = sector.le32(boot::kRootCluster).value_or(0);
  b.complete = sector.has(0, boot::kRootCluster + 4);
  return b;
}

bool isClusterSizeAllowed(std::uint32_t spc, bool allowOne) {
  if (spc == 1) return allowOne;
  return spc >= 2 && spc <= 128 && (spc & (spc - 1)) == 0;
}

bool bpbFatFieldsPlausible(const FatBpb& b) {
  if (b.isFat32()) return b.sectorsPerFat() > kFat16FatSectorLimit && b.rootCluster >= 2;
  return b.sectorsPerFat() < kFat16FatSectorLimit;
}

std::uint8_t fatTypeBySectorsPerFat(const FatBpb& b) {
  if (b.isFat32()) return kFat32;
  return b.sectorsPerFat() <= kFat12MaxFatSectors ? kFat12 : kFat16;
}

std::uint8_t fatTypeByClusterCount(const FatBpb& b) {
  if (b.isFat32()) return kFat32;
  const std::uint64_t clusters =
      dataClusterBound(b.totalSectors(), systemSectors(b.reserved(), b.sectorsPerFat(), b.rootDirSectors(), b.fatCopies()),
                       b.clusterSectors());
  // Without a usable sector count the size of the FAT decides, as a small FAT12 has few sectors.
  const bool fat12 = clusters >= 2 ? clusters - 2 < kFat12MaxClusters : b.sectorsPerFat() <= kFat12MaxFatSectors;
  return fat12 ? kFat12 : kFat16;
}

platform::Parsed<FatBootParams> parseFatBootSector(platform::ByteView sector) {
  const FatBpb b = readFatBpb(sector);
  if (!b.complete) return ParseError::Truncated;
  if (!isClusterSizeAllowed(b.clusterSectors(), true)) return ParseError::NotThisFormat;
  FatBootParams p;
  p.fatType = fatTypeByClusterCount(b);
  p.sectorsPerCluster = std::uint8_t(b.clusterSectors());
  p.reservedSectors = b.reserved();
  p.rootDirSectors = b.rootDirSectors();
  p.sectorsPerFat = b.sectorsPerFat();
  p.rootCluster = b.isFat32() ? b.rootCluster : 0;
  p.media = b.media;
  p.endOfChain = p.fatType == kFat32 ? kFat32EndMarks : p.fatType == kFat16 ? kFat16End : kFat12End;
  p.fatCount = b.fatCopies();
  if (!bpbFatFieldsPlausible(b)) return ParseError::OutOfRange;
  if (p.fatType == kFat32 && p.sectorsPerFat > kMaxFatSectors32) return ParseError::OutOfRange;
  return p;
}

bool bootParamsAreBad(const FatBootParams& p, std::uint64_t totalSectors, bool backup) {
  if (!isClusterSizeAllowed(p.sectorsPerCluster, !backup)) return true;
  if (p.fatType == kFat32 && (p.sectorsPerFat <= kFat16FatSectorLimit || p.rootCluster < 2)) return true;
  if (p.fatType == kFat16 && p.sectorsPerFat >= kFat16FatSectorLimit) return true;
  if (p.fatType == kFat32 && p.sectorsPerFat > kMaxFatSectors32) return true;
  if (p.fatType != kFat32 && p.sectorsPerFat > kMaxFatSectorsSmall) return true;
  return p.sectorsPerFat == 0 || (totalSectors != 0 && p.sectorsPerFat >= totalSectors / 10);
}

}  // namespace qelda::fs::fat
