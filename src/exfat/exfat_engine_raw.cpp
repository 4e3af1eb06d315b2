// The raw scan: files found by their signatures in the free clusters of the heap, each
// reported under a folder named after its type.
#include <algorithm>
#include <string>
#include <thread>

#include "carve/finder_names.h"
#include "exfat/exfat_engine.h"
#include "fs/exfat_layout.h"
#include "platform/text.h"

namespace qelda::exfat {

namespace {

// The item bar's range of a raw scan.
constexpr std::uint64_t kRawItemRange = 10000;

}  // namespace

std::uint64_t CExFatEngine::absoluteSectorOf(std::uint64_t cluster) const {
  // As the finders count sectors: the partition start added, whatever reader serves them.
  return m_nPartitionStart + params_.clusterHeapOffset + (cluster - 2) * m_nSectorsPerCluster;
}

std::optional<carve::RawUnit> CExFatEngine::FreeClusterRule::nextUnit(std::uint64_t unit) const {
  // The next free cluster; the heap ends at C+1.
  const std::uint64_t last = std::uint64_t(engine_.m_nClusterCount) + 1;
  for (std::uint64_t c = std::max<std::uint64_t>(unit + 1, 2); c <= last; ++c)
    if (!engine_.clusterMapByte(std::uint32_t(c))) return carve::RawUnit{c, engine_.absoluteSectorOf(c)};
  return std::nullopt;
}

engine::ScanOutcome CExFatEngine::ScanRaw() {
  resetScan();
  // Only a volume the source list knows as exFAT.
  if (fileSystemText_ != u"exFAT") return scanOutcome();
  // No message: a raw scan of a volume without a usable boot sector finds nothing.
  if (!bootSectorTest(false)) return scanOutcome();
  LoadFat();
  BuildClusterMap();
  SearchClustersForKnownTypes();
  return scanOutcome();
}

void CExFatEngine::SearchClustersForKnownTypes() {
  if (m_nVolumeLength < std::uint64_t(m_nFatOffset) + m_nFatLength || m_nSectorsPerCluster == 0) return;
  m_nTotalSize = 0;
  m_nFoundCount = 0;
  m_nFolderCount = 0;
  m_nFileCount = 0;
  startItemIds(2);
  rawFolders_.clear();
  m_bClusterSearch = 1;
  const std::uint32_t perBlock = clustersPerBlock();
  reporter().showFoundCount(0);
  progress_.setPos(kItemBar, 0);
  blockBar_.start(m_nClusterCount / perBlock);

  // The finders read through the engine's one reader, and never past the heap.
  const FreeClusterRule rule(*this);
  const engine::SectorReader reader = [this](std::uint64_t absolute, std::uint8_t* buffer, std::uint32_t sectors) {
    if (absolute < m_nPartitionStart) {
      std::fill(buffer, buffer + std::size_t(sectors) * 512, std::uint8_t{0});
      return false;
    }
    return readVolumeSectors(buffer, sectors * 512, absolute - m_nPartitionStart);
  };
  carve::RAW_READ_CONTEXT context;
  context.reader = reader;
  context.sourceFirstSector = absoluteSectorOf(2);
  context.sourceEndSector = absoluteSectorOf(std::uint64_t(m_nClusterCount) + 2);
  context.unitRule = &rule;
  context.selectedHeaders = app_.m_pSelectedHeaders;
  context.stop = &app_.m_bStopRequested;

  // Clusters 2 and 3 hold the bitmap and the up-case table; the search starts at 4.
  carve::RawSweep sweep;
  sweep.firstUnit = 4;
  sweep.endUnit = std::uint64_t(m_nClusterCount) + 2;
  sweep.sectorsPerUnit = m_nSectorsPerCluster;
  sweep.unitsPerBlock = perBlock;
  sweep.firstSectorOf = [this](std::uint64_t c) { return absoluteSectorOf(c); };
  sweep.isCandidate = [this](std::uint64_t c) { return clusterMapByte(std::uint32_t(c)) == 0; };
  sweep.onBlock = [&](std::uint64_t c) {
    blockBar_.step();
    showReadingCluster(std::uint32_t(c));
  };
  sweep.report = [this](carve::RawHit&& hit) {
    AddRawFoundFile(hit.match.name.empty() ? nullptr : &hit.match.name, hit);
  };
  sweep.threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  carve::sweepForKnownTypes(context, sweep);
}

void CExFatEngine::AddRawFoundFile(const std::u16string* name, const carve::RawHit& hit) {
  const engine::RawDataFolders::Placement folder = rawFolders_.place(hit.match.typeText, [this] { return takeItemId(); });
  if (folder.opened) {
    FOUND_ITEM item;
    item.m_byAttributes = kItemFolder;
    item.m_nRecordKey = folder.folderId;
    item.m_nId = folder.folderId;
    item.m_byFlags = kItemBySignature;
    std::uint64_t notCounted = 0;
    reporter().report(item, folder.folderName, {m_nFoundCount, m_nFolderCount, m_nFileCount, notCounted},
                      kRawItemRange);
  }
  FOUND_ITEM file;
  file.m_byAttributes = kItemFile;
  file.m_byFlags = kItemBySignature;
  file.m_nSize = hit.match.size;  // all 64 bits of it
  file.m_nRecordKey = hit.unit;
  file.m_nParentId = folder.folderId;
  file.m_nId = takeItemId();
  const std::u16string stem = rawFolders_.fileStem(hit.unit, name ? std::u16string_view(*name) : std::u16string_view());
  reporter().report(file, carve::rawFileName(stem, folder.typeText), {m_nFoundCount, m_nFolderCount, m_nFileCount, m_nTotalSize},
                    kRawItemRange);
}

}  // namespace qelda::exfat
