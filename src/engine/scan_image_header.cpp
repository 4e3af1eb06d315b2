#include "engine/scan_image_header.h"

#include <bit>

#include "platform/stored_text.h"
#include "volume/volume_records.h"

namespace qelda::engine {

using platform::ByteView;
using platform::Checked;
using platform::Refusal;
namespace h = scan_header;

namespace {

constexpr std::uint8_t kMaxTableMode = 2;
constexpr std::uint8_t kMaxFatSectorsPerCluster = 128;

std::string at(std::size_t offset) { return " (header offset " + std::to_string(offset) + ")"; }

Refusal refuse(const std::string& what, std::size_t offset) { return Refusal{"header: " + what + at(offset)}; }

bool isFsCode(std::uint8_t code) {
  return code == volume::kFsFat12 || code == volume::kFsFat16 || code == volume::kFsFat32 || code == volume::kFsExFat ||
         code == volume::kFsNtfs;
}

bool isFatCode(std::uint8_t code) { return code <= volume::kFsFat32; }

// A flag byte we write as 0 or 1.
bool isFlag(std::uint8_t v) { return v <= 1; }

}  // namespace

std::array<std::uint8_t, SCAN_IMAGE_HEADER::kStoredSize> SCAN_IMAGE_HEADER::encode() const {
  using platform::putLe16;
  using platform::putLe32;
  using platform::putLe64;
  std::array<std::uint8_t, kStoredSize> out{};
  out[h::kDrive] = m_byDrive;
  putLe32(&out[h::kFatSectors], m_nFatSectors);
  putLe32(&out[h::kRootCluster], rootCluster);
  putLe32(&out[h::kClusterMapBytes], m_nClusterMapBytes);
  out[h::kFat] = m_bFat;
  out[h::kFsCode] = m_byFsCode;
  out[h::kTableMode] = m_byTableMode;
  putLe32(&out[h::kReservedSectors], reservedSectors);
  putLe32(&out[h::kRootDirSectors], rootDirSectors);
  putLe64(&out[h::kMftSector], mftSector);
  putLe64(&out[h::kMftMirrSector], mftMirrSector);
  putLe32(&out[h::kMftRunCount], mftRunCount);
  putLe32(&out[h::kMftRunListBytes], mftRunListBytes);
  putLe32(&out[h::kRunRecordCount], runRecordCount);
  putLe32(&out[h::kFirstRunRecord], firstRunRecord);
  putLe16(&out[h::kSectorsPerCluster], sectorsPerCluster);
  out[h::kImageFile] = imageFile;
  putLe64(&out[h::kStartSector], startSector);
  putLe64(&out[h::kLastSector], lastSector);
  putLe64(&out[h::kSectorCount], sectorCount);
  putLe64(&out[h::kEngineTableBytes], engineTableBytes);
  putLe32(&out[h::kSourceEntryCount], sourceEntryCount);
  putLe32(&out[h::kFoundItemCount], foundItemCount);
  out[h::kAbsoluteSectors] = absoluteSectors;
  platform::putUtf16Field(&out[h::kSourcePath], h::kSourcePathUnits, m_szSourcePath);
  platform::putCharField(&out[h::kDriveModel], h::kDriveModelBytes, m_szDriveModel);
  platform::putCharField(&out[h::kDriveSerial], h::kDriveSerialBytes, m_szDriveSerial);
  platform::putCharField(&out[h::kDriveFirmware], h::kDriveFirmwareBytes, driveFirmware);
  putLe32(&out[h::kDriveLength], driveLength);
  out[h::kSourceKind] = m_bySourceKind;
  putLe32(&out[h::kExFatClusterCount], exFatClusterCount);
  out[h::kNoDriveSearch] = noDriveSearch;
  return out;
}

Checked<SCAN_IMAGE_HEADER> SCAN_IMAGE_HEADER::decode(ByteView bytes) {
  if (!bytes.has(0, kStoredSize))
    return Refusal{"header: " + std::to_string(bytes.size()) + " bytes, a header needs " + std::to_string(kStoredSize)};
  SCAN_IMAGE_HEADER r;
  r.m_byDrive = *bytes.u8(h::kDrive);
  r.m_nFatSectors = *bytes.le32(h::kFatSectors);
  r.rootCluster = *bytes.le32(h::kRootCluster);
  r.m_nClusterMapBytes = *bytes.le32(h::kClusterMapBytes);
  r.m_bFat = *bytes.u8(h::kFat);
  r.m_byFsCode = *bytes.u8(h::kFsCode);
  r.m_byTableMode = *bytes.u8(h::kTableMode);
  r.reservedSectors = *bytes.le32(h::kReservedSectors);
  r.rootDirSectors = *bytes.le32(h::kRootDirSectors);
  r.mftSector = *bytes.le64(h::kMftSector);
  r.mftMirrSector = *bytes.le64(h::kMftMirrSector);
  r.mftRunCount = *bytes.le32(h::kMftRunCount);
  r.mftRunListBytes = *bytes.le32(h::kMftRunListBytes);
  r.runRecordCount = *bytes.le32(h::kRunRecordCount);
  r.firstRunRecord = *bytes.le32(h::kFirstRunRecord);
  r.sectorsPerCluster = *bytes.le16(h::kSectorsPerCluster);
  r.imageFile = *bytes.u8(h::kImageFile);
  r.startSector = *bytes.le64(h::kStartSector);
  r.lastSector = *bytes.le64(h::kLastSector);
  r.sectorCount = *bytes.le64(h::kSectorCount);
  r.engineTableBytes = *bytes.le64(h::kEngineTableBytes);
  r.sourceEntryCount = *bytes.le32(h::kSourceEntryCount);
  r.foundItemCount = *bytes.le32(h::kFoundItemCount);
  r.absoluteSectors = *bytes.u8(h::kAbsoluteSectors);
  r.driveLength = *bytes.le32(h::kDriveLength);
  r.m_bySourceKind = *bytes.u8(h::kSourceKind);
  r.exFatClusterCount = *bytes.le32(h::kExFatClusterCount);
  r.noDriveSearch = *bytes.u8(h::kNoDriveSearch);

  auto path = platform::readUtf16Field(bytes, h::kSourcePath, h::kSourcePathUnits);
  if (!path) return refuse("source path has no terminator within its 260 characters", h::kSourcePath);
  r.m_szSourcePath = std::move(*path);
  auto model = platform::readCharField(bytes, h::kDriveModel, h::kDriveModelBytes);
  if (!model) return refuse("drive model has no terminator within its 41 bytes", h::kDriveModel);
  r.m_szDriveModel = std::move(*model);
  auto serial = platform::readCharField(bytes, h::kDriveSerial, h::kDriveSerialBytes);
  if (!serial) return refuse("drive serial number has no terminator within its 21 bytes", h::kDriveSerial);
  r.m_szDriveSerial = std::move(*serial);
  auto firmware = platform::readCharField(bytes, h::kDriveFirmware, h::kDriveFirmwareBytes);
  if (!firmware) return refuse("drive firmware has no terminator within its 9 bytes", h::kDriveFirmware);
  r.driveFirmware = std::move(*firmware);

  if (!isFsCode(r.m_byFsCode))
    return refuse("file-system code " + std::to_string(r.m_byFsCode) + " is none of 0, 1, 2, 3, 7", h::kFsCode);
  if (r.m_byTableMode > kMaxTableMode)
    return refuse("linking mode " + std::to_string(r.m_byTableMode) + " is none of 0, 1, 2", h::kTableMode);
  if (r.m_bFat != 0 && (!std::has_single_bit(r.m_bFat) || r.m_bFat > kMaxFatSectorsPerCluster))
    return refuse("FAT sectors per cluster " + std::to_string(r.m_bFat) + " is not a power of two up to 128", h::kFat);
  if (!std::has_single_bit(r.sectorsPerCluster))
    return refuse("sectors per cluster " + std::to_string(r.sectorsPerCluster) + " is not a power of two",
                  h::kSectorsPerCluster);
  if (!isFlag(r.imageFile)) return refuse("image-file flag " + std::to_string(r.imageFile) + " is not 0 or 1", h::kImageFile);
  if (!isFlag(r.absoluteSectors))
    return refuse("absolute-sectors flag " + std::to_string(r.absoluteSectors) + " is not 0 or 1", h::kAbsoluteSectors);
  if (!isFlag(r.noDriveSearch))
    return refuse("drive-search flag " + std::to_string(r.noDriveSearch) + " is not 0 or 1", h::kNoDriveSearch);
  if (r.m_bySourceKind > kMaxSourceKind)
    return refuse("source kind " + std::to_string(r.m_bySourceKind) + " is above 12", h::kSourceKind);
  if (r.startSector > UINT64_MAX - r.sectorCount)
    return refuse("the volume's first sector and sector count pass the end of a disk", h::kStartSector);

  // The engine the file restores into must be the one its file-system code names.
  const SavedEngine engine = savedEngineOf(r);
  const bool codeFits = engine == SavedEngine::Fat     ? isFatCode(r.m_byFsCode)
                        : engine == SavedEngine::ExFat ? r.m_byFsCode == volume::kFsExFat
                                                       : r.m_byFsCode == volume::kFsNtfs;
  if (!codeFits)
    return refuse("file-system code " + std::to_string(r.m_byFsCode) + " does not match the saved engine's fields",
                  h::kFsCode);

  // Every count of the engine's tables must lie inside the tables' length.
  if (engine == SavedEngine::Ntfs) {
    if (std::uint64_t(r.mftRunCount) * h::kMftRunBytes != r.mftRunListBytes)
      return refuse("$MFT run-list size " + std::to_string(r.mftRunListBytes) + " is not 14 bytes for each of " +
                        std::to_string(r.mftRunCount) + " runs",
                    h::kMftRunListBytes);
    if (std::uint64_t(r.runRecordCount) * h::kRunRecordBytes > r.engineTableBytes)
      return refuse(std::to_string(r.runRecordCount) + " run records do not fit in the " +
                        std::to_string(r.engineTableBytes) + " bytes of engine tables",
                    h::kRunRecordCount);
  } else if (std::uint64_t(r.m_nFatSectors) * 512 + r.m_nClusterMapBytes > r.engineTableBytes) {
    return refuse("allocation table of " + std::to_string(r.m_nFatSectors) + " sectors and cluster map of " +
                      std::to_string(r.m_nClusterMapBytes) + " bytes do not fit in the " +
                      std::to_string(r.engineTableBytes) + " bytes of engine tables",
                  h::kFatSectors);
  }
  return r;
}

SavedEngine savedEngineOf(const SCAN_IMAGE_HEADER& header) {
  if (header.m_bFat != 0) return SavedEngine::Fat;
  if (header.mftSector == 0 && header.runRecordCount == 0 && header.m_byFsCode != volume::kFsNtfs)
    return SavedEngine::ExFat;
  return SavedEngine::Ntfs;
}

bool needsNoDriveSearch(const SCAN_IMAGE_HEADER& header) {
  return (header.m_bySourceKind >= 5 && header.m_bySourceKind <= 10) || header.noDriveSearch != 0;
}

}  // namespace qelda::engine
