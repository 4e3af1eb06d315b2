#include "results/found_listing.h"

#include <gtest/gtest.h>

#include "results/found_item_maker.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text.h"
#include "results/file_folder_tree.h"

namespace qelda::results {
namespace {

using Index = CFileFolderTree::Index;

using test::item;

// The listing as it was printed one item at a time: the whole path from the root each
// time, converted and escaped as one text.
std::string referenceListing(const CFileFolderTree& tree) {
  std::string out;
  for (Index i = 0; i < tree.size(); ++i) {
    const FOUND_ITEM f = tree.item(i);
    std::string flags;
    if (f.m_byFlags & kItemDeleted) flags += 'D';
    if (f.m_byFlags & kItemCompressed) flags += 'C';
    if (f.m_byFlags & kItemBySignature) flags += 'S';
    if (f.m_byFlags & kItemEncrypted) flags += 'E';
    if (f.lastFlags & kItemSizeFromLog) flags += 'L';
    if (flags.empty()) flags = "-";
    out += std::string(f.isFolder() ? "d" : "f") + "\t" + flags + "\t" + std::to_string(f.m_nSize) + "\t" +
           platform::printableText(platform::toUtf8(tree.pathOf(i))) + "\n";
  }
  return out;
}

std::string listing(const CFileFolderTree& tree) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&data, &size);
  EXPECT_TRUE(writeFoundListing(tree, out));
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

TEST(FoundListing, EscapesEveryKindOfName) {
  const std::u16string names[] = {
      u"plain.txt",
      u"tab\there",
      u"line\nfeed",
      u"back\\slash",
      std::u16string(u"c0\x01\x1F") + u"end",
      u"del\x7F",
      u"c1\x0085\x009B\x009F",
      u"latin\x00A0\x00E9\x00FF",   // kept one byte per character
      u"wide\x0100\x4E2D",          // kept as UTF-16
      u"pair\xD83D\xDE00",          // U+1F600
      u"lone\xD800high",
      u"lone\xDC00low",
      u"swapped\xDC00\xD800",
      std::u16string(u"cut at\0NUL", 10),
      std::u16string(300, u'\x00E9'),
      std::u16string(300, u'\x4E2D'),
      u"",
  };
  CFileFolderTree tree;
  tree.ResetFoundTree();
  std::uint32_t id = 100;
  for (const std::u16string& name : names) {
    const std::uint32_t folder = id++;
    tree.AddFoundItem(item(folder, 5, true), name);
    FOUND_ITEM f = item(id++, folder, false, 1234567890123ull);
    f.m_byFlags = kItemDeleted | kItemEncrypted;
    tree.AddFoundItem(f, name);
  }
  EXPECT_EQ(listing(tree), referenceListing(tree));
  EXPECT_EQ(tree.nameOf(Index(26)), u"cut at");
  EXPECT_EQ(tree.nameOf(Index(28)).size(), kMaxItemNameLength);
  EXPECT_EQ(tree.nameOf(Index(30)), std::u16string(kMaxItemNameLength, u'\x4E2D'));
}

TEST(FoundListing, EscapesAtEveryPlaceOfALongName) {
  // Plain characters are judged several at a time: each character that needs escaping, at
  // each place of names shorter and longer than such a group, and next to the plain
  // characters nearest to it.
  const char16_t specials[] = {u'\x00', u'\x01', u'\t', u'\n', u'\x1F', u'\\', u'\x7F', u'\x0080', u'\x00A0', u'\x00FF'};
  const char16_t neighbours[] = {u' ', u'[', u']', u'~', u'}'};
  CFileFolderTree tree;
  tree.ResetFoundTree();
  std::uint32_t id = 16;
  for (std::size_t length = 1; length <= 20; ++length)
    for (std::size_t at = 0; at < length; ++at)
      for (const char16_t c : specials) {
        std::u16string name(length, neighbours[(length + at) % std::size(neighbours)]);
        name[at] = c;
        tree.AddFoundItem(item(id++, 5, false), name);
      }
  for (std::size_t length = 0; length <= 20; ++length)
    for (const char16_t n : neighbours) tree.AddFoundItem(item(id++, 5, false), std::u16string(length, n));
  EXPECT_EQ(listing(tree), referenceListing(tree));
}

// A '/' a name holds would make one item read as two levels: it is written by its code,
// in a folder's name, a file's, and on a parent chain that loops; '/' stays the separator.
TEST(FoundListing, ASlashInsideANameIsWrittenByItsCode) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  tree.AddFoundItem(item(10, 5, true), u"SUB/IRAB");
  tree.AddFoundItem(item(11, 10, false, 7), u"ABC/EFGH.TXT");
  tree.AddFoundItem(item(12, 10, false, 8), u"/\\x2F/");  // a backslash of its own stays "\\"
  tree.AddFoundItem(item(13, 5, false, 9), u"wide/\x4E2D");
  tree.AddFoundItem(item(50, 51, true), u"loop/a");
  tree.AddFoundItem(item(51, 50, true), u"loop b");
  tree.AddFoundItem(item(52, 50, false), u"in/loop");
  const std::string text = listing(tree);
  for (const char* line : {"d\t-\t0\tSUB\\x2FIRAB\n", "f\t-\t7\tSUB\\x2FIRAB/ABC\\x2FEFGH.TXT\n",
                           "f\t-\t8\tSUB\\x2FIRAB/\\x2F\\\\x2F\\x2F\n", "f\t-\t9\twide\\x2F\xE4\xB8\xAD\n",
                           "\tloop b/loop\\x2Fa/in\\x2Floop\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " not in\n" << text;
}

TEST(FoundListing, DeepPathsInAnyReportOrder) {
  constexpr std::uint32_t kDepth = 1500;
  struct Case {
    const char* what;
    bool parentsLast;  // folders reported after what they hold
  } cases[] = {{"depth first", false}, {"children first", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CFileFolderTree tree;
    tree.ResetFoundTree();
    std::vector<std::uint32_t> order;
    for (std::uint32_t d = 0; d < kDepth; ++d) order.push_back(d);
    if (c.parentsLast) std::reverse(order.begin(), order.end());
    for (const std::uint32_t d : order) {
      tree.AddFoundItem(item(1000 + d, d == 0 ? 5 : 999 + d, true), u"level " + std::u16string(1, char16_t(u'a' + d % 26)));
      tree.AddFoundItem(item(900000 + d, 1000 + d, false, d), u"file\t" + std::u16string(1, char16_t(0x4E00 + d)));
      // A sibling back near the top: the path jumps up and comes down again.
      if (d % 97 == 0) tree.AddFoundItem(item(800000 + d, 1000 + d / 2, false), u"side");
    }
    // Loops, a folder that is its own parent, a parent id no folder has, a second
    // folder with an id already taken.
    tree.AddFoundItem(item(50, 51, true), u"loop a");
    tree.AddFoundItem(item(51, 50, true), u"loop b");
    tree.AddFoundItem(item(52, 50, false), u"in the loop");
    tree.AddFoundItem(item(53, 53, true), u"self");
    tree.AddFoundItem(item(54, 53, false), u"under self");
    tree.AddFoundItem(item(55, 777777, false), u"orphan");
    tree.AddFoundItem(item(1003, 1001, true), u"same id");
    tree.AddFoundItem(item(56, 1003, false), u"under the first with that id");
    EXPECT_EQ(listing(tree), referenceListing(tree));
  }
}

TEST(FoundItemArena, KeepsEveryFieldAndSizeUpdates) {
  CFileFolderTree tree;
  tree.ResetFoundTree();
  FOUND_ITEM f;
  f.m_nSize = ~0ull;
  f.m_nRecordKey = 0x0123456789ABCDEFull;
  f.m_nParentId = 0xFFFFFFFE;
  f.m_nId = 7;
  f.m_byAttributes = 0x21;  // FAT passes its own attribute byte
  f.m_ftModified = 0x1111222233334444ull;
  f.m_ftCreated = 0x5555666677778888ull;
  f.m_byFlags = 0xFF;
  f.m_nAltParentId = 0xA1A2A3A4;
  f.m_byViewFlags = 0x5A;
  f.lastFlags = 0x01;
  const Index i = tree.AddFoundItem(f, u"x");
  const FOUND_ITEM back = tree.item(i);
  EXPECT_EQ(back.m_nSize, f.m_nSize);
  EXPECT_EQ(back.m_nRecordKey, f.m_nRecordKey);
  EXPECT_EQ(back.m_nParentId, f.m_nParentId);
  EXPECT_EQ(back.m_nId, f.m_nId);
  EXPECT_EQ(back.m_byAttributes, f.m_byAttributes);
  EXPECT_EQ(back.m_ftModified, f.m_ftModified);
  EXPECT_EQ(back.m_ftCreated, f.m_ftCreated);
  EXPECT_EQ(back.m_byFlags, f.m_byFlags);
  EXPECT_EQ(back.m_nAltParentId, f.m_nAltParentId);
  EXPECT_EQ(back.m_byViewFlags, f.m_byViewFlags);
  EXPECT_EQ(back.lastFlags, f.lastFlags);
  EXPECT_EQ(back.m_pszName, nullptr);
  tree.SetFoundItemSize(i, 42, kItemSizeFromLog);
  EXPECT_EQ(tree.item(i).m_nSize, 42u);
  EXPECT_EQ(tree.item(i).lastFlags, kItemSizeFromLog | 0x01);
  tree.SetFoundItemSize(i + 1, 1, 0);  // no such item: nothing happens
  EXPECT_EQ(tree.size(), 1u);
  // A rename to a wide name, then back to a narrow one.
  tree.QueueItemRename(f, u"\x4E2D.txt");
  tree.ApplyQueuedRenames();
  EXPECT_EQ(tree.nameOf(i), u"\x4E2D.txt");
  tree.QueueItemRename(f, u"\x00FF.txt");
  tree.ApplyQueuedRenames();
  EXPECT_EQ(tree.nameOf(i), u"\x00FF.txt");
  EXPECT_FALSE(tree.nameBytes(i).wide);
}

TEST(FoundItemArena, NamesAtTheEndOfAPoolChunk) {
  // 8192 wide names of 256 bytes fill a 2 MiB chunk of the name pool exactly; what follows
  // goes to the next chunk, an empty name too.
  CFileFolderTree tree;
  tree.ResetFoundTree();
  const std::u16string wide(128, u'\x4E2D');
  for (std::uint32_t n = 0; n < 8192; ++n) tree.AddFoundItem(item(n + 16, 5, false), wide);
  const Index empty = tree.AddFoundItem(item(90000, 5, false), u"");
  const Index next = tree.AddFoundItem(item(90001, 5, false), u"next");
  EXPECT_EQ(tree.nameOf(Index(8191)), wide);
  EXPECT_EQ(tree.nameOf(Index(4095)), wide);
  EXPECT_EQ(tree.nameOf(empty), u"");
  EXPECT_EQ(tree.nameOf(next), u"next");
}

TEST(FoundItemArena, NameWidthDecidedByEveryUnit) {
  // The name's one unit above U+00FF may sit anywhere; each case is stored both where a
  // chunk is fresh and where the chunk has only a few hundred bytes left.
  const struct {
    std::u16string name;
    bool wide;
  } cases[] = {
      {u"\x0100 first", true},
      {u"last \x0100", true},
      {u"\x4E2D", true},
      {u"mid\xFF00" u"dle", true},
      {u"all narrow \x00FF\x0080\x0001", false},
      {std::u16string(255, u'\x00FF'), false},
      {std::u16string(254, u'a') + u"\x0101", true},
  };
  CFileFolderTree tree;
  tree.ResetFoundTree();
  std::uint32_t id = 16;
  for (int fill = 0; fill < 2; ++fill) {
    // 1 MiB less 300 bytes of narrow names: the next names land at the end of the chunk.
    if (fill == 1)
      for (std::size_t used = 0; used + 255 <= (std::size_t(1) << 20) - 300; used += 255)
        tree.AddFoundItem(item(id++, 5, false), std::u16string(255, u'x'));
    for (const auto& c : cases) {
      SCOPED_TRACE(platform::toUtf8(c.name));
      const Index i = tree.AddFoundItem(item(id++, 5, false), c.name);
      EXPECT_EQ(tree.nameBytes(i).wide, c.wide);
      EXPECT_EQ(tree.nameOf(i), c.name);
    }
  }
  // A name ends at its first NUL, wherever it is; what follows it counts for nothing.
  for (std::size_t at = 0; at < 19; ++at) {
    SCOPED_TRACE(at);
    std::u16string name(20, u'\x00E9');
    name[at] = u'\0';
    name[19] = u'\x4E2D';
    const Index narrowTail = tree.AddFoundItem(item(id++, 5, false), name);
    EXPECT_EQ(tree.nameOf(narrowTail), std::u16string(at, u'\x00E9'));
    EXPECT_FALSE(tree.nameBytes(narrowTail).wide);
    if (at > 0) name[0] = u'\x0101';
    const Index wideHead = tree.AddFoundItem(item(id++, 5, false), name);
    EXPECT_EQ(tree.nameOf(wideHead), name.substr(0, at));
    EXPECT_EQ(tree.nameBytes(wideHead).wide, at > 0);
  }
  EXPECT_EQ(listing(tree), referenceListing(tree));
}

TEST(FoundItemArena, AMillionItemsStayCompact) {
  // Bytes counted, not time: the records, the names and the folder index.
  constexpr std::uint32_t kItems = 1000000;
  CFileFolderTree tree;
  tree.ResetFoundTree();
  std::u16string name = u"0000 Document of batch 00.txt";  // 29 characters
  std::uint64_t nameUnits = 0;
  for (std::uint32_t n = 0; n < kItems; ++n) {
    const bool folder = n % 1000 == 0;
    for (int k = 3, v = int(n % 10000); k >= 0; --k, v /= 10) name[std::size_t(k)] = char16_t(u'0' + v % 10);
    tree.AddFoundItem(item(n + 16, folder ? 5 : 16 + n / 1000 * 1000, folder, n), name);
    nameUnits += name.size();
  }
  ASSERT_EQ(tree.size(), kItems);
  EXPECT_EQ(tree.folderCount(), kItems / 1000);
  const double perItem = double(tree.heldBytes()) / kItems;
  EXPECT_LE(perItem, 56 + double(nameUnits) / kItems + 4) << perItem;
  EXPECT_EQ(tree.pathOf(Index(kItems - 1)), u"9000 Document of batch 00.txt/9999 Document of batch 00.txt");
  EXPECT_EQ(tree.item(Index(123457)).m_nSize, 123457u);
}

}  // namespace
}  // namespace qelda::results
