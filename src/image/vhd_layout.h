// On-disk layout of a VHD footer, dynamic header and block allocation table (big-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qelda::image::vhd {

// Footer: the file's last 512 bytes (a dynamic disk keeps a copy at byte 0).
inline constexpr std::size_t kFooterBytes = 512;
inline constexpr std::size_t kFooterCookie = 0;         // 8 bytes
inline constexpr std::string_view kFooterCookieText = "conectix";
inline constexpr std::size_t kOriginalSize = 40;        // u64, bytes at creation
inline constexpr std::size_t kCurrentSize = 48;         // u64, bytes now: the disk's length
inline constexpr std::size_t kDiskType = 60;            // u32

inline constexpr std::uint32_t kDiskFixed = 2;
inline constexpr std::uint32_t kDiskDynamic = 3;
inline constexpr std::uint32_t kDiskDifferencing = 4;

// Dynamic header: 1024 bytes at byte 512.
inline constexpr std::uint64_t kDynamicHeaderAt = 512;
inline constexpr std::size_t kDynamicHeaderBytes = 1024;
inline constexpr std::size_t kDynamicCookie = 0;        // 8 bytes
inline constexpr std::string_view kDynamicCookieText = "cxsparse";
inline constexpr std::size_t kTableOffset = 16;         // u64, byte offset of the BAT
inline constexpr std::size_t kMaxTableEntries = 28;     // u32, blocks of the disk
inline constexpr std::size_t kBlockSize = 32;           // u32, data bytes per block
inline constexpr std::size_t kHeaderChecksum = 36;      // u32: one's complement of the byte sum

// BAT entry of a block that holds no data.
inline constexpr std::uint32_t kBlockUnused = 0xFFFFFFFF;

// A partition table's signature in the last two bytes of sector 0.
inline constexpr std::size_t kBootSignature = 510;

}  // namespace qelda::image::vhd
