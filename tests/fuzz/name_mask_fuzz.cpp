// A --mask pattern and a name from a disk, split at the input's first NUL (no NUL: the input
// is both): any bytes, UTF-8 or not, compile and match without reading past either, and a
// name always matches a mask of itself with `*` around it when it holds no special character.
#include <cstdint>
#include <string>
#include <string_view>

#include "save/name_mask.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view pattern = input.substr(0, nul);
  const std::string_view name = nul == std::string_view::npos ? input : input.substr(nul + 1);
  qelda::save::NameMask(pattern).matches(name);
  if (name.find_first_of("*?[]\\") == std::string_view::npos) {
    const std::string around = "*" + std::string(name) + "*";
    if (!qelda::save::NameMask(around).matches(name)) __builtin_trap();
  }
  return 0;
}
