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
// go to `unknown`. False when nothing was selected. A catalogue that gives nothing to select
// (an empty file, one shorter than a record, none of its records readable, or with `wanted`
// empty none marked as selected) selects nothing, and `unusable` (when given) says why.
bool selectRawTypes(CQELDAApp& app, const std::filesystem::path& folder, const std::vector<std::string>& wanted,
                    std::vector<std::string>& unknown, std::string* unusable = nullptr);

}  // namespace qelda::app
