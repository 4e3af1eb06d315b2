// Deleted files and folders: the quick scan's pass over the records its walk did not reach,
// and the deleted-files scan, which collects from the whole $MFT and builds the folder
// paths of what it found.
#include <algorithm>

#include "engine/scan_state.h"
#include "fs/ntfs_layout.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_texts.h"

namespace qelda::ntfs {

namespace L = fs::ntfs::layout;

namespace {

// Records below this are the volume's own files.
constexpr std::uint32_t kFirstUserRecord = 16;
constexpr std::size_t kSweepBytes = std::size_t(1) << 20;
// A record reference's record number; its top 16 bits are the sequence number.
constexpr std::uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;

std::u16string folderName(std::u16string_view word, std::uint32_t number) {
  std::u16string name(word);
  name.push_back(u' ');
  for (const char c : std::to_string(number)) name.push_back(char16_t(c));
  return name;
}

}  // namespace

// ---------------------------------------------------------------- the sweep over $MFT

void CNtfsEngine::sweepMft(std::uint32_t first, const std::function<bool(std::uint32_t, RecordSpan)>& visit,
                           const std::function<bool(std::uint64_t)>& onBlock) {
  const std::uint64_t count = mftRecordCount();
  if (first >= count) return;
  // No larger than the records there are: a small $MFT is not swept through a megabyte
  // of zeroed memory.
  const std::size_t size = recordBytes_;
  std::vector<std::uint8_t> block(std::size_t(std::min<std::uint64_t>(kSweepBytes / size, count - first) * size));
  for (std::uint64_t r = first; r < count;) {
    const std::uint64_t n = std::min<std::uint64_t>(count - r, kSweepBytes / size);
    if (onBlock && !onBlock(n)) return;
    // Holes in the run list and clusters outside the volume read as zeros: their records
    // are counted and never signed.
    readExtentBytes(mftExtents_, r * size, std::span<std::uint8_t>(block.data(), std::size_t(n * size)));
    for (std::uint64_t i = 0; i < n; ++i) {
      const RecordSpan record(block.data() + i * size, size);
      if (!fs::ntfs::ApplyRecordFixup(record)) continue;
      if (!visit(std::uint32_t(r + i), record)) return;
    }
    r += n;
  }
}

void CNtfsEngine::loadRecordHeaders() {
  recordHeaders_.clear();
  sweepMft(0, [this](std::uint32_t number, RecordSpan record) {
    const platform::ByteView view(record);
    RecordHeader h;
    h.record = number;
    h.sequence = view.le16(L::kRecordSequence).value_or(0);
    h.flags = view.u8(L::kRecordFlags).value_or(0);
    h.parent = fs::ntfs::GetRecordParent(view);
    recordHeaders_.push_back(h);
    return !stopRequested();
  });
}

const CNtfsEngine::RecordHeader* CNtfsEngine::headerOf(std::uint32_t record) const {
  // Where every record so far was signed, a record's header sits at its own number.
  if (record < recordHeaders_.size() && recordHeaders_[record].record == record) return &recordHeaders_[record];
  const auto it = std::lower_bound(recordHeaders_.begin(), recordHeaders_.end(), record,
                                   [](const RecordHeader& h, std::uint32_t r) { return h.record < r; });
  return it != recordHeaders_.end() && it->record == record ? &*it : nullptr;
}

// ---------------------------------------------------------------- one record as an item

std::uint64_t CNtfsEngine::recordDataSize(const Record& record, std::uint32_t number, std::uint64_t key,
                                          const fs::ntfs::RecordData& data, RecordItem& out) {
  const platform::ByteView view(record);
  // A file record whose only stream is the index in its record (the files of $Extend) has no
  // content to read.
  if (data.resident && data.kind != fs::ntfs::kKindFile) return 0;
  if (data.resident) {
    const auto value = view.le32(data.attributeOffset + L::kAttrValueLength);
    return value ? (*value & 0xFFFF) : 0;
  }
  out.nonResident = true;
  out.dataOffset = data.attributeOffset;
  out.runListOffset = std::uint16_t(data.offset - data.attributeOffset);
  // The stream's length, when the volume can hold it: its initialized size only says where
  // the zeros begin (before the end of a sparse or preallocated file).
  const std::uint64_t length = view.le64(data.attributeOffset + L::kAttrRealSize).value_or(0);
  if (length != 0 && length / 512 <= m_nSectorCount) return length;
  // Else what the runs cover: those of every listed record, or the record's own.
  FOUND_ITEM probe = out.item;
  probe.m_nId = number;
  probe.m_nRecordKey = key;
  std::uint32_t clusters = 0;
  std::vector<fs::ntfs::RunEntry> runs;
  if (data.hasAttributeList) {
    runs = GetDataRuns(probe, clusters, nullptr);
  } else {
    std::size_t offset = data.offset;
    fs::ntfs::DecodeDataRuns(view, offset, runs, false, m_nSectorsPerCluster);
    clusters = std::uint32_t(std::min<std::uint64_t>(fs::ntfs::runClusterCount(runs), 0xFFFFFFFFu));
  }
  // A sparse or compressed stream may be longer than the volume: its holes are zeros that
  // take no room. Its length stands when its runs hold it.
  if (length != 0 && length <= heldBytes(runs)) return length;
  const std::uint64_t bytes = std::uint64_t(clusters) * clusterBytes();
  return bytes / 512 <= m_nSectorCount ? bytes : 0;
}

std::uint64_t CNtfsEngine::heldBytes(const std::vector<fs::ntfs::RunEntry>& runs) const {
  const auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents || !m_nSectorsPerCluster) return 0;
  // Holes from many extension records could count past 64 bits of bytes.
  const std::uint64_t clusters = fs::ntfs::tallyClusters(*extents, volumeClusters()).held();
  return clusters > ~std::uint64_t{0} / clusterBytes() ? ~std::uint64_t{0} : clusters * clusterBytes();
}

std::optional<CNtfsEngine::RecordItem> CNtfsEngine::describeRecord(const Record& record, bool longNameOnly,
                                                                   std::uint32_t number) {
  const platform::ByteView view(record);
  // An extension record holds attributes of its base: never a file of its own.
  if ((view.le64(L::kRecordBaseReference).value_or(0) & kRecordNumberMask) != 0) return std::nullopt;
  const std::uint8_t flags = view.u8(L::kRecordFlags).value_or(0);
  const bool folder = (flags & L::kRecordFolder) != 0;
  const auto data = fs::ntfs::FindRecordData(view, folder);
  if (!data) return std::nullopt;
  std::optional<std::u16string> name = fs::ntfs::GetRecordLongFileName(view);
  if (!name && !longNameOnly) name = fs::ntfs::GetRecordFileName(view);
  if (!name && data->hasAttributeList) {
    if (auto listed = listedFileName(record, longNameOnly, number)) name = std::move(listed->name);
  }
  if (!name || *name == u".") return std::nullopt;

  RecordItem out;
  out.name = std::move(*name);
  const fs::ntfs::RecordTimes times = fs::ntfs::GetRecordTimes(view);
  out.item.m_ftCreated = times.created;
  out.item.m_ftModified = times.modified;
  out.contentFlag = data->contentFlag;
  if (data->contentFlag == fs::ntfs::kContentCompressed) out.item.m_byFlags |= kItemCompressed;
  if (data->contentFlag == fs::ntfs::kContentEncrypted) out.item.m_byFlags |= kItemEncrypted;
  if (!(flags & L::kRecordInUse)) out.item.m_byFlags |= kItemDeleted;
  if (folder) {
    out.item.m_byAttributes = kItemFolder;
    return out;
  }
  out.item.m_byAttributes = kItemFile;
  return out;
}

std::optional<CNtfsEngine::ListedName> CNtfsEngine::listedFileName(const Record& record, bool longNameOnly,
                                                                   std::uint32_t number) {
  auto nameIn = [longNameOnly](platform::ByteView view) -> std::optional<ListedName> {
    std::optional<std::u16string> name = fs::ntfs::GetRecordLongFileName(view);
    if (!name && !longNameOnly) name = fs::ntfs::GetRecordFileName(view);
    if (!name) return std::nullopt;
    return ListedName{std::move(*name), fs::ntfs::GetRecordParent(view)};
  };
  if (!(platform::ByteView(record).u8(L::kRecordFlags).value_or(0) & L::kRecordInUse)) {
    // A deleted file's list may no longer name every record it had, nor the record its list
    // names keep the name: a driver takes the name out of an extension record as it frees it.
    const std::vector<Record> extensions = deletedExtensions(record, number);
    for (const Record& other : extensions)
      if (auto listed = nameIn(platform::ByteView(other))) return listed;
    for (const Record& other : extensions)
      if (auto removed = fs::ntfs::removedFileName(platform::ByteView(other)))
        return ListedName{std::move(removed->name), removed->parent};
    return std::nullopt;
  }
  const std::vector<std::uint8_t> list = readAttributeListContent(record);
  for (const fs::ntfs::AttributeListEntry& e : fs::ntfs::parseAttributeList(platform::ByteView(list))) {
    if (e.type != L::kTypeFileName) continue;
    Record other{};
    if (!readRecord(e.record, other)) continue;
    if (auto listed = nameIn(platform::ByteView(other))) return listed;
  }
  return std::nullopt;
}

std::uint32_t CNtfsEngine::listedParentOf(const Record& record, std::uint32_t number) {
  const platform::ByteView view(record);
  if ((view.u8(L::kRecordFlags).value_or(0) & L::kRecordInUse) ||
      (view.le64(L::kRecordBaseReference).value_or(0) & kRecordNumberMask) != 0)
    return 0;
  const auto data = fs::ntfs::FindRecordData(view, false);
  if (!data || !data->hasAttributeList) return 0;
  const auto listed = listedFileName(record, false, number);
  return listed ? listed->parent : 0;
}

void CNtfsEngine::indexExtensionRecords() {
  if (extensionIndexBuilt_) return;
  extensionIndexBuilt_ = true;
  sweepMft(0, [this](std::uint32_t number, RecordSpan record) {
    const std::uint64_t base = platform::ByteView(record).le64(L::kRecordBaseReference).value_or(0) & kRecordNumberMask;
    if (base != 0 && base != number && base < mftRecordCount()) extensionIndex_[std::uint32_t(base)].push_back(number);
    return !stopRequested();
  });
  // A sweep cut short by a stop is made again on the next need: a file read after the stop
  // is read whole.
  if (stopRequested()) {
    extensionIndex_.clear();
    extensionIndexBuilt_ = false;
  }
}

std::vector<CNtfsEngine::Record> CNtfsEngine::deletedExtensions(const Record& base, std::uint32_t number) {
  const platform::ByteView baseView(base);
  if (number == fs::ntfs::kUnknownRecordNumber) number = fs::ntfs::storedRecordNumber(baseView).value_or(number);
  if (number == fs::ntfs::kUnknownRecordNumber) return {};
  std::vector<std::uint32_t> candidates;
  const std::vector<std::uint8_t> list = readAttributeListContent(base);
  for (const fs::ntfs::AttributeListEntry& e : fs::ntfs::parseAttributeList(platform::ByteView(list)))
    if (e.record != number && std::find(candidates.begin(), candidates.end(), e.record) == candidates.end())
      candidates.push_back(e.record);
  indexExtensionRecords();
  if (const auto indexed = extensionIndex_.find(number); indexed != extensionIndex_.end())
    for (const std::uint32_t r : indexed->second)
      if (std::find(candidates.begin(), candidates.end(), r) == candidates.end()) candidates.push_back(r);
  std::vector<Record> out;
  for (const std::uint32_t r : candidates) {
    Record other{};
    if (readRecord(r, other) && fs::ntfs::extendsRecord(platform::ByteView(other), number, baseView))
      out.push_back(other);
  }
  return out;
}

CNtfsEngine::LargeFileNode CNtfsEngine::largeFileNodeFor(std::uint32_t record, const RecordItem& described) const {
  LargeFileNode node;
  node.record = record;
  const std::uint64_t offset = std::uint64_t(record) * recordSectors();
  const std::uint64_t sector = sectorOfMftOffset(mftExtents_, offset).value_or(0);
  node.recordCluster = std::uint32_t(sector / m_nSectorsPerCluster);
  node.clusterIndex = std::uint32_t(offset / m_nSectorsPerCluster);
  node.sectorInCluster = std::uint16_t(offset % m_nSectorsPerCluster);
  node.dataOffset = described.dataOffset;
  node.runListOffset = described.runListOffset;
  node.contentFlag = described.contentFlag;
  return node;
}

// ---------------------------------------------------------------- placeholders and parents

std::uint32_t CNtfsEngine::parentIdFor(std::uint32_t parent) const {
  const auto it = folderIds_.find(parent);
  return it == folderIds_.end() ? parent : it->second;
}

std::uint32_t CNtfsEngine::placeholderId(std::uint32_t wanted) const {
  // A made-up folder never shares the id of an item already reported, nor of a folder record
  // still to be reported: its children would hang under the wrong item.
  auto taken = [this](std::uint32_t id) {
    return id == 0 || id == rootRecord_ || isReportedId(id) || deletedFolderIndex_.count(id) != 0 ||
           collectedFolderIndex_.count(id) != 0;
  };
  if (!taken(wanted)) return wanted;
  std::uint32_t id = 0xFFFFFFFE;
  while (taken(id)) --id;
  return id;
}

std::uint32_t CNtfsEngine::reportPlaceholder(std::uint32_t wanted, std::uint32_t parent, std::u16string_view name) {
  FOUND_ITEM placeholder;
  placeholder.m_byAttributes = kItemFolder;
  placeholder.m_nId = placeholderId(wanted);
  placeholder.m_nRecordKey = placeholder.m_nId;
  placeholder.m_nParentId = parent;
  reportItem(placeholder, name);
  return placeholder.m_nId;
}

void CNtfsEngine::placeMissingParent(std::uint32_t parent, bool deletedScan) {
  if (inFolderQueue(parent)) return;
  if (lostFoldersId_ == 0) {
    lostFoldersId_ = deletedScan ? reportPlaceholder(kLostFoldersIdOfDeletedScan, rootRecord_, text::kLostFoldersOfDeletedScan)
                                 : reportPlaceholder(kLostFoldersId, rootRecord_, engine::texts::kLostFolders);
  }
  folderIds_[parent] = reportPlaceholder(parent, lostFoldersId_, folderName(engine::texts::kFolder, parent));
}

void CNtfsEngine::resetFoundTreeIfEmpty() {
  if (m_nEntryCount != 0) return;
  progress_.setRange(engine::kItemBar, 0, mftRecordCount());
  progress_.setStep(engine::kItemBar, 1);
  ++m_nEntryCount;
  ++m_nFolderCount;
  if (m_pConsole) {
    m_pConsole->ResetFoundTree();
    m_pConsole->UpdateStatusCounts();
  }
}

// ---------------------------------------------------------------- the quick scan's pass

std::uint32_t CNtfsEngine::ReportDeletedRecord(std::uint32_t record, std::uint32_t parent) {
  Record buffer{};
  if (!readRecord(record, buffer)) return platform::kNoFoundItem;
  auto described = describeRecord(buffer, false, record);
  if (!described) return platform::kNoFoundItem;
  FOUND_ITEM& item = described->item;
  item.m_nId = record;
  item.m_nRecordKey = record;
  item.m_nParentId = parentIdFor(parent);
  if (item.isFolder()) return reportItem(item, described->name);
  const auto data = fs::ntfs::FindRecordData(platform::ByteView(buffer), false);
  item.m_nSize = recordDataSize(buffer, record, record, *data, *described);
  const bool lost = item.m_nSize == 0 && (item.m_byFlags & kItemDeleted) && described->nonResident &&
                    (logState_ != 1 || !logExtents_.empty());
  const std::uint32_t stored = reportItem(item, described->name);
  if (lost) {
    LargeFileNode& node = largeFiles_.emplace_back(largeFileNodeFor(record, *described));
    node.item = stored;
  }
  return stored;
}

std::uint32_t CNtfsEngine::ReportRecordItem(const Record& record, FOUND_ITEM& item) {
  const std::uint32_t id = item.m_nId, parent = item.m_nParentId;
  const std::uint64_t key = item.m_nRecordKey;
  // After the deep scan an item's id is no record number: its key is the record's sector.
  auto described = describeRecord(record, false, advanced_ ? recordNumberAtSector(key) : id);
  if (!described) return 0;
  item = described->item;
  item.m_nId = id;
  item.m_nParentId = parent;
  item.m_nRecordKey = key;
  if (!item.isFolder()) {
    const auto data = fs::ntfs::FindRecordData(platform::ByteView(record), false);
    item.m_nSize = recordDataSize(record, id, key, *data, *described);
  }
  reportItem(item, described->name);
  return 1;
}

void CNtfsEngine::SearchRootOrphans() {
  resetFoundTreeIfEmpty();
  if (mftRecordCount() <= kFirstUserRecord) return;
  for (const RecordHeader& h : recordHeaders_) {
    if (h.record < kFirstUserRecord) continue;
    if (h.record % 8 == 0) {
      progress_.stepIt(engine::kItemBar);
      if (stopRequested()) return;
    }
    if (isMarked(h.record) || h.parent != rootRecord_) continue;
    Record buffer{};
    if (!readRecord(h.record, buffer)) continue;
    FOUND_ITEM item;
    item.m_nId = h.record;
    item.m_nRecordKey = h.record;
    item.m_nParentId = rootRecord_;
    if (!ReportRecordItem(buffer, item)) continue;
    // Marked either way: the deleted-files pass would report it again.
    markRecord(h.record);
    if (item.isFolder()) {
      appendFolderQueue(h.record);
      if (walkedFolders_.insert(h.record).second) WalkFolderIndex(h.record);
    }
  }
}

void CNtfsEngine::AddDeletedFiles() {
  if (reporter_.log()) reporter_.log()->AddLogEntry(std::u16string(engine::texts::kAddingDeleted), false);
  lostFoldersId_ = 0;
  deletedFolders_.clear();
  deletedFiles_.clear();
  deletedFolderIndex_.clear();
  if (mftRecordCount() > kFirstUserRecord) {
    for (const RecordHeader& h : recordHeaders_) {
      if (stopRequested()) break;
      if (h.record < kFirstUserRecord || isMarked(h.record)) continue;
      markRecord(h.record);
      std::uint32_t parent = h.parent;
      // A deleted file whose names moved to an extension record takes its parent from there.
      if (parent == 0 && h.flags == 0) {
        Record buffer{};
        if (readRecord(h.record, buffer)) parent = listedParentOf(buffer, h.record);
      }
      if (parent == 0) continue;
      if (h.flags == 2 || h.flags == 3) {
        deletedFolderIndex_.emplace(h.record, deletedFolders_.size());
        deletedFolders_.push_back({h.record, parent, false});
      } else if (h.flags == 0 || h.flags == 1) {
        deletedFiles_.push_back({h.record, parent, false});
      }
    }
  }
  if (!stopRequested()) AttachDeletedFolders();
  if (!stopRequested()) AttachDeletedFileRecords();
  if (!largeFiles_.empty() && !stopRequested() && runLogAnalysis()) {
    for (LargeFileNode& node : largeFiles_) {
      // Only items whose runs were really rebuilt take the journal's size.
      if (node.runs.empty() || node.item == platform::kNoFoundItem) continue;
      if (reporter_.console()) reporter_.console()->SetFoundItemSize(node.item, node.size, kItemSizeFromLog);
      m_nTotalSize += node.size;
    }
  }
  recordMap_.clear();
  recordMap_.shrink_to_fit();
  if (stopRequested() && reporter_.log())
    reporter_.log()->AddLogEntry(std::u16string(engine::texts::kProcessAborted), false);
}

void CNtfsEngine::AttachDeletedFolders() {
  auto known = [this](std::uint32_t parent) { return parent == rootRecord_ || inFolderQueue(parent); };
  // Queued as a parent only when it was reported: the children of a folder that was not go
  // under the placeholders.
  auto attach = [this, &known](DeletedNode& node) {
    if (!known(node.parent)) placeMissingParent(node.parent, false);
    if (ReportDeletedRecord(node.record, node.parent) != platform::kNoFoundItem) appendFolderQueue(node.record);
    node.done = true;
  };
  for (DeletedNode& node : deletedFolders_) {
    if (stopRequested()) return;
    if (known(node.parent) || !deletedFolderIndex_.count(node.parent)) attach(node);
  }
  // Folders whose parent is a deleted folder still to be placed wait for it, pass by pass.
  bool reported = true;
  while (reported && !stopRequested()) {
    reported = false;
    for (DeletedNode& node : deletedFolders_) {
      if (node.done) continue;
      const auto parent = deletedFolderIndex_.find(node.parent);
      if (parent != deletedFolderIndex_.end() && !deletedFolders_[parent->second].done) continue;
      attach(node);
      reported = true;
    }
  }
  // What is left hangs in a parent cycle: under the placeholders, so that nothing deleted stays hidden.
  for (DeletedNode& node : deletedFolders_)
    if (!node.done && !stopRequested()) attach(node);
}

void CNtfsEngine::AttachDeletedFileRecords() {
  for (DeletedNode& node : deletedFiles_) {
    if (stopRequested()) return;
    if (node.parent != rootRecord_ && !inFolderQueue(node.parent)) placeMissingParent(node.parent, false);
    ReportDeletedRecord(node.record, node.parent);
    node.done = true;
  }
}

// ---------------------------------------------------------------- the deleted-files scan

void CNtfsEngine::CollectDeletedRecords() {
  reporter_.logStart(engine::texts::kCalculatingParameters);
  progress_.SetFoundText(engine::texts::kSearchingCritical);
  progress_.setRange(engine::kItemBar, 0, mftRecordCount());
  progress_.setStep(engine::kItemBar, 1);
  progress_.SetStopEnabled(false);
  app_.m_bSearchingCriticalInfo = 1;
  collectedFiles_.clear();
  collectedFolders_.clear();
  collectedFolderIndex_.clear();
  lostFoldersId_ = 0;

  // The stop control is off for this pass: the sweep runs to its end.
  std::uint32_t lastStep = 0;
  Record copy{};
  sweepMft(0, [&](std::uint32_t number, RecordSpan record) {
    // The bar is stepped once per record, skipped ones included.
    for (; lastStep <= number; ++lastStep) progress_.stepIt(engine::kItemBar);
    if (number <= 1 || number == rootRecord_) return true;
    const platform::ByteView view(record);
    const std::uint8_t flags = view.u8(L::kRecordFlags).value_or(0);
    if (flags != 0 && flags != 2 && flags != 3) return true;
    std::uint32_t parent = fs::ntfs::GetRecordParent(view);
    // A file's record is read further (its name, its runs): only files need a copy.
    if (flags == 0) {
      copy.resize(record.size());
      std::copy(record.begin(), record.end(), copy.begin());
      if (parent == 0) parent = listedParentOf(copy, number);
    }
    if (parent == 0) return true;
    if (flags != 0) {
      auto name = fs::ntfs::GetRecordLongFileName(view);
      if (!name) return true;
      const fs::ntfs::RecordTimes times = fs::ntfs::GetRecordTimes(view);
      collectedFolderIndex_.emplace(number, collectedFolders_.size());
      collectedFolders_.push_back({number, parent, std::move(*name), times.modified, times.created,
                                   std::uint8_t(flags == 2 ? kItemDeleted : 0)});
      return true;
    }
    auto described = describeRecord(copy, true, number);
    if (!described || described->item.isFolder()) return true;
    const auto data = fs::ntfs::FindRecordData(view, false);
    described->item.m_nId = number;
    described->item.m_nSize = recordDataSize(copy, number, number, *data, *described);
    if (described->item.m_nSize == 0 && described->nonResident && (logState_ != 1 || !logExtents_.empty()))
      largeFiles_.push_back(largeFileNodeFor(number, *described));
    collectedFiles_.push_back({number, parent, std::move(described->name), described->item});
    return true;
  });

  if (!largeFiles_.empty() && runLogAnalysis()) {
    std::unordered_map<std::uint32_t, const LargeFileNode*> rebuilt;
    for (const LargeFileNode& node : largeFiles_)
      if (!node.runs.empty()) rebuilt.emplace(node.record, &node);
    for (CollectedFile& file : collectedFiles_) {
      const auto it = rebuilt.find(file.record);
      if (it == rebuilt.end()) continue;
      file.item.m_nSize = it->second->size;
      file.item.lastFlags |= kItemSizeFromLog;
    }
  }
  reporter_.logEnd(stopRequested());
  progress_.SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
}

void CNtfsEngine::AddMissingParents(const CollectedFile& file) {
  // The folders from the file's parent up to the root or to a folder already shown, nearest
  // first; a folder met twice (a parent cycle) counts as missing.
  std::vector<const CollectedFolder*> path;
  std::unordered_set<std::uint32_t> visited;
  std::uint32_t x = file.parent;
  while (x != rootRecord_ && !inFolderQueue(x)) {
    const auto it = collectedFolderIndex_.find(x);
    if (it == collectedFolderIndex_.end() || !visited.insert(x).second) {
      placeMissingParent(x, true);
      break;
    }
    const CollectedFolder& folder = collectedFolders_[it->second];
    path.push_back(&folder);
    x = folder.parent;
  }
  for (auto f = path.rbegin(); f != path.rend(); ++f) {
    const CollectedFolder& folder = **f;
    FOUND_ITEM item;
    item.m_byAttributes = kItemFolder;
    item.m_byFlags = folder.flags;
    item.m_ftModified = folder.modified;
    item.m_ftCreated = folder.created;
    item.m_nId = folder.record;
    item.m_nRecordKey = folder.record;
    item.m_nParentId = parentIdFor(folder.parent);
    reportItem(item, folder.name);
    appendFolderQueue(folder.record);
  }
}

void CNtfsEngine::BuildDeletedTree() {
  reporter_.logStart(texts::kCreatingDirectoryTree);
  resetFoundTreeIfEmpty();
  for (const CollectedFile& file : collectedFiles_) {
    if (stopRequested()) break;
    if (file.parent != rootRecord_ && !inFolderQueue(file.parent)) AddMissingParents(file);
    FOUND_ITEM item = file.item;
    item.m_byAttributes = kItemFile;
    item.m_byFlags |= kItemDeleted;
    item.m_nId = file.record;
    item.m_nRecordKey = file.record;
    item.m_nParentId = parentIdFor(file.parent);
    reportItem(item, file.name);
  }
  collectedFiles_.clear();
  collectedFolders_.clear();
  collectedFolderIndex_.clear();
  folderIds_.clear();
  reporter_.logEnd(stopRequested());
  if (m_pConsole) m_pConsole->CollapseRootChildren();
}

}  // namespace qelda::ntfs
