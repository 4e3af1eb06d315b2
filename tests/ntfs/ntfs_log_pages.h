// Hand-made journal pages and log records, laid out as they lie on disk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fs/log_record.h"
#include "platform/byte_view.h"

namespace qelda::ntfs::test {

namespace F = logfile;

// A record page as it lies on disk, holding the given log records from offset 0x40.
inline std::vector<std::uint8_t> recordPage(std::uint64_t lastLsn, const std::vector<std::vector<std::uint8_t>>& records) {
  std::vector<std::uint8_t> page(F::kPageSize, 0);
  std::copy_n("RCRD", 4, page.begin());
  platform::putLe16(&page[F::kPageUsaOffset], 0x28);
  platform::putLe16(&page[F::kPageUsaCount], 9);
  platform::putLe64(&page[F::kPageLastLsn], lastLsn);
  std::size_t pos = F::kPageHeader;
  for (const auto& r : records) {
    std::copy(r.begin(), r.end(), page.begin() + std::ptrdiff_t(pos));
    pos = (pos + r.size() + 7) / 8 * 8;
  }
  platform::putLe16(&page[0x28], 0x0707);
  for (std::size_t k = 0; k < 8; ++k) {
    page[0x2A + 2 * k] = page[k * 512 + 510];
    page[0x2B + 2 * k] = page[k * 512 + 511];
    page[k * 512 + 510] = page[k * 512 + 511] = 0x07;
  }
  return page;
}

struct LogTarget {
  std::uint64_t lsn;
  std::uint16_t op;
  std::uint16_t recordOffset, attributeOffset, clusterBlockOffset;
  std::uint32_t vcn, lcn;
};

// One log record whose undo data are `undo` (and no redo data).
inline std::vector<std::uint8_t> logRecord(const LogTarget& t, const std::vector<std::uint8_t>& undo) {
  const std::size_t client = 0x28 + (undo.size() + 7) / 8 * 8;
  std::vector<std::uint8_t> r(F::kRecordHeader + client, 0);
  platform::putLe64(&r[F::kRecordLsn], t.lsn);
  platform::putLe32(&r[F::kRecordClientLength], std::uint32_t(client));
  platform::putLe16(&r[F::kRedoOp], t.op);
  platform::putLe16(&r[F::kUndoOp], t.op);
  platform::putLe16(&r[F::kRedoOffset], 0x28);
  platform::putLe16(&r[F::kUndoOffset], 0x28);
  platform::putLe16(&r[F::kUndoLength], std::uint16_t(undo.size()));
  platform::putLe16(&r[F::kTargetRecordOffset], t.recordOffset);
  platform::putLe16(&r[F::kTargetAttributeOffset], t.attributeOffset);
  platform::putLe16(&r[F::kClusterBlockOffset], t.clusterBlockOffset);
  platform::putLe64(&r[F::kTargetVcn], t.vcn);
  platform::putLe64(&r[F::kTargetLcn], t.lcn);
  std::copy(undo.begin(), undo.end(), r.begin() + 0x58);
  return r;
}

}  // namespace qelda::ntfs::test
