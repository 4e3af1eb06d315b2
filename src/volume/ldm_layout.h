// Offsets and constants of the dynamic-disk (LDM) private header, database header and
// VBLK records. Numbers in these structures are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelda::volume::ldm {
// Private header, one sector.
inline constexpr std::size_t kPrivHeadMagic = 0x000;       // "PRIVHEAD"
inline constexpr std::size_t kPrivHeadDiskGuid = 0x030;    // ASCII GUID text, 64 bytes
inline constexpr std::size_t kPrivHeadGuidBytes = 64;
inline constexpr std::size_t kLogicalDiskStart = 0x11B;    // u64, sector
inline constexpr std::size_t kConfigStart = 0x12B;         // u64, sector
inline constexpr std::size_t kConfigSize = 0x133;          // u64, sectors
// Where the private header stands on an MBR dynamic disk, and on a GPT one.
inline constexpr std::uint64_t kMbrPrivHeadSector = 6;
inline constexpr std::uint64_t kGptPrivHeadSector = 1890;
// The fallback search looks at sectors 0 to this one, inclusive.
inline constexpr std::uint64_t kPrivHeadSearchLast = 0x40000;
// On an MBR dynamic disk the database lies in the disk's last this-many sectors.
inline constexpr std::uint64_t kMbrDatabaseSectors = 2048;

// Windows makes the database 2048 sectors long. The search for its header and the read of
// its records stop this many sectors on, whatever the private header claims: a damaged
// header must not make the walk read a whole (possibly huge, sparse) disk.
inline constexpr std::uint64_t kMaxDatabaseSectors = 65536;

// Database header sector; the VBLK records follow in the next sector.
inline constexpr std::size_t kVmdbMagic = 0x00;  // "VMDB"

// VBLK records: four of 128 bytes in each sector.
inline constexpr std::size_t kVblkSize = 128;
inline constexpr std::size_t kVblkPerSector = 4;
inline constexpr std::size_t kVblkMagic = 0x00;     // "VBLK"
inline constexpr std::size_t kVblkFragment = 0x0C;  // u16: index of this fragment in its record
inline constexpr std::size_t kVblkType = 0x13;      // u8: revision (high nibble) and type
inline constexpr std::size_t kVblkBody = 0x18;      // variable-length fields start here

inline constexpr std::uint8_t kTypeComponent = 0x32;
inline constexpr std::uint8_t kTypePartition = 0x33;
inline constexpr std::uint8_t kTypeDisk = 0x34;
inline constexpr std::uint8_t kTypeDiskRev4 = 0x44;
inline constexpr std::uint8_t kTypeVolume = 0x51;

// Component kinds (the byte after the component's state text).
inline constexpr std::uint8_t kComponentStriped = 1;
inline constexpr std::uint8_t kComponentRaid5 = 3;

// Fixed-width gaps between the variable-length fields of the records the walk keeps.
inline constexpr std::size_t kComponentGapAfterState = 5;   // kind byte + 4 bytes
inline constexpr std::size_t kComponentGapAfterChildren = 16;
inline constexpr std::size_t kPartitionGapAfterName = 12;   // then start and volume offset, u64 each
inline constexpr std::size_t kDiskRev4GuidBytes = 16;
}  // namespace qelda::volume::ldm
