// Offsets of the boot-sector fields that tell a volume's file system: read by the partition
// walk, the engines and the lost-volume search alike. Offsets only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelda::fs::boot {
inline constexpr std::size_t kOemName = 3;
inline constexpr std::size_t kEndMark = 510;  // 0x55 0xAA  // "NTFS    ", "EXFAT   ", "MSDOS5.0", "mkfs.fat"
// FAT: the parameter block is fat_layout.h's (fs::fat::boot).
// NTFS.
inline constexpr std::size_t kNtfsSectorsPerCluster = 13;  // u8; 0x80 and above: 2^(256 - v)
inline constexpr std::size_t kNtfsMftCluster = 48;         // u64
inline constexpr std::size_t kNtfsMftMirrCluster = 56;     // u64
// exFAT.
inline constexpr std::size_t kExFatFatOffset = 80;               // u32, sectors from the volume start
inline constexpr std::size_t kExFatFatLength = 84;               // u32, sectors
inline constexpr std::size_t kExFatRootCluster = 96;             // u32
inline constexpr std::size_t kExFatSectorsPerClusterShift = 109;  // u8
// The largest shift the format allows (32 MiB clusters of 512-byte sectors).
inline constexpr std::uint8_t kExFatMaxClusterShift = 25;
}  // namespace qelda::fs::boot
