// The texts the NTFS engine writes to the log, the scan dialog and the found tree.
#pragma once

#include <cstdint>
#include <string_view>

namespace qelda::ntfs::text {
inline constexpr std::u16string_view kSearchingMetadata = u"Searching metadata...";  // 291
// The deleted-files scan's own placeholder (another text and another id than the quick scan's).
inline constexpr std::u16string_view kLostFoldersOfDeletedScan = u"Lost Folder(s)";
}  // namespace qelda::ntfs::text

namespace qelda::ntfs {
inline constexpr std::uint32_t kLostFoldersId = 0xFFFFFF;
inline constexpr std::uint32_t kLostFoldersIdOfDeletedScan = 0xFFFFFFF;
}  // namespace qelda::ntfs
