#include "save/name_mask.h"

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace qelda::save {
namespace {

struct Case {
  const char* mask;
  const char* name;
  bool matches;
};

// The names a FAT camera card, a Windows folder or a Linux disk holds, in whatever case the
// system that wrote them chose, as --mask takes them.
TEST(NameMask, MatchesNamesAsTheVolumesCompareThemWithoutRegardToCase) {
  const Case cases[] = {
      {"*.jpg", "IMG_0001.JPG", true},
      {"*.jpg", "img_0002.jpg", true},
      {"*.JPG", "Holiday.Jpg", true},
      {"*.jpg", "IMG_0001.JPEG", false},
      {"*.jpg", "IMG_0001.JPG.txt", false},
      {"img_????.jpg", "IMG_0001.JPG", true},
      {"img_????.jpg", "IMG_01.JPG", false},
      // Beyond ASCII, as NTFS and exFAT up-case tables fold them.
      {"été*", "ÉTÉ 2024.TXT", true},
      {"ΟΔΟΣ*", "οδοσ.doc", true},
      {"*ς", "ΟΔΟΣ", true},  // final sigma folds to σ, as Σ does
      {"фото_*.jpg", "ФОТО_1.JPG", true},
      {"straße.txt", "STRASSE.TXT", false},  // one character never folds to two
      {"Ａ*", "ａｂｃ", true},              // fullwidth letters
      {"𐐨*", "𐐀X", true},                 // Deseret, outside the 16-bit plane
      {"\u212A*", "kelvin", true},          // the Kelvin sign folds to k
      {"\u0131*", "Island", false},         // dotless i folds to itself
      // Sets, ranges and classes, case aside too.
      {"[a-c]*", "Banana", true},
      {"[A-C]*", "banana", true},
      {"[!a]*", "Apple", false},
      {"[^a]*", "pear", true},
      {"[à-þ]*", "Élan", true},
      {"[[:digit:]]*", "7up", true},
      {"[[:lower:]]x", "Ax", true},
      {"[]x]", "]", true},
      {"[!]]", "]", false},
      {"[ab", "[AB", true},  // no `]` closes it: the `[` is itself
      {"a\\*", "A*", true},
      {"a\\*", "Ab", false},
      {"[a\\]]", "]", true},
      // `?` is one character, however many bytes it takes.
      {"?.txt", "é.txt", true},
      {"?.txt", "ab.txt", false},
      // A byte that is no part of a UTF-8 sequence stands for itself.
      {"a\xFF*", "A\xFFz", true},
      {"?", "\xFF", true},
      {"a*b*c*d", "aXbXcXbXcXd", true},
      {"a*b*c*d", "aXbXcXbXcX", false},
      {"**", "", true},
      {"?", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mask) + " / " + c.name);
    EXPECT_EQ(NameMask(c.mask).matches(c.name), c.matches);
  }
}

// On ASCII the mask is the shell's pattern with case folded: it agrees with fnmatch and
// FNM_CASEFOLD on random patterns of its special characters (classes of case aside, which
// fnmatch tests after folding).
TEST(NameMask, AgreesWithTheShellsPatternsOnAscii) {
  std::mt19937 random(7);
  const std::string patternChars = "aBc*?[]!^-\\.";
  const std::string nameChars = "aAbBcC.-]![\\^";
  const auto draw = [&](const std::string& from, std::size_t most) {
    std::string s(random() % (most + 1), ' ');
    for (char& c : s) c = from[random() % from.size()];
    return s;
  };
  int compared = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string pattern = draw(patternChars, 8);
    const std::string name = draw(nameChars, 8);
    const bool expected = ::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
    ASSERT_EQ(NameMask(pattern).matches(name), expected) << "pattern " << pattern << " name " << name;
    compared += expected;
  }
  EXPECT_GT(compared, 300);  // the names drawn do match now and then
}

TEST(NameMask, FoldCaseFoldsOneCharacterToOne) {
  EXPECT_EQ(foldCase(U'A'), U'a');
  EXPECT_EQ(foldCase(U'a'), U'a');
  EXPECT_EQ(foldCase(U'@'), U'@');
  EXPECT_EQ(foldCase(U'\u00C9'), U'\u00E9');  // É
  EXPECT_EQ(foldCase(U'\u00DF'), U'\u00DF');  // ß stays
  EXPECT_EQ(foldCase(U'\u1E9E'), U'\u00DF');  // capital sharp s
  EXPECT_EQ(foldCase(U'\u0130'), U'\u0130');  // İ has no one-character folding
  EXPECT_EQ(foldCase(U'\u0100'), U'\u0101');  // Ā, a run of every other character
  EXPECT_EQ(foldCase(U'\u0101'), U'\u0101');
  EXPECT_EQ(foldCase(U'\u03A3'), U'\u03C3');
  EXPECT_EQ(foldCase(U'\u03C2'), U'\u03C3');  // final sigma
  EXPECT_EQ(foldCase(U'\U00010400'), U'\U00010428');
  EXPECT_EQ(foldCase(U'\U0010FFFF'), U'\U0010FFFF');
}

}  // namespace
}  // namespace qelda::save
