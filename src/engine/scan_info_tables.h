// What the three engines' restores from scan information share: taking their tables back
// with bounds, the image-file flag, and the search for the source drive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/scan_image_header.h"
#include "engine/volume_engine.h"
#include "platform/sinks.h"

namespace qelda::engine {

// The saved image-file flag, kept only when the file it names can still be opened: a
// source read by path that has gone is read through the mounted image instead.
std::uint8_t keptImageFileFlag(const SCAN_IMAGE_HEADER& header);

// Reads the next `bytes` of the tables into `out`; false (with `cause` set) when the file
// holds fewer.
bool readTable(const TableReader& read, std::uint64_t bytes, std::vector<std::uint8_t>& out, std::u16string& cause);

// The drive search of every restore (locateSourceDrive), with the cause a refusal gives.
std::uint32_t findSourceAgain(SCAN_IMAGE_HEADER& header, platform::IUserNotifier& notifier, std::u16string& cause);

// Why a restore refuses tables that do not describe the volume: `what` names the table.
std::u16string tablesDoNotFit(std::u16string_view what);

}  // namespace qelda::engine
