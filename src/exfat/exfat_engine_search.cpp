// Searching the cluster heap for directory clusters by their shape, and reporting the ones
// no walk has reached as lost folders under "Lost folder(s)".
#include <algorithm>
#include <string>

#include "exfat/exfat_engine.h"
#include "exfat/exfat_texts.h"
#include "platform/text.h"

namespace qelda::exfat {

using platform::ByteView;

namespace {

platform::NullScanProgress g_noProgress;
// The made-up folder the lost folders hang under: its id, and its record key.
constexpr std::uint32_t kLostFoldersId = 1;

std::u16string decimal(std::uint64_t n) { return platform::widenLatin1(std::to_string(n)); }

}  // namespace

void CExFatEngine::BuildTreeFromClusterSearch() {
  reporter().logStart(engine::texts::kCreatingDirectoryTree);
  BuildClusterMap();
  FindDirectoryClusters();
  reporter().logEnd(stopRequested());
  collapseRoot();
}

void CExFatEngine::showReadingCluster(std::uint32_t cluster) {
  if (m_pScanDlg)
    m_pScanDlg->SetStatusText(std::u16string(text::kReadingCluster) + decimal(cluster) + u" " +
                              std::u16string(text::kOf) + u" " + decimal(m_nClusterCount));
  if (m_pConsole) m_pConsole->UpdateStatusCounts();
}

void CExFatEngine::searchBlocks(std::uint32_t firstCluster, bool freeOnly) {
  platform::IScanProgress& bar = m_pScanDlg ? *m_pScanDlg : g_noProgress;
  const std::uint32_t perBlock = clustersPerBlock();
  const std::uint64_t bytes = clusterBytes();
  // At least one cluster, and no more than the heap holds.
  std::vector<std::uint8_t> block(std::size_t(std::min<std::uint64_t>(perBlock, std::uint64_t(m_nClusterCount) + 2)) * bytes);
  // Valid clusters run to C+1; the last block is cut there.
  const std::uint64_t last = std::uint64_t(m_nClusterCount) + 1;
  for (std::uint64_t c = firstCluster; c <= last && !stopRequested();) {
    if (freeOnly && clusterMapByte(std::uint32_t(c))) {
      bar.stepIt(kBlockBar);  // allocated clusters are passed one by one, unread
      ++c;
      continue;
    }
    if (!freeOnly) bar.stepIt(kBlockBar);
    showReadingCluster(std::uint32_t(c));
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(perBlock, last - c + 1));
    ReadClusterSectors(n * m_nSectorsPerCluster, std::uint32_t(c), 0, block.data());
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t cluster = std::uint32_t(c + i);
      if (freeOnly) {
        bar.stepIt(kBlockBar);
        if (clusterMapByte(cluster)) continue;
      }
      if (!fs::exfat::IsDirectoryCluster(ByteView(block.data() + i * bytes, std::size_t(bytes)))) continue;
      EXFAT_DELETED_DIR_NODE node;
      node.key = cluster;
      node.id = takeItemId();
      deletedFolders_.append(node);
    }
    c += n;
  }
}

void CExFatEngine::FindDirectoryClusters() {
  app_.m_bTreeBuilding = 1;
  m_nTotalSize = 0;
  m_nFoundCount = 0;
  m_nFolderCount = 0;
  m_nFileCount = 0;
  startItemIds(2);
  platform::IScanProgress& bar = m_pScanDlg ? *m_pScanDlg : g_noProgress;
  bar.showBar(kBlockBar, true);
  bar.setRange(kBlockBar, 0, m_nClusterCount / clustersPerBlock());
  bar.setStep(kBlockBar, 1);
  searchBlocks(2, false);
  AddLostFolders(1);
  clearWalkState();
}

void CExFatEngine::WalkRootForDeletedSearch() {
  reporter().logStart(engine::texts::kCreatingDirectoryTree);
  WalkRootDirectory(fs::exfat::rootWalkCluster(params_));
  if (!stopRequested()) WalkDeletedFolders();
  clearWalkState();
}

void CExFatEngine::SearchDirectoryClusters() {
  resetScan();
  m_bDeleted = 1;
  m_bAdvanced = 1;
  if (!LoadBootSectorAndFat()) return;
  BuildClusterMap();
  WalkRootForDeletedSearch();
  // Ids of the found clusters follow those the root walk gave, whatever their number.
  startItemIds(m_nClusterCount == UINT32_MAX ? UINT32_MAX : m_nClusterCount + 1);
  platform::IScanProgress& bar = m_pScanDlg ? *m_pScanDlg : g_noProgress;
  bar.setPos(kBlockBar, 0);
  bar.showBar(kBlockBar, true);
  bar.setRange(kBlockBar, 0, m_nClusterCount);
  bar.setStep(kBlockBar, 1);
  searchBlocks(5, true);
  if (!stopRequested()) AddLostFolders(0);
  clearWalkState();
  reporter().logEnd(stopRequested());
  collapseRoot();
}

void CExFatEngine::AddLostFolders(std::uint32_t bAsFound) {
  logItem(text::kAddingLost);
  bool lostFolderShown = false;
  // Walks remove the clusters they reach from this chain while it is walked; removed nodes
  // stay linked to what follows them.
  for (EXFAT_DELETED_DIR_NODE* n = m_pDeletedFolders; n && !stopRequested();
       n = engine::IndexedChain<EXFAT_DELETED_DIR_NODE>::nextLive(n)) {
    if (n->removed || IsListedFolder(n->key)) continue;
    if (!lostFolderShown) {
      FOUND_ITEM lost;
      lost.m_nId = kLostFoldersId;
      lost.m_nRecordKey = kLostFoldersId;
      lost.m_byAttributes = kItemFolder;
      reportItem(lost, text::kLostFolders, false);
      listedFolders_.append({nullptr, kLostFoldersId, kLostFoldersId});
      lostFolderShown = true;
    }
    const std::uint32_t cluster = std::uint32_t(n->key);
    FOUND_ITEM folder;
    folder.m_nId = n->id;
    folder.m_nParentId = kLostFoldersId;
    folder.m_nRecordKey = cluster;
    folder.m_byAttributes = kItemFolder;
    reportItem(folder, std::u16string(text::kFolder) + u" " + decimal(cluster), false);
    listedFolders_.append({nullptr, cluster, n->id});
    if (m_bAdvanced) MarkClusterMap(folder, cluster);
    WalkLostFolder(n->id, cluster, bAsFound ? 0 : 1);
  }
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

void CExFatEngine::WalkLostFolder(std::uint32_t parentId, std::uint32_t cluster, std::uint32_t bDeleted) {
  // A found cluster's length is unknown: as found, its chain; in free space, itself alone.
  if (pushWalk(WalkRules::Lost, parentId, cluster, 0, bDeleted ? DirRead::Single : DirRead::Chain, bDeleted != 0,
               false))
    runWalks();
}

void CExFatEngine::handleLostSet(std::size_t frame, const fs::exfat::ExFatEntrySet& s) {
  if (!fs::exfat::entrySetFitsVolume(s, params_)) return;
  const WalkFrame& f = walkStack_[frame];
  const bool deleted = s.deleted || f.insideDeleted;
  FOUND_ITEM item = itemFromSet(s, f.id, deleted);
  item.m_nId = takeItemId();
  if (!s.isFolder()) {
    reportItem(item, s.name, true);
    return;
  }
  const std::uint32_t first = s.firstCluster;
  const bool inHeap = isHeapCluster(first);
  const bool walk = inHeap && !IsListedFolder(first);
  if (walk) listedFolders_.append({nullptr, first, item.m_nId});
  if (inHeap) RemoveDeletedFolder(first);
  reportItem(item, s.name, false);
  // Subfolders keep the deleted state of what holds them, and are read as the tree walk
  // reads folders: by their chain unless contiguous or deleted.
  if (walk) {
    const DirRead how = !deleted && s.followsChain() ? DirRead::Chain : DirRead::Contiguous;
    pushWalk(WalkRules::Lost, item.m_nId, first, s.directoryLength(), how, deleted, false);
  }
}

}  // namespace qelda::exfat
