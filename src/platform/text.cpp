#include "platform/text.h"

#include <cstdint>
#include <cstring>

namespace qelda::platform {
namespace {

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += char16_t(c);
  } else {
    c -= 0x10000;
    out += char16_t(0xD800 + (c >> 10));
    out += char16_t(0xDC00 + (c & 0x3FF));
  }
}

// Calls `take` with each code point of UTF-16 text; unpaired surrogates are U+FFFD.
template <class Take>
void forEachCodePoint(std::u16string_view text, Take take) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      take(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else {
      take(u >= 0xD800 && u <= 0xDFFF ? char32_t(0xFFFD) : char32_t(u));
    }
  }
}

constexpr char kHex[] = "0123456789ABCDEF";

// A code point as printableText shows it once in UTF-8.
void appendPrintableCodePoint(std::string& out, char32_t c) {
  if (c >= 0x20 && c < 0x7F && c != '\\') {
    out += char(c);
  } else if (c == '\t') {
    out += "\\t";
  } else if (c == '\n') {
    out += "\\n";
  } else if (c == '\\') {
    out += "\\\\";
  } else if (c < 0xA0) {  // C0, DEL and C1
    const char hex[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0x0F]};
    out.append(hex, 4);
  } else {
    appendUtf8(out, c);
  }
}

}  // namespace

std::string toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  forEachCodePoint(text, [&out](char32_t c) { appendUtf8(out, c); });
  return out;
}

void appendPrintable(std::string& out, std::u16string_view text) {
  forEachCodePoint(text, [&out](char32_t c) { appendPrintableCodePoint(out, c); });
}

namespace {
// True when one of the eight bytes of `w` is below 0x20, 0x7F or above, or a backslash:
// a byte that printableText escapes or writes as two UTF-8 bytes. The borrows of the
// subtraction may mark more bytes after one that is marked, never a word with none.
bool anyNeedsEscape(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  const std::uint64_t below20 = (w - kOnes * 0x20) & ~w;
  const std::uint64_t from7F = (w + kOnes) | w;
  const std::uint64_t slash = w ^ (kOnes * '\\');
  const std::uint64_t isSlash = (slash - kOnes) & ~slash;
  return ((below20 | from7F | isSlash) & kHighs) != 0;
}
}  // namespace

void appendPrintableLatin1(std::string& out, std::string_view latin1) {
  std::size_t i = 0;
  while (i < latin1.size()) {
    // Runs that need no escape are copied whole; eight bytes are judged at a time.
    std::size_t run = i;
    for (std::uint64_t w; run + 8 <= latin1.size(); run += 8) {
      std::memcpy(&w, latin1.data() + run, 8);
      if (anyNeedsEscape(w)) break;
    }
    while (run < latin1.size()) {
      const std::uint8_t b = std::uint8_t(latin1[run]);
      if (b < 0x20 || b >= 0x7F || b == '\\') break;
      ++run;
    }
    out.append(latin1.data() + i, run - i);
    if (run == latin1.size()) break;
    appendPrintableCodePoint(out, std::uint8_t(latin1[run]));
    i = run + 1;
  }
}

std::u16string fromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::uint8_t b = std::uint8_t(text[i]);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > text.size()) {
      appendUtf16(out, 0xFFFD);
      ++i;
      continue;
    }
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = true;
    for (std::size_t k = 1; k < len; ++k) {
      const std::uint8_t cb = std::uint8_t(text[i + k]);
      if ((cb & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (cb & 0x3F);
    }
    const bool overlong = (len == 2 && c < 0x80) || (len == 3 && c < 0x800) || (len == 4 && c < 0x10000);
    if (!ok || overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      appendUtf16(out, 0xFFFD);
      ++i;
      continue;
    }
    appendUtf16(out, c);
    i += len;
  }
  return out;
}

std::u16string widenLatin1(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = char16_t(std::uint8_t(text[i]));
  return out;
}

std::string printableText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto hex = [&](std::uint8_t code) {
    out += "\\x";
    out += kHex[code >> 4];
    out += kHex[code & 0x0F];
  };
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const std::uint8_t b = std::uint8_t(utf8[i]);
    if (b == '\t') {
      out += "\\t";
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\\') {
      out += "\\\\";
    } else if (b < 0x20 || b == 0x7F) {
      hex(b);
    } else if (b == 0xC2 && i + 1 < utf8.size() && std::uint8_t(utf8[i + 1]) >= 0x80 &&
               std::uint8_t(utf8[i + 1]) <= 0x9F) {
      hex(std::uint8_t(utf8[++i]));  // U+0080 to U+009F: the C1 controls, CSI among them
    } else {
      out += char(b);
    }
  }
  return out;
}

bool equalsIgnoreCaseAscii(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace qelda::platform
