// Reading the in-memory FAT: one bounds-checked entry accessor for the three entry widths,
// the values that may stand in a chain, and the sector tests the copy checks use. Pure: the
// bytes come from the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

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

// The value at or above which a cluster number is no cluster but a chain end.
std::uint32_t chainStopValue(std::uint8_t fatType);

// The cluster after c in its chain, when the chain goes on: c's entry lies inside the table
// and holds a cluster number (2 or more, below the stop value, at most maxCluster).
std::optional<std::uint32_t> nextChainCluster(const FatTable& fat, std::uint32_t c, std::uint32_t maxCluster);
// c may stand in a chain: 2 or more, below the stop value, at most maxCluster.
bool isChainCluster(std::uint8_t fatType, std::uint32_t c, std::uint32_t maxCluster);

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
