#include "platform/log.h"

#include <cstdio>
#include <fstream>

#include "platform/text.h"

namespace qelda::platform {

std::u16string formatLogTime(std::time_t when) {
  std::tm tm{};
  ::localtime_r(&when, &tm);
  // Only C-locale month names and AM/PM are produced, whatever the environment says.
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int hour12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
  char buf[64];
  std::snprintf(buf, sizeof buf, " %s %02d %04d , %02d:%02d %s", kMonths[tm.tm_mon % 12], tm.tm_mday,
                tm.tm_year + 1900, hour12, tm.tm_min, tm.tm_hour < 12 ? "AM" : "PM");
  return widenLatin1(buf);
}

TextLog::TextLog() : clock_([] { return std::time(nullptr); }) {}

void TextLog::AddLogEntry(std::u16string text, bool section) {
  std::lock_guard lock(mutex_);
  pending_.push_back(section ? u"[" + text + u"]" : text);
}

bool TextLog::flushTo(const std::string& path) {
  std::vector<std::u16string> lines;
  {
    std::lock_guard lock(mutex_);
    lines.swap(pending_);
  }
  std::ofstream out(path, std::ios::app | std::ios::binary);
  if (!out) return false;
  for (const auto& l : lines) out << toUtf8(l) << '\n';
  return bool(out);
}

std::vector<std::u16string> TextLog::entries() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

}  // namespace qelda::platform
