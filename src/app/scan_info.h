// Saved scan information: writing what a scan found, and loading it back instead of
// scanning (the scan kind kScanFromScanInfo).
#pragma once

#include <string>

#include "app/qelda_app.h"
#include "engine/volume_engine.h"
#include "results/file_folder_tree.h"

namespace qelda::app {

// Said when a scan-information file is refused; the cause follows on a line of its own.
inline constexpr std::u16string_view kScanInfoNotLoaded = u"The scan information could not be loaded.";

// Logged when a loaded file is checked against the scan-information index.
inline constexpr std::u16string_view kScanInfoNotIndexed = u"The scan information is not in the scan-information index.";
inline constexpr std::u16string_view kScanInfoIndexUnreadable = u"The scan-information index could not be read: ";

// The index of saved scans, "vhInfo" in the configuration folder.
std::string scanInfoIndexPath();

// Writes the current engine's tables, the selected source and every item of `tree` to a
// new file at `path` (never replacing one). Empty on success, else why not; a file that
// was not finished is removed. With `indexPath` given, a finished file is then recorded in
// that index (its folder made when missing); when it cannot be, the file stays and
// `indexCause` says why.
std::string SaveScanImage(const CQELDAApp& app, const results::CFileFolderTree& tree, const std::string& path,
                          const std::string& indexPath = {}, std::string* indexCause = nullptr);

// Loads `path` on the mounted image: checks the whole file, makes the engine it names
// (CQELDAApp::currentEngine), restores it and replays the saved items to sinks.console.
// A file refused, or an engine that cannot be restored, fails with nothing replayed. With
// `indexPath` given, the index is read and the file looked up in it (by its path and time
// of saving); a file the index does not list, or an index that cannot be read, is logged
// and still loaded: a file may come from another computer.
engine::ScanOutcome LoadScanImage(CQELDAApp& app, const engine::EngineSinks& sinks, const std::string& path,
                                  const std::string& indexPath = {});

}  // namespace qelda::app
