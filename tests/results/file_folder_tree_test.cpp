#include "results/file_folder_tree.h"

#include <gtest/gtest.h>

#include "results/found_item_maker.h"

namespace qelda::results {
namespace {

using test::item;

TEST(FoundItemTree, BuildsTheTreeByParentId) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  const auto docs = tree.AddFoundItem(item(64, 5, true), u"Docs");
  const auto report = tree.AddFoundItem(item(70, 64, false, 300), u"report.txt");
  const auto top = tree.AddFoundItem(item(71, 5, false, 12), u"top.txt");
  const auto sub = tree.AddFoundItem(item(72, 64, true), u"Sub");
  const auto deep = tree.AddFoundItem(item(73, 72, false, 1), u"deep.txt");

  EXPECT_EQ(docs, 0u);  // report order
  EXPECT_EQ(report, 1u);
  EXPECT_EQ(tree.pathOf(deep), u"Docs/Sub/deep.txt");
  EXPECT_EQ(tree.pathOf(top), u"top.txt");
  EXPECT_EQ(tree.childrenOf(CFileFolderTree::kRoot), (std::vector<CFileFolderTree::Index>{docs, top}));
  EXPECT_EQ(tree.childrenOf(docs), (std::vector<CFileFolderTree::Index>{report, sub}));
  EXPECT_EQ(tree.folderCount(), 2u);
  EXPECT_EQ(tree.fileCount(), 3u);
  EXPECT_EQ(tree.totalSize(), 313u);

  tree.ResetFoundTree();
  EXPECT_EQ(tree.size(), 0u);
  EXPECT_EQ(tree.totalSize(), 0u);
}

TEST(FoundItemTree, OnlyFoldersAdoptChildrenAndLoopsAreCut) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  // A file sharing an id with a folder does not take the folder's children.
  const auto fileWithId = tree.AddFoundItem(item(80, 5, false), u"file");
  const auto child = tree.AddFoundItem(item(81, 80, false), u"orphan");
  EXPECT_EQ(tree.parentOf(child), CFileFolderTree::kRoot);
  EXPECT_EQ(tree.parentOf(fileWithId), CFileFolderTree::kRoot);
  // Two folders naming each other as parent.
  const auto a = tree.AddFoundItem(item(90, 91, true), u"a");
  const auto b = tree.AddFoundItem(item(91, 90, true), u"b");
  EXPECT_EQ(tree.pathOf(a), u"b/a");
  EXPECT_EQ(tree.pathOf(b), u"a/b");
  // A folder that is its own parent hangs under the root.
  const auto self = tree.AddFoundItem(item(95, 95, true), u"self");
  EXPECT_EQ(tree.parentOf(self), CFileFolderTree::kRoot);
}

// A tree holds memory in step with its items: a few cost no large pieces, and every item
// and name stays as reported while the first piece grows and the next ones are added.
// "f" then n times c (built in place: GCC 12 warns falsely on u"f" + a string).
std::u16string fName(std::size_t n, char16_t c) {
  std::u16string name(1 + n, c);
  name[0] = u'f';
  return name;
}

TEST(FoundItemTree, HeldMemoryFollowsTheItemsAndGrowingKeepsThem) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  const std::uint32_t folder = 7;
  tree.AddFoundItem(item(folder, 5, true), u"F");
  for (std::uint32_t k = 1; k < 5; ++k) tree.AddFoundItem(item(folder + k, folder, false, k), fName(k, u'x'));
  EXPECT_LE(tree.heldBytes(), std::size_t(256) << 10);
  // Past the first piece, past its doublings and past a whole piece of records.
  constexpr std::uint32_t kItems = 80000;
  for (std::uint32_t k = 5; k < kItems; ++k)
    tree.AddFoundItem(item(folder + k, folder, false, k), fName(1 + k % 200, k % 3 ? u'x' : u'\u00e9'));
  ASSERT_EQ(tree.size(), kItems);
  EXPECT_GE(tree.heldBytes(), std::size_t(kItems) * 56);
  for (std::uint32_t k = 1; k < kItems; k += 997) {
    SCOPED_TRACE(k);
    EXPECT_EQ(tree.item(k).m_nId, folder + k);
    EXPECT_EQ(tree.itemSize(k), k);
    const std::u16string name = fName(k < 5 ? k : 1 + k % 200, k >= 5 && k % 3 == 0 ? u'\u00e9' : u'x');
    EXPECT_EQ(tree.nameOf(k), name);
    EXPECT_EQ(tree.parentOf(k), 0u);
  }
  EXPECT_EQ(tree.childrenOf(0).size(), std::size_t(kItems - 1));
}

TEST(FoundItemTree, QueuedRenamesApplyByRecordKey) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  const auto first = tree.AddFoundItem(item(100, 5, false), u"FILE0001.CHK");
  const auto other = tree.AddFoundItem(item(101, 5, false), u"keep.txt");
  tree.QueueItemRename(item(100, 0, false), u"first name");
  tree.QueueItemRename(item(100, 0, false), u"holiday.jpg");
  EXPECT_EQ(tree.nameOf(first), u"FILE0001.CHK");  // nothing changes before the queue is applied
  tree.ApplyQueuedRenames();
  EXPECT_EQ(tree.nameOf(first), u"holiday.jpg");
  EXPECT_EQ(tree.nameOf(other), u"keep.txt");
  EXPECT_EQ(tree.pathOf(first), u"holiday.jpg");
  tree.CollapseRootChildren();
  EXPECT_TRUE(tree.rootCollapsed());
}

}  // namespace
}  // namespace qelda::results
