#pragma once

#include <cstdint>
#include <string>

namespace qelda::ui {

// The size of `sectorCount` 512-byte sectors as "%.2f GB", "%.2f MB" or "%.2f KB": the
// largest unit of which it holds at least one whole.
std::u16string FormatVolumeSize(std::uint64_t sectorCount);

}  // namespace qelda::ui
