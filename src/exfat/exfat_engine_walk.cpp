// Walking the directory tree from the root: each directory is read as one stream of its
// clusters and its entry sets become found items; folders are walked from an explicit
// stack in the order recursion would take, deleted folders in a second pass.
#include <algorithm>

#include "exfat/exfat_engine.h"
#include "exfat/exfat_texts.h"
#include "fs/exfat_layout.h"

namespace qelda::exfat {

using platform::ByteView;

FOUND_ITEM CExFatEngine::itemFromSet(const fs::ExFatEntrySet& s, std::uint32_t parentId, bool deleted) const {
  FOUND_ITEM item;
  item.m_nSize = s.validDataLength;
  item.m_nRecordKey = s.firstCluster;
  item.m_nParentId = parentId;
  item.m_byAttributes = s.attributes;
  item.m_ftModified = s.modified;
  item.m_ftCreated = s.created;
  if (deleted) item.m_byFlags |= kItemDeleted;
  // The data follows the FAT chain unless the stream says it is contiguous (NoFatChain).
  if (s.followsChain()) item.m_byFlags |= kItemCompressed;
  return item;
}

std::vector<std::uint32_t> CExFatEngine::directoryClusters(std::uint32_t first, std::uint64_t dataLength, DirRead how) {
  std::vector<std::uint32_t> clusters;
  if (!isHeapCluster(first)) return clusters;
  // No directory is longer than the format allows, whatever its length or chain says.
  const std::uint32_t most = dataLength ? fs::directoryClusterCount(params_, first, dataLength)
                                        : fs::directoryClusterCount(params_, first, fs::exfat::kMaxDirectoryBytes);
  switch (how) {
    case DirRead::Single:
      clusters.push_back(first);
      break;
    case DirRead::Contiguous:
      for (std::uint32_t i = 0; i < std::max<std::uint32_t>(1, most); ++i) clusters.push_back(first + i);
      break;
    case DirRead::Chain: {
      std::uint32_t byteCount = 0;
      clusters = FollowClusterChain(first, byteCount);
      if (clusters.size() > std::max<std::uint32_t>(1, most)) clusters.resize(std::max<std::uint32_t>(1, most));
      break;
    }
  }
  return clusters;
}

bool CExFatEngine::pushWalk(WalkRules rules, std::uint32_t id, std::uint32_t first, std::uint64_t dataLength,
                            DirRead how, bool insideDeleted, bool popPending) {
  std::vector<std::uint32_t> clusters;
  if (walkStack_.size() < kMaxWalkDepth) clusters = directoryClusters(first, dataLength, how);
  if (clusters.empty()) {
    // Nothing to walk (no cluster in the heap, or too deep): the folder stays as reported.
    if (popPending) ExFatPopPendingItem();
    return false;
  }
  // A found directory cluster that a walk reaches is no lost folder of its own.
  if (rules == WalkRules::Lost)
    for (const std::uint32_t c : clusters) RemoveDeletedFolder(c);
  WalkFrame& f = walkStack_.emplace_back();
  f.stream = readClusters(clusters, true);
  f.clusters = std::move(clusters);
  f.id = id;
  f.insideDeleted = insideDeleted;
  f.rules = rules;
  f.popPending = popPending;
  f.walk.emplace(ByteView(f.stream), rules == WalkRules::Root ? fs::ExFatWalkKind::Root : fs::ExFatWalkKind::Folder);
  return true;
}

void CExFatEngine::popFrame() {
  const bool pop = walkStack_.back().popPending;
  walkStack_.pop_back();
  if (pop) ExFatPopPendingItem();
}

void CExFatEngine::runWalks() {
  while (!walkStack_.empty()) {
    if (stopRequested()) {
      while (!walkStack_.empty()) popFrame();
      break;
    }
    const std::size_t top = walkStack_.size() - 1;
    const std::optional<fs::ExFatEntrySet> s = walkStack_[top].walk->next();
    if (!s) {
      popFrame();
      continue;
    }
    if (walkStack_[top].rules == WalkRules::Lost) handleLostSet(top, *s);
    else handleTreeSet(top, *s);  // may push a folder's walk on top
  }
}

void CExFatEngine::handleTreeSet(std::size_t frame, const fs::ExFatEntrySet& s) {
  const WalkFrame& f = walkStack_[frame];
  const bool deleted = s.deleted || f.insideDeleted;
  FOUND_ITEM item = itemFromSet(s, f.id, deleted);
  item.m_nId = takeItemId();
  if (!s.isFolder()) {
    if (!m_bDeleted) {
      reportItem(item, s.name, true);
    } else if (deleted) {
      FlushPendingItems();
      reportItem(item, s.name, true);
    }
    return;
  }
  const std::uint32_t first = s.firstCluster;
  const bool inHeap = isHeapCluster(first);
  // A live folder's directory follows its chain unless it is contiguous; a deleted one's
  // chain is no longer kept, so it is read contiguous.
  const DirRead how = !deleted && s.followsChain() ? DirRead::Chain : DirRead::Contiguous;

  if (!m_bDeleted) {  // quick scan: everything, deleted folders in the second pass
    if (deleted) {
      if (inHeap && (IsListedFolder(first) || IsDeletedFolderQueued(first))) return;
      queueDeletedFolder(frame, s, item);
      return;
    }
    // A folder already listed (a link back to an ancestor, say) is shown but not walked again.
    const bool walk = inHeap && !IsListedFolder(first);
    if (walk) listedFolders_.append({nullptr, first, item.m_nId});
    if (inHeap) RemoveDeletedFolder(first);  // its cluster is a live folder's now
    reportItem(item, s.name, false);
    if (walk) pushWalk(WalkRules::Folder, item.m_nId, first, s.directoryLength(), how, false, false);
    return;
  }

  // Deleted-files scan: deleted items, and the existing folders that lead to them.
  if (deleted) {
    FlushPendingItems();
    reportItem(item, s.name, true);
    if (m_bAdvanced) MarkClusterMap(item, first);
    if (inHeap && !IsListedFolder(first) && !IsDeletedFolderQueued(first)) queueDeletedFolder(frame, s, item);
    return;
  }
  if (!inHeap || IsListedFolder(first)) return;
  listedFolders_.append({nullptr, first, item.m_nId});
  ExFatPushPendingItem(item, s.name);
  pushWalk(WalkRules::Folder, item.m_nId, first, s.directoryLength(), how, false, true);
}

void CExFatEngine::queueDeletedFolder(std::size_t frame, const fs::ExFatEntrySet& s, const FOUND_ITEM& item) {
  WalkFrame& f = walkStack_[frame];
  // The second pass parses the set again from the directory that holds it, so the stream's
  // clusters are kept (once per directory).
  if (!f.holdingStream) {
    holdingStreams_.push_back(f.clusters);
    f.holdingStream = std::uint32_t(holdingStreams_.size() - 1);
  }
  EXFAT_DELETED_DIR_NODE n;
  n.key = s.firstCluster;
  n.parentId = f.id;
  n.id = item.m_nId;
  n.entryOffset = s.offset;
  n.dirCluster = f.clusters.front();
  n.dataLength = s.directoryLength();
  n.holdingStream = *f.holdingStream;
  deletedFolders_.append(n);
}

std::uint32_t CExFatEngine::ParseEntrySetAt(FOUND_ITEM& item, std::uint32_t offset, ByteView stream,
                                            std::u16string& name) {
  const auto s = fs::parseEntrySetAt(stream, offset);
  if (!s) return 0;
  item = itemFromSet(*s, 0, s->deleted);
  item.m_nId = takeItemId();
  name = s->name;
  return 1;
}

void CExFatEngine::WalkRootDirectory(std::uint32_t firstCluster) {
  if (pushWalk(WalkRules::Root, 0, firstCluster, 0, DirRead::Chain, false, false)) runWalks();
}

void CExFatEngine::WalkFolder(std::uint8_t bNoChain, std::uint32_t parentId, std::uint32_t firstCluster,
                              std::uint8_t bInsideDeleted, std::uint64_t dataLength) {
  const DirRead how = bNoChain || bInsideDeleted ? DirRead::Contiguous : DirRead::Chain;
  if (pushWalk(WalkRules::Folder, parentId, firstCluster, dataLength, how, bInsideDeleted != 0, false)) runWalks();
}

void CExFatEngine::BuildTreeFromRoot() {
  pendingItems_.clear();
  reporter().logStart(engine::texts::kCreatingDirectoryTree);
  WalkRootDirectory(fs::rootWalkCluster(params_));
  if (!stopRequested()) {
    if (!m_bDeleted) AddDeletedFolders();
    else WalkDeletedFolders();
  }
  clearWalkState();
  reporter().logEnd(stopRequested());
  collapseRoot();
}

std::vector<std::uint8_t> CExFatEngine::holdingStreamBytes(std::uint32_t index) {
  if (index >= holdingStreams_.size()) return {};
  return readClusters(holdingStreams_[index], false);
}

void CExFatEngine::AddDeletedFolders() {
  logItem(text::kAddingDeleted);
  std::optional<std::uint32_t> cachedIndex;
  std::vector<std::uint8_t> cached;
  // Walks of these folders queue the deleted folders inside them; the loop reaches those too.
  for (EXFAT_DELETED_DIR_NODE* n = m_pDeletedFolders; n && !stopRequested();
       n = engine::IndexedChain<EXFAT_DELETED_DIR_NODE>::nextLive(n)) {
    if (n->dirCluster == 0) break;
    if (cachedIndex != n->holdingStream) {
      cached = holdingStreamBytes(n->holdingStream);
      cachedIndex = n->holdingStream;
    }
    FOUND_ITEM item;
    std::u16string name;
    if (!ParseEntrySetAt(item, n->entryOffset, ByteView(cached), name)) continue;
    item.m_nParentId = n->parentId;
    item.m_byFlags |= kItemDeleted;
    const std::uint32_t first = std::uint32_t(n->key);
    const bool walk = isHeapCluster(first) && !IsListedFolder(first);
    if (walk) listedFolders_.append({nullptr, first, item.m_nId});
    reportItem(item, name, false);
    if (walk && pushWalk(WalkRules::Folder, item.m_nId, first, n->dataLength, DirRead::Contiguous, true, false))
      runWalks();
  }
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

void CExFatEngine::WalkDeletedFolders() {
  logItem(text::kAddingDeleted);
  // The folders were reported when they were met; now their contents, all deleted.
  for (EXFAT_DELETED_DIR_NODE* n = m_pDeletedFolders; n && !stopRequested();
       n = engine::IndexedChain<EXFAT_DELETED_DIR_NODE>::nextLive(n)) {
    const std::uint32_t first = std::uint32_t(n->key);
    if (!isHeapCluster(first) || IsListedFolder(first)) continue;
    listedFolders_.append({nullptr, first, n->id});
    if (pushWalk(WalkRules::Folder, n->id, first, n->dataLength, DirRead::Contiguous, true, false)) runWalks();
  }
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

}  // namespace qelda::exfat
