// The volume's allocation bitmap ($Bitmap, one bit per cluster, lowest bit first) turned into
// runs of free clusters. A pure walk over bytes handed to it piece by piece: the caller reads
// the bitmap's clusters, this only counts.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/byte_view.h"

namespace qelda::fs::ntfs {

// Free clusters [first, first + count).
struct FreeRun {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  bool operator==(const FreeRun&) const = default;
};

class FreeClusterWalk {
 public:
  // Bits at or past clusterLimit describe no cluster of the volume and are passed over.
  explicit FreeClusterWalk(std::uint64_t clusterLimit) : limit_(clusterLimit) {}

  // The next bytes of the bitmap: bit b of byte i is cluster position() + 8 i + b.
  void addBytes(platform::ByteView bytes);
  // The next n clusters, whose bits could not be read (a hole in the bitmap's runs, a run
  // outside the volume): counted as in use, so that nothing unknown is taken for free.
  void addInUse(std::uint64_t n);
  // The cluster the next bit stands for.
  std::uint64_t position() const { return next_; }
  bool full() const { return next_ >= limit_; }
  // Closes the open run; the runs in cluster order, none empty.
  std::vector<FreeRun> finish();

 private:
  void freeUpTo(std::uint64_t end);
  void usedUpTo(std::uint64_t end);

  std::uint64_t limit_;
  std::uint64_t next_ = 0;
  // A run is open between a free bit and the next bit in use: an explicit state, so that a
  // free cluster 0 starts a run like any other.
  bool open_ = false;
  std::uint64_t openFirst_ = 0;
  std::vector<FreeRun> runs_;
};

}  // namespace qelda::fs::ntfs
