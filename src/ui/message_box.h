// The program's own message box: a text with a bitmap beside it and a set of buttons. On
// this platform it is shown through the user notifier; the callers ignore the answer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/sinks.h"

namespace qelda::ui {

class CMessageBox {
 public:
  CMessageBox(platform::IUserNotifier& notifier, std::u16string text, std::uint32_t bitmapId,
              std::uint32_t buttonSetId)
      : notifier_(notifier), text_(std::move(text)), bitmapId_(bitmapId), buttonSetId_(buttonSetId) {}

  // Shows the box; the answer is always the first button.
  int DoModal() {
    notifier_.Show(text_, bitmapId_, buttonSetId_);
    return kFirstButton;
  }

  static constexpr int kFirstButton = 1;

 private:
  platform::IUserNotifier& notifier_;
  std::u16string text_;
  std::uint32_t bitmapId_;
  std::uint32_t buttonSetId_;
};

}  // namespace qelda::ui
