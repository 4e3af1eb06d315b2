// The ids of found items and of the folders (and signature finds) an engine makes up. Id 0
// is the found tree's root and 1 "Lost folder(s)": neither is ever given. Items count up
// from where each scan starts them; made-up ids count down from -16 towards them. The two
// never hand out the same id: where they meet, each repeats the id next to the other's.
#pragma once

#include <algorithm>
#include <cstdint>

namespace qelda::engine {

class ItemIds {
 public:
  static constexpr std::uint32_t kFirstItemId = 2;
  static constexpr std::uint32_t kFirstMadeUpId = 0xFFFFFFF0;  // -16

  // `next` is the engine's own next-item-id field, which the allocator keeps.
  explicit ItemIds(std::uint32_t& next) : next_(next) {}
  ItemIds(const ItemIds&) = delete;
  ItemIds& operator=(const ItemIds&) = delete;

  std::uint32_t take() {
    if (next_ < kFirstItemId) next_ = kFirstItemId;
    // Made-up ids given since their restart lie above madeUp_; while none is given, items
    // may use the whole range (a heap of nearly 2^32 clusters numbers its finds above it).
    const std::uint32_t top = madeUp_ == kFirstMadeUpId ? UINT32_MAX : madeUp_;
    const std::uint32_t id = std::min(next_, top);
    if (next_ < top) ++next_;
    highest_ = std::max(highest_, id);
    return id;
  }
  // The next item takes `first` (never below 2).
  void startAt(std::uint32_t first) { next_ = first; }
  // The next item takes `first`, or more: never an id taken since forgetTaken.
  void startAbove(std::uint32_t first) {
    const std::uint32_t unused = highest_ == UINT32_MAX ? UINT32_MAX : highest_ + 1;
    next_ = std::max(first, unused);
  }
  // A new scan: the ids taken before may be given again.
  void forgetTaken() { highest_ = 0; }

  std::uint32_t takeMadeUp() {
    if (madeUp_ <= highest_) return madeUp_ + 1;  // the items have reached the made-up ids
    return madeUp_--;
  }
  // Made-up ids count down from -16 again.
  void restartMadeUp() { madeUp_ = kFirstMadeUpId; }

 private:
  std::uint32_t& next_;
  std::uint32_t highest_ = 0;  // the highest item id taken since forgetTaken
  std::uint32_t madeUp_ = kFirstMadeUpId;
};

}  // namespace qelda::engine
