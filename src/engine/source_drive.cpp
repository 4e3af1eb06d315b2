#include "engine/source_drive.h"

#include "engine/volume_engine.h"
#include "fs/drive_identity.h"
#include "platform/string_table.h"
#include "ui/message_box.h"

namespace qelda::engine {

namespace {

bool fixedDriveMatches(const SCAN_IMAGE_HEADER& header, std::uint8_t driveNumber, const volume::DriveSystem& system) {
  fs::DRIVE_IDENTITY identity;
  volume::GetDriveIdentity(driveNumber, identity, system);
  return identity.m_szModel == header.m_szDriveModel && identity.m_szSerial == header.m_szDriveSerial &&
         identity.m_szFirmware == header.driveFirmware && identity.m_nTotalSectors == header.driveLength;
}

bool removableDriveMatches(const SCAN_IMAGE_HEADER& header, std::uint8_t driveNumber, const volume::DriveSystem& system) {
  std::uint64_t sectors = 0;
  volume::GetDriveSizeBytes(sectors, driveNumber, system);
  return sectors == header.driveLength;
}

}  // namespace

std::uint32_t locateSourceDrive(SCAN_IMAGE_HEADER& header, platform::IUserNotifier& notifier,
                                const volume::DriveSystem& system) {
  if (needsNoDriveSearch(header)) return 1;
  std::uint8_t fixedCount = 0;
  std::uint8_t removableCount = 0;
  volume::EnumerateDrives(fixedCount, removableCount, system);
  for (const bool fixed : {true, false}) {
    for (std::uint8_t n = 0; n < kSearchedDrives; ++n) {
      const auto& present = fixed ? volume::g_abFixedDrive : volume::g_abRemovableDrive;
      if (!present[n]) continue;
      const std::uint8_t driveNumber = std::uint8_t(0x80 + n);
      const bool match = fixed ? fixedDriveMatches(header, driveNumber, system)
                               : removableDriveMatches(header, driveNumber, system);
      if (match) {
        header.m_byDrive = driveNumber;
        return 1;
      }
    }
  }
  ui::CMessageBox(notifier, platform::StringTable::load(platform::strings::kSourceDriveNotFound), kBitmapWarning,
                  kButtonsOk)
      .DoModal();
  return 0;
}

}  // namespace qelda::engine
