// The texts the FAT engine writes to the log, the scan dialog and the found tree.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/volume_engine.h"

// The log lines that frame a pass are shared by every engine (engine_contract.h).
namespace qelda::fat::text {
inline constexpr std::u16string_view kAddingDeleted = u"Adding deleted file(s) and folder(s)";
inline constexpr std::u16string_view kComparingCopies = u"Comparing FAT copies";
inline constexpr std::u16string_view kIdenticalCopies = u"Identical copies";
inline constexpr std::u16string_view kMismatch = u"Mismatch in FAT copies";
inline constexpr std::u16string_view kFat1Verified = u"FAT 1 verified";
inline constexpr std::u16string_view kFat2Verified = u"FAT 2 verified";
inline constexpr std::u16string_view kErrorFound = u"Error found";
inline constexpr std::u16string_view kVerifyingFat = u"Verifying FAT";
inline constexpr std::u16string_view kLoadingFat = u"Loading FAT";
inline constexpr std::u16string_view kLinkingMode = u"FAT Linking Mode";
inline constexpr std::u16string_view kSearchingCritical = u"Searching critical information...";
inline constexpr std::u16string_view kUpdatingLargeFiles = u"Updating large files list...";
inline constexpr std::u16string_view kLongWait =
    u"This process may take several minutes to few hours depending upon drive size and number of files and folders.";
// Said in the log where a volume needs the damaged-volume passes, which this engine does not have yet.
inline constexpr std::u16string_view kNoParameterRebuild =
    u"Boot sectors unusable: rebuilding the volume parameters is not available";
inline constexpr std::u16string_view kNoTreePasses =
    u"Nothing found from the root: searching the data area for folders is not available";
inline constexpr std::u16string_view kNoRebuiltVolumes = u"Volumes rebuilt from directory clusters are not supported";
}  // namespace qelda::fat::text

namespace qelda::fat {
using engine::kBitmapNotice;
using engine::kBitmapWarning;
using engine::kButtonsOk;
}  // namespace qelda::fat
