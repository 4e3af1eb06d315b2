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

// Writes the current engine's tables, the selected source and every item of `tree` to a
// new file at `path` (never replacing one). Empty on success, else why not; a file that
// was not finished is removed.
std::string SaveScanImage(const CQELDAApp& app, const results::CFileFolderTree& tree, const std::string& path);

// Loads `path` on the mounted image: checks the whole file, makes the engine it names
// (CQELDAApp::currentEngine), restores it and replays the saved items to sinks.console.
// A file refused, or an engine that cannot be restored, fails with nothing replayed.
engine::ScanOutcome LoadScanImage(CQELDAApp& app, const engine::EngineSinks& sinks, const std::string& path);

}  // namespace qelda::app
