#pragma once

#include <cstdio>
#include <string>

#include "platform/sinks.h"
#include "platform/text.h"

namespace qelda::cli {

// What the mount step notes about the disk (a volume cut at the end of the disk): shown on
// stderr, and kept in the run's log when there is one.
// Why the mount step refused an image, on stderr; escaped like every note, for it may give
// names the image's own description holds.
inline void sayMountCause(const std::string& cause) {
  if (!cause.empty()) std::fprintf(stderr, "qelda: %s\n", platform::printableText(cause).c_str());
}

class NoteLog final : public platform::ILog {
 public:
  explicit NoteLog(platform::ILog* runLog = nullptr) : runLog_(runLog) {}
  void AddLogEntry(std::u16string text, bool section) override {
    std::fprintf(stderr, "qelda: %s\n", platform::printableText(platform::toUtf8(text)).c_str());
    if (runLog_) runLog_->AddLogEntry(std::move(text), section);
  }

 private:
  platform::ILog* runLog_;
};

}  // namespace qelda::cli
