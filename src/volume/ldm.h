// Dynamic disks (LDM): the private header that marks one, the database of VBLK records that
// describes its volumes, and the simple volumes made of them, added to the volume list.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

#include "platform/byte_view.h"
#include "platform/parsed.h"
#include "volume/disk_state.h"

namespace qelda::volume {

using LdmGuid = std::array<std::uint8_t, 16>;  // in the order of its text form

// An object id of the database: raw bytes of a variable-length number, compared whole.
struct LdmId {
  std::array<std::uint8_t, 8> bytes{};
  std::uint8_t size = 0;
  bool operator==(const LdmId&) const = default;
};

struct LdmIdHash {
  std::size_t operator()(const LdmId& id) const;
};

struct LdmPrivateHeader {
  std::uint64_t logicalDiskStart = 0;  // where the data area begins; partition starts count from it
  std::uint64_t configStart = 0;       // first sector of the database area
  std::uint64_t configBytes = 0;       // its length in bytes
  std::optional<LdmGuid> diskGuid;     // the disk this header stands on
};

struct LdmDiskRecord {
  LdmId id;
  std::uint32_t number = 0;  // "Disk1" gives 1
  std::optional<LdmGuid> guid;
};

struct LdmComponentRecord {
  LdmId id;
  std::uint8_t kind = 0;  // 1 striped, 2 concatenated, 3 RAID-5
  LdmId parentVolumeId;
};

struct LdmPartitionRecord {
  LdmId id;
  std::uint64_t start = 0;         // sectors from the logical disk start
  std::uint64_t volumeOffset = 0;  // where the piece lies within its volume, in sectors
  std::uint64_t size = 0;          // sectors
  LdmId parentComponentId;
  LdmId diskId;
};

struct LdmVolumeRecord {
  LdmId id;
  std::string name;
  std::string volumeType;  // "gen" or "raid5"
};

// A decoded VBLK record; monostate for the kinds the walk does not keep.
using LdmRecord = std::variant<std::monostate, LdmDiskRecord, LdmComponentRecord, LdmPartitionRecord, LdmVolumeRecord>;

// One piece of an assembled volume.
struct LdmPiece {
  std::uint32_t diskNumber = 0;
  std::uint64_t start = 0;    // sectors from the logical disk start
  std::uint64_t sectors = 0;
  std::uint64_t bytes = 0;
};

struct LdmAssembledVolume {
  std::vector<LdmPiece> pieces;
};

// Everything one walk learns about a dynamic disk.
struct LdmDatabase {
  LdmPrivateHeader header;
  bool headerFound = false;
  std::uint64_t firstVblkSector = 0;
  bool databaseFound = false;
  std::vector<LdmDiskRecord> disks;
  std::vector<LdmComponentRecord> components;
  std::vector<LdmPartitionRecord> partitions;
  std::vector<LdmVolumeRecord> volumes;
  std::vector<LdmAssembledVolume> assembled;
  std::unordered_set<std::uint64_t> addedStarts;
};

// Copies `count` bytes of `source` into `destination` in reverse order.
void ReverseBytes(const std::uint8_t* source, std::uint8_t* destination, std::size_t count);

// NotThisFormat when the sector is not a private header.
platform::Parsed<LdmPrivateHeader> parseLdmPrivateHeader(platform::ByteView sector);
// Decodes one 128-byte VBLK record. NotThisFormat without the magic (the end of the
// records); OutOfRange when a field runs past the record.
platform::Parsed<LdmRecord> parseVblkRecord(platform::ByteView record);
// "d17c2c04-6afc-46c3-84b7-cdc2f3956c5c" as 16 bytes; nothing when it is not one.
std::optional<LdmGuid> parseGuidText(std::string_view text);

// 1 when the private header is at `sector` or, failing that, in the disk's first 0x40001
// sectors; its fields are then in the database.
std::uint32_t FindLdmPrivateHeader(DiskState& app, LdmDatabase& database, std::uint64_t sector);
// Looks for the database header from `startSector` to the end of the disk.
void FindLdmDatabase(DiskState& app, LdmDatabase& database, std::uint64_t startSector);
// Reads the VBLK records that follow the database header. Of the records of one kind that
// share an id only the first counts; the others are copies.
void ParseLdmRecords(DiskState& app, LdmDatabase& database);
// Joins the simple volumes' pieces that lie on this disk, then adds them. Every partition
// record is a piece of one volume at most.
void AssembleLdmVolumes(DiskState& app, LdmDatabase& database);
// Appends a volume node for every assembled volume whose first sector names a file system.
void AddLdmVolumes(DiskState& app, LdmDatabase& database);
std::uint32_t IsLdmVolumeAdded(const LdmDatabase& database, std::uint64_t startSector);

}  // namespace qelda::volume
