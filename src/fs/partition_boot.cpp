#include "fs/partition_boot.h"

#include "fs/boot_layout.h"
#include "fs/exfat_boot.h"
#include "fs/fat_boot.h"

namespace qelda::fs {

std::uint32_t CheckFatBootSector(FAT_BOOT_INFO& info, platform::ByteView bootSector) {
  const fs::fat::FatBpb b = fs::fat::readFatBpb(bootSector);
  info = FAT_BOOT_INFO{};
  info.m_byFatType = kFatType16;
  info.m_bySectorsPerCluster = b.sectorsPerCluster;
  // Counted in 512-byte sectors, as the disk is, whatever the volume's sector size.
  if (!fs::fat::isClusterSizeAllowed(b.clusterSectors(), true)) return 0;
  info.m_bySectorsPerCluster = std::uint8_t(b.clusterSectors());
  // The reserved count says nothing of the type (mkfs.fat gives FAT16 volumes 64 reserved
  // sectors for alignment); the FAT's size does.
  info.m_byFatType = fs::fat::fatTypeBySectorsPerFat(b);
  info.m_nReservedSectors = std::int32_t(b.reserved());
  info.m_wRootDirSectors = b.rootDirSectors();
  info.m_nSectorsPerFat = b.sectorsPerFat();
  info.m_nRootCluster = b.isFat32() ? b.rootCluster : 0;
  info.m_byMedia = b.media;
  info.m_nTotalSectors = b.totalSectors();
  info.m_byFatCopies = b.fatCopies();
  info.m_nEndOfChain = info.m_byFatType == kFatType32   ? fs::fat::kFat32EndMarks
                       : info.m_byFatType == kFatType16 ? fs::fat::kFat16End
                                                        : fs::fat::kFat12End;
  return fs::fat::bpbFatFieldsPlausible(b) ? 1 : 0;
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

bool exFatBackupStandsIn(platform::ByteView first, platform::ByteView backup, std::uint64_t sectors) {
  if (first.matches(boot::kOemName, "EXFAT") || first.matches(boot::kOemName, "NTFS")) return false;
  if (!backup.matches(boot::kOemName, "EXFAT")) return false;
  auto params = fs::exfat::parseExFatBoot(backup);
  return params && fs::exfat::fitExFatBootToSectors(*params, sectors);
}

}  // namespace qelda::fs
