#include "engine/item_reporter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "results/file_folder_tree.h"

namespace qelda::engine {
namespace {

// Records every progress call as a line of text.
class RecordingProgress final : public platform::IScanProgress {
 public:
  void setRange(int bar, std::uint64_t low, std::uint64_t high) override {
    calls.push_back("range " + std::to_string(bar) + " " + std::to_string(low) + "-" + std::to_string(high));
  }
  void setStep(int bar, std::uint64_t step) override { calls.push_back("step " + std::to_string(bar) + " " + std::to_string(step)); }
  void setPos(int, std::uint64_t) override {}
  void stepIt(int bar) override { calls.push_back("stepIt " + std::to_string(bar)); }
  std::uint64_t getPos(int) const override { return 0; }
  void showBar(int, bool) override {}
  void SetFoundText(std::u16string_view text) override { calls.push_back("found " + platform::toUtf8(text)); }
  void SetStatusText(std::u16string_view) override {}
  void SetStopEnabled(bool) override {}
  std::vector<std::string> calls;
};

class RecordingLog final : public platform::ILog {
 public:
  void AddLogEntry(std::u16string text, bool section) override {
    lines.push_back((section ? "# " : "") + platform::toUtf8(text));
  }
  std::vector<std::string> lines;
};

struct Totals {
  std::uint32_t entries = 0, folders = 0, files = 0;
  std::uint64_t size = 0;
  ReportTotals refs() { return {entries, folders, files, size}; }
};

TEST(NtfsItemReporter, FirstItemResetsTheTreeAndCountsTheRoot) {
  results::CFileFolderTree tree;
  RecordingProgress progress;
  ItemReporter reporter(&tree, &progress, nullptr);
  Totals t;

  FOUND_ITEM file;
  file.m_byAttributes = kItemFile;
  file.m_nSize = 1000;
  file.m_nId = 64;
  file.m_nParentId = 5;
  std::uint32_t stored = reporter.report(file, u"a.txt", t.refs(), 4096);
  ASSERT_NE(stored, platform::kNoFoundItem);
  EXPECT_EQ(tree.nameOf(stored), u"a.txt");
  EXPECT_TRUE(tree.hasRoot());
  EXPECT_EQ(progress.calls, (std::vector<std::string>{"range 0 0-4096", "step 0 1", "found 2 Entries Found", "stepIt 0"}));
  EXPECT_EQ(t.entries, 2u);
  EXPECT_EQ(t.folders, 1u);  // the root
  EXPECT_EQ(t.files, 1u);
  EXPECT_EQ(t.size, 1000u);
  EXPECT_EQ(tree.statusUpdates(), 2u);  // after the reset and after the item

  FOUND_ITEM folder;
  folder.m_byAttributes = kItemFolder;
  folder.m_nId = 65;
  const std::u16string longName(300, u'n');
  stored = reporter.report(folder, longName, t.refs(), 4096);
  EXPECT_EQ(tree.nameOf(stored).size(), kMaxItemNameLength);
  EXPECT_EQ(progress.calls.back(), "stepIt 0");
  EXPECT_EQ(progress.calls[progress.calls.size() - 2], "found 3 Entries Found");
  EXPECT_EQ(t.entries, 3u);
  EXPECT_EQ(t.folders, 2u);
  EXPECT_EQ(tree.size(), 2u);  // the reset came only once
}

TEST(NtfsItemReporter, LogsStartAndEitherEnd) {
  RecordingLog log;
  // 2021-06-15 12:00:00 UTC.
  ItemReporter reporter(nullptr, nullptr, &log, [] { return std::time_t(1623758400); });
  setenv("TZ", "UTC", 1);
  tzset();
  reporter.logStart(texts::kCreatingDirectoryTree);
  reporter.logEnd(false);
  reporter.logEnd(true);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"# Creating directory tree", "Process started",
                                                  "Started on: Jun 15 2021 , 12:00 PM", "Process completed",
                                                  "Completed on : Jun 15 2021 , 12:00 PM",
                                                  "Process aborted. User intervention",
                                                  "Aborted on: Jun 15 2021 , 12:00 PM"}));
}

}  // namespace
}  // namespace qelda::engine
