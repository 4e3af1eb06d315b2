// On-disk layout of the NTFS structures the engine reads: byte offsets and constants only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelda::fs::ntfs::layout {

// ---- boot sector (512 bytes) ----
inline constexpr std::size_t kBootOemId = 0x03;              // "NTFS"
inline constexpr std::size_t kBootBytesPerSector = 0x0B;     // u16: the volume's own sector size
inline constexpr std::size_t kBootSectorsPerCluster = 0x0D;  // u8; >= 0xF0 means 2^(256 - byte)
inline constexpr std::size_t kBootTotalSectors = 0x28;        // u64
inline constexpr std::size_t kBootMftCluster = 0x30;         // u64
inline constexpr std::size_t kBootMftMirrCluster = 0x38;     // u64
inline constexpr std::size_t kBootClustersPerRecord = 0x40;  // s8: clusters per MFT record; negative: 2^-n bytes
inline constexpr std::size_t kBootSignature = 0x1FE;         // 0x55 0xAA

// ---- MFT file record (1024 bytes; 2048 or 4096 where the volume's sectors are as large) ----
inline constexpr std::size_t kRecordSize = 1024;
inline constexpr std::size_t kMaxRecordSize = 4096;
inline constexpr std::size_t kRecordUsaOffset = 0x04;        // u16: 0x2A or 0x30
inline constexpr std::size_t kRecordUsaCount = 0x06;         // u16: one word per 512 bytes of the record, plus one
inline constexpr std::size_t kRecordSequence = 0x10;         // u16: grows each time the record is reused
inline constexpr std::size_t kRecordFirstAttribute = 0x14;   // u16
inline constexpr std::size_t kRecordFlags = 0x16;            // u16: 1 in use, 2 folder
inline constexpr std::size_t kRecordAllocatedSize = 0x1C;    // u32: the record's own size
inline constexpr std::size_t kRecordBaseReference = 0x20;    // u64: the base record of an extension record; 0 for a base
inline constexpr std::size_t kRecordNumber = 0x2C;           // u32, "FILE0" records only (fixup words in "FILE*")
inline constexpr std::uint8_t kRecordInUse = 0x01;
inline constexpr std::uint8_t kRecordFolder = 0x02;
inline constexpr std::uint16_t kUsaOffsetOld = 0x2A;         // "FILE*"
inline constexpr std::uint16_t kUsaOffsetNew = 0x30;         // "FILE0"
// The attribute walk looks at no more than this many attributes.
inline constexpr int kMaxAttributes = 30;

// ---- attribute header (offsets from the attribute start) ----
inline constexpr std::size_t kAttrType = 0x00;           // u32, low byte compared
inline constexpr std::size_t kAttrLength = 0x04;         // u32
inline constexpr std::size_t kAttrNonResident = 0x08;    // u8
inline constexpr std::size_t kAttrNameLength = 0x09;     // u8, characters
inline constexpr std::size_t kAttrFlags = 0x0C;          // u16: 0x00FF compression, 0x4000 encrypted, 0x8000 sparse
inline constexpr std::size_t kAttrValueLength = 0x10;    // u32, resident only
inline constexpr std::size_t kAttrValueOffset = 0x14;    // u16, resident only
inline constexpr std::size_t kAttrLowestVcn = 0x10;      // u64, non-resident only: first cluster of the stream here
inline constexpr std::size_t kAttrHighestVcn = 0x18;     // u64, non-resident only: last cluster of the stream here
inline constexpr std::size_t kAttrRunListOffset = 0x20;  // u16, non-resident only
inline constexpr std::size_t kAttrCompressionUnit = 0x22;
inline constexpr std::size_t kAttrAllocatedSize = 0x28;  // u64
inline constexpr std::size_t kAttrRealSize = 0x30;       // u64
inline constexpr std::size_t kAttrInitializedSize = 0x38;
inline constexpr std::size_t kResidentHeaderSize = 0x18;
inline constexpr std::size_t kNonResidentHeaderSize = 0x40;

inline constexpr std::uint16_t kAttrFlagCompressionMask = 0x00FF;
inline constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;

inline constexpr std::uint8_t kTypeStandardInformation = 0x10;
inline constexpr std::uint8_t kTypeAttributeList = 0x20;
inline constexpr std::uint8_t kTypeFileName = 0x30;
inline constexpr std::uint8_t kTypeData = 0x80;
inline constexpr std::uint8_t kTypeIndexRoot = 0x90;
inline constexpr std::uint8_t kTypeIndexAllocation = 0xA0;
inline constexpr std::uint8_t kTypeBitmap = 0xB0;            // of a folder: one bit per index block in use
inline constexpr std::uint8_t kTypeEnd = 0xFF;

// ---- resident contents ----
inline constexpr std::size_t kSiCreated = 0x00;            // FILETIME
inline constexpr std::size_t kSiModified = 0x08;           // FILETIME
inline constexpr std::size_t kSiAttributesByte1 = 0x21;    // 0x08 = compressed
inline constexpr std::size_t kFnParent = 0x00;             // low u32 of the parent reference
inline constexpr std::size_t kFnNameLength = 0x40;         // u8
inline constexpr std::size_t kFnNameSpace = 0x41;          // u8: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 & DOS
inline constexpr std::size_t kFnName = 0x42;
inline constexpr std::size_t kIndexRootBlockSize = 0x08;   // u32, index block bytes
inline constexpr std::size_t kIndexRootFirstEntry = 0x40;  // from the attribute start (resident, unnamed header + $I30)

// ---- attribute list entry ----
inline constexpr std::size_t kAlType = 0x00;       // u32
inline constexpr std::size_t kAlLength = 0x04;     // u16
inline constexpr std::size_t kAlNameLength = 0x06; // u8
inline constexpr std::size_t kAlStartVcn = 0x08;   // u64
inline constexpr std::size_t kAlRecord = 0x10;     // low u32 of the record reference
inline constexpr std::size_t kAlMinEntry = 0x1A;

// ---- index entry (offsets from the entry start) ----
inline constexpr std::size_t kIeRecord = 0x00;       // low u32 of the file reference
inline constexpr std::size_t kIeSequence = 0x06;     // u16: the record's sequence number the entry was made for
inline constexpr std::size_t kIeLength = 0x08;       // u16
inline constexpr std::size_t kIeFlags = 0x0C;        // u16: 2 = last entry of the node
inline constexpr std::size_t kIeParent = 0x10;       // low u32
inline constexpr std::size_t kIeCreated = 0x18;
inline constexpr std::size_t kIeModified = 0x20;
inline constexpr std::size_t kIeRealSize = 0x40;     // u64
inline constexpr std::size_t kIeFileAttributes = 0x48;  // u32
inline constexpr std::size_t kIeAttributesByte1 = 0x49; // 0x08 compressed, 0x40 encrypted
inline constexpr std::size_t kIeNameLength = 0x50;
inline constexpr std::size_t kIeNameSpace = 0x51;
inline constexpr std::size_t kIeName = 0x52;
inline constexpr std::uint16_t kIeFlagLast = 0x0002;
inline constexpr std::uint32_t kFileAttrDirectory = 0x10000000;  // "has a file-name index"
// Index entries in a 1024-byte record must start below this offset (as far below the end of
// a larger record).
inline constexpr std::size_t kRecordEntryLimit = 940;

// ---- "INDX" block ----
inline constexpr std::size_t kIndxUsaOffset = 0x04;    // u16
inline constexpr std::size_t kIndxUsaCount = 0x06;     // u16: sectors + 1
inline constexpr std::size_t kIndxNodeHeader = 0x18;  // entries start at 0x18 + u32 here
inline constexpr std::size_t kIndxNodeAllocated = 0x20;  // u32, from the node header
inline constexpr std::size_t kIndxUsaDefault = 0x28;

// ---- run record of the deep scan (28 bytes, kept in scan information) ----
inline constexpr std::size_t kRunRecordBytes = 28;
inline constexpr std::size_t kRunRecordSector = 0;        // u64, volume-relative
inline constexpr std::size_t kRunRecordItemId = 8;        // u32
inline constexpr std::size_t kRunRecordParent = 12;       // u32, parent record number
inline constexpr std::size_t kRunRecordNumber = 16;       // u32, record number
inline constexpr std::size_t kRunRecordIsFile = 20;       // u32, 1 file, 0 folder
inline constexpr std::size_t kRunRecordMark = 24;         // u32

inline constexpr std::uint32_t kCompressionUnitClusters = 16;
inline constexpr std::uint32_t kLznt1ChunkBytes = 4096;

}  // namespace qelda::fs::ntfs::layout
