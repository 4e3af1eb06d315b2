// A scan dialog that writes down every call, in order, as a line of text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sinks.h"
#include "platform/text.h"

namespace qelda::test {

class RecordingProgress final : public platform::IScanProgress {
 public:
  void setRange(int bar, std::uint64_t low, std::uint64_t high) override {
    add("range " + std::to_string(bar) + " " + std::to_string(low) + "-" + std::to_string(high));
  }
  void setStep(int bar, std::uint64_t step) override { add("step " + std::to_string(bar) + " " + std::to_string(step)); }
  void setPos(int bar, std::uint64_t pos) override { add("pos " + std::to_string(bar) + " " + std::to_string(pos)); }
  void stepIt(int bar) override { add("stepIt " + std::to_string(bar)); }
  std::uint64_t getPos(int) const override { return 0; }
  void showBar(int bar, bool show) override { add("show " + std::to_string(bar) + (show ? " on" : " off")); }
  void SetFoundText(std::u16string_view text) override { add("found " + platform::toUtf8(text)); }
  void SetStatusText(std::u16string_view text) override { add("status " + platform::toUtf8(text)); }
  void SetStopEnabled(bool) override {}

  // How many calls were exactly `call`, or began with it when `prefix`.
  std::size_t count(std::string_view call, bool prefix = false) const {
    std::size_t n = 0;
    for (const std::string& c : calls)
      if (prefix ? c.starts_with(call) : c == call) ++n;
    return n;
  }

  std::vector<std::string> calls;

 private:
  void add(std::string call) { calls.push_back(std::move(call)); }
};

}  // namespace qelda::test
