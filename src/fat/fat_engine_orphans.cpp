// What the directory tree did not reach: files of the fixed root not yet reported, FAT
// chains in use that no reported item owns (their files go under "$Root<cluster>"), and free
// clusters that still hold directory entries ("$Broken<cluster>").
#include <algorithm>
#include <array>
#include <string>

#include "fat/fat_engine.h"
#include "fat/fat_texts.h"
#include "fs/fat_dir_entry.h"
#include "fs/fat_layout.h"
#include "platform/text.h"

namespace qelda::fat {

namespace dirent = fs::fat::dirent;

using platform::ByteView;

namespace {

// Entries smaller than this (but not empty) are unlikely in a directory worth keeping.
constexpr std::uint32_t kPlausibleMinSize = 10;
// Status texts are refreshed every this many clusters.
constexpr std::uint32_t kStatusEvery = 32;

std::u16string numberText(std::uint64_t n) { return platform::fromUtf8(std::to_string(n)); }

bool cleanEnd(ByteView e) { return e.le32(0).value_or(1) == 0; }

// How a cluster's entries were counted: the entries that count, where the count ended and
// whether that end was a clean one (an entry of zeros).
struct EntryCount {
  std::vector<std::size_t> counted;  // offsets
  std::size_t endIndex = 0;          // entry index at which the count stopped
  bool clean = false;
  bool rejected = false;
  // One entry counts as a directory only when the count ended right after it or cleanly.
  bool accepted() const {
    if (rejected || counted.empty()) return false;
    return counted.size() >= 2 || clean || endIndex <= 1;
  }
};

}  // namespace

void CFatEngine::AddRootAndBrokenEntries() {
  logItem(text::kAddingRootFiles);
  if (m_nFatType == fs::fat::kFat32) AddOrphanRootChains();
  else AddFixedRootFiles();
  if (stopRequested()) {
    logItem(engine::texts::kProcessAborted);
    return;
  }
  logItem(text::kAddingBroken);
  AddBrokenEntries();
  if (stopRequested()) logItem(engine::texts::kProcessAborted);
}

void CFatEngine::AddFixedRootFiles() {
  forEachFixedRootItem([&](FOUND_ITEM& record, std::u16string_view name, std::size_t) {
    if (record.isFolder()) {
      // Folders found by their clusters take their names from the root.
      if (m_pConsole) m_pConsole->QueueItemRename(record, name);
    } else if (!fixedRootWalked_) {
      // Root files the scan's own root walk reported are not reported twice.
      reportItem(record, name, false);
    }
  });
}

void CFatEngine::AddOrphanRootChains() {
  if (m_pClusterMap.empty()) {
    AddOrphanRootChain(2, 1);
    return;
  }
  const std::uint32_t limit = std::min(m_nMaxCluster, m_nClusterMapSize);
  for (std::uint32_t c = 2; c < limit && !stopRequested(); ++c) {
    if (c % kStatusEvery == 0) blockBar_.showReading(engine::texts::kReadingCluster, c, m_nMaxCluster);
    // In use in the FAT, and owned by nothing reported.
    if (m_pClusterMap[c] != 1) continue;
    if (m_nLinkingMode == fs::fat::kLinkContiguous) {
      AddClusterDirectory(c, m_nMaxCluster, 0, 1);
      continue;
    }
    const auto entry = fatEntry(c);
    if (!entry) break;
    MarkItemClusters(c, nullptr, 0);
    AddOrphanRootChain(c, *entry == 0 ? 1 : 0);
  }
}

bool CFatEngine::FatLooksLikeRoot(std::uint32_t cluster) {
  if (!mayHoldEntries(cluster)) return false;
  const std::vector<std::uint8_t> data = [&] {
    const ByteView held = heldCluster(passBlock_, cluster);
    return std::vector<std::uint8_t>(held.data(), held.data() + held.size());
  }();
  const ByteView view(data);
  EntryCount count;
  std::size_t o = 0;
  for (; o + dirent::kSize <= data.size(); o += dirent::kSize) {
    const ByteView e = *view.sub(o, dirent::kSize);
    if (o == 0 && data[0] == dirent::kDot) break;  // a sub-directory's first cluster
    if (data[o] == dirent::kEndMark) {
      count.clean = cleanEnd(e);
      break;
    }
    const std::uint8_t verdict = FatValidateDirEntry(nullptr, e, m_nMaxCluster, fs::fat::EntrySite::UnknownData);
    if (verdict == 0) break;
    if (verdict == 2) continue;
    const std::uint32_t size = e.le32(dirent::kFileSize).value_or(0);
    if (size == 0 || size >= kPlausibleMinSize) count.counted.push_back(o);
  }
  count.endIndex = o / dirent::kSize;
  return count.accepted();
}

void CFatEngine::AddOrphanRootChain(std::uint32_t cluster, std::uint8_t bDeleted) {
  if (!FatLooksLikeRoot(cluster)) return;
  forEachChainItem(cluster, false, bDeleted,
                   [&](FOUND_ITEM& record, std::u16string_view name, std::uint32_t, std::uint32_t, std::uint32_t) {
                     if (record.isFolder()) {
                       if (m_pConsole) m_pConsole->QueueItemRename(record, name);
                       return false;
                     }
                     MarkItemClusters(std::uint32_t(record.m_nRecordKey), &record, 0);
                     // Files of a chain other than the root's own go into a folder named after the chain.
                     if (cluster != 2) {
                       auto listed = listedIds_.find(cluster);
                       if (listed == listedIds_.end()) {
                         const std::uint32_t id = itemIds_.take();
                         reportMadeUpFolder(cluster, id, 0,
                                            std::u16string(text::kRootFolderPrefix) + numberText(cluster), false);
                         listFolder(cluster, id);
                         listed = listedIds_.find(cluster);
                       }
                       record.m_nParentId = listed->second;
                     }
                     reportItem(record, name, false);
                     return true;
                   });
}

std::uint32_t CFatEngine::AddClusterDirectory(std::uint32_t cluster, std::uint32_t bound, std::uint8_t bBroken,
                                              std::uint8_t bDeleted) {
  if (cluster < m_nClusterMapSize) m_pClusterMap[cluster] = 2;
  if (!mayHoldEntries(cluster)) return 0;
  const std::vector<std::uint8_t> data = [&] {
    const ByteView held = heldCluster(passBlock_, cluster);
    return std::vector<std::uint8_t>(held.data(), held.data() + held.size());
  }();
  const ByteView view(data);
  const std::size_t lastSector = data.size() >= fs::fat::kSectorBytes ? data.size() - fs::fat::kSectorBytes : 0;
  EntryCount count;
  std::size_t o = 0;
  for (; o + dirent::kSize <= data.size(); o += dirent::kSize) {
    const ByteView e = *view.sub(o, dirent::kSize);
    if (bBroken && o == 0 && data[0] == dirent::kDot) break;
    if (data[o] == dirent::kEndMark) {
      count.clean = cleanEnd(e);
      break;
    }
    const std::uint8_t verdict = FatValidateDirEntry(nullptr, e, bound, fs::fat::EntrySite::UnknownData);
    if (verdict == 0) {
      // A refused entry in the last sector may be where the directory's data ends.
      count.rejected = o < lastSector;
      break;
    }
    if (verdict == 2) continue;
    const std::uint32_t size = e.le32(dirent::kFileSize).value_or(0);
    const std::uint16_t low = e.le16(dirent::kClusterLow).value_or(0);
    if ((size == 0 || size >= kPlausibleMinSize) && low != 0 && low <= m_nMaxCluster) count.counted.push_back(o);
  }
  count.endIndex = o / dirent::kSize;
  if (!count.accepted()) return 0;
  // A directory of one or two entries must name them all.
  if (count.counted.size() <= 2) {
    for (const std::size_t at : count.counted) {
      FOUND_ITEM probe;
      fs::fat::EntryName name;
      if (!FatMakeEntryName(at, name, view, probe, 0xFFFFFFFF, 0, 1)) return 0;
    }
  }
  const std::uint32_t folderId = itemIds_.take();
  reportMadeUpFolder(cluster, folderId, 0,
                     std::u16string(bBroken ? text::kBrokenFolderPrefix : text::kRootFolderPrefix) + numberText(cluster),
                     bDeleted != 0);
  listFolder(cluster, folderId);
  const bool subDirectory = data[0] == dirent::kDot;
  for (std::size_t at = 0; !subDirectory && at + dirent::kSize <= data.size() && !stopRequested(); at += dirent::kSize) {
    if (data[at] == dirent::kEndMark) break;
    // Taken as a directory: its entries are judged as a folder's.
    if (FatValidateDirEntry(nullptr, *view.sub(at, dirent::kSize), bound, fs::fat::EntrySite::Folder) != 1) continue;
    FOUND_ITEM record;
    record.m_nParentId = folderId;
    if (bDeleted) record.m_byFlags |= kItemDeleted;
    fs::fat::EntryName name;
    if (!FatMakeEntryName(at, name, view, record, 0xFFFFFFFF, 0, 1)) continue;
    if (record.isFolder()) {
      if (!bBroken && m_pConsole) m_pConsole->QueueItemRename(record, name.view());
      continue;
    }
    FatMarkClusterListed(std::uint32_t(record.m_nRecordKey));
    reportItem(record, name.view(), false);
  }
  return 1;
}

void CFatEngine::AddBrokenEntries() {
  if (m_nLinkingMode == fs::fat::kLinkContiguous || m_pClusterMap.empty()) return;
  blockBar_.start(m_nMaxCluster);
  const std::uint32_t limit = std::min(m_nMaxCluster, m_nClusterMapSize);
  for (std::uint32_t c = 2; c < limit && !stopRequested(); ++c) {
    blockBar_.step();
    // This pass's line is spaced apart from the others': a space after "cluster" and at the end.
    if (c % kStatusEvery == 0 && blockBar_.shown())
      progress_.SetStatusText(
          engine::readingText(std::u16string(engine::texts::kReadingCluster) + u" ", c, m_nMaxCluster) + u" ");
    // Free, or at least owned by nothing the FAT or a reported item accounts for.
    if (m_pClusterMap[c] != 0) continue;
    const auto entry = fatEntry(c);
    if (!entry) break;
    const bool free = *entry == 0;
    if (AddClusterDirectory(c, m_nMaxCluster, 1, free ? 1 : 0) || !free || !m_pRawSearch || !isRebuiltVolume())
      continue;
    // On a volume rebuilt from its directory clusters, a free cluster that holds no directory
    // may start a file of a type the user chose.
    std::array<std::uint8_t, fs::fat::kSectorBytes> first{};
    readFirstSector(c, first.data());
    keepRawMatch(c, first);
    // The clusters a kept file covers hold nothing more to look for.
    if (const std::uint64_t after = rawCoveredUntil(); after > c + 1 && after <= limit) c = std::uint32_t(after - 1);
  }
}

}  // namespace qelda::fat
