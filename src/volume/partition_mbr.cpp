#include "volume/partition_mbr.h"

#include <algorithm>

#include "volume/partition_layout.h"

namespace qelda::volume {

MbrEntryRole mbrEntryRole(std::uint8_t type) {
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x07: case 0x0B: case 0x0C: case 0x0E: case 0x86: case 0x87:
      return MbrEntryRole::Volume;
    case 0x05: case 0x0F:
      return MbrEntryRole::Extended;
    case 0xEE: case 0xEF:
      return MbrEntryRole::Gpt;
    case 0x42:
      return MbrEntryRole::Ldm;
    default:
      return MbrEntryRole::Ignored;
  }
}

std::optional<std::array<MbrEntry, 4>> parseMbrTable(platform::ByteView sector) {
  if (sector.u8(mbr::kSignature) != mbr::kSignature0 || sector.u8(mbr::kSignature + 1) != mbr::kSignature1)
    return std::nullopt;
  std::array<MbrEntry, 4> entries{};
  for (std::size_t i = 0; i < mbr::kEntryCount; ++i) {
    const auto bytes = sector.sub(mbr::kFirstEntry + i * mbr::kEntrySize, mbr::kEntrySize);
    if (!bytes) return std::nullopt;
    MbrEntry& e = entries[i];
    std::copy_n(bytes->data(), mbr::kEntrySize, e.raw.begin());
    e.type = *bytes->u8(mbr::kType);
    e.firstSector = *bytes->le32(mbr::kFirstSector);
    e.sectorCount = *bytes->le32(mbr::kSectorCount);
  }
  return entries;
}

}  // namespace qelda::volume
