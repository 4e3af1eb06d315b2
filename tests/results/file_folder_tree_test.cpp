#include "results/file_folder_tree.h"

#include <gtest/gtest.h>

namespace qelda::results {
namespace {

FOUND_ITEM item(std::uint32_t id, std::uint32_t parent, bool folder, std::uint64_t size = 0) {
  FOUND_ITEM f;
  f.m_nId = id;
  f.m_nRecordKey = id;
  f.m_nParentId = parent;
  f.m_byAttributes = folder ? kItemFolder : kItemFile;
  f.m_nSize = size;
  return f;
}

TEST(FoundItemTree, BuildsTheTreeByParentId) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  const FOUND_ITEM* docs = tree.AddFoundItem(item(64, 5, true), u"Docs");
  const FOUND_ITEM* report = tree.AddFoundItem(item(70, 64, false, 300), u"report.txt");
  const FOUND_ITEM* top = tree.AddFoundItem(item(71, 5, false, 12), u"top.txt");
  const FOUND_ITEM* sub = tree.AddFoundItem(item(72, 64, true), u"Sub");
  const FOUND_ITEM* deep = tree.AddFoundItem(item(73, 72, false, 1), u"deep.txt");

  EXPECT_EQ(tree.head(), docs);
  EXPECT_EQ(docs->m_pNext, report);
  EXPECT_EQ(report->m_pPrev, docs);
  EXPECT_EQ(tree.pathOf(deep), u"Docs/Sub/deep.txt");
  EXPECT_EQ(tree.pathOf(top), u"top.txt");
  EXPECT_EQ(tree.childrenOf(nullptr), (std::vector<const FOUND_ITEM*>{docs, top}));
  EXPECT_EQ(tree.childrenOf(docs), (std::vector<const FOUND_ITEM*>{report, sub}));
  EXPECT_EQ(tree.folderCount(), 2u);
  EXPECT_EQ(tree.fileCount(), 3u);
  EXPECT_EQ(tree.totalSize(), 313u);

  tree.ResetFoundTree();
  EXPECT_EQ(tree.size(), 0u);
  EXPECT_EQ(tree.head(), nullptr);
  EXPECT_EQ(tree.totalSize(), 0u);
}

TEST(FoundItemTree, OnlyFoldersAdoptChildrenAndLoopsAreCut) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  // A file sharing an id with a folder does not take the folder's children.
  const FOUND_ITEM* fileWithId = tree.AddFoundItem(item(80, 5, false), u"file");
  const FOUND_ITEM* child = tree.AddFoundItem(item(81, 80, false), u"orphan");
  EXPECT_EQ(tree.parentOf(child), nullptr);
  EXPECT_EQ(tree.parentOf(fileWithId), nullptr);
  // Two folders naming each other as parent.
  const FOUND_ITEM* a = tree.AddFoundItem(item(90, 91, true), u"a");
  const FOUND_ITEM* b = tree.AddFoundItem(item(91, 90, true), u"b");
  EXPECT_EQ(tree.pathOf(a), u"b/a");
  EXPECT_EQ(tree.pathOf(b), u"a/b");
  // A folder that is its own parent hangs under the root.
  const FOUND_ITEM* self = tree.AddFoundItem(item(95, 95, true), u"self");
  EXPECT_EQ(tree.parentOf(self), nullptr);
}

TEST(FoundItemTree, QueuedRenamesApplyByRecordKey) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  FOUND_ITEM* first = tree.AddFoundItem(item(100, 5, false), u"FILE0001.CHK");
  FOUND_ITEM* other = tree.AddFoundItem(item(101, 5, false), u"keep.txt");
  tree.QueueItemRename(item(100, 0, false), u"first name");
  tree.QueueItemRename(item(100, 0, false), u"holiday.jpg");
  EXPECT_EQ(tree.nameOf(first), u"FILE0001.CHK");  // nothing changes before the queue is applied
  tree.ApplyQueuedRenames();
  EXPECT_EQ(tree.nameOf(first), u"holiday.jpg");
  EXPECT_EQ(tree.nameOf(other), u"keep.txt");
  EXPECT_EQ(std::u16string_view(first->m_pszName), u"holiday.jpg");
  tree.CollapseRootChildren();
  EXPECT_TRUE(tree.rootCollapsed());
}

}  // namespace
}  // namespace qelda::results
