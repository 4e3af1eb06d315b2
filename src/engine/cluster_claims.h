// Whose a found file's clusters are, as far as the disk can tell. A deleted file is read from
// where its entry said its data lay; since then the volume may have given those clusters to
// another file. The file is whole only when every cluster it is read from is still free on
// the volume as it is now, is not where another found file starts, and, for a volume found
// again on a disk partitioned since, is not given to data by a volume the partition table
// lists over the same sectors.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/found_item.h"

namespace qelda::engine {

// One allocation map of a volume: a bit per cluster from firstCluster on, set where the
// map gives the cluster to a file (or to the volume's own structures). Clusters it does not
// cover are not given by it.
class ClusterMap {
 public:
  ClusterMap() = default;
  ClusterMap(std::uint64_t firstCluster, std::uint64_t count)
      : first_(firstCluster), count_(count), bits_(std::size_t((count + 63) / 64), 0) {}

  std::uint64_t firstCluster() const { return first_; }
  std::uint64_t count() const { return count_; }

  void markInUse(std::uint64_t cluster) {
    if (cluster - first_ < count_) bits_[std::size_t((cluster - first_) / 64)] |= std::uint64_t(1) << ((cluster - first_) % 64);
  }
  bool inUse(std::uint64_t cluster) const {
    return cluster >= first_ && cluster - first_ < count_ &&
           ((bits_[std::size_t((cluster - first_) / 64)] >> ((cluster - first_) % 64)) & 1) != 0;
  }

  // Where the clusters lie on the disk: the absolute sector of the first one, and the
  // sectors of each; the volume's own structures before them (boot sectors, FAT copies) from
  // absolute sector `volumeStart` on count as in use. Needed only of maps judged against
  // another volume's clusters.
  void place(std::uint64_t firstSector, std::uint64_t clusterSectors, std::uint64_t volumeStart) {
    firstSector_ = firstSector;
    clusterSectors_ = clusterSectors;
    volumeStart_ = std::min(volumeStart, firstSector);
  }
  // Whether any of `count` absolute sectors from `sector` on lies in a cluster in use.
  bool anySectorInUse(std::uint64_t sector, std::uint64_t count) const;

 private:
  std::uint64_t first_ = 0;
  std::uint64_t count_ = 0;
  std::vector<std::uint64_t> bits_;
  std::uint64_t firstSector_ = 0;
  std::uint64_t clusterSectors_ = 0;
  std::uint64_t volumeStart_ = 0;
};

// What a file that is judged says of itself: where it starts and how long it is (a file
// listed twice, with the same start and size, is one file).
struct FileClaim {
  std::uint64_t firstCluster = 0;
  std::uint64_t size = 0;
  // Judged by the volume's own map and by where the other found files start: a deleted
  // file. A live file owns its clusters there; it is judged only by the listed volumes.
  bool byOwnMap = true;
};

// The answers every engine gives its file reads: one per engine, filled as the engine learns
// the volume's map, the found files and the volumes listed over it.
class ClusterClaims {
 public:
  // The volume's map as it is now; null where it could not be read whole (never judged by).
  void setOwnMap(std::shared_ptr<const ClusterMap> map) {
    ownMap_ = std::move(map);
    ownMapKnown_ = true;
  }
  // The map is to be read again (the engine changed what it reads it from).
  void forgetOwnMap() {
    ownMap_.reset();
    ownMapKnown_ = false;
  }
  // Whether setOwnMap was called since the last forget().
  bool ownMapKnown() const { return ownMapKnown_; }
  const std::shared_ptr<const ClusterMap>& ownMap() const { return ownMap_; }

  // The found files, each by its first cluster and size (any order, repeats allowed).
  void setFileStarts(std::vector<std::pair<std::uint64_t, std::uint64_t>> starts);

  // The maps of the volumes the partition table lists over this volume's sectors, and where
  // this volume's clusters lie: the absolute sector of cluster `firstCluster`, and the
  // sectors of each.
  void setListedMaps(std::vector<std::shared_ptr<const ClusterMap>> maps, std::uint64_t firstCluster,
                     std::uint64_t firstSector, std::uint64_t clusterSectors);
  bool hasListedMaps() const { return !listed_.empty(); }

  // Whether cluster `cluster` of `file` is another's: in use in the volume's map (where the
  // file is judged by it), the start of another found file, or given to data by a listed
  // volume.
  bool notOwn(std::uint64_t cluster, const FileClaim& file) const;
  // How many of `count` clusters from `first` on are another's.
  std::uint64_t countNotOwn(std::uint64_t first, std::uint64_t count, const FileClaim& file) const;

  // A new scan: what was learnt of the last one no longer holds.
  void forget() { *this = ClusterClaims(); }

  // The claim of a found file read back: a deleted file (not one found by its signature,
  // whose start no entry gave) is judged by the volume's map and the files' starts; every
  // file by the volumes listed over this one.
  static FileClaim of(std::uint64_t firstCluster, std::uint64_t size, std::uint8_t flags);
  // Whether a file of these flags is judged at all by what is known.
  bool judges(std::uint8_t flags) const;

 private:
  std::shared_ptr<const ClusterMap> ownMap_;
  bool ownMapKnown_ = false;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> starts_;  // (first cluster, size), sorted, unique
  std::vector<std::shared_ptr<const ClusterMap>> listed_;
  std::uint64_t listedFirstCluster_ = 0;
  std::uint64_t listedFirstSector_ = 0;
  std::uint64_t listedClusterSectors_ = 0;
};

// A file being read, and the claims it is judged by; streamClusters counts the clusters it
// reads that are not the file's own.
struct OwnershipCheck {
  const ClusterClaims* claims = nullptr;
  FileClaim file;
  bool notOwn(std::uint64_t cluster) const { return claims && claims->notOwn(cluster, file); }
};

// Where a found file of a volume whose files are keyed by their first cluster (FAT, exFAT)
// starts: none for a folder, a file found by its signature, or a key that names no data
// cluster.
std::optional<std::uint64_t> firstClusterByKey(const FOUND_ITEM& item);

}  // namespace qelda::engine
