// A private temporary folder holding hand-made image files for one test.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace qelda::test {

class ImageDir {
 public:
  // In `base` (by default the temporary folder TMPDIR names).
  explicit ImageDir(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    std::string pattern = (base / "qelda-XXXXXX").string();
    if (::mkdtemp(pattern.data())) dir_ = pattern;
  }
  ~ImageDir() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  ImageDir(const ImageDir&) = delete;
  ImageDir& operator=(const ImageDir&) = delete;

  const std::string& path() const { return dir_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }

  // Writes `bytes` at byte `offset` of file `name` (created sparse as needed); returns its path.
  std::string putAt(const std::string& name, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    const std::string path = file(name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const bool ok = fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(), off_t(offset)) == ssize_t(bytes.size());
    if (fd >= 0) ::close(fd);
    return ok && !dir_.empty() ? path : std::string{};
  }
  std::string put(const std::string& name, std::uint64_t sector, std::span<const std::uint8_t> bytes) {
    return putAt(name, sector * 512, bytes);
  }
  // Makes `name` hold exactly `bytes` (what it held before is gone); returns its path.
  std::string replace(const std::string& name, std::span<const std::uint8_t> bytes) {
    truncate(name, 0);
    return putAt(name, 0, bytes);
  }
  std::string putText(const std::string& name, std::string_view text) {
    return putAt(name, 0, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }
  // Sets the file's length (sparse).
  void truncate(const std::string& name, std::uint64_t bytes) {
    const std::string path = file(name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (::ftruncate(fd, off_t(bytes)) != 0) {}
      ::close(fd);
    }
  }

 private:
  std::string dir_;
};

}  // namespace qelda::test
