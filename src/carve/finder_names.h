// Names and dates that the finders build from what a file carries: its recording date, its
// camera or software text and its pixel dimensions; and the cleaning every such name gets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qelda::carve {

// A calendar time as a date text gives it; milliseconds are always 0.
struct CalendarTime {
  std::uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Splits 14 characters (year 4, month 2, day 2, hour 2, minute 2, second 2); a piece that is
// not a decimal number gives 0. Expects at least 14 characters.
CalendarTime SplitDateText(std::string_view text);

// A date text from a file (at most its first 32 characters, up to a NUL) with every ':', ' '
// and '-' removed; it is a date only when 14 characters remain.
std::optional<CalendarTime> parseDateText(std::string_view text);

// The DOS time (low 32 bits) and date (high 32 bits) of a calendar time; nothing when it is
// not a valid time or lies outside 1980 to 2107.
std::optional<std::uint64_t> dosDateTime(const CalendarTime& time);

// The pieces of a finder-given name, joined in this order when present.
struct FinderNamePieces {
  std::optional<CalendarTime> date;
  std::u16string camera;  // leading and trailing blanks are removed
  std::uint32_t width = 0, height = 0;
  bool withDimensions = false;
};
// The joined, cleaned name: "(M-D-YYYY h-m-s)" with an odd second raised by one, the camera
// text, "(WxH)".
std::u16string buildFinderName(const FinderNamePieces& pieces);

// Path separators and control characters become '_'; cut to 255 characters.
std::u16string cleanFinderName(std::u16string_view name);
// stem + "." + type text, both cleaned, cut to 255 characters by shortening the stem so that
// the extension is kept.
std::u16string rawFileName(std::u16string_view stem, std::u16string_view typeText);

// Dimensions appear in a name only when both are non-zero and below this.
inline constexpr std::uint32_t kMaxNamedDimension = 10000;

}  // namespace qelda::carve
