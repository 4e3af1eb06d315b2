#include "exfat/exfat_work_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace qelda::exfat {

namespace {

// The work folders that exist, for the handler of fatal signals: the one state of this
// kind in the program, as a handler can reach nothing else. Fixed slots, so that the
// handler reads them without allocating; each holds a folder path once `state` is kReady.
// The engine makes its files under fixed names, which the handler removes before the folder.
constexpr int kSlots = 32;
constexpr std::size_t kPathBytes = 4096;
constexpr const char* kFileNames[] = {kFatWorkFile, kClusterMapWorkFile};
constexpr int kFree = 0, kWriting = 1, kReady = 2;
struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathBytes];
};
Slot g_slots[kSlots];
std::once_flag g_handlersInstalled;

// Async-signal-safe: unlink, rmdir, raise, and copies into a buffer on the stack.
extern "C" void removeWorkFoldersAndDie(int sig) {
  for (Slot& slot : g_slots) {
    if (slot.state.load() != kReady) continue;
    char file[kPathBytes + 32];
    const std::size_t n = ::strnlen(slot.path, kPathBytes - 1);
    for (const char* name : kFileNames) {
      std::memcpy(file, slot.path, n);
      file[n] = '/';
      const std::size_t m = std::strlen(name);
      std::memcpy(file + n + 1, name, m + 1);
      ::unlink(file);
    }
    ::rmdir(slot.path);
  }
  // The handler was reset on entry: the signal now does what it would have done.
  ::raise(sig);
}

void installHandlers() {
  for (const int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGXCPU, SIGXFSZ, SIGINT}) {
    struct sigaction before{};
    if (::sigaction(sig, nullptr, &before) != 0 || before.sa_handler != SIG_DFL) continue;
    struct sigaction on{};
    on.sa_handler = removeWorkFoldersAndDie;
    on.sa_flags = SA_RESETHAND;
    sigemptyset(&on.sa_mask);
    ::sigaction(sig, &on, nullptr);
  }
}

int registerFolder(const std::string& dir) {
  if (dir.size() >= kPathBytes) return -1;
  std::call_once(g_handlersInstalled, installHandlers);
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!g_slots[i].state.compare_exchange_strong(expected, kWriting)) continue;
    std::memcpy(g_slots[i].path, dir.c_str(), dir.size() + 1);
    g_slots[i].state.store(kReady);
    return i;
  }
  return -1;  // more engines at once than slots: those folders go only the ordinary way
}

void unregisterFolder(int slot) {
  if (slot >= 0 && slot < kSlots) g_slots[slot].state.store(kFree);
}

}  // namespace

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
    slot_ = registerFolder(dir_);
  }
  return dir_ + "/" + std::string(name);
}

bool WorkFolder::make(WorkFile& file, std::string_view name, std::uint64_t bytes) {
  if (bytes <= inMemoryUpTo_) return file.createInMemory(bytes);
  return file.create(pathOf(name), bytes);
}

void WorkFolder::remove() {
  if (dir_.empty()) return;
  unregisterFolder(slot_);
  slot_ = -1;
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

bool WorkFile::createInMemory(std::uint64_t bytes) {
  close();
  if (bytes > SIZE_MAX) return false;
  if (bytes != 0) {
    void* m = ::mmap(nullptr, std::size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return false;
    data_ = static_cast<std::uint8_t*>(m);
  }
  size_ = std::size_t(bytes);
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
