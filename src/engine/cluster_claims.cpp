#include "engine/cluster_claims.h"

#include <algorithm>

#include "platform/found_item.h"

namespace qelda::engine {

bool ClusterMap::anySectorInUse(std::uint64_t sector, std::uint64_t count) const {
  if (clusterSectors_ == 0 || count == 0) return false;
  if (volumeStart_ < firstSector_ && sector < firstSector_ && sector + count > volumeStart_) return true;
  const std::uint64_t mapEnd = firstSector_ + count_ * clusterSectors_;
  const std::uint64_t from = std::max(sector, firstSector_);
  const std::uint64_t to = std::min(sector + count, mapEnd);
  for (std::uint64_t s = from; s < to;) {
    const std::uint64_t c = (s - firstSector_) / clusterSectors_;
    if (inUse(first_ + c)) return true;
    s = firstSector_ + (c + 1) * clusterSectors_;
  }
  return false;
}

void ClusterClaims::setFileStarts(std::vector<std::pair<std::uint64_t, std::uint64_t>> starts) {
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  starts_ = std::move(starts);
}

void ClusterClaims::setListedMaps(std::vector<std::shared_ptr<const ClusterMap>> maps, std::uint64_t firstCluster,
                                  std::uint64_t firstSector, std::uint64_t clusterSectors) {
  listed_.clear();
  for (auto& m : maps)
    if (m) listed_.push_back(std::move(m));
  listedFirstCluster_ = firstCluster;
  listedFirstSector_ = firstSector;
  listedClusterSectors_ = clusterSectors;
}

bool ClusterClaims::notOwn(std::uint64_t cluster, const FileClaim& file) const {
  if (file.byOwnMap && ownMap_ && ownMap_->inUse(cluster)) return true;
  if (file.byOwnMap && !starts_.empty()) {
    // Another file starts here: at the file's own start, one of another size.
    auto it = std::lower_bound(starts_.begin(), starts_.end(), std::pair<std::uint64_t, std::uint64_t>(cluster, 0));
    for (; it != starts_.end() && it->first == cluster; ++it)
      if (cluster != file.firstCluster || it->second != file.size) return true;
  }
  if (!listed_.empty() && listedClusterSectors_ != 0 && cluster >= listedFirstCluster_) {
    const std::uint64_t sector = listedFirstSector_ + (cluster - listedFirstCluster_) * listedClusterSectors_;
    for (const auto& map : listed_)
      if (map->anySectorInUse(sector, listedClusterSectors_)) return true;
  }
  return false;
}

FileClaim ClusterClaims::of(std::uint64_t firstCluster, std::uint64_t size, std::uint8_t flags) {
  return FileClaim{firstCluster, size, (flags & kItemDeleted) != 0 && (flags & kItemBySignature) == 0};
}

bool ClusterClaims::judges(std::uint8_t flags) const {
  if (flags & kItemBySignature) return false;
  return (flags & kItemDeleted) != 0 || !listed_.empty();
}

std::uint64_t ClusterClaims::countNotOwn(std::uint64_t first, std::uint64_t count, const FileClaim& file) const {
  std::uint64_t n = 0;
  for (std::uint64_t k = 0; k < count; ++k)
    if (notOwn(first + k, file)) ++n;
  return n;
}

std::optional<std::uint64_t> firstClusterByKey(const FOUND_ITEM& item) {
  if (item.isFolder() || (item.m_byFlags & kItemBySignature) || item.m_nRecordKey < 2) return std::nullopt;
  return item.m_nRecordKey;
}

}  // namespace qelda::engine
