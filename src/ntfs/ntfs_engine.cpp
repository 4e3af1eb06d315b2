#include "ntfs/ntfs_engine.h"

#include <algorithm>
#include <cstring>

#include "engine/scan_state.h"
#include "image/virtual_disk.h"
#include "volume/volume_records.h"
#include "fs/ntfs_boot.h"
#include "fs/ntfs_layout.h"
#include "platform/text.h"

namespace qelda::ntfs {

namespace L = fs::ntfs::layout;

CNtfsEngine::CNtfsEngine(engine::ScanState& app, const engine::EngineSinks& sinks)
    : HeldSinks(sinks), m_pConsole(sinks.console), app_(app), reporter_(sinks.console, &progress_, sinks.log) {}

void CNtfsEngine::initializeVolume(const VolumeGeometry& volume, std::uint8_t bImageFile) {
  m_nPartitionStart = volume.startSector;
  m_nSectorCount = volume.sectorCount;
  m_nLastSector = volume.lastSector ? volume.lastSector : volume.startSector + volume.sectorCount;
  m_nSectorsPerCluster = fs::ntfs::isValidSectorsPerCluster(volume.ntfsSectorsPerCluster) ? volume.ntfsSectorsPerCluster : 0;
  mftSector_ = volume.mftSector;
  mftMirrSector_ = volume.mftMirrSector;
  recordBytes_ = L::kRecordSize;
  recordBytesFromBoot_ = false;
  fileSystemCode_ = volume.fileSystemCode;
  biosDrive_ = volume.biosDrive;
  m_bImageFile = bImageFile;
  imagePath_ = volume.imagePath;
  fileSystemName_ = volume.fileSystemName;
  reader_.open(app_.mountedImage(), m_bImageFile, imagePath_);
  rootRecord_ = 5;
  lostFoldersId_ = 0;
  app_.m_bVolumeOpened = 1;
}

void CNtfsEngine::Initialize(std::uint8_t bImageFile) {
  forgetClaims();
  // Drive entries carry no volume and leave the engine as it is.
  const volume::DEVICE_ENTRY* entry = app_.m_pSelectedSource;
  if (!entry || !entry->m_pDetail.volume()) return;
  const VolumeGeometry volume = engine::locateSelectedVolume(app_, bImageFile);
  if (!volume.wholeDrive()) initializeVolume(volume, bImageFile);
}

void CNtfsEngine::FreeAll() {
  mftRuns_.clear();
  mftExtents_.clear();
  recordMap_.clear();
  reportedIndexBlocks_.clear();
  folderIds_.clear();
  walkedFolders_.clear();
  reportedRecordIds_.clear();
  reportedOtherIds_.clear();
  recordHeaders_.clear();
  deletedFolders_.clear();
  deletedFiles_.clear();
  deletedFolderIndex_.clear();
  collectedFiles_.clear();
  collectedFolders_.clear();
  collectedFolderIndex_.clear();
  largeFiles_.clear();
  logState_ = 0;
  logExtents_.clear();
  logRuns_.clear();
  clearFreeExtents();
  freeListPending_ = false;
  clearDeepScan();
  rawFolders_.clear();
  m_pRawContext.reset();
  mftSectorCount_ = 0;
  mftDataSectors_ = ~std::uint64_t{0};
}

bool CNtfsEngine::stopRequested() const { return app_.m_bStopRequested.load(std::memory_order_relaxed) != 0; }

std::uint64_t CNtfsEngine::volumeClusters() const {
  return m_nSectorsPerCluster ? m_nSectorCount / m_nSectorsPerCluster : 0;
}

// ---------------------------------------------------------------- readers

std::uint32_t CNtfsEngine::readAbsolute(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t absoluteSector) {
  // Nonzero only when every byte came from the disk. What could not be read is zeros, never
  // what the buffer held before, and the read fails: a file holding such zeros is not whole.
  return reader_.read(absoluteSector, {buffer, byteCount}) ? 1 : 0;
}

std::uint32_t CNtfsEngine::ReadVolumeSectors(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t sector) {
  // The one place where the volume's start is added.
  return reader_.readFrom(m_nPartitionStart, sector, {buffer, byteCount}) ? 1 : 0;
}

std::uint32_t CNtfsEngine::ReadClusterSectors(std::uint32_t cluster, std::uint16_t sectorInCluster,
                                              std::uint8_t* buffer, std::uint16_t sectorCount) {
  const std::uint32_t bytes = std::uint32_t(sectorCount) * 512;
  if (cluster == kHoleCluster) {
    std::memset(buffer, 0, bytes);
    return 1;
  }
  const std::uint64_t sector = std::uint64_t(m_nSectorsPerCluster) * cluster + sectorInCluster;
  return ReadVolumeSectors(buffer, bytes, sector);
}

bool CNtfsEngine::readClusters(std::uint64_t lcn, std::uint64_t count, std::uint8_t* buffer) {
  // Past the volume's end lies another volume's data, never this file's: zeros, not read.
  const std::uint64_t total = volumeClusters();
  const std::uint64_t inside = lcn >= total ? 0 : std::min(count, total - lcn);
  std::memset(buffer + inside * clusterBytes(), 0, std::size_t((count - inside) * clusterBytes()));
  bool ok = inside == count;
  // In pieces that keep each read's byte count well inside 32 bits.
  const std::uint64_t perRead = std::max<std::uint64_t>(1, (std::uint64_t(16) << 20) / clusterBytes());
  for (std::uint64_t done = 0; done < inside;) {
    const std::uint64_t n = std::min(inside - done, perRead);
    if (!ReadVolumeSectors(buffer + done * clusterBytes(), std::uint32_t(n * clusterBytes()),
                           (lcn + done) * m_nSectorsPerCluster))
      ok = false;
    done += n;
  }
  return ok;
}

// ---------------------------------------------------------------- MFT records

std::optional<std::uint64_t> CNtfsEngine::sectorOfMftOffset(const std::vector<fs::ntfs::Extent>& extents,
                                                           std::uint64_t mftSectorOffset) const {
  if (!m_nSectorsPerCluster) return std::nullopt;
  const auto m = fs::ntfs::mapVcn(extents, mftSectorOffset / m_nSectorsPerCluster);
  if (!m || m->hole) return std::nullopt;
  return m->lcn * m_nSectorsPerCluster + mftSectorOffset % m_nSectorsPerCluster;
}

std::uint64_t CNtfsEngine::GetRecordSector(std::uint32_t record) {
  if (record >= mftRecordCount()) return 0;
  return sectorOfMftOffset(mftExtents_, std::uint64_t(record) * recordSectors()).value_or(0);
}

bool CNtfsEngine::readRecordThrough(const std::vector<fs::ntfs::Extent>& extents, std::uint32_t record, Record& buffer) {
  const std::uint32_t count = recordSectors();
  std::array<std::uint64_t, L::kMaxRecordSize / 512> sectors{};
  bool contiguous = true;
  for (std::uint32_t k = 0; k < count; ++k) {
    const auto sector = sectorOfMftOffset(extents, std::uint64_t(record) * count + k);
    if (!sector) return false;
    sectors[k] = *sector;
    contiguous = contiguous && *sector == sectors[0] + k;
  }
  buffer.resize(recordBytes_);
  if (contiguous) {
    ReadVolumeSectors(buffer.data(), recordBytes_, sectors[0]);
  } else {
    // The record straddles runs: each sector from its own place.
    for (std::uint32_t k = 0; k < count; ++k) ReadVolumeSectors(buffer.data() + 512 * k, 512, sectors[k]);
  }
  return fs::ntfs::ApplyRecordFixup(buffer);
}

bool CNtfsEngine::readRecord(std::uint32_t record, Record& buffer) {
  Record r{};
  if (record < mftRecordCount()) {
    if (!readRecordThrough(mftExtents_, record, r)) return false;
  } else {
    // Without $MFT's runs, the deep scan knows where it found each numbered record.
    indexRunRecords();
    const auto found = runRecordIndex_.find(record);
    if (found == runRecordIndex_.end() || !readRecordAt(runRecords_[found->second].sector, r)) return false;
  }
  buffer = r;
  return true;
}

bool CNtfsEngine::readOwnSizedRecord(std::uint64_t sector, Record& buffer) {
  // The first 1024 bytes hold the header that gives the size; the rest is read only for a
  // record that gives a larger one.
  buffer.resize(L::kRecordSize);
  bool whole = ReadVolumeSectors(buffer.data(), L::kRecordSize, sector) != 0;
  const std::size_t own = fs::ntfs::recordSizeOf(platform::ByteView(buffer));
  if (own > L::kRecordSize) {
    buffer.resize(own);
    whole = ReadVolumeSectors(buffer.data() + L::kRecordSize, std::uint32_t(own - L::kRecordSize),
                              sector + L::kRecordSize / 512) != 0 && whole;
  }
  return whole;
}

bool CNtfsEngine::readRecordAt(std::uint64_t sector, Record& buffer) {
  buffer.resize(L::kRecordSize);
  if (sector >= m_nSectorCount || m_nSectorCount - sector < 2) return false;
  if (!readOwnSizedRecord(sector, buffer)) return false;
  // A record that says it is larger than what is left of the volume is not all there.
  if (m_nSectorCount - sector < buffer.size() / 512) return false;
  return fs::ntfs::ApplyRecordFixup(buffer);
}

std::uint32_t CNtfsEngine::recordNumberAtSector(std::uint64_t sector) const {
  const auto found = runRecordAtSector_.find(sector);
  return found == runRecordAtSector_.end() ? fs::ntfs::kUnknownRecordNumber : runRecords_[found->second].recordNumber;
}

std::uint64_t CNtfsEngine::readExtentBytes(const std::vector<fs::ntfs::Extent>& extents, std::uint64_t byteOffset,
                                           std::span<std::uint8_t> out, bool* incomplete) {
  // One read per contiguous stretch.
  std::uint64_t fromDisk = 0;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t pos = byteOffset + done;
    const std::uint64_t vcn = pos / clusterBytes();
    const std::uint64_t inCluster = pos % clusterBytes();
    const auto m = fs::ntfs::mapVcn(extents, vcn);
    std::uint64_t span = clusterBytes() - inCluster;
    bool fromVolume = m && !m->hole && m->lcn < volumeClusters();
    if (m) span = m->runRemaining * clusterBytes() - inCluster;
    // Only the part of the run inside the volume is read; past its end lies no data of this stream.
    if (fromVolume) span = std::min(span, (volumeClusters() - m->lcn) * clusterBytes() - inCluster);
    const std::size_t take = std::size_t(std::min<std::uint64_t>({out.size() - done, span, std::uint64_t(16) << 20}));
    if (!fromVolume) {
      if (m && !m->hole && incomplete) *incomplete = true;
      std::memset(out.data() + done, 0, take);
    } else {
      // byteOffset is sector-aligned for every caller, so pos is too.
      if (!ReadVolumeSectors(out.data() + done, std::uint32_t(take), m->lcn * m_nSectorsPerCluster + inCluster / 512) &&
          incomplete)
        *incomplete = true;
      fromDisk += take;
    }
    done += take;
  }
  return fromDisk;
}

std::optional<std::vector<fs::ntfs::Extent>> CNtfsEngine::attributeExtents(platform::ByteView record,
                                                                         const fs::ntfs::AttributeRef& a) const {
  std::size_t offset = a.offset + record.le16(a.offset + L::kAttrRunListOffset).value_or(0);
  std::vector<fs::ntfs::RunEntry> runs;
  fs::ntfs::DecodeDataRuns(record.sub(0, std::size_t(a.offset) + a.length).value_or(platform::ByteView()), offset, runs, true,
                           m_nSectorsPerCluster);
  auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents) return std::nullopt;
  return std::move(*extents);
}

std::vector<std::uint8_t> CNtfsEngine::readAttributeListContent(const Record& record) {
  return readAttributeValue(record, L::kTypeAttributeList, kMaxAttributeListBytes);
}

std::vector<std::uint8_t> CNtfsEngine::readAttributeValue(const Record& record, std::uint8_t type,
                                                          std::uint64_t maxBytes) {
  const platform::ByteView view(record);
  for (const fs::ntfs::AttributeRef& a : fs::ntfs::walkAttributes(view, L::kMaxAttributes).attributes) {
    if (a.type != type) continue;
    if (!a.nonResident) {
      const auto value = fs::ntfs::residentValue(view, a);
      if (!value) return {};
      return std::vector<std::uint8_t>(value->data(), value->data() + value->size());
    }
    const auto extents = attributeExtents(view, a);
    if (!extents) return {};
    const std::uint64_t size = std::min(view.le64(a.offset + L::kAttrRealSize).value_or(0), maxBytes);
    std::vector<std::uint8_t> content(std::size_t(size + 511) / 512 * 512);
    readExtentBytes(*extents, 0, content);
    content.resize(std::size_t(size));
    return content;
  }
  return {};
}

// ---------------------------------------------------------------- boot sector and $MFT

std::optional<fs::ntfs::NtfsBootParams> CNtfsEngine::bootSectorAt(std::uint64_t absoluteSector) {
  std::array<std::uint8_t, 512> sector{};
  if (!readAbsolute(sector.data(), 512, absoluteSector)) return std::nullopt;
  const auto boot = fs::ntfs::parseNtfsBoot(platform::ByteView(sector), m_nSectorCount);
  if (!boot) return std::nullopt;
  return *boot;
}

std::optional<fs::ntfs::NtfsBootParams> CNtfsEngine::findBootSector() {
  // The volume's own first sector, then its backup at the end: the last sector, or the one
  // before it where the volume's end is counted one past its last sector.
  if (auto boot = bootSectorAt(m_nPartitionStart)) return boot;
  if (m_nLastSector) {
    if (auto boot = bootSectorAt(m_nLastSector)) return boot;
  }
  if (m_nLastSector > m_nPartitionStart) {
    if (auto boot = bootSectorAt(m_nLastSector - 1)) return boot;
  }
  // A volume of larger sectors keeps its backup in its own last sector, that many 512-byte
  // sectors before the end; only a backup that gives that size itself is taken there.
  for (const std::uint32_t units : {2u, 4u, 8u}) {
    if (m_nLastSector < m_nPartitionStart + units) break;
    const auto boot = bootSectorAt(m_nLastSector - units);
    if (boot && boot->sectorUnits == units) return boot;
  }
  return std::nullopt;
}

void CNtfsEngine::adoptBootSector(const fs::ntfs::NtfsBootParams& boot) {
  m_nSectorsPerCluster = std::uint16_t(boot.sectorsPerCluster);
  mftSector_ = boot.mftSector();
  mftMirrSector_ = boot.mftMirrSector();
  recordBytes_ = boot.recordBytes;
  recordBytesFromBoot_ = true;
}

std::uint32_t CNtfsEngine::ReadBootSector() {
  const auto boot = findBootSector();
  if (!boot) return 0;
  adoptBootSector(*boot);
  return 1;
}

void CNtfsEngine::settleRecordSize() {
  const auto boot = findBootSector();
  recordBytesFromBoot_ = boot.has_value();
  if (boot) recordBytes_ = boot->recordBytes;
}

void CNtfsEngine::setMftSectors(std::uint64_t sectors) {
  mftSectorCount_ = std::min(sectors / recordSectors(), CNtfsEngine::kMaxMftRecords) * recordSectors();
}

bool CNtfsEngine::settleGeometry() {
  // The volume record's copy is only as good as the partition walk that read it: its $MFT
  // must lie inside the volume, and the boot sector, where one is readable, has the last word.
  const bool recordUsable = fs::ntfs::isValidSectorsPerCluster(m_nSectorsPerCluster) && mftSector_ < m_nSectorCount;
  if (mftMirrSector_ >= m_nSectorCount) mftMirrSector_ = 0;
  const auto boot = findBootSector();
  if (boot) {
    adoptBootSector(*boot);
    return true;
  }
  if (!recordUsable) m_nSectorsPerCluster = 0;
  return recordUsable;
}

void CNtfsEngine::countMftRecords(std::uint64_t sectors, std::uint64_t dataBytes) {
  // A data size of 0, or one past what the clusters hold, names no end of its own.
  const std::uint64_t dataRecords = std::min((dataBytes + recordBytes_ - 1) / recordBytes_, kMaxMftRecords);
  mftDataSectors_ = dataRecords != 0 ? dataRecords * recordSectors() : ~std::uint64_t{0};
  setMftSectors(std::min(sectors, mftDataSectors_));
}

bool CNtfsEngine::collectMftRuns(std::uint64_t recordZeroSector, bool strictChain, std::vector<fs::ntfs::RunEntry>& runs,
                                 std::uint64_t& sectors, std::uint64_t* dataBytes) {
  runs.clear();
  sectors = 0;
  if (dataBytes) *dataBytes = 0;
  Record record{};
  readOwnSizedRecord(recordZeroSector, record);
  if (!fs::ntfs::ApplyRecordFixup(record)) return false;
  // Without a boot sector, $MFT's first record tells the size of every record after it.
  if (!recordBytesFromBoot_) recordBytes_ = std::uint32_t(record.size());
  const platform::ByteView view(record);
  const auto data = fs::ntfs::FindRecordData(view, false);
  if (!data || data->resident || data->kind != fs::ntfs::kKindFile) return false;
  if (dataBytes) *dataBytes = view.le64(data->attributeOffset + L::kAttrRealSize).value_or(0);
  std::size_t offset = data->offset;
  sectors = fs::ntfs::DecodeDataRuns(view, offset, runs, false, m_nSectorsPerCluster);
  if (!data->hasAttributeList || runs.empty()) return !runs.empty();

  // Record 0 holds the first pieces; the list names the records holding the others.
  const std::vector<std::uint8_t> list = readAttributeListContent(record);
  for (const std::uint32_t part : fs::ntfs::ReadAttributeListRecords(platform::ByteView(list), 0u)) {
    if (stopRequested()) break;
    const auto extents = fs::ntfs::runsToExtents(runs);
    Record ext{};
    if (!extents || !readRecordThrough(*extents, part, ext)) {
      if (strictChain) {
        runs.clear();
        sectors = 0;
        return false;
      }
      break;
    }
    const platform::ByteView extView(ext);
    const auto extData = fs::ntfs::FindRecordData(extView, false);
    if (!extData || extData->resident) break;
    std::size_t extOffset = extData->offset;
    sectors += fs::ntfs::DecodeDataRuns(extView, extOffset, runs, true, m_nSectorsPerCluster);
  }
  return true;
}

bool CNtfsEngine::collectMftRunsOrMirror(std::vector<fs::ntfs::RunEntry>& runs, std::uint64_t& sectors,
                                         std::uint64_t& dataBytes) {
  if (!collectMftRuns(mftSector_, false, runs, sectors, &dataBytes) || runs.empty()) {
    runs.clear();
    // The mirror is known only when the boot sector was read; sector 0 is the boot sector itself.
    if (mftMirrSector_ != 0) collectMftRuns(mftMirrSector_, true, runs, sectors, &dataBytes);
  }
  return !runs.empty();
}

std::uint32_t CNtfsEngine::LoadMft() {
  mftRuns_.clear();
  mftExtents_.clear();
  mftSectorCount_ = 0;
  mftDataSectors_ = ~std::uint64_t{0};
  if (!m_nSectorsPerCluster) return 0;
  std::vector<fs::ntfs::RunEntry> runs;
  std::uint64_t sectors = 0, dataBytes = 0;
  if (!collectMftRunsOrMirror(runs, sectors, dataBytes)) return 0;
  // The first run must start where the boot sector puts $MFT.
  const std::int64_t firstCluster = runs.front().signedOffset();
  if (runs.front().sparse() || firstCluster < 0 || std::uint64_t(firstCluster) * m_nSectorsPerCluster != mftSector_)
    return 0;
  auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents) return 0;
  // The record count bounds the record map and every record loop: only the $MFT's clusters
  // that lie inside the volume hold records, whatever length its runs claim.
  const std::uint64_t insideClusters = fs::ntfs::tallyClusters(*extents, volumeClusters()).inside;
  mftRuns_ = std::move(runs);
  mftExtents_ = std::move(*extents);
  countMftRecords(std::min(sectors, insideClusters * m_nSectorsPerCluster), dataBytes);
  recordMap_.clear();
  reportedIndexBlocks_.clear();
  markRecord(0);
  markRecord(1);
  return 1;
}

// ---------------------------------------------------------------- scans

engine::ScanOutcome CNtfsEngine::ScanVolume(std::uint32_t bDeleted) {
  deletedScan_ = bDeleted != 0;
  failure_.clear();
  clearDeepScan();
  settleRecordSize();
  const bool bootKnown = settleGeometry();
  const bool mftLoaded = bootKnown && LoadMft() != 0;
  if (!bootKnown) {
    failure_ = u"no NTFS boot sector at the volume's first sector or at its backup";
  } else if (!mftLoaded) {
    failure_ = platform::widenLatin1("no readable $MFT at volume sector " + std::to_string(mftSector_) +
                                     " or at its mirror");
  }
  if (deletedScan_) {
    // The deleted-files passes build on the loaded $MFT; without it there is nothing to do.
    if (mftLoaded) {
      CollectDeletedRecords();
      BuildDeletedTree();
    }
    if (mftLoaded && mftRecordCount() == 0) failure_ = u"no $MFT record lies inside the volume";
    return engine::scanEnded(app_, failure_, &notifier_);
  }
  // Without a usable boot sector or $MFT the quick scan gives way to the deep scan, which
  // needs neither.
  if (mftLoaded) RunQuickScan();
  else runAdvancedScan();
  return engine::scanEnded(app_, failure_, &notifier_);
}

void CNtfsEngine::RunQuickScan() {
  reporter_.logStart(texts::kCreatingDirectoryTree);
  // One sweep over $MFT tells the walk which index entries name records that have since
  // been deleted or reused, and the deleted-files pass which records to look at.
  loadRecordHeaders();
  markRecord(rootRecord_);
  WalkFolderIndex(rootRecord_);
  if (!stopRequested()) {
    if (m_nEntryCount == 0) SearchRootOrphans();
    if (m_nEntryCount != 0) AddDeletedFiles();
  }
  reporter_.logEnd(stopRequested());
}

void CNtfsEngine::addFreeExtent(std::uint32_t firstCluster, std::uint32_t clusterCount) {
  FREE_EXTENT& e = freeExtentPool_.emplace_back(FREE_EXTENT{firstCluster, clusterCount, nullptr});
  if (freeExtentsTail_) freeExtentsTail_->next = &e;
  else m_pFreeExtents = &e;
  freeExtentsTail_ = &e;
}

void CNtfsEngine::clearFreeExtents() {
  freeListWhole_ = false;
  freeExtentPool_.clear();
  m_pFreeExtents = freeExtentsTail_ = nullptr;
}

bool CNtfsEngine::isFreeCluster(std::uint64_t cluster) const {
  // The last extent that starts at or before the cluster.
  auto it = std::upper_bound(freeExtentPool_.begin(), freeExtentPool_.end(), cluster,
                             [](std::uint64_t c, const FREE_EXTENT& e) { return c < e.firstCluster; });
  if (it == freeExtentPool_.begin()) return false;
  --it;
  return cluster - it->firstCluster < it->clusterCount;
}

std::optional<std::uint64_t> CNtfsEngine::nextFreeCluster(std::uint64_t cluster) const {
  const std::uint64_t c = cluster + 1;
  if (isFreeCluster(c)) return c;
  auto it = std::upper_bound(freeExtentPool_.begin(), freeExtentPool_.end(), c,
                             [](std::uint64_t v, const FREE_EXTENT& e) { return v < e.firstCluster; });
  for (; it != freeExtentPool_.end(); ++it)
    if (it->clusterCount != 0) return it->firstCluster;
  return std::nullopt;
}

}  // namespace qelda::ntfs
