// The NTFS boot sector: what the volume list records of it and what the engine and the
// lost-volume search accept as a usable one.
#pragma once

#include <cstdint>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs::ntfs {

// The largest cluster NTFS formats: 2 MiB, that is 4096 sectors.
inline constexpr std::uint32_t kMaxSectorsPerCluster = 4096;

// The volume's sector size in the 512-byte sectors the source is read in: 2, 4 or 8 for
// 1024-, 2048- and 4096-byte sectors, 1 for 512 and for any other value.
std::uint32_t sectorUnitsOf(platform::ByteView bootSector);

// Sectors per cluster as the volume list records it from the boot byte, in the source's
// 512-byte sectors (`units` of them to the volume's sector): values below 0x80 as they are,
// others as 2^(256 - byte); 0 for sizes beyond 16 bits.
std::uint16_t sectorsPerClusterForVolumeList(std::uint8_t byte, std::uint32_t units);

// Sectors per cluster as the engine takes it: powers of two up to 128 as they are, 0xF0 and
// above as 2^(256 - byte). 0 when the byte names no valid size.
std::uint32_t sectorsPerClusterFromBootByte(std::uint8_t byte);
bool isValidSectorsPerCluster(std::uint32_t spc);

// Sectors here are the source's 512-byte ones, whatever the volume's own size, but for
// totalSectors.
struct NtfsBootParams {
  std::uint32_t sectorsPerCluster = 0;
  std::uint16_t bytesPerSector = 0;  // as the boot sector gives it
  std::uint32_t sectorUnits = 1;     // 512-byte sectors to one of the volume's
  std::uint64_t totalSectors = 0;  // the volume's own sectors, as the boot sector gives them (one less than it has)
  std::uint64_t mftCluster = 0;
  std::uint64_t mftMirrCluster = 0;
  // Bytes of one MFT record: 2048 or 4096 where the boot sector gives that (a volume of
  // sectors as large), else 1024.
  std::uint32_t recordBytes = 1024;
  std::uint64_t mftSector() const { return mftCluster * sectorsPerCluster; }
  std::uint64_t mftMirrSector() const { return mftMirrCluster * sectorsPerCluster; }
};

// A usable NTFS boot sector: the 0x55AA mark, "NTFS" at the OEM name, a valid cluster size,
// and (when volumeSectors, in 512-byte sectors, is not 0) the $MFT and its mirror inside the
// volume.
// NotThisFormat: no NTFS boot sector; OutOfRange: one whose fields cannot be used.
platform::Parsed<NtfsBootParams> parseNtfsBoot(platform::ByteView sector, std::uint64_t volumeSectors);

}  // namespace qelda::fs::ntfs
