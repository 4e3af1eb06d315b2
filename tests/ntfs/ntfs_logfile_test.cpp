// The journal analysis on a real volume: a deleted file whose record lost its sizes and
// mapping pairs comes back whole from hand-made journal pages that hold them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fs/log_record.h"
#include "fs/mft_record.h"
#include "fs/ntfs_layout.h"
#include "ntfs/ntfs_image_support.h"
#include "support/missing_images.h"
#include "ntfs/ntfs_log_pages.h"

namespace qelda::ntfs {
namespace {

using namespace qelda::ntfs::test;
namespace F = qelda::fs::ntfs::logfile;
using test::LogTarget;

// ntfs-deleted's mixed/dead.txt (record 79, 369000 bytes in runs of its own) with its sizes
// and mapping pairs cleared in its record, and what the journal needs to bring them back:
// the original pairs, the record's place and the byte where the journal's first run starts.
struct StrippedRecord {
  static constexpr std::uint32_t kDead = 79;
  std::string base = ntfsImagesDir() + "/ntfs-deleted";
  std::string original;
  std::unique_ptr<VolumeCopy> copy;
  std::vector<std::uint8_t> pairs;
  LogTarget target{};  // an update of those mapping pairs, LSN 900
  std::uint64_t journal = 0;

  void make() {
    ASSERT_NE(run("fls -r -d -p '" + base + ".img'").find("* 79-128-2:\tmixed/dead.txt"), std::string::npos);
    original = run("icat '" + base + ".img' 79");
    ASSERT_EQ(original.size(), 369000u);

    copy = std::make_unique<VolumeCopy>(base + ".img");
    MountedVolume probe;
    ASSERT_TRUE(probe.mount(copy->volumeImage(), copy->volume()));
    probe.engine->ScanVolume(1);
    const std::uint64_t recordByte = probe.engine->GetRecordSector(kDead) * 512;
    const std::uint32_t spc = probe.engine->m_nSectorsPerCluster;
    ASSERT_EQ(spc, 8u);

    // The record: its sizes and mapping pairs cleared, the original pairs kept for the journal.
    std::vector<std::uint8_t> record = copy->bytesAt(recordByte, 1024);
    ASSERT_TRUE(qelda::fs::ntfs::ApplyRecordFixup(record));
    const auto data = qelda::fs::ntfs::FindRecordData(platform::ByteView(record), false);
    ASSERT_TRUE(data && !data->resident);
    const std::size_t pairsEnd = std::size_t(data->attributeOffset) +
                                 platform::ByteView(record).le32(data->attributeOffset + qelda::fs::ntfs::layout::kAttrLength).value_or(0);
    pairs.assign(record.begin() + data->offset, record.begin() + std::ptrdiff_t(pairsEnd));
    std::fill(record.begin() + data->attributeOffset + qelda::fs::ntfs::layout::kAttrAllocatedSize,
              record.begin() + data->attributeOffset + qelda::fs::ntfs::layout::kAttrInitializedSize + 8, 0);
    std::fill(record.begin() + data->offset, record.begin() + std::ptrdiff_t(pairsEnd), 0);
    copy->patchRecord(recordByte, record);

    // The journal: record 2's first run.
    std::vector<std::uint8_t> logRecordBytes = copy->bytesAt(probe.engine->GetRecordSector(2) * 512, 1024);
    ASSERT_TRUE(qelda::fs::ntfs::ApplyRecordFixup(logRecordBytes));
    const auto logData = qelda::fs::ntfs::FindRecordData(platform::ByteView(logRecordBytes), false);
    ASSERT_TRUE(logData && !logData->resident);
    std::vector<qelda::fs::ntfs::RunEntry> logRuns;
    std::size_t offset = logData->offset;
    qelda::fs::ntfs::DecodeDataRuns(platform::ByteView(logRecordBytes), offset, logRuns, false, spc);
    const auto logExtents = qelda::fs::ntfs::runsToExtents(logRuns);
    ASSERT_TRUE(logExtents && !logExtents->empty());
    journal = logExtents->front().lcn * spc * 512;

    const std::uint64_t recordSector = recordByte / 512;
    target = {900, F::kOpUpdateMappingPairs, data->attributeOffset,
              std::uint16_t(data->offset - data->attributeOffset), std::uint16_t(kDead * 2 % spc),
              std::uint32_t(kDead * 2 / spc), std::uint32_t(recordSector / spc)};
  }
  // Journal page `page` onwards (record pages start at page 4, 16 KiB in).
  void putPages(std::uint64_t page, const std::vector<std::uint8_t>& bytes) {
    copy->patch(journal + page * F::kPageSize, bytes);
  }
  LogTarget sizesTarget(std::uint64_t lsn) const {
    LogTarget sizes = target;
    sizes.lsn = lsn;
    sizes.op = F::kOpSetNewAttributeSizes;
    sizes.attributeOffset = 0;
    return sizes;
  }
};

// The attribute sizes record's data: allocated, data and initialized size.
std::vector<std::uint8_t> sizeValues(std::uint64_t allocated, std::uint64_t size) {
  std::vector<std::uint8_t> v(24, 0);
  platform::putLe64(&v[0], allocated);
  platform::putLe64(&v[8], size);
  platform::putLe64(&v[16], size);
  return v;
}

TEST(NtfsLogFile, ADeletedFileWithoutSizeOrRunsComesBackFromTheJournal) {
  if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
  StrippedRecord dead;
  ASSERT_NO_FATAL_FAILURE(dead.make());

  // The first two pages hold the mapping pairs as the undo data of an update (running from
  // the first page into the second), an older update of the same attribute with other pairs,
  // and the attribute's sizes; the third a record that names another file. Every other page
  // keeps the 0xFF fill of ntfs-3g.
  LogTarget older = dead.target;
  older.lsn = 800;
  LogTarget elsewhere = dead.target;
  elsewhere.vcn += 1;
  // A record of no interest fills the first page so far that the one with the pairs runs
  // on into the second page.
  LogTarget filler = elsewhere;
  filler.op = 0;
  const std::vector<std::uint8_t> here = test::logRecord(dead.target, dead.pairs);
  ASSERT_GT(here.size(), 0x50u);
  const std::size_t fillerBytes = F::kPageSize - 0x50 - F::kPageHeader - 0x58;
  dead.putPages(4, test::recordPages(900, {test::logRecord(filler, std::vector<std::uint8_t>(fillerBytes, 0xEE)), here,
                                           test::logRecord(older, {0x11, 0x01, 0x05, 0x00}),
                                           test::logRecord(dead.sizesTarget(850), sizeValues(372736, 369000))}));
  dead.putPages(6, test::recordPage(901, {test::logRecord(elsewhere, {0x11, 0x02, 0x07, 0x00})}));

  for (const std::uint32_t kind : {app::kScanDeleted, app::kScanQuick}) {
    SCOPED_TRACE(kind);
    DiskScan s;
    ASSERT_TRUE(s.mount(dead.copy->diskImage()));
    ASSERT_EQ(s.scan(kind).status, engine::ScanStatus::Done);
    results::FoundItemRef item = s.find("mixed/dead.txt");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->m_nSize, 369000u);
    EXPECT_TRUE(item->lastFlags & kItemSizeFromLog);
    EXPECT_TRUE(item->m_byFlags & kItemDeleted);
    std::string content;
    EXPECT_EQ(s.read(*item, content), engine::ReadOutcome::Complete);
    EXPECT_TRUE(content == dead.original);
    // The flag on that file alone.
    for (const auto i : s.tree->items()) {
      if (i != item) {
        EXPECT_FALSE(i->lastFlags & kItemSizeFromLog) << platform::toUtf8(s.tree->pathOf(i));
      }
    }
  }
}

// Pages left from the journal's previous round (a last LSN lower than the page before)
// follow the newest ones; their records are stale and none of them is used: not the sizes,
// nor newer-numbered mapping pairs, nor a record that begins before the wrap point and goes
// on into an old page.
TEST(NtfsLogFile, PagesPastTheWrapPointAreNotRead) {
  if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
  StrippedRecord dead;
  ASSERT_NO_FATAL_FAILURE(dead.make());
  const std::uint64_t allocated = (369000 + 4095) / 4096 * 4096;

  const std::vector<std::uint8_t> good = test::logRecord(dead.target, dead.pairs);
  // One cluster at LCN 5, in records numbered above the good one.
  LogTarget stale = dead.target;
  stale.lsn = 990;
  const std::vector<std::uint8_t> bogus = test::logRecord(stale, {0x11, 0x01, 0x05, 0x00});
  std::vector<std::uint8_t> pagePast = test::recordPage(900, {good});
  auto append = [](std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  // A record of no interest fills the first page so far that the bogus one starts 64 bytes
  // before its end and runs on into the second page, whose last LSN is then made older.
  LogTarget filler = dead.target;
  filler.op = 0;
  filler.vcn += 1;
  const std::size_t fillerBytes = F::kPageSize - 2 * F::kPageHeader - good.size() - F::kFixedPart;
  std::vector<std::uint8_t> runOn = test::recordPages(
      900, {good, test::logRecord(filler, std::vector<std::uint8_t>(fillerBytes, 0xEE)), bogus});
  ASSERT_EQ(runOn.size(), 2 * F::kPageSize);
  platform::putLe64(&runOn[F::kPageSize + F::kPageLastLsn], 880);

  const struct {
    const char* what;
    std::vector<std::uint8_t> pages;  // from page 4 on
  } cases[] = {
      {"sizes in an old page",
       append(pagePast, test::recordPage(700, {test::logRecord(dead.sizesTarget(690), sizeValues(16384, 12000))}))},
      {"newer-numbered pairs in an old page", append(pagePast, test::recordPage(880, {bogus}))},
      {"pairs that run on into an old page", runOn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StrippedRecord fresh;
    ASSERT_NO_FATAL_FAILURE(fresh.make());
    fresh.putPages(4, c.pages);
    DiskScan s;
    ASSERT_TRUE(s.mount(fresh.copy->diskImage()));
    ASSERT_EQ(s.scan(app::kScanDeleted).status, engine::ScanStatus::Done);
    const results::FoundItemRef item = s.find("mixed/dead.txt");
    ASSERT_TRUE(item);
    // From the good pairs alone: whole clusters, the file's bytes first.
    EXPECT_EQ(item->m_nSize, allocated);
    EXPECT_TRUE(item->lastFlags & kItemSizeFromLog);
    std::string content;
    EXPECT_EQ(s.read(*item, content), engine::ReadOutcome::Complete);
    EXPECT_EQ(content.size(), allocated);
    EXPECT_TRUE(content.size() >= dead.original.size() && content.compare(0, dead.original.size(), dead.original) == 0);
  }
}

}  // namespace
}  // namespace qelda::ntfs
