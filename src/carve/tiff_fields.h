// Fields of TIFF structures (a TIFF file, or the TIFF block inside a JPEG's EXIF segment),
// read in the byte order the structure's header names.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/byte_window.h"
#include "platform/byte_view.h"

namespace qelda::carve {

inline constexpr std::uint8_t kOrderLittle = 0;
inline constexpr std::uint8_t kOrderBig = 1;  // "MM"

inline std::optional<std::uint16_t> SwapBytes16(platform::ByteView v, std::size_t offset, std::uint8_t order) {
  return order == kOrderBig ? v.be16(offset) : v.le16(offset);
}
inline std::optional<std::uint32_t> SwapBytes32(platform::ByteView v, std::size_t offset, std::uint8_t order) {
  return order == kOrderBig ? v.be32(offset) : v.le32(offset);
}
inline std::optional<std::uint16_t> SwapBytes16(engine::ByteWindow& w, std::uint64_t offset, std::uint8_t order) {
  return order == kOrderBig ? w.be16(offset) : w.le16(offset);
}
inline std::optional<std::uint32_t> SwapBytes32(engine::ByteWindow& w, std::uint64_t offset, std::uint8_t order) {
  return order == kOrderBig ? w.be32(offset) : w.le32(offset);
}

// Bytes of one value of a TIFF field type; 0 for a type this reading does not know.
constexpr std::uint32_t tiffTypeBytes(std::uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;  // BYTE, ASCII, SBYTE, UNDEFINED
    case 3: case 8: return 2;                  // SHORT, SSHORT
    case 4: case 9: case 11: return 4;         // LONG, SLONG, FLOAT
    case 5: case 10: case 12: return 8;        // RATIONAL, SRATIONAL, DOUBLE
    default: return 0;
  }
}

// The byte order a TIFF header at the given bytes names; nothing when it is no TIFF header.
inline std::optional<std::uint8_t> tiffByteOrder(platform::ByteView v, std::size_t offset) {
  if (v.matches(offset, std::string_view("II*\0", 4))) return kOrderLittle;
  if (v.matches(offset, std::string_view("MM\0*", 4))) return kOrderBig;
  return std::nullopt;
}

}  // namespace qelda::carve
