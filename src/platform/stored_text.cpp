#include "platform/stored_text.h"

#include <algorithm>

namespace qelda::platform {

void putUtf16Field(std::uint8_t* field, std::size_t units, std::u16string_view text) {
  if (units == 0) return;
  const std::size_t n = std::min(text.size(), units - 1);
  for (std::size_t i = 0; i < n; ++i) putLe16(field + 2 * i, text[i]);
}

std::optional<std::u16string> readUtf16Field(ByteView bytes, std::size_t offset, std::size_t units) {
  const auto field = bytes.sub(offset, units * 2);
  if (!field || units > bytes.size() / 2) return std::nullopt;
  std::u16string out;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint16_t unit = *field->le16(2 * i);
    if (unit == 0) return out;
    out += char16_t(unit);
  }
  return std::nullopt;
}

void putCharField(std::uint8_t* field, std::size_t width, std::string_view text) {
  if (width == 0) return;
  const std::size_t n = std::min(text.size(), width - 1);
  std::copy_n(text.begin(), n, field);
}

std::optional<std::string> readCharField(ByteView bytes, std::size_t offset, std::size_t width) {
  const auto field = bytes.sub(offset, width);
  if (!field) return std::nullopt;
  const auto* begin = reinterpret_cast<const char*>(field->data());
  const std::string_view all(begin, width);
  const std::size_t nul = all.find('\0');
  if (nul == std::string_view::npos) return std::nullopt;
  return std::string(all.substr(0, nul));
}

}  // namespace qelda::platform
