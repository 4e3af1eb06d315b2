// FAT volumes rebuilt from the directory starts the deep search collected: the hits that
// agree on where the data area begins form a group; the distances between them give the
// cluster size; the FAT copies in front of the data area give the rest.
#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <unordered_map>

#include "lost/search_volume.h"
#include "lost/sector_tests.h"
#include "platform/text.h"
#include "ui/format_size.h"
#include "volume/volume_records.h"

namespace qelda::lost {

namespace {

constexpr std::size_t kSector = 512;
// The cluster sizes tried, in the order that finds the usual ones first.
constexpr std::array<std::uint8_t, 8> kClusterSizes = {8, 64, 16, 32, 128, 4, 1, 2};
constexpr std::size_t kMinGroup = 4;
// The pairwise comparison looks at this many hits of a group at most.
constexpr std::size_t kMaxVotingHits = 5000;
// How far in front of a data start the FAT is looked for.
constexpr std::uint64_t kFatSearchSectors = 50000;
// Read backwards this many sectors at a time where the deep pass left no index.
constexpr std::uint64_t kBackwardBlock = 128;
// A FAT16 volume read with one-sector FATs reaches this far at most.
constexpr std::uint64_t kMaxFat16Sectors = 4194304;
constexpr std::u16string_view kVerifyingVolumes = u"Verifying volumes";

// The data start that a directory at `sector` naming `cluster` implies with clusters of
// `spc` sectors; nothing when the cluster cannot lie that far in.
std::optional<std::uint64_t> impliedDataStart(std::uint64_t sector, std::uint32_t cluster, std::uint64_t spc) {
  if (cluster < 2) return std::nullopt;
  const std::uint64_t into = std::uint64_t(cluster - 2) * spc;
  if (into > sector) return std::nullopt;
  return sector - into;
}

// The power of two with most votes (the smaller on equal votes), or 0 when none has any.
std::uint8_t winner(const std::array<std::uint32_t, 8>& votes) {
  std::size_t best = votes.size();
  for (std::size_t k = 0; k < votes.size(); ++k)
    if (votes[k] != 0 && (best == votes.size() || votes[k] > votes[best])) best = k;
  return best == votes.size() ? 0 : std::uint8_t(1u << best);
}

struct StartKey {
  std::uint64_t dataStart;
  std::uint32_t spc;
  bool operator==(const StartKey&) const = default;
};
struct StartKeyHash {
  std::size_t operator()(const StartKey& k) const { return std::hash<std::uint64_t>()(k.dataStart * 131 + k.spc); }
};

enum class FatKind : std::uint8_t { Fat12, Fat16, Fat32 };

std::uint8_t codeOf(FatKind k) {
  return k == FatKind::Fat32 ? volume::kFsFat32 : k == FatKind::Fat16 ? volume::kFsFat16 : volume::kFsFat12;
}

// Every hit's data start under its own cluster size, counted; most agreed first.
std::vector<START_CANDIDATE> rankDataStarts(const std::vector<DIR_CLUSTER_HIT>& hits) {
  std::vector<START_CANDIDATE> candidates;
  std::unordered_map<StartKey, std::size_t, StartKeyHash> indexOf;
  for (const DIR_CLUSTER_HIT& hit : hits) {
    // A hit without a cluster size of its own can only point to a volume of no length.
    if (hit.clusterVote == 0) continue;
    const auto start = impliedDataStart(hit.sector, hit.firstCluster, hit.clusterVote);
    if (!start) continue;
    const auto [it, added] = indexOf.try_emplace(StartKey{*start, hit.clusterVote}, candidates.size());
    if (added) candidates.push_back({*start, 0, hit.clusterVote});
    ++candidates[it->second].count;
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const START_CANDIDATE& a, const START_CANDIDATE& b) {
    if (a.count != b.count) return a.count > b.count;
    return a.sectorsPerCluster > b.sectorsPerCluster;
  });
  return candidates;
}

// The sectors of one FAT, and whether the FAT copies (and one FAT's own length) back it.
struct FatLength {
  std::uint64_t sectors = 0;
  bool copies = false;
  bool direct = false;
};

// One FAT's length from where the nearest FAT signature in front of data start `d` lies
// (`found`: nothing when none lies within kFatSearchSectors).
template <class HasFatSignature>
FatLength fatLengthInFront(std::uint64_t d, std::optional<std::uint64_t> found, HasFatSignature&& hasFatSignature) {
  FatLength fat;
  std::uint64_t& f = fat.sectors;
  const std::uint64_t x = found.value_or(0);
  const bool endedOnZero = d == 0 || (found && x == 0) || (!found && d == kFatSearchSectors);
  if (endedOnZero) {
    // Nothing in front but the system area: the two FATs fill what is left of it.
    if (d > 2111) f = (d - 95) / 2;
    else if (d >= 96) f = (d - 96) / 2;
  } else if (!found) {
    f = 1;
  } else {
    const std::uint64_t dist = d - x;
    if (dist == 1) {
      f = 1;
    } else if (dist < 1024) {
      if (dist <= 298) {
        // The found sector opens the second FAT, with a 32-sector root between it and the data.
        if (dist > 32) {
          f = dist - 32;
          fat.copies = x >= f && hasFatSignature(x - f);
          fat.direct = true;
        }
      } else {
        f = (dist - 32) / 2;
        fat.copies = true;
      }
    } else if (x >= dist && dist < kFatSearchSectors) {
      f = dist;
      fat.copies = hasFatSignature(x - f);
      fat.direct = true;
    } else {
      f = dist / 2;
      fat.copies = true;
    }
  }
  return fat;
}

// The FAT volume whose data area starts at `d` with two FATs of `fat.sectors` on a disk of
// `n` sectors: its type (from the FAT's length), its system area and its length; nothing
// when no FAT volume fits. A FAT too long for the clusters of `clusterVote` sectors that
// fit is taken as two, and `fat` says so.
std::optional<REBUILT_FAT> shapeVolume(std::uint64_t d, std::uint64_t n, std::uint64_t spc, std::uint8_t clusterVote,
                                       FatLength& fat) {
  std::uint64_t& f = fat.sectors;
  if (f == 0 || d < 2 * f) return std::nullopt;
  std::uint64_t v = d - 2 * f;

  const std::uint64_t fit = n > v ? (n - v) / clusterVote : 0;
  const auto halveWhenTooLong = [&](std::uint64_t entries) {
    if (entries <= fit) return;
    f /= 2;
    v = d - 2 * f;
    fat.copies = true;
    fat.direct = false;
  };
  FatKind type = FatKind::Fat32;
  std::uint32_t reserved = 32;
  std::uint16_t rootSectors = 0;
  if (f == 1) {
    type = FatKind::Fat32;
  } else if (f >= 1024) {
    halveWhenTooLong((f - 1) * kSector / 4);
    type = FatKind::Fat32;
  } else if (f <= 19) {
    halveWhenTooLong(f * 4096 / 12);
    type = FatKind::Fat12;
  } else if (f <= 266) {
    halveWhenTooLong((f - 1) * kSector / 2);
    type = FatKind::Fat16;
  } else {
    f /= 2;
    type = FatKind::Fat16;
  }
  if (type != FatKind::Fat32) {
    reserved = 1;
    rootSectors = 32;
  }
  if (v < reserved + rootSectors) return std::nullopt;
  v -= reserved + rootSectors;

  const std::uint64_t entries = type == FatKind::Fat32   ? f * kSector / 4
                                : type == FatKind::Fat16 ? f * kSector / 2
                                                         : f * 4096 / 12;
  std::uint64_t size = entries * spc;
  if (type == FatKind::Fat32 && f == 1) size = n > v ? n - v : 0;
  const bool plausible = type == FatKind::Fat32   ? reserved >= 32 && (f == 1 || f > 266)
                         : type == FatKind::Fat16 ? reserved <= 10 && f <= 266
                                                  : reserved == 1 && f <= 19;
  if (!plausible || size == 0) return std::nullopt;
  return REBUILT_FAT{codeOf(type), v, size, std::uint32_t(f), reserved, rootSectors};
}

// The same data start `d` read once more with one-sector FATs, on a disk of `n` sectors.
std::optional<REBUILT_FAT> withOneSectorFats(std::uint64_t d, std::uint64_t n) {
  const bool small = d <= 513;
  const FatKind type = small ? FatKind::Fat16 : FatKind::Fat32;
  const std::uint32_t reserved = small ? 1 : 32;
  const std::uint16_t root = small ? 32 : 0;
  if (d < 2 + root + reserved) return std::nullopt;
  const std::uint64_t start = d - 2 - root - reserved;
  std::uint64_t count = n > start ? n - start : 0;
  if (small) count = std::min(count, kMaxFat16Sectors);
  if (count == 0) return std::nullopt;
  return REBUILT_FAT{codeOf(type), start, count, 1, reserved, root};
}

}  // namespace

void CThreadForSearchVolume::analyseDirectoryClusters() {
  std::uint32_t counter = 0;
  for (const std::uint8_t c : kClusterSizes) {
    if (stopRequested()) break;
    // Groups of hits agreeing on the data start, in the order of their first hit.
    std::unordered_map<std::uint64_t, std::size_t> groupOf;
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < hits_.size(); ++i) {
      DIR_CLUSTER_HIT& hit = hits_[i];
      const auto start = impliedDataStart(hit.sector, hit.firstCluster, c);
      hit.valid = true;
      hit.impossible = !start;
      hit.dataStart = start.value_or(0);
      // A hit that fits no data start belongs to no group.
      if (hit.impossible) continue;
      const auto [it, added] = groupOf.try_emplace(hit.dataStart, groups.size());
      if (added) groups.emplace_back();
      groups[it->second].push_back(i);
    }
    for (const std::vector<std::size_t>& group : groups) {
      if (group.size() < kMinGroup) continue;
      if (stopRequested()) break;
      m_pGroupTable.clear();
      m_pGroupTable.reserve(group.size());
      for (const std::size_t i : group) {
        hits_[i].valid = false;
        DIR_CLUSTER_HIT copy = hits_[i];
        copy.clusterVote = 0;
        m_pGroupTable.push_back(copy);
      }
      m_byClusterVote = EstimateClusterSize(std::min(group.size(), kMaxVotingHits));
      if (m_byClusterVote != 0) FindFatVolumesFromDirectories(m_nTotalSectors, counter, kindRebuilt());
    }
  }
  m_pGroupTable.clear();
}

std::uint8_t CThreadForSearchVolume::EstimateClusterSize(std::size_t count) {
  count = std::min(count, m_pGroupTable.size());
  std::array<std::uint32_t, 8> total{};
  std::vector<std::array<std::uint32_t, 8>> perHit(count);
  for (std::size_t i = 0; i < count; ++i) {
    const DIR_CLUSTER_HIT& a = m_pGroupTable[i];
    for (std::size_t j = i + 1; j < count; ++j) {
      const DIR_CLUSTER_HIT& b = m_pGroupTable[j];
      if (b.firstCluster <= a.firstCluster || b.sector <= a.sector) continue;
      const std::uint64_t q = (b.sector - a.sector) / (b.firstCluster - a.firstCluster);
      if (q == 0 || q > 128 || (q & (q - 1)) != 0) continue;
      const std::size_t k = std::size_t(std::countr_zero(q));
      ++total[k];
      ++perHit[i][k];
      ++perHit[j][k];
    }
  }
  for (std::size_t i = 0; i < count; ++i) m_pGroupTable[i].clusterVote = winner(perHit[i]);
  return winner(total);
}

std::optional<std::uint64_t> CThreadForSearchVolume::findFatBackward(std::uint64_t from, std::uint64_t limit) {
  if (limit == 0) return std::nullopt;
  const std::uint64_t lowest = from >= limit - 1 ? from - (limit - 1) : 0;
  if (from < fatSignaturesUpTo_ && !fatSignaturesCapped_) {
    // The deep pass saw every sector up to here: the nearest indexed one decides.
    auto it = std::upper_bound(fatSignatures_.begin(), fatSignatures_.end(), from);
    if (it == fatSignatures_.begin() || *std::prev(it) < lowest) return std::nullopt;
    return *std::prev(it);
  }
  std::vector<std::uint8_t> block(kBackwardBlock * kSector);
  for (std::uint64_t high = from;;) {
    const std::uint64_t low = high - lowest >= kBackwardBlock - 1 ? high - (kBackwardBlock - 1) : lowest;
    readSectors(block.data(), low, std::uint32_t(high - low + 1));
    for (std::uint64_t s = high + 1; s-- > low;)
      if (startsWithFatSignature(block.data() + (s - low) * kSector)) return s;
    if (low == lowest) return std::nullopt;
    high = low - 1;
  }
}

bool CThreadForSearchVolume::hasFatSignature(std::uint64_t sector) {
  if (sector < fatSignaturesUpTo_ && !fatSignaturesCapped_)
    return std::binary_search(fatSignatures_.begin(), fatSignatures_.end(), sector);
  return sectorStartsFat(sector);
}

bool CThreadForSearchVolume::rebuiltVolumeListed(std::uint8_t kind, std::uint64_t start, std::uint8_t code,
                                                 std::uint32_t fatSectors) {
  return anyListedAt(start, [&](const volume::DEVICE_ENTRY& e, const volume::VOLUME_RECORD& v) {
    return e.m_byKind == kind && v.m_byFileSystem == code && v.m_nFatSectors == fatSectors &&
           v.m_bySectorsPerCluster == m_byClusterVote;
  });
}

void CThreadForSearchVolume::FindFatVolumesFromDirectories(std::uint64_t totalSectors, std::uint32_t& counter,
                                                           std::uint8_t kind) {
  for (const START_CANDIDATE& candidate : rankDataStarts(m_pGroupTable)) {
    if (stopRequested()) return;
    const std::uint64_t d = candidate.dataStart;
    const std::uint64_t spc = candidate.sectorsPerCluster;
    // Directories whose data area and cluster size are those of a FAT volume already listed
    // (found by its boot sector, or rebuilt before) belong to it: the group adds nothing.
    if (fatDataAreaListed(d, std::uint32_t(spc))) return;
    ++counter;
    const std::optional<std::uint64_t> found = findFatInFrontOf(d, counter);
    FatLength fat = fatLengthInFront(d, found, [this](std::uint64_t sector) { return hasFatSignature(sector); });
    const std::optional<REBUILT_FAT> volume = shapeVolume(d, totalSectors, spc, m_byClusterVote, fat);
    if (!volume) continue;
    if (rebuiltVolumeListed(kind, volume->start, volume->fileSystem, volume->fatSectors)) return;

    std::vector<std::uint32_t> clusters;
    clusters.reserve(m_pGroupTable.size());
    for (const DIR_CLUSTER_HIT& hit : m_pGroupTable) clusters.push_back(hit.firstCluster);
    appendRebuiltFat(kind, *volume, clusters);
    if (fat.sectors == 1 || (fat.copies && fat.direct)) return;
    if (const auto again = withOneSectorFats(d, totalSectors)) appendRebuiltFat(kind, *again, clusters);
    return;
  }
}

std::optional<std::uint64_t> CThreadForSearchVolume::findFatInFrontOf(std::uint64_t dataStart, std::uint32_t counter) {
  progress_.showBar(kSearchBar, true);
  std::u16string label(kVerifyingVolumes);
  label += u' ';
  label += platform::widenLatin1(std::to_string(counter));
  label += u' ';
  progress_.SetStatusText(label);
  progress_.setRange(kSearchBar, 0, kFatSearchSectors);
  progress_.setStep(kSearchBar, 1);
  const std::optional<std::uint64_t> found =
      dataStart == 0 ? std::nullopt : findFatBackward(dataStart, kFatSearchSectors);
  progress_.setPos(kSearchBar, kFatSearchSectors);
  progress_.showBar(kSearchBar, false);
  progress_.SetStatusText(u"");
  progress_.SetStopEnabled(false);
  return found;
}

void CThreadForSearchVolume::appendRebuiltFat(std::uint8_t kind, const REBUILT_FAT& volume,
                                              const std::vector<std::uint32_t>& clusters) {
  volume::VOLUME_RECORD& record = appendVolume(kind);
  record.m_nStartSector = volume.start;
  record.m_nSectorCount = volume.sectors;
  record.m_nLastSector = volume.start + volume.sectors - 1;
  record.m_nReservedSectors = volume.reservedSectors;
  record.m_wRootDirSectors = volume.rootSectors;
  record.m_byFileSystem = volume.fileSystem;
  record.m_nFatSectors = volume.fatSectors;
  record.m_bySectorsPerCluster = m_byClusterVote;
  record.clusterArray = clusters;
  clampToDisk(record, false);
  record.m_szSizeText = ui::FormatVolumeSize(record.m_nSectorCount);
  record.m_szFileSystem = volume.fileSystem == volume::kFsFat32 ? u"FAT32" : u"FAT";
  reportVolume(true);
}

}  // namespace qelda::lost
