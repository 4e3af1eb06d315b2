// The system's user-visible texts, looked up by number.
#pragma once

#include <cstdint>
#include <string>

namespace qelda::platform {

class StringTable {
 public:
  // The text of `id`; empty when the table has none.
  static std::u16string load(std::uint32_t id);
};

namespace strings {
inline constexpr std::uint32_t kDriveNotFound = 304;
inline constexpr std::uint32_t kNotValidVolume = 305;
inline constexpr std::uint32_t kSourceDriveNotFound = 285;
inline constexpr std::uint32_t kCantExitCritical = 360;
inline constexpr std::uint32_t kInvalidImage = 592;
inline constexpr std::uint32_t kCorruptImage = 593;
}  // namespace strings

}  // namespace qelda::platform
