#include "save/save_files.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/scan_state.h"
#include "platform/found_item.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "save/found_file_reader.h"

namespace qelda::save {
namespace {

// Linux takes at most 255 bytes per name; this leaves room for " (99999)".
constexpr std::size_t kMaxNameBytes = 255 - 8;
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

bool isDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += std::size_t(n);
  }
  return true;
}

// Makes folder `name` in `parent`, or takes the one already there; a name held by a file
// moves to the next numbered name. Returns the name used, empty when none could be made.
std::string makeFolder(const std::string& parent, const std::string& name) {
  for (std::uint32_t n = 1; n <= kMaxCandidates; ++n) {
    const std::string candidate = numberedName(name, n);
    const std::string path = parent + "/" + candidate;
    if (::mkdir(path.c_str(), 0755) == 0 || (errno == EEXIST && isDirectory(path))) return candidate;
    if (errno != EEXIST) return {};
  }
  return {};
}

// Creates a new file `name` in `folder` (never opening one that exists); the name taken
// goes to `taken`. -1 when no name could be created.
int createNewFile(const std::string& folder, const std::string& name, std::string& taken) {
  for (std::uint32_t n = 1; n <= kMaxCandidates; ++n) {
    taken = numberedName(name, n);
    const int fd = ::open((folder + "/" + taken).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

std::u16string_view statusText(SaveStatus status) {
  switch (status) {
    case SaveStatus::Recovered: return u"[Recovered]";
    case SaveStatus::PartiallyRecovered: return u"[Partially Recovered]";
    case SaveStatus::Skipped: break;
  }
  return u"[Skipped]";
}

std::string safeFileName(std::u16string_view name) {
  std::string out = platform::toUtf8(name);
  for (char& c : out)
    if (c == '/' || c == '\0') c = '_';
  if (out.empty() || out == "." || out == "..") out.insert(out.begin(), '_');
  if (out.size() <= kMaxNameBytes) return out;
  const std::size_t ext = extensionAt(out);
  // Keep a short extension, so that the saved file still opens with the right program.
  if (ext != std::string::npos && out.size() - ext <= 16) {
    const std::string extension = out.substr(ext);
    return cutUtf8(out.substr(0, ext), kMaxNameBytes - extension.size()) + extension;
  }
  return cutUtf8(out, kMaxNameBytes);
}

std::string numberedName(const std::string& name, std::uint32_t n) {
  if (n <= 1) return name;
  const std::string suffix = " (" + std::to_string(n) + ")";
  const std::size_t ext = extensionAt(name);
  if (ext == std::string::npos) return name + suffix;
  return name.substr(0, ext) + suffix + name.substr(ext);
}

void CThreadForSavingFiles::finishFile(SaveStatus status, const std::string& path, SaveTotals& totals) {
  switch (status) {
    case SaveStatus::Recovered: ++totals.recovered; break;
    case SaveStatus::PartiallyRecovered: ++totals.partial; break;
    case SaveStatus::Skipped: ++totals.skipped; break;
  }
  log_.AddLogEntry(std::u16string(statusText(status)) + u" " + platform::fromUtf8(path), false);
  if (report_) report_(status, path);
}

SaveTotals CThreadForSavingFiles::Run() {
  SaveTotals totals;
  std::error_code ec;
  std::filesystem::create_directories(request_.destination, ec);
  if (!isDirectory(request_.destination)) {
    totals.destinationMissing = true;
    return totals;
  }

  // Children of every folder in report order, found in one pass (null: the root).
  std::unordered_map<const FOUND_ITEM*, std::vector<const FOUND_ITEM*>> children;
  for (const FOUND_ITEM* item = tree_.head(); item; item = item->m_pNext)
    children[tree_.parentOf(item)].push_back(item);

  // With a mask, only the files it takes are saved, and only the folders that lead to them.
  const bool masked = !request_.mask.empty();
  const auto chosen = [&](const FOUND_ITEM* item) {
    return !masked || ::fnmatch(request_.mask.c_str(), safeFileName(tree_.nameOf(item)).c_str(), 0) == 0;
  };
  std::unordered_set<const FOUND_ITEM*> neededFolders;
  if (masked) {
    for (const FOUND_ITEM* item = tree_.head(); item; item = item->m_pNext) {
      if (item->isFolder() || !chosen(item)) continue;
      for (const FOUND_ITEM* p = tree_.parentOf(item); p && neededFolders.insert(p).second; p = tree_.parentOf(p)) {
      }
    }
  }

  // Depth first, each folder's entries in report order, without recursion: found trees
  // can be as deep as the volume's folders are.
  struct Frame {
    std::string folder;   // where the entries go; empty when that folder could not be made
    std::string prefix;   // their path under the destination, for the reports
    const std::vector<const FOUND_ITEM*>* entries;
    std::size_t next = 0;
  };
  static const std::vector<const FOUND_ITEM*> kNone;
  const auto entriesOf = [&](const FOUND_ITEM* folder) -> const std::vector<const FOUND_ITEM*>* {
    const auto it = children.find(folder);
    return it == children.end() ? &kNone : &it->second;
  };
  std::vector<Frame> stack;
  stack.push_back({request_.destination, "", entriesOf(nullptr), 0});
  while (!stack.empty()) {
    if (state_.stopRequested()) {
      totals.stopped = true;
      break;
    }
    Frame& top = stack.back();
    if (top.next == top.entries->size()) {
      stack.pop_back();
      continue;
    }
    const FOUND_ITEM* item = (*top.entries)[top.next++];
    const std::string name = safeFileName(tree_.nameOf(item));
    if (item->isFolder()) {
      if (masked && !neededFolders.count(item)) continue;
      const std::string made = top.folder.empty() ? std::string() : makeFolder(top.folder, name);
      if (!made.empty()) ++totals.folders;
      Frame next{made.empty() ? std::string() : top.folder + "/" + made, top.prefix + (made.empty() ? name : made) + "/",
                 entriesOf(item), 0};
      stack.push_back(std::move(next));  // `top` is stale from here on
      continue;
    }
    if (!chosen(item)) continue;
    if (top.folder.empty()) {
      finishFile(SaveStatus::Skipped, top.prefix + name, totals);
      continue;
    }
    std::string taken;
    const int fd = createNewFile(top.folder, name, taken);
    if (fd < 0) {
      finishFile(SaveStatus::Skipped, top.prefix + name, totals);
      continue;
    }
    bool written = true;
    const ReadOutcome outcome = readFoundFile(engine_, *item, [&](std::span<const std::uint8_t> bytes) {
      written = writeAll(fd, bytes);
      return written;
    });
    ::close(fd);
    const std::string path = top.folder + "/" + taken;
    SaveStatus status = SaveStatus::Recovered;
    if (!written || outcome == ReadOutcome::Unreadable) {
      ::unlink(path.c_str());
      status = SaveStatus::Skipped;
    } else if (outcome == ReadOutcome::Partial) {
      status = SaveStatus::PartiallyRecovered;
    }
    finishFile(status, top.prefix + taken, totals);
  }
  return totals;
}

}  // namespace qelda::save
