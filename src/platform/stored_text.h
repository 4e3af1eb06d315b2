// Fixed-width text fields of the records we store ourselves: UTF-16LE or 8-bit, ended by a
// NUL inside the field. Writing cuts the text so that the NUL always fits; reading looks
// only inside the field and refuses a field without its NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/byte_view.h"

namespace qelda::platform {

// Writes `text` into the `units` UTF-16 units at `field` (the field must be zeroed).
void putUtf16Field(std::uint8_t* field, std::size_t units, std::u16string_view text);
// The text before the first NUL of the field; nothing when the field does not fit in
// `bytes` or holds no NUL.
std::optional<std::u16string> readUtf16Field(ByteView bytes, std::size_t offset, std::size_t units);
// The same into `out`, whose storage is reused (a loop over many records allocates once);
// false, with `out` emptied, where readUtf16Field gives nothing.
bool readUtf16FieldInto(ByteView bytes, std::size_t offset, std::size_t units, std::u16string& out);

void putCharField(std::uint8_t* field, std::size_t width, std::string_view text);
std::optional<std::string> readCharField(ByteView bytes, std::size_t offset, std::size_t width);

}  // namespace qelda::platform
