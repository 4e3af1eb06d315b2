// The partition table of an MBR or of an extended boot record, as bytes become entries.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "platform/byte_view.h"

namespace qelda::volume {

struct MbrEntry {
  std::array<std::uint8_t, 16> raw{};  // the entry as it stands in the table
  std::uint8_t type = 0;
  std::uint32_t firstSector = 0;  // relative to the sector of the table
  std::uint32_t sectorCount = 0;
};

// What the walk does with an entry, by its type byte.
enum class MbrEntryRole : std::uint8_t {
  Ignored,   // empty, Linux, and every type the walk does not list
  Volume,    // FAT, NTFS/exFAT and their hidden or fault-tolerant variants
  Extended,  // link to the next extended boot record
  Gpt,       // protective entry: the disk is partitioned by a GUID partition table
  Ldm,       // dynamic disk
};

MbrEntryRole mbrEntryRole(std::uint8_t type);

// The four entries of a table sector; nothing when it lacks the 0x55 0xAA signature.
std::optional<std::array<MbrEntry, 4>> parseMbrTable(platform::ByteView sector);

}  // namespace qelda::volume
