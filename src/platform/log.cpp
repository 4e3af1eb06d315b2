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

namespace {

void writeLine(std::FILE* file, std::u16string_view line) {
  const std::string text = toUtf8(line);
  std::fwrite(text.data(), 1, text.size(), file);
  std::fputc('\n', file);
}

}  // namespace

TextLog::TextLog() : clock_([] { return std::time(nullptr); }) {}

TextLog::~TextLog() {
  if (file_) std::fclose(file_);
}

void TextLog::AddLogEntry(std::u16string text, bool section) {
  std::lock_guard lock(mutex_);
  if (section) text = u"[" + text + u"]";
  if (!streaming_) pending_.push_back(std::move(text));
  else if (file_) writeLine(file_, text);
}

bool TextLog::streamTo(const std::string& path) {
  std::lock_guard lock(mutex_);
  streaming_ = true;
  if (!path.empty()) file_ = std::fopen(path.c_str(), "ab");
  if (file_)
    for (const auto& l : pending_) writeLine(file_, l);
  pending_.clear();
  pending_.shrink_to_fit();
  return path.empty() || file_;
}

bool TextLog::flushTo(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    if (streaming_) return !file_ || (std::fflush(file_) == 0 && !std::ferror(file_));
  }
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
