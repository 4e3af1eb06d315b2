// The engine object: set-up, the volume reader, cluster chains and lists, the cluster map,
// reporting and log lines.
#include "fat/fat_engine.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

#include "engine/scan_state.h"
#include "engine/volume_reader.h"
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


// A chain or list longer than this cannot belong to any FAT volume (2^28 clusters).
constexpr std::uint64_t kMaxListClusters = 1u << 28;

}  // namespace

CFatEngine::CFatEngine(engine::ScanState& app, const engine::EngineSinks& sinks)
    : HeldSinks(sinks), m_pConsole(sinks.console), app_(app) {}

void CFatEngine::Initialize(std::uint8_t bImageFile) {
  initializeVolume(bImageFile, engine::locateSelectedVolume(app_, bImageFile));
}

void CFatEngine::initializeVolume(std::uint8_t bImageFile, const FatVolumeSource& source) {
  progress_.setPos(kItemBar, 0);
  reader_.open(app_.mountedImage(), m_bImageFile, m_szImagePath);
  sourceKind_ = source.entryKind;
  rebuilt_ = source;
  // A whole disk or drive: the raw scan sets its own range.
  if (source.wholeDrive()) return;
  engine::adoptVolumePlace(source, bImageFile, volumePlace(), reader_, app_.mountedImage());
  itemIds_.startAt(2);
  app_.m_bVolumeOpened = 1;
}

engine::VolumePlaceSlots CFatEngine::volumePlace() {
  return {m_nPartitionStart, m_nTotalSectors, m_nLastSector, m_nFatType, m_nDriveNumber, m_bImageFile, m_szImagePath};
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
  visited_ = VisitedClusters();
  markedToEnd_ = VisitedClusters();
  reader_.close();
  m_pRawSearch.reset();
  rawUnitRule_.reset();
  rawFolders_.clear();
  nameNodes_.clear();
  rawFinds_.reset();
}

std::uint64_t CFatEngine::systemSectorCount() const {
  return fs::fat::systemSectors(m_nReservedSectors, m_nSectorsPerFat, m_nRootDirSectors, m_nFatCount);
}

std::uint64_t CFatEngine::fixedRootStart() const {
  return fs::fat::systemSectors(m_nReservedSectors, m_nSectorsPerFat, 0, m_nFatCount);
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
  m_nFatCount = info.fatCount;
}

void CFatEngine::setClusterBoundFromFat() {
  const std::uint64_t perSector = m_nFatType == fs::fat::kFat32 ? 128 : m_nFatType == fs::fat::kFat16 ? 256 : fs::fat::kFat12EntriesPerSector;
  m_nMaxCluster = std::uint32_t(std::min<std::uint64_t>(std::uint64_t(m_nSectorsPerFat) * perSector, UINT32_MAX));
}

// --- reading -----------------------------------------------------------------------------------

bool CFatEngine::readVolumeSectors(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t sector) {
  // The reader leaves zeros where it could not read: the buffer always holds what was read.
  return reader_.readFrom(m_bAbsoluteSectors ? 0 : m_nPartitionStart, sector, {buffer, byteCount});
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

std::shared_ptr<const engine::ClusterMap> CFatEngine::allocationMap() const {
  if (m_pFat.empty() || m_nMaxCluster < 2 || m_nSectorsPerCluster == 0) return nullptr;
  const fs::fat::FatTable fat = fatTable();
  auto map = std::make_shared<engine::ClusterMap>(2, std::uint64_t(m_nMaxCluster) - 1);
  for (std::uint64_t c = 2; c <= m_nMaxCluster; ++c) {
    const std::optional<std::uint32_t> value = fat.entry(c);
    if (!value) break;  // the rest of the table lies outside the volume: not known
    if (*value != 0) map->markInUse(c);
  }
  map->place(m_nPartitionStart + systemSectorCount(), m_nSectorsPerCluster, m_nPartitionStart);
  return map;
}

std::shared_ptr<const engine::ClusterMap> CFatEngine::loadAllocationMap() {
  if (m_pFat.empty()) {
    if (isRebuiltVolume() || !takeBootParameters()) return nullptr;
    setClusterBound();
    if (LoadFat() == 0) return nullptr;
  }
  return allocationMap();
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
    chain = engine::followChain(engine::FatChainSource{fatTable(), m_nMaxCluster}, first, visited_);
    walkStats_.chainClustersFollowed += chain.size();
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
  markedToEnd_ = VisitedClusters();
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

  progress_.SetStatusText(engine::texts::kSearchingCritical);
  progress_.setRange(kItemBar, 0, m_nSectorsPerFat);
  progress_.setStep(kItemBar, 1);
  progress_.SetStopEnabled(false);
  app_.m_bSearchingCriticalInfo = 1;
  const fs::fat::FatTable fat = fatTable();
  for (std::uint64_t n = 0; n < entries; ++n) {
    if (n % perSector == 0) progress_.stepIt(kItemBar);
    const auto value = fat.entry(n);
    if (!value) break;
    if (*value != 0 && *value != bad && n >= 2 && n < m_nMaxCluster) m_pClusterMap[n] = 1;
  }
  progress_.SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
progress_.SetStatusText(u"0 " + std::u16string(engine::texts::kEntriesFound));
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
  std::uint64_t savedPos = 0;
  if (large) {
    progress_.SetStatusText(engine::texts::kUpdatingLargeFiles);
    progress_.SetStopEnabled(false);
    // The search this chain interrupts takes its bar back where it was.
    savedPos = progress_.getPos(kBlockBar);
    blockBar_.start(bound);
  }
  // A cluster whose chain an earlier mark followed to its end ends this one: all after it
  // is marked already. Folders nested along one long chain then cost the chain once.
  if (markedToEnd_.size() != visited_.size()) markedToEnd_.resize(visited_.size());
  const auto chain =
      engine::followChainUntil(engine::FatChainSource{fatTable(), m_nMaxCluster}, first, visited_, markedToEnd_, bound);
  walkStats_.chainClustersFollowed += chain.size();
  for (const std::uint32_t c : chain) {
    FatMarkClusterListed(c);
    if (large) blockBar_.step();
  }
  // Cut short by the size, the chain's tail is not marked: its clusters end no later chain.
  if (chain.size() < bound)
    for (const std::uint32_t c : chain) markedToEnd_.insert(c);
  if (large) {
    blockBar_.moveTo(savedPos);
    progress_.SetStopEnabled(true);
  }
}

// --- reporting ----------------------------------------------------------------------------------

engine::ItemReporter CFatEngine::reporter() const { return reporterFor(m_pConsole); }

engine::ItemReporter& CFatEngine::itemReporter() {
  if (itemReporter_.console() != m_pConsole || itemReporter_.scanDlg() != &progress_ || itemReporter_.log() != &log_)
    itemReporter_ = reporter();
  return itemReporter_;
}

void CFatEngine::reportItem(const FOUND_ITEM& record, std::u16string_view name, bool withFlush,
                            std::uint64_t itemRange) {
  ++walkStats_.itemsReported;
  if (withFlush && !pendingItems_.empty()) FlushPendingItems();
  // Where the data of a file of a geometry that cannot be told lies is not known: it is
  // reported with no cluster, so that nothing is read for it. A file found by its signature
  // starts at the cluster it was found at, whatever the geometry.
  if (outsideTree_ && !record.isFolder() && !(record.m_byFlags & kItemBySignature)) {
    FOUND_ITEM unknown = record;
    unknown.m_nRecordKey = 0;
    itemReporter().report(unknown, name, {m_nFoundCount, m_nFolderCount, m_nFileCount, m_nTotalSize}, itemRange);
    return;
  }
  itemReporter().report(record, name, {m_nFoundCount, m_nFolderCount, m_nFileCount, m_nTotalSize}, itemRange);
}

void CFatEngine::PushPendingItem(const FOUND_ITEM& record, std::u16string_view name) {
  pendingItems_.hold(record, name, walkStack_.size());  // the level of the folder's own walk
}

void CFatEngine::DropPendingItem() { pendingItems_.drop(); }

void CFatEngine::FlushPendingItems() {
  // The folders on the path to a deleted item, outermost first (the first of a scan resets
  // the found tree).
  pendingItems_.flush(itemReporter(), {m_nFoundCount, m_nFolderCount, m_nFileCount, m_nTotalSize},
                      engine::kDefaultItemRange, [this](const FOUND_ITEM& record) {
                        if (m_bAdvanced) FatMarkClusterListed(std::uint32_t(record.m_nRecordKey));
                      });
}

// --- log lines ----------------------------------------------------------------------------------

void CFatEngine::logSection(std::u16string_view text) { log_.AddLogEntry(std::u16string(text), true); }
void CFatEngine::logItem(std::u16string_view text) { log_.AddLogEntry(std::u16string(text), false); }
void CFatEngine::logStarted(std::u16string_view section) { reporter().logStart(section); }
void CFatEngine::logFinished() { reporter().logEnd(stopRequested()); }

}  // namespace qelda::fat
