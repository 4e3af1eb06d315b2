// The found-items store: every item an engine reports, kept in report order, with the tree
// they form by parent id. The least of the results browser that the engines need.
//
// Volumes hold millions of files, so an item costs one fixed-size record in a block arena
// (no pointers, no allocation of its own) plus its name in a shared pool: one byte per
// character when every character is below U+0100, two otherwise. Items are addressed by
// their place in report order.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/found_item.h"
#include "platform/sinks.h"

namespace qelda::results {

class CFileFolderTree;

// One item of a tree by its place in report order, with a copy of its fields; null where
// there is no item (the root, or nothing found).
class FoundItemRef {
 public:
  FoundItemRef() = default;
  FoundItemRef(std::nullptr_t) {}
  explicit operator bool() const { return index_ != platform::kNoFoundItem; }
  std::uint32_t index() const { return index_; }
  const FOUND_ITEM* operator->() const { return &item_; }
  const FOUND_ITEM& operator*() const { return item_; }
  friend bool operator==(const FoundItemRef& a, const FoundItemRef& b) { return a.index_ == b.index_; }

 private:
  friend class CFileFolderTree;
  std::uint32_t index_ = platform::kNoFoundItem;
  FOUND_ITEM item_{};
};

class CFileFolderTree final : public platform::IFoundItemSink {
 public:
  using Index = std::uint32_t;
  static constexpr Index kRoot = platform::kNoFoundItem;  // "no parent": the root folder

  CFileFolderTree();
  ~CFileFolderTree() override;
  CFileFolderTree(const CFileFolderTree&) = delete;
  CFileFolderTree& operator=(const CFileFolderTree&) = delete;

  // --- what the engines call ---------------------------------------------------------------
  // Forgets every item and starts a tree holding only its root folder.
  void ResetFoundTree() override;
  // Stores the item's fields and its name (cut to 255 characters); returns its index.
  std::uint32_t AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override;
  void SetFoundItemSize(std::uint32_t item, std::uint64_t size, std::uint8_t lastFlags) override;
  void SetFoundItemParent(std::uint32_t item, std::uint32_t parentId) override;
  void UpdateStatusCounts() override { ++statusUpdates_; }
  void CollapseRootChildren() override { rootCollapsed_ = true; }
  // Queues a new name for the stored items that have the same record key.
  void QueueItemRename(const FOUND_ITEM& item, std::u16string_view name) override;
  void ApplyQueuedRenames() override;

  // --- what the browser, saving and tests read ---------------------------------------------
  std::size_t size() const { return count_; }
  bool hasRoot() const { return hasRoot_; }
  std::uint32_t folderCount() const { return folderCount_; }
  std::uint32_t fileCount() const { return fileCount_; }
  std::uint64_t totalSize() const { return totalSize_; }
  std::uint32_t statusUpdates() const { return statusUpdates_; }
  bool rootCollapsed() const { return rootCollapsed_; }

  // The item's fields as reported (links and name pointer null).
  FOUND_ITEM item(Index i) const;
  // Read once per item by the listing: kept inline.
  bool isFolder(Index i) const { return (record(i).attributes & kItemFolder) != 0; }
  std::uint8_t flags(Index i) const { return record(i).flags; }
  std::uint8_t lastFlags(Index i) const { return record(i).lastFlags; }
  std::uint64_t itemSize(Index i) const { return record(i).size; }

  // The stored name. A narrow name holds one byte per character (each below U+0100), a
  // wide one UTF-16 code units in native order.
  struct NameBytes {
    const std::uint8_t* bytes;
    std::size_t units;
    bool wide;
  };
  NameBytes nameBytes(Index i) const {
    const Record& r = record(i);
    return {pool_[r.nameChunk].get() + (r.nameWord & kNameOffsetMask), (r.nameWord >> kNameOffsetBits) & 0xFF,
            (r.nameWord & kNameWideBit) != 0};
  }
  std::u16string nameOf(Index i) const;
  // The folder an item hangs under: the first folder reported with the item's parent id,
  // or kRoot when there is none or it would be the item itself.
  Index parentOf(Index i) const;
  // Children in report order; kRoot asks for the root's children.
  std::vector<Index> childrenOf(Index folder) const;
  // Names from the root down to the item, joined with '/'. A parent chain that loops is
  // cut where it repeats.
  std::u16string pathOf(Index i) const;

  // The same by reference, for code that walks items as values.
  FoundItemRef ref(Index i) const;
  std::u16string nameOf(const FoundItemRef& r) const { return nameOf(r.index()); }
  std::u16string pathOf(const FoundItemRef& r) const { return pathOf(r.index()); }
  FoundItemRef parentOf(const FoundItemRef& r) const;

  // Every item in report order, as FoundItemRef values.
  class Items {
   public:
    class iterator {
     public:
      iterator(const CFileFolderTree* tree, Index i) : tree_(tree), i_(i) {}
      FoundItemRef operator*() const { return tree_->ref(i_); }
      iterator& operator++() {
        ++i_;
        return *this;
      }
      bool operator!=(const iterator& o) const { return i_ != o.i_; }

     private:
      const CFileFolderTree* tree_;
      Index i_;
    };
    explicit Items(const CFileFolderTree* tree) : tree_(tree) {}
    iterator begin() const { return {tree_, 0}; }
    iterator end() const { return {tree_, Index(tree_->size())}; }

   private:
    const CFileFolderTree* tree_;
  };
  Items items() const { return Items(this); }

  // Bytes held by the arena, the name pool and the folder index (for the benchmarks).
  std::size_t heldBytes() const;

 private:
  // 56 bytes: the reported fields, and where the name lies in the pool.
  struct Record {
    std::uint64_t size;
    std::uint64_t recordKey;
    std::uint64_t modified;
    std::uint64_t created;
    std::uint32_t parentId;
    std::uint32_t id;
    std::uint32_t altParentId;
    std::uint32_t nameChunk;
    std::uint32_t nameWord;  // offset in the chunk (21 bits), length (8 bits), wide (bit 29)
    std::uint8_t attributes;
    std::uint8_t flags;
    std::uint8_t viewFlags;
    std::uint8_t lastFlags;
  };
  static constexpr std::uint32_t kNameOffsetBits = 21;
  static constexpr std::uint32_t kNameOffsetMask = (1u << kNameOffsetBits) - 1;
  static constexpr std::uint32_t kNameWideBit = 1u << 29;
  struct Rename {
    std::uint64_t recordKey;
    std::u16string name;
  };
  // Records and names lie in pieces of 2 MiB, aligned so that the kernel may back each with
  // one large page: a million items then cost a few dozen page faults, not thousands. The
  // first piece of each starts at 64 KiB (the records' becomes a whole piece once it fills),
  // so that a tree of a few items does not clear two large pages.
  static constexpr std::size_t kPieceBytes = std::size_t(1) << 21;
  static constexpr std::size_t kFirstPieceBytes = std::size_t(1) << 16;
  static constexpr std::size_t kRecordsPerBlock = kPieceBytes / sizeof(Record);
  static constexpr std::size_t kPoolChunkBytes = kPieceBytes;
  struct FreePiece {
    void operator()(void* p) const;
  };
  template <class T>
  using Piece = std::unique_ptr<T[], FreePiece>;
  template <class T>
  static Piece<T> newPiece(std::size_t bytes);

  Record& record(Index i) { return blocks_[i / kRecordsPerBlock][i % kRecordsPerBlock]; }
  const Record& record(Index i) const { return blocks_[i / kRecordsPerBlock][i % kRecordsPerBlock]; }
  void storeName(Record& r, std::u16string_view name);
  void indexFolder(std::uint32_t id, Index i);
  Index folderWithId(std::uint32_t id) const;

  std::vector<Piece<Record>> blocks_;  // records in report order, kRecordsPerBlock each
  std::size_t firstBlockRecords_ = 0;   // records the first block has room for
  std::vector<Piece<std::uint8_t>> pool_;  // names; a name never spans two chunks
  std::size_t poolUsed_ = 0;                            // bytes used of the last chunk
  std::size_t poolChunkBytes_ = 0;                      // the last chunk's size
  // Open addressing: the first folder reported with each id. Slots hold (id, index + 1);
  // 0 marks a free slot. The table is kept at most half full.
  std::vector<std::uint64_t> folderSlots_;
  std::size_t folderSlotsUsed_ = 0;
  std::vector<Rename> renames_;
  std::size_t count_ = 0;
  bool hasRoot_ = false;
  bool rootCollapsed_ = false;
  std::uint32_t folderCount_ = 0;
  std::uint32_t fileCount_ = 0;
  std::uint64_t totalSize_ = 0;
  std::uint32_t statusUpdates_ = 0;
};

}  // namespace qelda::results
