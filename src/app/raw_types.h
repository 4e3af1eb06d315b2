// The file types a raw scan looks for: chosen from the catalogue in the configuration folder.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/qelda_app.h"

namespace qelda::app {

// The configuration folder: $XDG_CONFIG_HOME/qelda, else ~/.config/qelda.
std::filesystem::path configFolder();

// Selects, from the catalogue of `folder` ("HeaderFile.cfg", written with the default types
// when missing), the types whose extension is named in `wanted` (case does not matter), or
// every type the catalogue marks as selected when `wanted` is empty. The names no type has
// go to `unknown`. False when nothing was selected.
bool selectRawTypes(CQELDAApp& app, const std::filesystem::path& folder, const std::vector<std::string>& wanted,
                    std::vector<std::string>& unknown);

}  // namespace qelda::app
