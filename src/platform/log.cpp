#include "platform/log.h"

#include <cerrno>
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

// 0 when the whole line reached the file, else why not (an errno).
int writeLine(std::FILE* file, std::u16string_view line) {
  std::string text = toUtf8(line);
  text += '\n';
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0) return 0;
  return errno != 0 ? errno : EIO;
}

}  // namespace

TextLog::TextLog() : clock_([] { return std::time(nullptr); }) {}

TextLog::~TextLog() {
  if (file_) std::fclose(file_);
}

void TextLog::AddLogEntry(std::u16string text, bool section) {
  std::function<void(int)> failed;
  {
    std::lock_guard lock(mutex_);
    if (section) text = u"[" + text + u"]";
    if (!streaming_) {
      pending_.push_back(std::move(text));
    } else if (file_ && writeError_ == 0) {
      writeError_ = writeLine(file_, text);
      if (writeError_ != 0) failed = failed_;
    }
  }
  // Outside the lock: the handler may well log.
  if (failed) failed(writeError());
}

bool TextLog::streamTo(const std::string& path) {
  std::function<void(int)> failed;
  bool opened = true;
  {
    std::lock_guard lock(mutex_);
    streaming_ = true;
    if (!path.empty()) file_ = std::fopen(path.c_str(), "ab");
    opened = path.empty() || file_;
    for (const auto& l : pending_) {
      if (!file_ || writeError_ != 0) break;
      writeError_ = writeLine(file_, l);
      if (writeError_ != 0) failed = failed_;
    }
    pending_.clear();
    pending_.shrink_to_fit();
  }
  if (failed) failed(writeError());
  return opened;
}

void TextLog::onWriteFailure(std::function<void(int error)> failed) {
  std::lock_guard lock(mutex_);
  failed_ = std::move(failed);
}

int TextLog::writeError() const {
  std::lock_guard lock(mutex_);
  return writeError_;
}

bool TextLog::flushTo(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    if (streaming_) return writeError_ == 0;
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
