#include "engine/item_reporter.h"

#include <algorithm>

#include "platform/log.h"
#include "platform/text.h"

namespace qelda::engine {

ItemReporter::ItemReporter(platform::IFoundItemSink* console, platform::IScanProgress* scanDlg,
                           platform::ILog* log, Clock clock)
    : console_(console), scanDlg_(scanDlg), log_(log), clock_(std::move(clock)) {}

FOUND_ITEM* ItemReporter::report(const FOUND_ITEM& item, std::u16string_view name, ReportTotals totals,
                                 std::uint64_t itemRange) {
  if (totals.entryCount == 0) {
    if (scanDlg_) {
      scanDlg_->setRange(kItemBar, 0, itemRange);
      scanDlg_->setStep(kItemBar, 1);
    }
    // The root folder the console creates on the reset counts as found.
    ++totals.entryCount;
    ++totals.folderCount;
    if (console_) {
      console_->ResetFoundTree();
      console_->UpdateStatusCounts();
    }
  }
  ++totals.entryCount;
  FOUND_ITEM* stored = nullptr;
  if (console_) {
    stored = console_->AddFoundItem(item, name.substr(0, std::min(name.size(), kMaxItemNameLength)));
    console_->UpdateStatusCounts();
  }
  showFoundCount(totals.entryCount);
  if (scanDlg_) scanDlg_->stepIt(kItemBar);
  totals.totalSize += item.m_nSize;
  if (item.isFolder()) ++totals.folderCount;
  else ++totals.fileCount;
  return stored;
}

void ItemReporter::showFoundCount(std::uint32_t entryCount) {
  if (!scanDlg_) return;
  std::u16string text = platform::widenLatin1(std::to_string(entryCount) + " ");
  text += texts::kEntriesFound;
  scanDlg_->SetFoundText(text);
}

std::u16string ItemReporter::timeText() const {
  return platform::formatLogTime(clock_ ? clock_() : std::time(nullptr));
}

void ItemReporter::logStart(std::u16string_view title) {
  if (!log_) return;
  log_->AddLogEntry(std::u16string(title), true);
  log_->AddLogEntry(std::u16string(texts::kProcessStarted), false);
  log_->AddLogEntry(std::u16string(texts::kStartedOn) + timeText(), false);
}

void ItemReporter::logEnd(bool aborted) {
  if (!log_) return;
  if (aborted) {
    log_->AddLogEntry(std::u16string(texts::kProcessAborted), false);
    log_->AddLogEntry(std::u16string(texts::kAbortedOn) + timeText(), false);
  } else {
    log_->AddLogEntry(std::u16string(texts::kProcessCompleted), false);
    log_->AddLogEntry(std::u16string(texts::kCompletedOn) + timeText(), false);
  }
}

}  // namespace qelda::engine
