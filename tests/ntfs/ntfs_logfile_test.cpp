// The journal analysis on a real volume: a deleted file whose record lost its sizes and
// mapping pairs comes back whole from hand-made journal pages that hold them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fs/log_record.h"
#include "fs/mft_record.h"
#include "fs/ntfs_layout.h"
#include "ntfs/ntfs_image_support.h"
#include "ntfs/ntfs_log_pages.h"

namespace qelda::ntfs {
namespace {

using namespace qelda::ntfs::test;
namespace F = logfile;
using test::LogTarget;

TEST(NtfsLogFile, ADeletedFileWithoutSizeOrRunsComesBackFromTheJournal) {
  if (!imagesReady()) GTEST_SKIP() << "the NTFS volumes could not be made";
  const std::string base = ntfsImagesDir() + "/ntfs-deleted";
  const std::uint32_t dead = 79;  // mixed/dead.txt, 369000 bytes in its own runs
  ASSERT_NE(run("fls -r -d -p '" + base + ".img'").find("* 79-128-2:\tmixed/dead.txt"), std::string::npos);
  const std::string original = run("icat '" + base + ".img' 79");
  ASSERT_EQ(original.size(), 369000u);

  VolumeCopy copy(base + ".img");
  MountedVolume probe;
  ASSERT_TRUE(probe.mount(copy.volumeImage(), copy.volume()));
  probe.engine->ScanVolume(1);
  const std::uint64_t recordByte = probe.engine->GetRecordSector(dead) * 512;
  const std::uint32_t spc = probe.engine->m_nSectorsPerCluster;
  ASSERT_EQ(spc, 8u);

  // The record: its sizes and mapping pairs cleared, the original pairs kept for the journal.
  std::vector<std::uint8_t> record = copy.bytesAt(recordByte, 1024);
  ASSERT_TRUE(ApplyRecordFixup(record));
  const auto data = FindRecordData(platform::ByteView(record), false);
  ASSERT_TRUE(data && !data->resident);
  const std::size_t pairsEnd = std::size_t(data->attributeOffset) +
                               platform::ByteView(record).le32(data->attributeOffset + layout::kAttrLength).value_or(0);
  std::vector<std::uint8_t> pairs(record.begin() + data->offset, record.begin() + std::ptrdiff_t(pairsEnd));
  std::fill(record.begin() + data->attributeOffset + layout::kAttrAllocatedSize,
            record.begin() + data->attributeOffset + layout::kAttrInitializedSize + 8, 0);
  std::fill(record.begin() + data->offset, record.begin() + std::ptrdiff_t(pairsEnd), 0);
  copy.patchRecord(recordByte, record);

  // The journal: record 2's first run; record pages from 16 KiB in. The first two pages
  // hold the mapping pairs as the undo data of an update (running from the first page into
  // the second), an older update of the same attribute with other pairs, and the
  // attribute's sizes; the third a record that names another file. Every other page keeps
  // the 0xFF fill of ntfs-3g.
  std::vector<std::uint8_t> logRecordBytes = copy.bytesAt(probe.engine->GetRecordSector(2) * 512, 1024);
  ASSERT_TRUE(ApplyRecordFixup(logRecordBytes));
  const auto logData = FindRecordData(platform::ByteView(logRecordBytes), false);
  ASSERT_TRUE(logData && !logData->resident);
  std::vector<RunEntry> logRuns;
  std::size_t offset = logData->offset;
  DecodeDataRuns(platform::ByteView(logRecordBytes), offset, logRuns, false, spc);
  const auto logExtents = runsToExtents(logRuns);
  ASSERT_TRUE(logExtents && !logExtents->empty());
  const std::uint64_t journal = logExtents->front().lcn * spc * 512;

  const std::uint64_t recordSector = recordByte / 512;
  const LogTarget hereTarget{900, F::kOpUpdateMappingPairs, data->attributeOffset,
                    std::uint16_t(data->offset - data->attributeOffset), std::uint16_t(dead * 2 % spc),
                    std::uint32_t(dead * 2 / spc), std::uint32_t(recordSector / spc)};
  LogTarget older = hereTarget;
  older.lsn = 800;
  LogTarget sizes = hereTarget;
  sizes.lsn = 850;
  sizes.op = F::kOpSetNewAttributeSizes;
  sizes.attributeOffset = 0;
  std::vector<std::uint8_t> sizeValues(24, 0);
  platform::putLe64(&sizeValues[0], 372736);
  platform::putLe64(&sizeValues[8], 369000);
  platform::putLe64(&sizeValues[16], 369000);
  LogTarget elsewhere = hereTarget;
  elsewhere.vcn += 1;
  // A record of no interest fills the first page so far that the one with the pairs runs
  // on into the second page.
  LogTarget filler = elsewhere;
  filler.op = 0;
  const std::vector<std::uint8_t> here = test::logRecord(hereTarget, pairs);
  ASSERT_GT(here.size(), 0x50u);
  const std::size_t fillerBytes = F::kPageSize - 0x50 - F::kPageHeader - 0x58;
  copy.patch(journal + 4 * F::kPageSize,
             test::recordPages(900, {test::logRecord(filler, std::vector<std::uint8_t>(fillerBytes, 0xEE)), here,
                                     test::logRecord(older, {0x11, 0x01, 0x05, 0x00}),
                                     test::logRecord(sizes, sizeValues)}));
  copy.patch(journal + 6 * F::kPageSize, test::recordPage(901, {test::logRecord(elsewhere, {0x11, 0x02, 0x07, 0x00})}));

  for (const std::uint32_t kind : {app::kScanDeleted, app::kScanQuick}) {
    SCOPED_TRACE(kind);
    DiskScan s;
    ASSERT_TRUE(s.mount(copy.diskImage()));
    ASSERT_EQ(s.scan(kind).status, engine::ScanStatus::Done);
    results::FoundItemRef item = s.find("mixed/dead.txt");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->m_nSize, 369000u);
    EXPECT_TRUE(item->lastFlags & kItemSizeFromLog);
    EXPECT_TRUE(item->m_byFlags & kItemDeleted);
    std::string content;
    EXPECT_EQ(s.read(*item, content), engine::ReadOutcome::Complete);
    EXPECT_TRUE(content == original);
    // The flag on that file alone.
    for (const auto i : s.tree->items()) {
      if (i != item) {
        EXPECT_FALSE(i->lastFlags & kItemSizeFromLog) << platform::toUtf8(s.tree->pathOf(i));
      }
    }
  }
}

}  // namespace
}  // namespace qelda::ntfs
