// The FAT engine's records of directories carried between its passes.
#pragma once

#include <cstdint>

namespace qelda::fat {

// A node of the listed-folders and orphan-directories chains.
struct DirNode {
  DirNode* next = nullptr;
  std::uint64_t key = 0;    // the directory's first cluster
  std::uint32_t value = 0;  // listed: the reported folder's id; orphans: the parent's first cluster
  std::uint32_t flag = 0;
  DirNode* prev = nullptr;
  bool removed = false;
  DirNode* sameKey = nullptr;  // kept by the chain
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
  PENDING_DIR_NODE* sameKey = nullptr;  // kept by the chain
};

}  // namespace qelda::fat
