#include "volume/partition_list.h"

#include <algorithm>
#include <string>

#include "volume/disk_state.h"
#include "volume/gpt_layout.h"
#include "fs/exfat_layout.h"
#include "fs/ntfs_boot.h"
#include "fs/partition_boot.h"
#include "volume/partition_layout.h"
#include "platform/text.h"
#include "ui/format_size.h"

namespace qelda::volume {

using platform::ByteView;

VOLUME_NODE& appendVolumeNode(DiskState& app, std::uint64_t startSector, std::uint64_t sectorCount,
                              std::span<const std::uint8_t> bootSector, std::uint32_t typeCode) {
  VOLUME_NODE& node = app.volumeNodes_.emplace_back();
  node.m_nStartSector = startSector;
  node.m_nSectorCount = sectorCount;
  std::copy_n(bootSector.begin(), std::min(bootSector.size(), node.m_abyBootSector.size()),
              node.m_abyBootSector.begin());
  node.m_nTypeCode = typeCode;
  if (app.m_pVolumeListTail) app.m_pVolumeListTail->m_pNext = &node;
  else app.m_pVolumeList = &node;
  app.m_pVolumeListTail = &node;
  return node;
}

std::array<std::uint8_t, 512> readVolumeBootSector(DiskState& app, std::uint64_t startSector,
                                                   std::uint64_t sectorCount, std::uint32_t typeCode) {
  std::array<std::uint8_t, 512> boot{};
  image::ReadSourceSectors(app, boot.data(), startSector, std::uint32_t(boot.size()));
  if (typeCode != 0x07 && typeCode != 0x86 && typeCode != 0x87) return boot;
  if (sectorCount <= fs::exfat::boot::kBackupBootSector) return boot;
  std::array<std::uint8_t, 512> backup{};
  image::ReadSourceSectors(app, backup.data(), startSector + fs::exfat::boot::kBackupBootSector, std::uint32_t(backup.size()));
  return fs::exFatBackupStandsIn(ByteView(boot), ByteView(backup), sectorCount) ? backup : boot;
}

void noteDisk(DiskState& app, std::u16string text) {
  app.diskNotes_.push_back(text);
  if (app.layoutLog_) app.layoutLog_->AddLogEntry(std::move(text), false);
}

void freeVolumeList(DiskState& app) {
  app.diskNotes_.clear();
  app.m_pVolumeList = nullptr;
  app.m_pVolumeListTail = nullptr;
  app.volumeNodes_.clear();
}

DEVICE_ENTRY& appendSourceEntry(DiskState& app, std::uint8_t kind) {
  DEVICE_ENTRY& entry = app.sourceEntries_.emplace_back();
  entry.m_byKind = kind;
  if (!app.m_pSourceList) {
    app.m_pSourceList = &entry;
  } else {
    // The cursor sits on the last entry or before it, so this walk is short.
    DEVICE_ENTRY* last = app.m_pSourceCursor ? app.m_pSourceCursor : app.m_pSourceList;
    while (last->m_pNext) last = last->m_pNext;
    entry.m_wIndex = std::uint16_t(last->m_wIndex + 1);
    last->m_pNext = &entry;
  }
  app.m_pSourceCursor = &entry;
  return entry;
}

void FreeSourceList(DiskState& app) {
  app.m_pSourceList = nullptr;
  app.m_pSourceCursor = nullptr;
  // The chosen entry goes with the list; nothing may keep pointing into it.
  app.m_pSelectedSource = nullptr;
  app.sourceEntries_.clear();
}

namespace {

std::u16string volumeName(std::uint32_t imageType, std::uint32_t number) {
  const char* prefix = nullptr;
  switch (imageType) {
    case image::kImageVmdk: prefix = "VMDK-Vol "; break;
    case image::kImageVdi: prefix = "VDI-Vol "; break;
    case image::kImageVhd: prefix = "VHD-Vol "; break;
    default: return {};
  }
  return platform::widenLatin1(std::string(prefix) + std::to_string(number));
}

void fillFileSystem(VOLUME_RECORD& record, const VOLUME_NODE& node) {
  const ByteView boot(node.m_abyBootSector);
  fs::FAT_BOOT_INFO fat;
  switch (node.m_nTypeCode) {
    case 0x01: case 0x04: case 0x06: case 0x0E:
    case 0x0B: case 0x0C: {
      const bool fat32 = node.m_nTypeCode == 0x0B || node.m_nTypeCode == 0x0C;
      // The partition type decides the code; the boot-sector test only supplies the
      // geometry, whatever it concluded.
      fs::CheckFatBootSector(fat, boot);
      record.m_byFileSystem = fat32 ? kFsFat32 : node.m_nTypeCode == 0x01 ? kFsFat12 : kFsFat16;
      record.m_szFileSystem = fat32 ? u"FAT32" : u"FAT";
      record.m_bySectorsPerCluster = fat.m_bySectorsPerCluster;
      record.m_nFatSectors = fat.m_nSectorsPerFat;
      record.m_nReservedSectors = std::uint32_t(fat.m_nReservedSectors);
      record.m_wRootDirSectors = fat32 ? 0 : fat.m_wRootDirSectors;
      record.m_nRootCluster = fat32 ? fat.m_nRootCluster : 0;
      break;
    }
    case 0x07: case 0x86: case 0x87:
      if (boot.matches(fs::boot::kOemName, "EXFAT")) {
        record.m_byFileSystem = kFsExFat;
        record.m_szFileSystem = u"exFAT";
        const std::uint8_t shift = boot.u8(fs::boot::kExFatSectorsPerClusterShift).value_or(0xFF);
        record.m_bySectorsPerCluster = shift <= fs::boot::kExFatMaxClusterShift ? std::uint8_t(1u << shift) : 0;
        record.m_nFatSectors = boot.le32(fs::boot::kExFatFatLength).value_or(0);
        record.m_nReservedSectors = boot.le32(fs::boot::kExFatFatOffset).value_or(0);
        record.m_nRootCluster = boot.le32(fs::boot::kExFatRootCluster).value_or(0);
      } else {
        record.m_byFileSystem = kFsNtfs;
        record.m_szFileSystem = u"NTFS";
        const std::uint16_t spc = fs::ntfs::sectorsPerClusterForVolumeList(boot.u8(fs::boot::kNtfsSectorsPerCluster).value_or(0),
                                                                       fs::ntfs::sectorUnitsOf(boot));
        record.m_wNtfsSectorsPerCluster = spc;
        record.m_nMftSector = spc * boot.le64(fs::boot::kNtfsMftCluster).value_or(0);
        record.m_nMftMirrSector = spc * boot.le64(fs::boot::kNtfsMftMirrCluster).value_or(0);
      }
      break;
    default:
      break;
  }
}

// How much of the volume the disk holds: a partition entry may claim more than there is.
std::uint64_t sectorsOnDisk(const VOLUME_NODE& node, std::uint64_t diskSectors) {
  if (node.m_nStartSector >= diskSectors) return 0;
  return std::min(node.m_nSectorCount, diskSectors - node.m_nStartSector);
}

void noteCutVolume(DiskState& app, const VOLUME_RECORD& record, std::uint32_t number) {
  if (!app.layoutLog_) return;
  const std::u16string name = record.m_szName.empty()
                                  ? platform::widenLatin1("Volume " + std::to_string(number))
                                  : record.m_szName;
  app.layoutLog_->AddLogEntry(
      name + platform::widenLatin1(": the partition table gives " + std::to_string(*record.claimedSectorCount) +
                                   " sectors from sector " + std::to_string(record.m_nStartSector) +
                                   ", past the end of the disk at sector " + std::to_string(app.m_nDiskSectors) +
                                   (record.m_nSectorCount == 0
                                        ? std::string("; none of them is read")
                                        : "; only its first " + std::to_string(record.m_nSectorCount) +
                                              " are read")),
      false);
}

}  // namespace

void FillVolumeList(DiskState& app, std::uint8_t diskOnly) {
  FreeSourceList(app);
  if (const auto image = app.mountedImage())
    for (const std::u16string& note : image->notes) noteDisk(app, note);

  DEVICE_ENTRY& disk = appendSourceEntry(app, kKindWholeDisk);
  DRIVE_RECORD& drive = disk.m_pDetail.makeDrive();
  drive.m_byDrive = 0x80;
  drive.m_nSizeSectors = app.m_nDiskSectors;
  drive.m_szSizeText = ui::FormatVolumeSize(app.m_nDiskSectors);
  if (diskOnly) return;

  // A local cursor: the volume list's tail stays the append point for later searches.
  std::uint32_t number = 0;
  for (const VOLUME_NODE* node = app.m_pVolumeList; node; node = node->m_pNext, ++number) {
    DEVICE_ENTRY& entry = appendSourceEntry(app, kKindPartition);
    VOLUME_RECORD& record = entry.m_pDetail.makeVolume();
    record.m_byDrive = 0xFF;
    record.m_szName = volumeName(app.m_nImageType, number);
    record.m_szDriveType = u"FIXED";
    // The list shows what the partition entry says; the engines read the sectors of it
    // that the disk holds.
    record.m_szSizeText = ui::FormatVolumeSize(node->m_nSectorCount);
    record.m_nSizeBytes = node->m_nSectorCount <= (UINT64_MAX >> 9) ? node->m_nSectorCount * 512 : UINT64_MAX;
    record.m_nStartSector = node->m_nStartSector;
    record.m_nSectorCount = sectorsOnDisk(*node, app.m_nDiskSectors);
    record.m_nLastSector = node->m_nStartSector + record.m_nSectorCount;
    if (record.m_nSectorCount != node->m_nSectorCount) {
      record.claimedSectorCount = node->m_nSectorCount;
      noteCutVolume(app, record, number);
    }
    fillFileSystem(record, *node);
    record.m_szLabel = u"VirtualVol";
  }
}

bool DetectVolumeFileSystem(DiskState& app, const std::array<std::uint8_t, 128>& gptEntry) {
  const ByteView entry(gptEntry);
  const std::uint64_t first = *entry.le64(gpt::kFirstLba);
  const std::uint64_t last = *entry.le64(gpt::kLastLba);
  if (last < first) return false;  // no length to list
  std::array<std::uint8_t, 512> boot{};
  image::ReadSourceSectors(app, boot.data(), first, std::uint32_t(boot.size()));
  const auto type = fs::volumeTypeFromBootSector(ByteView(boot));
  if (!type) return false;
  appendVolumeNode(app, first, last - first + 1, boot, *type);
  return true;
}

}  // namespace qelda::volume
