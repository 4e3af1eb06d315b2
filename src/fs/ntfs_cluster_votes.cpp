#include "fs/ntfs_cluster_votes.h"

namespace qelda::fs::ntfs {

void ClusterSizeVotes::add(std::uint64_t runClusters, std::uint64_t allocatedBytes) {
  if (allocatedBytes == 0) return;
  for (unsigned k = 9; k <= 18; ++k) {
    // Runs never cover 2^45 clusters: the product cannot overflow.
    if (runClusters < (std::uint64_t(1) << 45) && (runClusters << k) == allocatedBytes) {
      ++votes_[k - 9];
      ++total_;
      last_ = std::uint16_t(1u << (k - 9));
      return;
    }
  }
  if (last_ == 0) return;
  for (unsigned i = 0; i < votes_.size(); ++i) {
    if ((1u << i) == last_) {
      ++votes_[i];
      ++total_;
      return;
    }
  }
}

std::uint16_t ClusterSizeVotes::winner() const {
  unsigned best = 0;
  for (unsigned i = 1; i < votes_.size(); ++i)
    if (votes_[i] > votes_[best]) best = i;
  return votes_[best] == 0 ? 0 : std::uint16_t(1u << best);
}

}  // namespace qelda::fs::ntfs
