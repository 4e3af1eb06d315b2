// Reading the in-memory FAT: one bounds-checked entry accessor for the three entry widths,
// the chain follower with its visited bitset, and the sector tests the copy checks use.
// Pure: the bytes come from the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qelda::fs::fat {

// A view of a loaded FAT. An empty view (no FAT loaded) has no entries.
class FatTable {
 public:
  FatTable() = default;
  FatTable(std::span<const std::uint8_t> bytes, std::uint8_t fatType) : bytes_(bytes), type_(fatType) {}

  // Entry of cluster c, masked to the width that means a cluster (28 bits on FAT32);
  // nothing when the entry does not lie wholly inside the table.
  std::optional<std::uint32_t> entry(std::uint64_t c) const;
  bool empty() const { return bytes_.empty(); }
  std::uint8_t type() const { return type_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::uint8_t type_ = 0;
};

// Clusters already taken by the chain being followed; a chain stops at its first repeat.
class VisitedClusters {
 public:
  VisitedClusters() = default;
  explicit VisitedClusters(std::uint64_t clusterCount) : bits_(clusterCount, false) {}
  void resize(std::uint64_t clusterCount) { bits_.assign(clusterCount, false); }
  std::uint64_t size() const { return bits_.size(); }
  // False when c is outside the set or was seen before.
  bool insert(std::uint32_t c) {
    if (c >= bits_.size() || bits_[c]) return false;
    bits_[c] = true;
    return true;
  }
  void clear(std::span<const std::uint32_t> chain) {
    for (auto c : chain)
      if (c < bits_.size()) bits_[c] = false;
  }

 private:
  std::vector<bool> bits_;
};

// The value at or above which a cluster number is no cluster but a chain end.
std::uint32_t chainStopValue(std::uint8_t fatType);

// The cluster after c in its chain, when the chain goes on: c's entry lies inside the table
// and holds a cluster number (2 or more, below the stop value, at most maxCluster).
std::optional<std::uint32_t> nextChainCluster(const FatTable& fat, std::uint32_t c, std::uint32_t maxCluster);
// c may stand in a chain: 2 or more, below the stop value, at most maxCluster.
bool isChainCluster(std::uint8_t fatType, std::uint32_t c, std::uint32_t maxCluster);

// Follows the chain from `first`: stops before a value at or above the stop value or above
// maxCluster, before a repeat, and after a cluster whose entry lies outside the table or
// holds 0 or 1. `seen` must hold at least maxCluster + 1 bits; it is left as it was found.
std::vector<std::uint32_t> followChain(const FatTable& fat, std::uint32_t first, std::uint32_t maxCluster,
                                       VisitedClusters& seen, std::uint64_t limit = UINT64_MAX);

// A FAT copy's first sector begins with a media signature: F8 FF FF or F0 FF FF.
bool hasMediaSignature(std::span<const std::uint8_t> sector);

// Every 2- or 4-byte entry of a FAT16/FAT32 sector equals the first (an all-zero sector, say).
bool isUniformSector(std::span<const std::uint8_t> sector, std::uint8_t fatType);

// Entries of one FAT sector (sector index within its copy) that can be no cluster: above the
// highest data cluster and below the end marks. FAT12 counts only entries lying wholly inside
// the sector; FAT32 values are masked to 28 bits and count from 0x0FFFFFF8 up as ends.
std::uint32_t countImplausibleEntries(std::span<const std::uint8_t> sector, std::uint64_t sectorIndex,
                                      std::uint8_t fatType, std::uint64_t highestDataCluster);

}  // namespace qelda::fs::fat
