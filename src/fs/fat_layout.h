// Where the FAT engine finds its fields on disk: the boot sector, the FAT copies and the
// 32-byte directory entries. Offsets and constants only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelda::fs::fat {

// The unit every sector count is kept in, whatever sector size a boot sector gives.
inline constexpr std::uint32_t kSectorBytes = 512;

namespace boot {
inline constexpr std::size_t kBytesPerSector = 11;    // u16 (counts are turned into 512-byte sectors)
inline constexpr std::size_t kSectorsPerCluster = 13; // u8
inline constexpr std::size_t kReservedSectors = 14;   // u16
inline constexpr std::size_t kFatCount = 16;          // u8 (1, else two copies are assumed)
inline constexpr std::size_t kRootEntries = 17;       // u16
inline constexpr std::size_t kTotalSectors16 = 19;    // u16
inline constexpr std::size_t kMedia = 21;             // u8
inline constexpr std::size_t kSectorsPerFat16 = 22;   // u16; 0 on FAT32
inline constexpr std::size_t kTotalSectors32 = 32;    // u32
inline constexpr std::size_t kSectorsPerFat32 = 36;   // u32
inline constexpr std::size_t kRootCluster = 44;       // u32
inline constexpr std::uint64_t kBackupSector = 6;     // FAT32 keeps a copy of the boot sector here
}  // namespace boot

// FAT types as the engine numbers them.
inline constexpr std::uint8_t kFat12 = 0;
inline constexpr std::uint8_t kFat16 = 1;
inline constexpr std::uint8_t kFat32 = 2;

// Linking modes: which copy of the FAT chains are read from, or none.
inline constexpr std::uint8_t kLinkFat1 = 0;
inline constexpr std::uint8_t kLinkFat2 = 1;
inline constexpr std::uint8_t kLinkContiguous = 2;

// Entry values. A chain ends at or above the end value; the bad-cluster mark sits just below.
inline constexpr std::uint32_t kFat12End = 0xFF8;
inline constexpr std::uint32_t kFat16End = 0xFFF8;
inline constexpr std::uint32_t kFat32End = 0x0FFFFFFF;        // the chain follower's stop value
inline constexpr std::uint32_t kFat32EndMarks = 0x0FFFFFF8;   // first end-of-chain mark on FAT32
inline constexpr std::uint32_t kFat32Mask = 0x0FFFFFFF;
inline constexpr std::uint32_t kFat12Bad = 0xFF7;
inline constexpr std::uint32_t kFat16Bad = 0xFFF7;
inline constexpr std::uint32_t kFat32Bad = 0x0FFFFFF7;
// Twelve-bit entries that fit one sector wholly (512 * 8 / 12, the remainder ignored).
inline constexpr std::uint32_t kFat12EntriesPerSector = 341;

// The largest FAT we accept, in sectors. FAT16 holds at most 65536 sixteen-bit entries
// (formatters pad FAT12 tables, so it gets the same room); FAT32 at most 2^28 entries, one
// sector less so that no data cluster number reaches the end-of-chain marks.
inline constexpr std::uint32_t kMaxFatSectorsSmall = 256;
inline constexpr std::uint32_t kMaxFatSectors32 = (1u << 21) - 1;

namespace dirent {
inline constexpr std::size_t kSize = 32;
inline constexpr std::size_t kName = 0;          // 8 bytes, blank padded
inline constexpr std::size_t kExtension = 8;     // 3 bytes, blank padded
inline constexpr std::size_t kAttributes = 11;   // u8
inline constexpr std::size_t kCaseFlags = 12;    // u8: which parts of the short name are lower case
inline constexpr std::size_t kCreateTime = 14;   // u16
inline constexpr std::size_t kCreateDate = 16;   // u16
inline constexpr std::size_t kClusterHigh = 20;  // u16
inline constexpr std::size_t kWriteTime = 22;    // u16
inline constexpr std::size_t kWriteDate = 24;    // u16
inline constexpr std::size_t kClusterLow = 26;   // u16
inline constexpr std::size_t kFileSize = 28;     // u32

inline constexpr std::uint8_t kDeletedMark = 0xE5;
inline constexpr std::uint8_t kStoredE5 = 0x05;  // a first byte 0xE5 of a live name, as stored
inline constexpr std::uint8_t kEndMark = 0x00;
inline constexpr std::uint8_t kDot = 0x2E;

inline constexpr std::uint8_t kAttrLabel = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kAttrArchive = 0x20;
inline constexpr std::uint8_t kAttrLongName = 0x0F;
inline constexpr std::uint8_t kAttrHighest = 0x3F;

// A short name with no long name is shown in lower case where these flags say so.
inline constexpr std::uint8_t kLowerCaseBase = 0x08;
inline constexpr std::uint8_t kLowerCaseExtension = 0x10;

// A long-name entry carries 13 UTF-16 characters in three pieces, after the byte that gives
// its place in the name: its number from 1 (the piece nearest the short entry), with kLongLast
// on the name's last piece (the farthest); 0xE5 once the name is deleted.
inline constexpr std::size_t kLongOrder = 0;      // u8
inline constexpr std::uint8_t kLongNumber = 0x1F;
inline constexpr std::uint8_t kLongLast = 0x40;
inline constexpr std::size_t kLongChecksum = 13;  // u8: of the short entry's 11 name bytes
inline constexpr std::size_t kLongPiece1 = 1;   // 5 characters
inline constexpr std::size_t kLongPiece2 = 14;  // 6 characters
inline constexpr std::size_t kLongPiece3 = 28;  // 2 characters
inline constexpr std::size_t kLongNameChars = 13;
inline constexpr std::size_t kMaxLongName = 260;
}  // namespace dirent

}  // namespace qelda::fs::fat
