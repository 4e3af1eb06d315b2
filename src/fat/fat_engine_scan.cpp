// The quick and deleted-files scans: the boot-sector checks, the tree driver, the two
// root walks and the passes over the deleted folders the walks queued.
#include <algorithm>
#include <array>
#include <functional>

#include "engine/scan_state.h"
#include "fs/fat_dir_entry.h"
#include "fat/fat_engine.h"
#include "fs/fat_layout.h"
#include "fat/fat_texts.h"
#include "platform/string_table.h"
#include "platform/text.h"

namespace qelda::fat {

namespace dirent = fs::fat::dirent;
using fs::fat::kSectorBytes;

using platform::ByteView;

void CFatEngine::endWithInvalidVolume(std::u16string_view why) {
  failure_ = why;
  app_.m_bBusy = 0;
  app_.m_bStopRequested = 0;
  notifier_.Show(platform::StringTable::load(platform::strings::kNotValidVolume), kBitmapWarning, kButtonsOk);
}

bool CFatEngine::refusesSectorSize() {
  if (isRebuiltVolume()) return false;
  std::array<std::uint8_t, kSectorBytes> sector{};
  readVolumeSectors(sector.data(), kSectorBytes, 0);
  const fs::fat::FatBpb b = fs::fat::readFatBpb(ByteView(sector));
  if (!b.clustersTooLarge()) return false;
  endWithInvalidVolume(platform::fromUtf8(std::to_string(b.bytesPerSector) + " bytes per sector"));
  return true;
}

void CFatEngine::beginScan(std::uint32_t bDeleted, std::uint8_t advanced) {
  failure_.clear();
  m_pDirCandidates.clear();
  dirFindsCollected_ = false;
  m_bAdvanced = advanced;
  m_bLostPass = 0;
  m_bDeleted = bDeleted;
  walkStats_ = {};
  directoryClustersRead_ = VisitedClusters();
  markedToEnd_ = VisitedClusters();
  clearListedFolders();
  pendingDirs_.clear();
  orphanDirs_.clear();
  pendingItems_.clear();
  lostFolderReported_ = false;
  fixedRootWalked_ = false;
  otherGeometryFound_ = false;
  outsideTree_ = false;
  entryClusters_.clear();
  passBlock_ = {};
  // Made-up ids of this scan count down from the top again; nothing found by signature yet.
  itemIds_.restartMadeUp();
  rawFolders_.clear();
  nameNodes_.clear();
  rawFinds_.reset();
}

bool CFatEngine::takeBootParameters(bool rawScan) {
  // The boot sector, then FAT32's backup at sector 6; each must give a geometry that fits
  // the volume and a FAT copy with its media signature.
  std::array<std::uint8_t, kSectorBytes> sector{};
  const auto judge = [&](std::uint64_t at, bool backup) {
    readVolumeSectors(sector.data(), kSectorBytes, at);
    const auto params = fs::fat::parseFatBootSector(ByteView(sector));
    if (!params) return false;
    FatCopyBootParams(*params);
    return !fs::fat::bootParamsAreBad(*params, rawScan ? 0 : m_nTotalSectors, backup) && FatCheckFatSignatures() != 2;
  };
  return judge(0, false) || judge(fs::fat::boot::kBackupSector, true);
}

std::uint8_t CFatEngine::bootSectorFatCount() {
  std::array<std::uint8_t, kSectorBytes> sector{};
  for (const std::uint64_t at : {std::uint64_t(0), fs::fat::boot::kBackupSector}) {
    readVolumeSectors(sector.data(), kSectorBytes, at);
    const auto p = fs::fat::parseFatBootSector(ByteView(sector));
    if (p && p->sectorsPerCluster == m_nSectorsPerCluster && p->reservedSectors == m_nReservedSectors &&
        p->sectorsPerFat == m_nSectorsPerFat && p->rootDirSectors == m_nRootDirSectors)
      return p->fatCount;
  }
  return 2;
}

bool CFatEngine::takeRebuiltVolumeParameters() {
  m_nSectorsPerCluster = rebuilt_.sectorsPerCluster;
  m_nSectorsPerFat = rebuilt_.fatSectors;
  m_nReservedSectors = rebuilt_.reservedSectors;
  m_nRootDirSectors = rebuilt_.rootDirSectors;
  m_nFatCount = 2;  // a rebuild finds the data area behind two copies
  // A record whose parameters cannot describe a FAT volume (one rebuilt as another file
  // system, say) is not read as one.
  if (!fs::fat::isClusterSizeAllowed(m_nSectorsPerCluster, true) || m_nSectorsPerFat == 0 || dataBound() <= 2) return false;
  m_nLinkingMode = fs::fat::kLinkContiguous;
  FatVerifyFats();
  return true;
}

void CFatEngine::setClusterBound() {
  if (m_nLinkingMode == fs::fat::kLinkContiguous || m_pFat.empty())
    m_nMaxCluster = std::uint32_t(std::min<std::uint64_t>(m_nTotalSectors / m_nSectorsPerCluster, UINT32_MAX));
  else
    setClusterBoundFromFat();
}

engine::ScanOutcome CFatEngine::ScanVolume(std::uint32_t bDeleted) {
  runVolumeScan(bDeleted);
  return scanOutcome();
}

void CFatEngine::runVolumeScan(std::uint32_t bDeleted) {
  beginScan(bDeleted, 0);
  if (refusesSectorSize()) return;
  if (isRebuiltVolume()) {
    if (!takeRebuiltVolumeParameters()) return endWithInvalidVolume(text::kCauseRebuiltRecord);
  } else if (takeBootParameters()) {
    FatVerifyFats();
  } else {
    // Neither boot sector describes the volume: its geometry is worked out from its data.
    const bool found = FatSearchCriticalInfo() != 0;
    if (stopRequested()) return;
    if (!found || m_nSectorsPerCluster == 0 || m_nSectorsPerFat == 0) return endWithInvalidVolume(text::kCauseNoGeometry);
    progress_.SetFoundText(u"");
  }
  setClusterBound();
  if (isRebuiltVolume()) FatBuildTree();
  else BuildDirectoryTree();
  progress_.setPos(kItemBar, 100000);
}

engine::ScanOutcome CFatEngine::ScanAdvanced(std::uint32_t bDeleted) {
  beginScan(bDeleted, 1);
  if (refusesSectorSize()) return scanOutcome();
  if (bDeleted) SearchDirectoryClusters();
  else FatScanAdvancedBody();
  return scanOutcome();
}

void CFatEngine::FatScanAdvancedBody() {
  if (isRebuiltVolume()) {
    if (!takeRebuiltVolumeParameters()) return endWithInvalidVolume(text::kCauseRebuiltRecord);
  } else if (FatSearchCriticalInfo() != 0) {
    progress_.SetFoundText(u"");
    if (m_nSectorsPerCluster == 0 || m_nSectorsPerFat == 0) return endWithInvalidVolume(text::kCauseNoGeometry);
  } else {
    if (stopRequested()) return;
    if (!PrepareVolumeParameters()) return endWithInvalidVolume(text::kCauseNoGeometry);
  }
  FatBuildTree();
}

std::uint32_t CFatEngine::PrepareVolumeParameters() {
  if (isRebuiltVolume()) {
    if (!takeRebuiltVolumeParameters()) return 0;
  } else if (takeBootParameters()) {
    FatVerifyFats();
  } else {
    app_.m_bBusy = 0;
    app_.m_bStopRequested = 0;
    return 0;
  }
  if (m_nLinkingMode != fs::fat::kLinkContiguous) setClusterBoundFromFat();
  return 1;
}

void CFatEngine::walkRoot() {
  if (m_nFatType == fs::fat::kFat32) {
    if (m_nRootCluster < 2 || m_nRootCluster > dataBound()) m_nRootCluster = 2;
    WalkRootDirectoryChain(m_nRootCluster);
  } else {
    WalkFixedRootDirectory();
  }
}

void CFatEngine::BuildDirectoryTree() {
  pendingItems_.clear();
  logStarted(engine::texts::kCreatingDirectoryTree);
  walkRoot();
  if (!m_bDeleted) {
    if (m_nFoundCount == 0 && pendingDirs_.empty()) {
      // Nothing reached from the root: the data area is searched for the folders instead.
      notifier_.Show(text::kLongWait, kBitmapNotice, kButtonsOk);
      if (!isAdvancedScanKind(app_.m_nScanKind) && !isRebuiltVolume()) {
        takeGeometryOfDirectoryFinds();
        FatBuildClusterMap();
        FatRunTreePasses();
      }
    } else if (!stopRequested()) {
      FatAddDeletedEntries(1);
    }
  } else if (!stopRequested()) {
    AddDeletedDirectories();
  }
  pendingDirs_.clear();
  pendingItems_.clear();
  logFinished();
  if (m_pConsole) m_pConsole->CollapseRootChildren();
}

void CFatEngine::forEachFixedRootItem(
    const std::function<void(FOUND_ITEM& record, std::u16string_view name, std::size_t offset)>& take,
    bool emptyFiles) {
  const std::vector<std::uint8_t> root = readFixedRoot();
  const ByteView view(root);
  for (std::size_t o = 0; o + dirent::kSize <= root.size() && !stopRequested(); o += dirent::kSize) {
    if (root[o] == dirent::kEndMark) break;
    const ByteView e = *view.sub(o, dirent::kSize);
    if (!entryTaken(e, emptyFiles)) continue;
    FOUND_ITEM record;
    fs::fat::EntryName name;
    if (!FatMakeEntryName(o, name, view, record, 0xFFFFFFFF, 0, 0, emptyFiles)) continue;
    take(record, name.view(), o);
  }
}

std::vector<std::uint8_t> CFatEngine::readFixedRoot() {
  // Only what lies inside the volume: past its end the folder reads as zeros, whose first
  // entry ends it, however many sectors the boot sector gives it.
  const std::uint64_t rootStart = fixedRootStart();
  const std::uint64_t sectors = m_nTotalSectors == 0 ? m_nRootDirSectors
                                : rootStart >= m_nTotalSectors ? 0
                                : std::min<std::uint64_t>(m_nRootDirSectors, m_nTotalSectors - rootStart);
  std::vector<std::uint8_t> root(std::size_t(sectors) * kSectorBytes, 0);
  if (sectors != 0) readVolumeSectors(root.data(), std::uint32_t(root.size()), rootStart);
  return root;
}

void CFatEngine::WalkFixedRootDirectory() {
  fixedRootWalked_ = true;
  forEachFixedRootItem([&](FOUND_ITEM& record, std::u16string_view name, std::size_t o) {
    const bool reported = applyEntryRules(record, name, std::uint32_t(o), 0, 0xFFFFFFFF, 1, false);
    runWalks();
    if (reported && record.isFolder()) progress_.stepIt(kItemBar);
  }, true);
}

void CFatEngine::forEachChainItem(std::uint32_t first, bool isRoot, std::uint8_t deleted, const ChainItemTaker& take) {
  std::uint32_t byteCount = 0;
  const auto chain = FollowClusterChain(first, byteCount);
  if (bytesPerCluster() == 0) return;
  std::vector<std::uint8_t> buffer(bytesPerCluster(), 0);
  const ByteView view(buffer);
  std::uint32_t previous = 0xFFFFFFFF;
  std::uint32_t reportedHere = 0;
  for (std::size_t i = 0; i < chain.size() && !stopRequested(); ++i) {
    // In the quick scan a chain whose first cluster gave nothing is not read further.
    if (!m_bDeleted && i > 0 && reportedHere == 0) break;
    const std::uint32_t c = chain[i];
    ReadClusterSectors(c, 0, buffer.data(), m_nSectorsPerCluster);
    // A sub-directory's first cluster: not the root (which ends there), no files of a chain.
    const bool subDirectory = buffer[0] == dirent::kDot;
    if (subDirectory && isRoot) return;
    for (std::size_t o = 0; !subDirectory && o + dirent::kSize <= buffer.size() && !stopRequested(); o += dirent::kSize) {
      if (buffer[o] == dirent::kEndMark) {
        if (isRoot) return;
        break;
      }
      const ByteView e = *view.sub(o, dirent::kSize);
      if (!entryTaken(e, isRoot)) continue;
      FOUND_ITEM record;
      if (deleted) record.m_byFlags |= kItemDeleted;
      fs::fat::EntryName name;
      if (!FatMakeEntryName(o, name, view, record, previous, 0, 0, isRoot)) continue;
      if (take(record, name.view(), std::uint32_t(o), c, previous)) ++reportedHere;
    }
    if (isRoot) progress_.stepIt(kItemBar);
    previous = c;
  }
}

void CFatEngine::WalkRootDirectoryChain(std::uint32_t rootCluster) {
  forEachChainItem(rootCluster, true, 0,
                   [&](FOUND_ITEM& record, std::u16string_view name, std::uint32_t o, std::uint32_t c,
                       std::uint32_t previous) {
                     if (m_bAdvanced && m_nLinkingMode != fs::fat::kLinkContiguous) MarkItemClusters(c, nullptr, 0);
                     const bool reported = applyEntryRules(record, name, o, c, previous, 1, false);
                     runWalks();
                     return reported;
                   });
}

void CFatEngine::AddDeletedDirectories() {
  logSection(engine::texts::kAddingDeleted);
  std::vector<std::uint8_t> buffer(std::size_t(std::max<std::uint32_t>(m_nSectorsPerCluster, 32)) * kSectorBytes, 0);
  // Walks append the deleted folders they meet, so the chain is followed as it grows.
  for (PENDING_DIR_NODE* node = m_pPendingDirs; node && !stopRequested(); node = decltype(pendingDirs_)::nextLive(node)) {
    if (FatIsListedFolder(node->key)) continue;
    listFolder(node->key, node->itemId, node->spare);
    const std::uint32_t cluster = std::uint32_t(node->key);
    ReadClusterSectors(cluster, 0, buffer.data(), m_nSectorsPerCluster);
    if (buffer[0] == dirent::kDot && buffer[dirent::kSize] == dirent::kDot)
      FatWalkDirectory(node->itemId, cluster, 1, 0);
    else
      FatWalkDeletedDirectory(node->itemId, cluster, 0);
  }
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

void CFatEngine::FatAddDeletedEntries(std::uint32_t mode) {
  logItem(engine::texts::kAddingDeleted);
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> first(std::size_t(std::max<std::uint32_t>(m_nSectorsPerCluster, 32)) * kSectorBytes, 0);
  for (PENDING_DIR_NODE* node = m_pPendingDirs; node && !stopRequested(); node = decltype(pendingDirs_)::nextLive(node)) {
    // A folder already listed is not reported or walked a second time.
    if (FatIsListedFolder(node->key)) continue;
    // The directory data that holds the folder's entry.
    if (node->bufferCluster == 0 && m_nFatType != fs::fat::kFat32) {
      data.assign(std::size_t(m_nRootDirSectors) * kSectorBytes, 0);
      readVolumeSectors(data.data(), std::uint32_t(data.size()), fixedRootStart());
    } else {
      if (node->bufferCluster < 2) continue;
      data.assign(bytesPerCluster(), 0);
      ReadClusterSectors(node->bufferCluster, 0, data.data(), m_nSectorsPerCluster);
    }
    FOUND_ITEM record;
    record.m_nParentId = std::uint32_t(node->parentKey);
    fs::fat::EntryName name;
    if (!FatMakeEntryName(node->entryOffset, name, ByteView(data), record, node->previousCluster, 0, 0)) continue;
    listFolder(node->key, record.m_nId, 0);
    record.m_byAttributes = dirent::kAttrDirectory;
    record.m_byFlags |= kItemDeleted;
    reportItem(record, name.view(), false);
    const std::uint32_t cluster = std::uint32_t(record.m_nRecordKey);
    ReadClusterSectors(cluster, 0, first.data(), m_nSectorsPerCluster);
    if (fs::fat::startsWithDotEntries(ByteView(first)))
      FatWalkDirectory(record.m_nId, cluster, 1, mode);
    else
      FatWalkDeletedDirectory(record.m_nId, cluster, mode);
  }
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

}  // namespace qelda::fat
