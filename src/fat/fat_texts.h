// The texts the FAT engine writes to the log, the scan dialog and the found tree.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/volume_engine.h"

// The texts every engine shows are in engine/engine_texts.h.
namespace qelda::fat::text {
// The two FAT copies, compared and verified.
inline constexpr std::u16string_view kComparingCopies = u"Comparing FAT copies";
inline constexpr std::u16string_view kIdenticalCopies = u"Identical copies";
inline constexpr std::u16string_view kMismatch = u"Mismatch in FAT copies";
inline constexpr std::u16string_view kFat2Verified = u"FAT 2 verified";

// The searches of the whole volume warn first that they take long.
inline constexpr std::u16string_view kLongWait =
    u"This process may take several minutes to few hours depending upon drive size and number of files and folders.";

// The passes after the tree walk, and the folders they name by a cluster.
inline constexpr std::u16string_view kAddingRootFiles = u"Adding root directory file(s)";
inline constexpr std::u16string_view kAddingBroken = u"Adding broken file(s) and folder(s)";
inline constexpr std::u16string_view kRootFolderPrefix = u"$Root";
inline constexpr std::u16string_view kBrokenFolderPrefix = u"$Broken";

// The directory clusters found lie where another geometry than the volume's puts them.
inline constexpr std::u16string_view kOtherGeometry =
    u"Directory clusters found agree on another cluster size or data start: read with theirs";
inline constexpr std::u16string_view kOtherGeometryKept =
    u"Directory clusters found agree on another cluster size or data start too: files outside the volume's tree "
    u"whose geometry cannot be told are not read";

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
