// The --mask of a save: a shell pattern matched against file names without regard to case,
// since the volumes it is used on (FAT, exFAT, NTFS) hold one file under a name whatever
// its case: `*.jpg` is meant to take a camera card's IMG_0001.JPG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qelda::save {

// The simple case folding of Unicode (one character to one; U+00DF stays itself): two
// characters are the same but for case when their foldings are equal.
char32_t foldCase(char32_t c);

// A pattern of the shell's wildcards: `*` any run of characters, `?` any one character,
// `[...]` one of a set (`[!...]` or `[^...]` one not in it; ranges `a-z`; classes such as
// `[:digit:]`, of ASCII characters; `]` first stands for itself) and `\` taking the next
// character as it is. Both pattern and names are UTF-8, compared character by character
// (a byte that is no part of a sequence stands for itself); a `[` that no `]` closes is
// itself; a pattern that ends in a lone `\` takes no name.
class NameMask {
 public:
  explicit NameMask(std::string_view pattern);
  bool matches(std::string_view name) const;

 private:
  enum class Kind : std::uint8_t { Char, Any, Star, Set, NotSet };
  struct Token {
    Kind kind;
    char32_t c = 0;            // Char: folded
    std::size_t members = 0;   // Set, NotSet: the first of its members in members_
    std::size_t count = 0;     // ... and how many
  };
  // A range of characters (one character: first == last), or an ASCII class (its test).
  struct Member {
    char32_t first;
    char32_t last;
    int (*test)(int) = nullptr;
  };
  std::size_t bracketName(std::u32string_view p, std::size_t at);
  bool inSet(const Token& token, char32_t c) const;

  std::vector<Token> tokens_;
  std::vector<Member> members_;
  bool broken_ = false;
};

}  // namespace qelda::save
