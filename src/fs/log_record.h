// The NTFS journal ($LogFile): its 4096-byte record pages and the log records in them that
// the deleted-files passes read back (mapping pairs and attribute sizes of MFT records).
// Free functions over bytes: none of them reads the volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs::ntfs {

namespace logfile {
inline constexpr std::size_t kPageSize = 4096;
inline constexpr std::size_t kPageHeader = 0x40;          // the first record starts here
inline constexpr std::size_t kPageDataBytes = kPageSize - kPageHeader;  // 0xFC0 a page
inline constexpr std::size_t kPageUsaOffset = 0x04;       // u16
inline constexpr std::size_t kPageUsaCount = 0x06;        // u16: sectors + 1
inline constexpr std::size_t kPageLastLsn = 0x08;         // u64
inline constexpr std::size_t kRecordHeader = 0x30;        // the log record's own header
inline constexpr std::size_t kRecordLsn = 0x00;           // u64
inline constexpr std::size_t kRecordClientLength = 0x18;  // u32: the record is this + 0x30 bytes
inline constexpr std::size_t kRedoOp = 0x30;              // u16
inline constexpr std::size_t kUndoOp = 0x32;
inline constexpr std::size_t kRedoOffset = 0x34;          // u16, from 0x30
inline constexpr std::size_t kRedoLength = 0x36;
inline constexpr std::size_t kUndoOffset = 0x38;
inline constexpr std::size_t kUndoLength = 0x3A;
inline constexpr std::size_t kTargetRecordOffset = 0x40;  // u16: the attribute's offset in the MFT record
inline constexpr std::size_t kTargetAttributeOffset = 0x42;  // u16: the change's offset in the attribute
inline constexpr std::size_t kClusterBlockOffset = 0x44;  // u16: sector of the record in its cluster
inline constexpr std::size_t kTargetVcn = 0x48;           // u64, low half used
inline constexpr std::size_t kTargetLcn = 0x50;           // u64, low half used
inline constexpr std::size_t kFixedPart = 0x58;           // what a record must hold to be read
// The longest record the journal is trusted with, and the fewest bytes a record can start in.
inline constexpr std::uint32_t kMaxRecordBytes = 0x64000;
inline constexpr std::size_t kMinRecordRoom = 48;
inline constexpr std::uint16_t kOpUpdateMappingPairs = 0x09;
inline constexpr std::uint16_t kOpSetNewAttributeSizes = 0x0B;
}  // namespace logfile

enum class LogPageKind : std::uint8_t { Record, Empty, Other };

// Looks at a page and, for an "RCRD" page, puts each sector's replacement word back into its
// last two bytes (word at 0x2A + 2k for sector k). An update sequence that does not fit the
// page makes it Other, untouched. Empty: the page still holds the 0xFF fill of a new journal.
LogPageKind ApplyPageFixup(std::span<std::uint8_t, logfile::kPageSize> page);

// The length a record at `offset` of a page claims (header + client data); 0 when the page
// has no room for its header there.
std::uint32_t logRecordLength(platform::ByteView page, std::size_t offset);

// The fields of one whole log record that the journal analysis matches and copies.
struct LogRecord {
  std::uint64_t lsn = 0;
  std::uint16_t redoOp = 0;
  std::uint16_t undoOp = 0;
  std::uint16_t recordOffset = 0;
  std::uint16_t attributeOffset = 0;
  std::uint16_t clusterBlockOffset = 0;
  std::uint32_t targetVcn = 0;
  std::uint32_t targetLcn = 0;
  platform::ByteView redo;  // inside the record
  platform::ByteView undo;
};

// A whole record (as assembled from its pages); OutOfRange when its redo or undo data leave it.
platform::Parsed<LogRecord> parseLogRecord(platform::ByteView record);

// Where the next record starts after one of `length` bytes at `offset` in a page: 8-byte
// aligned, always past `offset`; kPageSize when fewer than 48 bytes would remain.
std::size_t NextRecordPosition(std::size_t offset, std::uint32_t length);

}  // namespace qelda::fs::ntfs
