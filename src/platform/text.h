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
// ASCII-only case-insensitive comparison.
bool equalsIgnoreCaseAscii(std::u16string_view a, std::u16string_view b);

}  // namespace qelda::platform
