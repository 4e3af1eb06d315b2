// The found-items store: every item an engine reports, kept in report order, with the tree
// they form by parent id. The least of the results browser that the engines need.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/found_item.h"
#include "platform/sinks.h"

namespace qelda::results {

class CFileFolderTree final : public platform::IFoundItemSink {
 public:
  CFileFolderTree() = default;
  CFileFolderTree(const CFileFolderTree&) = delete;
  CFileFolderTree& operator=(const CFileFolderTree&) = delete;

  // --- what the engines call ---------------------------------------------------------------
  // Forgets every item and starts a tree holding only its root folder.
  void ResetFoundTree() override;
  // Stores a copy of the item with its name and links it into the found-items list.
  FOUND_ITEM* AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override;
  void UpdateStatusCounts() override { ++statusUpdates_; }
  void CollapseRootChildren() override { rootCollapsed_ = true; }
  // Queues a new name for the stored items that have the same record key.
  void QueueItemRename(const FOUND_ITEM& item, std::u16string_view name) override;
  void ApplyQueuedRenames() override;

  // --- what the browser, saving and tests read ---------------------------------------------
  // Head of the found-items list (report order), linked through m_pNext.
  FOUND_ITEM* head() const { return head_; }
  std::size_t size() const { return items_.size(); }
  bool hasRoot() const { return hasRoot_; }
  std::uint32_t folderCount() const { return folderCount_; }
  std::uint32_t fileCount() const { return fileCount_; }
  std::uint64_t totalSize() const { return totalSize_; }
  std::uint32_t statusUpdates() const { return statusUpdates_; }
  bool rootCollapsed() const { return rootCollapsed_; }

  // The stored name of an item of this store.
  std::u16string_view nameOf(const FOUND_ITEM* item) const;
  // The folder an item hangs under: the first folder reported with the item's parent id,
  // or null (the root) when there is none or it would be the item itself.
  const FOUND_ITEM* parentOf(const FOUND_ITEM* item) const;
  // Children in report order; null asks for the root's children.
  std::vector<const FOUND_ITEM*> childrenOf(const FOUND_ITEM* folder) const;
  // Names from the root down to the item, joined with '/'. A parent chain that loops is
  // cut where it repeats.
  std::u16string pathOf(const FOUND_ITEM* item) const;

 private:
  struct Stored {
    FOUND_ITEM item;
    std::u16string name;
  };
  struct Rename {
    std::uint64_t recordKey;
    std::u16string name;
  };

  std::deque<Stored> items_;  // owns the items; addresses stay put as it grows
  FOUND_ITEM* head_ = nullptr;
  FOUND_ITEM* tail_ = nullptr;
  std::unordered_map<std::uint32_t, const FOUND_ITEM*> folderById_;
  std::vector<Rename> renames_;
  bool hasRoot_ = false;
  bool rootCollapsed_ = false;
  std::uint32_t folderCount_ = 0;
  std::uint32_t fileCount_ = 0;
  std::uint64_t totalSize_ = 0;
  std::uint32_t statusUpdates_ = 0;
};

}  // namespace qelda::results
