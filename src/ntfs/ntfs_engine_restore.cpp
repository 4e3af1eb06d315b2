// Scan information of an NTFS scan: the geometry in the header, then the $MFT's runs (14
// bytes each) and the deep scan's run records (28 bytes each); restored instead of a scan
// so that the found files can be read again without reading the $MFT's own record.
#include <algorithm>

#include "engine/scan_info_tables.h"
#include "engine/scan_state.h"
#include "fs/ntfs_boot.h"
#include "ntfs/ntfs_engine.h"
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

std::array<std::uint8_t, h::kMftRunBytes> encodeRun(const RunEntry& run) {
  std::array<std::uint8_t, h::kMftRunBytes> out{};
  platform::putLe32(&out[kRunLength], run.length);
  platform::putLe32(&out[kRunOffset], run.rawOffset);
  out[kRunOffsetBytes] = run.offsetBytes;
  out[kRunKind] = std::uint8_t(run.kind);
  return out;
}

std::optional<RunEntry> decodeRun(platform::ByteView bytes) {
  RunEntry run;
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
  // Without the $MFT's runs no found record can be read back.
  if (mftRuns_.empty() || !isValidSectorsPerCluster(m_nSectorsPerCluster) ||
      mftRuns_.size() > UINT32_MAX / h::kMftRunBytes)
    return false;
  header.m_byDrive = biosDrive_;
  header.m_byFsCode = 7;
  header.mftSector = mftSector_;
  header.mftMirrSector = mftMirrSector_;
  header.mftRunCount = std::uint32_t(mftRuns_.size());
  header.mftRunListBytes = std::uint32_t(mftRuns_.size() * h::kMftRunBytes);
  header.runRecordCount = std::uint32_t(savedRunRecords_.size() / h::kRunRecordBytes);
  header.firstRunRecord = savedFirstRunRecord_;
  header.sectorsPerCluster = m_nSectorsPerCluster;
  header.imageFile = m_bImageFile;
  header.startSector = m_nPartitionStart;
  header.lastSector = m_nLastSector;
  header.sectorCount = m_nSectorCount;
  header.m_szSourcePath = m_bImageFile ? imagePath_ : std::u16string{};
  for (const RunEntry& run : mftRuns_)
    if (!write(encodeRun(run))) return false;
  return write(savedRunRecords_);
}

std::uint32_t CNtfsEngine::RestoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                               platform::IUserNotifier& notifier, std::u16string& cause) {
  VolumeGeometry g;
  g.startSector = header.startSector;
  g.sectorCount = header.sectorCount;
  g.lastSector = header.lastSector;
  g.sectorsPerCluster = header.sectorsPerCluster;
  g.mftSector = header.mftSector;
  g.mftMirrSector = header.mftMirrSector;
  g.fileSystemCode = 7;
  g.biosDrive = header.m_byDrive;
  g.imagePath = header.m_szSourcePath;
  initializeVolume(g, engine::keptImageFileFlag(header));
  m_nEntryCount = m_nFolderCount = m_nFileCount = 0;
  m_nTotalSize = 0;
  mftRuns_.clear();
  mftExtents_.clear();
  mftSectorCount_ = 0;

  if (!isValidSectorsPerCluster(header.sectorsPerCluster) || header.mftRunCount == 0) {
    cause = engine::tablesDoNotFit(u"$MFT run list");
    return 0;
  }
  const std::uint64_t recordBytes = std::uint64_t(header.runRecordCount) * h::kRunRecordBytes;
  if (header.engineTableBytes != std::uint64_t(header.mftRunListBytes) + recordBytes) {
    cause = engine::tablesDoNotFit(u"engine tables");
    return 0;
  }
  std::vector<std::uint8_t> list;
  if (!engine::readTable(read, header.mftRunListBytes, list, cause)) return 0;
  std::vector<RunEntry> runs;
  runs.reserve(header.mftRunCount);
  for (std::size_t at = 0; at + h::kMftRunBytes <= list.size(); at += h::kMftRunBytes) {
    const auto run = decodeRun(*platform::ByteView(list).sub(at, h::kMftRunBytes));
    if (!run) {
      cause = engine::tablesDoNotFit(u"$MFT run list");
      return 0;
    }
    runs.push_back(*run);
  }
  // As after loading the $MFT: its first run starts where the header puts it, and only its
  // clusters inside the volume hold records.
  auto extents = runsToExtents(runs);
  const std::int64_t firstCluster = runs.front().signedOffset();
  if (!extents || runs.front().sparse() || firstCluster < 0 ||
      std::uint64_t(firstCluster) * m_nSectorsPerCluster != mftSector_) {
    cause = engine::tablesDoNotFit(u"$MFT run list");
    return 0;
  }
  std::uint64_t insideClusters = 0;
  for (const Extent& e : *extents)
    if (!e.hole && e.lcn < volumeClusters()) insideClusters += std::min(e.length, volumeClusters() - e.lcn);
  const std::uint64_t records = std::min({runClusterCount(runs) * m_nSectorsPerCluster / 2,
                                          insideClusters * m_nSectorsPerCluster / 2, kMaxMftRecords});
  if (!engine::readTable(read, recordBytes, savedRunRecords_, cause)) return 0;
  savedFirstRunRecord_ = header.firstRunRecord;
  mftRuns_ = std::move(runs);
  mftExtents_ = std::move(*extents);
  mftSectorCount_ = records * 2;

  return engine::findSourceAgain(header, notifier, cause);
}

}  // namespace qelda::ntfs
