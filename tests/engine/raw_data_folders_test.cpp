#include "engine/raw_data_folders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"

namespace qelda::engine {
namespace {

std::string utf8(const std::u16string& s) { return platform::toUtf8(s); }

// Where `files` files of one type go with a given capacity: the folder names in the order they
// open, and how many files each took.
TEST(RawDataFolders, AFullFolderSendsTheNextFileToTheTypesNextNumberedFolder) {
  struct Case {
    std::uint32_t capacity;
    std::uint32_t files;
    std::vector<std::pair<std::string, std::uint32_t>> folders;
  };
  const Case cases[] = {
      {10000, 10000, {{"jpg", 10000}}},
      {10000, 10001, {{"jpg", 10000}, {"jpg1", 1}}},
      {2501, 2501, {{"jpg", 2501}}},
      {2501, 2502, {{"jpg", 2501}, {"jpg1", 1}}},
      {2, 7, {{"jpg", 2}, {"jpg1", 2}, {"jpg2", 2}, {"jpg3", 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.capacity) + " " + std::to_string(c.files));
    RawDataFolders folders(c.capacity, 15);
    std::uint32_t nextId = 100;
    std::vector<std::pair<std::string, std::uint32_t>> opened;
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < c.files; ++i) {
      const auto p = folders.place(u"jpg", [&] { return nextId++; });
      if (p.opened) {
        opened.push_back({utf8(p.folderName), 0});
        ids.push_back(p.folderId);
      }
      ASSERT_EQ(p.folderId, ids.back());
      ++opened.back().second;
    }
    EXPECT_EQ(opened, c.folders);
    // An id is taken only when a folder opens.
    EXPECT_EQ(nextId, 100 + c.folders.size());
  }
}

TEST(RawDataFolders, TypesKeepFoldersOfTheirOwnNamedByTheirCutText) {
  RawDataFolders folders(2, 8);
  std::uint32_t nextId = 1;
  const auto take = [&] { return nextId++; };
  EXPECT_EQ(folders.place(u"png", take).folderId, 1u);
  EXPECT_EQ(folders.place(u"jpg", take).folderId, 2u);
  EXPECT_EQ(folders.place(u"png", take).folderId, 1u);
  const auto third = folders.place(u"png", take);
  EXPECT_TRUE(third.opened);
  EXPECT_EQ(utf8(third.folderName), "png1");
  // Two texts that agree in their first 8 characters share the folders of that text.
  const auto longer = folders.place(u"rarchive-old", take);
  EXPECT_EQ(utf8(longer.typeText), "rarchive");
  EXPECT_EQ(utf8(longer.folderName), "rarchive");
  EXPECT_FALSE(folders.place(u"rarchive-new", take).opened);
  // A new search starts with no folders.
  folders.clear();
  EXPECT_TRUE(folders.place(u"jpg", take).opened);
}

TEST(RawDataFolders, FileStemsAreTheKeyOrTheRunningNumberAndTheFindersName) {
  RawDataFolders folders(10, 15);
  EXPECT_EQ(utf8(folders.fileStem(812, u"")), "812");
  EXPECT_EQ(utf8(folders.fileStem(813, u"")), "813");
  // Every found file counts, named by a finder or not.
  EXPECT_EQ(utf8(folders.fileStem(900, u"(7-3-2009 14-5-32)Canon")), "3_(7-3-2009 14-5-32)Canon");
  folders.clear();  // the number runs on across searches
  EXPECT_EQ(utf8(folders.fileStem(1, u"x")), "4_x");
}

}  // namespace
}  // namespace qelda::engine
