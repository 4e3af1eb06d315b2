// NTFS data runs as the engine keeps them, and their absolute form.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/parsed.h"

namespace qelda::fs::ntfs {

// One decoded mapping pair: the length in clusters and the LCN delta as stored.
struct RunEntry {
  std::uint32_t length = 0;       // clusters
  std::uint32_t rawOffset = 0;    // as stored, not sign-extended
  std::uint8_t offsetBytes = 0;   // 0: a sparse run
  char kind = 'S';                // 'S' first run of an attribute piece (LCN counted from 0), 'M' later

  bool sparse() const { return offsetBytes == 0; }
  // The delta with its sign: the top bit of the stored width is the sign bit.
  std::int64_t signedOffset() const {
    if (offsetBytes == 0) return 0;
    const unsigned bits = 8u * offsetBytes;
    const std::uint64_t v = rawOffset;
    if (bits >= 32) return std::int64_t(std::int32_t(rawOffset));
    const std::uint64_t sign = std::uint64_t(1) << (bits - 1);
    return (v & sign) ? std::int64_t(v) - std::int64_t(std::uint64_t(1) << bits) : std::int64_t(v);
  }
};

// A run placed on the volume: VCN range and its first LCN, or a hole.
struct Extent {
  std::uint64_t vcn = 0;
  std::uint64_t length = 0;  // clusters
  std::uint64_t lcn = 0;
  bool hole = false;
};

// Walks the runs in order: "S" starts the LCN position at 0, each data run moves it by its
// signed delta. A run that would start below cluster 0 fails the whole list (OutOfRange).
platform::Parsed<std::vector<Extent>> runsToExtents(const std::vector<RunEntry>& runs);

// Sum of the run lengths in clusters (holes included).
std::uint64_t runClusterCount(const std::vector<RunEntry>& runs);

// What a stream's extents give back on a volume of `volumeClusters` clusters: its holes
// (they read as zeros) and the clusters of its runs that lie inside the volume. Only a
// sparse or compressed stream can hold more than its volume.
struct ClusterTally {
  std::uint64_t holes = 0;
  std::uint64_t inside = 0;
  std::uint64_t held() const { return holes + inside; }
};
ClusterTally tallyClusters(const std::vector<Extent>& extents, std::uint64_t volumeClusters);

// Maps a VCN through sorted extents; nothing when no extent covers it.
struct MappedCluster {
  std::uint64_t lcn = 0;
  bool hole = false;
  std::uint64_t runRemaining = 0;  // clusters left in the extent from this VCN on, itself included
};
std::optional<MappedCluster> mapVcn(const std::vector<Extent>& extents, std::uint64_t vcn);

}  // namespace qelda::fs::ntfs
