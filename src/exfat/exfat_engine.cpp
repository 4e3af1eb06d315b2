// The engine object: set-up, the boot sector, the volume reader, the scan entries and the
// one reporting path.
#include "exfat/exfat_engine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "fs/exfat_layout.h"
#include "engine/volume_engine.h"
#include "image/virtual_disk.h"
#include "platform/string_table.h"
#include "platform/text.h"
#include "volume/volume_records.h"

namespace qelda::exfat {

namespace {

constexpr std::uint8_t kSourceFoundVolume = 3;
constexpr std::size_t kSectorBytes = fs::exfat::kSectorBytes;

// Why a boot sector was refused, for the line that follows the message.
std::u16string bootRefusal(platform::ParseError error) {
  switch (error) {
    case platform::ParseError::NotThisFormat: return u"its volume length or cluster count is 0";
    case platform::ParseError::OutOfRange:
      return u"its FAT, cluster size or cluster heap does not fit the volume";
    case platform::ParseError::Loop:
    case platform::ParseError::Truncated: break;
  }
  return u"it could not be read";
}

}  // namespace

CExFatEngine::CExFatEngine(engine::ScanState& app, const engine::EngineSinks& sinks)
    : HeldSinks(sinks), m_pConsole(sinks.console), app_(app) {}

CExFatEngine::~CExFatEngine() { FreeAll(); }

void CExFatEngine::Initialize(std::uint8_t bImageFile) {
  initializeVolume(bImageFile, engine::locateSelectedVolume(app_, bImageFile));
}

void CExFatEngine::initializeVolume(std::uint8_t bImageFile, const ExFatVolumeSource& source) {
  progress_.setPos(kItemBar, 0);
  reader_.open(app_.mountedImage(), m_bImageFile, m_szImagePath);
  sourceKind_ = source.entryKind;
  fileSystemText_ = source.fileSystemName;
  // A whole drive holds no one volume: the boot test then fails.
  if (source.wholeDrive()) return;
  engine::adoptVolumePlace(source, bImageFile, volumePlace(), reader_, app_.mountedImage());
  recordSectors_ = source.sectorCount;
  m_nBitmapCluster = 2;
  app_.m_bVolumeOpened = 1;
}

engine::VolumePlaceSlots CExFatEngine::volumePlace() {
  return {m_nPartitionStart, m_nVolumeLength, m_nLastSector, m_byFsCode, m_nDriveNumber, m_bImageFile, m_szImagePath};
}

void CExFatEngine::FreeAll() {
  clearWalkState();
  rawFolders_.clear();
  listedFolders_.clear();
  pendingItems_.clear();
  m_hFatFile.close();
  m_hClusterMapFile.close();
  m_nClusterMapLength = 0;
  workFolder_.remove();
  visited_ = engine::VisitedClusters();
  reader_.close();
}

void CExFatEngine::clearWalkState() {
  walkStack_.clear();
  deletedFolders_.clear();
  heldSets_.clear();
  walkStats_.heldBytes = 0;
  directoryClustersRead_ = engine::VisitedClusters();
}

void CExFatEngine::resetScan() {
  failure_.clear();
  walkStats_ = {};
  clearWalkState();
  listedFolders_.clear();
  pendingItems_.clear();
  m_nFoundCount = 0;
  m_nFolderCount = 0;
  m_nFileCount = 0;
  m_nTotalSize = 0;
  itemIds_.forgetTaken();
}

// --- the boot sector ---------------------------------------------------------------------------

std::uint32_t CExFatEngine::ParseBootSector(platform::ByteView sector) {
  auto parsed = fs::exfat::parseExFatBoot(sector);
  if (!parsed) return 0;
  fs::exfat::ExFatBootParams p = *parsed;
  if (!fs::exfat::fitExFatBootToSectors(p, recordSectors_)) return 0;
  params_ = p;
  m_byFsCode = volume::kFsExFat;
  m_nVolumeLength = p.volumeLength;
  m_nFatOffset = p.fatOffset;
  m_nFatLength = p.fatLength;
  m_nClusterCount = p.clusterCount;
  m_nRootCluster = p.rootCluster;
  m_nSectorsPerCluster = p.sectorsPerCluster;
  m_nLastSector = m_nPartitionStart + m_nVolumeLength;
  // The root walk's substitute for a root field outside the heap, so ids never wrap to 0.
  itemIds_.startAt(fs::exfat::rootWalkCluster(p) + 1);
  return 1;
}

std::optional<std::uint64_t> CExFatEngine::backupRegionStandingIn() {
  const auto readRegion = [this](std::uint64_t at, std::size_t bytes) {
    std::vector<std::uint8_t> region(bytes);
    if (!readVolumeSectors(region.data(), std::uint32_t(bytes), at)) region.clear();
    return region;
  };
  std::vector<std::uint8_t> first = readRegion(0, kSectorBytes);
  if (const auto bytes = fs::exfat::exFatBootRegionBytes(platform::ByteView(first))) {
    if (fs::exfat::exFatBootChecksumMatches(platform::ByteView(readRegion(0, *bytes)))) return std::nullopt;
  }
  // The main region's sector size may be what was damaged: each size is tried where it
  // would put the backup, and the backup must claim that size itself.
  for (std::uint8_t shift = 9; shift <= 12; ++shift) {
    const std::uint64_t at = fs::exfat::exFatBackupRegionSector(shift);
    const std::vector<std::uint8_t> region = readRegion(at, fs::exfat::boot::kBootRegionSectors << shift);
    if (fs::exfat::isExFatBackupRegion(platform::ByteView(region), shift)) return at;
  }
  return std::nullopt;
}

bool CExFatEngine::bootSectorTest(bool showMessage) {
  std::u16string why;
  // The main boot sector first, then the backup; the backup first when only its region's
  // checksum holds. Where neither holds (or no region is whole) the order stays.
  const std::optional<std::uint64_t> standIn = backupRegionStandingIn();
  std::array<std::uint64_t, 2> order =
      standIn ? std::array<std::uint64_t, 2>{*standIn, 0} : std::array<std::uint64_t, 2>{0, fs::exfat::boot::kBackupBootSector};
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::uint64_t at = order[i];
    std::array<std::uint8_t, kSectorBytes> sector{};
    const bool read = readVolumeSectors(sector.data(), kSectorBytes, at);
    // The backup lies 12 of the volume's own sectors in, as the main boot sector sizes them.
    if (!standIn && i == 0) order[1] = fs::exfat::exFatBackupRegionSector(sector[fs::exfat::boot::kBytesPerSectorShift]);
    const auto parsed = fs::exfat::parseExFatBoot(platform::ByteView(sector));
    if (read && ParseBootSector(platform::ByteView(sector))) {
      if (standIn && at == *standIn)
        logItem(u"The main boot region's checksum does not hold; the backup boot region (volume sector " +
                platform::widenLatin1(std::to_string(at)) + u") is used");
      return true;
    }
    if (!why.empty()) why += u"; ";
    why += at == 0 ? std::u16string(u"boot sector: ")
                   : u"backup boot sector (volume sector " + platform::widenLatin1(std::to_string(at)) + u"): ";
    if (!read) why += u"it could not be read";
    else if (!parsed) why += bootRefusal(parsed.error());
    else why += u"it does not fit the volume's " + platform::widenLatin1(std::to_string(recordSectors_)) + u" sectors";
  }
  failure_ = why;
  app_.m_bBusy = 0;
  app_.m_bStopRequested = 0;
  if (showMessage)
    notifier_.Show(platform::StringTable::load(platform::strings::kNotValidVolume), engine::kBitmapWarning,
                   engine::kButtonsOk);
  return false;
}

std::uint32_t CExFatEngine::LoadBootSectorAndFat() {
  if (!bootSectorTest(true)) return 0;
  LoadFat();
  return 1;
}

// --- reading --------------------------------------------------------------------------------------

bool CExFatEngine::readVolumeSectors(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t sector,
                                     std::uint64_t* failedSectors) {
  // The one place the partition start is added.
  return reader_.readFrom(m_bAbsoluteSectors ? 0 : m_nPartitionStart, sector, {buffer, byteCount}, failedSectors);
}

std::uint32_t CExFatEngine::ReadClusterSectors(std::uint32_t sectorCount, std::uint32_t cluster,
                                               std::uint16_t sectorInCluster, std::uint8_t* buffer) {
  if (buffer == nullptr || sectorCount == 0) return 0;
  std::memset(buffer, 0, std::size_t(sectorCount) * kSectorBytes);
  // Cluster numbers from disk are checked here, whoever asks: nothing outside the heap is read.
  const auto first = fs::exfat::firstSectorOfCluster(params_, cluster);
  if (!first) return 0;
  const std::uint64_t sector = *first + sectorInCluster;
  const std::uint64_t heapEnd = std::uint64_t(params_.clusterHeapOffset) + std::uint64_t(params_.clusterCount) * params_.sectorsPerCluster;
  if (sector + sectorCount > heapEnd) return 0;
  return readVolumeSectors(buffer, sectorCount * std::uint32_t(kSectorBytes), sector) ? 1 : 0;
}

std::uint32_t CExFatEngine::clustersPerBlock() const {
  return std::max<std::uint32_t>(1, kBlockSectors / std::max<std::uint32_t>(1, m_nSectorsPerCluster));
}

std::vector<std::uint8_t> CExFatEngine::readClusters(const std::vector<std::uint32_t>& clusters, bool stepBar) {
  const std::uint64_t bytes = clusterBytes();
  std::vector<std::uint8_t> out;
  out.reserve(std::size_t(clusters.size() * bytes));
  ExFatClusterReader reader{*this};
  engine::streamClusters(reader, engine::ClusterList(clusters), clusters.size() * bytes,
                         [&](std::span<const std::uint8_t> piece) {
                           out.insert(out.end(), piece.begin(), piece.end());
                           if (stepBar)
                             for (std::size_t k = 0; k < piece.size() / bytes; ++k) progress_.stepIt(kItemBar);
                           return true;
                         });
  out.resize(std::size_t(clusters.size() * bytes));
  return out;
}

// --- the scan entries ------------------------------------------------------------------------------

engine::ScanOutcome CExFatEngine::ScanVolume(std::uint32_t bDeleted) {
  resetScan();
  m_bAdvanced = 0;
  m_bDeleted = bDeleted;
  if (!bootSectorTest(true)) return scanOutcome();
  LoadFat();
  if (sourceKind_ == kSourceFoundVolume) BuildTreeFromClusterSearch();
  else BuildTreeFromRoot();
  progress_.setPos(kItemBar, engine::kDefaultItemRange);
  return scanOutcome();
}

engine::ScanOutcome CExFatEngine::ScanAdvanced(std::uint32_t bDeleted) {
  m_bDeleted = bDeleted;
  m_bAdvanced = 1;
  if (bDeleted) {
    SearchDirectoryClusters();
    return scanOutcome();
  }
  resetScan();
  progress_.SetStatusText(u"");
  if (LoadBootSectorAndFat()) BuildTreeFromClusterSearch();
  return scanOutcome();
}

// --- reporting ----------------------------------------------------------------------------------------

void CExFatEngine::reportItem(const FOUND_ITEM& item, std::u16string_view name, bool addSize) {
  ++walkStats_.itemsReported;
  std::uint64_t notCounted = 0;  // sizes the total leaves out (folders, mostly)
  reporter().report(item, name, {m_nFoundCount, m_nFolderCount, m_nFileCount, addSize ? m_nTotalSize : notCounted},
                    engine::kDefaultItemRange);
}

void CExFatEngine::collapseRoot() {
  if (m_pConsole) m_pConsole->CollapseRootChildren();
}

void CExFatEngine::ExFatPushPendingItem(const FOUND_ITEM& item, std::u16string_view name) {
  pendingItems_.hold(item, name, walkStack_.size());  // the level of the folder's own walk
}

void CExFatEngine::ExFatPopPendingItem() { pendingItems_.drop(); }

void CExFatEngine::FlushPendingItems() {
  // The existing folders on the path to a deleted item, outermost first, through the same
  // reporter as every item (the first of a scan resets the found tree).
  engine::ItemReporter folders = reporter();
  pendingItems_.flush(folders, {m_nFoundCount, m_nFolderCount, m_nFileCount, m_nTotalSize},
                      engine::kDefaultItemRange, [this](const FOUND_ITEM& record) {
                        ++walkStats_.itemsReported;
                        if (m_bAdvanced) MarkClusterMap(record, std::uint32_t(record.m_nRecordKey));
                      });
}

}  // namespace qelda::exfat
