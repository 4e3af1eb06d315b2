// Searching the cluster heap for directory clusters by their shape, and reporting the ones
// no walk has reached as lost folders under "Lost folder(s)".
#include <algorithm>
#include <optional>
#include <string>

#include "exfat/exfat_engine.h"
#include "fs/exfat_layout.h"
#include "platform/text.h"

namespace qelda::exfat {

using platform::ByteView;

namespace {

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
  blockBar_.showReading(engine::texts::kReadingCluster, cluster, m_nClusterCount);
  if (m_pConsole) m_pConsole->UpdateStatusCounts();
}

void CExFatEngine::searchBlocks(std::uint32_t firstCluster, bool freeOnly) {
  const std::uint32_t perBlock = clustersPerBlock();
  const std::uint64_t bytes = clusterBytes();
  // At least one cluster, and no more than the heap holds.
  std::vector<std::uint8_t> block(std::size_t(std::min<std::uint64_t>(perBlock, std::uint64_t(m_nClusterCount) + 2)) * bytes);
  std::uint64_t inLiveFiles = 0;  // directory clusters found in live files' data
  // Valid clusters run to C+1; the last block is cut there.
  const std::uint64_t last = std::uint64_t(m_nClusterCount) + 1;
  for (std::uint64_t c = firstCluster; c <= last && !stopRequested();) {
    if (freeOnly && clusterMapByte(std::uint32_t(c))) {
      blockBar_.step();  // allocated clusters are passed one by one, unread
      ++c;
      continue;
    }
    if (!freeOnly) blockBar_.step();
    showReadingCluster(std::uint32_t(c));
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(perBlock, last - c + 1));
    ReadClusterSectors(n * m_nSectorsPerCluster, std::uint32_t(c), 0, block.data());
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t cluster = std::uint32_t(c + i);
      if (freeOnly) {
        blockBar_.step();
        if (clusterMapByte(cluster)) continue;
      }
      if (!fs::exfat::IsDirectoryCluster(ByteView(block.data() + i * bytes, std::size_t(bytes)))) continue;
      // A live file's data: whatever it holds (a disk image, the folders a newer volume wrote
      // over these sectors) is that file's, no folder of this volume.
      if (liveFileClusters_.contains(cluster)) {
        ++inLiveFiles;
        continue;
      }
      EXFAT_DELETED_DIR_NODE node;
      node.key = cluster;
      node.id = takeItemId();
      deletedFolders_.append(node);
    }
    c += n;
  }
  if (inLiveFiles != 0)
    logItem(decimal(inLiveFiles) +
            u" folder cluster(s) found in the data of live files: that data is theirs, not read as folders of this volume");
}

void CExFatEngine::FindDirectoryClusters() {
  app_.m_bTreeBuilding = 1;
  m_nTotalSize = 0;
  m_nFoundCount = 0;
  m_nFolderCount = 0;
  m_nFileCount = 0;
  startItemIds(2);
  findLiveFileClusters();
  blockBar_.start(m_nClusterCount / clustersPerBlock());
  searchBlocks(2, false);
  liveFileClusters_ = engine::VisitedClusters();
  AddLostFolders(1);
  clearWalkState();
}

void CExFatEngine::findLiveFileClusters() {
  liveFileClusters_.resize(std::uint64_t(m_nClusterCount) + 2);
  if (pushWalk(WalkRules::LiveFiles, 0, fs::exfat::rootWalkCluster(params_), 0, DirRead::Chain, false, false))
    runWalks();
  clearWalkState();
}

void CExFatEngine::handleLiveFileSet(const fs::exfat::ExFatEntrySet& s) {
  if (s.deleted || !isHeapCluster(s.firstCluster)) return;
  if (s.isFolder()) {
    const DirRead how = s.followsChain() ? DirRead::Chain : DirRead::Contiguous;
    pushWalk(WalkRules::LiveFiles, 0, s.firstCluster, s.directoryLength(), how, false, false);
    return;
  }
  const std::uint64_t bytes = clusterBytes();
  std::uint64_t left = bytes ? s.dataLength / bytes + (s.dataLength % bytes != 0) : 0;
  const bool chain = s.followsChain() && m_nLinkingMode != kLinkContiguous;
  // A live file's clusters are in use: its run or chain ends at the first that is not, and
  // at one another file took already (so that overlapping claims cost no more than the heap).
  for (std::optional<std::uint32_t> c = s.firstCluster;
       left != 0 && c && isHeapCluster(*c) && clusterMapByte(*c) && liveFileClusters_.insert(*c); --left)
    c = chain ? fatEntry(*c) : std::optional<std::uint32_t>(*c + 1);
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
  blockBar_.start(m_nClusterCount);
  searchBlocks(5, true);
  if (!stopRequested()) AddLostFolders(0);
  clearWalkState();
  reporter().logEnd(stopRequested());
  collapseRoot();
}

std::unordered_set<std::uint32_t> CExFatEngine::foundFoldersOfAnotherGeometry() {
  struct Votes {
    std::uint32_t directory = 0;  // live subfolders whose first cluster holds a directory
    std::uint32_t elsewhere = 0;  // ... holds something else (not zeros, which tell nothing)
    bool odds() const { return elsewhere > directory; }
  };
  std::vector<std::pair<std::uint32_t, Votes>> free;
  Votes all;
  for (EXFAT_DELETED_DIR_NODE* n = m_pDeletedFolders; n && !stopRequested();
       n = engine::IndexedChain<EXFAT_DELETED_DIR_NODE>::nextLive(n)) {
    const std::uint32_t cluster = std::uint32_t(n->key);
    // A cluster the volume has in use is its own directory.
    if (n->removed || !isHeapCluster(cluster) || clusterMapByte(cluster)) continue;
    Votes v;
    const std::vector<std::uint8_t> bytes = readClusters({cluster}, false);
    // A directory holds nothing after its end-of-directory entry: sets there begin another
    // directory inside this cluster, which is then larger than the clusters they were
    // written in.
    std::size_t end = 0;
    while (end < bytes.size() && bytes[end] != 0) end += fs::exfat::entry::kSize;
    bool setAfterEnd = false;
    fs::exfat::ExFatDirectoryWalk walk(ByteView(bytes), fs::exfat::ExFatWalkKind::Folder);
    while (const auto s = walk.next()) {
      setAfterEnd = setAfterEnd || s->offset > end;
      if (s->deleted || !s->isFolder() || !isHeapCluster(s->firstCluster)) continue;
      // A folder in use on the volume as it is now has its parent in use too: a free folder
      // that names one as its own was written with other clusters (a newer volume made over
      // these sectors names its subfolders by its own numbers, which here fall on the
      // volume's own folders).
      if (clusterMapByte(s->firstCluster)) {
        ++v.elsewhere;
        continue;
      }
      const std::vector<std::uint8_t> sub = readClusters({s->firstCluster}, false);
      if (fs::exfat::IsDirectoryCluster(ByteView(sub))) ++v.directory;
      else if (std::any_of(sub.begin(), sub.end(), [](std::uint8_t b) { return b != 0; })) ++v.elsewhere;
    }
    v.elsewhere += setAfterEnd;
    // The root of another volume: its allocation bitmap covers another number of clusters.
    if (const auto bitmap = fs::exfat::findRootEntries(ByteView(bytes)).bitmap;
        bitmap && bitmap->dataLength != (std::uint64_t(params_.clusterCount) + 7) / 8)
      ++v.elsewhere;
    all.directory += v.directory;
    all.elsewhere += v.elsewhere;
    free.emplace_back(cluster, v);
  }
  std::unordered_set<std::uint32_t> other;
  for (const auto& [cluster, v] : free)
    if (v.directory + v.elsewhere ? v.odds() : all.odds()) other.insert(cluster);
  return other;
}

void CExFatEngine::AddLostFolders(std::uint32_t bAsFound) {
  logItem(engine::texts::kAddingLost);
  const std::unordered_set<std::uint32_t> otherGeometry = foundFoldersOfAnotherGeometry();
  if (!otherGeometry.empty())
    logItem(decimal(otherGeometry.size()) +
            u" lost folder(s) name their subfolders where the boot sector's geometry puts no folder: written with "
            u"another cluster size or heap, their files' data is not read");
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
      reportItem(lost, engine::texts::kLostFolders, false);
      listedFolders_.append({nullptr, kLostFoldersId, kLostFoldersId});
      lostFolderShown = true;
    }
    const std::uint32_t cluster = std::uint32_t(n->key);
    FOUND_ITEM folder;
    folder.m_nId = n->id;
    folder.m_nParentId = kLostFoldersId;
    folder.m_nRecordKey = cluster;
    folder.m_byAttributes = kItemFolder;
    reportItem(folder, std::u16string(engine::texts::kFolder) + u" " + decimal(cluster), false);
    listedFolders_.append({nullptr, cluster, n->id});
    if (m_bAdvanced) MarkClusterMap(folder, cluster);
    WalkLostFolder(n->id, cluster, bAsFound ? 0 : 1, otherGeometry.contains(cluster));
  }
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

void CExFatEngine::WalkLostFolder(std::uint32_t parentId, std::uint32_t cluster, std::uint32_t bDeleted,
                                  bool otherGeometry) {
  // A found cluster's length is unknown: as found, its chain; in free space, itself alone.
  // Written with another geometry, the cluster after it is not its next one.
  const DirRead how = bDeleted || otherGeometry ? DirRead::Single : DirRead::Chain;
  if (!pushWalk(WalkRules::Lost, parentId, cluster, 0, how, bDeleted != 0, false)) return;
  walkStack_.back().otherGeometry = otherGeometry;
  runWalks();
}

void CExFatEngine::handleLostSet(std::size_t frame, const fs::exfat::ExFatEntrySet& s) {
  if (!fs::exfat::entrySetFitsVolume(s, params_)) return;
  const WalkFrame& f = walkStack_[frame];
  const bool deleted = s.deleted || f.insideDeleted;
  FOUND_ITEM item = itemFromSet(s, f.id, deleted);
  item.m_nId = takeItemId();
  if (!s.isFolder()) {
    // Its first cluster counts clusters of another size, or from another heap: where its
    // data lies is not known, and no cluster of this geometry is read for it.
    if (f.otherGeometry) item.m_nRecordKey = 0;
    reportItem(item, s.name, true);
    return;
  }
  const std::uint32_t first = s.firstCluster;
  if (f.otherGeometry) {  // listed, not walked: its first cluster is not where it says
    reportItem(item, s.name, false);
    return;
  }
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
