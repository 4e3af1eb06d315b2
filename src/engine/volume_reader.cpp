#include "engine/volume_reader.h"

#include <algorithm>
#include <cstring>

#include "engine/scan_info_tables.h"
#include "engine/scan_state.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"
#include "platform/text.h"
#include "volume/volume_records.h"

namespace qelda::engine {

bool VolumeGeometry::wholeDrive() const { return volume::DEVICE_ENTRY::carriesDriveRecord(entryKind); }

VolumeGeometry locateSelectedVolume(const ScanState& state, std::uint8_t bImageFile) {
  const volume::DEVICE_ENTRY* entry = state.m_pSelectedSource;
  // Nothing chosen: no one volume.
  if (!entry) return {.entryKind = volume::kKindWholeDisk, .imageFile = bImageFile};
  const volume::VOLUME_RECORD* record = entry->m_pDetail.volume();
  if (volume::DEVICE_ENTRY::carriesDriveRecord(entry->m_byKind) || !record)
    return {.entryKind = entry->m_byKind, .entryName = entry->m_szName, .imageFile = bImageFile,
            .imagePath = entry->m_szName};
  VolumeGeometry g{.entryKind = entry->m_byKind,
                   .entryName = entry->m_szName,
                   .startSector = entry->m_byKind == kKindVolumeFile ? 0 : record->m_nStartSector,
                   .sectorCount = record->m_nSectorCount,
                   .lastSector = record->m_nLastSector,
                   .fileSystemCode = record->m_byFileSystem,
                   .fileSystemName = record->m_szFileSystem,
                   .biosDrive = record->m_byDrive,
                   .imageFile = bImageFile,
                   .imagePath = entry->m_szName,
                   .sectorsPerCluster = record->m_bySectorsPerCluster,
                   .ntfsSectorsPerCluster = record->m_wNtfsSectorsPerCluster,
                   .fatSectors = record->m_nFatSectors,
                   .reservedSectors = record->m_nReservedSectors,
                   .rootDirSectors = record->m_wRootDirSectors,
                   .clusterArray = record->clusterArray,
                   .mftSector = record->m_nMftSector,
                   .mftMirrSector = record->m_nMftMirrSector};
  // A volume that claims more than the disk holds is read only as far as the disk goes; an
  // image file is read as far as it goes, whatever the disk.
  const std::shared_ptr<const image::MountedImage> image = state.mountedImage();
  if (!bImageFile && image && image->diskSectors != 0) {
    const std::uint64_t room = g.startSector < image->diskSectors ? image->diskSectors - g.startSector : 0;
    g.sectorCount = std::min(g.sectorCount, room);
  }
  return g;
}

void adoptVolumePlace(const VolumeGeometry& volume, std::uint8_t imageFile, const VolumePlaceSlots& slots,
                      VolumeReader& reader, std::shared_ptr<const image::MountedImage> image) {
  slots.startSector = volume.startSector;
  slots.sectorCount = volume.sectorCount;
  slots.lastSector = volume.lastSector;
  slots.fileSystemCode = volume.fileSystemCode;
  slots.biosDrive = volume.biosDrive;
  slots.imageFile = imageFile;
  if (!volume.imagePath.empty()) slots.imagePath = volume.imagePath;
  reader.open(std::move(image), imageFile, slots.imagePath);
}

void putVolumePlace(SCAN_IMAGE_HEADER& header, const VolumeGeometry& volume, bool absoluteSectors) {
  header.m_byDrive = volume.biosDrive;
  header.imageFile = volume.imageFile;
  header.startSector = volume.startSector;
  header.lastSector = volume.lastSector;
  header.sectorCount = volume.sectorCount;
  header.absoluteSectors = absoluteSectors ? 1 : 0;
  header.m_szSourcePath = volume.imageFile ? volume.imagePath : std::u16string{};
}

VolumeGeometry volumePlaceOf(const SCAN_IMAGE_HEADER& header) {
  return {.startSector = header.startSector,
          .sectorCount = header.sectorCount,
          .lastSector = header.lastSector,
          .fileSystemCode = header.m_byFsCode,
          .biosDrive = header.m_byDrive,
          .imageFile = keptImageFileFlag(header),
          .imagePath = header.m_szSourcePath,
          .mftSector = header.mftSector,
          .mftMirrSector = header.mftMirrSector};
}

std::optional<std::uint64_t> absoluteSector(std::uint64_t start, std::uint64_t sector) {
  if (sector > UINT64_MAX - start) return std::nullopt;
  return start + sector;
}

// --- what could not be read -------------------------------------------------------------------

namespace {

std::uint64_t plusSaturated(std::uint64_t a, std::uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

}  // namespace

void UnreadSectors::add(std::uint64_t first, std::uint64_t count) {
  if (count == 0) return;
  std::uint64_t end = plusSaturated(first, count);
  const std::lock_guard lock(mutex_);
  // The new run swallows the run that reaches its first sector and every run that starts
  // inside it or right after it (or within the joining gap); only what none of them held is
  // counted.
  auto at = runs_.upper_bound(first);
  if (at != runs_.begin() && plusSaturated(std::prev(at)->second, joinGap_) >= first) {
    --at;
    if (at->second >= end) return;
    first = at->first;
  }
  std::uint64_t held = 0;
  while (at != runs_.end() && at->first <= plusSaturated(end, joinGap_)) {
    end = std::max(end, at->second);
    held += at->second - at->first;
    at = runs_.erase(at);
  }
  runs_.emplace(first, end);
  count_ += end - first - held;
  if (runs_.size() > kMaxRuns) coarsen();
}

void UnreadSectors::coarsen() {
  // Runs lying nearer each other than the gap join, and the sectors between them are counted
  // with them; the gap doubles until at most half the room is taken.
  while (runs_.size() > kMaxRuns / 2) {
    joinGap_ = joinGap_ == 0 ? 1 : plusSaturated(joinGap_, joinGap_);
    for (auto at = runs_.begin(); at != runs_.end();) {
      auto next = std::next(at);
      if (next == runs_.end()) break;
      if (plusSaturated(at->second, joinGap_) < next->first) {
        at = next;
        continue;
      }
      count_ += next->first - at->second;
      at->second = std::max(at->second, next->second);
      runs_.erase(next);
    }
  }
}

void UnreadSectors::addUnplaced(std::uint64_t count) {
  const std::lock_guard lock(mutex_);
  unplaced_ += count;
}

ReadTally UnreadSectors::tally() const {
  const std::lock_guard lock(mutex_);
  return {count_ + unplaced_, anyRead_.load(std::memory_order_relaxed)};
}

// --- the reader ------------------------------------------------------------------------------

void VolumeReader::open(std::shared_ptr<const image::MountedImage> image, std::uint8_t imageFile,
                        std::u16string imagePath) {
  image_ = std::move(image);
  imageFile_ = imageFile;
  imagePath_ = std::move(imagePath);
  file_.reset();
  fileOnce_ = std::make_unique<std::once_flag>();
}

void VolumeReader::openFile(platform::ReadOnlyFile file) {
  file_ = std::move(file);
  imageFile_ = 1;
  fileOnce_ = std::make_unique<std::once_flag>();
  std::call_once(*fileOnce_, [] {});  // already open: the path is never tried
}

void VolumeReader::close() {
  image_.reset();
  file_.reset();
  fileOnce_ = std::make_unique<std::once_flag>();
}

const platform::ReadOnlyFile* VolumeReader::file() const {
  // The file stays open for the reader's life instead of being opened for every read.
  std::call_once(*fileOnce_, [this] {
    if (!imagePath_.empty()) file_ = platform::ReadOnlyFile::open(platform::toUtf8(imagePath_));
  });
  return file_ ? &*file_ : nullptr;
}

bool VolumeReader::readFile(std::uint64_t sector, std::span<std::uint8_t> out, std::uint64_t& failed) const {
  const std::uint64_t sectors = (out.size() + kSectorBytes - 1) / kSectorBytes;
  const platform::ReadOnlyFile* f = file();
  // An offset past what a file can hold is a failed read, never a wrapped one.
  constexpr std::uint64_t kMaxFileBytes = std::uint64_t(INT64_MAX);
  if (!f || out.size() > kMaxFileBytes || sector > (kMaxFileBytes - out.size()) / kSectorBytes) {
    std::memset(out.data(), 0, out.size());
    failed = sectors;
    unread_->add(sector, sectors);
    return false;
  }
  // Past the file's end (a copy that stopped early) the read comes up short.
  // (The file leaves zeros after what it could read.)
  const std::size_t got = std::min(f->readAt(sector * kSectorBytes, out), out.size());
  failed = sectors - got / kSectorBytes;
  if (failed != sectors) unread_->noteRead();
  unread_->add(sector + got / kSectorBytes, failed);
  return got == out.size();
}

namespace {

// Keeps the runs a read of the mounted image could not read, cut at the disk's end: sectors at
// or past it are not there to read, and asking for them (a backup boot sector looked for one
// past the end, a volume that claims more than the disk) is no fault of the image; a volume cut
// to the disk is said where it is listed. A disk that maps nothing (an image refused for its
// layout) has no end to go by.
class UnreadWithinDisk final : public image::FailedRunSink {
 public:
  UnreadWithinDisk(UnreadSectors& unread, const image::MountedImage* image)
      : unread_(unread), disk_(image && image->diskSectors != 0 ? image->diskSectors : UINT64_MAX) {}
  void failedRun(std::uint64_t first, std::uint64_t sectors) override {
    if (first < disk_) unread_.add(first, std::min(sectors, disk_ - first));
  }

 private:
  UnreadSectors& unread_;
  std::uint64_t disk_;
};

}  // namespace

bool VolumeReader::read(std::uint64_t sector, std::span<std::uint8_t> out, std::uint64_t* failedSectors) const {
  std::uint64_t failed = 0;
  bool ok = false;
  if (!out.empty()) {
    if (imageFile_) {
      ok = readFile(sector, out, failed);
    } else if (out.size() > UINT32_MAX) {
      std::memset(out.data(), 0, out.size());
      failed = (out.size() + kSectorBytes - 1) / kSectorBytes;
      unread_->add(sector, failed);
    } else {
      UnreadWithinDisk unread(*unread_, image_.get());
      image::ReadReport report;
      report.failedRuns = &unread;
      const std::uint32_t result =
          image::ReadSourceSectors(image_.get(), out.data(), sector, std::uint32_t(out.size()), &report);
      failed = report.failedSectors;
      ok = result != 0 && failed == 0;
      if (failed < (out.size() + kSectorBytes - 1) / kSectorBytes) unread_->noteRead();
    }
  }
  if (failedSectors) *failedSectors = failed;
  return ok;
}

bool VolumeReader::readFrom(std::uint64_t start, std::uint64_t sector, std::span<std::uint8_t> out,
                            std::uint64_t* failedSectors) const {
  const std::optional<std::uint64_t> at = absoluteSector(start, sector);
  if (!at) {
    std::memset(out.data(), 0, out.size());
    const std::uint64_t sectors = (out.size() + kSectorBytes - 1) / kSectorBytes;
    unread_->addUnplaced(sectors);
    if (failedSectors) *failedSectors = sectors;
    return false;
  }
  return read(*at, out, failedSectors);
}

}  // namespace qelda::engine
