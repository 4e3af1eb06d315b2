// Following cluster chains: one follower for every engine, generic over where the next
// cluster comes from (a FAT12/16/32 table, exFAT's 32-bit FAT, a contiguous run), with the
// visited bitset that stops a chain at its first repeat. Pure: the tables come from the
// caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fs/exfat_boot.h"
#include "fs/fat_table.h"
#include "platform/byte_view.h"

namespace qelda::engine {

// Clusters already taken by the chain being followed; a chain stops at its first repeat.
class VisitedClusters {
 public:
  VisitedClusters() = default;
  explicit VisitedClusters(std::uint64_t clusterCount) : bits_(clusterCount, false) {}
  void resize(std::uint64_t clusterCount) { bits_.assign(clusterCount, false); }
  std::uint64_t size() const { return bits_.size(); }
  bool contains(std::uint32_t c) const { return c < bits_.size() && bits_[c]; }
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

// A chain through a FAT12/16/32 table: a cluster from 2 up, below the type's stop value and
// at most maxCluster; the next is its entry (nothing when the entry lies outside the table).
struct FatChainSource {
  static constexpr bool kMayRepeat = true;
  const fs::fat::FatTable& fat;
  std::uint32_t maxCluster;
  bool holds(std::uint32_t c) const { return fs::fat::isChainCluster(fat.type(), c, maxCluster); }
  std::optional<std::uint32_t> next(std::uint32_t c) const { return fat.entry(c); }
};

// A chain through exFAT's FAT (32-bit entries, unmasked): a cluster of the heap; the next
// is its entry (nothing when the entry lies outside the bytes given).
struct ExFatChainSource {
  static constexpr bool kMayRepeat = true;
  platform::ByteView fat;
  const fs::exfat::ExFatBootParams& params;
  bool holds(std::uint32_t c) const { return fs::exfat::isHeapCluster(params, c); }
  std::optional<std::uint32_t> next(std::uint32_t c) const { return fat.le32(std::size_t(c) * 4); }
};

// A run of neighbours from a cluster on, as far as the clusters `holds` admits (a volume's
// data area, a heap); it cannot meet itself, so no visited bits are spent on it.
template <class Holds>
struct ContiguousRun {
  static constexpr bool kMayRepeat = false;
  Holds holdsCluster;
  bool holds(std::uint32_t c) const { return holdsCluster(c); }
  std::optional<std::uint32_t> next(std::uint32_t c) const {
    if (c == UINT32_MAX) return std::nullopt;
    return c + 1;
  }
};
template <class Holds>
ContiguousRun(Holds) -> ContiguousRun<Holds>;

namespace detail {
template <class Source>
std::vector<std::uint32_t> followChain(const Source& source, std::uint32_t first, VisitedClusters* seen,
                                       std::uint64_t limit, const VisitedClusters* stopBefore = nullptr) {
  std::vector<std::uint32_t> chain;
  std::uint32_t c = first;
  while (chain.size() < limit && source.holds(c) && !(stopBefore && stopBefore->contains(c))) {
    if constexpr (Source::kMayRepeat)
      if (!seen->insert(c)) break;
    chain.push_back(c);
    const std::optional<std::uint32_t> next = source.next(c);
    if (!next) break;
    c = *next;
  }
  if constexpr (Source::kMayRepeat) seen->clear(chain);
  return chain;
}
}  // namespace detail

// Follows the chain from `first`: stops before a cluster the source does not hold, before a
// repeat, after `limit` clusters, and after a cluster whose next cannot be read. `seen` must
// cover every cluster the source holds (a cluster beyond it ends the chain); it is left as it
// was found.
template <class Source>
std::vector<std::uint32_t> followChain(const Source& source, std::uint32_t first, VisitedClusters& seen,
                                       std::uint64_t limit = UINT64_MAX) {
  return detail::followChain(source, first, &seen, limit);
}

// The same, stopping also before a cluster of `stopBefore`: clusters whose chain was followed
// to its end before, so that chains that share their tails cost no more than their clusters.
template <class Source>
std::vector<std::uint32_t> followChainUntil(const Source& source, std::uint32_t first, VisitedClusters& seen,
                                            const VisitedClusters& stopBefore, std::uint64_t limit = UINT64_MAX) {
  return detail::followChain(source, first, &seen, limit, &stopBefore);
}

// The same for a source that cannot meet itself (a contiguous run).
template <class Source>
std::vector<std::uint32_t> followChain(const Source& source, std::uint32_t first, std::uint64_t limit = UINT64_MAX) {
  static_assert(!Source::kMayRepeat, "a chain that may repeat needs its visited bits");
  return detail::followChain(source, first, nullptr, limit);
}

}  // namespace qelda::engine
