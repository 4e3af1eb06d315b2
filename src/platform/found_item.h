// A found file or folder as the engines report it and the results store keeps it.
// In memory an ordinary struct; the engines fill a zeroed one and hand it to the sink,
// which stores a copy together with the name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelda {

// m_byAttributes values.
inline constexpr std::uint8_t kItemFolder = 0x10;
inline constexpr std::uint8_t kItemFile = 0x20;

// m_byFlags bits.
inline constexpr std::uint8_t kItemDeleted = 0x01;
inline constexpr std::uint8_t kItemCompressed = 0x02;  // NTFS compressed; exFAT: data follows the chain
inline constexpr std::uint8_t kItemBySignature = 0x04;
inline constexpr std::uint8_t kItemEncrypted = 0x08;

// lastFlags bit: the size came from the journal analysis, not from the record.
inline constexpr std::uint8_t kItemSizeFromLog = 0x80;

// Names longer than this are cut when an item is reported.
inline constexpr std::size_t kMaxItemNameLength = 255;

struct FOUND_ITEM {
  // List links and tree item: kept by the store; engines leave them null.
  FOUND_ITEM* m_pNext = nullptr;
  FOUND_ITEM* m_pPrev = nullptr;
  void* m_hTreeItem = nullptr;

  std::uint64_t m_nSize = 0;       // bytes; 0 for folders
  std::uint64_t m_nRecordKey = 0;  // where the engine finds the item again (MFT record, first cluster, ...)
  std::uint32_t m_nParentId = 0;
  std::uint32_t m_nId = 0;
  const char16_t* m_pszName = nullptr;  // set by the store on its copy; engines leave it null
  std::uint8_t m_byAttributes = 0;      // kItemFolder or kItemFile (FAT may pass its own attribute byte)
  std::uint64_t m_ftModified = 0;       // in the engine's date encoding
  std::uint64_t m_ftCreated = 0;
  std::uint8_t m_byFlags = 0;
  std::uint32_t m_nAltParentId = 0;
  std::uint8_t m_byViewFlags = 0;
  std::uint8_t lastFlags = 0;  // the byte after m_byViewFlags (kItemSizeFromLog)

  bool isFolder() const { return (m_byAttributes & kItemFolder) != 0; }
};

}  // namespace qelda
