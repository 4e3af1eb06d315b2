// The engine object: set-up, the boot sector, the volume reader, the scan entries and the
// one reporting path.
#include "exfat/exfat_engine.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "exfat/exfat_texts.h"
#include "fs/exfat_layout.h"
#include "engine/volume_engine.h"
#include "image/virtual_disk.h"
#include "platform/string_table.h"
#include "platform/text.h"
#include "volume/volume_records.h"

namespace qelda::exfat {

namespace {

constexpr std::uint8_t kSourceFoundVolume = 3;
constexpr std::uint8_t kSourceVolumeFile = 7;
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

CExFatEngine::CExFatEngine(engine::ScanState& app, platform::ILog& log, platform::IUserNotifier& notifier)
    : app_(app), log_(log), notifier_(notifier) {}

CExFatEngine::~CExFatEngine() { FreeAll(); }

void CExFatEngine::Initialize(std::uint8_t bImageFile) {
  ExFatVolumeSource source;
  const volume::DEVICE_ENTRY* entry = app_.m_pSelectedSource;
  if (!entry) {
    source.sourceKind = volume::kKindWholeDisk;  // nothing chosen: no volume to take
  } else {
    source.sourceKind = entry->m_byKind;
    source.imagePath = entry->m_szName;
    if (const volume::VOLUME_RECORD* volume = entry->m_pDetail.volume()) {
      source.startSector = volume->m_nStartSector;
      source.sectorCount = volume->m_nSectorCount;
      source.lastSector = volume->m_nLastSector;
      source.fsCode = volume->m_byFileSystem;
      source.fileSystem = volume->m_szFileSystem;
      source.drive = volume->m_byDrive;
    }
  }
  initializeVolume(bImageFile, source);
}

void CExFatEngine::initializeVolume(std::uint8_t bImageFile, const ExFatVolumeSource& source) {
  if (m_pScanDlg) m_pScanDlg->setPos(kItemBar, 0);
  image_ = app_.mountedImage();
  imageFile_.reset();
  imageFileTried_ = false;
  sourceKind_ = source.sourceKind;
  fileSystemText_ = source.fileSystem;
  switch (source.sourceKind) {
    case 0: case 4: case 5: case 6: case 8: case 9:
      return;  // a whole drive holds no one volume: the boot test then fails
    default:
      break;
  }
  if (source.sourceKind == kSourceVolumeFile) {
    m_nPartitionStart = 0;  // the volume starts at the first sector of the file the entry names
    m_szImagePath = source.imagePath;
  } else {
    m_nPartitionStart = source.startSector;
    if (!source.imagePath.empty()) m_szImagePath = source.imagePath;
  }
  m_nVolumeLength = source.sectorCount;
  recordSectors_ = source.sectorCount;
  m_nLastSector = source.lastSector;
  m_byFsCode = source.fsCode;
  m_nDriveNumber = source.drive;
  m_nBitmapCluster = 2;
  m_bImageFile = bImageFile;
  app_.m_bVolumeOpened = 1;
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
  visited_ = fs::fat::VisitedClusters();
  imageFile_.reset();
  imageFileTried_ = false;
  image_.reset();
}

void CExFatEngine::clearWalkState() {
  walkStack_.clear();
  deletedFolders_.clear();
  heldSets_.clear();
  walkStats_.heldBytes = 0;
  directoryClustersRead_ = fs::fat::VisitedClusters();
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
  highestIdGiven_ = 0;
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
  m_nNextItemId = fs::exfat::rootWalkCluster(p) + 1;
  return 1;
}

bool CExFatEngine::bootSectorTest(bool showMessage) {
  std::u16string why;
  for (const std::uint64_t at : {std::uint64_t(0), fs::exfat::boot::kBackupBootSector}) {
    std::array<std::uint8_t, kSectorBytes> sector{};
    const bool read = readVolumeSectors(sector.data(), kSectorBytes, at);
    const auto parsed = fs::exfat::parseExFatBoot(platform::ByteView(sector));
    if (read && ParseBootSector(platform::ByteView(sector))) return true;
    if (!why.empty()) why += u"; ";
    why += at == 0 ? u"boot sector: " : u"backup boot sector (volume sector 12): ";
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

std::uint32_t CExFatEngine::ReadImageFileSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t sectorCount) {
  // The file stays open for the engine's life instead of being opened for every read.
  if (!imageFile_ && !imageFileTried_) {
    imageFileTried_ = true;
    imageFile_ = platform::ReadOnlyFile::open(platform::toUtf8(m_szImagePath));
  }
  const std::size_t bytes = std::size_t(sectorCount) * kSectorBytes;
  std::memset(buffer, 0, bytes);
  if (!imageFile_ || sector > UINT64_MAX / kSectorBytes) return 0;
  // What lies past the file's end reads as zeros and makes the read a failure.
  return imageFile_->readExact(sector * kSectorBytes, {buffer, bytes}) ? 1 : 0;
}

bool CExFatEngine::readVolumeSectors(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t sector,
                                     std::uint64_t* failedSectors) {
  std::memset(buffer, 0, byteCount);
  if (failedSectors) *failedSectors = 0;
  const std::uint64_t sectors = (std::uint64_t(byteCount) + kSectorBytes - 1) / kSectorBytes;
  if (!m_bAbsoluteSectors && sector > UINT64_MAX - m_nPartitionStart) {
    if (failedSectors) *failedSectors = sectors;
    return false;
  }
  // The one place the partition start is added.
  const std::uint64_t absolute = m_bAbsoluteSectors ? sector : m_nPartitionStart + sector;
  if (m_bImageFile) {
    const bool ok = ReadImageFileSectors(absolute, buffer, byteCount / kSectorBytes) != 0;
    if (!ok && failedSectors) *failedSectors = sectors;
    return ok;
  }
  image::ReadReport report;
  const std::uint32_t result = image::ReadSourceSectors(image_.get(), buffer, absolute, byteCount, &report);
  if (failedSectors) *failedSectors = report.failedSectors;
  return result != 0 && report.failedSectors == 0;
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
  std::vector<std::uint8_t> out(clusters.size() * bytes);
  const std::uint32_t perRead = clustersPerBlock();
  for (std::size_t i = 0; i < clusters.size();) {
    std::size_t n = 1;
    while (i + n < clusters.size() && n < perRead && clusters[i + n] == clusters[i] + n) ++n;
    ReadClusterSectors(std::uint32_t(n * m_nSectorsPerCluster), clusters[i], 0, out.data() + i * bytes);
    if (stepBar && m_pScanDlg)
      for (std::size_t k = 0; k < n; ++k) m_pScanDlg->stepIt(kItemBar);
    i += n;
  }
  return out;
}

// --- the scan entries ------------------------------------------------------------------------------

void CExFatEngine::ScanVolume(std::uint32_t bDeleted) {
  resetScan();
  m_bAdvanced = 0;
  m_bDeleted = bDeleted;
  if (!bootSectorTest(true)) return;
  LoadFat();
  if (sourceKind_ == kSourceFoundVolume) BuildTreeFromClusterSearch();
  else BuildTreeFromRoot();
  if (m_pScanDlg) m_pScanDlg->setPos(kItemBar, engine::kDefaultItemRange);
}

void CExFatEngine::ScanAdvanced(std::uint32_t bDeleted) {
  m_bDeleted = bDeleted;
  m_bAdvanced = 1;
  if (bDeleted) {
    SearchDirectoryClusters();
    return;
  }
  resetScan();
  if (m_pScanDlg) m_pScanDlg->SetStatusText(u"");
  if (!LoadBootSectorAndFat()) return;
  BuildTreeFromClusterSearch();
}

// --- reporting ----------------------------------------------------------------------------------------

void CExFatEngine::reportItem(const FOUND_ITEM& item, std::u16string_view name, bool addSize) {
  ++walkStats_.itemsReported;
  std::uint64_t notCounted = 0;  // sizes the total leaves out (folders, mostly)
  reporter().report(item, name, {m_nFoundCount, m_nFolderCount, m_nFileCount, addSize ? m_nTotalSize : notCounted},
                    engine::kDefaultItemRange);
}

std::uint32_t CExFatEngine::takeItemId() {
  // Ids 0 (the found tree's root) and 1 ("Lost folder(s)") are never given to an entry, and
  // the counter stops at the top instead of wrapping back to them.
  if (m_nNextItemId < 2) m_nNextItemId = 2;
  const std::uint32_t id = m_nNextItemId;
  if (m_nNextItemId != UINT32_MAX) ++m_nNextItemId;
  highestIdGiven_ = std::max(highestIdGiven_, id);
  return id;
}

void CExFatEngine::startItemIds(std::uint32_t first) {
  const std::uint32_t unused = highestIdGiven_ == UINT32_MAX ? UINT32_MAX : highestIdGiven_ + 1;
  m_nNextItemId = std::max(first, unused);
}

void CExFatEngine::collapseRoot() {
  if (m_pConsole) m_pConsole->CollapseRootChildren();
}

void CExFatEngine::ExFatPushPendingItem(const FOUND_ITEM& item, std::u16string_view name) {
  PENDING_ITEM p;
  p.record = item;
  p.record.m_pNext = p.record.m_pPrev = nullptr;
  p.record.m_hTreeItem = nullptr;
  p.record.m_pszName = nullptr;
  p.name = std::u16string(name.substr(0, std::min(name.size(), kMaxItemNameLength)));
  pendingItems_.push_back(std::move(p));
}

void CExFatEngine::ExFatPopPendingItem() {
  if (!pendingItems_.empty()) pendingItems_.pop_back();
}

void CExFatEngine::FlushPendingItems() {
  // The existing folders on the path to a deleted item, outermost first, through the same
  // reporter as every item (the first of a scan resets the found tree).
  for (const PENDING_ITEM& p : pendingItems_) {
    reportItem(p.record, p.name, false);
    if (m_bAdvanced) MarkClusterMap(p.record, std::uint32_t(p.record.m_nRecordKey));
  }
  pendingItems_.clear();
}

}  // namespace qelda::exfat
