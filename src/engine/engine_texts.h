// The texts more than one engine shows or logs, by their string-table numbers. An engine's
// own texts stay in its folder.
#pragma once

#include <string_view>

namespace qelda::engine::texts {
// The lines that frame a pass, and the found count.
inline constexpr std::u16string_view kEntriesFound = u"Entries Found";                       // 116
inline constexpr std::u16string_view kCreatingDirectoryTree = u"Creating directory tree";    // 286
inline constexpr std::u16string_view kProcessStarted = u"Process started";                   // 222
inline constexpr std::u16string_view kStartedOn = u"Started on:";                            // 223
inline constexpr std::u16string_view kProcessCompleted = u"Process completed";               // 231
inline constexpr std::u16string_view kCompletedOn = u"Completed on :";                       // 232
inline constexpr std::u16string_view kProcessAborted = u"Process aborted. User intervention";  // 235
inline constexpr std::u16string_view kAbortedOn = u"Aborted on:";                            // 236

// The status line of the long searches: "Reading cluster N of M".
inline constexpr std::u16string_view kReadingSector = u"Reading sector ";    // 240
inline constexpr std::u16string_view kReadingCluster = u"Reading cluster ";  // 241
inline constexpr std::u16string_view kOf = u"of";                            // 109

// Passes, and the folders an engine makes up.
inline constexpr std::u16string_view kAddingDeleted = u"Adding deleted file(s) and folder(s)";       // 287
inline constexpr std::u16string_view kAddingLost = u"Adding lost file(s) and folder(s)";             // 288
inline constexpr std::u16string_view kCalculatingParameters = u"Calculating system parameters";      // 289
inline constexpr std::u16string_view kSearchingCritical = u"Searching critical information...";      // 290
inline constexpr std::u16string_view kCreatingFreeList = u"Creating free cluster list";              // 292
inline constexpr std::u16string_view kUpdatingLargeFiles = u"Updating large files list...";          // 306
inline constexpr std::u16string_view kSearchingPhysicalDrive = u"Searching physical drive for known file types";
inline constexpr std::u16string_view kLostFolders = u"Lost folder(s)";                               // 115
inline constexpr std::u16string_view kFolder = u"Folder";                                            // 105

// The FAT of the FAT and exFAT engines.
inline constexpr std::u16string_view kVerifyingFat = u"Verifying FAT";  // 295
inline constexpr std::u16string_view kLoadingFat = u"Loading FAT";      // 297
inline constexpr std::u16string_view kLinkingMode = u"FAT Linking Mode";  // 298
inline constexpr std::u16string_view kFat1Verified = u"FAT 1 verified";   // 300
inline constexpr std::u16string_view kErrorFound = u"Error found";        // 302
}  // namespace qelda::engine::texts
