// The block bar of the long searches, the "Reading ... of ..." line beside it, the sink of an
// engine made without a dialog, and how a scan's end is told from its failure and a stop.
#include "engine/scan_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/scan_state.h"
#include "engine/volume_engine.h"
#include "platform/string_table.h"
#include "platform/text.h"
#include "support/recording_notifier.h"
#include "support/recording_progress.h"

namespace qelda::engine {
namespace {

TEST(BlockBar, StartsShownAtZeroAndStepsWithWhereTheSearchHasGot) {
  test::RecordingProgress dlg;
  BlockBar bar(dlg);
  ASSERT_TRUE(bar.shown());
  bar.start(40, 2048);
  bar.stepReading(texts::kReadingSector, 2048, 81920);
  bar.step();
  bar.showReading(texts::kReadingCluster, 12, 4000);
  bar.moveTo(7);
  const std::vector<std::string> want = {"show 1 on",
                                         "pos 1 0",
                                         "range 1 0-40",
                                         "step 1 2048",
                                         "stepIt 1",
                                         "status Reading sector 2048 of 81920",
                                         "stepIt 1",
                                         "status Reading cluster 12 of 4000",
                                         "pos 1 7"};
  EXPECT_EQ(dlg.calls, want);
}

TEST(BlockBar, ASinkThatShowsNothingStandsInForAMissingDialog) {
  test::RecordingProgress dlg;
  EXPECT_EQ(&progressOr(&dlg), &dlg);
  EXPECT_EQ(&progressOr(nullptr), &noScanProgress());
  EXPECT_TRUE(showsProgress(&dlg));
  EXPECT_FALSE(showsProgress(nullptr));
  EXPECT_FALSE(showsProgress(&noScanProgress()));
  platform::NullScanProgress silent;
  EXPECT_FALSE(BlockBar(silent).shown());
  // Stepping a bar no one sees is harmless.
  BlockBar none(noScanProgress());
  none.start(10);
  none.stepReading(texts::kReadingCluster, 1, 10);
}

TEST(ReadingText, NamesWhatIsReadAndHowFarTheSearchGoes) {
  struct Case {
    std::u16string_view what;
    std::uint64_t at, of;
    const char* want;
  };
  for (const Case c : {Case{texts::kReadingSector, 0, 0, "Reading sector 0 of 0"},
                       Case{texts::kReadingCluster, 2, 4294967295u, "Reading cluster 2 of 4294967295"},
                       Case{texts::kReadingSector, 18446744073709551615u, 1, "Reading sector 18446744073709551615 of 1"}})
    EXPECT_EQ(platform::toUtf8(readingText(c.what, c.at, c.of)), c.want);
}

// A failure is what the user was shown, so it stands even when stop was pressed too.
TEST(ScanEnded, AFailureOutranksAStopWhichOutranksDone) {
  struct Case {
    const char* what;
    std::u16string failure;
    bool stop;
    ScanStatus want;
  };
  const Case cases[] = {
      {"done", u"", false, ScanStatus::Done},
      {"stopped", u"", true, ScanStatus::Stopped},
      {"failed", u"no boot sector", false, ScanStatus::Failed},
      {"failed and stopped", u"no boot sector", true, ScanStatus::Failed},
  };
  const std::u16string notValid = platform::StringTable::load(platform::strings::kNotValidVolume);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScanState state;
    state.m_bStopRequested = c.stop ? 1 : 0;
    test::RecordingNotifier notifier;
    const ScanOutcome shown = scanEnded(state, c.failure, &notifier);
    EXPECT_EQ(shown.status, c.want);
    EXPECT_EQ(shown.cause, c.failure);
    EXPECT_EQ(shown.message, c.want == ScanStatus::Failed ? notValid : u"");
    EXPECT_EQ(notifier.shown.size(), c.want == ScanStatus::Failed ? 1u : 0u);
    // An engine that has shown its message already passes no notifier.
    EXPECT_EQ(scanEnded(state, c.failure).status, c.want);
  }
}

}  // namespace
}  // namespace qelda::engine
