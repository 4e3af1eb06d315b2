#include "fs/fat_geometry.h"

#include <algorithm>
#include <array>

#include "fs/fat_layout.h"

namespace qelda::fs::fat {

using platform::ByteView;

namespace {

// Cluster sizes are powers of two from 1 to 128 sectors.
constexpr unsigned kClusterSizeShifts = 8;
// A find votes for a data start only below this, and beyond 555 sectors only with clusters of
// 8 sectors or more (smaller clusters put the data that far only on FAT32 volumes, whose FAT
// signatures then settle the layout).
constexpr std::int64_t kMaxDataStart = 100000;
constexpr std::int64_t kSmallClusterMaxDataStart = 555;
constexpr std::uint32_t kLargeClusterSectors = 8;
// FAT sizes, in sectors, that tell the types apart.
constexpr std::int64_t kFat16MaxFatSectors = 266;
constexpr std::int64_t kFat32MinFatSectors = 1024;
constexpr std::int64_t kFat12MaxFatSectors = 19;
// Where the FAT1 signature is looked for, and the reserved counts each type may have.
constexpr std::uint64_t kFat32Fat1Search = 63;
constexpr std::uint32_t kFat32Reserved = 32;
constexpr std::uint64_t kFat16Fat1Search = 20;
constexpr std::uint32_t kFat16Reserved = 13;
constexpr std::uint32_t kFat16MaxAcceptedReserved = 20;
constexpr std::uint32_t kFixedRootSectors = 32;

// log2 of q when q is 1, 2, 4, ... 128.
std::optional<unsigned> clusterSizeShift(std::uint64_t q) {
  for (unsigned k = 0; k < kClusterSizeShifts; ++k)
    if (q == (1u << k)) return k;
  return std::nullopt;
}

// The most frequent shift among the counts (the smaller on a tie); nothing without counts.
std::optional<unsigned> mostVoted(const std::array<std::uint32_t, kClusterSizeShifts>& votes) {
  std::optional<unsigned> best;
  for (unsigned k = 0; k < kClusterSizeShifts; ++k)
    if (votes[k] != 0 && (!best || votes[k] > votes[*best])) best = k;
  return best;
}

}  // namespace

bool startsDirectoryCluster(ByteView sector) {
  return sector.matches(0, ".       ") && sector.matches(dirent::kSize, "..      ");
}

std::uint32_t dotEntryCluster(ByteView entry, std::uint8_t fatType) {
  const std::uint32_t low = entry.le16(dirent::kClusterLow).value_or(0);
  if (fatType != kFat32) return low;
  return std::uint32_t(entry.le16(dirent::kClusterHigh).value_or(0)) << 16 | low;
}

std::uint8_t estimateClusterSize(std::vector<DirFind>& finds) {
  const std::size_t n = std::min(finds.size(), kMaxDirFinds);
  std::vector<std::uint8_t> pairShift(n * n, 0xFF);  // the shift each pair voted for, both ways
  std::array<std::uint32_t, kClusterSizeShifts> votes{};
  for (std::size_t i = 0; i + 1 < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const DirFind& a = finds[i];
      const DirFind& b = finds[j];
      if (b.cluster <= a.cluster || b.sector <= a.sector) continue;
      const auto shift = clusterSizeShift((b.sector - a.sector) / (b.cluster - a.cluster));
      if (!shift) continue;
      pairShift[i * n + j] = pairShift[j * n + i] = std::uint8_t(*shift);
      ++votes[*shift];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::array<std::uint32_t, kClusterSizeShifts> own{};
    for (std::size_t j = 0; j < n; ++j)
      if (pairShift[i * n + j] != 0xFF) ++own[pairShift[i * n + j]];
    const auto best = mostVoted(own);
    finds[i].sectorsPerCluster = best ? std::uint8_t(1u << *best) : 0;
  }
  const auto best = mostVoted(votes);
  return best ? std::uint8_t(1u << *best) : 0;
}

void countStartCandidate(std::vector<StartCandidate>& table, std::uint64_t dataStart, std::uint32_t spc) {
  for (StartCandidate& c : table) {
    if (c.dataStart == dataStart && c.sectorsPerCluster == spc) {
      ++c.votes;
      return;
    }
  }
  table.push_back({dataStart, 1, spc});
}

void sortStartCandidates(std::vector<StartCandidate>& table) {
  std::stable_sort(table.begin(), table.end(), [](const StartCandidate& a, const StartCandidate& b) {
    if (a.votes != b.votes) return a.votes > b.votes;
    return a.sectorsPerCluster > b.sectorsPerCluster;
  });
}

std::vector<StartCandidate> rankDataStarts(std::vector<DirFind>& finds) {
  estimateClusterSize(finds);
  std::vector<StartCandidate> table;
  for (const DirFind& f : finds) {
    const std::int64_t s = f.sectorsPerCluster;
    if (s < 1 || f.cluster < 2 || f.sector >= std::uint64_t(INT64_MAX / 2)) continue;
    // Computed in 64 bits: a find far into a large volume cannot wrap into a small start.
    const std::int64_t dataStart = std::int64_t(f.sector) - (std::int64_t(f.cluster) - 2) * s;
    if (dataStart > 0 && dataStart < kMaxDataStart &&
        (dataStart <= kSmallClusterMaxDataStart || s >= std::int64_t(kLargeClusterSectors)))
      countStartCandidate(table, std::uint64_t(dataStart), std::uint32_t(s));
  }
  sortStartCandidates(table);
  return table;
}

bool findPlacedBy(const DirFind& f, std::uint64_t dataStart, std::uint32_t sectorsPerCluster) {
  return sectorsPerCluster != 0 && f.cluster >= 2 && f.sector >= dataStart &&
         (f.sector - dataStart) % sectorsPerCluster == 0 && (f.sector - dataStart) / sectorsPerCluster == f.cluster - 2;
}

std::size_t findsPlacedBy(const std::vector<DirFind>& finds, std::uint64_t dataStart, std::uint32_t sectorsPerCluster) {
  return std::size_t(std::count_if(finds.begin(), finds.end(),
                                   [&](const DirFind& f) { return findPlacedBy(f, dataStart, sectorsPerCluster); }));
}

std::optional<RebuiltGeometry> rebuildGeometry(std::vector<DirFind>& finds, std::uint64_t totalSectors,
                                               const SignatureProbe& signatureAt) {
  const std::vector<StartCandidate> table = rankDataStarts(finds);
  if (table.empty()) return std::nullopt;

  // The values found for one candidate carry over to the next one tried.
  RebuiltGeometry g;
  g.fatType = kFat16;
  g.reservedSectors = 1;
  g.rootDirSectors = kFixedRootSectors;
  g.totalSectors = totalSectors;
  for (std::size_t i = 0; i < table.size() && table[i].votes == table[0].votes; ++i) {
    const std::int64_t d = std::int64_t(table[i].dataStart);
    const std::uint32_t s = table[i].sectorsPerCluster;
    std::int64_t f = (d - std::int64_t(g.reservedSectors) - std::int64_t(g.rootDirSectors)) / 2;
    if (f < 1) continue;  // no room for a FAT in front of this data start
    if (f > kFat16MaxFatSectors) {
      if (f < kFat32MinFatSectors) continue;
      g.fatType = kFat32;
      g.reservedSectors = kFat32Reserved;
      bool found = false;
      for (std::uint64_t p = kFat32Reserved; p < kFat32Fat1Search && !found; ++p)
        if (signatureAt(p)) g.reservedSectors = std::uint32_t(p), found = true;
      // FAT2 starts at reserved + f, that is at (d + reserved) / 2.
      for (std::int64_t p = (d - 63) / 2 + 32; p < d && !found; ++p)
        if (2 * p - d >= std::int64_t(kFat32Reserved) && signatureAt(std::uint64_t(p)))
          g.reservedSectors = std::uint32_t(2 * p - d), found = true;
      g.rootDirSectors = 0;
      f = (d - std::int64_t(g.reservedSectors)) / 2;
    } else if (f >= kFat12MaxFatSectors) {
      g.fatType = kFat16;
      g.reservedSectors = kFat16Reserved;
      bool found = false;
      for (std::uint64_t p = 0; p < kFat16Fat1Search && p <= kFat16Reserved && !found; ++p)
        if (signatureAt(p)) g.reservedSectors = std::uint32_t(p), found = true;
      // FAT2 starts at reserved + f with d = reserved + 2f + 32: reserved = 2p - d + 32.
      for (std::int64_t p = (d - 31 + 1) / 2; p <= (d - 19) / 2 && !found; ++p) {
        const std::int64_t reserved = 2 * p - d + std::int64_t(kFixedRootSectors);
        if (reserved >= 1 && reserved <= std::int64_t(kFat16Reserved) && signatureAt(std::uint64_t(p)))
          g.reservedSectors = std::uint32_t(reserved), found = true;
      }
      g.rootDirSectors = kFixedRootSectors;
      f = (d - std::int64_t(g.reservedSectors) - std::int64_t(kFixedRootSectors)) / 2;
    } else {
      g.fatType = kFat12;
    }
    if (f < 1) continue;
    g.sectorsPerFat = std::uint32_t(f);
    const std::uint64_t perSector = g.fatType == kFat32 ? 128 : g.fatType == kFat16 ? 256 : 4096 / 12;
    const std::uint64_t capacity = g.fatType == kFat12 ? std::uint64_t(f) * 4096 / 12 : std::uint64_t(f) * perSector;
    if (g.totalSectors == 0) g.totalSectors = capacity * s;
    // The FAT must reach the volume's end, give or take its last sector: a formatter may
    // leave unused the few clusters past what a whole number of FAT sectors can hold.
    const bool fits =
        g.totalSectors > std::uint64_t(d) && (g.totalSectors - std::uint64_t(d)) / s < capacity + perSector;
    const bool typeHolds = g.fatType == kFat32   ? g.reservedSectors >= kFat32Reserved && f > kFat16MaxFatSectors
                           : g.fatType == kFat16 ? g.reservedSectors <= kFat16MaxAcceptedReserved && f <= kFat16MaxFatSectors
                                                 : g.reservedSectors == 1 && f <= kFat12MaxFatSectors;
    if ((d - std::int64_t(g.reservedSectors) - std::int64_t(g.rootDirSectors)) % 2 != 0) ++g.reservedSectors;
    if (fits && typeHolds) {
      g.sectorsPerCluster = std::uint8_t(s);
      return g;
    }
  }
  return std::nullopt;
}

}  // namespace qelda::fs::fat
