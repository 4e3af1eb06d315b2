// The record walk over a zip file that the ZIP finder and the zip-based Office documents
// share: local headers, the central directory, the end record; and, where an entry keeps its
// sizes in a data descriptor, the search for an end record whose offsets agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

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

// Entry names sort into classes (0: of no interest; 1 to 7: the caller's own); a walk keeps
// the class of the first name it met and, for each class, when it last met one.
inline constexpr std::size_t kZipNameClasses = 8;
using ZipNameClassifier = std::function<std::uint8_t(std::string_view name)>;

struct ZipWalk {
  std::uint64_t end = 0;  // where the walk stopped; the archive's end when endRecord
  std::uint32_t localCount = 0;
  std::uint32_t centralCount = 0;
  bool endRecord = false;
  bool viaEndSearch = false;          // sized by the end record found after a data-descriptor entry
  bool unresolvedDescriptor = false;  // a data-descriptor entry whose end record was not found
  std::uint32_t names = 0;            // names met
  std::optional<std::uint8_t> firstClass;
  // For each class, the number (from 1) of the last name of that class met; 0: none.
  std::uint32_t lastOfClass[kZipNameClasses] = {};
};

// Walks from offset 0; no record starts at or beyond limit. The names met are those of local
// headers, then, when the end record was found by search, those of the central directory.
// A walk that reaches a record that the sweep's last zip walk passed takes that walk's
// course from there (a walk's course from a record on depends on nothing but where it is).
ZipWalk walkZip(FinderRun& run, std::uint64_t limit, const ZipNameClassifier& classify);

// What a zip walk remembers of the last one (one per sweep thread).
struct ZipWalkMemo {
  struct Tally {
    std::uint64_t records = 0;
    std::uint32_t local = 0, central = 0, names = 0;
  };
  bool valid = false;
  std::vector<std::uint64_t> points;  // absolute positions of records (the first in each sector)
  std::vector<Tally> tallies;         // the walk's tally on arriving at each point
  Tally final;
  std::uint64_t end = 0;  // absolute
  bool endRecord = false;
  std::uint32_t lastOfClass[kZipNameClasses] = {};
};

}  // namespace qelda::carve
