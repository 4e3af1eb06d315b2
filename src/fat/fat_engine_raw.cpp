// The raw search: files found by their signatures (the carving dispatcher), over a volume's
// free clusters when its FAT geometry is usable, else over a range of sectors (a whole disk, an
// image, a volume without a usable geometry). Found files are reported in one folder per type.
#include <algorithm>
#include <ctime>
#include <string>

#include "carve/finder_names.h"
#include "engine/scan_state.h"
#include "fat/fat_engine.h"
#include "fat/fat_texts.h"
#include "fs/fat_layout.h"
#include "platform/log.h"
#include "platform/text.h"

namespace qelda::fat {

namespace {

// The first find of a raw search sets the item bar's range to this.
constexpr std::uint64_t kRawItemRange = 10000;
constexpr std::uint32_t kRawBlockSectors = 2048;

// The forward search's next cluster: the first following one the cluster map holds free, or
// (without a map) simply the next one.
class FatClusterUnitRule final : public carve::IRawUnitRule {
 public:
  FatClusterUnitRule(const std::vector<std::uint8_t>* map, std::uint64_t end, std::uint32_t clusterBytes,
                     std::function<std::uint64_t(std::uint64_t)> firstSectorOf)
      : map_(map), end_(end), clusterBytes_(clusterBytes), firstSectorOf_(std::move(firstSectorOf)) {}
  std::uint32_t unitBytes() const override { return clusterBytes_; }
  std::uint32_t clusterBytes() const override { return clusterBytes_; }
  std::optional<carve::RawUnit> nextUnit(std::uint64_t unit) const override {
    for (std::uint64_t c = unit + 1; c < end_; ++c)
      if (!map_ || (*map_)[c] == 0) return carve::RawUnit{c, firstSectorOf_(c)};
    return std::nullopt;
  }

 private:
  const std::vector<std::uint8_t>* map_;
  std::uint64_t end_;  // no further than the map, the cluster bound and the data area
  std::uint32_t clusterBytes_;
  std::function<std::uint64_t(std::uint64_t)> firstSectorOf_;
};

}  // namespace

bool CFatEngine::readAbsoluteSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
  const bool ok = reader_.read(sector, {buffer, std::size_t(count) * fs::fat::kSectorBytes});
  if (!ok) rawReadFailures_.fetch_add(1, std::memory_order_relaxed);
  return ok;
}

void CFatEngine::makeRawContext(std::unique_ptr<carve::IRawUnitRule> rule) {
  rawUnitRule_ = std::move(rule);
  m_pRawSearch = std::make_unique<carve::RAW_READ_CONTEXT>();
  m_pRawSearch->reader = [this](std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
    return readAbsoluteSectors(sector, buffer, count);
  };
  m_pRawSearch->sourceFirstSector = m_nPartitionStart;
  m_pRawSearch->sourceEndSector = m_nPartitionStart + m_nTotalSectors;
  m_pRawSearch->unitRule = rawUnitRule_.get();
  m_pRawSearch->selectedHeaders = app_.m_pSelectedHeaders;
  m_pRawSearch->stop = &app_.m_bStopRequested;
}

engine::ScanOutcome CFatEngine::ScanRaw() {
  const volume::DEVICE_ENTRY* entry = app_.m_pSelectedSource;
  const volume::VOLUME_RECORD* volume = entry ? entry->m_pDetail.volume() : nullptr;
  if (!volume || volume->m_szFileSystem != u"NTFS") ScanRawVolume();
  return scanOutcome();
}

void CFatEngine::ScanRawVolume() {
  failure_.clear();
  m_bAdvanced = 0;
  const auto searchBySectors = [&] {
    // The range the volume covers; its last sector is the one before start + count.
    if (m_nTotalSectors != 0) SetRawSearchRange(m_bImageFile, m_nPartitionStart, m_nPartitionStart + m_nTotalSectors - 1);
    SearchDriveForKnownTypes();
  };
  if (isRebuiltVolume()) {
    if (!takeRebuiltVolumeParameters()) return searchBySectors();
  } else if (takeBootParameters(true)) {
    FatVerifyFats();
  } else {
    return searchBySectors();
  }
  // Without a usable FAT every cluster counts as in use: none would be searched. The sectors are.
  if (m_nLinkingMode == fs::fat::kLinkContiguous) return searchBySectors();
  setClusterBoundFromFat();
  FatBuildClusterMap();
  SearchClustersForKnownTypes();
}

void CFatEngine::SetRawSearchRange(std::uint8_t bImageFile, std::uint64_t start, std::uint64_t end) {
  // A reversed range holds nothing; one of all 2^64 sectors is cut by one.
  std::uint64_t count = end < start ? 0 : end - start == UINT64_MAX ? UINT64_MAX : end - start + 1;
  if (app_.m_bRawRangeFromVolume) {
    // The selected volume's sectors, as far as the disk holds them; nothing without a volume.
    const volume::DEVICE_ENTRY* entry = app_.m_pSelectedSource;
    const volume::VOLUME_RECORD* volume = entry ? entry->m_pDetail.volume() : nullptr;
    start = volume ? volume->m_nStartSector : 0;
    count = volume ? volume->m_nSectorCount : 0;
    if (volume) m_nDriveNumber = volume->m_byDrive;
  }
  m_nPartitionStart = start;
  m_nTotalSectors = start <= UINT64_MAX - count ? count : UINT64_MAX - start;
  m_nLastSector = m_nTotalSectors == 0 ? start : start + m_nTotalSectors - 1;
  m_bAbsoluteSectors = 1;
  itemIds_.startAt(2);
  m_bImageFile = bImageFile;
  reader_.readImageFile(m_bImageFile);
  m_pRawSearch.reset();
}

void CFatEngine::SearchDriveForKnownTypes() {
  itemIds_.restartMadeUp();
  rawFolders_.clear();
  // "Cluster" n is absolute sector n: one sector per cluster, a data area from sector 2.
  m_nSectorsPerCluster = 1;
  m_nSectorsPerFat = 1;
  m_nFatCount = 2;
  m_nReservedSectors = 0;
  m_nRootDirSectors = 0;
  m_nLinkingMode = fs::fat::kLinkContiguous;
  m_bAbsoluteSectors = 1;
  logStarted(engine::texts::kSearchingPhysicalDrive);
  FatRawSearch();
  // Here the closing pair's first line is a section of its own.
  const std::u16string now = platform::formatLogTime(std::time(nullptr));
  if (stopRequested()) {
    logSection(engine::texts::kProcessAborted);
    logItem(std::u16string(engine::texts::kAbortedOn) + now);
  } else {
    logSection(engine::texts::kProcessCompleted);
    logItem(std::u16string(engine::texts::kCompletedOn) + now);
  }
  if (m_pConsole) m_pConsole->CollapseRootChildren();
}

void CFatEngine::FatRawSearch() {
  m_nTotalSize = 0;
  m_nFileCount = 0;
  m_nFolderCount = 0;
  m_nFoundCount = 0;
  itemIds_.startAt(2);
  const std::uint64_t end = m_nPartitionStart + m_nTotalSectors;
  blockBar_.start(end / kRawBlockSectors);
  // On a whole disk the range says where files may start; one that starts inside it is read
  // whole, up to the disk's end. A volume's files stay inside the volume.
  const bool wholeDisk = volume::DEVICE_ENTRY::carriesDriveRecord(sourceKind_) && !app_.m_bRawRangeFromVolume;
  const std::uint64_t readEnd = wholeDisk && reader_.image() ? std::max(end, reader_.image()->diskSectors) : end;
  makeRawContext(std::make_unique<carve::SectorUnitRule>(readEnd));
  m_pRawSearch->sourceEndSector = readEnd;
  carve::RawSweep sweep;
  sweep.firstUnit = m_nPartitionStart;
  sweep.endUnit = end;
  sweep.sectorsPerUnit = 1;
  sweep.unitsPerBlock = kRawBlockSectors;
  sweep.firstSectorOf = [](std::uint64_t sector) { return sector; };
  sweep.onBlock = [&](std::uint64_t s) {
    blockBar_.stepReading(engine::texts::kReadingSector, s, end);
  };
  sweep.report = [&](carve::RawHit&& hit) { reportRawHit(std::move(hit)); };
  carve::sweepForKnownTypes(*m_pRawSearch, sweep);
  progress_.showBar(kBlockBar, false);
}

void CFatEngine::SearchClustersForKnownTypes() {
  const std::uint64_t bound = dataBound();
  if (bound <= 2) return;
  const std::uint32_t perRead = clustersPerBlock();
  m_nTotalSize = 0;
  m_nFileCount = 0;
  m_nFolderCount = 0;
  m_nFoundCount = 0;
  itemIds_.startAt(2);
  itemIds_.restartMadeUp();
  rawFolders_.clear();
  reporter().showFoundCount(0);
  progress_.setPos(kItemBar, 0);
  blockBar_.start(bound / perRead);
  // Clusters below the data area's end, the map's end and the cluster bound, free in the FAT.
  const std::uint64_t end = std::min<std::uint64_t>({bound, m_nClusterMapSize, std::uint64_t(m_nMaxCluster) + 1});
  const std::uint64_t dataStart = m_nPartitionStart + systemSectorCount();
  const std::uint32_t spc = m_nSectorsPerCluster;
  const auto firstSectorOf = [dataStart, spc](std::uint64_t c) { return dataStart + (c - 2) * spc; };
  makeRawContext(std::make_unique<FatClusterUnitRule>(&m_pClusterMap, end, bytesPerCluster(), firstSectorOf));
  carve::RawSweep sweep;
  sweep.firstUnit = 2;
  sweep.endUnit = end;
  sweep.sectorsPerUnit = spc;
  sweep.unitsPerBlock = perRead;
  sweep.firstSectorOf = firstSectorOf;
  sweep.isCandidate = [this](std::uint64_t c) { return m_pClusterMap[c] == 0; };
  sweep.onBlock = [&](std::uint64_t c) {
    blockBar_.stepReading(engine::texts::kReadingCluster, c, bound);
  };
  sweep.report = [&](carve::RawHit&& hit) { reportRawHit(std::move(hit)); };
  carve::sweepForKnownTypes(*m_pRawSearch, sweep);
}

void CFatEngine::reportRawHit(carve::RawHit&& hit) {
  AddRawFoundFile(hit.match.name, hit.match.typeText, hit.unit, hit.match.size, hit.match.modified.value_or(0));
}

bool CFatEngine::rawSearchInsideScan() const { return app_.m_nSetRaw == 0 && app_.m_pSelectedHeaders != nullptr; }

void CFatEngine::startRawSearchInsideScan() {
  nameNodes_.clear();
  rawFinds_.reset();
  if (!rawSearchInsideScan()) {
    m_pRawSearch.reset();
    return;
  }
  // The forward search steps through the clusters the map holds free, as the raw search does;
  // without a FAT to tell them, through the clusters that follow one another.
  const bool byMap = m_nLinkingMode != fs::fat::kLinkContiguous && !m_pClusterMap.empty();
  const std::uint64_t end =
      byMap ? std::min<std::uint64_t>({dataBound(), m_nClusterMapSize, std::uint64_t(m_nMaxCluster) + 1}) : dataBound();
  const std::uint64_t dataStart = m_nPartitionStart + systemSectorCount();
  const std::uint32_t spc = m_nSectorsPerCluster;
  const auto firstSectorOf = [dataStart, spc](std::uint64_t c) { return dataStart + (c - 2) * spc; };
  makeRawContext(
      std::make_unique<FatClusterUnitRule>(byMap ? &m_pClusterMap : nullptr, end, bytesPerCluster(), firstSectorOf));
  // A find is read back from its first cluster on, cluster after cluster, whatever the FAT says.
  rawFinds_ = std::make_unique<carve::RawFindOrder>(bytesPerCluster(), dataBound(), nullptr, [this](carve::RawHit&& hit) {
    nameNodes_.push_back(NameNode{std::move(hit.match.typeText), hit.unit, hit.match.size});
  });
}

void CFatEngine::keepRawMatch(std::uint32_t c, std::span<const std::uint8_t, 512> firstSector) {
  if (!m_pRawSearch || !rawFinds_ || c < 2 || c < rawFinds_->skipUntil() || bytesPerCluster() == 0) return;
  carve::RawHit hit;
  hit.unit = c;
  hit.firstSector = m_nPartitionStart + systemSectorCount() + std::uint64_t(c - 2) * m_nSectorsPerCluster;
  if (!carve::MatchRawSignatures(*m_pRawSearch, firstSector, hit.firstSector, c, &hit.match) || hit.match.size == 0)
    return;
  rawFinds_->take(std::move(hit));
}

void CFatEngine::AddRawFoundFile(std::u16string_view finderName, std::u16string_view typeText, std::uint64_t start,
                                 std::uint64_t size, std::uint64_t modified) {
  reportRawFile(typeText, start, size, modified, finderName, 0, kRawItemRange);
}

void CFatEngine::reportRawFile(std::u16string_view typeText, std::uint64_t key, std::uint64_t size,
                               std::uint64_t modified, std::u16string_view finderName, std::uint32_t parentId,
                               std::uint64_t itemRange) {
  const engine::RawDataFolders::Placement group = rawFolders_.place(typeText, [this] { return itemIds_.takeMadeUp(); });
  if (group.opened) {
    FOUND_ITEM folder;
    folder.m_byAttributes = fs::fat::dirent::kAttrDirectory;
    folder.m_nId = group.folderId;
    folder.m_nRecordKey = group.folderId;
    folder.m_nParentId = parentId;
    folder.m_byFlags = kItemBySignature;
    reportItem(folder, group.folderName, false, itemRange);
  }
  FOUND_ITEM file;
  file.m_byAttributes = fs::fat::dirent::kAttrArchive;
  file.m_byFlags = kItemBySignature;
  file.m_nSize = size;
  file.m_nRecordKey = key;
  file.m_ftModified = file.m_ftCreated = modified;
  file.m_nParentId = group.folderId;
  file.m_nId = itemIds_.takeMadeUp();
  reportItem(file, carve::rawFileName(rawFolders_.fileStem(key, finderName), group.typeText), false, itemRange);
}

void CFatEngine::AddRawDataFolders() {
  // The search has ended: a find whose end is unknown ends with the data area at the latest.
  if (rawFinds_) rawFinds_->finish(dataBound());
  rawFinds_.reset();
  std::uint32_t top = 0;
  for (const NameNode& node : nameNodes_) {
    if (stopRequested()) break;
    if (top == 0) {
      FOUND_ITEM folder;
      folder.m_byAttributes = fs::fat::dirent::kAttrDirectory;
      folder.m_byFlags = kItemBySignature;
      folder.m_nId = itemIds_.takeMadeUp();
      folder.m_nRecordKey = folder.m_nId;
      top = folder.m_nId;
      reportItem(folder, engine::kRawDataFoldersName, false);
      rawFolders_.clear();
    }
    // Named by the cluster, whatever name a finder gave.
    reportRawFile(node.typeText, node.key, node.size, 0, {}, top, engine::kDefaultItemRange);
  }
  nameNodes_.clear();
}

}  // namespace qelda::fat
