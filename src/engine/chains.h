// Chains of nodes kept in the order they were appended (the order the passes visit them),
// owned by a pool, with a hash index beside them for the "is this cluster listed" tests.
// Removing a node only unlinks it, so a pass that walks a chain while nested walks append
// to it and remove from it never meets a freed node. Nodes carry `next`, `prev`, `key`,
// `removed` and `sameKey` (the next live node with the same key, kept by the chain).
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>

namespace qelda::engine {

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
    n.sameKey = nullptr;
    if (tail_) tail_->next = &n;
    else head_ = &n;
    tail_ = &n;
    auto [it, inserted] = index_.try_emplace(n.key, KeyRun{&n, &n});
    if (!inserted) {
      it->second.last->sameKey = &n;
      it->second.last = &n;
    }
    return n;
  }
  bool contains(std::uint64_t key) const { return index_.count(key) != 0; }
  // Unlinks the first live node with that key; the node itself stays in the pool, and its own
  // next link still leads on, so a walk standing on it goes on with the live nodes after it.
  bool removeFirst(std::uint64_t key) {
    const auto it = index_.find(key);
    if (it == index_.end()) return false;
    Node* n = it->second.first;
    if (n->sameKey) it->second.first = n->sameKey;
    else index_.erase(it);
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
  // The live nodes of a key, in chain order, linked through their sameKey fields.
  struct KeyRun {
    Node* first;
    Node* last;
  };
  std::unordered_map<std::uint64_t, KeyRun> index_;
};

}  // namespace qelda::engine
