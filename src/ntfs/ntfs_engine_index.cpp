// The directory index walk of the quick scan.
#include <algorithm>
#include <cstdio>

#include "engine/scan_state.h"
#include "ntfs/ntfs_engine.h"
#include "fs/ntfs_layout.h"
#include "platform/text.h"

namespace qelda::ntfs {

namespace L = fs::ntfs::layout;

namespace {

// A folder's $BITMAP: one bit per index block; 1 MiB of it covers 8 Mi blocks.
constexpr std::uint64_t kMaxIndexBitmapBytes = std::uint64_t(1) << 20;

bool isSaneIndexBlockSize(std::uint32_t size) {
  return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

// The end of the attribute that holds `offset`, or the record's end when none does.
std::size_t attributeEndAround(platform::ByteView record, std::size_t offset) {
  for (const fs::ntfs::AttributeRef& a : fs::ntfs::walkAttributes(record, L::kMaxAttributes).attributes)
    if (offset >= a.offset && offset < std::size_t(a.offset) + a.length) return std::size_t(a.offset) + a.length;
  return record.size();
}

}  // namespace

void CNtfsEngine::markRecord(std::uint32_t record) {
  if (record >= mftRecordCount()) return;
  if (record >= recordMap_.size()) {
    // Doubling keeps the growth cheap; the $MFT's record count caps it.
    const std::uint64_t grown = std::max<std::uint64_t>({std::uint64_t(record) + 1, recordMap_.size() * 2, 1024});
    recordMap_.resize(std::size_t(std::min(grown, mftRecordCount())));
  }
  recordMap_[record] = true;
}

bool CNtfsEngine::isMarked(std::uint32_t record) const { return record < recordMap_.size() && recordMap_[record]; }

void CNtfsEngine::noteReportedId(std::uint32_t id) {
  if (id >= mftRecordCount()) {
    reportedOtherIds_.insert(id);
    return;
  }
  if (id >= reportedRecordIds_.size())
    reportedRecordIds_.resize(std::size_t(std::min<std::uint64_t>(
        std::max<std::uint64_t>({std::uint64_t(id) + 1, reportedRecordIds_.size() * 2, 1024}), mftRecordCount())));
  reportedRecordIds_[id] = true;
}

bool CNtfsEngine::isReportedId(std::uint32_t id) const {
  return id < reportedRecordIds_.size() ? bool(reportedRecordIds_[id]) : reportedOtherIds_.count(id) != 0;
}

bool CNtfsEngine::inFolderQueue(std::uint32_t record) const { return folderIds_.count(record) != 0; }

void CNtfsEngine::appendFolderQueue(std::uint32_t record) {
  if (record != 0) folderIds_.try_emplace(record, record);
}

std::uint32_t CNtfsEngine::reportItem(const FOUND_ITEM& item, std::u16string_view name) {
  // After the deep scan ids are the search's own, never record numbers, and placeholders
  // take theirs from the same counter: nothing to keep apart.
  if (advanced_) return reporter_.report(item, name, totals(), runRecords_.size());
  noteReportedId(item.m_nId);
  return reporter_.report(item, name, totals(), mftRecordCount());
}

bool CNtfsEngine::runsHold(std::uint32_t record, std::uint64_t size) {
  FOUND_ITEM probe;
  probe.m_nId = record;
  probe.m_nRecordKey = record;
  std::uint32_t clusters = 0;
  return size <= heldBytes(GetDataRuns(probe, clusters, nullptr));
}

std::uint32_t CNtfsEngine::WalkFolderIndex(std::uint32_t record) {
  // An explicit stack keeps the order of a recursive walk (each folder's branch before the
  // next entry of its parent) without putting the depth of the disk's tree on the call stack.
  std::vector<IndexFrame> stack;
  walkedFolders_.insert(record);
  stack.push_back({record, readFolderEntries(record), 0});
  while (!stack.empty() && !stopRequested()) {
    IndexFrame& top = stack.back();
    if (top.next == top.entries.size()) {
      stack.pop_back();
      continue;
    }
    const fs::ntfs::IndexEntryInfo entry = std::move(top.entries[top.next++]);
    const std::uint32_t folder = top.folder;
    if (reportIndexEntry(entry, folder)) stack.push_back({entry.record, readFolderEntries(entry.record), 0});
  }
  return 1;
}

bool CNtfsEngine::reportIndexEntry(const fs::ntfs::IndexEntryInfo& entry, std::uint32_t walkedFolder) {
  // The DOS twin of a long name is the only name space left out: POSIX names (all that
  // Linux writes) have no twin.
  if (entry.nameSpace == 2) return false;
  if (entry.record <= 1 || entry.record == rootRecord_ || entry.parent == 0) return false;
  if (entry.realSize >= m_nSectorCount * 512 && !runsHold(entry.record, entry.realSize)) return false;
  // An entry left over for a record that has since been deleted or reused is no live file:
  // the deleted-files pass reports what that record now holds.
  if (const RecordHeader* h = headerOf(entry.record)) {
    if (!(h->flags & L::kRecordInUse) || (entry.sequence != 0 && entry.sequence != h->sequence)) return false;
  }

  if (entry.parent != walkedFolder && !inFolderQueue(entry.parent)) {
    // One made-up folder stands for each parent that was never reported.
    char name[32];
    std::snprintf(name, sizeof name, "REF-%d", int(entry.parent));
    folderIds_[entry.parent] = reportPlaceholder(entry.parent, rootRecord_, platform::widenLatin1(name));
  }

  FOUND_ITEM item;
  item.m_nId = entry.record;
  item.m_nRecordKey = entry.record;
  item.m_nParentId = parentIdFor(entry.parent);
  item.m_nSize = entry.realSize;
  item.m_ftCreated = entry.created;
  item.m_ftModified = entry.modified;
  const bool folder = entry.isFolder();
  item.m_byAttributes = folder ? kItemFolder : kItemFile;
  if (entry.attributesByte1() & 0x08) item.m_byFlags |= kItemCompressed;
  if (entry.attributesByte1() & 0x40) item.m_byFlags |= kItemEncrypted;

  const bool wasMarked = isMarked(entry.record);
  reportItem(item, entry.name);
  markRecord(entry.record);
  if (!folder) return false;
  appendFolderQueue(entry.record);
  // A damaged index that names an ancestor again must not send the walk round in circles.
  return !wasMarked && walkedFolders_.insert(entry.record).second;
}

std::vector<fs::ntfs::IndexEntryInfo> CNtfsEngine::readFolderEntries(std::uint32_t record) {
  markRecord(record);
  Record buffer{};
  if (!readRecord(record, buffer)) return {};
  const platform::ByteView view(buffer);
  const auto data = fs::ntfs::FindRecordData(view, true);
  if (!data || data->kind != fs::ntfs::kKindFolder) return {};
  if (data->resident) {
    return fs::ntfs::parseIndexEntries(view, data->offset, attributeEndAround(view, data->offset),
                                       fs::ntfs::recordEntryLimit(view));
  }

  std::vector<fs::ntfs::RunEntry> runs;
  std::uint64_t allocated = 0;
  auto addRunsOf = [&](platform::ByteView rec, const fs::ntfs::RecordData& d, bool acceptUnterminated) {
    if (d.kind != fs::ntfs::kKindFolder || d.resident || d.attributeOffset == 0) return;
    std::size_t offset = d.offset;
    fs::ntfs::DecodeDataRuns(rec.sub(0, attributeEndAround(rec, d.attributeOffset)).value_or(platform::ByteView()), offset, runs,
                   acceptUnterminated, m_nSectorsPerCluster);
    allocated += rec.le64(d.attributeOffset + L::kAttrAllocatedSize).value_or(0);
  };
  if (data->hasAttributeList) {
    const std::vector<std::uint8_t> list = readAttributeListContent(buffer);
    for (const std::uint32_t part : fs::ntfs::ReadAttributeListRecords(platform::ByteView(list), std::nullopt)) {
      if (part == record) {
        addRunsOf(view, *data, true);
        continue;
      }
      Record ext{};
      if (!readRecord(part, ext)) continue;
      const auto extData = fs::ntfs::FindRecordData(platform::ByteView(ext), true);
      if (extData) addRunsOf(platform::ByteView(ext), *extData, true);
    }
  } else {
    addRunsOf(view, *data, false);
  }

  std::vector<fs::ntfs::IndexEntryInfo> entries;
  // Blocks the folder's $BITMAP marks free hold entries of files since deleted.
  if (!runs.empty())
    entries = ReportIndexBlocks(runs, data->indexBlockSize, allocated,
                                readAttributeValue(buffer, L::kTypeBitmap, kMaxIndexBitmapBytes));
  if (data->rootEntryOffset != 0) {
    auto rootEntries = fs::ntfs::parseIndexEntries(view, data->rootEntryOffset, attributeEndAround(view, data->rootEntryOffset),
                                         fs::ntfs::recordEntryLimit(view));
    entries.insert(entries.end(), std::make_move_iterator(rootEntries.begin()),
                   std::make_move_iterator(rootEntries.end()));
  }
  return entries;
}

std::vector<fs::ntfs::IndexEntryInfo> CNtfsEngine::ReportIndexBlocks(const std::vector<fs::ntfs::RunEntry>& runs, std::uint32_t blockSize,
                                                           std::uint64_t allocatedBytes,
                                                           const std::vector<std::uint8_t>& inUse) {
  const auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents || extents->empty() || !m_nSectorsPerCluster) return {};
  std::uint64_t totalBytes = fs::ntfs::runClusterCount(runs) * clusterBytes();
  if (allocatedBytes != 0) totalBytes = std::min(totalBytes, allocatedBytes);
  totalBytes = std::min(totalBytes, m_nSectorCount * 512);

  if (!isSaneIndexBlockSize(blockSize)) {
    // Without a usable size in the root: 4096 bytes, or 2048 when the first run is too short
    // for 4096 or the second half of the first 4096 bytes starts another block.
    blockSize = 4096;
    if (runs.front().length * std::uint64_t(m_nSectorsPerCluster) <= 7) {
      blockSize = 2048;
    } else {
      std::vector<std::uint8_t> probe(4096);
      readExtentBytes(*extents, 0, probe);
      if (probe[0x800] == 'I' && probe[0x801] == 'N') blockSize = 2048;
    }
  }

  std::vector<fs::ntfs::IndexEntryInfo> entries;
  std::vector<std::uint8_t> block(blockSize);
  for (std::uint64_t offset = 0; offset + blockSize <= totalBytes && !stopRequested(); offset += blockSize) {
    const std::uint64_t index = offset / blockSize;
    if (!inUse.empty() && (index / 8 >= inUse.size() || !(inUse[std::size_t(index / 8)] & (1u << (index % 8)))))
      continue;
    const auto where = fs::ntfs::mapVcn(*extents, offset / clusterBytes());
    if (where && !where->hole &&
        !reportedIndexBlocks_.insert(where->lcn * clusterBytes() + offset % clusterBytes()).second)
      continue;
    // A block that continues into the next run is gathered from both.
    if (readExtentBytes(*extents, offset, block) == 0) continue;
    if (!fs::ntfs::applyIndexBlockFixup(block)) continue;
    auto blockEntries = fs::ntfs::parseIndexBlock(platform::ByteView(block));
    entries.insert(entries.end(), std::make_move_iterator(blockEntries.begin()),
                   std::make_move_iterator(blockEntries.end()));
  }
  return entries;
}

}  // namespace qelda::ntfs
