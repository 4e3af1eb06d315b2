#include "fs/index_entry.h"

#include <algorithm>
#include <utility>

#include "fs/ntfs_layout.h"

namespace qelda::fs::ntfs {

namespace L = layout;

bool IndexEntryInfo::isFolder() const { return (fileAttributes & L::kFileAttrDirectory) != 0; }

std::vector<IndexEntryInfo> parseIndexEntries(platform::ByteView bytes, std::size_t first, std::size_t limit,
                                              std::size_t startLimit) {
  std::vector<IndexEntryInfo> out;
  limit = std::min(limit, bytes.size());
  std::size_t pos = first;
  // Each step moves forward by at least the fixed entry header, so the loop ends.
  while (pos < startLimit && pos <= limit && limit - pos >= 0x10) {
    const std::uint32_t record = *bytes.le32(pos + L::kIeRecord);
    const std::uint16_t length = *bytes.le16(pos + L::kIeLength);
    const std::uint16_t flags = *bytes.le16(pos + L::kIeFlags);
    if (length == 0 || (flags & L::kIeFlagLast) != 0) break;
    if (length < 0x10 || length > limit - pos) break;
    IndexEntryInfo e;
    e.record = record;
    e.sequence = *bytes.le16(pos + L::kIeSequence);
    const bool named = length >= L::kIeName;
    if (named) {
      const std::uint8_t nameLength = *bytes.u8(pos + L::kIeNameLength);
      const auto name = std::size_t(L::kIeName) + 2u * nameLength <= length
                            ? bytes.utf16le(pos + L::kIeName, nameLength)
                            : std::nullopt;
      if (name) {
        e.name = std::move(*name);
        e.parent = *bytes.le32(pos + L::kIeParent);
        e.created = *bytes.le64(pos + L::kIeCreated);
        e.modified = *bytes.le64(pos + L::kIeModified);
        e.realSize = *bytes.le64(pos + L::kIeRealSize);
        e.fileAttributes = *bytes.le32(pos + L::kIeFileAttributes);
        e.nameSpace = *bytes.u8(pos + L::kIeNameSpace);
      }
    }
    if (record == 0) {
      if (e.name.size() >= 2 && e.name[0] == u'$' && e.name[1] == u'M') e.record = 1;
      else break;
    }
    if (!e.name.empty()) out.push_back(std::move(e));
    pos += length;
  }
  return out;
}

bool applyIndexBlockFixup(std::span<std::uint8_t> block) {
  const platform::ByteView view(block);
  if (block.size() < 512 || block.size() % 512 != 0 || !view.matches(0, "INDX")) return false;
  const std::size_t usa = *view.le16(L::kIndxUsaOffset);
  const std::size_t count = *view.le16(L::kIndxUsaCount);
  const std::size_t sectors = block.size() / 512;
  // The array holds the sequence number and one word per sector, and must lie in sector 0
  // before the word it replaces.
  if (count != sectors + 1 || usa < 0x28 || usa + 2 * count > 510) return false;
  for (std::size_t k = 0; k < sectors; ++k) {
    block[k * 512 + 510] = block[usa + 2 + 2 * k];
    block[k * 512 + 511] = block[usa + 3 + 2 * k];
  }
  return true;
}

std::vector<IndexEntryInfo> parseIndexBlock(platform::ByteView block) {
  const auto entriesOffset = block.le32(L::kIndxNodeHeader);
  const auto allocated = block.le32(L::kIndxNodeAllocated);
  if (!entriesOffset || !allocated) return {};
  const std::size_t first = L::kIndxNodeHeader + std::size_t(*entriesOffset);
  const std::size_t limit = std::min<std::size_t>(block.size(), L::kIndxNodeHeader + std::size_t(*allocated));
  // An entry that starts closer to the block's end than a named entry's fixed part cannot be one.
  const std::size_t startLimit = block.size() >= L::kIeName + 2 ? block.size() - (L::kIeName + 2) + 1 : 0;
  return parseIndexEntries(block, first, limit, startLimit);
}

}  // namespace qelda::fs::ntfs
