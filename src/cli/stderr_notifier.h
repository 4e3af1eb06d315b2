#pragma once

#include <cstdio>

#include "platform/sinks.h"
#include "platform/text.h"

namespace qelda::cli {

// The message box of a terminal program: the text on stderr.
class StderrNotifier final : public platform::IUserNotifier {
 public:
  void Show(std::u16string_view text, std::uint32_t, std::uint32_t) override {
    std::fprintf(stderr, "%s\n", platform::toUtf8(text).c_str());
  }
};

}  // namespace qelda::cli
