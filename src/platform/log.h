// The run's log: entries gathered in memory and flushed to a file when logging is on.
#pragma once

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

  void AddLogEntry(std::u16string text, bool section) override;
  // Appends the pending entries to `path` (UTF-8) and clears them; false when it cannot write.
  bool flushTo(const std::string& path);
  std::vector<std::u16string> entries() const;
  std::u16string now() const { return formatLogTime(clock_()); }

 private:
  Clock clock_;
  mutable std::mutex mutex_;
  std::vector<std::u16string> pending_;
};

}  // namespace qelda::platform
