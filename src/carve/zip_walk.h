// The record walk over a zip file that the ZIP finder and the zip-based Office documents
// share: local headers, the central directory, the end record; and, where an entry keeps its
// sizes in a data descriptor, the search for an end record whose offsets agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "carve/length_finders.h"

namespace qelda::carve {

inline constexpr std::uint32_t kZipLocalHeader = 0x04034B50;
inline constexpr std::uint32_t kZipCentralHeader = 0x02014B50;
inline constexpr std::uint32_t kZipEndRecord = 0x06054B50;
inline constexpr std::uint32_t kZip64EndRecord = 0x06064B50;
inline constexpr std::uint32_t kZip64Locator = 0x07064B50;

// Records of one archive the walk visits at most: every entry's local and central header.
inline constexpr std::size_t kMaxZipRecords = 2 * 65536 + 4;

struct ZipEnd {
  std::uint64_t at = 0;   // where the end record starts
  std::uint64_t end = 0;  // the archive's end: after the record and its comment
  std::uint64_t directoryAt = 0;
  std::uint32_t directoryBytes = 0;
  std::uint16_t entries = 0;
};

// The first end record in [from, limit) whose central directory ends exactly where the record
// starts (offsets from the archive's first byte).
std::optional<ZipEnd> findZipEnd(FinderRun& run, std::uint64_t from, std::uint64_t limit);

struct ZipWalk {
  std::uint64_t end = 0;  // where the walk stopped; the archive's end when endRecord
  std::uint32_t localCount = 0;
  std::uint32_t centralCount = 0;
  bool endRecord = false;
  bool viaEndSearch = false;          // sized by the end record found after a data-descriptor entry
  bool unresolvedDescriptor = false;  // a data-descriptor entry whose end record was not found
};

// Walks from offset 0; no record starts at or beyond limit. onName sees each entry name met:
// those of local headers, then, when the end record was found by search, those of the central
// directory.
using ZipNameVisitor = std::function<void(std::string_view name)>;
ZipWalk walkZip(FinderRun& run, std::uint64_t limit, const ZipNameVisitor& onName);

}  // namespace qelda::carve
