// What the reading layer and the engines report to the outside world, in place of window
// messages, dialogs and the message box. All calls are synchronous.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qelda {
struct FOUND_ITEM;
}

namespace qelda::platform {

// The run's log: a section heading or a line item.
class ILog {
 public:
  virtual ~ILog() = default;
  virtual void AddLogEntry(std::u16string text, bool section) = 0;
};

// The scan progress dialog: bar 1 counts items, bar 2 counts blocks of the long searches.
class IScanProgress {
 public:
  virtual ~IScanProgress() = default;
  virtual void setRange(int bar, std::uint64_t low, std::uint64_t high) = 0;
  virtual void setStep(int bar, std::uint64_t step) = 0;
  virtual void setPos(int bar, std::uint64_t pos) = 0;
  virtual void stepIt(int bar) = 0;
  virtual std::uint64_t getPos(int bar) const = 0;
  virtual void showBar(int bar, bool show) = 0;
  virtual void SetFoundText(std::u16string_view text) = 0;
  virtual void SetStatusText(std::u16string_view text) = 0;
  virtual void SetStopEnabled(bool enabled) = 0;
};

// A progress sink that shows nothing, where there is no dialog.
class NullScanProgress final : public IScanProgress {
 public:
  void setRange(int, std::uint64_t, std::uint64_t) override {}
  void setStep(int, std::uint64_t) override {}
  void setPos(int, std::uint64_t) override {}
  void stepIt(int) override {}
  std::uint64_t getPos(int) const override { return 0; }
  void showBar(int, bool) override {}
  void SetFoundText(std::u16string_view) override {}
  void SetStatusText(std::u16string_view) override {}
  void SetStopEnabled(bool) override {}
};

// The program's own message box; callers in the reading layer ignore the answer.
class IUserNotifier {
 public:
  virtual ~IUserNotifier() = default;
  virtual void Show(std::u16string_view text, std::uint32_t bitmapId, std::uint32_t buttonSetId) = 0;
};

// What AddFoundItem returns when it kept nothing.
inline constexpr std::uint32_t kNoFoundItem = 0xFFFFFFFF;

// The recovery console's found-files tree, as the engines see it.
class IFoundItemSink {
 public:
  virtual ~IFoundItemSink() = default;
  virtual void ResetFoundTree() = 0;
  // Stores a copy of the item and its name; returns the stored item's number (report order)
  // or kNoFoundItem.
  virtual std::uint32_t AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) = 0;
  // A size learnt after the item was reported: sets it and adds the lastFlags bits.
  virtual void SetFoundItemSize(std::uint32_t item, std::uint64_t size, std::uint8_t lastFlags) = 0;
  // A parent learnt after the item was reported (a folder moved out of a parent cycle).
  virtual void SetFoundItemParent(std::uint32_t item, std::uint32_t parentId) = 0;
  virtual void UpdateStatusCounts() = 0;
  virtual void CollapseRootChildren() = 0;
  virtual void QueueItemRename(const FOUND_ITEM& item, std::u16string_view name) = 0;
  virtual void ApplyQueuedRenames() = 0;
};

}  // namespace qelda::platform
