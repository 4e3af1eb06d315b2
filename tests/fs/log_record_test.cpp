// Journal pages and log records: fixups, the bounds every length from the page gets, and
// the record position that always moves on.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "fs/log_record.h"
#include "ntfs/ntfs_log_pages.h"

namespace qelda::fs::ntfs {
namespace {

namespace F = logfile;
using qelda::ntfs::test::LogTarget;

std::array<std::uint8_t, F::kPageSize> asPage(const std::vector<std::uint8_t>& bytes) {
  std::array<std::uint8_t, F::kPageSize> page{};
  std::copy(bytes.begin(), bytes.end(), page.begin());
  return page;
}

const LogTarget kTarget{77, F::kOpUpdateMappingPairs, 0x98, 0x40, 2, 19, 4711};

TEST(NtfsLogPage, FixupAndKinds) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
    LogPageKind kind;
  };
  const Case cases[] = {
      {"record page", 0, {}, LogPageKind::Record},
      {"the 0xFF fill", 0, {0xFF, 0xFF, 0xFF, 0xFF}, LogPageKind::Empty},
      {"restart or foreign page", 0, {'R', 'S', 'T', 'R'}, LogPageKind::Other},
      {"update sequence of the wrong length", F::kPageUsaCount, {8, 0}, LogPageKind::Other},
      {"update sequence past the header", F::kPageUsaOffset, {0x38, 0}, LogPageKind::Other},
  };
  const std::vector<std::uint8_t> record = qelda::ntfs::test::logRecord(kTarget, std::vector<std::uint8_t>(1100, 0x5A));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto page = asPage(qelda::ntfs::test::recordPage(5, {record}));
    std::copy(c.bytes.begin(), c.bytes.end(), page.begin() + std::ptrdiff_t(c.offset));
    const auto before = page;
    EXPECT_EQ(ApplyPageFixup(page), c.kind);
    if (c.kind != LogPageKind::Record) {
      EXPECT_EQ(page, before);
      continue;
    }
    // Sector 1's end lies inside the record's undo data again.
    EXPECT_EQ(page[1022], 0x5A);
    EXPECT_EQ(page[1023], 0x5A);
  }
}

TEST(NtfsLogRecord, LengthsAndPiecesStayInsideTheRecord) {
  auto page = asPage(qelda::ntfs::test::recordPage(5, {qelda::ntfs::test::logRecord(kTarget, {0x11, 0x04, 0x20, 0x00})}));
  ASSERT_EQ(ApplyPageFixup(page), LogPageKind::Record);
  const platform::ByteView view(page);
  const std::uint32_t length = logRecordLength(view, F::kPageHeader);
  EXPECT_EQ(length, 0x30u + 0x28u + 8u);
  const auto r = parseLogRecord(*view.sub(F::kPageHeader, length));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->lsn, 77u);
  EXPECT_EQ(r->redoOp, F::kOpUpdateMappingPairs);
  EXPECT_EQ(r->recordOffset, 0x98);
  EXPECT_EQ(r->attributeOffset, 0x40);
  EXPECT_EQ(r->clusterBlockOffset, 2);
  EXPECT_EQ(r->targetVcn, 19u);
  EXPECT_EQ(r->targetLcn, 4711u);
  EXPECT_EQ(r->undo.size(), 4u);
  EXPECT_EQ(r->redo.size(), 0u);

  struct Case {
    const char* what;
    std::size_t field;
    std::uint16_t value;
    platform::ParseError error;
  };
  const Case damaged[] = {
      {"undo data past the record", F::kUndoLength, 0x200, platform::ParseError::OutOfRange},
      {"redo data past the record", F::kRedoOffset, 0xFFF0, platform::ParseError::OutOfRange},
  };
  for (const Case& c : damaged) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes(page.begin() + F::kPageHeader, page.begin() + F::kPageHeader + length);
    if (c.field == F::kRedoOffset) platform::putLe16(&bytes[F::kRedoLength], 8);
    platform::putLe16(&bytes[c.field], c.value);
    const auto bad = parseLogRecord(platform::ByteView(bytes));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), c.error);
  }
  EXPECT_FALSE(parseLogRecord(*view.sub(F::kPageHeader, 0x50)));
}

TEST(NtfsLogRecord, ClaimedLengthsAreBounded) {
  std::array<std::uint8_t, F::kPageSize> page{};
  platform::putLe32(&page[0x40 + F::kRecordClientLength], 0xFFFFFFF0);  // wraps in 32 bits
  EXPECT_GT(logRecordLength(platform::ByteView(page), 0x40), F::kMaxRecordBytes);
  platform::putLe32(&page[0x40 + F::kRecordClientLength], 0);
  EXPECT_EQ(logRecordLength(platform::ByteView(page), 0x40), F::kRecordHeader);
  // No room for a header at the page's end.
  EXPECT_EQ(logRecordLength(platform::ByteView(page), F::kPageSize - 0x20), 0u);
}

TEST(NtfsLogRecord, NextPositionAlwaysMovesOn) {
  struct Case {
    std::size_t offset;
    std::uint32_t length;
    std::size_t next;
  };
  const Case cases[] = {
      {0x40, 0x58, 0x98},  {0x40, 0x5B, 0xA0},   {0x40, 0, 0x48},
      {0x40, 0xF90, 0xFD0},   {0x40, 0xF98, 0x1000},  // fewer than 48 bytes would be left
      {0xFD0, 8, 0x1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset + c.length);
    EXPECT_EQ(NextRecordPosition(c.offset, c.length), c.next);
    EXPECT_GT(NextRecordPosition(c.offset, c.length), c.offset);
  }
}

}  // namespace
}  // namespace qelda::fs::ntfs
