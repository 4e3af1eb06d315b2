// The run's log: entries gathered in memory and flushed to a file when logging is on, or
// written to the file as they come (or dropped) once the log is given its file for good.
#pragma once

#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sinks.h"

namespace qelda::platform {

// " %b %d %Y , %I:%M %p" in the C locale, the time text of every dated log line.
std::u16string formatLogTime(std::time_t when);

class TextLog final : public ILog {
 public:
  using Clock = std::function<std::time_t()>;
  TextLog();
  explicit TextLog(Clock clock) : clock_(std::move(clock)) {}
  ~TextLog();
  TextLog(const TextLog&) = delete;
  TextLog& operator=(const TextLog&) = delete;

  void AddLogEntry(std::u16string text, bool section) override;
  // Appends the pending entries to `path` (UTF-8) and clears them; false when it cannot write.
  // Once streaming, the pending entries are already in the file: it is only flushed.
  bool flushTo(const std::string& path);
  // From now on no entry is held: each goes to the end of `path` (UTF-8) as it comes, the
  // pending ones first, or with an empty path nowhere. A long run's log then costs no memory.
  // False when the file cannot be opened (the entries are then dropped). Each line is pushed
  // to the file as it is written, so that a log that cannot take it (a full disk) is known
  // at once, not at the end of the run.
  bool streamTo(const std::string& path);
  // Called once, from the thread that wrote, with why (an errno) when the streamed file first
  // refuses a line; nothing more is written to it after that.
  void onWriteFailure(std::function<void(int error)> failed);
  // Why the streamed file refused a line (an errno), or 0 while every line reached it.
  int writeError() const;
  std::vector<std::u16string> entries() const;
  std::u16string now() const { return formatLogTime(clock_()); }

 private:
  Clock clock_;
  mutable std::mutex mutex_;
  std::vector<std::u16string> pending_;
  bool streaming_ = false;
  std::FILE* file_ = nullptr;
  int writeError_ = 0;
  std::function<void(int error)> failed_;
};

}  // namespace qelda::platform
