#include "save/save_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/scan_state.h"
#include "engine/volume_engine.h"
#include "platform/found_item.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "save/found_file_reader.h"
#include "save/name_mask.h"

namespace qelda::save {
namespace {

// How many numbered names are tried before a file is given up.
constexpr std::uint32_t kMaxCandidates = 99999;

// Where the extension starts ("." included), or npos; a leading dot is part of the name.
std::size_t extensionAt(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string::npos : dot;
}

// Cuts to at most `bytes`, never inside a UTF-8 sequence.
std::string cutUtf8(const std::string& text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  std::size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// False with the cause in `error` when not every byte could be written.
bool writeAll(int fd, std::span<const std::uint8_t> bytes, int& error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;  // a write that takes nothing has found the disk full
      return false;
    }
    done += std::size_t(n);
  }
  return true;
}

// The destination's disk (or the user's quota on it) is full.
bool noRoom(int error) { return error == ENOSPC || error == EDQUOT; }

// An open folder under the destination, closed with its owner.
class FolderHandle {
 public:
  FolderHandle() = default;
  explicit FolderHandle(int fd) : fd_(fd) {
    struct stat st{};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0) {
      dev_ = st.st_dev;
      ino_ = st.st_ino;
    }
  }
  FolderHandle(FolderHandle&& o) noexcept : fd_(std::exchange(o.fd_, -1)), dev_(o.dev_), ino_(o.ino_) {}
  FolderHandle& operator=(FolderHandle&& o) noexcept {
    if (this != &o) {
      close();
      fd_ = std::exchange(o.fd_, -1);
      dev_ = o.dev_;
      ino_ = o.ino_;
    }
    return *this;
  }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  ~FolderHandle() { close(); }

  int fd() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Which folder this is, kept after close() so that it can be found again.
  bool sameFolder(const FolderHandle& o) const { return dev_ == o.dev_ && ino_ == o.ino_; }
  // (device, inode) as a key prefix for the names taken in this folder.
  std::string key(const std::string& name) const {
    std::string k(sizeof dev_ + sizeof ino_, '\0');
    std::memcpy(k.data(), &dev_, sizeof dev_);
    std::memcpy(k.data() + sizeof dev_, &ino_, sizeof ino_);
    return k + name;
  }

 private:
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// Opens the folder `name` of `parent` as a folder, never through a symlink, never waiting
// on a FIFO. ENOTDIR or ELOOP: the name is held by something that is not a folder.
int openFolderAt(int parent, const char* name) {
  return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// The numbered names already found taken, per (folder, name): duplicate names start where
// the last one stopped instead of trying " (2)", " (3)", ... again each time.
class NameNumbers {
 public:
  std::uint32_t first(const std::string& key) const {
    const auto it = next_.find(key);
    return it == next_.end() ? 1 : it->second;
  }
  void set(const std::string& key, std::uint32_t n) { next_[key] = n; }

 private:
  std::unordered_map<std::string, std::uint32_t> next_;
};

// Makes folder `name` in `parent`, or takes the folder already there; a name held by
// anything else (a file, a FIFO, a symlink, even one to a folder) moves to the next
// numbered name. `made` gets the name used; closed (the cause in `error`) when no folder
// could be had.
FolderHandle makeFolder(const FolderHandle& parent, const std::string& name, std::size_t maxBytes,
                        NameNumbers& numbers, std::string& made, int& error) {
  const std::string key = parent.key(name);
  error = 0;
  for (std::uint32_t n = numbers.first(key); n <= kMaxCandidates; ++n) {
    const std::string candidate = numberedName(name, n, maxBytes);
    if (::mkdirat(parent.fd(), candidate.c_str(), 0755) != 0 && errno != EEXIST) {
      error = errno;
      break;
    }
    const int fd = openFolderAt(parent.fd(), candidate.c_str());
    if (fd >= 0) {
      numbers.set(key, n);  // a folder of the same name later joins this one
      made = candidate;
      return FolderHandle(fd);
    }
    if (errno != ENOTDIR && errno != ELOOP) {
      error = errno;
      break;
    }
  }
  if (error == 0) error = EEXIST;  // every numbered name is held by something else
  return {};
}

// Creates a new file under a short name of the save's own in `folder` (never opening one
// that exists, never following a symlink), for a file being written; its name goes to
// `part`. -1 with the cause in `error` when none could be created. The name is short, so
// that it fits whatever the found name's length, and hidden.
int createPartFile(const FolderHandle& folder, std::uint64_t& serial, std::string& part, int& error) {
  for (std::uint32_t tries = 0; tries < kMaxCandidates; ++tries) {
    part = ".qelda-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".part";
    const int fd = ::openat(folder.fd(), part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  error = errno;
  return -1;
}

// Renames `from` to `to` in the folder `dir` only when nothing holds `to` (then EEXIST). A
// file system that cannot do that at once gets a hard link and an unlink, and one with no
// links either a look before the rename.
int renameNoReplace(int dir, const char* from, const char* to) {
  if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  if (::linkat(dir, from, dir, to, 0) == 0) {
    ::unlinkat(dir, from, 0);
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return -1;
  struct stat st{};
  if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(dir, from, dir, to);
}

// Gives the whole file `part` of `folder` the first numbered candidate of `name` that
// nothing holds; the name taken goes to `taken`. False with the cause in `error` (the part
// file is then still there).
bool publishFile(const FolderHandle& folder, const std::string& part, const std::string& name, std::size_t maxBytes,
                 NameNumbers& numbers, std::string& taken, int& error) {
  const std::string key = folder.key(name);
  for (std::uint32_t n = numbers.first(key); n <= kMaxCandidates; ++n) {
    taken = numberedName(name, n, maxBytes);
    if (renameNoReplace(folder.fd(), part.c_str(), taken.c_str()) == 0) {
      numbers.set(key, n + 1);
      return true;
    }
    if (errno != EEXIST) break;
  }
  error = errno;
  return false;
}

// Writes what the engine gives of `item` into the new file `fd` and closes it; false with
// the cause in `error` when a write failed. The file gets the engine's bytes and nothing
// else: never more than the item's size, and nothing in place of what the engine did not
// deliver. `goOn` is asked before each piece, told whether more of the file comes after it:
// false gives the file up (`abandoned`; it is then Skipped).
SaveStatus writeFoundFile(engine::IVolumeEngine* engine, const FOUND_ITEM& item, int fd, int& error,
                          const std::function<bool(bool more)>& goOn, bool& abandoned) {
  bool written = true;
  std::uint64_t delivered = 0;
  abandoned = false;
  const ReadOutcome outcome = readFoundFile(engine, item, [&](std::span<const std::uint8_t> bytes) {
    const std::uint64_t room = item.m_nSize - delivered;
    const std::size_t n = std::size_t(std::min<std::uint64_t>(bytes.size(), room));
    if (!goOn(n < room)) {
      abandoned = true;
      return false;
    }
    written = writeAll(fd, bytes.first(n), error);
    delivered += n;
    return written && n == bytes.size();  // more than the size: the rest is not the file's
  });
  // A delayed allocation may find the disk full only at the close.
  if (::close(fd) != 0 && written && errno != EINTR) {
    written = false;
    error = errno;
  }
  if (!written || abandoned || outcome == ReadOutcome::Unreadable) return SaveStatus::Skipped;
  if (outcome == ReadOutcome::Partial || delivered < item.m_nSize) return SaveStatus::PartiallyRecovered;
  return SaveStatus::Recovered;
}

// Folders kept open at once while the found tree is walked; deeper ones are found again
// through ".." of their child when the walk comes back up to them.
constexpr std::size_t kOpenFolders = 64;

}  // namespace

std::u16string_view statusText(SaveStatus status) {
  switch (status) {
    case SaveStatus::Recovered: return u"[Recovered]";
    case SaveStatus::PartiallyRecovered: return u"[Partially Recovered]";
    case SaveStatus::Skipped: break;
  }
  return u"[Skipped]";
}

std::string safeFileName(std::u16string_view name, std::size_t maxBytes) {
  std::string out = platform::toUtf8(name);
  for (char& c : out)
    if (c == '/' || c == '\0') c = '_';
  if (out.empty() || out == "." || out == "..") out.insert(out.begin(), '_');
  if (out.size() <= maxBytes) return out;
  const std::size_t ext = extensionAt(out);
  // Keep a short extension, so that the saved file still opens with the right program.
  if (ext != std::string::npos && out.size() - ext <= 16 && out.size() - ext < maxBytes) {
    const std::string extension = out.substr(ext);
    return cutUtf8(out.substr(0, ext), maxBytes - extension.size()) + extension;
  }
  return cutUtf8(out, maxBytes);
}

std::string numberedName(const std::string& name, std::uint32_t n, std::size_t maxBytes) {
  if (n <= 1) return name;
  const std::string suffix = " (" + std::to_string(n) + ")";
  const std::size_t ext = extensionAt(name);
  const std::size_t extBytes = ext == std::string::npos ? 0 : name.size() - ext;
  // The number goes before the extension while some of the name still fits before it.
  if (ext != std::string::npos && extBytes + suffix.size() < maxBytes)
    return cutUtf8(name.substr(0, ext), maxBytes - extBytes - suffix.size()) + suffix + name.substr(ext);
  return cutUtf8(name, maxBytes > suffix.size() ? maxBytes - suffix.size() : 0) + suffix;
}

void CThreadForSavingFiles::learnFileStarts() {
  engine::ClusterClaims* claims = engine_ ? engine_->clusterClaims() : nullptr;
  if (!claims) return;
  // Every file found, chosen or not: a file read over where another starts is not whole.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> starts;
  for (results::CFileFolderTree::Index item = 0; item < tree_.size(); ++item) {
    if (tree_.isFolder(item)) continue;
    const FOUND_ITEM& found = tree_.item(item);
    if (const std::optional<std::uint64_t> first = engine_->firstClusterOf(found)) starts.emplace_back(*first, found.m_nSize);
  }
  claims->setFileStarts(std::move(starts));
}

void CThreadForSavingFiles::finishFile(SaveStatus status, const std::string& path, SaveTotals& totals) {
  switch (status) {
    case SaveStatus::Recovered: ++totals.recovered; break;
    case SaveStatus::PartiallyRecovered: ++totals.partial; break;
    case SaveStatus::Skipped: ++totals.skipped; break;
  }
  // One line per file in the log too, whatever the name holds.
  log_.AddLogEntry(std::u16string(statusText(status)) + u" " + platform::fromUtf8(platform::printableText(path)), false);
  if (report_) report_(status, path);
}

SaveTotals CThreadForSavingFiles::Run() {
  SaveTotals totals;
  std::error_code ec;
  std::filesystem::create_directories(request_.destination, ec);
  // The destination is the user's own choice: a symlink there is followed. Below it,
  // every folder is opened relative to its parent and never through a symlink, so nothing
  // already inside the destination can lead the save out of it.
  FolderHandle destination(::open(request_.destination.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!destination.open()) {
    totals.destinationMissing = true;
    totals.destinationError = ec ? ec.value() : errno;
    return totals;
  }
  // Found names are kept up to what the destination's file system takes.
  const long nameMax = ::fpathconf(destination.fd(), _PC_NAME_MAX);
  const std::size_t maxBytes = nameMax > 0 ? std::size_t(nameMax) : kNameMaxBytes;

  // Children of every folder in report order, found in one pass (null: the root).
  using Index = results::CFileFolderTree::Index;
  constexpr Index kRoot = results::CFileFolderTree::kRoot;
  std::unordered_map<Index, std::vector<Index>> children;
  for (Index item = 0; item < tree_.size(); ++item) children[tree_.parentOf(item)].push_back(item);
  learnFileStarts();

  // With a mask, only the files it takes are saved, and only the folders that lead to them.
  const bool masked = !request_.mask.empty();
  const NameMask mask(request_.mask);
  const auto chosen = [&](Index item) { return !masked || mask.matches(safeFileName(tree_.nameOf(item), maxBytes)); };
  std::unordered_set<Index> neededFolders;
  if (masked) {
    for (Index item = 0; item < tree_.size(); ++item) {
      if (tree_.isFolder(item) || !chosen(item)) continue;
      for (Index p = tree_.parentOf(item); p != kRoot && neededFolders.insert(p).second; p = tree_.parentOf(p)) {
      }
    }
  }

  // Depth first, each folder's entries in report order, without recursion: found trees
  // can be as deep as the volume's folders are.
  struct Frame {
    FolderHandle folder;     // where the entries go
    bool available = false;  // false: that folder could not be made; its files are skipped
    int error = 0;           // why it could not be made (an errno)
    std::size_t pathLength;  // `path` up to this folder, for the reports
    const std::vector<Index>* entries;
    std::size_t next = 0;
  };
  static const std::vector<Index> kNone;
  const auto entriesOf = [&](Index folder) -> const std::vector<Index>* {
    const auto it = children.find(folder);
    return it == children.end() ? &kNone : &it->second;
  };
  // Back in a folder whose handle was closed to keep few open: its child's ".." is it,
  // unless something moved it meanwhile.
  const auto comeBackTo = [](Frame& parent, const Frame& child) {
    if (!parent.available || parent.folder.open()) return;
    FolderHandle again(child.folder.open() ? openFolderAt(child.folder.fd(), "..") : -1);
    if (again.open() && again.sameFolder(parent.folder)) parent.folder = std::move(again);
    else parent.available = false;
  };
  NameNumbers folderNumbers;
  NameNumbers fileNumbers;
  std::uint64_t partSerial = 0;
  // A file the destination would not take is counted apart, by cause (error, an errno; 0
  // when the volume gave nothing to save): the user can free space, or pick another folder,
  // and retry.
  const auto skip = [&](const std::string& shownPath, int error) {
    if (noRoom(error)) {
      ++totals.noSpace;
    } else if (error != 0) {
      if (totals.unwritable++ == 0) totals.unwritableError = error;
    }
    finishFile(SaveStatus::Skipped, shownPath, totals);
  };
  // A file is finished whatever the stop flag says, so that no file comes out cut by it; the
  // first stop that finds bytes of it still to write is said, and a second stop gives it up.
  bool saidFinishing = false;
  const auto goOn = [&](const std::string& shownPath) {
    return [&, shownPath](bool more) {
      if (request_.stopAtOnce && request_.stopAtOnce->load(std::memory_order_relaxed) != 0) return false;
      if (more && !saidFinishing && state_.stopRequested()) {
        saidFinishing = true;
        if (stopReport_) stopReport_(StopNotice::Finishing, shownPath);
      }
      return true;
    };
  };
  std::string path;  // the reported path of the current folder, under the destination
  std::vector<Frame> stack;
  stack.push_back({std::move(destination), true, 0, 0, entriesOf(kRoot), 0});
  while (!stack.empty()) {
    if (state_.stopRequested()) {
      totals.stopped = true;
      break;
    }
    Frame& top = stack.back();
    if (top.next == top.entries->size()) {
      Frame done = std::move(stack.back());
      stack.pop_back();
      if (!stack.empty()) comeBackTo(stack.back(), done);
      continue;
    }
    path.resize(top.pathLength);
    const Index item = (*top.entries)[top.next++];
    const std::string name = safeFileName(tree_.nameOf(item), maxBytes);
    if (tree_.isFolder(item)) {
      if (masked && !neededFolders.count(item)) continue;
      std::string made = name;
      FolderHandle folder;
      int error = 0;
      if (top.available) folder = makeFolder(top.folder, name, maxBytes, folderNumbers, made, error);
      const bool available = folder.open();
      if (!top.available) error = top.error;
      if (available) ++totals.folders;
      path += made;
      path += '/';
      // `top` is stale from here on
      stack.push_back({std::move(folder), available, error, path.size(), entriesOf(item), 0});
      if (available && stack.size() > kOpenFolders + 1) stack[stack.size() - kOpenFolders - 1].folder.close();
      continue;
    }
    if (!chosen(item)) continue;
    if (!top.available) {
      skip(path + name, top.error);
      continue;
    }
    std::string part;
    int error = 0;
    const int fd = createPartFile(top.folder, partSerial, part, error);
    if (fd < 0) {
      skip(path + name, error);
      continue;
    }
    bool abandoned = false;
    const SaveStatus status = writeFoundFile(engine_, tree_.item(item), fd, error, goOn(path + name), abandoned);
    std::string taken;
    if (status == SaveStatus::Skipped || !publishFile(top.folder, part, name, maxBytes, fileNumbers, taken, error)) {
      ::unlinkat(top.folder.fd(), part.c_str(), 0);
      skip(path + name, error);
      if (abandoned) {
        if (stopReport_) stopReport_(StopNotice::NotSaved, path + name);
        totals.stopped = true;
        break;
      }
      continue;
    }
    finishFile(status, path + taken, totals);
  }
  return totals;
}

}  // namespace qelda::save
