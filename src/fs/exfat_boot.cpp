#include "fs/exfat_boot.h"

#include <algorithm>

#include "fs/exfat_layout.h"

namespace qelda::fs::exfat {

using platform::ByteView;
using platform::LeCursor;
using platform::ParseError;
using platform::Parsed;

namespace {

// exFAT clusters are at most 32 MiB: 512-byte sectors and at most 2^16 of them.
constexpr std::uint8_t kSectorShift = 9;
constexpr std::uint8_t kMaxSectorsPerClusterShift = 16;
// The sector sizes a boot region may be made of: 512 bytes to 4 KiB.
constexpr std::uint8_t kMaxSectorShift = 12;

// The heap as derived when the boot sector's own field cannot be used.
std::uint64_t derivedHeapStart(std::uint32_t fatOffset, std::uint32_t fatLength) {
  const std::uint64_t tables = (std::uint64_t(fatLength) + fatOffset - 1) / fatOffset;
  return (tables + 1) * fatOffset;
}

}  // namespace

Parsed<ExFatBootParams> parseExFatBoot(ByteView sector) {
  namespace b = exfat::boot;
  if (!sector.has(0, exfat::kSectorBytes)) return ParseError::Truncated;
  ExFatBootParams p;
  LeCursor c(sector, b::kVolumeLength);
  p.volumeLength = c.u64();
  p.fatOffset = c.u32();
  p.fatLength = c.u32();
  const std::uint32_t heapField = c.u32();
  const std::uint32_t clusterCount = c.u32();
  p.rootCluster = c.u32();
  c.seek(b::kVolumeFlags);
  p.volumeFlags = c.u16();
  p.bytesPerSectorShift = c.u8();
  p.sectorsPerClusterShift = c.u8();
  p.numberOfFats = c.u8();
  if (!c.ok()) return ParseError::Truncated;

  if (p.volumeLength == 0 || clusterCount == 0) return ParseError::NotThisFormat;
  // FAT offset 0 would also divide by zero in the derived heap start.
  if (p.fatOffset == 0 || p.fatLength == 0 || p.fatLength >= p.volumeLength / 10) return ParseError::OutOfRange;

  // The fields count the volume's own sectors. Read in 512-byte sectors, each spans
  // 1 << (shift - 9) of them; a shift outside 512 bytes .. 4 KiB is taken as damaged and
  // the fields as counting 512-byte sectors, as the derived values below do.
  const std::optional<std::uint32_t> scale = exFatSectorScale(p.bytesPerSectorShift);
  const std::uint32_t k = scale.value_or(1);
  if (p.volumeLength > UINT64_MAX / k || std::uint64_t(p.fatOffset) * k > UINT32_MAX ||
      std::uint64_t(p.fatLength) * k > UINT32_MAX)
    return ParseError::OutOfRange;
  p.volumeLength *= k;
  p.fatOffset *= k;
  p.fatLength *= k;
  const std::uint64_t v = p.volumeLength;
  const std::uint64_t fatEnd = std::uint64_t(p.fatOffset) + p.fatLength;
  if (fatEnd > v) return ParseError::OutOfRange;

  // Sectors per cluster: the shift field, when the sector size is one the format allows,
  // the cluster no larger than 32 MiB, and its clusters fit after the FAT; otherwise volume
  // length / cluster count, which must be 1 or even.
  const std::uint32_t clusterShift = std::uint32_t(p.sectorsPerClusterShift) + (scale ? p.bytesPerSectorShift - kSectorShift : 0);
  const std::uint64_t shifted = std::uint64_t(1) << std::min<std::uint32_t>(clusterShift, kMaxSectorsPerClusterShift);
  if (scale && clusterShift <= kMaxSectorsPerClusterShift && clusterCount * shifted <= v - fatEnd) {
    p.sectorsPerCluster = std::uint32_t(shifted);
    p.sectorsPerClusterFromShift = true;
  } else {
    p.sectorsPerCluster = std::uint32_t(v / clusterCount);  // the low 32 bits, as stored later
    if (p.sectorsPerCluster == 0 || (p.sectorsPerCluster != 1 && p.sectorsPerCluster % 2 != 0))
      return ParseError::OutOfRange;
  }
  const std::uint64_t spc = p.sectorsPerCluster;

  // The heap: the field, when it lies after the FAT and all clusters fit after it.
  std::uint64_t heap = std::uint64_t(heapField) * k;
  p.heapFromField = heap >= fatEnd && heap < v && clusterCount * spc <= v - heap;
  if (!p.heapFromField) heap = derivedHeapStart(p.fatOffset, p.fatLength);
  if (heap >= v || heap > UINT32_MAX) return ParseError::OutOfRange;
  p.clusterHeapOffset = std::uint32_t(heap);

  // Clusters past the volume's end cannot be read; keep only those that fit.
  const std::uint64_t fit = (v - heap) / spc;
  p.clusterCount = std::uint32_t(std::min<std::uint64_t>(clusterCount, fit));
  p.clusterCountCut = p.clusterCount != clusterCount;
  if (p.clusterCount == 0) return ParseError::OutOfRange;
  return p;
}

bool fitExFatBootToSectors(ExFatBootParams& p, std::uint64_t sectors) {
  if (sectors == 0 || p.volumeLength <= sectors) return true;
  if (std::uint64_t(p.fatOffset) + p.fatLength > sectors || p.clusterHeapOffset >= sectors ||
      p.sectorsPerCluster == 0)
    return false;
  p.volumeLength = sectors;
  const std::uint64_t fit = (sectors - p.clusterHeapOffset) / p.sectorsPerCluster;
  if (p.clusterCount > fit) {
    p.clusterCount = std::uint32_t(fit);
    p.clusterCountCut = true;
  }
  return p.clusterCount != 0;
}

std::optional<std::uint32_t> exFatSectorScale(std::uint8_t bytesPerSectorShift) {
  if (bytesPerSectorShift < kSectorShift || bytesPerSectorShift > kMaxSectorShift) return std::nullopt;
  return std::uint32_t(1) << (bytesPerSectorShift - kSectorShift);
}

std::optional<std::size_t> exFatBootRegionBytes(ByteView first) {
  const std::optional<std::uint8_t> shift = first.u8(exfat::boot::kBytesPerSectorShift);
  if (!shift || *shift < kSectorShift || *shift > kMaxSectorShift) return std::nullopt;
  return exfat::boot::kBootRegionSectors << *shift;
}

std::uint64_t exFatBackupRegionSector(std::uint8_t sectorShift) {
  return exfat::boot::kBackupBootSector << (std::clamp(sectorShift, kSectorShift, kMaxSectorShift) - kSectorShift);
}

bool isExFatBackupRegion(ByteView region, std::uint8_t sectorShift) {
  return region.u8(exfat::boot::kBytesPerSectorShift) == sectorShift && exFatBootChecksumMatches(region);
}

bool exFatBootChecksumMatches(ByteView region) {
  const std::optional<std::size_t> regionBytes = exFatBootRegionBytes(region);
  if (!regionBytes || !region.has(0, *regionBytes)) return false;
  const std::size_t sectorBytes = *regionBytes / exfat::boot::kBootRegionSectors;

  // Every byte of the first 11 sectors except the volume flags and the percentage in use,
  // which change while the volume is mounted.
  std::uint32_t sum = 0;
  const std::size_t checked = exfat::boot::kChecksumSector * sectorBytes;
  for (std::size_t i = 0; i < checked; ++i) {
    if (i == exfat::boot::kVolumeFlags || i == exfat::boot::kVolumeFlags + 1 || i == exfat::boot::kPercentInUse)
      continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region.data()[i];
  }
  for (std::size_t off = checked; off < checked + sectorBytes; off += 4)
    if (*region.le32(off) != sum) return false;
  return true;
}

bool isHeapCluster(const ExFatBootParams& p, std::uint64_t cluster) {
  return cluster >= 2 && cluster <= std::uint64_t(p.clusterCount) + 1;
}

std::optional<std::uint64_t> firstSectorOfCluster(const ExFatBootParams& p, std::uint64_t cluster) {
  if (!isHeapCluster(p, cluster)) return std::nullopt;
  return std::uint64_t(p.clusterHeapOffset) + (cluster - 2) * p.sectorsPerCluster;
}

std::uint32_t rootWalkCluster(const ExFatBootParams& p) {
  return p.rootCluster >= 4 && isHeapCluster(p, p.rootCluster) ? p.rootCluster : 4;
}

std::uint32_t directoryClusterCount(const ExFatBootParams& p, std::uint32_t firstCluster, std::uint64_t dataLength) {
  if (!isHeapCluster(p, firstCluster) || p.sectorsPerCluster == 0) return 0;
  const std::uint64_t bytes = p.clusterBytes();
  const std::uint64_t wanted = dataLength / bytes + (dataLength % bytes != 0);
  const std::uint64_t inHeap = std::uint64_t(p.clusterCount) + 2 - firstCluster;
  const std::uint64_t formatMax = std::max<std::uint64_t>(1, exfat::kMaxDirectoryBytes / bytes);
  return std::uint32_t(std::min({wanted, inHeap, formatMax}));
}

}  // namespace qelda::fs::exfat
