// The cluster size a volume's file records agree on, when its boot sector no longer says:
// each record whose runs cover C clusters and whose $DATA claims A allocated bytes votes for
// the size that makes them agree.
#pragma once

#include <array>
#include <cstdint>

namespace qelda::fs::ntfs {

class ClusterSizeVotes {
 public:
  // One record: the first k from 9 to 18 with C x 2^k = A votes for 2^(k-9) sectors per
  // cluster; a record that fits none votes again for the last size matched, when there is one.
  void add(std::uint64_t runClusters, std::uint64_t allocatedBytes);
  std::uint32_t total() const { return total_; }
  // Enough votes: more than 128, or at least one once a quarter of the volume is searched.
  bool decided(bool quarterSearched) const { return total_ > 128 || (total_ >= 1 && quarterSearched); }
  // The size with the most votes, the smaller on a tie; 0 without votes.
  std::uint16_t winner() const;
  std::uint16_t lastMatched() const { return last_; }

 private:
  std::array<std::uint32_t, 10> votes_{};  // for 1, 2, 4, ... 512 sectors
  std::uint32_t total_ = 0;
  std::uint16_t last_ = 0;
};

}  // namespace qelda::fs::ntfs
