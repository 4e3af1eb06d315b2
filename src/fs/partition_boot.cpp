#include "fs/partition_boot.h"

#include "fs/boot_layout.h"

namespace qelda::disk {

std::uint32_t CheckFatBootSector(FAT_BOOT_INFO& info, platform::ByteView bootSector) {
  info = FAT_BOOT_INFO{};
  info.m_byFatType = kFatType16;
  const std::uint8_t spc = bootSector.u8(boot::kSectorsPerCluster).value_or(0);
  info.m_bySectorsPerCluster = spc;
  if (spc == 0 || (spc & (spc - 1)) != 0) return 0;  // 1, 2, 4, ... 128

  // The 16-bit fields are counts: read unsigned, so a large value stays large instead of
  // turning negative.
  const std::uint16_t fatSectors16 = bootSector.le16(boot::kSectorsPerFat16).value_or(0);
  info.m_nSectorsPerFat = fatSectors16;
  info.m_nReservedSectors = bootSector.le16(boot::kReservedSectors).value_or(0);
  info.m_byMedia = bootSector.u8(boot::kMedia).value_or(0);
  info.m_wRootDirSectors = std::uint16_t(bootSector.le16(boot::kRootEntries).value_or(0) >> 4);
  info.m_nRootCluster = 0;
  info.m_nEndOfChain = 0xFFF8;

  // FAT32 keeps its FAT size in the 32-bit field and leaves the 16-bit one 0; the reserved
  // count says nothing (mkfs.fat gives FAT16 volumes 64 reserved sectors for alignment).
  if (fatSectors16 == 0) info.m_byFatType = kFatType32;
  else if (fatSectors16 <= 12) info.m_byFatType = kFatType12;
  else info.m_byFatType = kFatType16;

  if (info.m_byFatType == kFatType12) info.m_nEndOfChain = 0xFF8;
  if (info.m_byFatType == kFatType32) {
    info.m_wRootDirSectors = 0;
    info.m_nSectorsPerFat = bootSector.le32(boot::kSectorsPerFat32).value_or(0);
    info.m_nRootCluster = bootSector.le32(boot::kRootCluster32).value_or(0);
    info.m_nEndOfChain = 0x0FFFFFF8;
    if (info.m_nSectorsPerFat <= 266 || info.m_nRootCluster < 2) return 0;
  }
  if (info.m_byFatType == kFatType16 && info.m_nSectorsPerFat >= 266) return 0;
  return 1;
}

std::optional<std::uint32_t> volumeTypeFromBootSector(platform::ByteView bootSector) {
  if (bootSector.matches(boot::kOemName, "EXFAT") || bootSector.matches(boot::kOemName, "NTFS"))
    return kTypeNtfsOrExFat;
  // OEM names of FAT volumes are whatever the formatting tool wrote ("MSDOS5.0" on FAT16 as
  // well, "mkfs.fat"), so the boot sector itself decides. Its end mark keeps the loose FAT
  // test from taking any sector of a non-FAT partition.
  if (bootSector.u8(boot::kEndMark) != 0x55 || bootSector.u8(boot::kEndMark + 1) != 0xAA) return std::nullopt;
  FAT_BOOT_INFO info;
  if (!CheckFatBootSector(info, bootSector)) return std::nullopt;
  switch (info.m_byFatType) {
    case kFatType12: return kTypeFat12;
    case kFatType32: return kTypeFat32;
    default: return kTypeFat16;
  }
}

}  // namespace qelda::disk
