// On-disk layout of a VDI image header (little-endian, the file's first 512 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qelda::image::vdi {

inline constexpr std::size_t kHeaderBytes = 512;
inline constexpr std::size_t kHeaderText = 0x00;       // 8-bit text, informative only
inline constexpr std::size_t kHeaderTextLength = 39;
inline constexpr std::string_view kVirtualBoxText = "<<< Oracle VM VirtualBox Disk Image >>>";
inline constexpr std::size_t kSignature = 0x40;         // u32
inline constexpr std::uint32_t kSignatureValue = 0xBEDA107F;
inline constexpr std::size_t kVersionMinor = 0x44;      // u16
inline constexpr std::size_t kVersionMajor = 0x46;      // u16; only version 1 headers have this layout
inline constexpr std::size_t kHeaderSize = 0x48;        // u32, bytes of header from 0x48 on
inline constexpr std::size_t kImageType = 0x4C;         // u32: 1 dynamic, 2 static
inline constexpr std::size_t kBlockMapOffset = 0x154;   // u32, bytes
inline constexpr std::size_t kDataOffset = 0x158;       // u32, bytes
inline constexpr std::size_t kDiskSize = 0x170;         // u64, bytes
inline constexpr std::size_t kBlockSize = 0x178;        // u32, bytes
inline constexpr std::size_t kBlockExtra = 0x17C;       // u32, bytes of metadata before each block
inline constexpr std::size_t kBlocksInDisk = 0x180;     // u32, entries of the block map
inline constexpr std::size_t kParentUuid = 0x1A8;       // 16 bytes: the parent of a differencing image
// The header must reach past the last field we read.
inline constexpr std::uint32_t kMinHeaderSize = kBlocksInDisk + 4 - kHeaderSize;

inline constexpr std::uint32_t kImageDynamic = 1;
inline constexpr std::uint32_t kImageStatic = 2;
inline constexpr std::uint32_t kImageDifferencing = 4;

// Block map entries that hold no data: both read as zeros.
inline constexpr std::uint32_t kBlockFree = 0xFFFFFFFF;
inline constexpr std::uint32_t kBlockZero = 0xFFFFFFFE;

}  // namespace qelda::image::vdi
