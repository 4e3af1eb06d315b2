// UTF-16 is the text of the system; UTF-8 only at the edges (terminal, Linux file names).
#pragma once

#include <string>
#include <string_view>

namespace qelda::platform {

// Unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view text);
// Invalid UTF-8 sequences become U+FFFD.
std::u16string fromUtf8(std::string_view text);
// One byte per character, as 8-bit texts on disk are widened.
std::u16string widenLatin1(std::string_view text);
// UTF-8 text as it is printed for people and scripts: a tab, a line feed and a backslash
// become \t, \n and \\; every other control character (C0, DEL and C1) becomes \xHH with
// its code in hex. So a name from a disk can neither break a line of output apart nor
// send the terminal an escape sequence.
std::string printableText(std::string_view utf8);
// printableText(toUtf8(text)) appended to `out`, without the text in between: for UTF-16
// code units, or for Latin-1 bytes (one per character, as names below U+0100 are kept).
void appendPrintable(std::string& out, std::u16string_view text);
void appendPrintableLatin1(std::string& out, std::string_view latin1);
// ASCII-only case-insensitive comparison.
bool equalsIgnoreCaseAscii(std::u16string_view a, std::u16string_view b);

}  // namespace qelda::platform
