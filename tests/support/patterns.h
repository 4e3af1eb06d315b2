#pragma once

#include <cstdint>
#include <vector>

namespace qelda::test {

// Sector-tagged bytes: every sector says which sector of which file it is, so a read from
// the wrong place shows at once.
inline std::vector<std::uint8_t> taggedSectors(std::uint32_t fileTag, std::uint64_t firstSector, std::uint64_t count) {
  std::vector<std::uint8_t> out(count * 512);
  for (std::uint64_t s = 0; s < count; ++s) {
    for (std::uint32_t i = 0; i < 512; ++i) {
      const std::uint64_t v = (firstSector + s) * 2654435761u + i * 40503u + fileTag * 97u;
      out[s * 512 + i] = std::uint8_t(v ^ (v >> 11));
    }
  }
  return out;
}

}  // namespace qelda::test
