#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/log.h"
#include "platform/text.h"
#include "support/image_dir.h"

namespace qelda::platform {
namespace {

TEST(Text, Utf16AndUtf8RoundTripAndDamagedInputBecomesReplacementCharacters) {
  const std::u16string names[] = {u"plain.txt", u"Ünïcödé — 日本語.txt", u"emoji \U0001F600 pair", u""};
  for (const auto& n : names) EXPECT_EQ(fromUtf8(toUtf8(n)), n);
  EXPECT_EQ(toUtf8(u"\u00e9"), "\xc3\xa9");
  EXPECT_EQ(toUtf8(u"\U0001F600"), "\xf0\x9f\x98\x80");
  // A lone surrogate, high or low, cannot be written as UTF-8.
  EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800)) + u"a"), "\xef\xbf\xbd" "a");
  EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xDC00))), "\xef\xbf\xbd");
  // Truncated, overlong and surrogate-encoding sequences.
  EXPECT_EQ(fromUtf8("a\xc3"), u"a\uFFFD");
  EXPECT_EQ(fromUtf8("\xc0\xaf"), u"\uFFFD\uFFFD");
  EXPECT_EQ(fromUtf8("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(widenLatin1("\xe9t\xe9"), u"\u00e9t\u00e9");
  EXPECT_TRUE(equalsIgnoreCaseAscii(u"DISK.VMDK", u"disk.vmdk"));
  EXPECT_FALSE(equalsIgnoreCaseAscii(u"disk.vmdk", u"disk.vmd"));
}

TEST(Log, TimeTextAndEntriesInOrder) {
  // 2026-12-06 21:05 local time, whatever the zone: build it from local fields.
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 6;
  tm.tm_hour = 21;
  tm.tm_min = 5;
  tm.tm_isdst = -1;
  const std::time_t when = std::mktime(&tm);
  EXPECT_EQ(formatLogTime(when), u" Dec 06 2026 , 09:05 PM");
  tm.tm_hour = 0;
  EXPECT_EQ(formatLogTime(std::mktime(&tm)), u" Dec 06 2026 , 12:05 AM");

  TextLog log([when] { return when; });
  log.AddLogEntry(u"Creating directory tree", true);
  log.AddLogEntry(u"Started on:" + log.now(), false);
  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1], u"Started on: Dec 06 2026 , 09:05 PM");
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A streamed log holds nothing in memory: each line is in the file as it comes (the text the
// same as a flushed log's), and without a file the lines are dropped.
TEST(Log, AStreamedLogWritesEachLineAsItComesAndKeepsNone) {
  test::ImageDir dir;
  const std::string flushed = dir.file("flushed.log");
  const std::string streamed = dir.file("streamed.log");
  TextLog a;
  TextLog b;
  for (TextLog* log : {&a, &b}) {
    log->AddLogEntry(u"Saving files", true);
    log->AddLogEntry(u"[Recovered] \u65E5/x.txt", false);
  }
  a.flushTo(flushed);
  ASSERT_TRUE(b.streamTo(streamed));  // the pending lines first
  b.AddLogEntry(u"Process completed", false);
  EXPECT_TRUE(b.entries().empty());
  a.AddLogEntry(u"Process completed", false);
  a.flushTo(flushed);
  b.flushTo(streamed);  // only pushes out what the stream holds
  EXPECT_EQ(fileText(streamed), "[Saving files]\n[Recovered] \xE6\x97\xA5/x.txt\nProcess completed\n");
  EXPECT_EQ(fileText(streamed), fileText(flushed));

  TextLog none;
  EXPECT_TRUE(none.streamTo(""));
  for (int i = 0; i < 1000; ++i) none.AddLogEntry(u"[Recovered] a.txt", false);
  EXPECT_TRUE(none.entries().empty());
  EXPECT_FALSE(TextLog().streamTo(dir.file("no-folder/x.log")));
}

// A log that opens but takes no line (a full disk): known at its first line, not at the end of
// the run; the handler hears of it once, and the log says why.
TEST(Log, AStreamedLogThatCannotBeWrittenSaysSoAtItsFirstLine) {
  for (const bool pending : {false, true}) {
    SCOPED_TRACE(pending ? "a line pending before the stream" : "lines after it");
    TextLog log;
    int failures = 0;
    log.onWriteFailure([&](int error) {
      ++failures;
      EXPECT_EQ(error, ENOSPC);
    });
    if (pending) log.AddLogEntry(u"Mounting", true);
    ASSERT_TRUE(log.streamTo("/dev/full"));
    log.AddLogEntry(u"Saving files", true);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(log.writeError(), ENOSPC);
    for (int i = 0; i < 100; ++i) log.AddLogEntry(u"[Recovered] a.txt", false);
    EXPECT_EQ(failures, 1);
    EXPECT_FALSE(log.flushTo("/dev/full"));
  }
  TextLog sound;
  ASSERT_TRUE(sound.streamTo("/dev/null"));
  sound.AddLogEntry(u"Saving files", true);
  EXPECT_EQ(sound.writeError(), 0);
  EXPECT_TRUE(sound.flushTo("/dev/null"));
}

}  // namespace
}  // namespace qelda::platform
