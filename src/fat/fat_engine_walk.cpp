// Walking directories: the entry rules that report, hold back or queue each entry, and the
// explicit stack that walks sub-folders in the order a recursive walk would, without
// putting the depth of the volume's tree on the call stack.
#include <array>

#include "fs/fat_dir_entry.h"
#include "fat/fat_engine.h"
#include "fs/fat_layout.h"

namespace qelda::fat {

namespace dirent = fs::fat::dirent;

using platform::ByteView;

bool CFatEngine::pushDirectoryFrame(std::uint32_t parentId, std::uint32_t firstCluster, bool deleted,
                                    std::uint32_t mode, bool held, std::uint32_t depth) {
  if (depth > kMaxWalkDepth || bytesPerCluster() == 0) {
    // Too deep to walk: the folder stays reported, its contents are not read.
    if (held) DropPendingItem();
    return false;
  }
  WalkFrame f;
  f.record.m_nParentId = parentId;
  if (deleted) f.record.m_byFlags |= kItemDeleted;
  f.noClusterMarks = std::uint8_t(mode);
  f.depth = depth;
  // A deleted directory's chain is gone, and without a FAT there is none to follow: its
  // first cluster alone. A live one's chain starts only at a cluster a chain may hold.
  f.followsChain = !deleted && fatInUse();
  if (!f.followsChain || fs::fat::isChainCluster(m_nFatType, firstCluster, m_nMaxCluster)) f.nextCluster = firstCluster;
  f.data.assign(bytesPerCluster(), 0);
  walkStats_.opened(walkStack_.size() + 1);
  walkStats_.hold(f.data.capacity() + sizeof(WalkFrame));
  walkStack_.push_back(std::move(f));
  return true;
}

void CFatEngine::popFrame() {
  walkStats_.release(walkStack_.back().data.capacity() + sizeof(WalkFrame));
  walkStack_.pop_back();
  pendingItems_.leave(walkStack_.size());
}

bool CFatEngine::loadNextBuffer(WalkFrame& f) {
  if (f.singleBuffer || !f.nextCluster) return false;
  // A cluster in which nothing was found ends the walk, unless deleted entries are wanted.
  if (f.clustersRead > 0 && !m_bDeleted && m_nFoundCount == f.foundBefore) return false;
  const std::uint32_t c = *f.nextCluster;
  if (f.followsChain) {
    // The chain ends before a cluster a walk of this scan has read: its own repeat, or
    // another directory's.
    const std::uint64_t bits = std::uint64_t(m_nMaxCluster) + 1;
    if (directoryClustersRead_.size() != bits) directoryClustersRead_.resize(bits);
    if (!directoryClustersRead_.insert(c)) return false;
  }
  ReadClusterSectors(c, 0, f.data.data(), m_nSectorsPerCluster);
  walkStats_.directoryBytesRead += f.data.size();
  if (f.clustersRead == 0 && f.data[0] != dirent::kDot && f.data[dirent::kSize] != dirent::kDot) return false;
  if (m_bAdvanced && fatInUse()) FatMarkClusterListed(c);
  f.previousCluster = f.clustersRead == 0 ? 0xFFFFFFFF : f.bufferCluster;
  f.bufferCluster = c;
  f.nextCluster = f.followsChain ? fs::fat::nextChainCluster(fatTable(), c, m_nMaxCluster) : std::nullopt;
  f.nextEntry = 0;
  f.foundBefore = m_nFoundCount;
  ++f.clustersRead;
  f.active = true;
  return true;
}

void CFatEngine::runWalks() {
  while (!walkStack_.empty()) {
    if (stopRequested()) {
      while (!walkStack_.empty()) popFrame();
      break;
    }
    const std::size_t top = walkStack_.size() - 1;
    WalkFrame& f = walkStack_[top];
    if (!f.active && !loadNextBuffer(f)) {
      popFrame();
      continue;
    }
    if (f.nextEntry + dirent::kSize > f.data.size()) {
      f.active = false;  // this buffer is done; the next cluster, if any, follows
      continue;
    }
    std::size_t offset = f.nextEntry;
    // Entries that name nothing (in a folder of long names, most of them) passed over in one run.
    while (f.data[offset] != dirent::kEndMark && fs::fat::entryNamesNoItem(ByteView(f.data.data() + offset, dirent::kSize))) {
      offset += dirent::kSize;
      if (offset + dirent::kSize > f.data.size()) break;
    }
    f.nextEntry = offset + dirent::kSize;
    if (offset + dirent::kSize > f.data.size()) {
      f.active = false;
      continue;
    }
    if (f.data[offset] == dirent::kEndMark) {  // end of the directory
      popFrame();
      continue;
    }
    processDirectoryEntry(top, offset);  // may push a sub-folder's walk on top
  }
}

void CFatEngine::processDirectoryEntry(std::size_t frameIndex, std::size_t offset) {
  WalkFrame& f = walkStack_[frameIndex];
  const bool parentDeleted = (f.record.m_byFlags & kItemDeleted) != 0;
  FOUND_ITEM record = f.record;
  fs::fat::EntryName name;
  if (!FatMakeEntryName(offset, name, ByteView(f.data), record, f.previousCluster, f.bufferCluster, 0, true)) return;
  const std::uint32_t first = std::uint32_t(record.m_nRecordKey);
  if (record.m_byAttributes == 0) {
    // No attribute: a folder when its first cluster starts with a dot entry.
    std::array<std::uint8_t, fs::fat::kSectorBytes> sector{};
    readFirstSector(first, sector.data());
    record.m_byAttributes = sector[0] == dirent::kDot ? dirent::kAttrDirectory : dirent::kAttrArchive;
  }
  if (!f.noClusterMarks && first >= 2) {  // an empty file owns no cluster
    MarkItemClusters(first, &record, 0);
    if (record.isFolder()) FatRemoveOrphanDir(first);
  }
  const std::uint32_t bufferCluster = f.bufferCluster;
  const std::uint32_t previousCluster = f.previousCluster;
  const std::uint8_t marks = f.noClusterMarks;
  applyEntryRules(record, name.view(), std::uint32_t(offset), bufferCluster, previousCluster, marks, parentDeleted);
}

bool CFatEngine::applyEntryRules(FOUND_ITEM& record, std::u16string_view name, std::uint32_t entryOffset,
                                 std::uint32_t bufferCluster, std::uint32_t previousCluster, std::uint8_t walkMarks,
                                 bool parentDeleted) {
  const bool folder = record.isFolder();
  const bool deleted = (record.m_byFlags & kItemDeleted) != 0;
  const std::uint64_t key = record.m_nRecordKey;
  const auto queueDeletedFolder = [&](std::uint32_t itemId) {
    PENDING_DIR_NODE node;
    node.key = key;
    node.parentKey = record.m_nParentId;
    node.entryOffset = entryOffset;
    node.bufferCluster = bufferCluster;
    node.previousCluster = previousCluster;
    node.itemId = itemId;
    pendingDirs_.append(node);
  };

  if (!m_bDeleted) {  // quick scan
    if (!folder) {
      reportItem(record, name, false);
      return true;
    }
    if (!deleted || m_bLostPass) {
      if (FatIsListedFolder(key)) return false;
      const std::uint32_t depth = childDepth();
      listFolder(key, record.m_nId, 0, depth);
      FatRemovePendingDir(key);
      reportItem(record, name, false);
      pushDirectoryFrame(record.m_nId, std::uint32_t(key), parentDeleted, walkMarks, false, depth);
      return true;
    }
    if (FatIsListedFolder(key) || FatIsPendingDir(key)) return false;
    queueDeletedFolder(0);  // shown only by the deleted pass, once its contents are known
    return false;
  }

  // Deleted-files scan: only deleted items are shown, with the folders that lead to them.
  if (!folder) {
    if (!deleted) return false;
    reportItem(record, name, true);
    return true;
  }
  if (deleted) {
    reportItem(record, name, true);
    if (m_bAdvanced) FatMarkClusterListed(std::uint32_t(key));
    if (FatIsListedFolder(key) || FatIsPendingDir(key)) return true;
    queueDeletedFolder(record.m_nId);
    return true;
  }
  // A live folder: held back until something deleted turns up beneath it. One already
  // listed (an entry that leads back to an ancestor, say) is not walked again.
  if (FatIsListedFolder(key)) return false;
  const std::uint32_t depth = childDepth();
  listFolder(key, record.m_nId, 0, depth);
  PushPendingItem(record, name);
  pushDirectoryFrame(record.m_nId, std::uint32_t(key), parentDeleted, 0, true, depth);
  return false;
}

void CFatEngine::FatWalkDirectory(std::uint32_t parentId, std::uint32_t firstCluster, std::uint8_t bDeleted,
                                  std::uint32_t mode, std::uint32_t depth) {
  if (pushDirectoryFrame(parentId, firstCluster, bDeleted != 0, mode, false, depth)) runWalks();
}

void CFatEngine::FatWalkDeletedDirectory(std::uint32_t parentId, std::uint32_t cluster, std::uint32_t mode) {
  if (bytesPerCluster() == 0) return;
  WalkFrame f;
  f.record.m_nParentId = parentId;
  f.record.m_byFlags |= kItemDeleted;
  f.noClusterMarks = std::uint8_t(mode);
  f.singleBuffer = true;
  f.data.assign(bytesPerCluster(), 0);
  ReadClusterSectors(cluster, 0, f.data.data(), m_nSectorsPerCluster);
  walkStats_.directoryBytesRead += f.data.size();
  // The first sector is lost: parse from the first later sector that looks like directory
  // entries (skippable entries, then a usable one).
  const ByteView data(f.data);
  std::optional<std::size_t> start;
  for (std::uint32_t s = 1; s < m_nSectorsPerCluster && !start && !stopRequested(); ++s) {
    for (std::size_t o = std::size_t(s) * fs::fat::kSectorBytes; o < std::size_t(s + 1) * fs::fat::kSectorBytes; o += dirent::kSize) {
      const std::uint8_t verdict = FatCheckDirEntry(*data.sub(o, dirent::kSize), m_nMaxCluster);
      if (verdict == 2) continue;
      if (verdict == 1) start = std::size_t(s) * fs::fat::kSectorBytes;
      break;
    }
  }
  if (!start) return;
  f.nextEntry = *start;
  f.active = true;
  f.previousCluster = 0xFFFFFFFF;
  f.bufferCluster = cluster;
  f.foundBefore = m_nFoundCount;
  f.clustersRead = 1;
  if (walkStack_.size() >= kMaxWalkDepth) return;
  walkStats_.opened(walkStack_.size() + 1);
  walkStats_.hold(f.data.capacity() + sizeof(WalkFrame));
  walkStack_.push_back(std::move(f));
  runWalks();
}

}  // namespace qelda::fat
