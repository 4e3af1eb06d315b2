// The records of the source list: the volumes the partition walk found (VOLUME_NODE), the
// list entries (DEVICE_ENTRY) and their detail records (DRIVE_RECORD for a whole drive or
// image, VOLUME_RECORD for a volume). The last three are also stored byte for byte in scan
// information; in memory they are ordinary structs and encode()/decode() give the stored
// form, with pointer slots written as zero and ignored when read back.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs {
struct DRIVE_IDENTITY;  // a physical drive's identity, attached by the drive search
}  // namespace qelda::fs

namespace qelda::volume {

// File-system codes of VOLUME_RECORD::m_byFileSystem.
inline constexpr std::uint8_t kFsFat12 = 0;
inline constexpr std::uint8_t kFsFat16 = 1;
inline constexpr std::uint8_t kFsFat32 = 2;
inline constexpr std::uint8_t kFsExFat = 3;
inline constexpr std::uint8_t kFsNtfs = 7;

// DEVICE_ENTRY kinds made by the partition walk.
inline constexpr std::uint8_t kKindWholeDisk = 0;
inline constexpr std::uint8_t kKindPartition = 1;

// One volume the partition walk found, in walk order.
struct VOLUME_NODE {
  std::uint64_t m_nStartSector = 0;
  std::uint64_t m_nSectorCount = 0;
  // The volume's first sector; for an exFAT volume whose first sector is damaged, the
  // backup boot sector the file system is known by.
  std::array<std::uint8_t, 512> m_abyBootSector{};
  // The MBR type byte; for GPT and LDM volumes 0x01, 0x06 or 0x0C (FAT12/16/32) or 0x07.
  std::uint32_t m_nTypeCode = 0;
  VOLUME_NODE* m_pNext = nullptr;
};


struct DRIVE_RECORD {
  std::uint8_t m_byDrive = 0;  // 0x80 + n for physical drive n; 0x80 for the mounted image
  std::uint64_t m_nSizeSectors = 0;
  std::u16string m_szSizeText;
  std::shared_ptr<fs::DRIVE_IDENTITY> m_pIdentity;

  static constexpr std::size_t kStoredSize = 287;
  std::array<std::uint8_t, kStoredSize> encode() const;
  static platform::Parsed<DRIVE_RECORD> decode(platform::ByteView bytes);
};

struct VOLUME_RECORD {
  std::uint8_t firstByte = 0;  // offset 0: kept as it came, the walk leaves it 0
  std::u16string m_szName;
  std::u16string m_szLabel;
  std::u16string m_szDriveType;
  std::uint64_t m_nSizeBytes = 0;
  std::u16string m_szFileSystem;  // "FAT", "FAT32", "exFAT" or "NTFS"
  std::uint8_t m_byDrive = 0;     // 0xFF for a volume of an image file
  std::uint64_t m_nStartSector = 0;
  // What the engines read: the volume's sectors up to the end of the disk at most.
  std::uint64_t m_nSectorCount = 0;
  std::uint64_t m_nLastSector = 0;
  // The sector count the partition entry gives, when it reaches past the end of the disk:
  // shown in the source list (with m_szSizeText and m_nSizeBytes, which follow it), never
  // read. Not part of the stored record.
  std::optional<std::uint64_t> claimedSectorCount;
  std::uint8_t m_byFileSystem = 0;
  std::uint32_t m_nFatSectors = 0;       // FAT: sectors per FAT; exFAT: FAT length
  std::uint32_t m_nReservedSectors = 0;  // FAT: reserved sectors; exFAT: FAT offset
  std::uint16_t m_wRootDirSectors = 0;
  std::uint8_t m_bySectorsPerCluster = 0;
  std::uint32_t m_nRootCluster = 0;
  // Directory clusters a lost-volume search rebuilt the volume from; the record owns them.
  // Only their count is stored with the record.
  std::vector<std::uint32_t> clusterArray;
  std::uint64_t m_nMftSector = 0;      // relative to the volume start
  std::uint64_t m_nMftMirrSector = 0;  // relative to the volume start
  std::uint16_t m_wNtfsSectorsPerCluster = 0;
  std::u16string m_szSizeText;

  static constexpr std::size_t kStoredSize = 407;
  std::array<std::uint8_t, kStoredSize> encode() const;
  // The cluster array is not part of the stored record: it comes back empty.
  static platform::Parsed<VOLUME_RECORD> decode(platform::ByteView bytes);
};

// DEVICE_ENTRY::m_pDetail: the entry's detail record, owned by the entry.
class SourceDetail {
 public:
  DRIVE_RECORD* drive() const;
  VOLUME_RECORD* volume() const;
  DRIVE_RECORD& makeDrive();
  VOLUME_RECORD& makeVolume();

 private:
  std::variant<std::monostate, std::unique_ptr<DRIVE_RECORD>, std::unique_ptr<VOLUME_RECORD>> record_;
};

struct DEVICE_ENTRY {
  DEVICE_ENTRY* m_pNext = nullptr;
  std::uint16_t m_wIndex = 0;
  std::uint8_t m_byRowState = 0;
  std::uint8_t m_byKind = 0;
  std::u16string m_szName;  // up to 259 characters
  SourceDetail m_pDetail;

  // True for the kinds whose detail is a DRIVE_RECORD (whole drives and images).
  static bool carriesDriveRecord(std::uint8_t kind);

  static constexpr std::size_t kStoredSize = 532;
  std::array<std::uint8_t, kStoredSize> encode() const;
  // Without its detail record, which is stored separately.
  static platform::Parsed<DEVICE_ENTRY> decode(platform::ByteView bytes);
};

}  // namespace qelda::volume
