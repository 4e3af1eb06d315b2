// Bounds-checked little/big-endian field access over a byte buffer read from disk.
// Every accessor returns nothing instead of reading past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qelda::platform {

class ByteView {
 public:
  ByteView() = default;
  explicit ByteView(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  ByteView(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  std::size_t size() const { return bytes_.size(); }
  const std::uint8_t* data() const { return bytes_.data(); }

  // True when [offset, offset + length) lies inside the buffer; cannot overflow.
  bool has(std::size_t offset, std::size_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }

  std::optional<std::uint8_t> u8(std::size_t offset) const {
    if (!has(offset, 1)) return std::nullopt;
    return bytes_[offset];
  }
  std::optional<std::uint16_t> le16(std::size_t offset) const { return le<std::uint16_t>(offset); }
  std::optional<std::uint32_t> le32(std::size_t offset) const { return le<std::uint32_t>(offset); }
  std::optional<std::uint64_t> le64(std::size_t offset) const { return le<std::uint64_t>(offset); }
  std::optional<std::uint16_t> be16(std::size_t offset) const { return be<std::uint16_t>(offset); }
  std::optional<std::uint32_t> be32(std::size_t offset) const { return be<std::uint32_t>(offset); }
  std::optional<std::uint64_t> be64(std::size_t offset) const { return be<std::uint64_t>(offset); }

  std::optional<ByteView> sub(std::size_t offset, std::size_t length) const {
    if (!has(offset, length)) return std::nullopt;
    return ByteView(bytes_.subspan(offset, length));
  }

  // True when the bytes at offset equal the given 8-bit text (no terminator compared).
  bool matches(std::size_t offset, std::string_view text) const {
    if (!has(offset, text.size())) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (bytes_[offset + i] != static_cast<std::uint8_t>(text[i])) return false;
    return true;
  }

  // Reads `units` UTF-16LE code units; nothing when the range does not fit.
  std::optional<std::u16string> utf16le(std::size_t offset, std::size_t units) const {
    if (units > bytes_.size() / 2 || !has(offset, units * 2)) return std::nullopt;
    std::u16string out(units, u'\0');
    for (std::size_t i = 0; i < units; ++i)
      out[i] = static_cast<char16_t>(bytes_[offset + 2 * i] | (bytes_[offset + 2 * i + 1] << 8));
    return out;
  }

 private:
  template <class T>
  std::optional<T> le(std::size_t offset) const {
    if (!has(offset, sizeof(T))) return std::nullopt;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(T(bytes_[offset + i]) << (8 * i));
    return v;
  }
  template <class T>
  std::optional<T> be(std::size_t offset) const {
    if (!has(offset, sizeof(T))) return std::nullopt;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | bytes_[offset + i]);
    return v;
  }

  std::span<const std::uint8_t> bytes_;
};

// A ByteView with a position: after the first read that does not fit, every later read
// yields 0 and ok() turns false, so one check covers a run of fields.
class LeCursor {
 public:
  LeCursor(ByteView view, std::size_t position = 0) : view_(view), pos_(position) {}
  LeCursor(const std::uint8_t* data, std::size_t size) : view_(data, size) {}

  std::uint8_t u8() { return take<std::uint8_t>(view_.u8(pos_), 1); }
  std::uint16_t u16() { return take<std::uint16_t>(view_.le16(pos_), 2); }
  std::uint32_t u32() { return take<std::uint32_t>(view_.le32(pos_), 4); }
  std::uint64_t u64() { return take<std::uint64_t>(view_.le64(pos_), 8); }
  void skip(std::size_t n) {
    if (ok_ && view_.has(pos_, n)) pos_ += n;
    else ok_ = false;
  }
  void seek(std::size_t position) {
    if (position <= view_.size()) pos_ = position;
    else ok_ = false;
  }
  std::size_t position() const { return pos_; }
  bool ok() const { return ok_; }

 private:
  template <class T>
  T take(std::optional<T> v, std::size_t n) {
    if (!ok_ || !v) {
      ok_ = false;
      return 0;
    }
    pos_ += n;
    return *v;
  }
  ByteView view_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// Writers for the byte-exact records we store ourselves.
inline void putLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}
inline void putLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void putLe64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = std::uint8_t(v >> (8 * i));
}

}  // namespace qelda::platform
