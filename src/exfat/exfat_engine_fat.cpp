// The FAT: loading and verifying it, its copy in "exFat.dat", and the cluster chains and
// lists read from that copy.
#include <algorithm>
#include <array>
#include <string>

#include "exfat/exfat_engine.h"
#include "fs/exfat_layout.h"
#include "platform/text.h"

namespace qelda::exfat {

namespace {

constexpr std::size_t kSectorBytes = fs::exfat::kSectorBytes;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;

// Sectors of the FAT that hold the entries of clusters 0 .. C+1: the part of the table the
// engine copies and verifies (the rest describes no cluster).
std::uint64_t fatSectorsInUse(const fs::exfat::ExFatBootParams& p) {
  const std::uint64_t bytes = (std::uint64_t(p.clusterCount) + 2) * 4;
  return std::min<std::uint64_t>(p.fatLength, (bytes + kSectorBytes - 1) / kSectorBytes);
}

}  // namespace

void CExFatEngine::LoadFat() {
  std::array<std::uint8_t, kSectorBytes> first{};
  const bool valid = readVolumeSectors(first.data(), kSectorBytes, m_nFatOffset) && first[0] == 0xF8 &&
                     first[1] == 0xFF && first[2] == 0xFF;
  app_.m_bSearchingCriticalInfo = 1;
  progress_.SetStopEnabled(false);
  if (valid) {
    const std::uint32_t errors = VerifyFat();
    if (errors > 0) {
      logItem(engine::texts::kFat1Verified);
      logItem(platform::widenLatin1(std::to_string(errors)) + u" " + std::u16string(engine::texts::kErrorFound));
    }
  }
  progress_.SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
  WriteFatWorkFile();
}

std::uint32_t CExFatEngine::VerifyFat() {
  // Entries 0 and 1 hold the media type and a fixed mark, not clusters: they are no error.
  // Any other entry is a next cluster (2 .. C+1) or a mark at the top of the range; only the
  // end-of-chain mark is taken as such, as the chains take it.
  const std::uint64_t sectors = fatSectorsInUse(params_);
  const std::uint64_t highest = std::uint64_t(m_nClusterCount) + 1;
  progress_.SetStatusText(std::u16string(engine::texts::kVerifyingFat) + u"1");
  progress_.setRange(kItemBar, 0, sectors);
  progress_.setStep(kItemBar, 1);
  // No larger than what is read: a small FAT is not read through a megabyte of zeroed memory.
  std::vector<std::uint8_t> block(std::size_t(std::min<std::uint64_t>(kBlockSectors, sectors)) * kSectorBytes);
  std::uint32_t errors = 0;
  for (std::uint64_t s = 0; s < sectors; s += kBlockSectors) {
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(kBlockSectors, sectors - s));
    std::uint64_t failed = 0;
    readVolumeSectors(block.data(), n * std::uint32_t(kSectorBytes), m_nFatOffset + s, &failed);
    errors += std::uint32_t(failed);
    const platform::ByteView view(block.data(), std::size_t(n) * kSectorBytes);
    const std::uint64_t firstEntry = s * (kSectorBytes / 4);
    for (std::size_t off = 0; off + 4 <= view.size(); off += 4) {
      if (firstEntry + off / 4 < 2) continue;
      const std::uint32_t value = *view.le32(off);
      if (value != kEndOfChain && value > highest) ++errors;
    }
    progress_.setPos(kItemBar, s + n);
  }
  return errors;
}

std::optional<std::uint32_t> CExFatEngine::fatEntry(std::uint32_t cluster) const {
  return chainSource().next(cluster);
}

std::vector<std::uint32_t> CExFatEngine::FollowClusterChain(std::uint32_t first, std::uint32_t& byteCount) {
  byteCount = 0;
  std::vector<std::uint32_t> chain;
  if (!isHeapCluster(first)) return chain;
  if (m_nLinkingMode == kLinkContiguous) {
    chain.push_back(first);
  } else {
    const std::uint64_t bits = std::uint64_t(m_nClusterCount) + 2;
    if (visited_.size() != bits) visited_.resize(bits);
    // Valid clusters are 2 .. C+1; a value outside (0, 1, the end mark, garbage) ends the
    // chain, and so does the first repeat. A cluster whose entry is not in the copy ends it
    // after that cluster.
    chain = engine::followChain(chainSource(), first, visited_);
  }
  byteCount = std::uint32_t(std::min<std::uint64_t>(UINT32_MAX, chain.size() * 4));
  return chain;
}

std::vector<std::uint32_t> CExFatEngine::GetClusterList(std::uint32_t& byteCount, std::uint32_t first,
                                                        std::uint64_t size, std::uint32_t bContiguous) {
  byteCount = 0;
  if (bContiguous == 0 && m_nLinkingMode != kLinkContiguous) return FollowClusterChain(first, byteCount);
  std::vector<std::uint32_t> list;
  if (size == 0 || m_nSectorsPerCluster == 0 || !isHeapCluster(first)) return list;
  const std::uint64_t sectors = size / kSectorBytes + (size % kSectorBytes != 0);
  const std::uint64_t wanted = sectors / m_nSectorsPerCluster + (sectors % m_nSectorsPerCluster != 0);
  // A size from disk may claim more than the heap holds after the first cluster.
  list = engine::followChain(heapRun(), first, wanted);
  byteCount = std::uint32_t(std::min<std::uint64_t>(UINT32_MAX, list.size() * 4));
  return list;
}

std::vector<std::uint32_t> CExFatEngine::itemClusters(const FOUND_ITEM& item) {
  const bool contiguous = (item.m_byFlags & (kItemDeleted | kItemBySignature)) != 0 ||
                          (item.m_byFlags & kItemCompressed) == 0;
  std::uint32_t byteCount = 0;
  std::vector<std::uint32_t> list = GetClusterList(byteCount, std::uint32_t(item.m_nRecordKey), item.m_nSize,
                                                   contiguous ? kLinkContiguous : m_nLinkingMode);
  // A chain runs on past the file's end when its last entry is damaged: the size decides.
  const std::uint64_t bytes = clusterBytes();
  if (bytes != 0) {
    const std::uint64_t needed = item.m_nSize / bytes + (item.m_nSize % bytes != 0);
    if (list.size() > needed) list.resize(std::size_t(needed));
  }
  return list;
}

std::optional<std::vector<std::uint32_t>> CExFatEngine::chainOfDeleted(const FOUND_ITEM& item,
                                                                      const engine::ClusterMap* map) {
  const std::uint64_t bytes = clusterBytes();
  if (!map || bytes == 0 || m_nLinkingMode == kLinkContiguous) return std::nullopt;
  const std::uint64_t needed = item.m_nSize / bytes + (item.m_nSize % bytes != 0);
  std::uint32_t byteCount = 0;
  std::vector<std::uint32_t> chain = FollowClusterChain(std::uint32_t(item.m_nRecordKey), byteCount);
  // The chain ends where the size does, or it is another file's by now.
  if (chain.size() != needed) return std::nullopt;
  for (const std::uint32_t c : chain)
    if (map->inUse(c)) return std::nullopt;
  return chain;
}

// --- "exFat.dat" ----------------------------------------------------------------------------------------

std::uint32_t CExFatEngine::WriteFatWorkFile() {
  m_nLinkingMode = kLinkChain;
  m_hFatFile.close();
  const std::uint64_t sectors = fatSectorsInUse(params_);
  if (!workFolder_.make(m_hFatFile, kFatWorkFile, sectors * kSectorBytes)) return 0;

  progress_.SetStatusText(engine::texts::kLoadingFat);
  progress_.setRange(kItemBar, 0, sectors);
  progress_.setStep(kItemBar, 1);
  app_.m_bSearchingCriticalInfo = 1;
  progress_.SetStopEnabled(false);
  log_.AddLogEntry(std::u16string(engine::texts::kLinkingMode), true);
  logItem(std::u16string(engine::texts::kLoadingFat) + u" " + platform::widenLatin1(std::to_string(m_nLinkingMode + 1)));
  logItem(engine::texts::kProcessStarted);

  // Straight into the table's mapping, a block at a time; an unreadable sector stays zero.
  const std::span<std::uint8_t> out = m_hFatFile.writable();
  for (std::uint64_t s = 0; s < sectors; s += kBlockSectors) {
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(kBlockSectors, sectors - s));
    readVolumeSectors(out.data() + s * kSectorBytes, n * std::uint32_t(kSectorBytes), m_nFatOffset + s);
    progress_.setPos(kItemBar, s + n);
  }
  m_hFatFile.seal();
  progress_.SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
  return 1;
}

}  // namespace qelda::exfat
