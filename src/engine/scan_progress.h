// The scan dialog as the engines drive it: the one progress sink an engine is made with, the
// block bar of the long searches and the "Reading cluster N of M" line beside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine_texts.h"
#include "platform/sinks.h"

namespace qelda::engine {

// The scan dialog's bars: items found, and blocks of the long searches.
inline constexpr int kItemBar = 0;
inline constexpr int kBlockBar = 1;

// The sink of an engine made without a dialog: shows nothing and keeps nothing, so one
// object serves every engine on every thread.
platform::IScanProgress& noScanProgress();
// The dialog given, or the one that shows nothing.
inline platform::IScanProgress& progressOr(platform::IScanProgress* dlg) { return dlg ? *dlg : noScanProgress(); }
// False for a sink that shows nothing: texts meant for it need not be built.
bool showsProgress(const platform::IScanProgress* dlg);

// "<what><at> of <of>", as in "Reading cluster 12 of 4000".
std::u16string readingText(std::u16string_view what, std::uint64_t at, std::uint64_t of);

// The block bar of one long search.
class BlockBar {
 public:
  explicit BlockBar(platform::IScanProgress& dlg) : dlg_(dlg), shown_(showsProgress(&dlg)) {}

  // Shows the bar at 0 of 0..range, moved by `step` at each step.
  void start(std::uint64_t range, std::uint64_t step = 1);
  void step() { dlg_.stepIt(kBlockBar); }
  void moveTo(std::uint64_t pos) { dlg_.setPos(kBlockBar, pos); }
  // "<what><at> of <of>" in the status line; not built for a sink that shows nothing.
  void showReading(std::u16string_view what, std::uint64_t at, std::uint64_t of) {
    if (shown_) dlg_.SetStatusText(readingText(what, at, of));
  }
  // One step, and where the search has got to.
  void stepReading(std::u16string_view what, std::uint64_t at, std::uint64_t of) {
    step();
    showReading(what, at, of);
  }
  bool shown() const { return shown_; }

 private:
  platform::IScanProgress& dlg_;
  bool shown_;
};

}  // namespace qelda::engine
