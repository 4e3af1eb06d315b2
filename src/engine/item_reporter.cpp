#include "engine/item_reporter.h"

#include <algorithm>
#include <charconv>

#include "platform/log.h"
#include "platform/text.h"

namespace qelda::engine {

ItemReporter::ItemReporter(platform::IFoundItemSink* console, platform::IScanProgress* scanDlg,
                           platform::ILog* log, Clock clock)
    : console_(console),
      scanDlg_(scanDlg),
      // A dialog that shows nothing is not fed the count text and the bar step of every item.
      countShown_(showsProgress(scanDlg)),
      log_(log),
      clock_(std::move(clock)) {}

ItemReporter::ItemReporter(platform::IFoundItemSink* console, platform::IScanProgress* scanDlg, bool countShown,
                           platform::ILog* log)
    : console_(console), scanDlg_(scanDlg), countShown_(countShown), log_(log) {}

std::uint32_t ItemReporter::report(const FOUND_ITEM& item, std::u16string_view name, ReportTotals totals,
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
  std::uint32_t stored = platform::kNoFoundItem;
  if (console_) {
    stored = console_->AddFoundItem(item, name.substr(0, std::min(name.size(), kMaxItemNameLength)));
    console_->UpdateStatusCounts();
  }
  if (countShown_) {
    showFoundCount(totals.entryCount);
    scanDlg_->stepIt(kItemBar);
  }
  totals.totalSize += item.m_nSize;
  if (item.isFolder()) ++totals.folderCount;
  else ++totals.fileCount;
  return stored;
}

void ItemReporter::showFoundCount(std::uint32_t entryCount) {
  if (!scanDlg_) return;
  // Once per item: built on the stack, "<count> Entries Found".
  char16_t text[16 + texts::kEntriesFound.size()];
  char digits[10];
  char* end = std::to_chars(digits, digits + sizeof digits, entryCount).ptr;
  std::size_t n = 0;
  for (const char* d = digits; d != end; ++d) text[n++] = char16_t(*d);
  text[n++] = u' ';
  for (const char16_t c : texts::kEntriesFound) text[n++] = c;
  scanDlg_->SetFoundText(std::u16string_view(text, n));
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
