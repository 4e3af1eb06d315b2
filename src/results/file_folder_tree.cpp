#include "results/file_folder_tree.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace qelda::results {

namespace {
static_assert(kMaxItemNameLength <= 0xFF);

std::uint64_t hashId(std::uint32_t id) { return (std::uint64_t(id) * 0x9E3779B97F4A7C15ull) >> 20; }
}  // namespace

void CFileFolderTree::FreePiece::operator()(void* p) const { std::free(p); }

template <class T>
CFileFolderTree::Piece<T> CFileFolderTree::newPiece(std::size_t bytes) {
  static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
  // Written before it is read: no need to clear it. Only a whole piece asks for a large page.
  const bool whole = bytes == kPieceBytes;
  void* p = std::aligned_alloc(whole ? kPieceBytes : alignof(std::max_align_t), bytes);
  if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  if (whole) ::madvise(p, kPieceBytes, MADV_HUGEPAGE);  // advice only: small pages do as well
#endif
  return Piece<T>(static_cast<T*>(p));
}

CFileFolderTree::CFileFolderTree() {
  static_assert(sizeof(void*) != 8 || sizeof(Record) == 56);
  static_assert(kPoolChunkBytes <= std::size_t(1) << kNameOffsetBits);
}
CFileFolderTree::~CFileFolderTree() = default;

void CFileFolderTree::ResetFoundTree() {
  blocks_.clear();
  firstBlockRecords_ = 0;
  pool_.clear();
  poolUsed_ = 0;
  poolChunkBytes_ = 0;
  folderSlots_.clear();
  folderSlotsUsed_ = 0;
  renames_.clear();
  count_ = 0;
  hasRoot_ = true;
  rootCollapsed_ = false;
  folderCount_ = fileCount_ = 0;
  totalSize_ = 0;
}

void CFileFolderTree::storeName(Record& r, std::u16string_view name) {
  name = name.substr(0, std::min(name.size(), kMaxItemNameLength));
  // Room for the wide form; a name is narrowed in the same pass that looks for a wide unit
  // and for its end: readers have always seen a name up to its first NUL.
  // Every name, an empty one too, starts inside its chunk: its offset has 20 bits.
  if (pool_.empty() || poolChunkBytes_ - poolUsed_ < std::max<std::size_t>(name.size() * 2, 1)) {
    poolChunkBytes_ = pool_.empty() ? kFirstPieceBytes : kPoolChunkBytes;
    pool_.push_back(newPiece<std::uint8_t>(poolChunkBytes_));
    poolUsed_ = 0;
  }
  std::uint8_t* at = pool_.back().get() + poolUsed_;
  char16_t over = 0;
  std::size_t n = 0;
  // Eight units at a time while none is a NUL; the group that holds one is done again
  // a unit at a time.
  for (; n + 8 <= name.size(); n += 8) {
    char16_t groupOver = 0;
    bool nul = false;
    for (std::size_t k = n; k < n + 8; ++k) {
      groupOver |= name[k];
      nul |= name[k] == u'\0';
      at[k] = std::uint8_t(name[k]);
    }
    if (nul) break;
    over |= groupOver;
  }
  for (; n < name.size() && name[n] != u'\0'; ++n) {
    over |= name[n];
    at[n] = std::uint8_t(name[n]);
  }
  name = name.substr(0, n);
  const bool wide = over > 0xFF;
  const std::size_t bytes = name.size() * (wide ? 2 : 1);
  if (wide) std::memcpy(at, name.data(), bytes);
  r.nameChunk = std::uint32_t(pool_.size() - 1);
  r.nameWord = std::uint32_t(poolUsed_) | std::uint32_t(name.size()) << kNameOffsetBits | (wide ? kNameWideBit : 0);
  poolUsed_ += bytes;
}

std::uint32_t CFileFolderTree::AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) {
  if (count_ >= platform::kNoFoundItem - 1) return platform::kNoFoundItem;
  if (count_ == 0) {
    blocks_.push_back(newPiece<Record>(kFirstPieceBytes));
    firstBlockRecords_ = kFirstPieceBytes / sizeof(Record);
  } else if (count_ == firstBlockRecords_ && count_ < kRecordsPerBlock) {
    // The first block is full: a tree past a few thousand items is likely to grow on, so it
    // takes a whole piece at once (one copy, and a large page) rather than doubling by steps.
    Piece<Record> grown = newPiece<Record>(kPieceBytes);
    std::memcpy(grown.get(), blocks_[0].get(), count_ * sizeof(Record));
    blocks_[0] = std::move(grown);
    firstBlockRecords_ = kRecordsPerBlock;
  } else if (count_ % kRecordsPerBlock == 0) {
    blocks_.push_back(newPiece<Record>(kPieceBytes));
  }
  const Index i = Index(count_);
  Record& r = record(i);
  r.size = item.m_nSize;
  r.recordKey = item.m_nRecordKey;
  r.modified = item.m_ftModified;
  r.created = item.m_ftCreated;
  r.parentId = item.m_nParentId;
  r.id = item.m_nId;
  r.altParentId = item.m_nAltParentId;
  r.attributes = item.m_byAttributes;
  r.flags = item.m_byFlags;
  r.viewFlags = item.m_byViewFlags;
  r.lastFlags = item.lastFlags;
  storeName(r, name);
  ++count_;
  if (item.isFolder()) {
    ++folderCount_;
    indexFolder(item.m_nId, i);
  } else {
    ++fileCount_;
    totalSize_ += item.m_nSize;
  }
  return i;
}

void CFileFolderTree::SetFoundItemSize(std::uint32_t item, std::uint64_t size, std::uint8_t lastFlags) {
  if (item >= count_) return;
  Record& r = record(item);
  r.size = size;
  r.lastFlags |= lastFlags;
}

void CFileFolderTree::SetFoundItemParent(std::uint32_t item, std::uint32_t parentId) {
  if (item < count_) record(item).parentId = parentId;
}

// --- the folder index --------------------------------------------------------------------

void CFileFolderTree::indexFolder(std::uint32_t id, Index i) {
  if ((folderSlotsUsed_ + 1) * 2 > folderSlots_.size()) {
    std::vector<std::uint64_t> old = std::move(folderSlots_);
    folderSlots_.assign(std::max<std::size_t>(64, old.size() * 2), 0);
    folderSlotsUsed_ = 0;
    for (const std::uint64_t slot : old)
      if (slot != 0) indexFolder(std::uint32_t(slot), Index((slot >> 32) - 1));
  }
  const std::size_t mask = folderSlots_.size() - 1;
  for (std::size_t s = hashId(id) & mask;; s = (s + 1) & mask) {
    const std::uint64_t slot = folderSlots_[s];
    if (slot == 0) {
      folderSlots_[s] = std::uint64_t(id) | std::uint64_t(i + 1) << 32;
      ++folderSlotsUsed_;
      return;
    }
    if (std::uint32_t(slot) == id) return;  // the first folder with an id keeps it
  }
}

CFileFolderTree::Index CFileFolderTree::folderWithId(std::uint32_t id) const {
  if (folderSlots_.empty()) return kRoot;
  const std::size_t mask = folderSlots_.size() - 1;
  for (std::size_t s = hashId(id) & mask;; s = (s + 1) & mask) {
    const std::uint64_t slot = folderSlots_[s];
    if (slot == 0) return kRoot;
    if (std::uint32_t(slot) == id) return Index((slot >> 32) - 1);
  }
}

// --- renames -----------------------------------------------------------------------------

void CFileFolderTree::QueueItemRename(const FOUND_ITEM& item, std::u16string_view name) {
  renames_.push_back({item.m_nRecordKey, std::u16string(name.substr(0, kMaxItemNameLength))});
}

void CFileFolderTree::ApplyQueuedRenames() {
  if (renames_.empty()) return;
  std::unordered_map<std::uint64_t, const std::u16string*> byKey;
  for (const Rename& r : renames_) byKey[r.recordKey] = &r.name;  // the last name queued wins
  // A new name goes to the pool's end; the old one stays behind, unused.
  for (Index i = 0; i < count_; ++i) {
    Record& r = record(i);
    const auto it = byKey.find(r.recordKey);
    if (it != byKey.end()) storeName(r, *it->second);
  }
  renames_.clear();
}

// --- readers -----------------------------------------------------------------------------

FOUND_ITEM CFileFolderTree::item(Index i) const {
  const Record& r = record(i);
  FOUND_ITEM f;
  f.m_nSize = r.size;
  f.m_nRecordKey = r.recordKey;
  f.m_nParentId = r.parentId;
  f.m_nId = r.id;
  f.m_byAttributes = r.attributes;
  f.m_ftModified = r.modified;
  f.m_ftCreated = r.created;
  f.m_byFlags = r.flags;
  f.m_nAltParentId = r.altParentId;
  f.m_byViewFlags = r.viewFlags;
  f.lastFlags = r.lastFlags;
  return f;
}

std::u16string CFileFolderTree::nameOf(Index i) const {
  if (i >= count_) return {};
  const NameBytes n = nameBytes(i);
  std::u16string out(n.units, u'\0');
  if (n.wide) std::memcpy(out.data(), n.bytes, n.units * 2);
  else
    for (std::size_t k = 0; k < n.units; ++k) out[k] = char16_t(n.bytes[k]);
  return out;
}

CFileFolderTree::Index CFileFolderTree::parentOf(Index i) const {
  if (i >= count_) return kRoot;
  const Index p = folderWithId(record(i).parentId);
  return p == i ? kRoot : p;
}

std::vector<CFileFolderTree::Index> CFileFolderTree::childrenOf(Index folder) const {
  std::vector<Index> out;
  for (Index i = 0; i < count_; ++i)
    if (parentOf(i) == folder) out.push_back(i);
  return out;
}

std::u16string CFileFolderTree::pathOf(Index i) const {
  std::vector<Index> chain;
  std::unordered_set<Index> seen;
  for (Index p = i; p < count_ && seen.insert(p).second; p = parentOf(p)) chain.push_back(p);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += u'/';
    path += nameOf(*it);
  }
  return path;
}

FoundItemRef CFileFolderTree::ref(Index i) const {
  FoundItemRef r;
  if (i >= count_) return r;
  r.index_ = i;
  r.item_ = item(i);
  return r;
}

FoundItemRef CFileFolderTree::parentOf(const FoundItemRef& r) const { return ref(parentOf(r.index())); }

std::size_t CFileFolderTree::heldBytes() const {
  const std::size_t records = blocks_.empty() ? 0 : firstBlockRecords_ + (blocks_.size() - 1) * kRecordsPerBlock;
  const std::size_t names = pool_.empty() ? 0 : kFirstPieceBytes + (pool_.size() - 1) * kPoolChunkBytes;
  return records * sizeof(Record) + names + folderSlots_.capacity() * sizeof(std::uint64_t);
}

}  // namespace qelda::results
