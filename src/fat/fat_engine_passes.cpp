// The tree driver of the advanced scan and of volumes the root leads nowhere: the sweep of
// the data area for directory clusters, the folders whose parent is unknown ("Lost
// folder(s)"), and the tree of a volume rebuilt from its listed directory clusters.
#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/read_ahead.h"
#include "engine/scan_state.h"
#include "fat/fat_engine.h"
#include "fat/fat_texts.h"
#include "fs/fat_dir_entry.h"
#include "fs/fat_layout.h"
#include "platform/text.h"

namespace qelda::fat {

namespace dirent = fs::fat::dirent;

using platform::ByteView;

namespace {

std::u16string numberText(std::uint64_t n) { return platform::fromUtf8(std::to_string(n)); }

// "Folder 1234"
std::u16string folderName(std::uint64_t cluster) { return std::u16string(engine::texts::kFolder) + u" " + numberText(cluster); }

// A folder named by its first cluster, eight digits.
std::u16string clusterName(std::uint64_t cluster) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(cluster));
  return platform::fromUtf8(digits);
}

}  // namespace

// --- shared pieces ------------------------------------------------------------------------------

void CFatEngine::listFolder(std::uint64_t key, std::uint32_t id, std::uint32_t flag, std::uint32_t depth) {
  listedFolders_.append(DirNode{nullptr, key, id, flag});
  listedIds_.emplace(key, id);  // the first folder listed under a key is the one found by it
  if (depth != 0) listedDepths_.emplace(key, depth);
}

std::uint32_t CFatEngine::listedDepth(std::uint64_t key) const {
  const auto found = listedDepths_.find(key);
  return found == listedDepths_.end() ? 1 : found->second;
}

void CFatEngine::clearListedFolders() {
  listedFolders_.clear();
  listedIds_.clear();
  listedDepths_.clear();
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
    reportMadeUpFolder(kLostFolderId, kLostFolderId, 0, engine::texts::kLostFolders, false);
    listFolder(kLostFolderId, kLostFolderId, 0, 1);
  }
  return kLostFolderId;
}

bool CFatEngine::fatSaysFree(std::uint32_t cluster) const {
  const auto entry = fatEntry(cluster);
  return entry && *entry == 0;
}

std::uint32_t CFatEngine::clustersPerBlock() const {
  // A small volume is read one cluster at a time.
  if (m_nSectorsPerCluster == 0 || m_nTotalSectors < kSmallVolumeSectors) return 1;
  return std::max<std::uint32_t>(1, kSweepBlockSectors / m_nSectorsPerCluster);
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
  record.m_nId = itemIds_.take();
  if (deleted) record.m_byFlags |= kItemDeleted;
  reportItem(record, clusterName(cluster), false);
  listFolder(cluster, record.m_nId, 0, 1);
  MarkItemClusters(cluster, &record, 0);
  const bool outside = std::exchange(outsideTree_, geometryUnknownAt(cluster));
  FatWalkDirectory(record.m_nId, cluster, deleted ? 1 : 0, 0, 1);
  outsideTree_ = outside;
}

// --- the tree driver ------------------------------------------------------------------------------

void CFatEngine::FatBuildTree() {
  logStarted(engine::texts::kCreatingDirectoryTree);
  takeGeometryOfDirectoryFinds();
  FatBuildClusterMap();
  if (isRebuiltVolume()) FatBuildTreeFromDirList();
  else FatRunTreePasses();
  logFinished();
}

void CFatEngine::FatRunTreePasses() {
  app_.m_bTreeBuilding = 1;
  if (m_nLinkingMode != fs::fat::kLinkContiguous && m_bAdvanced) FatWalkAdvancedRoot();
  outsideTree_ = otherGeometryFound_;
  FatSearchDirClusters();
  runFolderPasses();
  if (!stopRequested()) AddRawDataFolders();
  finishTree();
  outsideTree_ = false;
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
  if (m_nLinkingMode == fs::fat::kLinkContiguous) {
    m_nTotalSize = 0;
    m_nFileCount = 0;
    m_nFolderCount = 0;
    m_nFoundCount = 0;
    itemIds_.startAt(2);
  }
  const std::uint32_t perBlock = clustersPerBlock();
  progress_.setRange(kItemBar, 0, (bound - 2) / perBlock);
  progress_.setStep(kItemBar, 1);
  const std::uint64_t dataSectors = dataSectorCount();
  entryClusters_.assign(bound, false);
  startRawSearchInsideScan();
  // The next block is read on a second thread while this one is searched.
  const auto bytesAt = [&](std::uint64_t c) {
    return std::size_t(std::min<std::uint64_t>(perBlock, bound - c)) * bytesPerCluster();
  };
  // Sized by the largest block this volume has, not by the largest block there can be.
  engine::ReadAhead blocks(bytesAt(2),
                           [this](std::span<std::uint8_t> into, std::uint64_t first, std::size_t bytes) {
                             ReadClusterSectors(first, 0, into.data(), std::uint16_t(bytes / fs::fat::kSectorBytes));
                           });
  bool swept = blocks.ready();
  for (std::uint64_t c = 2; c < bound && swept; c += perBlock) {
    if (stopRequested()) {
      swept = false;
      break;
    }
    blockBar_.showReading(engine::texts::kReadingCluster, c, bound - 1);
    reporter().showFoundCount(m_nFoundCount);
    if (m_pConsole) m_pConsole->UpdateStatusCounts();
    const std::uint64_t next = c + perBlock;
    const std::size_t bytes = bytesAt(c);
    const std::span<const std::uint8_t> block = blocks.get(c, bytes, next, next < bound ? bytesAt(next) : 0);
    const std::uint32_t end = std::uint32_t(c + bytes / bytesPerCluster());
    for (std::uint32_t k = std::uint32_t(c); k < end; ++k) {
      const ByteView cluster(block.data() + std::size_t(k - c) * bytesPerCluster(), bytesPerCluster());
      entryClusters_[k] = fs::fat::mayHoldDirectoryEntries(cluster, m_nMaxCluster, dataSectors);
      // A directory's first cluster: "." naming the cluster itself, then "..". Any other
      // cluster may start a file of a type the user chose.
      if (!fs::fat::startsDirectoryCluster(cluster) || fs::fat::dotEntryCluster(cluster, m_nFatType) != k) {
        if (m_pRawSearch) keepRawMatch(k, std::span<const std::uint8_t, 512>(cluster.data(), 512));
        continue;
      }
      const std::uint32_t parent = fs::fat::dotEntryCluster(*cluster.sub(dirent::kSize, dirent::kSize), m_nFatType);
      if (FatIsListedFolder(k) || FatIsPendingDir(k) || orphanDirs_.contains(k)) continue;
      if (parent != 0) orphanDirs_.append(DirNode{nullptr, k, parent, 0});
      else placeRootChild(k, fatSaysFree(k));
    }
    progress_.stepIt(kItemBar);
  }
  if (!swept) entryClusters_.clear();
}

// --- folders whose parent is unknown --------------------------------------------------------------

void CFatEngine::placeOrphan(std::uint32_t cluster, std::uint32_t parentCluster, bool underLostFolder) {
  std::uint32_t parentId;
  std::uint32_t depth = 2;  // under "Lost folder(s)"
  const auto listed = listedIds_.find(parentCluster);
  // A lost folder goes no deeper than the walks go: one that would is placed under "Lost
  // folder(s)" instead, so that a long chain of folders naming the next as their parent
  // does not make a tree of its length.
  if (!underLostFolder && listed != listedIds_.end() && listedDepth(parentCluster) + 1 > kMaxWalkDepth)
    underLostFolder = true;
  if (underLostFolder) {
    parentId = lostFolderId();
  } else if (listed != listedIds_.end()) {
    parentId = listed->second;
    depth = listedDepth(parentCluster) + 1;
  } else {
    // One made-up folder per unknown parent, so that its children end up together.
    const std::uint32_t lost = lostFolderId();
    parentId = itemIds_.take();
    reportMadeUpFolder(parentCluster, parentId, lost, folderName(parentCluster), false);
    listFolder(parentCluster, parentId, 0, 2);
    depth = 3;
  }
  const bool deleted = m_nLinkingMode == fs::fat::kLinkContiguous || fatSaysFree(cluster);
  FOUND_ITEM record;
  record.m_byAttributes = dirent::kAttrDirectory;
  record.m_nRecordKey = cluster;
  record.m_nId = itemIds_.take();
  record.m_nParentId = parentId;
  if (deleted) record.m_byFlags |= kItemDeleted;
  reportItem(record, folderName(cluster), false);
  listFolder(cluster, record.m_nId, 0, depth);
  MarkItemClusters(cluster, &record, 0);
  const bool outside = std::exchange(outsideTree_, geometryUnknownAt(cluster));
  FatWalkDirectory(record.m_nId, cluster, deleted ? 1 : 0, 0, depth);
  outsideTree_ = outside;
}

void CFatEngine::FatAddLostFolders() {
  m_bLostPass = 1;
  logItem(engine::texts::kAddingLost);
  // The lost folders in the order they were found, and which of them name each parent.
  std::vector<DirNode*> order;
  std::unordered_multimap<std::uint64_t, std::size_t> childrenOf;
  for (DirNode* node = m_pOrphanDirs; node; node = decltype(orphanDirs_)::nextLive(node)) {
    childrenOf.emplace(node->value, order.size());
    order.push_back(node);
  }
  // Places the folder at index i, then those before `limit` that name it (or, in turn, one
  // of them) as their parent: a pass would otherwise place only one more of a chain that
  // runs against the order, and a chain as long as the disk would take as many passes.
  std::vector<std::size_t> toPlace;
  const auto placeWithChildren = [&](std::size_t i, std::size_t limit, bool underLostFolder) {
    placeOrphan(std::uint32_t(order[i]->key), order[i]->value, underLostFolder);
    toPlace.assign(1, i);
    while (!toPlace.empty() && !stopRequested()) {
      const std::uint64_t parent = order[toPlace.back()]->key;
      toPlace.pop_back();
      const auto [from, to] = childrenOf.equal_range(parent);
      std::vector<std::size_t> children;
      for (auto it = from; it != to; ++it)
        if (it->second < limit && !order[it->second]->removed && !FatIsListedFolder(order[it->second]->key))
          children.push_back(it->second);
      std::sort(children.begin(), children.end());
      for (const std::size_t c : children) {
        if (FatIsListedFolder(order[c]->key)) continue;
        placeOrphan(std::uint32_t(order[c]->key), order[c]->value, false);
      }
      for (auto it = children.rbegin(); it != children.rend(); ++it) toPlace.push_back(*it);
    }
  };
  for (std::size_t i = 0; i < order.size() && !stopRequested(); ++i) {
    DirNode* node = order[i];
    // A directory whose parent is itself lost is met by its parent's walk (which then
    // takes it off the chain).
    if (node->removed || orphanDirs_.contains(node->value) || FatIsListedFolder(node->key)) continue;
    placeWithChildren(i, i, false);
  }
  // Directories still not placed: their parent's walk did not meet them (its entry for them
  // is gone), or their parents lead round in a circle. Each goes under its parent when that
  // is now known; where none is, the first of them goes under "Lost folder(s)", and the rest
  // are tried again.
  while (!stopRequested()) {
    bool placed = false;
    std::optional<std::size_t> waiting;
    for (std::size_t i = 0; i < order.size() && !stopRequested(); ++i) {
      DirNode* node = order[i];
      if (node->removed || FatIsListedFolder(node->key)) continue;
      if (node->value == node->key) {  // a directory that names itself its parent
        placeWithChildren(i, i, true);
        placed = true;
        continue;
      }
      if (!FatIsListedFolder(node->value) && orphanDirs_.contains(node->value)) {
        if (!waiting) waiting = i;
        continue;
      }
      placeWithChildren(i, i, false);
      placed = true;
    }
    if (placed) continue;
    if (!waiting) break;
    placeWithChildren(*waiting, order.size(), true);
  }
  m_bLostPass = 0;
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

// --- a volume rebuilt from its directory clusters ---------------------------------------------------

void CFatEngine::FatBuildTreeFromDirList() {
  std::array<std::uint8_t, fs::fat::kSectorBytes> sector{};
  for (const std::uint32_t c : rebuilt_.clusterArray) {
    if (stopRequested()) break;
    progress_.stepIt(kItemBar);
    readFirstSector(c, sector.data());
    const ByteView first(sector);
    if (!fs::fat::startsDirectoryCluster(first) || fs::fat::dotEntryCluster(first, m_nFatType) != c) continue;
    const std::uint32_t parent = fs::fat::dotEntryCluster(*first.sub(dirent::kSize, dirent::kSize), m_nFatType);
    if (FatIsListedFolder(c) || FatIsPendingDir(c) || orphanDirs_.contains(c)) continue;
    if (parent != 0) orphanDirs_.append(DirNode{nullptr, c, parent, 0});
    else placeRootChild(c, fatSaysFree(c));
  }
  if (m_nFoundCount != 0 || !orphanDirs_.empty()) runFolderPasses();
  startRawSearchInsideScan();
  finishTree();
  if (!stopRequested()) AddRawDataFolders();
}

}  // namespace qelda::fat
