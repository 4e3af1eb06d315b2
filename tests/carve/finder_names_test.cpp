#include "carve/finder_names.h"

#include <gtest/gtest.h>

namespace qelda::carve {
namespace {

TEST(FinderNames, DateTextsBecomeCalendarAndDosTimes) {
  struct Case {
    const char* what;
    std::string text;
    bool isDate;
    std::optional<std::uint64_t> dos;  // date << 32 | time
  };
  const auto dos = [](unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s) {
    return std::uint64_t((y - 1980) << 9 | mo << 5 | d) << 32 | (h << 11 | mi << 5 | s / 2);
  };
  const Case cases[] = {
      {"EXIF form", "2009:07:03 14:05:31", true, dos(2009, 7, 3, 14, 5, 31)},
      {"ISO form with dashes", "2009-07-03 14:05:31", true, dos(2009, 7, 3, 14, 5, 31)},
      {"terminated early", std::string("2009:07:03 14:05:31\0junk", 24), true, dos(2009, 7, 3, 14, 5, 31)},
      {"before 1980: no DOS date", "1979:12:31 23:59:59", true, std::nullopt},
      {"29 February, leap year", "2008:02:29 00:00:00", true, dos(2008, 2, 29, 0, 0, 0)},
      {"29 February, common year", "2009:02:29 00:00:00", true, std::nullopt},
      {"second 60", "2009:07:03 14:05:60", true, std::nullopt},
      {"month 13", "2009:13:03 14:05:31", true, std::nullopt},
      {"a letter makes its piece 0", "2009:0x:03 14:05:31", true, std::nullopt},
      {"too short", "2009:07:03 14:05", false, std::nullopt},
      {"RFC 1123 form", "Fri, 03 Jul 2009 14:05:31 GMT", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto t = parseDateText(c.text);
    ASSERT_EQ(t.has_value(), c.isDate);
    if (t) {
      EXPECT_EQ(dosDateTime(*t), c.dos);
    }
  }
  const CalendarTime t = SplitDateText("20090703140531");
  EXPECT_EQ(t.year, 2009);
  EXPECT_EQ(t.month, 7);
  EXPECT_EQ(t.day, 3);
  EXPECT_EQ(t.hour, 14);
  EXPECT_EQ(t.minute, 5);
  EXPECT_EQ(t.second, 31);
  EXPECT_EQ(SplitDateText("2009-x703140531").month, 0);
}

TEST(FinderNames, PiecesJoinInOrderWithAnOddSecondRaisedInTheNameOnly) {
  FinderNamePieces p;
  p.date = SplitDateText("20090703140531");
  p.width = 640;
  p.height = 480;
  p.withDimensions = true;
  EXPECT_EQ(buildFinderName(p), u"(7-3-2009 14-5-32)(640x480)");
  p.camera = u"  Canon EOS 5D  ";
  EXPECT_EQ(buildFinderName(p), u"(7-3-2009 14-5-32)Canon EOS 5D(640x480)");
  p.date.reset();
  p.withDimensions = false;
  EXPECT_EQ(buildFinderName(p), u"Canon EOS 5D");
  EXPECT_EQ(buildFinderName(FinderNamePieces{}), u"");
}

TEST(FinderNames, NamesFromFilesCannotLeaveTheirFolderOrGrowPast255) {
  EXPECT_EQ(cleanFinderName(u"../../etc/passwd"), u".._.._etc_passwd");
  EXPECT_EQ(cleanFinderName(u"a\\b\nc\x7F" u"d\x01"), u"a_b_c_d_");
  EXPECT_EQ(cleanFinderName(std::u16string(300, u'n')).size(), 255u);

  const std::u16string long_name = u"12_" + std::u16string(400, u'c');
  const std::u16string name = rawFileName(long_name, u"jpg");
  EXPECT_EQ(name.size(), 255u);
  EXPECT_EQ(name.substr(251), u".jpg");
  EXPECT_EQ(rawFileName(u"812", u"jpg"), u"812.jpg");
  EXPECT_EQ(rawFileName(u"7_a/b", u"t/x"), u"7_a_b.t_x");
  EXPECT_EQ(rawFileName(u"..", u""), u"__");
  EXPECT_EQ(rawFileName(u"", u""), u"_");
  // A surrogate pair is never cut in half.
  std::u16string pairs;
  for (int i = 0; i < 200; ++i) pairs += u"\U0001F600";
  const std::u16string cut = rawFileName(pairs, u"png");
  EXPECT_LE(cut.size(), 255u);
  const char16_t beforeDot = cut[cut.size() - 5];
  EXPECT_FALSE(beforeDot >= 0xD800 && beforeDot <= 0xDBFF);
}

}  // namespace
}  // namespace qelda::carve
