// Folders of saved scan information that are each other's parents (a file may say anything):
// no walk from the root reaches them, so their files would be listed but never saved. They
// are broken as the engines break such cycles during a scan: the cycle's first folder (in
// file order) goes under a made-up folder named after the parent it named, under
// "Lost folder(s)".
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/found_item.h"
#include "platform/sinks.h"

namespace qelda::save {

inline constexpr std::u16string_view kLostFoldersName = u"Lost folder(s)";
inline constexpr std::u16string_view kMadeUpFolderName = u"Folder";

class ParentCycleBreaker {
 public:
  // Each item as the console took it (`stored`: the console's copy, which is re-parented
  // when it opens a cycle; null when the console keeps none).
  void note(const FOUND_ITEM& item, std::u16string_view name, FOUND_ITEM* stored);
  // After the last item: re-parents each cycle's first folder and adds the made-up folders
  // to `console`. The number of cycles broken.
  std::size_t breakCycles(platform::IFoundItemSink& console);

 private:
  struct Folder {
    std::uint32_t id = 0;
    std::uint32_t parent = 0;
    FOUND_ITEM* stored = nullptr;
  };
  std::vector<Folder> folders_;
  std::vector<std::size_t> lostFolders_;  // folders named "Lost folder(s)", by index
};

}  // namespace qelda::save
