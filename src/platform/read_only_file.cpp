#include "platform/read_only_file.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <linux/fs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace qelda::platform {

std::optional<ReadOnlyFile> ReadOnlyFile::open(const std::string& path) {
  // Opened without waiting: a FIFO (or a terminal) named where a disk file is expected
  // would otherwise block the open until something writes to it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  // Only regular files and block devices hold sectors at fixed offsets; anything else
  // (FIFOs, sockets, character devices, folders) is not a file of the disk.
  const bool disk = ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
  const int flags = disk ? ::fcntl(fd, F_GETFL) : -1;
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return ReadOnlyFile(fd);
}

namespace {

const char* fileKindText(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

}  // namespace

std::string whyNotOpened(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  // Anything else is refused after it is opened, and errno says nothing about it.
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return std::string(fileKindText(st.st_mode)) + ", not a file or a block device";
  errno = 0;
  if (ReadOnlyFile::open(path)) return {};
  return std::strerror(errno != 0 ? errno : EIO);
}

ReadOnlyFile ReadOnlyFile::overMemory(std::span<const std::uint8_t> bytes, std::uint64_t size) {
  ReadOnlyFile file(-1);
  file.memorySize_ = size;
  file.memory_ = bytes.first(std::size_t(std::min<std::uint64_t>(bytes.size(), size)));
  return file;
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), memory_(std::exchange(o.memory_, {})), memorySize_(std::exchange(o.memorySize_, 0)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
    memory_ = std::exchange(o.memory_, {});
    memorySize_ = std::exchange(o.memorySize_, 0);
  }
  return *this;
}

ReadOnlyFile::~ReadOnlyFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::size_t ReadOnlyFile::readMemory(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  if (offset >= memorySize_) return 0;
  const std::size_t done = std::size_t(std::min<std::uint64_t>(out.size(), memorySize_ - offset));
  if (offset < memory_.size()) {
    const std::size_t held = std::size_t(std::min<std::uint64_t>(done, memory_.size() - offset));
    std::copy_n(memory_.begin() + std::ptrdiff_t(offset), held, out.begin());
  }
  return done;
}

std::size_t ReadOnlyFile::readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (fd_ < 0) return readMemory(offset, out);
  std::size_t done = 0;
  constexpr std::uint64_t kMaxOffset = std::uint64_t(std::numeric_limits<off_t>::max());
  while (done < out.size() && fd_ >= 0) {
    if (offset > kMaxOffset - done) break;  // beyond any file: nothing to read
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += std::size_t(n);
  }
  std::fill(out.begin() + std::ptrdiff_t(done), out.end(), std::uint8_t{0});
  return done;
}

std::uint64_t ReadOnlyFile::size() const {
  if (fd_ < 0) return memorySize_;
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  if (S_ISBLK(st.st_mode)) {
    std::uint64_t bytes = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &bytes) == 0) return bytes;
    return 0;
  }
  return st.st_size > 0 ? std::uint64_t(st.st_size) : 0;
}

std::uint64_t fileSize(const std::string& path) {
  auto f = ReadOnlyFile::open(path);
  return f ? f->size() : 0;
}

}  // namespace qelda::platform
