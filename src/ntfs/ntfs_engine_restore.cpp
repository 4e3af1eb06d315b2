// Scan information of an NTFS scan: the geometry in the header, then the $MFT's runs (14
// bytes each) and the deep scan's run records (28 bytes each); restored instead of a scan
// so that the found files can be read again without reading the $MFT's own record. After a
// deep scan the items are keyed by their records' sectors, and the run records are what
// turns such a sector (or an extension record's number) back into a record: a deep scan is
// saved with them, with or without $MFT's runs.
#include <algorithm>
#include <vector>

#include "engine/scan_info_tables.h"
#include "engine/scan_state.h"
#include "fs/ntfs_boot.h"
#include "ntfs/ntfs_engine.h"
#include "fs/ntfs_run_record.h"
#include "platform/byte_view.h"

namespace qelda::ntfs {

namespace {

namespace h = engine::scan_header;

// The 14-byte run entry: u32 link (0 here), u32 length in clusters, u32 offset field as
// stored, u8 bytes of that field (0: sparse), u8 'S' or 'M'.
constexpr std::size_t kRunLength = 4;
constexpr std::size_t kRunOffset = 8;
constexpr std::size_t kRunOffsetBytes = 12;
constexpr std::size_t kRunKind = 13;

std::array<std::uint8_t, h::kMftRunBytes> encodeRun(const fs::ntfs::RunEntry& run) {
  std::array<std::uint8_t, h::kMftRunBytes> out{};
  platform::putLe32(&out[kRunLength], run.length);
  platform::putLe32(&out[kRunOffset], run.rawOffset);
  out[kRunOffsetBytes] = run.offsetBytes;
  out[kRunKind] = std::uint8_t(run.kind);
  return out;
}

std::optional<fs::ntfs::RunEntry> decodeRun(platform::ByteView bytes) {
  fs::ntfs::RunEntry run;
  run.length = *bytes.le32(kRunLength);
  run.rawOffset = *bytes.le32(kRunOffset);
  run.offsetBytes = *bytes.u8(kRunOffsetBytes);
  run.kind = char(*bytes.u8(kRunKind));
  // The stored offset field is at most 4 bytes wide here, and runs are first or later ones.
  if (run.offsetBytes > 4 || (run.kind != 'S' && run.kind != 'M')) return std::nullopt;
  return run;
}

}  // namespace

bool CNtfsEngine::writeScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) const {
  // A raw scan keeps neither table: its files follow from their clusters and the geometry.
  const std::span<const fs::ntfs::RunRecord> records = advanced_ ? std::span<const fs::ntfs::RunRecord>(runRecords_) : std::span<const fs::ntfs::RunRecord>();
  if (!fs::ntfs::isValidSectorsPerCluster(m_nSectorsPerCluster) || mftRuns_.size() > UINT32_MAX / h::kMftRunBytes ||
      records.size() > UINT32_MAX)
    return false;
  header.m_byFsCode = 7;
  header.mftSector = mftSector_;
  header.mftMirrSector = mftMirrSector_;
  header.mftRunCount = std::uint32_t(mftRuns_.size());
  header.mftRunListBytes = std::uint32_t(mftRuns_.size() * h::kMftRunBytes);
  header.runRecordCount = std::uint32_t(records.size());
  header.firstRunRecord = records.empty() ? 0 : firstRunRecord_.value_or(0);
  header.sectorsPerCluster = m_nSectorsPerCluster;
  engine::putVolumePlace(header,
                         {.startSector = m_nPartitionStart, .sectorCount = m_nSectorCount, .lastSector = m_nLastSector,
                          .biosDrive = biosDrive_, .imageFile = m_bImageFile, .imagePath = imagePath_},
                         false);
  for (const fs::ntfs::RunEntry& run : mftRuns_)
    if (!write(encodeRun(run))) return false;
  // In pieces, so that a long search's records are never copied whole.
  constexpr std::size_t kRecordsPerWrite = 2048;
  std::vector<std::uint8_t> piece;
  piece.reserve(kRecordsPerWrite * h::kRunRecordBytes);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto bytes = fs::ntfs::encodeRunRecord(records[i]);
    piece.insert(piece.end(), bytes.begin(), bytes.end());
    if (piece.size() == piece.capacity() || i + 1 == records.size()) {
      if (!write(piece)) return false;
      piece.clear();
    }
  }
  return true;
}

std::uint32_t CNtfsEngine::RestoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                               platform::IUserNotifier& notifier, std::u16string& cause) {
  forgetClaims();
  VolumeGeometry g = engine::volumePlaceOf(header);
  g.ntfsSectorsPerCluster = header.sectorsPerCluster;
  g.fileSystemCode = 7;
  initializeVolume(g, g.imageFile);
  m_nEntryCount = m_nFolderCount = m_nFileCount = 0;
  m_nTotalSize = 0;
  mftRuns_.clear();
  mftExtents_.clear();
  mftSectorCount_ = 0;
  mftDataSectors_ = ~std::uint64_t{0};
  clearDeepScan();
  clearFreeExtents();
  m_bClusterSearch = 0;
  // Files found by signature were read through the free-cluster list when the scan could
  // build one: it is built again when the first of them is read, never for a listing.
  freeListPending_ = true;

  if (!fs::ntfs::isValidSectorsPerCluster(header.sectorsPerCluster)) {
    cause = engine::tablesDoNotFit(u"$MFT run list");
    return 0;
  }
  const std::uint64_t recordBytes = std::uint64_t(header.runRecordCount) * h::kRunRecordBytes;
  if (header.engineTableBytes != std::uint64_t(header.mftRunListBytes) + recordBytes) {
    cause = engine::tablesDoNotFit(u"engine tables");
    return 0;
  }
  if (header.mftRunCount != 0 && !restoreMftRuns(header, read, cause)) return 0;
  if (header.runRecordCount != 0 && !restoreRunRecords(header, read, cause)) return 0;
  if (!engine::findSourceAgain(header, notifier, cause)) return 0;
  // The boot sector, or its backup at the end, must give the saved cluster size and $MFT.
  const auto readSector = [this](std::uint64_t at, std::span<std::uint8_t> out) {
    return readAbsolute(out.data(), std::uint32_t(out.size()), at) != 0;
  };
  // One the scan would have refused (its $MFT outside the volume, say) settles nothing.
  const auto judge = [&](std::uint64_t, platform::ByteView sector) {
    const auto boot = fs::ntfs::parseNtfsBoot(sector, m_nSectorCount);
    if (!boot) return engine::SavedVolumeCheck::Unchecked;
    return boot->sectorsPerCluster == header.sectorsPerCluster && boot->mftSector() == header.mftSector
               ? engine::SavedVolumeCheck::Same
               : engine::SavedVolumeCheck::Other;
  };
  std::vector<std::uint64_t> places = {m_nPartitionStart};
  if (m_nLastSector > m_nPartitionStart) places.insert(places.end(), {m_nLastSector, m_nLastSector - 1});
  const engine::SavedVolumeCheck check = engine::checkSavedVolume(places, readSector, judge, engine::SavedEngine::Ntfs);
  if (!engine::acceptSavedVolume(check, app_, log_, cause)) return 0;
  // The scan information keeps no record size: the boot sector gives it again, else $MFT's
  // first record, as to the scan that saved it. Only then do the saved runs count records.
  settleRecordSize();
  if (!mftRuns_.empty()) {
    // $MFT's first record, read as the scan read it, gives the record size where the boot
    // sector does not, and the data size that ends the records the scan counted.
    std::vector<fs::ntfs::RunEntry> runs;
    std::uint64_t sectors = 0, dataBytes = 0;
    collectMftRunsOrMirror(runs, sectors, dataBytes);
    countMftRecords(std::min(fs::ntfs::runClusterCount(mftRuns_), fs::ntfs::tallyClusters(mftExtents_, volumeClusters()).inside) *
                        m_nSectorsPerCluster,
                    dataBytes);
  }
  return 1;
}

bool CNtfsEngine::restoreMftRuns(const engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                 std::u16string& cause) {
  std::vector<std::uint8_t> list;
  if (!engine::readTable(read, header.mftRunListBytes, list, cause)) return false;
  std::vector<fs::ntfs::RunEntry> runs;
  runs.reserve(header.mftRunCount);
  for (std::size_t at = 0; at + h::kMftRunBytes <= list.size(); at += h::kMftRunBytes) {
    const auto run = decodeRun(*platform::ByteView(list).sub(at, h::kMftRunBytes));
    if (!run) {
      cause = engine::tablesDoNotFit(u"$MFT run list");
      return false;
    }
    runs.push_back(*run);
  }
  // As after loading the $MFT: its first run starts where the header puts it, and only its
  // clusters inside the volume hold records.
  auto extents = fs::ntfs::runsToExtents(runs);
  const std::int64_t firstCluster = runs.front().signedOffset();
  if (!extents || runs.front().sparse() || firstCluster < 0 ||
      std::uint64_t(firstCluster) * m_nSectorsPerCluster != mftSector_) {
    cause = engine::tablesDoNotFit(u"$MFT run list");
    return false;
  }
  // The records they hold are counted once the record size is known (RestoreFromScanInfo).
  mftRuns_ = std::move(runs);
  mftExtents_ = std::move(*extents);
  return true;
}

bool CNtfsEngine::restoreRunRecords(const engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                    std::u16string& cause) {
  // Read in pieces: the count was checked against the tables' length, so what is kept is
  // bounded by the file's size.
  constexpr std::uint32_t kRecordsPerRead = 2048;
  std::vector<std::uint8_t> piece;
  runRecords_.reserve(header.runRecordCount);
  for (std::uint32_t done = 0; done < header.runRecordCount;) {
    const std::uint32_t n = std::min(kRecordsPerRead, header.runRecordCount - done);
    if (!engine::readTable(read, std::uint64_t(n) * h::kRunRecordBytes, piece, cause)) return false;
    for (std::uint32_t k = 0; k < n; ++k) {
      const auto record = fs::ntfs::decodeRunRecord(*platform::ByteView(piece).sub(std::size_t(k) * h::kRunRecordBytes, h::kRunRecordBytes));
      if (!record) {
        cause = engine::tablesDoNotFit(u"run records");
        return false;
      }
      runRecords_.push_back(*record);
    }
    done += n;
  }
  firstRunRecord_ = header.firstRunRecord;
  // Items are read back by their records' sectors, as after the deep scan; the lookups by
  // sector and by number are built when the first item is read, never for a listing.
  advanced_ = true;
  runRecordIndexesPending_ = true;
  return true;
}

void CNtfsEngine::indexRunRecords() {
  if (!runRecordIndexesPending_) return;
  runRecordIndexesPending_ = false;
  runRecordIndex_.clear();
  runRecordAtSector_.clear();
  // As the deep search keeps them: the first record seen for a number, and at a sector.
  for (std::size_t i = 0; i < runRecords_.size(); ++i) {
    if (runRecords_[i].recordNumber != fs::ntfs::kUnknownRecordNumber) runRecordIndex_.try_emplace(runRecords_[i].recordNumber, i);
    runRecordAtSector_.try_emplace(runRecords_[i].sector, i);
  }
}

}  // namespace qelda::ntfs
