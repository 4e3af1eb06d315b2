// The found tree as `scan --list` prints it: one line per item in report order,
// "d|f<TAB>flags<TAB>size<TAB>path", the flags as letters (D deleted, C compressed,
// S found by signature, E encrypted, L size from the journal) or "-", the path from the
// scan root with every name escaped for printing.
#pragma once

#include <cstdio>

#include "results/file_folder_tree.h"

namespace qelda::results {

// Writes every line to `out` through one large buffer; false when writing failed.
bool writeFoundListing(const CFileFolderTree& tree, std::FILE* out);

}  // namespace qelda::results
