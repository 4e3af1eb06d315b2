// Working out a FAT volume's geometry from its data when no boot sector describes it:
// sectors that start a directory (a "." entry, then a ".." entry) vote for the cluster size
// and for where the data area begins, and the FAT signatures near the volume start settle
// the FAT type, the reserved sectors and the size of a FAT. Pure: the only thing read from
// the volume, whether a sector starts with a FAT signature, comes through a callback.
// The lost-volume search counts the same votes over whole disks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/byte_view.h"

namespace qelda::fs::fat {

// A sector that starts a directory cluster: where it lies (from the volume start) and the
// cluster its "." entry names.
struct DirFind {
  std::uint64_t sector = 0;
  std::uint32_t cluster = 0;
  std::uint8_t sectorsPerCluster = 0;  // this find's own estimate (estimateClusterSize fills it)
};

// At most this many finds are collected.
inline constexpr std::size_t kMaxDirFinds = 50;

// The sector begins with the 8-byte names ".       " and, in its second entry, "..      ".
bool startsDirectoryCluster(platform::ByteView sector);
// The first cluster a "." or ".." entry names; on FAT12 and FAT16 the high word is no part of
// it (that field holds other things there).
std::uint32_t dotEntryCluster(platform::ByteView entry, std::uint8_t fatType);

// The cluster size most pairs of finds agree on: for finds i < j whose clusters and sectors
// both grow, (sector difference) / (cluster difference) votes when it is 1, 2, 4, ... 128;
// the most votes win, the smaller size on a tie; 0 without votes. Each find gets the size
// its own pairs voted for most (the smaller on a tie; 0 when none).
std::uint8_t estimateClusterSize(std::vector<DirFind>& finds);

struct StartCandidate {
  std::uint64_t dataStart = 0;  // sectors from the volume start to cluster 2
  std::uint32_t votes = 0;
  std::uint32_t sectorsPerCluster = 0;
};

// Adds a vote for (dataStart, sectorsPerCluster), appending the candidate when it is new.
void countStartCandidate(std::vector<StartCandidate>& table, std::uint64_t dataStart, std::uint32_t sectorsPerCluster);
// Most votes first; equal votes by sectors per cluster, the larger first; otherwise in the
// order they were counted.
void sortStartCandidates(std::vector<StartCandidate>& table);

// Each find's data start under its own cluster size (estimateClusterSize fills the sizes),
// counted and sorted as sortStartCandidates sorts. Finds without a size of their own, and
// data starts no volume has, count for none.
std::vector<StartCandidate> rankDataStarts(std::vector<DirFind>& finds);
// Whether the find lies where a volume whose data area starts at dataStart, in clusters of
// sectorsPerCluster, puts the cluster its "." entry names (never with 0 sectors per cluster).
bool findPlacedBy(const DirFind& find, std::uint64_t dataStart, std::uint32_t sectorsPerCluster);
// How many finds lie so.
std::size_t findsPlacedBy(const std::vector<DirFind>& finds, std::uint64_t dataStart, std::uint32_t sectorsPerCluster);

struct RebuiltGeometry {
  std::uint8_t fatType = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t rootDirSectors = 0;
  std::uint32_t sectorsPerFat = 0;
  std::uint64_t totalSectors = 0;  // the volume's sectors, or the FAT's capacity when they were unknown
};

// Whether the volume sector at that number starts with a FAT signature (F8 FF FF).
using SignatureProbe = std::function<bool(std::uint64_t sector)>;

// The majority rebuild over the finds (whose estimates it fills): each find votes for a data
// start, and the leading candidates are tried, most votes first, against the FAT signatures.
// Nothing when no candidate is accepted.
std::optional<RebuiltGeometry> rebuildGeometry(std::vector<DirFind>& finds, std::uint64_t totalSectors,
                                               const SignatureProbe& signatureAt);

}  // namespace qelda::fs::fat
