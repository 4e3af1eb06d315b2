// Byte offsets of the header block at the start of a scan-information file (1024 bytes,
// little-endian, packed). Bytes not named here are written as zero and not read.
#pragma once

#include <cstddef>

namespace qelda::engine::scan_header {

inline constexpr std::size_t kSize = 1024;

inline constexpr std::size_t kDrive = 1;             // u8  drive number of the source (0x80 + n)
inline constexpr std::size_t kFatSectors = 3;        // u32 FAT: sectors per FAT; exFAT: table length
inline constexpr std::size_t kRootCluster = 7;       // u32 FAT32, exFAT
inline constexpr std::size_t kClusterMapBytes = 11;  // u32 length of the saved cluster map
inline constexpr std::size_t kFat = 16;              // u8  FAT: sectors per cluster; 0 otherwise
inline constexpr std::size_t kFsCode = 17;           // u8  0, 1, 2 FAT12/16/32; 3 exFAT; 7 NTFS
inline constexpr std::size_t kTableMode = 18;        // u8  0 "FAT1", 1 "FAT2", 2 "Contiguous"
inline constexpr std::size_t kReservedSectors = 19;  // u32 FAT: reserved sectors; exFAT: table offset
inline constexpr std::size_t kRootDirSectors = 23;   // u32 FAT
inline constexpr std::size_t kMftSector = 27;        // u64 NTFS, volume-relative
inline constexpr std::size_t kMftMirrSector = 35;    // u64 NTFS
inline constexpr std::size_t kMftRunCount = 43;      // u32 NTFS
inline constexpr std::size_t kMftRunListBytes = 47;  // u32 NTFS, kMftRunBytes a run
inline constexpr std::size_t kRunRecordCount = 51;   // u32 NTFS, entries of kRunRecordBytes
inline constexpr std::size_t kFirstRunRecord = 55;   // u32 NTFS: MFT record of the first entry
inline constexpr std::size_t kSectorsPerCluster = 59;  // u16
inline constexpr std::size_t kImageFile = 62;          // u8  the source was read from a file by path
inline constexpr std::size_t kStartSector = 63;        // u64
inline constexpr std::size_t kLastSector = 71;         // u64
inline constexpr std::size_t kSectorCount = 79;        // u64
// Where the parts after the header end: the loader's bounds.
inline constexpr std::size_t kEngineTableBytes = 87;  // u64 length of the engine tables
inline constexpr std::size_t kSourceEntryCount = 95;  // u32 source entries after the tables
inline constexpr std::size_t kFoundItemCount = 99;    // u32 found items after the entries
inline constexpr std::size_t kAbsoluteSectors = 357;  // u8  FAT, exFAT
inline constexpr std::size_t kSourcePath = 358;       // UTF-16[260]
inline constexpr std::size_t kSourcePathUnits = 260;
inline constexpr std::size_t kDriveModel = 878;  // char[41]
inline constexpr std::size_t kDriveModelBytes = 41;
inline constexpr std::size_t kDriveSerial = 919;  // char[21]
inline constexpr std::size_t kDriveSerialBytes = 21;
inline constexpr std::size_t kDriveFirmware = 940;  // char[9]
inline constexpr std::size_t kDriveFirmwareBytes = 9;
inline constexpr std::size_t kDriveLength = 949;        // u32 sectors of the source drive
inline constexpr std::size_t kSourceKind = 953;         // u8
inline constexpr std::size_t kExFatClusterCount = 954;  // u32
inline constexpr std::size_t kNoDriveSearch = 958;      // u8

inline constexpr std::size_t kMftRunBytes = 14;
inline constexpr std::size_t kRunRecordBytes = 28;

}  // namespace qelda::engine::scan_header
