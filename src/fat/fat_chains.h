// The engine's chains of directory nodes: kept in the order nodes were appended (the order
// the passes visit them), owned by a pool, with a hash index beside them for the
// "is this cluster listed" tests. Removing a node only unlinks it, so a pass that walks a
// chain while nested walks append to it and remove from it never meets a freed node.
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>

namespace qelda::fat {

// A node of the listed-folders and orphan-directories chains.
struct DirNode {
  DirNode* next = nullptr;
  std::uint64_t key = 0;    // the directory's first cluster
  std::uint32_t value = 0;  // listed: the reported folder's id; orphans: the parent's first cluster
  std::uint32_t flag = 0;
  DirNode* prev = nullptr;
  bool removed = false;
};

// A deleted (or found) directory carried from one pass to the next.
struct PENDING_DIR_NODE {
  PENDING_DIR_NODE* next = nullptr;
  std::uint64_t key = 0;
  std::uint64_t parentKey = 0;  // the parent's item id for folders met by a walk
  std::uint32_t entryOffset = 0;
  std::uint32_t bufferCluster = 0;  // 0: the fixed root directory
  std::uint32_t previousCluster = 0xFFFFFFFF;
  std::uint32_t itemId = 0;
  std::uint32_t spare = 0;
  std::uint8_t placed = 0;
  PENDING_DIR_NODE* prev = nullptr;
  bool removed = false;
};

template <class Node>
class IndexedChain {
 public:
  IndexedChain(Node*& head, Node*& tail) : head_(head), tail_(tail) {}
  IndexedChain(const IndexedChain&) = delete;
  IndexedChain& operator=(const IndexedChain&) = delete;

  Node& append(const Node& value) {
    Node& n = pool_.emplace_back(value);
    n.next = nullptr;
    n.prev = tail_;
    n.removed = false;
    if (tail_) tail_->next = &n;
    else head_ = &n;
    tail_ = &n;
    index_[n.key].push_back(&n);
    return n;
  }
  bool contains(std::uint64_t key) const { return index_.count(key) != 0; }
  // Unlinks the first live node with that key; the node itself stays in the pool, and its own
  // next link still leads on, so a walk standing on it goes on with the live nodes after it.
  bool removeFirst(std::uint64_t key) {
    const auto it = index_.find(key);
    if (it == index_.end()) return false;
    Node* n = it->second.front();
    it->second.pop_front();
    if (it->second.empty()) index_.erase(it);
    if (n->prev) n->prev->next = n->next;
    else head_ = n->next;
    if (n->next) n->next->prev = n->prev;
    else tail_ = n->prev;
    n->removed = true;
    return true;
  }
  // The live node after n (n may have been unlinked meanwhile).
  static Node* nextLive(Node* n) {
    Node* m = n->next;
    while (m && m->removed) m = m->next;
    return m;
  }
  void clear() {
    pool_.clear();
    index_.clear();
    head_ = tail_ = nullptr;
  }
  bool empty() const { return head_ == nullptr; }

 private:
  Node*& head_;
  Node*& tail_;
  std::deque<Node> pool_;
  std::unordered_map<std::uint64_t, std::deque<Node*>> index_;  // live nodes per key, in chain order
};

}  // namespace qelda::fat
