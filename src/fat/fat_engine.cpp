// The engine object: set-up, the volume reader, cluster chains and lists, the cluster map,
// reporting and log lines.
#include "fat/fat_engine.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

#include "engine/scan_state.h"
#include "image/virtual_disk.h"
#include "volume/volume_records.h"
#include "fs/fat_layout.h"
#include "fat/fat_texts.h"
#include "engine/item_reporter.h"
#include "platform/log.h"
#include "platform/text.h"

namespace qelda::fat {

using fs::fat::kSectorBytes;

namespace {

platform::NullScanProgress g_noProgress;

// A chain or list longer than this cannot belong to any FAT volume (2^28 clusters).
constexpr std::uint64_t kMaxListClusters = 1u << 28;

}  // namespace

CFatEngine::CFatEngine(engine::ScanState& app, platform::ILog& log, platform::IUserNotifier& notifier)
    : app_(app), log_(log), notifier_(notifier) {}

void CFatEngine::Initialize(std::uint8_t bImageFile) {
  FatVolumeSource source;
  const volume::DEVICE_ENTRY* entry = app_.m_pSelectedSource;
  if (entry) {
    source.sourceKind = entry->m_byKind;
    source.imagePath = entry->m_szName;
    if (const volume::VOLUME_RECORD* volume = entry->m_pDetail.volume()) {
      source.startSector = volume->m_nStartSector;
      source.sectorCount = volume->m_nSectorCount;
      source.lastSector = volume->m_nLastSector;
      source.fatType = volume->m_byFileSystem;
      source.drive = volume->m_byDrive;
      source.sectorsPerCluster = volume->m_bySectorsPerCluster;
      source.fatSectors = volume->m_nFatSectors;
      source.reservedSectors = volume->m_nReservedSectors;
      source.rootDirSectors = volume->m_wRootDirSectors;
      source.clusterArray = volume->clusterArray;
    }
  } else {
    source.sourceKind = 0;  // nothing chosen: treated as a whole disk
  }
  initializeVolume(bImageFile, source);
}

void CFatEngine::initializeVolume(std::uint8_t bImageFile, const FatVolumeSource& source) {
  if (m_pScanDlg) m_pScanDlg->setPos(kItemBar, 0);
  image_ = app_.mountedImage();
  sourceKind_ = source.sourceKind;
  rebuilt_ = source;
  switch (source.sourceKind) {
    case 0: case 4: case 5: case 6: case 8: case 9:
      // A whole disk or drive: the raw scan sets its own range.
      return;
    default:
      break;
  }
  if (source.sourceKind == 7) {
    m_nPartitionStart = 0;  // the volume starts at the first sector of the file the entry names
    m_szImagePath = source.imagePath;
  } else {
    m_nPartitionStart = source.startSector;
    if (!source.imagePath.empty()) m_szImagePath = source.imagePath;
  }
  m_nTotalSectors = source.sectorCount;
  m_nLastSector = source.lastSector;
  // A volume that claims more than the disk holds is read only as far as the disk goes.
  if (!bImageFile && image_ && image_->diskSectors != 0) {
    const std::uint64_t room = m_nPartitionStart < image_->diskSectors ? image_->diskSectors - m_nPartitionStart : 0;
    m_nTotalSectors = std::min(m_nTotalSectors, room);
  }
  m_nFatType = source.fatType;
  m_nDriveNumber = source.drive;
  m_nNextItemId = 2;
  m_bImageFile = bImageFile;
  imageFile_.reset();
  imageFileTried_ = false;
  app_.m_bVolumeOpened = 1;
}

void CFatEngine::FreeAll() {
  m_pClusterMap.clear();
  m_pClusterMap.shrink_to_fit();
  m_nClusterMapSize = 0;
  m_pFat.clear();
  m_pFat.shrink_to_fit();
  clearListedFolders();
  m_pDirCandidates.clear();
  entryClusters_ = {};
  passBlock_ = {};
  zeroCluster_ = {};
  pendingDirs_.clear();
  orphanDirs_.clear();
  pendingItems_.clear();
  walkStack_.clear();
  visited_ = fs::fat::VisitedClusters();
  imageFile_.reset();
  imageFileTried_ = false;
  image_.reset();
  m_pRawSearch.reset();
  rawUnitRule_.reset();
  rawFolders_.clear();
  nameNodes_.clear();
}

std::uint64_t CFatEngine::systemSectorCount() const {
  return fs::fat::systemSectors(m_nReservedSectors, m_nSectorsPerFat, m_nRootDirSectors);
}

std::uint64_t CFatEngine::dataBound() const {
  return fs::fat::dataClusterBound(m_nTotalSectors, systemSectorCount(), m_nSectorsPerCluster);
}

void CFatEngine::FatCopyBootParams(const fs::fat::FatBootParams& info) {
  m_nSectorsPerCluster = info.sectorsPerCluster;
  m_nFatType = info.fatType;
  m_nRootDirSectors = info.rootDirSectors;
  m_nSectorsPerFat = info.sectorsPerFat;
  m_nRootCluster = info.rootCluster;
  m_nReservedSectors = info.reservedSectors;
}

void CFatEngine::setClusterBoundFromFat() {
  const std::uint64_t perSector = m_nFatType == fs::fat::kFat32 ? 128 : m_nFatType == fs::fat::kFat16 ? 256 : fs::fat::kFat12EntriesPerSector;
  m_nMaxCluster = std::uint32_t(std::min<std::uint64_t>(std::uint64_t(m_nSectorsPerFat) * perSector, UINT32_MAX));
}

// --- reading -----------------------------------------------------------------------------------

std::uint32_t CFatEngine::ReadImageFileSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t sectorCount) {
  // The file stays open for the scan instead of being opened for every read.
  if (!imageFile_ && !imageFileTried_) {
    imageFileTried_ = true;
    imageFile_ = platform::ReadOnlyFile::open(platform::toUtf8(m_szImagePath));
  }
  const std::size_t bytes = std::size_t(sectorCount) * kSectorBytes;
  if (!imageFile_ || sector > UINT64_MAX / kSectorBytes) {
    std::memset(buffer, 0, bytes);
    return 0;
  }
  // A short read leaves zeros after what was read.
  return imageFile_->readExact(sector * kSectorBytes, {buffer, bytes}) ? 1 : 0;
}

bool CFatEngine::readVolumeSectors(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t sector) {
  // Both readers leave zeros where they could not read: the buffer always holds what was read.
  const std::uint64_t absolute = m_bAbsoluteSectors ? sector : m_nPartitionStart + sector;
  if (m_bImageFile) return ReadImageFileSectors(absolute, buffer, byteCount / kSectorBytes) != 0;
  image::ReadReport report;
  const std::uint32_t result = image::ReadSourceSectors(image_.get(), buffer, absolute, byteCount, &report);
  return result != 0 && report.failedSectors == 0;
}

std::uint32_t CFatEngine::ReadClusterSectors(std::uint64_t cluster, std::uint16_t sectorInCluster, std::uint8_t* buffer,
                                             std::uint16_t sectorCount) {
  if (buffer == nullptr || sectorCount == 0) return 0;
  const auto refuse = [&] {
    std::memset(buffer, 0, std::size_t(sectorCount) * kSectorBytes);
    return 0u;
  };
  if (!sectorsInVolume(cluster, sectorInCluster, sectorCount)) return refuse();
  const std::uint64_t sector = systemSectorCount() + (cluster - 2) * m_nSectorsPerCluster + sectorInCluster;
  return readVolumeSectors(buffer, std::uint32_t(sectorCount) * kSectorBytes, sector) ? 1 : 0;
}

bool CFatEngine::sectorsInVolume(std::uint64_t cluster, std::uint64_t sectorInCluster,
                                 std::uint64_t sectorCount) const {
  // Clusters 0 and 1 do not exist; a cluster number this large lies beyond any volume.
  if (cluster < 2 || m_nSectorsPerCluster == 0 || cluster > (std::uint64_t(1) << 40)) return false;
  const std::uint64_t sector = systemSectorCount() + (cluster - 2) * m_nSectorsPerCluster + sectorInCluster;
  // Clusters past the volume's end belong to whatever follows it on the disk.
  return m_bAbsoluteSectors || sector + sectorCount <= m_nTotalSectors;
}

bool CFatEngine::readFirstSector(std::uint32_t cluster, std::uint8_t* sector512) {
  return ReadClusterSectors(cluster, 0, sector512, 1) != 0;
}

std::optional<std::uint32_t> CFatEngine::fatEntry(std::uint32_t cluster) const {
  if (!fatInUse()) return std::nullopt;
  return fatTable().entry(cluster);
}

// --- chains and cluster lists --------------------------------------------------------------------

std::vector<std::uint32_t> CFatEngine::FollowClusterChain(std::uint32_t first, std::uint32_t& byteCount) {
  byteCount = 0;
  std::vector<std::uint32_t> chain;
  if (!fatInUse()) {
    // No FAT to follow: the file is taken from its first cluster on.
    chain.push_back(first);
  } else {
    if (visited_.size() != std::uint64_t(m_nMaxCluster) + 1) visited_.resize(std::uint64_t(m_nMaxCluster) + 1);
    chain = fs::fat::followChain(fatTable(), first, m_nMaxCluster, visited_);
  }
  byteCount = std::uint32_t(chain.size() * 4);
  return chain;
}

std::vector<std::uint32_t> CFatEngine::GetClusterList(std::uint32_t first, std::uint64_t size, std::uint32_t mode,
                                                      std::uint32_t& byteCount) {
  byteCount = 0;
  if (mode == 0 && fatInUse()) return FollowClusterChain(first, byteCount);
  std::vector<std::uint32_t> list;
  if (size == 0 || m_nSectorsPerCluster == 0) return list;
  const std::uint64_t sectors = (size + kSectorBytes - 1) / kSectorBytes;
  const std::uint64_t clusters = (sectors + m_nSectorsPerCluster - 1) / m_nSectorsPerCluster;
  if (clusters > kMaxListClusters) return list;
  list.reserve(clusters);
  for (std::uint64_t i = 0; i < clusters; ++i) list.push_back(std::uint32_t(first + i));
  byteCount = std::uint32_t(list.size() * 4);
  return list;
}

// --- the cluster map -------------------------------------------------------------------------------

const std::uint8_t* CFatEngine::FatBuildClusterMap() {
  m_pClusterMap.clear();
  m_nClusterMapSize = 0;
  if (m_nLinkingMode != fs::fat::kLinkContiguous) setClusterBoundFromFat();
  if (FatMarkUsedClusters()) return m_pClusterMap.data();
  // No FAT: every cluster of the data area counts as used.
  const std::uint64_t bound = dataBound();
  if (bound == 0 || bound >= kMaxListClusters) return nullptr;
  m_nMaxCluster = std::uint32_t(bound);
  m_nClusterMapSize = m_nMaxCluster + 1;
  m_pClusterMap.assign(m_nClusterMapSize, 1);
  return m_pClusterMap.data();
}

const std::uint8_t* CFatEngine::FatMarkUsedClusters() {
  if (!fatInUse()) return nullptr;
  const std::uint32_t bad = m_nFatType == fs::fat::kFat32 ? fs::fat::kFat32Bad : m_nFatType == fs::fat::kFat16 ? fs::fat::kFat16Bad : fs::fat::kFat12Bad;
  const std::uint64_t perSector = m_nFatType == fs::fat::kFat32 ? 128 : m_nFatType == fs::fat::kFat16 ? 256 : fs::fat::kFat12EntriesPerSector;
  // Entries of the FAT as loaded: no more than the part of it that lies inside the volume.
  const std::uint64_t entries = perSector * std::min<std::uint64_t>(m_nSectorsPerFat, m_pFat.size() / kSectorBytes);
  if (entries + 1 > kMaxListClusters + 1) return nullptr;
  m_nClusterMapSize = std::uint32_t(entries + 1);
  m_pClusterMap.assign(m_nClusterMapSize, 0);

  platform::IScanProgress& bar = m_pScanDlg ? *m_pScanDlg : g_noProgress;
  bar.SetStatusText(text::kSearchingCritical);
  bar.setRange(kItemBar, 0, m_nSectorsPerFat);
  bar.setStep(kItemBar, 1);
  bar.SetStopEnabled(false);
  app_.m_bSearchingCriticalInfo = 1;
  const fs::fat::FatTable fat = fatTable();
  for (std::uint64_t n = 0; n < entries; ++n) {
    if (n % perSector == 0) bar.stepIt(kItemBar);
    const auto value = fat.entry(n);
    if (!value) break;
    if (*value != 0 && *value != bad && n >= 2 && n < m_nMaxCluster) m_pClusterMap[n] = 1;
  }
  bar.SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
  bar.SetStatusText(u"0 " + std::u16string(engine::texts::kEntriesFound));
  return m_pClusterMap.data();
}

void CFatEngine::FatMarkClusterListed(std::uint32_t cluster) {
  if (!m_pClusterMap.empty() && cluster <= m_nMaxCluster && cluster < m_nClusterMapSize) m_pClusterMap[cluster] = 2;
}

void CFatEngine::MarkItemClusters(std::uint32_t first, const FOUND_ITEM* record, std::uint8_t bFirstOnly) {
  // Without a map there is nothing to mark (quick and deleted scans build none).
  if (m_pClusterMap.empty()) return;
  if (bFirstOnly || first == 2 || !fatInUse()) {
    FatMarkClusterListed(first);
    return;
  }
  std::uint64_t bound = UINT64_MAX;
  bool large = false;
  if (record) {
    const std::uint64_t size = record->m_nSize;
    const bool folder = record->isFolder();
    if (!folder && (size == 0 || size > m_nTotalSectors * kSectorBytes)) return;
    if (folder && size != 0) return;
    if (record->m_byFlags & kItemDeleted) {
      FatMarkClusterListed(first);
      return;
    }
    if (size != 0 && bytesPerCluster() != 0) bound = (size + bytesPerCluster() - 1) / bytesPerCluster();
    large = size >= 0x1400000;
  }
  if (visited_.size() != std::uint64_t(m_nMaxCluster) + 1) visited_.resize(std::uint64_t(m_nMaxCluster) + 1);
  platform::IScanProgress& bar = m_pScanDlg ? *m_pScanDlg : g_noProgress;
  std::uint64_t savedPos = 0;
  if (large) {
    bar.SetStatusText(text::kUpdatingLargeFiles);
    bar.SetStopEnabled(false);
    bar.showBar(kBlockBar, true);
    savedPos = bar.getPos(kBlockBar);
    bar.setPos(kBlockBar, 0);
    bar.setRange(kBlockBar, 0, bound);
    bar.setStep(kBlockBar, 1);
  }
  const auto chain = fs::fat::followChain(fatTable(), first, m_nMaxCluster, visited_, bound);
  for (const std::uint32_t c : chain) {
    FatMarkClusterListed(c);
    if (large) bar.stepIt(kBlockBar);
  }
  if (large) {
    bar.setPos(kBlockBar, savedPos);
    bar.SetStopEnabled(true);
  }
}

// --- reporting ----------------------------------------------------------------------------------

engine::ItemReporter CFatEngine::reporter() const { return engine::ItemReporter(m_pConsole, m_pScanDlg, &log_); }

engine::ItemReporter& CFatEngine::itemReporter() {
  if (itemReporter_.console() != m_pConsole || itemReporter_.scanDlg() != m_pScanDlg || itemReporter_.log() != &log_)
    itemReporter_ = reporter();
  return itemReporter_;
}

void CFatEngine::reportItem(const FOUND_ITEM& record, std::u16string_view name, bool withFlush,
                            std::uint64_t itemRange) {
  ++walkStats_.itemsReported;
  if (withFlush && !pendingItems_.empty()) {
    // The first-find steps come before the held-back folders.
    if (m_nFoundCount == 0) {
      if (m_pScanDlg) {
        m_pScanDlg->setRange(kItemBar, 0, engine::kDefaultItemRange);
        m_pScanDlg->setStep(kItemBar, 1);
      }
      ++m_nFoundCount;
      ++m_nFolderCount;
      if (m_pConsole) {
        m_pConsole->ResetFoundTree();
        m_pConsole->UpdateStatusCounts();
      }
    }
    FlushPendingItems();
  }
  itemReporter().report(record, name, {m_nFoundCount, m_nFolderCount, m_nFileCount, m_nTotalSize}, itemRange);
}

void CFatEngine::PushPendingItem(const FOUND_ITEM& record, std::u16string_view name) {
  PENDING_ITEM item;
  item.record = record;
  item.record.m_pNext = item.record.m_pPrev = nullptr;
  item.record.m_hTreeItem = nullptr;
  item.name = std::u16string(name.substr(0, std::min(name.size(), fs::fat::dirent::kMaxLongName)));
  pendingItems_.push_back(std::move(item));
}

void CFatEngine::DropPendingItem() {
  if (!pendingItems_.empty()) pendingItems_.pop_back();
}

void CFatEngine::FlushPendingItems() {
  // The folders on the path to a deleted item, outermost first.
  for (const PENDING_ITEM& item : pendingItems_) {
    ++m_nFoundCount;
    ++m_nFolderCount;
    if (m_pConsole) m_pConsole->AddFoundItem(item.record, item.name.substr(0, kMaxItemNameLength));
    if (m_pScanDlg) m_pScanDlg->stepIt(kItemBar);
    if (m_bAdvanced) FatMarkClusterListed(std::uint32_t(item.record.m_nRecordKey));
    if (m_pConsole) m_pConsole->UpdateStatusCounts();
    itemReporter().showFoundCount(m_nFoundCount);
  }
  pendingItems_.clear();
}

// --- log lines ----------------------------------------------------------------------------------

void CFatEngine::logSection(std::u16string_view text) { log_.AddLogEntry(std::u16string(text), true); }
void CFatEngine::logItem(std::u16string_view text) { log_.AddLogEntry(std::u16string(text), false); }
void CFatEngine::logStarted(std::u16string_view section) { reporter().logStart(section); }
void CFatEngine::logFinished() { reporter().logEnd(stopRequested()); }

}  // namespace qelda::fat
