#include "fs/ntfs_run_record.h"

#include "fs/ntfs_layout.h"

namespace qelda::fs::ntfs {

namespace L = layout;

std::array<std::uint8_t, 28> encodeRunRecord(const RunRecord& r) {
  std::array<std::uint8_t, 28> out{};
  platform::putLe64(out.data() + L::kRunRecordSector, r.sector);
  platform::putLe32(out.data() + L::kRunRecordItemId, r.itemId);
  platform::putLe32(out.data() + L::kRunRecordParent, r.parent);
  platform::putLe32(out.data() + L::kRunRecordNumber, r.recordNumber);
  platform::putLe32(out.data() + L::kRunRecordIsFile, r.isFile);
  platform::putLe32(out.data() + L::kRunRecordMark, r.mark);
  return out;
}

platform::Parsed<RunRecord> decodeRunRecord(platform::ByteView bytes) {
  if (!bytes.has(0, L::kRunRecordBytes)) return platform::ParseError::Truncated;
  RunRecord r;
  r.sector = *bytes.le64(L::kRunRecordSector);
  r.itemId = *bytes.le32(L::kRunRecordItemId);
  r.parent = *bytes.le32(L::kRunRecordParent);
  r.recordNumber = *bytes.le32(L::kRunRecordNumber);
  r.isFile = *bytes.le32(L::kRunRecordIsFile);
  r.mark = *bytes.le32(L::kRunRecordMark);
  if (r.isFile > 1 || r.mark > 1) return platform::ParseError::OutOfRange;
  return r;
}

}  // namespace qelda::fs::ntfs
