// On-disk layout of a VMDK sparse extent header (little-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qelda::disk::vmdk {

inline constexpr std::uint32_t kSparseMagic = 0x564D444B;   // "KDMV"
inline constexpr std::string_view kSparseMagicText = "KDMV";
inline constexpr std::size_t kCapacity = 12;                 // u64, sectors
inline constexpr std::size_t kGrainSize = 20;                // u64, sectors per grain
inline constexpr std::size_t kDescriptorOffset = 28;         // u64, sector
inline constexpr std::size_t kDescriptorSize = 36;           // u64, sectors
inline constexpr std::size_t kGrainTableEntries = 44;        // u32
inline constexpr std::size_t kRedundantGrainDirectory = 48;  // u64, sector
inline constexpr std::size_t kGrainDirectory = 56;           // u64, sector

}  // namespace qelda::disk::vmdk
