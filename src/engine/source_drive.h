// Finding the drive a saved scan was made of among the drives attached now, for the
// engines' restores: one search that all three share.
#pragma once

#include <cstdint>

#include "engine/scan_image_header.h"
#include "platform/sinks.h"
#include "volume/drives.h"

namespace qelda::engine {

// Physical drives 0 to 23 are searched, fixed ones first, then removable ones.
inline constexpr std::uint8_t kSearchedDrives = 24;

// 1 when the saved scan's source is usable: it needs no drive search (needsNoDriveSearch),
// or an attached drive matches it and its number is written into header.m_byDrive. A fixed
// drive matches by model, serial number, firmware revision and IDENTIFY sector count; a
// removable one by its length in sectors. 0 when none matches, after telling the user
// "Source hard drive not found.\nAttach source hard drive before loading scan information."
std::uint32_t locateSourceDrive(SCAN_IMAGE_HEADER& header, platform::IUserNotifier& notifier,
                                const volume::DriveSystem& system = {});

}  // namespace qelda::engine
