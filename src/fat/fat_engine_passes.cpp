// The tree driver of the advanced scan and of volumes the root leads nowhere: the sweep of
// the data area for directory clusters, the folders whose parent is unknown ("Lost
// folder(s)"), and the tree of a volume rebuilt from its listed directory clusters.
#include <algorithm>
#include <cstdio>
#include <string>

#include "engine/scan_state.h"
#include "fat/fat_engine.h"
#include "fat/fat_texts.h"
#include "fs/fat_dir_entry.h"
#include "fs/fat_layout.h"
#include "platform/text.h"

namespace qelda::fat {

using platform::ByteView;

namespace {

std::u16string numberText(std::uint64_t n) { return platform::fromUtf8(std::to_string(n)); }

// "Folder 1234"
std::u16string folderName(std::uint64_t cluster) { return std::u16string(text::kFolder) + u" " + numberText(cluster); }

// A folder named by its first cluster, eight digits.
std::u16string clusterName(std::uint64_t cluster) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(cluster));
  return platform::fromUtf8(digits);
}

}  // namespace

// --- shared pieces ------------------------------------------------------------------------------

void CFatEngine::listFolder(std::uint64_t key, std::uint32_t id, std::uint32_t flag) {
  listedFolders_.append(DirNode{nullptr, key, id, flag});
  listedIds_.emplace(key, id);  // the first folder listed under a key is the one found by it
}

void CFatEngine::clearListedFolders() {
  listedFolders_.clear();
  listedIds_.clear();
}

void CFatEngine::reportMadeUpFolder(std::uint64_t key, std::uint32_t id, std::uint32_t parentId,
                                    std::u16string_view name, bool deleted) {
  FOUND_ITEM record;
  record.m_byAttributes = dirent::kAttrDirectory;
  record.m_nRecordKey = key;
  record.m_nId = id;
  record.m_nParentId = parentId;
  if (deleted) record.m_byFlags |= kItemDeleted;
  reportItem(record, name, false);
}

std::uint32_t CFatEngine::lostFolderId() {
  if (!lostFolderReported_) {
    lostFolderReported_ = true;
    reportMadeUpFolder(kLostFolderId, kLostFolderId, 0, text::kLostFolders, false);
    listFolder(kLostFolderId, kLostFolderId);
  }
  return kLostFolderId;
}

bool CFatEngine::fatSaysFree(std::uint32_t cluster) const {
  const auto entry = fatEntry(cluster);
  return entry && *entry == 0;
}

std::uint32_t CFatEngine::clustersPerBlock() const {
  return m_nSectorsPerCluster == 0 ? 1 : std::max<std::uint32_t>(1, kSweepBlockSectors / m_nSectorsPerCluster);
}

void CFatEngine::readClusterBlock(ClusterBlock& block, std::uint32_t first) {
  const std::uint64_t bound = dataBound();
  block.first = first;
  block.count = first >= bound ? 0 : std::uint32_t(std::min<std::uint64_t>(clustersPerBlock(), bound - first));
  // Only what is read: a small volume is not swept through a megabyte of zeroed memory.
  block.bytes.resize(std::size_t(block.count) * bytesPerCluster());
  if (block.count == 0) return;
  // The buffer holds what was read: zeros where the volume could not be read.
  ReadClusterSectors(first, 0, block.bytes.data(), std::uint16_t(block.count * m_nSectorsPerCluster));
}

ByteView CFatEngine::heldCluster(ClusterBlock& block, std::uint32_t c) {
  if (c < block.first || c >= block.first + block.count) readClusterBlock(block, c);
  if (block.count == 0) {  // past the data area: nothing of the volume is there
    zeroCluster_.assign(bytesPerCluster(), 0);
    return ByteView(zeroCluster_);
  }
  return ByteView(block.bytes.data() + std::size_t(c - block.first) * bytesPerCluster(), bytesPerCluster());
}

bool CFatEngine::mayHoldEntries(std::uint32_t c) const {
  if (entryClusters_.empty()) return true;  // no sweep saw the clusters: they are read
  return c < entryClusters_.size() && entryClusters_[c];
}

void CFatEngine::placeRootChild(std::uint32_t cluster, bool deleted) {
  FOUND_ITEM record;
  record.m_byAttributes = dirent::kAttrDirectory;
  record.m_nRecordKey = cluster;
  record.m_nId = m_nNextItemId++;
  if (deleted) record.m_byFlags |= kItemDeleted;
  reportItem(record, clusterName(cluster), false);
  listFolder(cluster, record.m_nId);
  MarkItemClusters(cluster, &record, 0);
  FatWalkDirectory(record.m_nId, cluster, deleted ? 1 : 0, 0);
}

// --- the tree driver ------------------------------------------------------------------------------

void CFatEngine::FatBuildTree() {
  logStarted(engine::texts::kCreatingDirectoryTree);
  FatBuildClusterMap();
  if (isRebuiltVolume()) FatBuildTreeFromDirList();
  else FatRunTreePasses();
  logFinished();
}

void CFatEngine::FatRunTreePasses() {
  app_.m_bTreeBuilding = 1;
  if (m_nLinkingMode != kLinkContiguous && m_bAdvanced) FatWalkAdvancedRoot();
  FatSearchDirClusters();
  runFolderPasses();
  finishTree();
}

void CFatEngine::runFolderPasses() {
  if (stopRequested()) return;
  FatAddDeletedEntries(0);
  if (stopRequested()) return;
  pendingDirs_.clear();
  FatAddLostFolders();
  FatAddDeletedEntries(0);
}

void CFatEngine::finishTree() {
  pendingDirs_.clear();
  orphanDirs_.clear();
  if (m_nFoundCount != 0 && !stopRequested()) {
    AddRootAndBrokenEntries();
    if (m_pConsole) m_pConsole->ApplyQueuedRenames();
  }
}

void CFatEngine::FatWalkAdvancedRoot() {
  logStarted(engine::texts::kCreatingDirectoryTree);
  walkRoot();
  if (m_bDeleted) {
    if (!stopRequested()) AddDeletedDirectories();
  } else if (m_nFoundCount == 0 && pendingDirs_.empty() && !isAdvancedScanKind(app_.m_nScanKind)) {
    notifier_.Show(text::kLongWait, kBitmapNotice, kButtonsOk);
  } else if (!stopRequested()) {
    FatAddDeletedEntries(1);
  }
  pendingDirs_.clear();
  logFinished();
  if (m_pConsole) m_pConsole->CollapseRootChildren();
}

// --- the sweep of the data area -------------------------------------------------------------------

void CFatEngine::FatSearchDirClusters() {
  const std::uint64_t bound = dataBound();
  if (bound <= 2) return;
  if (m_nLinkingMode == kLinkContiguous) {
    m_nTotalSize = 0;
    m_nFileCount = 0;
    m_nFolderCount = 0;
    m_nFoundCount = 0;
    m_nNextItemId = 2;
  }
  const std::uint32_t perBlock = clustersPerBlock();
  if (m_pScanDlg) {
    m_pScanDlg->setRange(kItemBar, 0, (bound - 2) / perBlock);
    m_pScanDlg->setStep(kItemBar, 1);
  }
  const std::uint64_t dataSectors = dataSectorCount();
  entryClusters_.assign(bound, false);
  ClusterBlock block;
  bool swept = true;
  for (std::uint64_t c = 2; c < bound; c += perBlock) {
    if (stopRequested()) {
      swept = false;
      break;
    }
    if (m_pScanDlg) {
      m_pScanDlg->SetStatusText(std::u16string(text::kReadingCluster) + numberText(c) + u" " +
                                std::u16string(text::kOf) + u" " + numberText(bound - 1));
      reporter().showFoundCount(m_nFoundCount);
    }
    if (m_pConsole) m_pConsole->UpdateStatusCounts();
    readClusterBlock(block, std::uint32_t(c));
    for (std::uint32_t k = block.first; k < block.first + block.count; ++k) {
      const ByteView cluster(block.bytes.data() + std::size_t(k - block.first) * bytesPerCluster(), bytesPerCluster());
      entryClusters_[k] = mayHoldDirectoryEntries(cluster, m_nMaxCluster, dataSectors);
      // A directory's first cluster: "." naming the cluster itself, then "..".
      if (!startsDirectoryCluster(cluster) || dotEntryCluster(cluster, m_nFatType) != k) continue;
      const std::uint32_t parent = dotEntryCluster(*cluster.sub(dirent::kSize, dirent::kSize), m_nFatType);
      if (FatIsListedFolder(k) || FatIsPendingDir(k) || orphanDirs_.contains(k)) continue;
      if (parent != 0) orphanDirs_.append(DirNode{nullptr, k, parent, 0});
      else placeRootChild(k, fatSaysFree(k));
    }
    if (m_pScanDlg) m_pScanDlg->stepIt(kItemBar);
  }
  if (!swept) entryClusters_.clear();
}

// --- folders whose parent is unknown --------------------------------------------------------------

void CFatEngine::placeOrphan(std::uint32_t cluster, std::uint32_t parentCluster, bool underLostFolder) {
  std::uint32_t parentId;
  if (underLostFolder) {
    parentId = lostFolderId();
  } else if (const auto listed = listedIds_.find(parentCluster); listed != listedIds_.end()) {
    parentId = listed->second;
  } else {
    // One made-up folder per unknown parent, so that its children end up together.
    const std::uint32_t lost = lostFolderId();
    parentId = m_nNextItemId++;
    reportMadeUpFolder(parentCluster, parentId, lost, folderName(parentCluster), false);
    listFolder(parentCluster, parentId);
  }
  const bool deleted = m_nLinkingMode == kLinkContiguous || fatSaysFree(cluster);
  FOUND_ITEM record;
  record.m_byAttributes = dirent::kAttrDirectory;
  record.m_nRecordKey = cluster;
  record.m_nId = m_nNextItemId++;
  record.m_nParentId = parentId;
  if (deleted) record.m_byFlags |= kItemDeleted;
  reportItem(record, folderName(cluster), false);
  listFolder(cluster, record.m_nId);
  MarkItemClusters(cluster, &record, 0);
  FatWalkDirectory(record.m_nId, cluster, deleted ? 1 : 0, 0);
}

void CFatEngine::FatAddLostFolders() {
  m_bLostPass = 1;
  logItem(text::kAddingLost);
  for (DirNode* node = m_pOrphanDirs; node && !stopRequested(); node = decltype(orphanDirs_)::nextLive(node)) {
    // A directory whose parent is itself lost is met by its parent's walk.
    if (orphanDirs_.contains(node->value) || FatIsListedFolder(node->key)) continue;
    placeOrphan(std::uint32_t(node->key), node->value, false);
  }
  // Directories still not placed: their parent's walk did not meet them (its entry for them
  // is gone), or their parents lead round in a circle. Each goes under its parent when that
  // is now known; where none is, the first of them goes under "Lost folder(s)", and the rest
  // are tried again.
  while (!stopRequested()) {
    bool placed = false;
    DirNode* waiting = nullptr;
    for (DirNode* node = m_pOrphanDirs; node && !stopRequested(); node = decltype(orphanDirs_)::nextLive(node)) {
      if (FatIsListedFolder(node->key)) continue;
      if (node->value == node->key) {  // a directory that names itself its parent
        placeOrphan(std::uint32_t(node->key), node->value, true);
        placed = true;
        continue;
      }
      if (!FatIsListedFolder(node->value) && orphanDirs_.contains(node->value)) {
        if (!waiting) waiting = node;
        continue;
      }
      placeOrphan(std::uint32_t(node->key), node->value, false);
      placed = true;
    }
    if (placed) continue;
    if (!waiting) break;
    placeOrphan(std::uint32_t(waiting->key), waiting->value, true);
  }
  m_bLostPass = 0;
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

// --- a volume rebuilt from its directory clusters ---------------------------------------------------

void CFatEngine::FatBuildTreeFromDirList() {
  std::array<std::uint8_t, kSectorBytes> sector{};
  for (const std::uint32_t c : rebuilt_.clusterArray) {
    if (stopRequested()) break;
    if (m_pScanDlg) m_pScanDlg->stepIt(kItemBar);
    readFirstSector(c, sector.data());
    const ByteView first(sector);
    if (!startsDirectoryCluster(first) || dotEntryCluster(first, m_nFatType) != c) continue;
    const std::uint32_t parent = dotEntryCluster(*first.sub(dirent::kSize, dirent::kSize), m_nFatType);
    if (FatIsListedFolder(c) || FatIsPendingDir(c) || orphanDirs_.contains(c)) continue;
    if (parent != 0) orphanDirs_.append(DirNode{nullptr, c, parent, 0});
    else placeRootChild(c, fatSaysFree(c));
  }
  if (m_nFoundCount != 0 || !orphanDirs_.empty()) runFolderPasses();
  finishTree();
}

}  // namespace qelda::fat
