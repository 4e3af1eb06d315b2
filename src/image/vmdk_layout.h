// On-disk layout of a VMDK sparse extent header (little-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qelda::image::vmdk {

inline constexpr std::uint32_t kSparseMagic = 0x564D444B;   // "KDMV"
inline constexpr std::string_view kSparseMagicText = "KDMV";
inline constexpr std::size_t kFlags = 8;                     // u32
inline constexpr std::size_t kCapacity = 12;                 // u64, sectors
inline constexpr std::size_t kGrainSize = 20;                // u64, sectors per grain
inline constexpr std::size_t kDescriptorOffset = 28;         // u64, sector
inline constexpr std::size_t kDescriptorSize = 36;           // u64, sectors
inline constexpr std::size_t kGrainTableEntries = 44;        // u32
inline constexpr std::size_t kRedundantGrainDirectory = 48;  // u64, sector
inline constexpr std::size_t kGrainDirectory = 56;           // u64, sector

// The first line of a descriptor, embedded (sector 1 of a sparse extent) or in its own file.
inline constexpr std::string_view kDescriptorFileText = "# Disk DescriptorFile";

// Flags: a grain-table entry of 1 means a grain of zeros; grains are compressed (a
// stream-optimized extent, whose grains are not stored as plain sectors).
inline constexpr std::uint32_t kFlagZeroedGrainEntry = 1u << 2;
inline constexpr std::uint32_t kFlagCompressedGrains = 1u << 16;
inline constexpr std::uint32_t kZeroedGrainEntry = 1;

// What an extent without a readable header is taken to have.
inline constexpr std::uint64_t kDefaultGrainSize = 128;
inline constexpr std::uint32_t kDefaultGrainTableEntries = 512;
inline constexpr std::uint64_t kDefaultMonolithicDirectory = 21;
inline constexpr std::uint64_t kDefaultSplitDirectory = 1;
inline constexpr std::uint64_t kDefaultDescriptorOffset = 1;
inline constexpr std::uint64_t kDefaultDescriptorSize = 20;

}  // namespace qelda::image::vmdk
