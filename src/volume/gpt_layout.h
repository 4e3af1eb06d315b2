// Offsets and constants of the GUID partition table header and its entries (little-endian).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qelda::volume::gpt {
inline constexpr std::size_t kSignature = 0x00;  // "EFI PART"
inline constexpr std::size_t kHeaderSize = 0x0C;     // u32, bytes the header CRC covers
inline constexpr std::size_t kHeaderCrc = 0x10;      // u32, CRC-32 of the header, itself as zero
inline constexpr std::size_t kMyLba = 0x18;          // u64, the sector this header is in
inline constexpr std::size_t kAlternateLba = 0x20;   // u64, the other header's sector
inline constexpr std::size_t kEntryArrayLba = 0x48;  // u64
inline constexpr std::size_t kEntryCount = 0x50;     // u32
inline constexpr std::size_t kEntrySize = 0x54;      // u32
inline constexpr std::size_t kEntryArrayCrc = 0x58;  // u32, CRC-32 of count x size entry bytes
// Header sizes a sound header gives: every field above, and no more than its sector.
inline constexpr std::uint32_t kMinHeaderSize = 92;
inline constexpr std::uint32_t kMaxHeaderSize = 512;

// Within an entry; the walk examines the first 128 bytes of an entry of any size.
inline constexpr std::size_t kWorkAreaSize = 128;
inline constexpr std::size_t kTypeGuid = 0x00;   // 16 bytes, mixed-endian
inline constexpr std::size_t kFirstLba = 0x20;   // u64
inline constexpr std::size_t kLastLba = 0x28;    // u64, inclusive
inline constexpr std::size_t kName = 0x38;       // UTF-16, 36 units
inline constexpr std::size_t kNameUnits = 36;

// Entry arrays larger than this are damaged: real tables hold 128 entries, and this many
// 512-byte entries already fill 8 MiB.
inline constexpr std::uint32_t kMaxEntries = 16384;

// Type GUIDs as the bytes stand on disk (the first three groups little-endian).
// EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
inline constexpr std::array<std::uint8_t, 16> kBasicDataType = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                                                0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
// 5808C8AA-7E8F-42E0-85D2-E1E90434CFB3
inline constexpr std::array<std::uint8_t, 16> kLdmMetadataType = {0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42,
                                                                  0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3};
}  // namespace qelda::volume::gpt
