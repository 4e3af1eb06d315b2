// The cluster map "ClusterMap.dat": one byte per heap cluster, non-zero when the allocation
// bitmap says the cluster is in use or a scan has marked it as found.
#include <algorithm>
#include <cstring>

#include "exfat/exfat_engine.h"
#include "fs/exfat_layout.h"

namespace qelda::exfat {

namespace {

constexpr std::size_t kSectorBytes = fs::exfat::kSectorBytes;
// The map file grows in blocks of this many bytes (the last one padded with zeros).
constexpr std::uint64_t kMapBlock = 4096;

}  // namespace

std::uint32_t CExFatEngine::BuildClusterMap() {
  m_hClusterMapFile.close();
  m_nClusterMapLength = 0;
  const std::uint64_t clusters = m_nClusterCount;
  const std::uint64_t fileBytes = (clusters + kMapBlock - 1) / kMapBlock * kMapBlock;
  if (!workFolder_.make(m_hClusterMapFile, kClusterMapWorkFile, fileBytes)) return 0;
  reporter().logStart(engine::texts::kCreatingFreeList);
  progress_.SetStatusText(engine::texts::kSearchingCritical);
  progress_.SetStopEnabled(false);
  progress_.setPos(kItemBar, 0);
  app_.m_bSearchingCriticalInfo = 1;

  const std::span<std::uint8_t> map = m_hClusterMapFile.writable();
  readAllocationBitmap([&](std::uint64_t k, bool inUse) { map[std::size_t(k)] = inUse ? 1 : 0; },
                       [&](std::uint64_t bitmapClusters) {
                         progress_.setRange(kItemBar, 0, bitmapClusters * m_nSectorsPerCluster);
                         progress_.setStep(kItemBar, 1);
                       },
                       [&](std::uint64_t done) { progress_.setPos(kItemBar, done * m_nSectorsPerCluster); });
  m_nClusterMapLength = m_nClusterCount;

  reporter().logEnd(false);
  progress_.SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
  return 1;
}

std::vector<std::uint32_t> CExFatEngine::allocationBitmapClusters() {
  // The bitmap: where the root's bitmap entry says, when it has a plausible one; else from
  // cluster 2, where formatters put it. Its chain is followed as far as the bitmap reaches;
  // a chain cut short (a FAT left unwritten) gives way to the bitmap's clusters in a row.
  std::uint32_t bitmapFirst = m_nBitmapCluster;
  {
    const std::vector<std::uint8_t> root =
        readClusters(directoryClusters(fs::exfat::rootWalkCluster(params_), 0, DirRead::Chain), false);
    const fs::exfat::ExFatRootEntries entries = fs::exfat::findRootEntries(platform::ByteView(root));
    if (entries.bitmap && fs::exfat::bitmapEntryIsPlausible(*entries.bitmap, params_))
      m_nBitmapCluster = bitmapFirst = entries.bitmap->firstCluster;
  }
  const std::uint64_t bitmapBytes = (std::uint64_t(m_nClusterCount) + 7) / 8;
  const std::uint64_t needed = (bitmapBytes + clusterBytes() - 1) / clusterBytes();
  std::uint32_t byteCount = 0;
  std::vector<std::uint32_t> bitmapClusters = FollowClusterChain(bitmapFirst, byteCount);
  if (bitmapClusters.size() < needed) {
    bitmapClusters.clear();
    for (std::uint64_t c = bitmapFirst; bitmapClusters.size() < needed && isHeapCluster(c); ++c)
      bitmapClusters.push_back(std::uint32_t(c));
  }
  if (bitmapClusters.size() > needed) bitmapClusters.resize(std::size_t(needed));
  return bitmapClusters;
}

bool CExFatEngine::readAllocationBitmap(const std::function<void(std::uint64_t, bool)>& take,
                                        const std::function<void(std::uint64_t)>& start,
                                        const std::function<void(std::uint64_t)>& step) {
  const std::uint64_t clusters = m_nClusterCount;
  const std::uint64_t bytesPerCluster = clusterBytes();
  const std::vector<std::uint32_t> bitmapClusters = allocationBitmapClusters();
  if (start) start(bitmapClusters.size());
  // Each bitmap byte holds 8 clusters, the least significant bit first.
  std::uint64_t k = 0;     // cluster k + 2
  std::uint64_t done = 0;  // bitmap clusters taken
  ExFatClusterReader reader{*this};
  const engine::StreamResult read = engine::streamClusters(
      reader, engine::ClusterList(bitmapClusters), bitmapClusters.size() * bytesPerCluster,
      [&](std::span<const std::uint8_t> block) {
        for (std::size_t b = 0; b < block.size() && k < clusters; ++b)
          for (unsigned bit = 0; bit < 8 && k < clusters; ++bit, ++k) take(k, ((block[b] >> bit) & 1) != 0);
        done += block.size() / bytesPerCluster;
        if (step) step(done);
        return k < clusters;
      });
  return read.clustersFailed == 0 && k == clusters;
}

std::shared_ptr<const engine::ClusterMap> CExFatEngine::allocationMap() {
  if (m_nClusterCount == 0 || clusterBytes() == 0) return nullptr;
  auto map = std::make_shared<engine::ClusterMap>(2, m_nClusterCount);
  // A bitmap not read whole says nothing of whose the clusters are.
  if (!readAllocationBitmap([&](std::uint64_t k, bool inUse) {
        if (inUse) map->markInUse(k + 2);
      }))
    return nullptr;
  map->place(absoluteSectorOf(2), m_nSectorsPerCluster, m_nPartitionStart);
  return map;
}

std::shared_ptr<const engine::ClusterMap> CExFatEngine::loadAllocationMap() {
  if (m_hFatFile.bytes().empty() && LoadBootSectorAndFat() == 0) return nullptr;
  return allocationMap();
}

std::uint8_t CExFatEngine::clusterMapByte(std::uint32_t cluster) const {
  const std::span<const std::uint8_t> map = m_hClusterMapFile.bytes();
  if (!isHeapCluster(cluster) || cluster - 2 >= m_nClusterMapLength || cluster - 2 >= map.size()) return 0;
  return map[cluster - 2];
}

void CExFatEngine::MarkClusterMap(const FOUND_ITEM& item, std::uint32_t firstCluster) {
  // Marks reach the map, so the search of free clusters that follows passes over what the
  // scan has already found. Cluster 4 stands in for a damaged root and is left as it is.
  const std::span<std::uint8_t> map = m_hClusterMapFile.writable();
  const std::uint64_t length = std::min<std::uint64_t>(m_nClusterMapLength, map.size());
  if (firstCluster == 4 || map.empty() || !isHeapCluster(firstCluster) || firstCluster - 2 >= length) return;
  const std::uint64_t sectors = item.m_nSize / kSectorBytes + (item.m_nSize % kSectorBytes != 0);
  const std::uint64_t spc = std::max<std::uint32_t>(1, m_nSectorsPerCluster);
  const std::uint64_t n = std::max<std::uint64_t>(1, sectors / spc + (sectors % spc != 0));
  if (item.m_byFlags & kItemCompressed) {
    // Its data follows the FAT: the chain's clusters, as many as the size needs.
    std::uint32_t byteCount = 0;
    std::vector<std::uint32_t> chain = FollowClusterChain(firstCluster, byteCount);
    if (chain.size() > n) chain.resize(std::size_t(n));
    for (const std::uint32_t c : chain)
      if (c - 2 < length) map[c - 2] = 1;
    return;
  }
  // Contiguous data: the run from the first cluster, no further than the map.
  const std::uint64_t run = std::min<std::uint64_t>(n, length - (firstCluster - 2));
  std::memset(map.data() + (firstCluster - 2), 1, std::size_t(run));
}

}  // namespace qelda::exfat
