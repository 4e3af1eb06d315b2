#include "volume/volume_records.h"

#include <algorithm>

namespace qelda::volume {

using platform::ByteView;
using platform::ParseError;
using platform::Parsed;

namespace {

// Stored offsets of the three records.
namespace device {
inline constexpr std::size_t kNext = 0;
inline constexpr std::size_t kIndex = 4;
inline constexpr std::size_t kRowState = 6;
inline constexpr std::size_t kKind = 7;
inline constexpr std::size_t kName = 8;
inline constexpr std::size_t kNameBytes = 520;
inline constexpr std::size_t kDetail = 528;
}  // namespace device

namespace drive {
inline constexpr std::size_t kDrive = 0;
inline constexpr std::size_t kSizeSectors = 1;
inline constexpr std::size_t kSizeText = 9;
inline constexpr std::size_t kSizeTextBytes = 274;
inline constexpr std::size_t kIdentity = 283;
}  // namespace drive

namespace volume {
inline constexpr std::size_t kFirstByte = 0;
inline constexpr std::size_t kName = 1;
inline constexpr std::size_t kNameBytes = 64;
inline constexpr std::size_t kLabel = 65;
inline constexpr std::size_t kLabelBytes = 66;
inline constexpr std::size_t kDriveType = 131;
inline constexpr std::size_t kDriveTypeBytes = 72;
inline constexpr std::size_t kSizeBytes = 203;
inline constexpr std::size_t kFileSystemText = 211;
inline constexpr std::size_t kFileSystemTextBytes = 65;
inline constexpr std::size_t kDrive = 276;
inline constexpr std::size_t kStartSector = 277;
inline constexpr std::size_t kSectorCount = 285;
inline constexpr std::size_t kLastSector = 293;
inline constexpr std::size_t kFileSystem = 301;
inline constexpr std::size_t kFatSectors = 302;
inline constexpr std::size_t kReservedSectors = 306;
inline constexpr std::size_t kRootDirSectors = 310;
inline constexpr std::size_t kSectorsPerCluster = 312;
inline constexpr std::size_t kRootCluster = 313;
inline constexpr std::size_t kClusterArray = 317;
inline constexpr std::size_t kClusterCount = 321;
inline constexpr std::size_t kMftSector = 325;
inline constexpr std::size_t kMftMirrSector = 333;
inline constexpr std::size_t kNtfsSectorsPerCluster = 341;
inline constexpr std::size_t kSizeText = 343;
inline constexpr std::size_t kSizeTextBytes = 64;
}  // namespace volume

// Writes `text` as UTF-16LE into a field of `fieldBytes` bytes, cut so that a terminating
// NUL always fits (the rest of the field stays zero).
void putText(std::uint8_t* field, std::size_t fieldBytes, const std::u16string& text) {
  const std::size_t units = std::min(text.size(), fieldBytes / 2 - 1);
  for (std::size_t i = 0; i < units; ++i) platform::putLe16(field + 2 * i, text[i]);
}

// Reads a NUL-terminated UTF-16LE text from a field of `fieldBytes` bytes.
std::u16string getText(ByteView bytes, std::size_t offset, std::size_t fieldBytes) {
  std::u16string out;
  for (std::size_t i = 0; i + 1 < fieldBytes; i += 2) {
    const auto unit = bytes.le16(offset + i);
    if (!unit || *unit == 0) break;
    out += char16_t(*unit);
  }
  return out;
}

}  // namespace

// --- DRIVE_RECORD ----------------------------------------------------------------------------

std::array<std::uint8_t, DRIVE_RECORD::kStoredSize> DRIVE_RECORD::encode() const {
  std::array<std::uint8_t, kStoredSize> out{};
  out[drive::kDrive] = m_byDrive;
  platform::putLe64(&out[drive::kSizeSectors], m_nSizeSectors);
  putText(&out[drive::kSizeText], drive::kSizeTextBytes, m_szSizeText);
  platform::putLe32(&out[drive::kIdentity], 0);
  return out;
}

Parsed<DRIVE_RECORD> DRIVE_RECORD::decode(ByteView bytes) {
  if (!bytes.has(0, kStoredSize)) return ParseError::Truncated;
  DRIVE_RECORD r;
  r.m_byDrive = *bytes.u8(drive::kDrive);
  r.m_nSizeSectors = *bytes.le64(drive::kSizeSectors);
  r.m_szSizeText = getText(bytes, drive::kSizeText, drive::kSizeTextBytes);
  return r;
}

// --- VOLUME_RECORD ---------------------------------------------------------------------------

std::array<std::uint8_t, VOLUME_RECORD::kStoredSize> VOLUME_RECORD::encode() const {
  using namespace volume;
  std::array<std::uint8_t, kStoredSize> out{};
  out[kFirstByte] = firstByte;
  putText(&out[kName], kNameBytes, m_szName);
  putText(&out[kLabel], kLabelBytes, m_szLabel);
  putText(&out[kDriveType], kDriveTypeBytes, m_szDriveType);
  platform::putLe64(&out[kSizeBytes], m_nSizeBytes);
  putText(&out[kFileSystemText], kFileSystemTextBytes, m_szFileSystem);
  out[kDrive] = m_byDrive;
  platform::putLe64(&out[kStartSector], m_nStartSector);
  platform::putLe64(&out[kSectorCount], m_nSectorCount);
  platform::putLe64(&out[kLastSector], m_nLastSector);
  out[kFileSystem] = m_byFileSystem;
  platform::putLe32(&out[kFatSectors], m_nFatSectors);
  platform::putLe32(&out[kReservedSectors], m_nReservedSectors);
  platform::putLe16(&out[kRootDirSectors], m_wRootDirSectors);
  out[kSectorsPerCluster] = m_bySectorsPerCluster;
  platform::putLe32(&out[kRootCluster], m_nRootCluster);
  platform::putLe32(&out[kClusterArray], 0);
  platform::putLe32(&out[kClusterCount], std::uint32_t(clusterArray.size()));
  platform::putLe64(&out[kMftSector], m_nMftSector);
  platform::putLe64(&out[kMftMirrSector], m_nMftMirrSector);
  platform::putLe16(&out[kNtfsSectorsPerCluster], m_wNtfsSectorsPerCluster);
  putText(&out[kSizeText], kSizeTextBytes, m_szSizeText);
  return out;
}

Parsed<VOLUME_RECORD> VOLUME_RECORD::decode(ByteView bytes) {
  using namespace volume;
  if (!bytes.has(0, kStoredSize)) return ParseError::Truncated;
  VOLUME_RECORD r;
  r.firstByte = *bytes.u8(kFirstByte);
  r.m_szName = getText(bytes, kName, kNameBytes);
  r.m_szLabel = getText(bytes, kLabel, kLabelBytes);
  r.m_szDriveType = getText(bytes, kDriveType, kDriveTypeBytes);
  r.m_nSizeBytes = *bytes.le64(kSizeBytes);
  r.m_szFileSystem = getText(bytes, kFileSystemText, kFileSystemTextBytes);
  r.m_byDrive = *bytes.u8(kDrive);
  r.m_nStartSector = *bytes.le64(kStartSector);
  r.m_nSectorCount = *bytes.le64(kSectorCount);
  r.m_nLastSector = *bytes.le64(kLastSector);
  r.m_byFileSystem = *bytes.u8(kFileSystem);
  r.m_nFatSectors = *bytes.le32(kFatSectors);
  r.m_nReservedSectors = *bytes.le32(kReservedSectors);
  r.m_wRootDirSectors = *bytes.le16(kRootDirSectors);
  r.m_bySectorsPerCluster = *bytes.u8(kSectorsPerCluster);
  r.m_nRootCluster = *bytes.le32(kRootCluster);
  r.m_nMftSector = *bytes.le64(kMftSector);
  r.m_nMftMirrSector = *bytes.le64(kMftMirrSector);
  r.m_wNtfsSectorsPerCluster = *bytes.le16(kNtfsSectorsPerCluster);
  r.m_szSizeText = getText(bytes, kSizeText, kSizeTextBytes);
  return r;
}

// --- DEVICE_ENTRY ----------------------------------------------------------------------------

DRIVE_RECORD* SourceDetail::drive() const {
  const auto* p = std::get_if<std::unique_ptr<DRIVE_RECORD>>(&record_);
  return p ? p->get() : nullptr;
}

VOLUME_RECORD* SourceDetail::volume() const {
  const auto* p = std::get_if<std::unique_ptr<VOLUME_RECORD>>(&record_);
  return p ? p->get() : nullptr;
}

DRIVE_RECORD& SourceDetail::makeDrive() {
  return *record_.emplace<std::unique_ptr<DRIVE_RECORD>>(std::make_unique<DRIVE_RECORD>());
}

VOLUME_RECORD& SourceDetail::makeVolume() {
  return *record_.emplace<std::unique_ptr<VOLUME_RECORD>>(std::make_unique<VOLUME_RECORD>());
}

bool DEVICE_ENTRY::carriesDriveRecord(std::uint8_t kind) {
  switch (kind) {
    case 0: case 4: case 5: case 6: case 8: case 9:
      return true;
    default:
      return false;
  }
}

std::array<std::uint8_t, DEVICE_ENTRY::kStoredSize> DEVICE_ENTRY::encode() const {
  std::array<std::uint8_t, kStoredSize> out{};
  platform::putLe32(&out[device::kNext], 0);
  platform::putLe16(&out[device::kIndex], m_wIndex);
  out[device::kRowState] = m_byRowState;
  out[device::kKind] = m_byKind;
  putText(&out[device::kName], device::kNameBytes, m_szName);
  platform::putLe32(&out[device::kDetail], 0);
  return out;
}

Parsed<DEVICE_ENTRY> DEVICE_ENTRY::decode(ByteView bytes) {
  if (!bytes.has(0, kStoredSize)) return ParseError::Truncated;
  DEVICE_ENTRY e;
  e.m_wIndex = *bytes.le16(device::kIndex);
  e.m_byRowState = *bytes.u8(device::kRowState);
  e.m_byKind = *bytes.u8(device::kKind);
  e.m_szName = getText(bytes, device::kName, device::kNameBytes);
  return e;
}

}  // namespace qelda::volume
