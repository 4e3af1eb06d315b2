#pragma once

#include <string>
#include <vector>

#include "platform/sinks.h"

namespace qelda::test {

class RecordingNotifier final : public platform::IUserNotifier {
 public:
  void Show(std::u16string_view text, std::uint32_t, std::uint32_t) override { shown.emplace_back(text); }
  std::vector<std::u16string> shown;
};

}  // namespace qelda::test
