#include "results/file_folder_tree.h"

#include <unordered_set>

namespace qelda::results {

void CFileFolderTree::ResetFoundTree() {
  items_.clear();
  head_ = tail_ = nullptr;
  folderById_.clear();
  renames_.clear();
  hasRoot_ = true;
  rootCollapsed_ = false;
  folderCount_ = fileCount_ = 0;
  totalSize_ = 0;
}

FOUND_ITEM* CFileFolderTree::AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) {
  Stored& s = items_.emplace_back(Stored{item, std::u16string(name.substr(0, kMaxItemNameLength))});
  FOUND_ITEM& stored = s.item;
  stored.m_pszName = s.name.c_str();
  stored.m_hTreeItem = nullptr;
  stored.m_pNext = nullptr;
  stored.m_pPrev = tail_;
  if (tail_) tail_->m_pNext = &stored;
  else head_ = &stored;
  tail_ = &stored;
  if (stored.isFolder()) {
    ++folderCount_;
    folderById_.emplace(stored.m_nId, &stored);
  } else {
    ++fileCount_;
    totalSize_ += stored.m_nSize;
  }
  return &stored;
}

void CFileFolderTree::QueueItemRename(const FOUND_ITEM& item, std::u16string_view name) {
  renames_.push_back({item.m_nRecordKey, std::u16string(name.substr(0, kMaxItemNameLength))});
}

void CFileFolderTree::ApplyQueuedRenames() {
  if (renames_.empty()) return;
  std::unordered_map<std::uint64_t, const std::u16string*> byKey;
  for (const Rename& r : renames_) byKey[r.recordKey] = &r.name;  // the last name queued wins
  for (Stored& s : items_) {
    const auto it = byKey.find(s.item.m_nRecordKey);
    if (it == byKey.end()) continue;
    s.name = *it->second;
    s.item.m_pszName = s.name.c_str();
  }
  renames_.clear();
}

std::u16string_view CFileFolderTree::nameOf(const FOUND_ITEM* item) const {
  // The stored copy's name pointer is the store's own zero-terminated text.
  return item && item->m_pszName ? std::u16string_view(item->m_pszName) : std::u16string_view{};
}

const FOUND_ITEM* CFileFolderTree::parentOf(const FOUND_ITEM* item) const {
  if (!item) return nullptr;
  const auto it = folderById_.find(item->m_nParentId);
  if (it == folderById_.end() || it->second == item) return nullptr;
  return it->second;
}

std::vector<const FOUND_ITEM*> CFileFolderTree::childrenOf(const FOUND_ITEM* folder) const {
  std::vector<const FOUND_ITEM*> out;
  for (const Stored& s : items_)
    if (parentOf(&s.item) == folder) out.push_back(&s.item);
  return out;
}

std::u16string CFileFolderTree::pathOf(const FOUND_ITEM* item) const {
  std::vector<const FOUND_ITEM*> chain;
  std::unordered_set<const FOUND_ITEM*> seen;
  for (const FOUND_ITEM* p = item; p && seen.insert(p).second; p = parentOf(p)) chain.push_back(p);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += u'/';
    path += nameOf(*it);
  }
  return path;
}

}  // namespace qelda::results
