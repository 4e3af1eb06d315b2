// The texts the exFAT engine writes to the log, the scan dialog and the found tree. The
// lines that frame a pass are every engine's (engine/item_reporter.h).
#pragma once

#include <string_view>

namespace qelda::exfat::text {
inline constexpr std::u16string_view kFolder = u"Folder";                                        // 105
inline constexpr std::u16string_view kOf = u"of";                                                // 109
inline constexpr std::u16string_view kLostFolders = u"Lost folder(s)";                           // 115
inline constexpr std::u16string_view kReadingCluster = u"Reading cluster ";                      // 241
inline constexpr std::u16string_view kAddingDeleted = u"Adding deleted file(s) and folder(s)";   // 287
inline constexpr std::u16string_view kAddingLost = u"Adding lost file(s) and folder(s)";         // 288
inline constexpr std::u16string_view kSearchingCritical = u"Searching critical information...";  // 290
inline constexpr std::u16string_view kCreatingFreeList = u"Creating free cluster list";          // 292
inline constexpr std::u16string_view kVerifyingFat = u"Verifying FAT";                           // 295
inline constexpr std::u16string_view kLoadingFat = u"Loading FAT";                               // 297
inline constexpr std::u16string_view kLinkingMode = u"FAT Linking Mode";                         // 298
inline constexpr std::u16string_view kFat1Verified = u"FAT 1 verified";                          // 300
inline constexpr std::u16string_view kErrorFound = u"Error found";                               // 302
}  // namespace qelda::exfat::text
