#include "results/found_listing.h"

#include <charconv>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/text.h"

namespace qelda::results {
namespace {

using Index = CFileFolderTree::Index;
constexpr Index kRoot = CFileFolderTree::kRoot;
// Large enough that writes are few, small enough that its pages cost little to fault in.
constexpr std::size_t kBufferBytes = std::size_t(1) << 18;

// The printable path of the folder the last item hung under, kept as a stack of folders
// from the root down: an item whose parent is on the stack costs its own name only.
class PathStack {
 public:
  explicit PathStack(const CFileFolderTree& tree) : tree_(tree) {}

  // Makes path() that of `folder` and returns true, or returns false when the folder's
  // parent chain loops (its path then depends on where the walk starts).
  bool placeUnder(Index folder) {
    if (folder == kRoot) {
      truncate(0);
      return true;
    }
    if (!frames_.empty() && frames_.back().folder == folder) return true;
    chain_.clear();
    Index q = folder;
    std::unordered_map<Index, std::size_t>::const_iterator onStack;
    while (q != kRoot && (onStack = depthOf_.find(q)) == depthOf_.end()) {
      if (looped_.count(q) || chain_.size() > tree_.folderCount()) {
        looped_.insert(chain_.begin(), chain_.end());
        return false;
      }
      chain_.push_back(q);
      q = tree_.parentOf(q);
    }
    truncate(q == kRoot ? 0 : onStack->second + 1);
    for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) push(*it);
    return true;
  }

  // The path of an item whose parent chain loops, cut where the chain repeats.
  void appendLoopedPath(std::string& out, Index i) const {
    std::vector<Index> chain;
    std::unordered_set<Index> seen;
    for (Index p = i; p < tree_.size() && seen.insert(p).second; p = tree_.parentOf(p)) chain.push_back(p);
    const std::size_t start = out.size();
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      if (out.size() != start) out += '/';
      appendPrintableName(out, *it);
    }
  }

  // Puts a folder on the stack below the current one.
  void enterFolder(Index folder) { push(folder); }
  const std::string& path() const { return path_; }

  void appendName(Index i) {
    if (!path_.empty()) path_ += '/';
    appendPrintableName(path_, i);
  }
  void appendPrintableName(std::string& out, Index i) const {
    const std::size_t from = out.size();
    const CFileFolderTree::NameBytes name = tree_.nameBytes(i);
    if (!name.wide) {
      platform::appendPrintableLatin1(out, std::string_view(reinterpret_cast<const char*>(name.bytes), name.units));
    } else {
      char16_t units[kMaxItemNameLength];
      std::memcpy(units, name.bytes, name.units * 2);
      platform::appendPrintable(out, std::u16string_view(units, name.units));
    }
    escapeSlashes(out, from);
  }

  // A '/' inside a name (a damaged entry, a file type named with one) would read as one
  // folder deeper: it is written by its code, as the other characters a path cannot show
  // as they are. The printable text holds no other '/'.
  static void escapeSlashes(std::string& out, std::size_t from) {
    if (out.find('/', from) == std::string::npos) return;
    std::string escaped;
    for (std::size_t k = from; k < out.size(); ++k) {
      if (out[k] == '/') escaped += "\\x2F";
      else escaped += out[k];
    }
    out.resize(from);
    out += escaped;
  }


 private:
  struct Frame {
    Index folder;
    std::size_t pathLength;  // path() up to and with this folder's name
  };
  void push(Index folder) {
    appendName(folder);
    depthOf_[folder] = frames_.size();
    frames_.push_back({folder, path_.size()});
  }
  void truncate(std::size_t depth) {
    while (frames_.size() > depth) {
      depthOf_.erase(frames_.back().folder);
      frames_.pop_back();
    }
    path_.resize(frames_.empty() ? 0 : frames_.back().pathLength);
  }

  const CFileFolderTree& tree_;
  std::vector<Frame> frames_;
  std::unordered_map<Index, std::size_t> depthOf_;  // the folders on the stack
  std::unordered_set<Index> looped_;                // folders whose chain loops
  std::vector<Index> chain_;
  std::string path_;
};

void appendFlags(std::string& out, std::uint8_t flags, std::uint8_t lastFlags) {
  const std::size_t before = out.size();
  if (flags & kItemDeleted) out += 'D';
  if (flags & kItemCompressed) out += 'C';
  if (flags & kItemBySignature) out += 'S';
  if (flags & kItemEncrypted) out += 'E';
  if (lastFlags & kItemSizeFromLog) out += 'L';
  if (out.size() == before) out += '-';
}

}  // namespace

bool writeFoundListing(const CFileFolderTree& tree, std::FILE* out) {
  std::string buffer;
  buffer.reserve(kBufferBytes + 4096);
  bool ok = true;
  const auto flush = [&] {
    if (!buffer.empty() && std::fwrite(buffer.data(), 1, buffer.size(), out) != buffer.size()) ok = false;
    buffer.clear();
  };
  PathStack stack(tree);
  for (Index i = 0; i < tree.size() && ok; ++i) {
    const bool folder = tree.isFolder(i);
    buffer += folder ? 'd' : 'f';
    buffer += '\t';
    appendFlags(buffer, tree.flags(i), tree.lastFlags(i));
    buffer += '\t';
    char digits[24];
    buffer.append(digits, std::to_chars(digits, digits + sizeof digits, tree.itemSize(i)).ptr);
    buffer += '\t';
    if (stack.placeUnder(tree.parentOf(i))) {
      if (folder) {
        stack.enterFolder(i);
        buffer += stack.path();
      } else {
        // A file's name goes straight after its folder's path, never through the stack.
        buffer += stack.path();
        if (!stack.path().empty()) buffer += '/';
        stack.appendPrintableName(buffer, i);
      }
    } else {
      // A parent chain that loops is cut where it repeats, as pathOf does.
      stack.appendLoopedPath(buffer, i);
    }
    buffer += '\n';
    if (buffer.size() >= kBufferBytes) flush();
  }
  flush();
  return ok && std::fflush(out) == 0;
}

}  // namespace qelda::results
