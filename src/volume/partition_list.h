// The volume list the partition walk builds and the source list made from it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "volume/volume_records.h"
#include "volume/disk_state.h"

namespace qelda::volume {

// Appends a volume to the application's volume list (the tail stays at the last node).
VOLUME_NODE& appendVolumeNode(DiskState& app, std::uint64_t startSector, std::uint64_t sectorCount,
                              std::span<const std::uint8_t> bootSector, std::uint32_t typeCode);
// The sector the volume list decides a volume of MBR type `typeCode` by: its first sector;
// for a type 0x07, 0x86 or 0x87 volume whose first sector is damaged, the exFAT backup boot
// sector when that one is sound (the exFAT engine reads the backup then, too).
std::array<std::uint8_t, 512> readVolumeBootSector(DiskState& app, std::uint64_t startSector,
                                                   std::uint64_t sectorCount, std::uint32_t typeCode);
// Tells the user what the walk or the image build found wrong with the disk: on the layout
// log, and kept in the disk's notes for the image description.
void noteDisk(DiskState& app, std::u16string text);

// Empties the volume list and the disk's notes; the mount step calls it before a new walk.
void freeVolumeList(DiskState& app);

// Appends an entry of `kind` to the source list, numbered after the last one; the cursor
// is left on it.
DEVICE_ENTRY& appendSourceEntry(DiskState& app, std::uint8_t kind);

// Frees every source entry with its detail record; head, cursor and selection are cleared.
void FreeSourceList(DiskState& app);

// Rebuilds the source list: the whole disk, then (unless diskOnly) one entry per volume.
// The mounted image's notes are told first.
void FillVolumeList(DiskState& app, std::uint8_t diskOnly);

// Lists the volume of a GPT basic data entry when its first sector names a file system;
// true when it did.
bool DetectVolumeFileSystem(DiskState& app, const std::array<std::uint8_t, 128>& gptEntry);

}  // namespace qelda::volume
