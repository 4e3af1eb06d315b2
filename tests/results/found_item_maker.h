// A found item as the tree tests report it: the id doubles as the record key.
#pragma once

#include <cstdint>

#include "platform/found_item.h"

namespace qelda::results::test {

inline FOUND_ITEM item(std::uint32_t id, std::uint32_t parent, bool folder, std::uint64_t size = 0) {
  FOUND_ITEM f;
  f.m_nId = id;
  f.m_nRecordKey = id;
  f.m_nParentId = parent;
  f.m_byAttributes = folder ? kItemFolder : kItemFile;
  f.m_nSize = size;
  return f;
}

}  // namespace qelda::results::test
