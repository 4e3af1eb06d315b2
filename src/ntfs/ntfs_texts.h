// The texts the NTFS engine writes to the log, the scan dialog and the found tree.
#pragma once

#include <cstdint>
#include <string_view>

namespace qelda::ntfs::text {
inline constexpr std::u16string_view kAddingDeleted = u"Adding deleted file(s) and folder(s)";       // 287
inline constexpr std::u16string_view kCalculatingParameters = u"Calculating system parameters";      // 289
inline constexpr std::u16string_view kSearchingCritical = u"Searching critical information...";      // 290
inline constexpr std::u16string_view kUpdatingLargeFiles = u"Updating large files list...";          // 306
inline constexpr std::u16string_view kOf = u"of";                                                    // 109
inline constexpr std::u16string_view kReadingSector = u"Reading sector ";                            // 240
inline constexpr std::u16string_view kReadingCluster = u"Reading cluster ";                          // 241
inline constexpr std::u16string_view kSearchingMetadata = u"Searching metadata...";                   // 291
inline constexpr std::u16string_view kCreatingFreeList = u"Creating free cluster list";              // 292
inline constexpr std::u16string_view kSearchingDrive = u"Searching physical drive for known file types";
// The quick scan's placeholders: the folder that holds the missing parents, and "Folder N".
inline constexpr std::u16string_view kLostFolders = u"Lost folder(s)";                               // 115
inline constexpr std::u16string_view kFolder = u"Folder";                                            // 105
// The deleted-files scan's own placeholder (another text and another id than the quick scan's).
inline constexpr std::u16string_view kLostFoldersOfDeletedScan = u"Lost Folder(s)";
}  // namespace qelda::ntfs::text

namespace qelda::ntfs {
inline constexpr std::uint32_t kLostFoldersId = 0xFFFFFF;
inline constexpr std::uint32_t kLostFoldersIdOfDeletedScan = 0xFFFFFFF;
}  // namespace qelda::ntfs
