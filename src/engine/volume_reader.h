// Where the selected volume lies and how its sectors are read: the one geometry every engine
// takes from the selected source entry or from scan information, the one reader of the
// mounted image or of the image file an entry names, and the one streamer of a file's
// clusters.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/byte_window.h"
#include "engine/cluster_claims.h"
#include "engine/volume_engine.h"
#include "platform/read_only_file.h"

namespace qelda::image {
class MountedImage;
}

namespace qelda::engine {

class ScanState;

// The source entry kind of a volume kept in a file of its own: it starts at that file's
// first sector, wherever its record says it lay on the disk it came from.
inline constexpr std::uint8_t kKindVolumeFile = 7;

// The selected volume as the engines read it.
struct VolumeGeometry {
  std::uint8_t entryKind = 1;   // the source entry's kind (0 whole disk, 1 partition, 3 rebuilt, 7 volume file, ...)
  std::u16string entryName{};   // the source entry's name
  std::uint64_t startSector = 0;  // first sector on the source; 0 for a volume file
  std::uint64_t sectorCount = 0;  // no further than the disk holds, unless read from an image file
  std::uint64_t lastSector = 0;   // as the record gives it
  std::uint8_t fileSystemCode = 0;
  std::u16string fileSystemName{};  // the record's text ("FAT32", "exFAT", "NTFS")
  std::uint8_t biosDrive = 0xFF;
  std::uint8_t imageFile = 0;     // set: read from the file `imagePath` names, not the mounted image
  std::u16string imagePath{};
  // What the record gives of the file system: the cluster sizes of its FAT and NTFS fields
  // (0 where it gives none), and for a FAT volume the lost-volume search rebuilt, its tables
  // and directories.
  std::uint8_t sectorsPerCluster = 0;
  std::uint16_t ntfsSectorsPerCluster = 0;
  std::uint32_t fatSectors = 0;
  std::uint32_t reservedSectors = 0;
  std::uint16_t rootDirSectors = 0;
  std::vector<std::uint32_t> clusterArray{};
  std::uint64_t mftSector = 0;      // volume-relative
  std::uint64_t mftMirrSector = 0;  // volume-relative; 0: not known

  // A whole drive or image: no one volume.
  bool wholeDrive() const;
};

// The geometry of the source the user selected; nothing selected reads as a whole disk. A
// volume read through the mounted image is cut to the disk's end.
VolumeGeometry locateSelectedVolume(const ScanState& state, std::uint8_t bImageFile);

class VolumeReader;

// The members an engine keeps its volume's place in.
struct VolumePlaceSlots {
  std::uint64_t& startSector;
  std::uint64_t& sectorCount;
  std::uint64_t& lastSector;
  std::uint8_t& fileSystemCode;
  std::uint8_t& biosDrive;
  std::uint8_t& imageFile;
  std::u16string& imagePath;  // kept when the volume names none
};

// Copies the volume's place into an engine's members and opens its reader over `image` (or
// the image file, when `imageFile` is set).
void adoptVolumePlace(const VolumeGeometry& volume, std::uint8_t imageFile, const VolumePlaceSlots& slots,
                      VolumeReader& reader, std::shared_ptr<const image::MountedImage> image);

// The volume's place as scan information keeps it, and back (the image-file flag kept only
// while its file can be opened).
void putVolumePlace(SCAN_IMAGE_HEADER& header, const VolumeGeometry& volume, bool absoluteSectors);
VolumeGeometry volumePlaceOf(const SCAN_IMAGE_HEADER& header);

// The sum of a volume's start and a sector in it; nothing when it passes 2^64.
std::optional<std::uint64_t> absoluteSector(std::uint64_t start, std::uint64_t sector);

// The sectors a reader could not read, as runs of sector numbers: a sector asked for again
// (a read retried cluster by cluster, windows that overlap) is counted once. Any thread may
// add to it. Its memory is bounded whatever the pattern of failed reads: once more than
// kMaxRuns runs lie apart, the nearest join and the sectors between them count as unread
// too, so that the tally may then say more sectors than failed, never fewer.
class UnreadSectors {
 public:
  static constexpr std::size_t kMaxRuns = std::size_t(1) << 16;

  // The sectors first to first + count - 1 could not be read.
  void add(std::uint64_t first, std::uint64_t count);
  // Sectors that could not be read at a place no sector number gives (past 2^64).
  void addUnplaced(std::uint64_t count);
  // Some sector was read.
  void noteRead() {
    if (!anyRead_.load(std::memory_order_relaxed)) anyRead_.store(true, std::memory_order_relaxed);
  }
  ReadTally tally() const;
  // The runs kept, at most kMaxRuns.
  std::size_t runsKept() const {
    const std::lock_guard lock(mutex_);
    return runs_.size();
  }

 private:
  void coarsen();

  mutable std::mutex mutex_;
  std::map<std::uint64_t, std::uint64_t> runs_;  // first sector -> one past the last
  std::uint64_t joinGap_ = 0;   // runs apart by at most this many sectors join
  std::uint64_t count_ = 0;     // sectors in the runs
  std::uint64_t unplaced_ = 0;
  std::atomic<bool> anyRead_{false};
};

// Reads sectors of the mounted image (a snapshot held for the reader's life) or of the
// image file the volume names, opened at the first read. Every read follows one rule: what
// could not be read is zeros, never what the buffer held, the sectors not read whole are
// counted, and the read fails. Any thread may read. Every sector that could not be read is
// also kept for the reader's life (tally()), across open() and close().
class VolumeReader {
 public:
  VolumeReader() = default;
  VolumeReader(VolumeReader&&) noexcept = default;
  VolumeReader& operator=(VolumeReader&&) noexcept = default;

  void open(std::shared_ptr<const image::MountedImage> image, std::uint8_t imageFile, std::u16string imagePath);
  // An image file already open (a file in memory, or one the caller opened).
  void openFile(platform::ReadOnlyFile file);
  // Changes where reads go, keeping the snapshot and the file.
  void readImageFile(std::uint8_t imageFile) { imageFile_ = imageFile; }
  void close();

  std::uint8_t imageFile() const { return imageFile_; }
  const std::u16string& imagePath() const { return imagePath_; }
  const image::MountedImage* image() const { return image_.get(); }
  // The image file, opened now if it was not; null when it cannot be.
  const platform::ReadOnlyFile* file() const;

  // `out.size()` bytes (whole sectors) from absolute `sector` on; true only when all were read.
  bool read(std::uint64_t sector, std::span<std::uint8_t> out, std::uint64_t* failedSectors = nullptr) const;
  // The same from `sector` of a volume starting at `start`.
  bool readFrom(std::uint64_t start, std::uint64_t sector, std::span<std::uint8_t> out,
                std::uint64_t* failedSectors = nullptr) const;

  // The sectors no read could read so far, and whether any was read.
  ReadTally tally() const { return unread_->tally(); }

 private:
  bool readFile(std::uint64_t sector, std::span<std::uint8_t> out, std::uint64_t& failed) const;

  std::shared_ptr<const image::MountedImage> image_;
  std::uint8_t imageFile_ = 0;
  std::u16string imagePath_;
  // Opened once, by whichever thread reads it first.
  mutable std::unique_ptr<std::once_flag> fileOnce_ = std::make_unique<std::once_flag>();
  mutable std::optional<platform::ReadOnlyFile> file_;
  std::shared_ptr<UnreadSectors> unread_ = std::make_shared<UnreadSectors>();
};

// A file's clusters: a list (32 or 64-bit numbers) or a run from a first cluster.
class ClusterList {
 public:
  ClusterList(std::span<const std::uint32_t> list) : list32_(list.data()), count_(list.size()) {}
  ClusterList(std::span<const std::uint64_t> list) : list64_(list.data()), count_(list.size()) {}
  static ClusterList run(std::uint64_t first, std::uint64_t count) { return ClusterList(first, count); }

  std::uint64_t size() const { return count_; }
  std::uint64_t operator[](std::uint64_t i) const {
    return list32_ ? list32_[i] : list64_ ? list64_[i] : first_ + i;
  }

 private:
  ClusterList(std::uint64_t first, std::uint64_t count) : first_(first), count_(count) {}
  const std::uint32_t* list32_ = nullptr;
  const std::uint64_t* list64_ = nullptr;
  std::uint64_t first_ = 0;
  std::uint64_t count_ = 0;
};

// Contiguous clusters are read together, up to this much at a time.
inline constexpr std::uint64_t kMaxStreamReadBytes = std::uint64_t(1) << 20;

struct StreamResult {
  std::uint64_t clustersRead = 0;
  std::uint64_t clustersFailed = 0;  // delivered as zeros
  std::uint64_t bytesLeft = 0;       // of the size, never delivered (the list ended first)
  std::uint64_t clustersNotOwn = 0;  // read, but another's as far as the disk can tell
  bool stopped = false;              // the sink asked for no more

  // Complete: every byte up to the size was read from the file's own clusters; Unreadable:
  // none was read.
  ReadOutcome outcome() const {
    if (stopped) return ReadOutcome::Partial;
    if (clustersRead == 0) return ReadOutcome::Unreadable;
    return clustersFailed != 0 || bytesLeft != 0 || clustersNotOwn != 0 ? ReadOutcome::Partial
                                                                          : ReadOutcome::Complete;
  }
};

// Streams `size` bytes of `clusters` to `sink` in file order: runs of contiguous clusters in
// one read of at most kMaxStreamReadBytes, a run that fails read again cluster by cluster
// (one bad sector costs one cluster), the last cluster cut to the size. The file ends at the
// first cluster the reader does not have. `Reader` gives clusterBytes(), hasCluster(c) and
// readClusters(first, count, out) (zeros where it could not read; false then). `buffer` may
// be kept between calls; it grows to what one read needs and no further. With `owner`, every
// cluster read is asked whether it is the file's own; one that is not leaves the file partial.
template <class Reader>
StreamResult streamClusters(Reader& reader, const ClusterList& clusters, std::uint64_t size, const ContentSink& sink,
                            std::vector<std::uint8_t>& buffer, const OwnershipCheck* owner = nullptr) {
  StreamResult result;
  result.bytesLeft = size;
  const std::uint64_t clusterBytes = reader.clusterBytes();
  if (clusterBytes == 0 || size == 0) return result;
  const std::uint64_t perRead = std::max<std::uint64_t>(1, kMaxStreamReadBytes / clusterBytes);
  const std::uint64_t needed = std::min<std::uint64_t>(clusters.size(), (size + clusterBytes - 1) / clusterBytes);
  const std::uint64_t bufferBytes = std::min(perRead, std::max<std::uint64_t>(needed, 1)) * clusterBytes;
  if (buffer.size() < bufferBytes) buffer.resize(std::size_t(bufferBytes));
  for (std::uint64_t i = 0; i < clusters.size() && result.bytesLeft != 0;) {
    const std::uint64_t first = clusters[i];
    if (!reader.hasCluster(first)) break;
    // The run of clusters that follow each other on disk, from cluster i on, no longer than
    // the size still needs.
    const std::uint64_t wanted = std::min(perRead, (result.bytesLeft + clusterBytes - 1) / clusterBytes);
    std::uint64_t n = 1;
    while (n < wanted && i + n < clusters.size() && clusters[i + n] == first + n && reader.hasCluster(first + n)) ++n;
    if (reader.readClusters(first, n, buffer.data())) {
      result.clustersRead += n;
    } else {
      for (std::uint64_t k = 0; k < n; ++k) {
        if (reader.readClusters(first + k, 1, buffer.data() + k * clusterBytes)) ++result.clustersRead;
        else ++result.clustersFailed;
      }
    }
    if (owner)
      for (std::uint64_t k = 0; k < n; ++k)
        if (owner->notOwn(first + k)) ++result.clustersNotOwn;
    const std::uint64_t bytes = std::min(result.bytesLeft, n * clusterBytes);
    if (!sink(std::span<const std::uint8_t>(buffer.data(), std::size_t(bytes)))) {
      result.stopped = true;
      return result;
    }
    result.bytesLeft -= bytes;
    i += n;
  }
  return result;
}

template <class Reader>
StreamResult streamClusters(Reader& reader, const ClusterList& clusters, std::uint64_t size, const ContentSink& sink,
                            const OwnershipCheck* owner = nullptr) {
  std::vector<std::uint8_t> buffer;
  return streamClusters(reader, clusters, size, sink, buffer, owner);
}

}  // namespace qelda::engine
