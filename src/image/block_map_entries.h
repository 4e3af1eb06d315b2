// What the VDI and VHD block maps share: the bounds a block size must keep, and the map
// entries read from the image file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/byte_view.h"
#include "platform/read_only_file.h"

namespace qelda::image::blockmap {

inline constexpr std::uint64_t kSector = 512;
// Blocks beyond 1 GiB exist in no image; the bound keeps entry × block size below 2^62.
inline constexpr std::uint64_t kMaxBlockBytes = std::uint64_t(1) << 30;
// Block map entries we are prepared to hold (256 MiB of map; 64 PiB at 1 MiB blocks).
inline constexpr std::uint64_t kMaxBlockEntries = std::uint64_t(1) << 26;

inline bool validBlockSize(std::uint64_t bytes) {
  return bytes >= kSector && bytes % kSector == 0 && bytes <= kMaxBlockBytes;
}

// Reads up to `count` u32 entries at `offset`, as many as the file holds. Read a piece at a
// time: the map's bytes are never held beside its entries.
inline std::vector<std::uint32_t> loadEntries(const platform::ReadOnlyFile& file, std::uint64_t offset,
                                              std::uint64_t count, bool bigEndian) {
  const std::uint64_t fileBytes = file.size();
  if (offset >= fileBytes) return {};
  count = std::min({count, (fileBytes - offset) / 4, kMaxBlockEntries});
  constexpr std::uint64_t kPieceEntries = std::uint64_t(1) << 16;
  std::vector<std::uint8_t> raw(std::size_t(std::min(count, kPieceEntries)) * 4);
  std::vector<std::uint32_t> entries(static_cast<std::size_t>(count));
  std::uint64_t at = 0;
  while (at < count) {
    const std::uint64_t wanted = std::min(count - at, kPieceEntries);
    const std::uint64_t got = file.readAt(offset + at * 4, {raw.data(), std::size_t(wanted) * 4}) / 4;
    std::uint32_t* into = entries.data() + at;
    for (const std::uint8_t* p = raw.data(); p != raw.data() + got * 4; p += 4) {
      const std::uint32_t le = p[0] | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
      *into++ = bigEndian ? __builtin_bswap32(le) : le;
    }
    at += got;
    if (got < wanted) break;
  }
  entries.resize(std::size_t(at));
  return entries;
}

}  // namespace qelda::image::blockmap
