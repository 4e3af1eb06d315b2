#include "fs/ntfs_bitmap.h"

#include <algorithm>

namespace qelda::fs::ntfs {

void FreeClusterWalk::freeUpTo(std::uint64_t end) {
  if (!open_) {
    open_ = true;
    openFirst_ = next_;
  }
  next_ = end;
}

void FreeClusterWalk::usedUpTo(std::uint64_t end) {
  if (open_) {
    runs_.push_back({openFirst_, next_ - openFirst_});
    open_ = false;
  }
  next_ = end;
}

void FreeClusterWalk::addBytes(platform::ByteView bytes) {
  for (std::size_t i = 0; i < bytes.size() && next_ < limit_; ++i) {
    const std::uint8_t b = bytes.data()[i];
    const std::uint64_t left = limit_ - next_;
    // Whole bytes of one kind in one step: most of a bitmap is.
    if (left >= 8 && (b == 0x00 || b == 0xFF)) {
      b == 0x00 ? freeUpTo(next_ + 8) : usedUpTo(next_ + 8);
      continue;
    }
    const unsigned bits = unsigned(std::min<std::uint64_t>(8, left));
    for (unsigned k = 0; k < bits; ++k) (b >> k) & 1 ? usedUpTo(next_ + 1) : freeUpTo(next_ + 1);
  }
}

void FreeClusterWalk::addInUse(std::uint64_t n) {
  if (next_ >= limit_ || n == 0) return;
  usedUpTo(next_ + std::min(n, limit_ - next_));
}

std::vector<FreeRun> FreeClusterWalk::finish() {
  usedUpTo(next_);
  return std::move(runs_);
}

}  // namespace qelda::fs::ntfs
