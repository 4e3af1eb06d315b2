#include "save/name_mask.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

#include "save/case_fold_table.h"

namespace qelda::save {
namespace {

// Where a byte is no part of a well-formed UTF-8 sequence, it stands for itself as one of the
// code points U+DC80..U+DCFF, which well-formed UTF-8 never gives (they are surrogates).
std::u32string decodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t lead = byte(i);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4                  ? 4
                                                                               : 0;
    char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool whole = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      whole = (byte(i + k) & 0xC0) == 0x80;
      c = c << 6 | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no characters.
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (whole && (c < kLeast[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)) whole = false;
    if (!whole) {
      out.push_back(0xDC00 + lead);
      ++i;
      continue;
    }
    out.push_back(c);
    i += length;
  }
  return out;
}

struct AsciiClass {
  std::u32string_view name;
  int (*test)(int);
};
constexpr AsciiClass kClasses[] = {
    {U"alnum", ::isalnum}, {U"alpha", ::isalpha}, {U"blank", ::isblank}, {U"cntrl", ::iscntrl},
    {U"digit", ::isdigit}, {U"graph", ::isgraph}, {U"lower", ::islower}, {U"print", ::isprint},
    {U"punct", ::ispunct}, {U"space", ::isspace}, {U"upper", ::isupper}, {U"xdigit", ::isxdigit},
};

}  // namespace

char32_t foldCase(char32_t c) {
  using fold::FoldRun;
  // The last run that starts at or before c.
  const auto after = std::upper_bound(std::begin(fold::kFoldRuns), std::end(fold::kFoldRuns), c,
                                      [](char32_t x, const FoldRun& run) { return x < run.first; });
  if (after == std::begin(fold::kFoldRuns)) return c;
  const FoldRun& run = *std::prev(after);
  const char32_t offset = c - run.first;
  if (offset % run.stride != 0 || offset / run.stride >= run.count) return c;
  return char32_t(std::int64_t(c) + run.delta);
}

NameMask::NameMask(std::string_view pattern) {
  const std::u32string p = decodeUtf8(pattern);
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char32_t c = p[i];
    if (c == U'*') {
      if (tokens_.empty() || tokens_.back().kind != Kind::Star) tokens_.push_back({Kind::Star});
      continue;
    }
    if (c == U'?') {
      tokens_.push_back({Kind::Any});
      continue;
    }
    if (c == U'\\') {
      // A `\` with nothing after it quotes nothing: the pattern is broken and takes no name,
      // as the shell's matcher has it.
      if (i + 1 == p.size()) broken_ = true;
      else tokens_.push_back({Kind::Char, foldCase(p[++i])});
      continue;
    }
    if (c == U'[') {
      // A set, when a `]` closes it; its members are read into members_, dropped again if not.
      std::size_t j = i + 1;
      const bool negated = j < p.size() && (p[j] == U'!' || p[j] == U'^');
      if (negated) ++j;
      const std::size_t first = members_.size();
      bool closed = false;
      for (bool leading = true; j < p.size(); leading = false) {
        if (p[j] == U']' && !leading) {
          closed = true;
          break;
        }
        if (const std::size_t taken = bracketName(p, j); taken != 0) {
          j += taken;
          continue;
        }
        char32_t low = p[j];
        if (low == U'\\' && j + 1 < p.size()) low = p[++j];
        ++j;
        char32_t high = low;
        if (j + 1 < p.size() && p[j] == U'-' && p[j + 1] != U']') {
          high = p[j + 1];
          if (high == U'\\' && j + 2 < p.size()) high = p[++j + 1];
          j += 2;
        }
        members_.push_back({low, high});
      }
      if (closed) {
        tokens_.push_back({negated ? Kind::NotSet : Kind::Set, 0, first, members_.size() - first});
        i = j;
        continue;
      }
      members_.resize(first);
    }
    tokens_.push_back({Kind::Char, foldCase(c)});
  }
}

// The `[:class:]`, `[=c=]` or `[.c.]` at p[at] inside a set, read as the shell's matcher reads
// them: a class is a name of lower-case letters (an unknown one breaks the pattern); the other
// two stand for their one character (a `[.` not so closed breaks it). Returns the characters
// taken, 0 where the `[` is only itself.
std::size_t NameMask::bracketName(std::u32string_view p, std::size_t at) {
  const char32_t mark = at + 1 < p.size() && p[at] == U'[' ? p[at + 1] : 0;
  if (mark == U':') {
    std::size_t end = at + 2;
    while (end < p.size() && p[end] >= U'a' && p[end] < U'z') ++end;
    if (p.substr(end, 2) != U":]") return 0;
    const std::u32string_view name = p.substr(at + 2, end - at - 2);
    const auto known = std::find_if(std::begin(kClasses), std::end(kClasses),
                                    [&](const AsciiClass& k) { return k.name == name; });
    if (known == std::end(kClasses)) broken_ = true;
    else members_.push_back({0, 0, known->test});
    return end + 2 - at;
  }
  if (mark != U'=' && mark != U'.') return 0;
  if (at + 4 < p.size() && p[at + 3] == mark && p[at + 4] == U']') {
    members_.push_back({p[at + 2], p[at + 2]});
    return 5;
  }
  if (mark == U'.') broken_ = true;
  return 0;
}

bool NameMask::inSet(const Token& token, char32_t c) const {
  const char32_t folded = foldCase(c);
  for (std::size_t k = token.members; k < token.members + token.count; ++k) {
    const Member& m = members_[k];
    if (m.test) {
      if ((c < 0x80 && m.test(int(c))) || (folded < 0x80 && m.test(int(folded)))) return true;
    } else if (foldCase(m.first) <= folded && folded <= foldCase(m.last)) {
      return true;
    }
  }
  return false;
}

bool NameMask::matches(std::string_view nameUtf8) const {
  if (broken_) return false;
  const std::u32string name = decodeUtf8(nameUtf8);
  // One token takes one character, but for `*`: on a mismatch, the last `*` takes one more
  // and the tokens after it are tried again from there. Earlier stars need never take more,
  // so this is linear in the name for each start of the last star.
  std::size_t t = 0;
  std::size_t n = 0;
  std::size_t afterStar = std::string::npos;
  std::size_t starFrom = 0;
  while (n < name.size()) {
    if (t < tokens_.size() && tokens_[t].kind == Kind::Star) {
      afterStar = ++t;
      starFrom = n;
      continue;
    }
    if (t < tokens_.size()) {
      const Token& token = tokens_[t];
      const bool taken = token.kind == Kind::Any || (token.kind == Kind::Char && token.c == foldCase(name[n])) ||
                         (token.kind == Kind::Set && inSet(token, name[n])) ||
                         (token.kind == Kind::NotSet && !inSet(token, name[n]));
      if (taken) {
        ++t;
        ++n;
        continue;
      }
    }
    if (afterStar == std::string::npos) return false;
    t = afterStar;
    n = ++starFrom;
  }
  while (t < tokens_.size() && tokens_[t].kind == Kind::Star) ++t;
  return t == tokens_.size();
}

}  // namespace qelda::save
