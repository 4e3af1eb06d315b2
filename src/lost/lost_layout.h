// The bytes the lost-volume search looks at to recognise what a sector is: offsets and
// constants only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelda::lost::layout {

// Which boot-sector test a candidate gets, by the OEM name at offset 3.
inline constexpr std::size_t kOemName = 3;
inline constexpr std::size_t kOemExFatLastByte = 7;  // "EXFA" then 'T'

// exFAT boot-sector fields the search reads beyond those of the shared boot layout.
inline constexpr std::size_t kExFatVolumeLength = 0x48;  // u64, sectors
inline constexpr std::size_t kExFatClusterCount = 0x5C;  // u32

// The first sector of a FAT (FAT12/16/32 or exFAT): media byte 0xF8 or 0xF0, then 0xFF 0xFF.
inline constexpr std::uint8_t kMediaFixed = 0xF8;
inline constexpr std::uint8_t kMediaRemovable = 0xF0;

// A directory's first cluster starts with its "." entry and its ".." entry.
inline constexpr std::size_t kDotEntry = 0;
inline constexpr std::size_t kDotDotEntry = 32;
inline constexpr std::size_t kEntryClusterHigh = 20;  // u16
inline constexpr std::size_t kEntryClusterLow = 26;   // u16

// An MFT record is two sectors (four or eight on a volume of 2048- or 4096-byte sectors);
// the search tests the record four records further on as well, 8 sectors for the first.
inline constexpr std::size_t kRecordBytes = 1024;
inline constexpr std::uint64_t kNextRecordDistance = 8;  // sectors, for records of kRecordBytes

}  // namespace qelda::lost::layout
