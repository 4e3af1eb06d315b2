// What every volume engine shares: how a found file or folder is reported to the console,
// the scan dialog and the totals, and the log lines that frame a scan pass.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "engine/engine_texts.h"
#include "engine/scan_progress.h"
#include "platform/found_item.h"
#include "platform/sinks.h"

namespace qelda::engine {

// The range the FAT and exFAT engines give the item bar.
inline constexpr std::uint64_t kDefaultItemRange = 100000;

// The running totals an engine keeps, as references to its own fields.
struct ReportTotals {
  std::uint32_t& entryCount;
  std::uint32_t& folderCount;
  std::uint32_t& fileCount;
  std::uint64_t& totalSize;
};

class ItemReporter {
 public:
  using Clock = std::function<std::time_t()>;

  ItemReporter() = default;
  ItemReporter(platform::IFoundItemSink* console, platform::IScanProgress* scanDlg, platform::ILog* log,
               Clock clock = {});
  // The same with the dialog already judged (countShown: it shows the count and the bar), for
  // engines that make a reporter per item and judged their dialog once.
  ItemReporter(platform::IFoundItemSink* console, platform::IScanProgress* scanDlg, bool countShown,
               platform::ILog* log);

  // Reports one item: on the first item of a scan sets the item bar's range (0..itemRange),
  // counts the root folder the console creates and resets the found tree; then hands the
  // item and its name (cut to 255 characters) to the console, shows the count, steps the
  // bar and adds the item to the totals. Returns the stored item's number (kNoFoundItem
  // without a console).
  std::uint32_t report(const FOUND_ITEM& item, std::u16string_view name, ReportTotals totals,
                     std::uint64_t itemRange);

  // "<count> Entries Found" in the scan dialog.
  void showFoundCount(std::uint32_t entryCount);

  // A pass's section title, "Process started" and "Started on:" with the time.
  void logStart(std::u16string_view title);
  // "Process completed"/"Completed on :" or, after a stop, the two aborted lines.
  void logEnd(bool aborted);

  platform::IFoundItemSink* console() const { return console_; }
  platform::IScanProgress* scanDlg() const { return scanDlg_; }
  platform::ILog* log() const { return log_; }

 private:
  std::u16string timeText() const;

  platform::IFoundItemSink* console_ = nullptr;
  platform::IScanProgress* scanDlg_ = nullptr;
  bool countShown_ = false;
  platform::ILog* log_ = nullptr;
  Clock clock_;
};

}  // namespace qelda::engine
