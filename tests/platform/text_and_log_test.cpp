#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/text.h"

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

}  // namespace
}  // namespace qelda::platform
