// The deleted-files scan's deep search: after the deleted items the root leads to, the data
// area's free clusters are searched for clusters that begin a directory, and each found
// directory is placed under its parent (when that was found too) or under "Lost folder(s)",
// with the deleted files of its first cluster.
#include <algorithm>
#include <string>
#include <utility>

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
}  // namespace

void CFatEngine::SearchDirectoryClusters() {
  m_nTotalSize = 0;
  if (!PrepareVolumeParameters()) {
    // Without a geometry there is nothing to search; the user is told, as the quick scan tells.
    endWithInvalidVolume(isRebuiltVolume() ? text::kCauseRebuiltRecord : text::kCauseBootSectors);
    return;
  }
  takeGeometryOfDirectoryFinds();
  FatBuildClusterMap();
  BuildDeletedTree();
  const std::uint64_t bound = dataBound();
  if (bound > 2 && !stopRequested()) {
    // Found directories take ids above every cluster number, and above every id given so far.
    itemIds_.startAt(std::max<std::uint32_t>(m_nNextItemId, std::uint32_t(std::min<std::uint64_t>(bound + 1, UINT32_MAX))));
    blockBar_.start(bound);
    // Blocks in which every cluster is in use or already known are not read.
    const std::uint64_t limit = std::min<std::uint64_t>(bound, m_nClusterMapSize);
    const std::uint32_t perBlock = clustersPerBlock();
    ClusterBlock block;
    for (std::uint64_t c = 2; c < limit && !stopRequested(); c += perBlock) {
      const std::uint64_t end = std::min<std::uint64_t>(c + perBlock, limit);
      const bool anyFree = std::any_of(m_pClusterMap.begin() + std::ptrdiff_t(c), m_pClusterMap.begin() + std::ptrdiff_t(end),
                                       [](std::uint8_t v) { return v == 0; });
      if (anyFree) {
        blockBar_.showReading(engine::texts::kReadingCluster, c, bound);
        readClusterBlock(block, std::uint32_t(c));
        for (std::uint32_t k = std::uint32_t(c); k < end && k < block.first + block.count; ++k) {
          if (m_pClusterMap[k] != 0) continue;
          const ByteView cluster(block.bytes.data() + std::size_t(k - block.first) * bytesPerCluster(), bytesPerCluster());
          if (!fs::fat::startsDirectoryCluster(cluster)) continue;
          PENDING_DIR_NODE node;
          node.key = k;
          node.itemId = itemIds_.take();
          node.parentKey = fs::fat::dotEntryCluster(*cluster.sub(dirent::kSize, dirent::kSize), m_nFatType);
          pendingDirs_.append(node);
          m_pClusterMap[k] = 1;
        }
      }
      blockBar_.moveTo(end);
    }
    outsideTree_ = otherGeometryFound_;
    if (!stopRequested()) PlaceFoundDirectories();
    outsideTree_ = false;
  }
  pendingDirs_.clear();
  orphanDirs_.clear();
  logFinished();
  if (m_pConsole) m_pConsole->CollapseRootChildren();
}

void CFatEngine::BuildDeletedTree() {
  logStarted(engine::texts::kCreatingDirectoryTree);
  walkRoot();
  if (!stopRequested()) AddDeletedDirectories();
  pendingDirs_.clear();
  pendingItems_.clear();
  clearListedFolders();
}

void CFatEngine::placeFoundDirectory(PENDING_DIR_NODE& node, std::uint32_t parentId) {
  node.placed = 1;
  FOUND_ITEM folder;
  folder.m_byAttributes = dirent::kAttrDirectory;
  folder.m_nRecordKey = node.key;
  folder.m_nId = node.itemId;
  folder.m_nParentId = parentId;
  reportItem(folder, std::u16string(engine::texts::kFolder) + u" " + numberText(node.key), false);
  if (m_bAdvanced) FatMarkClusterListed(std::uint32_t(node.key));
  listFolder(node.key, node.itemId, node.spare);
  std::vector<std::uint8_t> buffer(bytesPerCluster(), 0);
  ReadClusterSectors(node.key, 0, buffer.data(), m_nSectorsPerCluster);
  FOUND_ITEM files;
  files.m_nParentId = node.itemId;
  files.m_byFlags |= kItemDeleted;
  // A directory whose "." names another cluster lies where no cluster of this geometry holds it.
  const bool ownDot = fs::fat::dotEntryCluster(ByteView(buffer), m_nFatType) == node.key;
  const bool outside = std::exchange(outsideTree_, !ownDot ? outsideTree_ : geometryUnknownAt(std::uint32_t(node.key)));
  AddFoundDirectoryFiles(ByteView(buffer), files);
  outsideTree_ = outside;
}

void CFatEngine::PlaceFoundDirectories() {
  logSection(engine::texts::kAddingLost);
  // A directory is placed once its parent is: passes repeat while one places something.
  // Directories whose parents never come (a circle of them) are then placed one at a time
  // under "Lost folder(s)", the others tried again after each.
  while (!stopRequested()) {
    bool placed = true;
    while (placed && !stopRequested()) {
      placed = false;
      for (PENDING_DIR_NODE* node = m_pPendingDirs; node && !stopRequested();
           node = decltype(pendingDirs_)::nextLive(node)) {
        if (node->placed) continue;
        if (const auto listed = listedIds_.find(node->parentKey); listed != listedIds_.end()) {
          placeFoundDirectory(*node, listed->second);
        } else if (node->parentKey != node->key && FatIsPendingDir(node->parentKey)) {
          continue;  // its parent is placed first
        } else {
          placeFoundDirectory(*node, lostFolderId());
        }
        placed = true;
      }
    }
    PENDING_DIR_NODE* waiting = m_pPendingDirs;
    while (waiting && waiting->placed) waiting = decltype(pendingDirs_)::nextLive(waiting);
    if (!waiting || stopRequested()) break;
    placeFoundDirectory(*waiting, lostFolderId());
  }
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

void CFatEngine::AddFoundDirectoryFiles(ByteView buffer, FOUND_ITEM record) {
  for (std::size_t o = 0; o + dirent::kSize <= buffer.size() && !stopRequested(); o += dirent::kSize) {
    if (buffer.u8(o) == dirent::kEndMark) break;
    FOUND_ITEM entry = record;
    fs::fat::EntryName name;
    if (!FatMakeEntryName(o, name, buffer, entry, 0xFFFFFFFF, 0, 0)) continue;
    if (!entry.isFolder() && (entry.m_byFlags & kItemDeleted)) reportItem(entry, name.view(), true);
  }
}

}  // namespace qelda::fat
