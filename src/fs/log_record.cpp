#include "fs/log_record.h"

#include <algorithm>

namespace qelda::fs::ntfs {

namespace F = logfile;

LogPageKind ApplyPageFixup(std::span<std::uint8_t, logfile::kPageSize> page) {
  const platform::ByteView view(page);
  if (view.le32(0) == std::uint32_t{0xFFFFFFFF}) return LogPageKind::Empty;
  if (!view.matches(0, "RCRD")) return LogPageKind::Other;
  const std::size_t usa = *view.le16(F::kPageUsaOffset);
  const std::size_t count = *view.le16(F::kPageUsaCount);
  constexpr std::size_t sectors = F::kPageSize / 512;
  // The array holds the sequence number and one word per sector, inside the page header.
  if (count != sectors + 1 || usa < 0x28 || usa + 2 * count > F::kPageHeader) return LogPageKind::Other;
  for (std::size_t k = 0; k < sectors; ++k) {
    page[k * 512 + 510] = page[usa + 2 + 2 * k];
    page[k * 512 + 511] = page[usa + 3 + 2 * k];
  }
  return LogPageKind::Record;
}

std::uint32_t logRecordLength(platform::ByteView page, std::size_t offset) {
  const auto client = page.le32(offset + F::kRecordClientLength);
  if (!client || !page.has(offset, F::kRecordHeader)) return 0;
  // Computed in 64 bits: a length near 2^32 must not wrap to a small one.
  const std::uint64_t length = std::uint64_t(*client) + F::kRecordHeader;
  return length > F::kMaxRecordBytes ? F::kMaxRecordBytes + 1 : std::uint32_t(length);
}

platform::Parsed<LogRecord> parseLogRecord(platform::ByteView record) {
  if (!record.has(0, F::kFixedPart)) return platform::ParseError::Truncated;
  LogRecord r;
  r.lsn = *record.le64(F::kRecordLsn);
  r.redoOp = *record.le16(F::kRedoOp);
  r.undoOp = *record.le16(F::kUndoOp);
  r.recordOffset = *record.le16(F::kTargetRecordOffset);
  r.attributeOffset = *record.le16(F::kTargetAttributeOffset);
  r.clusterBlockOffset = *record.le16(F::kClusterBlockOffset);
  r.targetVcn = std::uint32_t(*record.le64(F::kTargetVcn));
  r.targetLcn = std::uint32_t(*record.le64(F::kTargetLcn));
  // Offsets count from the client data's start; both pieces must lie inside the record.
  const auto redo = record.sub(F::kRecordHeader + *record.le16(F::kRedoOffset), *record.le16(F::kRedoLength));
  const auto undo = record.sub(F::kRecordHeader + *record.le16(F::kUndoOffset), *record.le16(F::kUndoLength));
  if (!redo || !undo) return platform::ParseError::OutOfRange;
  r.redo = *redo;
  r.undo = *undo;
  return r;
}

std::size_t NextRecordPosition(std::size_t offset, std::uint32_t length) {
  const std::size_t next = (offset + std::max<std::uint32_t>(length, 8) + 7) / 8 * 8;
  return next + F::kMinRecordRoom > F::kPageSize ? F::kPageSize : next;
}

}  // namespace qelda::fs::ntfs
