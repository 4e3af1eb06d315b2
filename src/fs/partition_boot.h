// Recognising the file system of a volume from its first sector: the FAT boot-sector test
// that the walk, the FAT engine and the lost-volume search share, and the type decision
// for GPT and LDM volumes, whose partition type says nothing about the file system.
#pragma once

#include <cstdint>
#include <optional>

#include "fs/fat_layout.h"
#include "platform/byte_view.h"

namespace qelda::fs {

// MBR-style type codes the walk gives GPT and LDM volumes.
inline constexpr std::uint32_t kTypeFat12 = 0x01;
inline constexpr std::uint32_t kTypeFat16 = 0x06;
inline constexpr std::uint32_t kTypeNtfsOrExFat = 0x07;
inline constexpr std::uint32_t kTypeFat32 = 0x0C;

// FAT types of FAT_BOOT_INFO::m_byFatType.
inline constexpr std::uint8_t kFatType12 = fs::fat::kFat12;
inline constexpr std::uint8_t kFatType16 = fs::fat::kFat16;
inline constexpr std::uint8_t kFatType32 = fs::fat::kFat32;

struct FAT_BOOT_INFO {
  std::uint8_t m_byFatType = 0;
  std::uint8_t m_bySectorsPerCluster = 0;
  std::int32_t m_nReservedSectors = 0;
  std::uint16_t m_wRootDirSectors = 0;
  std::uint32_t m_nSectorsPerFat = 0;
  std::uint32_t m_nRootCluster = 0;
  std::uint8_t m_byMedia = 0;
  std::uint32_t m_nEndOfChain = 0;
  std::uint64_t m_nTotalSectors = 0;  // as the boot sector gives it; 0 when it gives none
  std::uint8_t m_byFatCopies = 2;     // FAT copies in front of the data area: 1 or 2
};

// 1 when `bootSector` passes as a FAT12, FAT16 or FAT32 boot sector (the shared field checks
// of fs/fat_boot.h), FAT12 and FAT16 told apart by the size of the FAT. `info` is filled as
// far as the test got, also when it fails (callers copy it either way).
std::uint32_t CheckFatBootSector(FAT_BOOT_INFO& info, platform::ByteView bootSector);

// The type code of a GPT or LDM volume by its first sector: 0x07 for "NTFS" or "EXFAT"
// at the OEM name, else the FAT type that CheckFatBootSector finds; nothing when neither.
std::optional<std::uint32_t> volumeTypeFromBootSector(platform::ByteView bootSector);

// True when a volume of MBR type 0x07 (NTFS or exFAT) whose first sector is `first` is an
// exFAT volume all the same: that sector names neither file system (it is damaged) while the
// exFAT backup boot sector, `backup` (12 sectors in), is sound and fits the volume's
// `sectors` (0: its size is not known). An NTFS volume's sector 12 is boot code, never that.
bool exFatBackupStandsIn(platform::ByteView first, platform::ByteView backup, std::uint64_t sectors);

}  // namespace qelda::fs
