// Text printed for people and scripts: a name from a disk can neither split a line of
// output nor reach the terminal as a control sequence.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace qelda::platform {
namespace {

TEST(PrintableText, EscapesControlCharactersAndBackslashOnly) {
  struct Case {
    const char* what;
    std::string text;
    std::string printed;
  } cases[] = {
      {"plain", "Docs/notes.txt", "Docs/notes.txt"},
      {"tab and line feed", "a\tb\nc", "a\\tb\\nc"},
      {"a backslash", "back\\slash", "back\\\\slash"},
      {"an escape that looks like one", "x\\n", "x\\\\n"},
      {"ESC starting a colour", "\x1B[31mred", "\\x1B[31mred"},
      {"CR, NUL, DEL", std::string("a\rb\0c\x7F", 6), "a\\x0Db\\x00c\\x7F"},
      {"C1 controls (CSI, NEL)", "\xC2\x9B" "2J\xC2\x85", "\\x9B2J\\x85"},
      {"other non-ASCII text as it is", "\xC2\xA0\xC3\xA9\xE6\x97\xA5", "\xC2\xA0\xC3\xA9\xE6\x97\xA5"},
      {"a line forged inside a name", "x\nf\t-\t0\tpasswd", "x\\nf\\t-\\t0\\tpasswd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(printableText(c.text), c.printed);
  }
}

TEST(PrintableText, EveryControlCharacterLeavesNoControlByte) {
  for (char32_t c = 0; c < 0xA0; ++c) {
    if (c >= 0x20 && c < 0x7F) continue;
    SCOPED_TRACE(unsigned(c));
    const std::string printed = printableText(toUtf8(std::u16string(1, char16_t(c))));
    for (unsigned char b : printed) EXPECT_TRUE(b >= 0x20 && b < 0x7F) << printed;
  }
}

}  // namespace
}  // namespace qelda::platform
