// A file opened for reading only, read with pread: no shared position, so any thread may
// read it at once. What cannot be read is zero-filled.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qelda::platform {

class ReadOnlyFile {
 public:
  // Nothing unless `path` is a regular file or a block device; never waits on the open.
  static std::optional<ReadOnlyFile> open(const std::string& path);
  // A file of `size` bytes held in memory: `bytes`, then zeros (as a sparse file reads). The
  // bytes are not copied and must outlive the file. What a fuzz target hands the readers.
  static ReadOnlyFile overMemory(std::span<const std::uint8_t> bytes, std::uint64_t size);

  ReadOnlyFile(ReadOnlyFile&& o) noexcept;
  ReadOnlyFile& operator=(ReadOnlyFile&& o) noexcept;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();

  // Reads out.size() bytes at offset; the part that could not be read is zero-filled.
  // Returns the number of bytes actually read.
  std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) const;
  // True only when every byte was read.
  bool readExact(std::uint64_t offset, std::span<std::uint8_t> out) const {
    return readAt(offset, out) == out.size();
  }
  std::uint64_t size() const;

 private:
  explicit ReadOnlyFile(int fd) : fd_(fd) {}
  std::size_t readMemory(std::uint64_t offset, std::span<std::uint8_t> out) const;
  int fd_ = -1;
  // Without a descriptor: the file held in memory, `memorySize_` bytes long.
  std::span<const std::uint8_t> memory_;
  std::uint64_t memorySize_ = 0;
};

// Why ReadOnlyFile::open(path) gives nothing: the system's text for the error, or what kind
// of file `path` is when it is neither a regular file nor a block device ("a folder, not a
// file or a block device"); empty when it opens.
std::string whyNotOpened(const std::string& path);

// Size of a file in bytes; 0 when it cannot be opened.
std::uint64_t fileSize(const std::string& path);

}  // namespace qelda::platform
