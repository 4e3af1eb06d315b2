// What the three engines' restores from scan information share: taking their tables back
// with bounds, the image-file flag, and the search for the source drive.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/scan_image_header.h"
#include "engine/scan_state.h"
#include "engine/volume_engine.h"
#include "platform/byte_view.h"
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

// A restore reads the saved volume's boot sector again: saved files would otherwise be read
// from whatever volume the image holds at that place.
enum class SavedVolumeCheck : std::uint8_t {
  Same,       // it describes the volume of the saved scan
  Other,      // a usable boot sector of another volume
  Unchecked,  // none that could be compared
};

// What a sector says of the image when it is no usable boot sector of the saved volume's own
// file system: Other when it is a usable boot sector of one of the other two, else
// Unchecked. The own file system's sectors are judged by its restore (a damaged one the scan
// did without must not count as another volume).
SavedVolumeCheck checkOfOtherBootSector(platform::ByteView sector, SavedEngine own);

// The check of a restore: each of `sectors` (in the restore's own numbering) is read with
// `read` (false: not readable) and judged by `judge` for the own file system; Same as soon
// as one is, else Other when one is (by `judge`, or checkOfOtherBootSector), else Unchecked.
using SectorRead = std::function<bool(std::uint64_t sector, std::span<std::uint8_t> out)>;
using BootJudge = std::function<SavedVolumeCheck(std::uint64_t sector, platform::ByteView bytes)>;
SavedVolumeCheck checkSavedVolume(std::span<const std::uint64_t> sectors, const SectorRead& read, const BootJudge& judge,
                                  SavedEngine own);

// What every restore does with the check: Other refuses (false, `cause` set); Unchecked is
// said (on the notes of the disk, which reach the user, else in `runLog`) and the restore
// goes on.
bool acceptSavedVolume(SavedVolumeCheck check, const ScanState& app, platform::ILog& runLog, std::u16string& cause);

}  // namespace qelda::engine
