// Hand-made journal pages and log records, laid out as they lie on disk.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "fs/log_record.h"
#include "platform/byte_view.h"

namespace qelda::ntfs::test {

namespace F = qelda::fs::ntfs::logfile;

// Record pages as they lie on disk, holding the given log records one after the other from
// offset 0x40 of the first: 8-byte aligned, a record that does not fit the rest of a page
// going on in the next page's data, a new page where fewer than 48 bytes are left.
inline std::vector<std::uint8_t> recordPages(std::uint64_t lastLsn, const std::vector<std::vector<std::uint8_t>>& records) {
  std::vector<std::array<std::uint8_t, F::kPageSize>> pages(1);
  std::size_t pos = F::kPageHeader;
  for (const auto& r : records) {
    if (pos >= F::kPageSize) pages.emplace_back(), pos = F::kPageHeader;
    std::size_t done = 0;
    for (;;) {
      const std::size_t n = std::min(r.size() - done, F::kPageSize - pos);
      std::copy_n(r.begin() + std::ptrdiff_t(done), n, pages.back().begin() + std::ptrdiff_t(pos));
      done += n;
      if (done == r.size()) {
        pos = qelda::fs::ntfs::NextRecordPosition(pos, std::uint32_t(n));
        break;
      }
      pages.emplace_back();
      pos = F::kPageHeader;
    }
  }
  std::vector<std::uint8_t> out;
  for (auto& page : pages) {
    std::copy_n("RCRD", 4, page.begin());
    platform::putLe16(&page[F::kPageUsaOffset], 0x28);
    platform::putLe16(&page[F::kPageUsaCount], 9);
    platform::putLe64(&page[F::kPageLastLsn], lastLsn);
    platform::putLe16(&page[0x28], 0x0707);
    for (std::size_t k = 0; k < 8; ++k) {
      page[0x2A + 2 * k] = page[k * 512 + 510];
      page[0x2B + 2 * k] = page[k * 512 + 511];
      page[k * 512 + 510] = page[k * 512 + 511] = 0x07;
    }
    out.insert(out.end(), page.begin(), page.end());
  }
  return out;
}

inline std::vector<std::uint8_t> recordPage(std::uint64_t lastLsn, const std::vector<std::vector<std::uint8_t>>& records) {
  return recordPages(lastLsn, records);
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
