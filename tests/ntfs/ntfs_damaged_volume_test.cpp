// Damaged and hostile copies of the 4096-byte-cluster volume: what the engine still finds,
// what it refuses to make up, and what it never reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fs/mft_record.h"
#include "fs/ntfs_boot.h"
#include "support/missing_images.h"
#include "ntfs/ntfs_image_support.h"

namespace qelda::ntfs {
namespace {

using namespace qelda::ntfs::test;

std::vector<std::uint8_t> utf16(const std::string& ascii) {
  std::vector<std::uint8_t> out;
  for (const char c : ascii) {
    out.push_back(std::uint8_t(c));
    out.push_back(0);
  }
  return out;
}

// Bytes 510 and 511 of each sector of a record hold the update sequence number on disk.
bool clearOfFixupWords(std::uint64_t offset, std::size_t length) {
  for (std::uint64_t b = offset; b < offset + length; ++b)
    if (b % 512 >= 510) return false;
  return true;
}

class NtfsDamagedVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
    base_ = ntfsImagesDir() + "/ntfs-4096";
    copy_ = std::make_unique<VolumeCopy>(base_ + ".img");
    const std::vector<std::uint8_t> boot = copy_->bytesAt(0, 512);
    const auto parsed = qelda::fs::ntfs::parseNtfsBoot(platform::ByteView(boot), copy_->sectors());
    ASSERT_TRUE(parsed);
    boot_ = *parsed;
    // Where each record lies, from an engine over the undamaged copy.
    probe_.mount(copy_->volumeImage(), copy_->volume());
    probe_.engine->ScanVolume(0);
    ASSERT_GT(probe_.engine->mftRecordCount(), 3000u);
  }

  std::uint64_t recordOffset(std::uint32_t record) { return probe_.engine->GetRecordSector(record) * 512; }
  std::uint32_t recordOf(const std::string& path) { return flsRecordOf(base_ + ".fls", path); }
  std::string icat(std::uint32_t record) { return run("icat '" + base_ + ".img' " + std::to_string(record)); }
  std::vector<std::uint8_t> zeros(std::size_t n) { return std::vector<std::uint8_t>(n, 0); }

  std::string base_;
  std::unique_ptr<VolumeCopy> copy_;
  qelda::fs::ntfs::NtfsBootParams boot_;
  MountedVolume probe_;
};

TEST_F(NtfsDamagedVolume, MirrorOfRecordZeroStandsInThroughTheScanWorker) {
  const std::uint64_t mftByte = boot_.mftSector() * 512;
  const std::uint64_t mirrByte = boot_.mftMirrSector() * 512;
  const std::uint64_t lastByte = (copy_->sectors() - 1) * 512;
  struct Case {
    const char* what;
    std::vector<std::uint64_t> zeroed;  // 512-byte sectors (as byte offsets) wiped
    bool recordFromBoot;                // the volume record holds the undamaged boot sector's geometry
    std::int64_t recordMftShift;        // sectors added to the volume record's $MFT sector
    bool quick;                         // listed by the quick walk; else by the deep scan it falls back to
  };
  const Case cases[] = {
      {"record 0 zeroed", {mftByte, mftByte + 512}, false, 0, true},
      {"record 0 zeroed, the volume record's $MFT sector wrong", {mftByte, mftByte + 512}, false, 8, true},
      {"record 0 zeroed, the volume record's $MFT sector past the volume", {mftByte, mftByte + 512}, false,
       std::int64_t(1) << 40, true},
      // No boot sector left (the record as a saved source list keeps it): the mirror is
      // known only from the volume record.
      {"record 0 and both boot sectors zeroed", {0, lastByte, mftByte, mftByte + 512}, true, 0, true},
      {"record 0 and its mirror zeroed", {mftByte, mftByte + 512, mirrByte, mirrByte + 512}, false, 0, false},
  };
  const Listing want = flsListing(base_ + ".fls");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VolumeCopy damaged(base_ + ".img");
    for (const std::uint64_t at : c.zeroed) damaged.patch(at, zeros(512));
    DiskScan s;
    ASSERT_TRUE(s.mount(damaged.diskImage()));
    volume::DEVICE_ENTRY* source = s.ntfsSource();
    ASSERT_NE(source, nullptr);
    volume::VOLUME_RECORD* record = source->m_pDetail.volume();
    ASSERT_EQ(record->m_nStartSector, VolumeCopy::kVolumeStart);
    if (c.recordFromBoot) {
      record->m_wNtfsSectorsPerCluster = std::uint16_t(boot_.sectorsPerCluster);
      record->m_nMftSector = boot_.mftSector();
      record->m_nMftMirrSector = boot_.mftMirrSector();
    }
    record->m_nMftSector += std::uint64_t(c.recordMftShift);
    const engine::ScanOutcome r = s.scan(app::kScanQuick);
    EXPECT_EQ(r.status, engine::ScanStatus::Done) << platform::toUtf8(r.cause);
    const Listing got = engineListing(*s.tree);
    if (!c.quick) {
      // Found by record: each record once, under one of its names.
      EXPECT_TRUE(missingByRecord(base_ + ".fls", got).empty());
      EXPECT_TRUE(s.app.currentEngine && s.find("Docs/Reports/2021/report.txt"));
      continue;
    }
    EXPECT_EQ(got, want) << "only ours:\n" << difference(got, want) << "only fls:\n" << difference(want, got);
  }
}

// Patches notes.txt (1260 bytes in one cluster) on the copy; false when its layout is not
// the one the patch expects.
using NotesDamage = bool (*)(VolumeCopy& copy, std::uint64_t docsRecord, std::uint64_t notesRecord);

// Lists it with 50,000,000 bytes in its folder's (resident) index.
bool sizeBeyondItsRuns(VolumeCopy& copy, std::uint64_t docsRecord, std::uint64_t) {
  const std::vector<std::uint8_t> record = copy.bytesAt(docsRecord, 1024);
  const std::vector<std::uint8_t> name = utf16("notes.txt");
  const auto hit = std::search(record.begin(), record.end(), name.begin(), name.end());
  if (hit == record.end()) return false;
  const std::uint64_t sizeField = docsRecord + std::uint64_t(hit - record.begin()) - 0x52 + 0x40;
  if (!clearOfFixupWords(sizeField, 8)) return false;
  std::vector<std::uint8_t> size(8);
  platform::putLe64(size.data(), 50000000);
  copy.patch(sizeField, size);
  return true;
}

// Moves its one run to the first cluster after the volume, where the disk holds 'X' bytes.
bool runPastTheVolumeEnd(VolumeCopy& copy, std::uint64_t, std::uint64_t notesRecord) {
  std::vector<std::uint8_t> record = copy.bytesAt(notesRecord, 1024);
  if (!qelda::fs::ntfs::ApplyRecordFixup(record)) return false;
  const auto data = qelda::fs::ntfs::FindRecordData(platform::ByteView(record), false);
  if (!data || data->resident) return false;
  const std::uint8_t header = record[data->offset];
  const unsigned lengthBytes = header & 0x0F, offsetBytes = header >> 4;
  if (offsetBytes < 2) return false;
  const std::uint64_t pastEnd = copy.sectors() / 8;
  std::vector<std::uint8_t> lcn(offsetBytes, 0);
  for (unsigned i = 0; i < offsetBytes; ++i) lcn[i] = std::uint8_t(pastEnd >> (8 * i));
  const std::uint64_t field = notesRecord + data->offset + 1 + lengthBytes;
  if (!clearOfFixupWords(field, offsetBytes)) return false;
  copy.patch(field, lcn);
  return true;
}

TEST_F(NtfsDamagedVolume, AReadThroughTheWorkerGivesOnlyWhatTheRunsHoldOnTheVolume) {
  const std::uint32_t notes = recordOf("Docs/notes.txt");
  const std::string original = icat(notes);
  ASSERT_EQ(original.size(), 1260u);
  struct Case {
    const char* what;
    NotesDamage damage;
    std::string content;  // what the read delivers
  };
  const Case cases[] = {
      // The one cluster its run covers, and not the 50 MB of zeros its size claims.
      {"size beyond its runs", sizeBeyondItsRuns, original + std::string(4096 - 1260, '\0')},
      {"run past the volume's end", runPastTheVolumeEnd, std::string(1260, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VolumeCopy damaged(base_ + ".img");
    ASSERT_TRUE(c.damage(damaged, recordOffset(recordOf("Docs")), recordOffset(notes)));
    DiskScan s;
    ASSERT_TRUE(s.mount(damaged.diskImage()));
    ASSERT_EQ(s.scan(app::kScanQuick).status, engine::ScanStatus::Done);
    results::FoundItemRef item = s.find("Docs/notes.txt");
    ASSERT_NE(item, nullptr);
    std::string content;
    EXPECT_EQ(s.read(*item, content), engine::ReadOutcome::Partial);
    // Past the file's 1260 bytes the cluster holds whatever the volume has there.
    ASSERT_EQ(content.size(), c.content.size());
    EXPECT_EQ(content.substr(0, 1260), c.content.substr(0, 1260));
  }
}

TEST_F(NtfsDamagedVolume, IndexBlocksTwoFoldersShareAreReportedOnce) {
  // "Docs/Empty folder" made a copy of the record of "many", whose 3000 entries lie in index
  // blocks: both folders now reach the same blocks.
  const std::vector<std::uint8_t> many = copy_->bytesAt(recordOffset(recordOf("many")), 1024);
  copy_->patch(recordOffset(recordOf("Docs/Empty folder")), many);
  MountedVolume v;
  ASSERT_TRUE(v.mount(copy_->volumeImage(), copy_->volume()));
  v.engine->ScanVolume(0);
  std::size_t listed = 0;
  for (const auto i : v.tree.items()) {
    const std::u16string name = v.tree.nameOf(i);
    if (name.size() == 9 && name[0] == u'f' && name.substr(5) == u".txt") ++listed;
  }
  EXPECT_EQ(listed, 3000u);
}

TEST_F(NtfsDamagedVolume, RecordCountComesFromTheMftClustersInsideTheVolume) {
  // $MFT's first run claims as many clusters as its length field can hold.
  const std::uint64_t at = boot_.mftSector() * 512;
  std::vector<std::uint8_t> record = copy_->bytesAt(at, 1024);
  ASSERT_TRUE(qelda::fs::ntfs::ApplyRecordFixup(record));
  const auto data = qelda::fs::ntfs::FindRecordData(platform::ByteView(record), false);
  ASSERT_TRUE(data);
  const unsigned lengthBytes = record[data->offset] & 0x0F;
  ASSERT_TRUE(clearOfFixupWords(at + data->offset + 1, lengthBytes));
  copy_->patch(at + data->offset + 1, std::vector<std::uint8_t>(lengthBytes, 0xFF));

  MountedVolume v;
  ASSERT_TRUE(v.mount(copy_->volumeImage(), copy_->volume()));
  v.engine->ScanVolume(0);
  const std::uint64_t volumeClusters = copy_->sectors() / 8;
  const std::uint64_t mftCluster = boot_.mftCluster;
  EXPECT_GT(v.engine->mftRecordCount(), 3000u);
  EXPECT_LE(v.engine->mftRecordCount(), (volumeClusters - mftCluster) * 8 / 2);
  EXPECT_EQ(engineListing(v.tree), flsListing(base_ + ".fls"));
}

TEST_F(NtfsDamagedVolume, BackupBootSectorStandsInForADamagedFirstSector) {
  copy_->patch(0, zeros(512));
  MountedVolume v;
  ASSERT_TRUE(v.mount(copy_->volumeImage(), copy_->volume()));
  v.engine->ScanVolume(0);
  EXPECT_EQ(v.engine->m_nSectorsPerCluster, 8);
  EXPECT_EQ(engineListing(v.tree), flsListing(base_ + ".fls"));
}

TEST_F(NtfsDamagedVolume, MftElsewhereThanTheBootSectorSaysFallsBackToTheDeepScan) {
  // $MFT's cluster moved by one: the first run no longer starts there, so no walk of the
  // folder indexes; the deep scan finds the records instead, keyed by their sectors.
  std::vector<std::uint8_t> moved(8);
  platform::putLe64(moved.data(), boot_.mftCluster + 1);
  copy_->patch(0x30, moved);
  MountedVolume v;
  ASSERT_TRUE(v.mount(copy_->volumeImage(), copy_->volume()));
  v.engine->ScanVolume(0);
  EXPECT_TRUE(v.engine->advancedScan());
  EXPECT_TRUE(missingByRecord(base_ + ".fls", engineListing(v.tree)).empty());
}

}  // namespace
}  // namespace qelda::ntfs
