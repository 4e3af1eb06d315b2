// The scan dialog of a terminal program: one progress line on stderr, redrawn in place.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/sinks.h"
#include "platform/text.h"

namespace qelda::cli {

class TerminalProgress final : public platform::IScanProgress {
 public:
  void setRange(int bar, std::uint64_t low, std::uint64_t high) override {
    if (!valid(bar)) return;
    bars_[bar].low = low;
    bars_[bar].high = high;
    draw();
  }
  void setStep(int bar, std::uint64_t step) override {
    if (valid(bar)) bars_[bar].step = step;
  }
  void setPos(int bar, std::uint64_t pos) override {
    if (!valid(bar)) return;
    bars_[bar].pos = pos;
    draw();
  }
  void stepIt(int bar) override {
    if (!valid(bar)) return;
    bars_[bar].pos += bars_[bar].step;
    draw();
  }
  std::uint64_t getPos(int bar) const override { return valid(bar) ? bars_[bar].pos : 0; }
  void showBar(int bar, bool show) override {
    if (valid(bar)) bars_[bar].shown = show;
  }
  void SetFoundText(std::u16string_view text) override {
    found_ = platform::toUtf8(text);
    draw();
  }
  void SetStatusText(std::u16string_view text) override {
    status_ = platform::toUtf8(text);
    draw();
  }
  void SetStopEnabled(bool) override {}

  // Clears the line once the scan is over.
  void finish() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

 private:
  struct Bar {
    std::uint64_t low = 0, high = 0, step = 1, pos = 0;
    bool shown = false;
  };
  // The engines report every item; the terminal is redrawn ten times a second at most.
  static constexpr std::chrono::milliseconds kRedrawEvery{100};

  static bool valid(int bar) { return bar == 0 || bar == 1; }

  void draw() {
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDraw_ < kRedrawEvery) return;
    std::string line = found_;
    if (!status_.empty()) line += (line.empty() ? "" : "  ") + status_;
    // The block bar of the long searches is the one with a meaningful end.
    const Bar& b = bars_[1];
    if (b.shown && b.high > b.low) {
      const std::uint64_t done = b.pos > b.low ? b.pos - b.low : 0;
      line += "  " + std::to_string(std::min<std::uint64_t>(100, done * 100 / (b.high - b.low))) + "%";
    }
    if (line.empty()) return;
    lastDraw_ = now;
    drawn_ = true;
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
  }

  Bar bars_[2];
  std::string found_;
  std::string status_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace qelda::cli
