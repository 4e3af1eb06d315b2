// Directory index entries, as they lie in an $INDEX_ROOT or in an "INDX" block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/byte_view.h"

namespace qelda::fs::ntfs {

// One entry's copy of the file's $FILE_NAME.
struct IndexEntryInfo {
  std::uint32_t record = 0;
  std::uint16_t sequence = 0;  // of the record when the entry was made
  std::uint32_t parent = 0;
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint64_t realSize = 0;
  std::uint32_t fileAttributes = 0;
  std::uint8_t nameSpace = 0;
  std::u16string name;

  bool isFolder() const;
  std::uint8_t attributesByte1() const { return std::uint8_t(fileAttributes >> 8); }
};

// Reads the entries of one index node from `first` on. Every entry lies wholly inside
// [0, limit) of `bytes`; no entry starts at or beyond `startLimit`. The node ends at the
// last-entry mark, at a zero length, or at a zero record number, except that record 0
// named "$M..." ($MFT) is taken as record 1 so that the entries after it are read too.
// Entries too short to hold a name, or whose name leaves the entry, are passed over.
std::vector<IndexEntryInfo> parseIndexEntries(platform::ByteView bytes, std::size_t first, std::size_t limit,
                                              std::size_t startLimit);

// Checks an "INDX" block of `blockSize` bytes and puts each sector's replacement word back.
// False (block untouched) when the signature or the update sequence does not fit the block.
bool applyIndexBlockFixup(std::span<std::uint8_t> block);

// The entries of a fixed-up "INDX" block.
std::vector<IndexEntryInfo> parseIndexBlock(platform::ByteView block);

}  // namespace qelda::fs::ntfs
