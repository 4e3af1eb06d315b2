#include "lost/search_volume.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "engine/item_reporter.h"
#include "fs/fat_boot.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"
#include "lost/lost_volume.h"
#include "platform/text.h"
#include "volume/partition_list.h"
#include "volume/volume_records.h"

namespace qelda::lost {

namespace {

constexpr std::uint64_t kSectorBytes = 512;
// A source name holds at most this many characters.
constexpr std::size_t kMaxPathUnits = 259;
constexpr std::u16string_view kSearchingVolume = u"Searching volume";
constexpr std::u16string_view kVolumeLog = u"Volume: ";
constexpr std::u16string_view kFoundAtSector = u"Found at sector no.";
constexpr std::u16string_view kReadingSector = u"Reading sector ";
constexpr std::u16string_view kOf = u"of";
constexpr std::u16string_view kStdVol = u"Std Vol";
constexpr std::u16string_view kAdvVol = u"Adv Vol";

std::u16string number(std::uint64_t n) { return platform::widenLatin1(std::to_string(n)); }

// Writes `n` in decimal (at most 20 digits) at `out`; returns the end.
char16_t* appendDecimal(char16_t* out, std::uint64_t n) {
  char16_t digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = char16_t(u'0' + n % 10);
    n /= 10;
  } while (n != 0);
  return std::reverse_copy(digits, digits + count, out);
}

// The entry whose drive record describes the disk being searched: the selected source when
// it is a whole drive, otherwise the whole-disk entry. A volume's record is never read as a
// drive's.
const volume::DRIVE_RECORD* searchedDrive(const LostState& app) {
  const volume::DEVICE_ENTRY* selected = app.m_pSelectedSource;
  if (selected && volume::DEVICE_ENTRY::carriesDriveRecord(selected->m_byKind) && selected->m_pDetail.drive())
    return selected->m_pDetail.drive();
  for (const volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext)
    if (e->m_byKind == volume::kKindWholeDisk && e->m_pDetail.drive()) return e->m_pDetail.drive();
  return nullptr;
}

}  // namespace

CThreadForSearchVolume::CThreadForSearchVolume(LostState& app, platform::IScanProgress& progress, platform::ILog& log,
                                               SearchHost host, Clock clock)
    : app_(app), progress_(progress), log_(log), host_(std::move(host)), clock_(std::move(clock)) {
  const std::u16string path = platform::fromUtf8(app.m_strResumeFilePath);
  m_szImagePath = path.substr(0, std::min(path.size(), kMaxPathUnits));
}

CThreadForSearchVolume::~CThreadForSearchVolume() { join(); }

void CThreadForSearchVolume::start() {
  join();
  thread_ = std::thread([this] { Run(); });
}

void CThreadForSearchVolume::join() {
  if (thread_.joinable()) thread_.join();
}

void CThreadForSearchVolume::Run() {
  app_.m_bBusy = 1;
  app_.m_bStopRequested = 0;
  app_.m_bHasResults = 0;
  if (m_nSearchKind == 0) {
    const volume::DRIVE_RECORD* drive = searchedDrive(app_);
    m_byDrive = drive ? drive->m_byDrive : 0x80;
    reader_.open(app_.mountedImage(), 0, {});
  } else {
    reader_.open(nullptr, 1, m_szImagePath);
  }
  GetImageFileSize();
  progress_.setPos(kSearchBar, 0);
  if (m_bDeepSearch) DeepSearch();
  else QuickSearch();
  if (host_.onOperationFinished) host_.onOperationFinished();
  else {
    app_.m_bBusy = 0;
    app_.m_bStopRequested = 0;
  }
  if (m_pDialog) m_pDialog->m_bSearchDone = 1;
  reader_.close();
}

void CThreadForSearchVolume::GetImageFileSize() {
  m_nTotalSectors = 0;
  if (m_nSearchKind == 0) {
    if (const volume::DRIVE_RECORD* drive = searchedDrive(app_)) m_nTotalSectors = drive->m_nSizeSectors;
    return;
  }
  // The file stays open for the whole search instead of being opened for every read.
  if (const platform::ReadOnlyFile* file = reader_.file()) m_nTotalSectors = file->size() / kSectorBytes;
}

void CThreadForSearchVolume::readSectors(std::uint8_t* buffer, std::uint64_t sector, std::uint32_t count) {
  // What cannot be read is zeros: a file that ends early, a sector past the disk.
  reader_.read(sector, {buffer, std::size_t(count) * kSectorBytes});
}

void CThreadForSearchVolume::beginSearch() {
  listedByStart_.clear();
  listedFatDataAreas_.clear();
  indexedUpTo_ = nullptr;
  app_.m_bBusy = 1;
  app_.m_bStopRequested = 0;
  app_.m_bHasResults = 0;
  if (host_.releaseEngine) host_.releaseEngine();
  if (host_.freeUserLists) host_.freeUserLists();
  engine::ItemReporter(nullptr, nullptr, &log_, clock_).logStart(kSearchingVolume);
}

void CThreadForSearchVolume::logSearchEnd() {
  engine::ItemReporter(nullptr, nullptr, &log_, clock_).logEnd(stopRequested());
}

void CThreadForSearchVolume::hideSearchProgress(std::uint64_t progressMax) {
  progress_.setPos(kSearchBar, progressMax);
  progress_.showBar(kSearchBar, false);
  progress_.SetStatusText(u"");
  progress_.SetStopEnabled(false);
}

bool CThreadForSearchVolume::progressStep(std::uint64_t sector) {
  // Made on every step of every pass: written into a buffer of its own, with no allocation.
  std::array<char16_t, kReadingSector.size() + kOf.size() + 2 + 2 * 20> label;
  char16_t* end = std::copy(kReadingSector.begin(), kReadingSector.end(), label.data());
  end = appendDecimal(end, sector);
  *end++ = u' ';
  end = std::copy(kOf.begin(), kOf.end(), end);
  *end++ = u' ';
  end = appendDecimal(end, m_nTotalSectors);
  progress_.SetStatusText(std::u16string_view(label.data(), std::size_t(end - label.data())));
  progress_.stepIt(kSearchBar);
  return stopRequested();
}

volume::VOLUME_RECORD& CThreadForSearchVolume::appendVolume(std::uint8_t kind) {
  claimedPastEnd_.reset();
  volume::DEVICE_ENTRY& entry = volume::appendSourceEntry(app_, kind);
  volume::VOLUME_RECORD& record = entry.m_pDetail.makeVolume();
  if (m_nSearchKind == 0) {
    record.m_byDrive = m_byDrive;
  } else {
    record.m_byDrive = 0xFF;
    entry.m_szName = m_szImagePath;
  }
  return record;
}

void CThreadForSearchVolume::reportVolume(bool rebuilt) {
  // The append left the cursor on the new entry.
  volume::DEVICE_ENTRY* entry = app_.m_pSourceCursor;
  if (!entry) return;
  volume::VOLUME_RECORD* record = entry->m_pDetail.volume();
  if (!record) return;
  ++app_.m_nFoundVolumeCount;
  std::u16string counter(1, u' ');
  counter += number(app_.m_nFoundVolumeCount);
  counter += u' ';
  log_.AddLogEntry(std::u16string(kVolumeLog) + counter, false);
  std::u16string where(kFoundAtSector);
  where += u' ';
  where += number(record->m_nStartSector);
  where += u' ';
  log_.AddLogEntry(std::move(where), false);
  record->m_szName = std::u16string(rebuilt ? kAdvVol : kStdVol) + counter;
  if (claimedPastEnd_ && app_.layoutLog_) {
    // Said as the partition walk says a partition entry that claims more than the disk holds.
    std::u16string note = std::u16string(rebuilt ? kAdvVol : kStdVol) + u' ' + number(app_.m_nFoundVolumeCount);
    note += platform::widenLatin1(": the volume claims " + std::to_string(*claimedPastEnd_) + " sectors from sector " +
                                  std::to_string(record->m_nStartSector) + ", past the end of the disk at sector " +
                                  std::to_string(m_nTotalSectors) +
                                  (record->m_nSectorCount == 0
                                       ? std::string("; none of them is read")
                                       : "; only its first " + std::to_string(record->m_nSectorCount) + " are read"));
    app_.layoutLog_->AddLogEntry(std::move(note), false);
  }
  claimedPastEnd_.reset();
  app_.m_bPartitionScanSaved = 0;
  if (m_pDialog) m_pDialog->AddVolumeRow(*entry, record->m_szName, std::uint8_t(record->m_byDrive + 128));
}

void CThreadForSearchVolume::clampToDisk(volume::VOLUME_RECORD& record, bool lastPastEnd) {
  const std::uint64_t room = m_nTotalSectors > record.m_nStartSector ? m_nTotalSectors - record.m_nStartSector : 0;
  if (record.m_nSectorCount <= room) return;
  claimedPastEnd_ = record.m_nSectorCount;
  record.m_nSectorCount = room;
  record.m_nLastSector = record.m_nStartSector + room - (lastPastEnd || room == 0 ? 0 : 1);
}

void CThreadForSearchVolume::indexListedVolumes() {
  const volume::DEVICE_ENTRY* e = indexedUpTo_ ? indexedUpTo_->m_pNext : app_.m_pSourceList;
  for (; e; e = e->m_pNext) {
    indexedUpTo_ = e;
    // Whole drives carry no volume; the partition walk's volumes are listed again on purpose.
    if (volume::DEVICE_ENTRY::carriesDriveRecord(e->m_byKind) || e->m_byKind == volume::kKindPartition) continue;
    const volume::VOLUME_RECORD* v = e->m_pDetail.volume();
    if (!v || (e->m_byRowState & 0x0F) != 0) continue;
    // The same disk: the same drive, or the same image file.
    const bool sameDisk = m_nSearchKind == 0 ? v->m_byDrive == m_byDrive && e->m_szName.empty()
                                             : v->m_byDrive == 0xFF && e->m_szName == m_szImagePath;
    if (!sameDisk) continue;
    listedByStart_.emplace(v->m_nStartSector, e);
    const bool fat = v->m_byFileSystem == volume::kFsFat12 || v->m_byFileSystem == volume::kFsFat16 ||
                     v->m_byFileSystem == volume::kFsFat32;
    // The FAT copies as the FAT engine reads the volume; the fields are at most 32 bits wide
    // and the start lies on the disk, so the sum cannot wrap.
    if (fat && v->m_bySectorsPerCluster != 0)
      listedFatDataAreas_.emplace(v->m_nStartSector + v->m_nReservedSectors +
                                      listedFatCopies(*v) * std::uint64_t(v->m_nFatSectors) + v->m_wRootDirSectors,
                                  v->m_bySectorsPerCluster);
  }
}

std::uint64_t CThreadForSearchVolume::listedFatCopies(const volume::VOLUME_RECORD& v) {
  std::array<std::uint8_t, kSectorBytes> boot{};
  readSectors(boot.data(), v.m_nStartSector, 1);
  const fs::fat::FatBpb b = fs::fat::readFatBpb(platform::ByteView(boot));
  const bool same = b.clusterSectors() == v.m_bySectorsPerCluster && b.reserved() == v.m_nReservedSectors &&
                    b.sectorsPerFat() == v.m_nFatSectors;
  return same ? b.fatCopies() : 2;
}

bool CThreadForSearchVolume::anyListedAt(
    std::uint64_t start, const std::function<bool(const volume::DEVICE_ENTRY&, const volume::VOLUME_RECORD&)>& match) {
  indexListedVolumes();
  const auto [first, last] = listedByStart_.equal_range(start);
  for (auto it = first; it != last; ++it)
    if (match(*it->second, *it->second->m_pDetail.volume())) return true;
  return false;
}

bool CThreadForSearchVolume::IsVolumeListed(std::uint8_t fileSystem, std::uint64_t start) {
  return anyListedAt(start, [&](const volume::DEVICE_ENTRY&, const volume::VOLUME_RECORD& v) {
    return v.m_byFileSystem == fileSystem;
  });
}

bool CThreadForSearchVolume::fatDataAreaListed(std::uint64_t dataStart, std::uint32_t sectorsPerCluster) {
  indexListedVolumes();
  return listedFatDataAreas_.contains({dataStart, sectorsPerCluster});
}

}  // namespace qelda::lost
