// The deep scan's tree: the records it found, reported under their parents from the root
// down, then what no walk reached under its real parent when that is known by now, or under
// made-up folders; then the files found by their signatures.
#include <algorithm>

#include "engine/scan_state.h"
#include "fs/ntfs_layout.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_texts.h"
#include "platform/text.h"

namespace qelda::ntfs {

namespace {

constexpr std::uint32_t kRootRecord = 5;

std::u16string folderName(std::uint32_t parent) {
  return std::u16string(engine::texts::kFolder) + u" " + platform::widenLatin1(std::to_string(parent));
}

}  // namespace

bool CNtfsEngine::copiesMftRecord(platform::ByteView copy, std::uint32_t number) {
  // A record keeps its number wherever a copy of it lies ($MFTMirr, clusters $MFT left, an
  // older copy of its cluster): a copy that names the same file as the record $MFT holds
  // under that number is that record again. One naming another file is a file of its own.
  if (number == fs::ntfs::kUnknownRecordNumber || number >= mftRecordCount()) return false;
  Record held{};
  if (!readRecord(number, held)) return false;
  const platform::ByteView view(held);
  return fs::ntfs::GetRecordParent(view) == fs::ntfs::GetRecordParent(copy) &&
         fs::ntfs::GetRecordLongFileName(view) == fs::ntfs::GetRecordLongFileName(copy) &&
         fs::ntfs::GetRecordFileName(view) == fs::ntfs::GetRecordFileName(copy);
}

bool CNtfsEngine::reportableAt(std::uint64_t sector) {
  Record record{};
  return readRecordAt(sector, record) && describeRecord(record, false, recordNumberAtSector(sector)).has_value();
}

bool CNtfsEngine::reportFoundRecord(std::uint64_t sector, std::uint32_t itemId, std::uint32_t parentId) {
  Record record{};
  if (!readRecordAt(sector, record)) return false;
  FOUND_ITEM item;
  item.m_nId = itemId;
  item.m_nParentId = parentId;
  item.m_nRecordKey = sector;
  return ReportRecordItem(record, item) != 0;
}

void CNtfsEngine::reportChildFiles(std::uint32_t record, std::uint32_t itemId) {
  const auto files = childFiles_.find(record);
  if (files == childFiles_.end()) return;
  for (const std::size_t i : files->second) {
    if (stopRequested()) return;
    fs::ntfs::RunRecord& entry = runRecords_[i];
    if (entry.mark) continue;
    reportFoundRecord(entry.sector, entry.itemId, itemId);
    entry.mark = 1;
  }
}

void CNtfsEngine::ReportChildRecords(std::uint32_t record, std::uint32_t itemId) {
  // An explicit stack visits in the order recursion would: a folder's files, then each of
  // its folders with that folder's whole branch before the next.
  struct Frame {
    std::uint32_t record;
    std::uint32_t itemId;
    std::size_t nextFolder = 0;
  };
  std::vector<Frame> stack;
  auto enter = [&](std::uint32_t r, std::uint32_t id) {
    if (r == fs::ntfs::kUnknownRecordNumber) return;  // nothing can name it as its parent
    reportChildFiles(r, id);
    stack.push_back({r, id});
  };
  enter(record, itemId);
  while (!stack.empty() && !stopRequested()) {
    Frame& top = stack.back();
    const auto folders = childFolders_.find(top.record);
    if (folders == childFolders_.end() || top.nextFolder >= folders->second.size()) {
      stack.pop_back();
      continue;
    }
    FoundFolder& folder = foundFolders_[folders->second[top.nextFolder++]];
    if (folder.done) continue;
    folder.done = true;
    if (!reportFoundRecord(folder.sector, folder.itemId, top.itemId)) continue;
    if (folder.record != fs::ntfs::kUnknownRecordNumber) folderIds_[folder.record] = folder.itemId;
    enter(folder.record, folder.itemId);  // `top` is stale from here
  }
}

void CNtfsEngine::BuildRecordTree() {
  reporter_.logStart(texts::kCreatingDirectoryTree);
  app_.m_bStopRequested = 0;
  folderIds_.clear();
  lostFoldersId_ = 0;
  childFiles_.clear();
  childFolders_.clear();
  // A file whose names moved to another record takes its parent from there, now that every
  // record is found.
  for (fs::ntfs::RunRecord& entry : runRecords_) {
    if (stopRequested()) break;
    if (!entry.isFile || entry.parent != 0) continue;
    Record record{};
    if (!readRecordAt(entry.sector, record)) continue;
    if ((platform::ByteView(record).le64(fs::ntfs::layout::kRecordBaseReference).value_or(0) & 0xFFFFFFFFFFFFull) != 0) continue;
    const auto data = fs::ntfs::FindRecordData(platform::ByteView(record), false);
    if (!data || !data->hasAttributeList) continue;
    if (const auto listed = listedFileName(record, false, entry.recordNumber); listed && listed->parent != 0) {
      entry.parent = listed->parent;
      entry.mark = 0;
    }
  }
  for (std::size_t i = 0; i < runRecords_.size(); ++i)
    if (runRecords_[i].isFile) childFiles_[runRecords_[i].parent].push_back(i);
  for (std::size_t i = 0; i < foundFolders_.size(); ++i) childFolders_[foundFolders_[i].parent].push_back(i);

  for (FoundFolder& folder : foundFolders_) {
    if (stopRequested()) break;
    if (folder.done || folder.parent != kRootRecord) continue;
    attachFoundFolder(folder, kRootRecord, 0);
  }
  lostFoldersId_ = 0;
  if (!stopRequested() && !runRecords_.empty()) AttachLostFolders();
  if (!stopRequested() && !runRecords_.empty()) AttachLostFileRecords();
  if (!stopRequested()) SendRawHits();
  deepRawHits_.clear();
  rawFolders_.clear();
  reporter_.logEnd(stopRequested());
  if (m_pConsole) m_pConsole->CollapseRootChildren();
}

void CNtfsEngine::attachFoundFolder(FoundFolder& folder, std::uint32_t parentId, std::uint32_t walkId) {
  folder.done = true;
  const bool reported = reportFoundRecord(folder.sector, folder.itemId, parentId);
  const std::uint32_t id = reported ? folder.itemId : walkId;
  if (id == 0) return;
  if (folder.record != fs::ntfs::kUnknownRecordNumber) folderIds_[folder.record] = id;
  ReportChildRecords(folder.record, id);
}

std::uint32_t CNtfsEngine::placeLostParent(std::uint32_t parent) {
  if (lostFoldersId_ == 0) {
    FOUND_ITEM lost;
    lost.m_byAttributes = kItemFolder;
    lost.m_nId = kLostFoldersId;
    lost.m_nRecordKey = kLostFoldersId;
    lost.m_nParentId = kRootRecord;
    reportItem(lost, engine::texts::kLostFolders);
    lostFoldersId_ = kLostFoldersId;
  }
  FOUND_ITEM placeholder;
  placeholder.m_byAttributes = kItemFolder;
  placeholder.m_nId = itemIds_.take();
  placeholder.m_nRecordKey = placeholder.m_nId;
  placeholder.m_nParentId = kLostFoldersId;
  reportItem(placeholder, folderName(parent));
  folderIds_[parent] = placeholder.m_nId;
  return placeholder.m_nId;
}

void CNtfsEngine::AttachLostFolders() {
  auto parentIdOf = [this](std::uint32_t parent) -> std::uint32_t {
    if (parent == kRootRecord) return kRootRecord;
    const auto queued = folderIds_.find(parent);
    return queued != folderIds_.end() ? queued->second : 0;
  };
  // A folder whose parent is another folder still to be placed waits: that parent's branch
  // takes it. A parent that was placed without being reported counts as missing.
  auto waitsForParent = [this](std::uint32_t parent) {
    const auto node = foundFolderIndex_.find(parent);
    return node != foundFolderIndex_.end() && !foundFolders_[node->second].done;
  };
  auto attach = [this, &parentIdOf](FoundFolder& folder) {
    const std::uint32_t known = parentIdOf(folder.parent);
    if (known != 0) {
      attachFoundFolder(folder, known, 0);
      return;
    }
    // A made-up parent only for a folder that will show under it; its branch goes there
    // all the same when the folder itself cannot be reported.
    if (!reportableAt(folder.sector)) {
      folder.done = true;
      if (folder.record == fs::ntfs::kUnknownRecordNumber || childFiles_.count(folder.record) + childFolders_.count(folder.record) == 0)
        return;
    }
    const std::uint32_t placeholder = placeLostParent(folder.parent);
    attachFoundFolder(folder, placeholder, placeholder);
  };
  for (FoundFolder& folder : foundFolders_) {
    if (stopRequested()) return;
    if (folder.done || waitsForParent(folder.parent)) continue;
    attach(folder);
  }
  // What is left hangs in a cycle of parents: under made-up folders, so that nothing stays hidden.
  for (FoundFolder& folder : foundFolders_) {
    if (stopRequested()) return;
    if (!folder.done) attach(folder);
  }
}

void CNtfsEngine::AttachLostFileRecords() {
  for (fs::ntfs::RunRecord& entry : runRecords_) {
    if (stopRequested()) return;
    if (!entry.isFile || entry.mark) continue;
    entry.mark = 1;
    std::uint32_t parentId = kRootRecord;
    if (entry.parent != kRootRecord) {
      const auto queued = folderIds_.find(entry.parent);
      if (queued != folderIds_.end()) {
        parentId = queued->second;
      } else {
        if (!reportableAt(entry.sector)) continue;
        parentId = placeLostParent(entry.parent);
      }
    }
    reportFoundRecord(entry.sector, entry.itemId, parentId);
  }
}

}  // namespace qelda::ntfs
