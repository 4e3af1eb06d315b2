// Folders held back until something deleted turns up beneath them. A deleted-files scan
// shows only deleted items and the live folders on the path to them: each live folder is
// held at the level of the walk that enters it and let go when the walk leaves that level
// without a find; the first deleted item found beneath reports every folder still held,
// outermost first, through the item reporter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/item_reporter.h"
#include "platform/found_item.h"

namespace qelda::engine {

// One held folder: a copy of its record (list links, tree handle and name pointer cleared)
// and its name.
struct PENDING_ITEM {
  FOUND_ITEM record;
  std::u16string name;
};

class HeldFolders {
 public:
  // Holds a folder whose walk is entered at `level` (the walk stack's depth below it); its
  // name is cut as the reporter would cut it.
  void hold(const FOUND_ITEM& record, std::u16string_view name, std::size_t level);
  // Lets go of the folder held last (its walk could not be entered).
  void drop() {
    if (!held_.empty()) held_.pop_back();
  }
  // The walk at `level` is over: what was held there or deeper had nothing deleted beneath.
  void leave(std::size_t level) {
    while (!held_.empty() && held_.back().level >= level) held_.pop_back();
  }
  void clear() { held_.clear(); }
  bool empty() const { return held_.empty(); }
  std::size_t size() const { return held_.size(); }

  // Reports every held folder, outermost first, through `reporter` into the running counts
  // (a held folder's size is left out of the total), calls reported(record) after each, and
  // holds none after.
  template <class Reported>
  void flush(ItemReporter& reporter, ReportTotals totals, std::uint64_t itemRange, Reported&& reported) {
    std::uint64_t sizeLeftOut = 0;
    for (const Held& h : held_) {
      reporter.report(h.item.record, h.item.name,
                      {totals.entryCount, totals.folderCount, totals.fileCount, sizeLeftOut}, itemRange);
      reported(h.item.record);
    }
    held_.clear();
  }

 private:
  struct Held {
    PENDING_ITEM item;
    std::size_t level = 0;
  };
  std::vector<Held> held_;  // outermost first
};

}  // namespace qelda::engine
