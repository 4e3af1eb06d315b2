// What one scan's directory walks did: the bytes they read, the items the scan reported,
// how deep they went and the memory their open directories held. Each engine keeps one for
// the scan under way (reset when a scan begins), so that tests can hold the work against
// the size of the disk and catch work that grows faster than the disk.
#pragma once

#include <algorithm>
#include <cstdint>

namespace qelda::fs {

struct WalkStats {
  std::uint64_t directoryBytesRead = 0;  // bytes read from directories by the walks
  std::uint64_t itemsReported = 0;       // items the scan reported, made-up folders included
  std::uint64_t deepestWalk = 0;         // most directories open at once
  std::uint64_t heldBytes = 0;           // bytes the open walks hold now
  std::uint64_t mostHeldBytes = 0;       // the most they held at once
  std::uint64_t chainClustersFollowed = 0;  // clusters the scan took from FAT chains

  void opened(std::uint64_t depth) { deepestWalk = std::max(deepestWalk, depth); }
  void hold(std::uint64_t bytes) {
    heldBytes += bytes;
    mostHeldBytes = std::max(mostHeldBytes, heldBytes);
  }
  void release(std::uint64_t bytes) { heldBytes -= std::min(heldBytes, bytes); }
};

}  // namespace qelda::fs
