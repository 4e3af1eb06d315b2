// Offsets and constants of the MBR/EBR tables and of the boot-sector fields the partition
// walk reads to type a volume. Offsets only; the code that reads them lives elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fs/boot_layout.h"

namespace qelda::volume::mbr {
inline constexpr std::size_t kFirstEntry = 446;  // four 16-byte entries follow
inline constexpr std::size_t kEntrySize = 16;
inline constexpr std::size_t kEntryCount = 4;
inline constexpr std::size_t kSignature = 510;  // 0x55 0xAA
inline constexpr std::uint8_t kSignature0 = 0x55;
inline constexpr std::uint8_t kSignature1 = 0xAA;
// Within an entry.
inline constexpr std::size_t kType = 4;         // u8
inline constexpr std::size_t kFirstSector = 8;  // u32, relative to the table's own sector
inline constexpr std::size_t kSectorCount = 12;  // u32

// The walk never follows more extended boot records than this: real disks have a few
// dozen logical partitions at most, and a damaged chain must not keep it reading.
inline constexpr std::size_t kMaxChainLinks = 1024;
}  // namespace qelda::volume::mbr
