#include "exfat/exfat_work_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace qelda::exfat {

std::string WorkFolder::defaultRoot() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') return std::string(cache) + "/qelda";
  if (const char* home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.cache/qelda";
  return (std::filesystem::temp_directory_path() / "qelda").string();
}

void WorkFolder::setRoot(std::string root) {
  remove();
  root_ = std::move(root);
}

std::string WorkFolder::pathOf(std::string_view name) {
  if (dir_.empty()) {
    const std::string root = root_.empty() ? defaultRoot() : root_;
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    std::string pattern = root + "/exfat-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    dir_ = pattern;
  }
  return dir_ + "/" + std::string(name);
}

void WorkFolder::remove() {
  if (dir_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  dir_.clear();
}

bool WorkFile::create(const std::string& path, std::uint64_t bytes) {
  close();
  if (path.empty() || bytes > SIZE_MAX) return false;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  if (bytes != 0) {
    ok = ::posix_fallocate(fd, 0, off_t(bytes)) == 0;
    if (ok) {
      void* m = ::mmap(nullptr, std::size_t(bytes), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      ok = m != MAP_FAILED;
      if (ok) data_ = static_cast<std::uint8_t*>(m);
    }
  }
  ::close(fd);  // the mapping keeps the file
  if (!ok) {
    ::unlink(path.c_str());
    return false;
  }
  size_ = std::size_t(bytes);
  path_ = path;
  open_ = true;
  sealed_ = false;
  return true;
}

void WorkFile::seal() {
  if (open_ && !sealed_ && data_ && ::mprotect(data_, size_, PROT_READ) == 0) sealed_ = true;
}

void WorkFile::close() {
  if (data_) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  open_ = false;
  sealed_ = false;
  path_.clear();
}

}  // namespace qelda::exfat
