#include "engine/held_folders.h"

#include <algorithm>

namespace qelda::engine {

void HeldFolders::hold(const FOUND_ITEM& record, std::u16string_view name, std::size_t level) {
  Held& h = held_.emplace_back();
  h.level = level;
  PENDING_ITEM& p = h.item;
  p.record = record;
  p.record.m_pNext = p.record.m_pPrev = nullptr;
  p.record.m_hTreeItem = nullptr;
  p.record.m_pszName = nullptr;
  p.name = std::u16string(name.substr(0, std::min(name.size(), kMaxItemNameLength)));
}

}  // namespace qelda::engine
