// Result of parsing bytes from disk: a value, or why there is none.
#pragma once

#include <cstdint>
#include <utility>
#include <variant>

namespace qelda::platform {

// NotThisFormat: the bytes are simply something else (a search skips them);
// the others mean the structure is there but damaged.
enum class ParseError : std::uint8_t { Truncated, NotThisFormat, OutOfRange, Loop };

template <class T>
class [[nodiscard]] Parsed {
 public:
  Parsed(T value) : v_(std::move(value)) {}
  Parsed(ParseError error) : v_(error) {}
  explicit operator bool() const { return std::holds_alternative<T>(v_); }
  const T& operator*() const { return std::get<T>(v_); }
  T& operator*() { return std::get<T>(v_); }
  const T* operator->() const { return &std::get<T>(v_); }
  ParseError error() const { return std::get<ParseError>(v_); }

 private:
  std::variant<T, ParseError> v_;
};

}  // namespace qelda::platform
