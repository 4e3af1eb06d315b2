#include "engine/scan_progress.h"

#include "platform/text.h"

namespace qelda::engine {

platform::IScanProgress& noScanProgress() {
  static platform::NullScanProgress none;
  return none;
}

bool showsProgress(const platform::IScanProgress* dlg) {
  return dlg && !dynamic_cast<const platform::NullScanProgress*>(dlg);
}

std::u16string readingText(std::u16string_view what, std::uint64_t at, std::uint64_t of) {
  std::u16string text(what);
  text += platform::widenLatin1(std::to_string(at));
  text += u' ';
  text += texts::kOf;
  text += u' ';
  text += platform::widenLatin1(std::to_string(of));
  return text;
}

void BlockBar::start(std::uint64_t range, std::uint64_t step) {
  dlg_.showBar(kBlockBar, true);
  dlg_.setPos(kBlockBar, 0);
  dlg_.setRange(kBlockBar, 0, range);
  dlg_.setStep(kBlockBar, step);
}

}  // namespace qelda::engine
