// Where the fields of exFAT's on-disk structures lie: the boot sector and the 32-byte
// directory entries. Offsets and constants only; the parsers read through ByteView.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelda::fs::exfat {

inline constexpr std::size_t kSectorBytes = 512;

namespace boot {
inline constexpr std::size_t kFileSystemName = 3;          // "EXFAT   "
inline constexpr std::size_t kVolumeLength = 72;           // u64, sectors
inline constexpr std::size_t kFatOffset = 80;              // u32, sectors from the volume start
inline constexpr std::size_t kFatLength = 84;              // u32, sectors
inline constexpr std::size_t kClusterHeapOffset = 88;      // u32, sectors from the volume start
inline constexpr std::size_t kClusterCount = 92;           // u32
inline constexpr std::size_t kRootCluster = 96;            // u32
inline constexpr std::size_t kVolumeFlags = 106;           // u16
inline constexpr std::size_t kBytesPerSectorShift = 108;   // u8
inline constexpr std::size_t kSectorsPerClusterShift = 109;  // u8
inline constexpr std::size_t kNumberOfFats = 110;          // u8
inline constexpr std::size_t kPercentInUse = 112;          // u8

// The backup boot region starts this many sectors after the main one.
inline constexpr std::uint64_t kBackupBootSector = 12;
// A boot region: the boot sector, 8 extended boot sectors, OEM parameters, a reserved
// sector, then the checksum sector.
inline constexpr std::size_t kBootRegionSectors = 12;
inline constexpr std::size_t kChecksumSector = 11;
}  // namespace boot

namespace entry {
inline constexpr std::size_t kSize = 32;
inline constexpr std::size_t kType = 0;

// Entry types. Bit 7 is the in-use bit: a deleted entry keeps the type without it.
inline constexpr std::uint8_t kInUse = 0x80;
inline constexpr std::uint8_t kBitmap = 0x81;
inline constexpr std::uint8_t kUpcase = 0x82;
inline constexpr std::uint8_t kLabel = 0x83;
inline constexpr std::uint8_t kFile = 0x85;
inline constexpr std::uint8_t kDeletedFile = 0x05;
inline constexpr std::uint8_t kStream = 0xC0;
inline constexpr std::uint8_t kDeletedStream = 0x40;
inline constexpr std::uint8_t kName = 0xC1;
inline constexpr std::uint8_t kDeletedName = 0x41;

// File entry (0x85 / 0x05).
inline constexpr std::size_t kSecondaryCount = 1;  // u8
inline constexpr std::size_t kAttributes = 4;      // u16; the low byte holds the folder bit
inline constexpr std::size_t kCreated = 8;         // u32 timestamp
inline constexpr std::size_t kModified = 12;       // u32 timestamp

// Stream extension (0xC0 / 0x40).
inline constexpr std::size_t kStreamFlags = 1;      // u8
inline constexpr std::size_t kNameLength = 3;       // u8, characters
inline constexpr std::size_t kValidDataLength = 8;  // u64
inline constexpr std::size_t kFirstCluster = 20;    // u32 (also in bitmap and up-case entries)
inline constexpr std::size_t kDataLength = 24;      // u64 (also in bitmap and up-case entries)
inline constexpr std::uint8_t kNoFatChain = 0x02;   // the data is contiguous, the FAT holds no chain

// File name entry (0xC1 / 0x41).
inline constexpr std::size_t kNameChars = 2;  // 15 UTF-16 characters
inline constexpr std::size_t kCharsPerNameEntry = 15;

// Allocation bitmap entry (0x81): bit 0 of its flags picks the FAT the bitmap belongs to.
inline constexpr std::size_t kBitmapFlags = 1;
// Up-case table entry (0x82).
inline constexpr std::size_t kUpcaseChecksum = 4;  // u32
// Volume label entry (0x83).
inline constexpr std::size_t kLabelLength = 1;  // u8, characters
inline constexpr std::size_t kLabelChars = 2;   // up to 11 UTF-16 characters
inline constexpr std::size_t kMaxLabelChars = 11;
}  // namespace entry

// The folder bit of the attribute byte.
inline constexpr std::uint8_t kAttributeFolder = 0x10;
// Longest name a set can hold, in characters.
inline constexpr std::size_t kMaxNameChars = 255;
// Largest directory the format allows, in bytes.
inline constexpr std::uint64_t kMaxDirectoryBytes = 256ull * 1024 * 1024;

}  // namespace qelda::fs::exfat
