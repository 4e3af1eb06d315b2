#include "engine/held_folders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "results/file_folder_tree.h"

namespace qelda::engine {
namespace {

// What reached the console: each stored item as "<id> <name> (parent <id>)".
std::vector<std::string> stored(const results::CFileFolderTree& tree) {
  std::vector<std::string> lines;
  for (std::uint32_t i = 0; i < tree.size(); ++i) {
    const FOUND_ITEM item = tree.item(i);
    lines.push_back(std::to_string(item.m_nId) + " " + platform::toUtf8(tree.nameOf(i)) + " (parent " +
                    std::to_string(item.m_nParentId) + ")");
  }
  return lines;
}

FOUND_ITEM folder(std::uint32_t id, std::uint32_t parent) {
  FOUND_ITEM f;
  f.m_byAttributes = kItemFolder;
  f.m_nId = id;
  f.m_nParentId = parent;
  f.m_nRecordKey = id + 100;
  f.m_nSize = 4096;  // a folder's size is no file data: it stays out of the total
  return f;
}

struct Scan {
  results::CFileFolderTree console;
  ItemReporter reporter{&console, nullptr, nullptr};
  std::uint32_t entries = 0, folders = 0, files = 0;
  std::uint64_t size = 0;
  std::vector<std::uint64_t> marked;  // record keys, as the engines mark their clusters
  HeldFolders held;
  void flush() {
    held.flush(reporter, {entries, folders, files, size}, kDefaultItemRange,
               [this](const FOUND_ITEM& r) { marked.push_back(r.m_nRecordKey); });
  }
};

TEST(HeldFolders, ADeletedFindReportsTheHeldPathOnceOutermostFirst) {
  Scan s;
  s.held.hold(folder(2, 0), u"Docs", 1);
  s.held.hold(folder(3, 2), u"2024", 2);
  s.flush();
  EXPECT_TRUE(s.console.hasRoot());  // the first find reset the found tree
  EXPECT_EQ(stored(s.console), (std::vector<std::string>{"2 Docs (parent 0)", "3 2024 (parent 2)"}));
  EXPECT_EQ(s.marked, (std::vector<std::uint64_t>{102, 103}));
  // The root the reset makes counts, then the two folders; their sizes are not file data.
  EXPECT_EQ(s.entries, 3u);
  EXPECT_EQ(s.folders, 3u);
  EXPECT_EQ(s.files, 0u);
  EXPECT_EQ(s.size, 0u);
  // A second find beneath the same folders reports nothing again.
  EXPECT_TRUE(s.held.empty());
  s.flush();
  EXPECT_EQ(s.console.size(), 2u);
}

TEST(HeldFolders, FoldersWhoseWalkEndsWithoutAFindAreNeverReported) {
  // Walk levels: A's walk at 1, B's and C's (A's sub-folders) at 2.
  Scan s;
  s.held.hold(folder(2, 0), u"A", 1);
  s.held.hold(folder(3, 2), u"B", 2);
  s.held.leave(2);  // B's walk ended: nothing deleted in it
  s.held.hold(folder(4, 2), u"C", 2);
  EXPECT_EQ(s.held.size(), 2u);
  s.flush();
  EXPECT_EQ(stored(s.console), (std::vector<std::string>{"2 A (parent 0)", "4 C (parent 2)"}));

  // Leaving a level lets go of what deeper walks still held (a walk cut short), and nothing
  // above it.
  Scan none;
  none.held.hold(folder(2, 0), u"A", 1);
  none.held.hold(folder(3, 2), u"B", 2);
  none.held.hold(folder(5, 3), u"D", 3);
  none.held.leave(2);
  EXPECT_EQ(none.held.size(), 1u);
  none.held.leave(1);
  none.held.leave(0);  // leaving more levels than were held holds nothing
  none.flush();
  EXPECT_FALSE(none.console.hasRoot());
  EXPECT_EQ(none.console.size(), 0u);
  EXPECT_EQ(none.entries, 0u);

  // A folder whose walk cannot be entered is let go at once.
  Scan refused;
  refused.held.hold(folder(2, 0), u"A", 1);
  refused.held.hold(folder(3, 2), u"B", 2);
  refused.held.drop();
  refused.flush();
  EXPECT_EQ(stored(refused.console), (std::vector<std::string>{"2 A (parent 0)"}));
}

}  // namespace
}  // namespace qelda::engine
