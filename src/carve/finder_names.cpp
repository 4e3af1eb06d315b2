#include "carve/finder_names.h"

#include <algorithm>

#include "platform/found_item.h"

namespace qelda::carve {

namespace {

std::uint16_t decimal(std::string_view piece) {
  std::uint16_t v = 0;
  for (char c : piece) {
    if (c < '0' || c > '9') return 0;
    v = std::uint16_t(v * 10 + (c - '0'));
  }
  return v;
}

bool isLeap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

void appendNumber(std::u16string& out, unsigned v) {
  const std::string digits = std::to_string(v);
  out.append(digits.begin(), digits.end());
}

// Cuts a text to at most `units`, never between the two halves of a surrogate pair.
void cutTo(std::u16string& text, std::size_t units) {
  if (text.size() <= units) return;
  text.resize(units);
  if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
}

std::u16string cleaned(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out)
    if (c == u'/' || c == u'\\' || c < 0x20 || c == 0x7F) c = u'_';
  return out;
}

}  // namespace

CalendarTime SplitDateText(std::string_view text) {
  CalendarTime t;
  if (text.size() < 14) return t;
  t.year = decimal(text.substr(0, 4));
  t.month = decimal(text.substr(4, 2));
  t.day = decimal(text.substr(6, 2));
  t.hour = decimal(text.substr(8, 2));
  t.minute = decimal(text.substr(10, 2));
  t.second = decimal(text.substr(12, 2));
  return t;
}

std::optional<CalendarTime> parseDateText(std::string_view text) {
  std::string kept;
  for (std::size_t i = 0; i < text.size() && i < 32 && text[i] != '\0'; ++i)
    if (text[i] != ':' && text[i] != ' ' && text[i] != '-') kept.push_back(text[i]);
  if (kept.size() != 14) return std::nullopt;
  return SplitDateText(kept);
}

std::optional<std::uint64_t> dosDateTime(const CalendarTime& t) {
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > daysInMonth(t.year, t.month)) return std::nullopt;
  if (t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  if (t.year < 1980 || t.year > 2107) return std::nullopt;
  const std::uint32_t date = std::uint32_t((t.year - 1980) << 9 | t.month << 5 | t.day);
  const std::uint32_t time = std::uint32_t(t.hour << 11 | t.minute << 5 | t.second / 2);
  return std::uint64_t(date) << 32 | time;
}

std::u16string buildFinderName(const FinderNamePieces& pieces) {
  std::u16string name;
  if (pieces.date) {
    const CalendarTime& d = *pieces.date;
    name += u'(';
    appendNumber(name, d.month);
    name += u'-';
    appendNumber(name, d.day);
    name += u'-';
    appendNumber(name, d.year);
    name += u' ';
    appendNumber(name, d.hour);
    name += u'-';
    appendNumber(name, d.minute);
    name += u'-';
    appendNumber(name, d.second % 2 ? d.second + 1u : d.second);  // in the name only
    name += u')';
  }
  const std::size_t first = pieces.camera.find_first_not_of(u' ');
  if (first != std::u16string::npos)
    name += pieces.camera.substr(first, pieces.camera.find_last_not_of(u' ') - first + 1);
  if (pieces.withDimensions) {
    name += u'(';
    appendNumber(name, pieces.width);
    name += u'x';
    appendNumber(name, pieces.height);
    name += u')';
  }
  return cleanFinderName(name);
}

std::u16string cleanFinderName(std::u16string_view name) {
  std::u16string out = cleaned(name);
  cutTo(out, kMaxItemNameLength);
  return out;
}

std::u16string rawFileName(std::u16string_view stem, std::u16string_view typeText) {
  std::u16string extension = cleaned(typeText);
  cutTo(extension, kMaxItemNameLength / 2);
  std::u16string out = cleaned(stem);
  const std::size_t room = kMaxItemNameLength - (extension.empty() ? 0 : extension.size() + 1);
  cutTo(out, room);
  if (!extension.empty()) out += u'.' + extension;
  if (out.empty() || out == u"." || out == u"..") out.assign(std::max<std::size_t>(out.size(), 1), u'_');
  return out;
}

}  // namespace qelda::carve
