// Walking the directory tree from the root: each directory is read as one stream of its
// clusters and its entry sets become found items; folders are walked from an explicit
// stack in the order recursion would take, deleted folders in a second pass.
#include <algorithm>

#include "exfat/exfat_engine.h"
#include "fs/exfat_layout.h"

namespace qelda::exfat {

using platform::ByteView;

FOUND_ITEM CExFatEngine::itemFromSet(const fs::exfat::ExFatEntrySet& s, std::uint32_t parentId, bool deleted) const {
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
  const std::uint32_t most = directoryClusterLimit(first, dataLength);
  switch (how) {
    case DirRead::Single:
      clusters.push_back(first);
      break;
    case DirRead::Contiguous:
      clusters = engine::followChain(heapRun(), first, most);
      break;
    case DirRead::Chain: {
      std::uint32_t byteCount = 0;
      clusters = FollowClusterChain(first, byteCount);
      if (clusters.size() > most) clusters.resize(most);
      break;
    }
  }
  return clusters;
}

std::uint32_t CExFatEngine::directoryClusterLimit(std::uint32_t first, std::uint64_t dataLength) const {
  // No directory is longer than the format allows, whatever its length or chain says.
  const std::uint32_t most = dataLength ? fs::exfat::directoryClusterCount(params_, first, dataLength)
                                        : fs::exfat::directoryClusterCount(params_, first, fs::exfat::kMaxDirectoryBytes);
  return std::max<std::uint32_t>(1, most);
}

bool CExFatEngine::enterDirectoryCluster(WalkFrame& f, std::uint64_t c) {
  // A cluster is read by one walk of a pass at most: a chain that runs into itself ends at
  // its first repeat, and folders whose clusters overlap (crafted lengths and chains) do
  // not read the same bytes again and again.
  if (!isHeapCluster(c)) return false;
  const std::uint64_t bits = std::uint64_t(m_nClusterCount) + 2;
  if (directoryClustersRead_.size() != bits) directoryClustersRead_.resize(bits);
  if (!directoryClustersRead_.insert(std::uint32_t(c))) return false;
  // A found directory cluster that a walk reaches is no lost folder of its own.
  if (f.rules == WalkRules::Lost) RemoveDeletedFolder(c);
  progress_.stepIt(kItemBar);
  f.cluster = std::uint32_t(c);
  f.sectorInCluster = 0;
  return true;
}

bool CExFatEngine::nextDirectoryCluster(WalkFrame& f) {
  if (f.clustersLeft == 0) return false;
  --f.clustersLeft;
  switch (f.how) {
    case DirRead::Single:
      return false;
    case DirRead::Contiguous:
      return enterDirectoryCluster(f, std::uint64_t(f.cluster) + 1);
    case DirRead::Chain: {
      if (m_nLinkingMode == kLinkContiguous) return false;  // no chain to follow: the first cluster alone
      const auto next = fatEntry(f.cluster);
      return next && enterDirectoryCluster(f, *next);
    }
  }
  return false;
}

void CExFatEngine::refillWindow(WalkFrame& f) {
  // Keep the bytes from the walk's position on, then read on until the window holds what
  // the walk wants (the next entry, or a set whole) or the directory ends. Reading no
  // further keeps clusters past the directory's end, or a folder's own, for their walks.
  const std::size_t done = std::min<std::size_t>(f.walk->position() - f.windowStart, f.window.size());
  f.window.erase(f.window.begin(), f.window.begin() + std::ptrdiff_t(done));
  f.windowStart += std::uint32_t(done);
  const std::uint32_t spc = std::max<std::uint32_t>(1, m_nSectorsPerCluster);
  const std::size_t wanted = std::min(f.walk->bytesWanted(), fs::exfat::ExFatDirectoryWalk::kSetSpan);
  while (!f.readAll && f.window.size() < wanted) {
    // The next cluster is entered only when its bytes are wanted.
    if (f.sectorInCluster >= spc && !nextDirectoryCluster(f)) {
      f.readAll = true;
      break;
    }
    const std::uint32_t n = std::min(spc - f.sectorInCluster, kWindowChunkSectors);
    const std::size_t at = f.window.size();
    f.window.resize(at + std::size_t(n) * fs::exfat::kSectorBytes);
    ReadClusterSectors(n, f.cluster, std::uint16_t(f.sectorInCluster), f.window.data() + at);
    walkStats_.directoryBytesRead += std::uint64_t(n) * fs::exfat::kSectorBytes;
    f.sectorInCluster += n;
  }
  f.walk->feed(ByteView(f.window), f.windowStart, f.readAll);
}

bool CExFatEngine::pushWalk(WalkRules rules, std::uint32_t id, std::uint32_t first, std::uint64_t dataLength,
                            DirRead how, bool insideDeleted, bool popPending) {
  WalkFrame probe;
  probe.rules = rules;
  if (walkStack_.size() >= kMaxWalkDepth || !enterDirectoryCluster(probe, first)) {
    // Nothing to walk (no cluster in the heap, one already read, or too deep): the folder
    // stays as reported.
    if (popPending) ExFatPopPendingItem();
    return false;
  }
  WalkFrame& f = walkStack_.emplace_back(std::move(probe));
  f.how = how;
  f.firstCluster = first;
  f.clustersLeft = directoryClusterLimit(first, dataLength) - 1;
  f.window.reserve(kWindowCapacity);
  f.id = id;
  f.insideDeleted = insideDeleted;
  f.walk.emplace(rules == WalkRules::Root ? fs::exfat::ExFatWalkKind::Root : fs::exfat::ExFatWalkKind::Folder);
  walkStats_.opened(walkStack_.size());
  walkStats_.hold(f.window.capacity() + sizeof(WalkFrame));
  return true;
}

void CExFatEngine::popFrame() {
  walkStats_.release(walkStack_.back().window.capacity() + sizeof(WalkFrame));
  walkStack_.pop_back();
  pendingItems_.leave(walkStack_.size());
}

void CExFatEngine::runWalks() {
  while (!walkStack_.empty()) {
    if (stopRequested()) {
      while (!walkStack_.empty()) popFrame();
      break;
    }
    const std::size_t top = walkStack_.size() - 1;
    WalkFrame& f = walkStack_[top];
    const std::optional<fs::exfat::ExFatEntrySet> s = f.walk->next();
    if (!s) {
      if (f.walk->needsBytes()) refillWindow(f);
      else popFrame();
      continue;
    }
    switch (walkStack_[top].rules) {
      case WalkRules::Lost:
        handleLostSet(top, *s);
        break;
      case WalkRules::LiveFiles:
        handleLiveFileSet(*s);
        break;
      default:
        handleTreeSet(top, *s);  // may push a folder's walk on top
    }
  }
}

void CExFatEngine::handleTreeSet(std::size_t frame, const fs::exfat::ExFatEntrySet& s) {
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

void CExFatEngine::queueDeletedFolder(std::size_t frame, const fs::exfat::ExFatEntrySet& s, const FOUND_ITEM& item) {
  const WalkFrame& f = walkStack_[frame];
  // The second pass parses the set again: its bytes are kept (they are in the window
  // whole), not the directory that holds it.
  const std::size_t from = s.offset - f.windowStart;
  const std::size_t to = std::min<std::size_t>(s.end - f.windowStart, f.window.size());
  if (from >= to) return;
  heldSets_.emplace_back(f.window.begin() + std::ptrdiff_t(from), f.window.begin() + std::ptrdiff_t(to));
  walkStats_.hold(to - from);
  EXFAT_DELETED_DIR_NODE n;
  n.key = s.firstCluster;
  n.parentId = f.id;
  n.id = item.m_nId;
  n.entryOffset = s.offset;
  n.dirCluster = f.firstCluster;
  n.dataLength = s.directoryLength();
  n.holdingStream = std::uint32_t(heldSets_.size() - 1);
  deletedFolders_.append(n);
}

std::uint32_t CExFatEngine::ParseEntrySetAt(FOUND_ITEM& item, std::uint32_t offset, ByteView stream,
                                            std::u16string& name) {
  const auto s = fs::exfat::parseEntrySetAt(stream, offset);
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
  WalkRootDirectory(fs::exfat::rootWalkCluster(params_));
  if (!stopRequested()) {
    if (!m_bDeleted) AddDeletedFolders();
    else WalkDeletedFolders();
  }
  clearWalkState();
  reporter().logEnd(stopRequested());
  collapseRoot();
}

void CExFatEngine::AddDeletedFolders() {
  logItem(engine::texts::kAddingDeleted);
  // Walks of these folders queue the deleted folders inside them; the loop reaches those too.
  for (EXFAT_DELETED_DIR_NODE* n = m_pDeletedFolders; n && !stopRequested();
       n = engine::IndexedChain<EXFAT_DELETED_DIR_NODE>::nextLive(n)) {
    if (n->dirCluster == 0) break;
    if (n->holdingStream >= heldSets_.size()) continue;
    FOUND_ITEM item;
    std::u16string name;
    if (!ParseEntrySetAt(item, 0, ByteView(heldSets_[n->holdingStream]), name)) continue;
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
  logItem(engine::texts::kAddingDeleted);
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
