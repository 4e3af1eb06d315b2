// The GUID partition table: its header, the roles of its entries, and the walk over them.
#pragma once

#include <cstdint>
#include <span>

#include "platform/byte_view.h"
#include "platform/parsed.h"
#include "volume/disk_state.h"

namespace qelda::volume {

class LdmDatabase;

struct GptHeader {
  std::uint64_t entryArrayLba = 0;
  std::uint32_t entryCount = 0;
  std::uint32_t entrySize = 0;  // 128, 256 or 512
};

// NotThisFormat without the "EFI PART" signature; OutOfRange for an entry size that does
// not divide a sector into whole entries of at least 128 bytes.
platform::Parsed<GptHeader> parseGptHeader(platform::ByteView sector);

// The CRC-32 the GPT header and entry array carry (reflected, polynomial 0x04C11DB7).
std::uint32_t gptCrc32(std::span<const std::uint8_t> bytes);

enum class GptEntryRole : std::uint8_t { Ignored, BasicData, LdmMetadata };

// The role of an entry by its name (as Windows writes it) or by its type GUID (names are
// optional, and Linux tools leave them empty).
GptEntryRole gptEntryRole(platform::ByteView entry);

// Lists the basic data volumes of the table whose header is at `headerSector`; an LDM
// metadata partition makes the disk dynamic and locates its database in `database`. A
// header or entry array that fails its CRC check gives way to a sound backup header, and the
// user is told.
void ScanGptPartitionEntries(DiskState& app, LdmDatabase& database, std::uint32_t headerSector);

}  // namespace qelda::volume
