// The growth check of the walk scale tests: the same hostile pattern scanned on a disk and
// on one four times its size, whose walks were found to reach at least minimumBytes (so
// the pattern was met) and, where it nests that far, the walks' depth limit.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fs/walk_stats.h"

namespace qelda::test {

inline void expectWorkGrowsWithTheDisk(const fs::WalkStats& one, std::size_t oneItems, const fs::WalkStats& four,
                                       std::size_t fourItems, std::uint64_t minimumBytes,
                                       std::optional<std::uint64_t> depthLimit) {
  EXPECT_GT(one.directoryBytesRead, minimumBytes) << "the pattern was not found";
  if (depthLimit) {
    EXPECT_EQ(four.deepestWalk, *depthLimit);
  }
  // Four times the disk: at most a little over four times the work.
  EXPECT_LE(four.directoryBytesRead, 5 * std::max<std::uint64_t>(one.directoryBytesRead, 1));
  EXPECT_LE(fourItems, 5 * std::max<std::size_t>(oneItems, 1));
  EXPECT_LE(four.mostHeldBytes, 5 * std::max<std::uint64_t>(one.mostHeldBytes, 1));
}

}  // namespace qelda::test
