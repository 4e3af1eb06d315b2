// The header block of a scan-information file: where the scanned volume lies, its geometry
// as the engine knew it, the lengths of the parts that follow, and the source drive's
// identity (to find the drive again). In memory an ordinary struct; encode()/decode() give
// the stored 1024 bytes at the offsets of scan_image_layout.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/scan_image_layout.h"
#include "platform/byte_view.h"
#include "platform/checked.h"

namespace qelda::engine {

// The largest DEVICE_ENTRY kind of the source list (volumes found in an image file).
inline constexpr std::uint8_t kMaxSourceKind = 12;

// Which engine a saved scan restores into.
enum class SavedEngine : std::uint8_t { Fat, ExFat, Ntfs };

struct SCAN_IMAGE_HEADER {
  std::uint8_t m_byDrive = 0;          // the restores put the drive they found again here
  std::uint32_t m_nFatSectors = 0;     // FAT: sectors per FAT; exFAT: allocation-table sectors
  std::uint32_t rootCluster = 0;       // FAT32, exFAT
  std::uint32_t m_nClusterMapBytes = 0;
  std::uint8_t m_bFat = 0;             // FAT scans: sectors per cluster; 0 for the others
  std::uint8_t m_byFsCode = 0;         // volume::kFsFat12 .. kFsNtfs
  std::uint8_t m_byTableMode = 0;      // FAT linking mode: 0 "FAT1", 1 "FAT2", 2 "Contiguous"
  std::uint32_t reservedSectors = 0;   // FAT: reserved sectors; exFAT: allocation-table offset
  std::uint32_t rootDirSectors = 0;    // FAT
  std::uint64_t mftSector = 0;         // NTFS, volume-relative
  std::uint64_t mftMirrSector = 0;     // NTFS
  std::uint32_t mftRunCount = 0;       // NTFS
  std::uint32_t mftRunListBytes = 0;   // NTFS: 14 bytes a run
  std::uint32_t runRecordCount = 0;    // NTFS: 28-byte run records among the engine tables
  std::uint32_t firstRunRecord = 0;    // NTFS: MFT record the first run record describes
  std::uint16_t sectorsPerCluster = 0;
  std::uint8_t imageFile = 0;          // 1: the engine read the source file by path
  std::uint64_t startSector = 0;
  std::uint64_t lastSector = 0;
  std::uint64_t sectorCount = 0;
  std::uint64_t engineTableBytes = 0;  // the engine's tables right after the header
  std::uint32_t sourceEntryCount = 0;  // source-list entries after the tables
  std::uint32_t foundItemCount = 0;    // found items after the entries
  std::uint8_t absoluteSectors = 0;    // FAT, exFAT: source sectors are absolute
  std::u16string m_szSourcePath;       // at most 259 characters
  std::string m_szDriveModel;          // at most 40 characters
  std::string m_szDriveSerial;         // at most 20 characters
  std::string driveFirmware;           // at most 8 characters
  std::uint32_t driveLength = 0;       // sectors of the source drive (IDENTIFY count, or its size)
  std::uint8_t m_bySourceKind = 0;     // DEVICE_ENTRY kind of the scanned source
  std::uint32_t exFatClusterCount = 0;
  std::uint8_t noDriveSearch = 0;      // 1: restoring never looks for a physical drive

  static constexpr std::size_t kStoredSize = scan_header::kSize;
  std::array<std::uint8_t, kStoredSize> encode() const;
  // Checks every field before anything uses it: codes and modes in range, sectors per
  // cluster a power of two, the engine's counts within the engine-table length, texts
  // ending inside their widths. The refusal names the field and its offset.
  static platform::Checked<SCAN_IMAGE_HEADER> decode(platform::ByteView bytes);
};

// The engine a header restores into: FAT when m_bFat is set; exFAT when the NTFS fields are
// empty and the code is not NTFS's; NTFS otherwise.
SavedEngine savedEngineOf(const SCAN_IMAGE_HEADER& header);

// True when restoring needs no drive search: the source was an image or a file in one
// (kinds 5 to 10), or the writer said so.
bool needsNoDriveSearch(const SCAN_IMAGE_HEADER& header);

}  // namespace qelda::engine
