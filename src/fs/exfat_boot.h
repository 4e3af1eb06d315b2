// The geometry of an exFAT volume as its boot sector gives it, checked so that every
// cluster number the engine turns into a sector lies inside the volume. Pure: bytes in,
// values out. Sector numbers count 512-byte sectors from the volume start, as the disk is
// read, whatever the volume's own sector size (the boot sector's fields count that).
#pragma once

#include <cstdint>
#include <optional>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs::exfat {

struct ExFatBootParams {
  std::uint64_t volumeLength = 0;       // sectors
  std::uint32_t fatOffset = 0;          // sectors
  std::uint32_t fatLength = 0;          // sectors
  std::uint32_t clusterHeapOffset = 0;  // sectors: the boot sector's field, or derived
  std::uint32_t clusterCount = 0;       // as stored, cut to the clusters that fit in the volume
  std::uint32_t rootCluster = 0;        // as stored
  std::uint32_t sectorsPerCluster = 0;
  std::uint16_t volumeFlags = 0;
  std::uint8_t bytesPerSectorShift = 0;     // as stored
  std::uint8_t sectorsPerClusterShift = 0;  // as stored
  std::uint8_t numberOfFats = 0;            // as stored
  // Which values came from the boot sector's own fields; false: derived because the
  // field was damaged (sectors per cluster = volume length / cluster count; heap =
  // (ceil(FAT length / FAT offset) + 1) x FAT offset).
  bool sectorsPerClusterFromShift = false;
  bool heapFromField = false;
  bool clusterCountCut = false;  // the stored count reached past the volume's end

  std::uint64_t clusterBytes() const { return std::uint64_t(sectorsPerCluster) * 512; }
};

// Reads a boot sector (at least 512 bytes). Its lengths and offsets are turned into 512-byte
// sectors by its sector size (byte 108); a size outside 512 bytes .. 4 KiB is taken as
// damaged, and they are taken as they stand.
// NotThisFormat: the volume length or the cluster count is 0.
// OutOfRange: FAT offset or length 0, a FAT of a tenth of the volume or more, a FAT past
// the volume's end, derived sectors per cluster 0 or odd (other than 1), no room for a
// cluster heap. The engine then tries the backup boot sector.
platform::Parsed<ExFatBootParams> parseExFatBoot(platform::ByteView sector);

// How many 512-byte sectors one sector of a volume of sectors of 1 << `bytesPerSectorShift`
// bytes spans; nothing for a sector size outside 512 bytes .. 4 KiB.
std::optional<std::uint32_t> exFatSectorScale(std::uint8_t bytesPerSectorShift);

// Fits the geometry into the first `sectors` sectors of the volume (the size the source's
// record gives it; 0 when unknown): a longer volume length is cut to it and the cluster
// count to the clusters that lie wholly inside. False when the FAT or the first cluster
// would lie outside, or no cluster fits.
bool fitExFatBootToSectors(ExFatBootParams& p, std::uint64_t sectors);

// True when the boot region (12 sectors of 1 << its byte 108 bytes) carries, in its last
// sector, the checksum of its first 11 sectors. False when it is too short to tell.
bool exFatBootChecksumMatches(platform::ByteView region);

// The bytes of a boot region whose first sector is `first`: 12 sectors of 1 << its byte 108
// bytes; nothing when that shift lies outside 9..12.
std::optional<std::size_t> exFatBootRegionBytes(platform::ByteView first);

// Where the backup boot region lies on a volume of sectors of 1 << `sectorShift` bytes, in
// 512-byte sectors: 12 of the volume's own sectors in.
std::uint64_t exFatBackupRegionSector(std::uint8_t sectorShift);

// True when `region`, read from exFatBackupRegionSector(sectorShift), is a backup boot
// region: it claims that sector size and its checksum holds.
bool isExFatBackupRegion(platform::ByteView region, std::uint8_t sectorShift);

// Cluster numbers of the heap run from 2 to cluster count + 1.
bool isHeapCluster(const ExFatBootParams& p, std::uint64_t cluster);

// First sector of a heap cluster, in 64 bits; nothing for a cluster outside the heap.
std::optional<std::uint64_t> firstSectorOfCluster(const ExFatBootParams& p, std::uint64_t cluster);

// The cluster the root walk starts from: the stored root cluster when it lies in
// 4 .. cluster count + 1, else 4 (clusters 2 and 3 hold the bitmap and up-case table).
std::uint32_t rootWalkCluster(const ExFatBootParams& p);

// How many clusters a directory of dataLength bytes starting at firstCluster occupies:
// ceil(dataLength / cluster bytes), no more than the heap holds from firstCluster on and
// no more than the largest directory the format allows; 0 when firstCluster is outside
// the heap.
std::uint32_t directoryClusterCount(const ExFatBootParams& p, std::uint32_t firstCluster, std::uint64_t dataLength);

}  // namespace qelda::fs::exfat
