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
inline constexpr std::u16string_view kCalculatingParameters = u"Calculating system parameters";
inline constexpr std::u16string_view kReadingSector = u"Reading sector ";
inline constexpr std::u16string_view kReadingCluster = u"Reading cluster ";
inline constexpr std::u16string_view kOf = u"of";
inline constexpr std::u16string_view kAddingLost = u"Adding lost file(s) and folder(s)";
inline constexpr std::u16string_view kAddingRootFiles = u"Adding root directory file(s)";
inline constexpr std::u16string_view kAddingBroken = u"Adding broken file(s) and folder(s)";
inline constexpr std::u16string_view kSearchingPhysicalDrive = u"Searching physical drive for known file types";
inline constexpr std::u16string_view kLostFolders = u"Lost folder(s)";
inline constexpr std::u16string_view kFolder = u"Folder";
inline constexpr std::u16string_view kRootFolderPrefix = u"$Root";
inline constexpr std::u16string_view kBrokenFolderPrefix = u"$Broken";
// The causes a failed scan gives beside message 305.
inline constexpr std::u16string_view kCauseNoGeometry =
    u"neither the boot sector, its backup nor the directory clusters give the volume's FAT geometry";
inline constexpr std::u16string_view kCauseBootSectors = u"neither the boot sector nor its backup gives a usable FAT geometry";
inline constexpr std::u16string_view kCauseRebuiltRecord = u"the rebuilt volume's record holds no usable FAT geometry";
}  // namespace qelda::fat::text

namespace qelda::fat {
using engine::kBitmapNotice;
using engine::kBitmapWarning;
using engine::kButtonsOk;
}  // namespace qelda::fat
