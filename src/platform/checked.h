// A value read from a file we stored ourselves, or the reason it was refused: one line that
// names the file's part and field at fault, for the user to read after the system's message.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace qelda::platform {

struct Refusal {
  std::string cause;
};

template <class T>
class [[nodiscard]] Checked {
 public:
  Checked(T value) : v_(std::move(value)) {}
  Checked(Refusal refusal) : v_(std::move(refusal)) {}
  explicit operator bool() const { return std::holds_alternative<T>(v_); }
  const T& operator*() const { return std::get<T>(v_); }
  T& operator*() { return std::get<T>(v_); }
  const T* operator->() const { return &std::get<T>(v_); }
  T* operator->() { return &std::get<T>(v_); }
  const std::string& cause() const { return std::get<Refusal>(v_).cause; }

 private:
  std::variant<T, Refusal> v_;
};

}  // namespace qelda::platform
