#include "platform/stored_text.h"

#include <algorithm>

namespace qelda::platform {

void putUtf16Field(std::uint8_t* field, std::size_t units, std::u16string_view text) {
  if (units == 0) return;
  const std::size_t n = std::min(text.size(), units - 1);
  for (std::size_t i = 0; i < n; ++i) putLe16(field + 2 * i, text[i]);
}

bool readUtf16FieldInto(ByteView bytes, std::size_t offset, std::size_t units, std::u16string& out) {
  out.clear();
  const auto field = bytes.sub(offset, units * 2);
  if (!field || units > bytes.size() / 2) return false;
  // The field is inside `bytes`: find the NUL, then take the units before it at once.
  const std::uint8_t* p = field->data();
  std::size_t n = 0;
  while (n < units && (p[2 * n] | p[2 * n + 1]) != 0) ++n;
  if (n == units) return false;
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = char16_t(p[2 * i] | p[2 * i + 1] << 8);
  return true;
}

std::optional<std::u16string> readUtf16Field(ByteView bytes, std::size_t offset, std::size_t units) {
  std::u16string out;
  if (!readUtf16FieldInto(bytes, offset, units, out)) return std::nullopt;
  return out;
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
