// exFAT directory streams: entry sets, the walk's steps, names, the chain flag and the
// predicates of the directory-cluster search.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/exfat_boot.h"
#include "fs/exfat_entries.h"
#include "fs/exfat_test_bytes.h"

namespace qelda::fs::exfat {
namespace {

using platform::ByteView;
using platform::ParseError;
using test::Bytes;
using test::DirBytes;
using File = DirBytes::File;

struct Seen {
  std::uint32_t offset;
  std::u16string name;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> walk(ByteView stream, ExFatWalkKind kind) {
  std::vector<Seen> seen;
  ExFatDirectoryWalk w(stream, kind);
  while (const auto s = w.next()) seen.push_back({s->offset, s->name});
  return seen;
}

TEST(ExFatEntries, ReadsEveryFieldOfASet) {
  DirBytes d;
  d.file({.name = u"Report of 2021.txt",
          .attributes = 0x21,
          .streamFlags = 0x01,
          .firstCluster = 0x12345678,
          .size = 0x1'0000'0001ull,
          .created = 0x52CF6A1B,
          .modified = 0x52D06B2C});
  const auto s = parseEntrySetAt(d.view(), 0);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->name, u"Report of 2021.txt");
  EXPECT_EQ(s->offset, 0u);
  EXPECT_EQ(s->lastEntry, 96u);  // file, stream, two name entries
  EXPECT_EQ(s->end, 128u);
  EXPECT_FALSE(s->deleted);
  EXPECT_EQ(s->secondaryCount, 3);
  EXPECT_EQ(s->attributes, 0x21);
  EXPECT_FALSE(s->isFolder());
  EXPECT_EQ(s->created, 0x52CF6A1Bull << 32);
  EXPECT_EQ(s->modified, 0x52D06B2Cull << 32);
  EXPECT_TRUE(s->hasStream);
  EXPECT_EQ(s->streamFlags, 0x01);
  EXPECT_EQ(s->nameLength, 18);
  EXPECT_EQ(s->validDataLength, 0x1'0000'0001ull);
  EXPECT_EQ(s->dataLength, 0x1'0000'0001ull);
  EXPECT_EQ(s->firstCluster, 0x12345678u);
  EXPECT_TRUE(s->followsChain());
}

TEST(ExFatEntries, DeletedSetsKeepTheirFields) {
  DirBytes d;
  d.file({.name = u"gone", .attributes = 0x10, .firstCluster = 9, .size = 4096, .deleted = true});
  const auto s = parseEntrySetAt(d.view(), 0);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->deleted);
  EXPECT_TRUE(s->isFolder());
  EXPECT_EQ(s->name, u"gone");
  EXPECT_EQ(s->firstCluster, 9u);
  EXPECT_TRUE(s->noFatChain());
}

// The chain flag tests the NoFatChain bit alone: other bits of the flags do not matter.
TEST(ExFatEntries, FollowsTheChainUnlessNoFatChainIsSet) {
  const std::vector<std::pair<std::uint8_t, bool>> rows = {
      {0x01, true}, {0x03, false}, {0x02, false}, {0x00, true}, {0xFD, true}, {0x07, false}, {0xFF, false}};
  for (const auto& [flags, chain] : rows) {
    SCOPED_TRACE(int(flags));
    DirBytes d;
    d.file({.name = u"x", .streamFlags = flags});
    const auto s = parseEntrySetAt(d.view(), 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->followsChain(), chain);
    EXPECT_EQ(s->noFatChain(), !chain);
  }
  // Without a stream extension there is no chain to follow.
  DirBytes d;
  d.raw(0x85).name(u"orphan");
  ExFatDirectoryWalk w(d.view(), ExFatWalkKind::Root);
  const auto s = w.next();
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->hasStream);
  EXPECT_FALSE(s->followsChain());
}

TEST(ExFatEntries, CutsNamesAtTheirLengthAndAt255) {
  const std::u16string n240(240, u'L');
  struct Row {
    const char* what;
    Bytes stream;
    std::u16string name;
  };
  std::vector<Row> rows;
  {
    DirBytes d;  // 16 characters: two name entries, the second one holding one character
    d.file({.name = u"sixteen chars ok"});
    rows.push_back({"16 characters", d.bytes(), u"sixteen chars ok"});
  }
  {
    DirBytes d;  // garbage after the name in its last entry, as damaged volumes have
    d.file({.name = u"abcdefghijklmnopqrs", .nameLength = 17});
    rows.push_back({"cut at the name length", d.bytes(), u"abcdefghijklmnopq"});
  }
  {
    DirBytes d;
    d.file({.name = std::u16string(u"abc\0def", 7)});
    rows.push_back({"cut at a zero character", d.bytes(), u"abc"});
  }
  {
    DirBytes d;
    d.file({.name = n240});
    rows.push_back({"240 characters in 16 entries", d.bytes(), n240});
  }
  {
    // Two stream extensions, each claiming 255 characters, and 34 name entries.
    DirBytes d;
    Bytes file = DirBytes::entry(0x85);
    file[1] = 36;
    d.append(file);
    for (int half = 0; half < 2; ++half) {
      Bytes st = DirBytes::entry(0xC0);
      st[3] = 255;
      d.append(st);
      for (int i = 0; i < 17; ++i) d.name(std::u16string(15, half ? u'B' : u'A'));
    }
    rows.push_back({"two stream extensions", d.bytes(), std::u16string(255, u'A')});
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ExFatDirectoryWalk w(ByteView(r.stream), ExFatWalkKind::Folder);
    const auto s = w.next();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->name, r.name);
    EXPECT_LE(s->name.size(), 255u);
  }
}

// A set crossing a cluster boundary is parsed whole; one crossing the stream's end is cut
// there without reading past it.
TEST(ExFatEntries, SetsCrossClusterBoundariesButNotTheStreamsEnd) {
  DirBytes d;
  d.padTo(4032).file({.name = u"file-43.txt", .firstCluster = 77, .size = 9}).padTo(8192);
  const auto walked = walk(d.view(), ExFatWalkKind::Folder);
  ASSERT_EQ(walked, (std::vector<Seen>{{4032, u"file-43.txt"}}));

  DirBytes e;
  e.padTo(64).file({.name = u"a name of twenty chars"});  // file, stream, two names
  Bytes cut(e.bytes().begin(), e.bytes().begin() + 64 + 3 * 32);
  ExFatDirectoryWalk w(ByteView(cut), ExFatWalkKind::Root);
  const auto s = w.next();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->name, u"a name of twent");  // the second name entry is past the end
  EXPECT_EQ(s->end, cut.size());
  EXPECT_FALSE(w.next());
  EXPECT_EQ(w.position(), cut.size());
}

TEST(ExFatEntries, WalksAsTheTreeWalksDo) {
  struct Row {
    const char* what;
    Bytes stream;
    std::vector<Seen> root;
    std::vector<Seen> folder;
  };
  std::vector<Row> rows;
  {
    DirBytes d;
    d.raw(0x83).raw(0x81).raw(0x82).file({.name = u"one"}).file({.name = u"two", .deleted = true});
    rows.push_back({"system entries stepped over", d.bytes(), {{96, u"one"}, {192, u"two"}}, {{96, u"one"}, {192, u"two"}}});
  }
  {
    DirBytes d;
    d.raw(0xA0).file({.name = u"after guid"});
    rows.push_back({"unknown type stepped by 16", d.bytes(), {{32, u"after guid"}}, {{32, u"after guid"}}});
  }
  {
    DirBytes d;  // zeros between sets: the walk goes on past an end-of-directory entry
    d.file({.name = u"first"}).padTo(512).file({.name = u"after zeros", .deleted = true});
    rows.push_back({"zeros", d.bytes(), {{0, u"first"}, {512, u"after zeros"}}, {{0, u"first"}, {512, u"after zeros"}}});
  }
  {
    DirBytes d;
    d.file({.name = u"no name length", .nameLength = 0}).file({.name = u"next"});
    rows.push_back({"name length 0", d.bytes(), {{0, u""}, {96, u"next"}}, {{96, u"next"}}});
  }
  {
    DirBytes d;
    d.file({.name = std::u16string(3, u'\0')}).file({.name = u"next"});
    rows.push_back({"empty name", d.bytes(), {{0, u""}, {96, u"next"}}, {{96, u"next"}}});
  }
  {
    // Secondary count 1: the name entry is left out of the set and the walk steps over it.
    DirBytes d;
    d.file({.name = u"short count", .secondaryCount = 1}).file({.name = u"next"});
    rows.push_back({"secondary count 1", d.bytes(), {{0, u""}, {96, u"next"}}, {{96, u"next"}}});
  }
  {
    // Secondary count 0 lets the set take every secondary that follows.
    DirBytes d;
    d.file({.name = std::u16string(40, u'z'), .secondaryCount = 0}).file({.name = u"next"});
    rows.push_back(
        {"secondary count 0", d.bytes(), {{0, std::u16string(40, u'z')}, {160, u"next"}}, {{0, std::u16string(40, u'z')}, {160, u"next"}}});
  }
  {
    // A set ends at the first entry that is neither a stream extension nor a name.
    DirBytes d;
    d.file({.name = u"abc", .secondaryCount = 5}).file({.name = u"next"});
    rows.push_back({"set ended by a file entry", d.bytes(), {{0, u"abc"}, {96, u"next"}}, {{0, u"abc"}, {96, u"next"}}});
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(walk(ByteView(r.stream), ExFatWalkKind::Root), r.root);
    EXPECT_EQ(walk(ByteView(r.stream), ExFatWalkKind::Folder), r.folder);
  }
}

TEST(ExFatEntries, ParsesASetAtAnyOffsetOrSaysWhyNot) {
  DirBytes d;
  d.file({.name = u"first"}).file({.name = u"no length", .nameLength = 0}).padTo(70016);
  d.file({.name = u"far in a 128 KiB cluster"}).padTo(131072);
  const auto far = parseEntrySetAt(d.view(), 70016);
  ASSERT_TRUE(far);
  EXPECT_EQ(far->name, u"far in a 128 KiB cluster");
  EXPECT_EQ(far->offset, 70016u);

  struct Row {
    const char* what;
    std::uint32_t offset;
    ParseError expected;
  };
  const std::vector<Row> rows = {
      {"a stream extension", 32, ParseError::NotThisFormat},
      {"zeros", 4096, ParseError::NotThisFormat},
      {"name length 0", 96, ParseError::OutOfRange},
      {"past the end", 131072, ParseError::Truncated},
      {"the last 16 bytes", 131056, ParseError::Truncated},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const auto s = parseEntrySetAt(d.view(), r.offset);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error(), r.expected);
  }
}

TEST(ExFatEntries, FindsTheRootsSystemEntries) {
  DirBytes d;
  Bytes label = DirBytes::entry(0x83);
  label[1] = 5;
  for (int i = 0; i < 11; ++i) label[2 + 2 * i] = std::uint8_t("VOLUMEXXXXX"[i]);
  Bytes second = DirBytes::entry(0x81);  // the second FAT's bitmap comes first here
  second[1] = 1;
  second[20] = 7;
  second[24] = 192;
  Bytes first = DirBytes::entry(0x81);
  first[20] = 2;
  first[24] = 193;
  Bytes upcase = DirBytes::entry(0x82);
  upcase[4] = 0x0D;
  upcase[20] = 3;
  upcase[24] = 0xCC;
  upcase[25] = 0x16;
  d.append(label).append(second).append(first).append(upcase).file({.name = u"a file"});
  const ExFatRootEntries r = findRootEntries(d.view());
  ASSERT_TRUE(r.label);
  EXPECT_EQ(*r.label, u"VOLUM");
  ASSERT_TRUE(r.bitmap);
  EXPECT_EQ(r.bitmap->firstCluster, 2u);
  EXPECT_EQ(r.bitmap->dataLength, 193u);
  EXPECT_EQ(r.bitmap->flags, 0);
  ASSERT_TRUE(r.upcase);
  EXPECT_EQ(r.upcase->firstCluster, 3u);
  EXPECT_EQ(r.upcase->dataLength, 5836u);
  EXPECT_EQ(r.upcase->checksum, 0x0Du);

  const ExFatRootEntries none = findRootEntries(DirBytes().file({.name = u"x"}).view());
  EXPECT_FALSE(none.bitmap);
  EXPECT_FALSE(none.upcase);
  EXPECT_FALSE(none.label);
}

TEST(ExFatEntries, UsesABitmapEntryOnlyWhenItFitsTheHeap) {
  const auto sector = test::bootSector();  // 1536 clusters of 4 KiB: a 192-byte bitmap
  const auto p = parseExFatBoot(ByteView(sector));
  ASSERT_TRUE(p);
  struct Row {
    const char* what;
    ExFatBitmapEntry e;
    bool plausible;
  };
  const std::vector<Row> rows = {
      {"as mkfs.exfat writes it", {0, 2, 192}, true},
      {"elsewhere in the heap", {0, 900, 192}, true},
      {"cluster 0", {0, 0, 192}, false},
      {"cluster 1", {0, 1, 192}, false},
      {"past the heap", {0, 1538, 192}, false},
      {"too short for every cluster", {0, 2, 191}, false},
      {"running past the heap", {0, 1537, 4097}, false},
      {"filling the heap's last cluster", {0, 1537, 4096}, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(bitmapEntryIsPlausible(r.e, *p), r.plausible);
  }
}

TEST(ExFatEntries, LostFolderSetsMustFitTheVolume) {
  const auto sector = test::bootSector();  // 16384 sectors: 8 MiB
  const auto p = parseExFatBoot(ByteView(sector));
  ASSERT_TRUE(p);
  struct Row {
    const char* what;
    std::uint32_t first;
    std::uint64_t size;
    bool fits;
  };
  // A file larger than the volume's sector count in bytes (16384) is still plausible.
  const std::vector<Row> rows = {
      {"empty file", 0, 0, true},          {"small file", 10, 100, true},
      {"128 KiB file", 10, 131072, true},  {"the whole volume", 2, 8ull << 20, true},
      {"larger than the volume", 2, (8ull << 20) + 1, false},
      {"cluster 1", 1, 100, false},        {"last cluster", 1537, 100, true},
      {"past the heap", 1538, 100, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ExFatEntrySet s;
    s.firstCluster = r.first;
    s.validDataLength = r.size;
    EXPECT_EQ(entrySetFitsVolume(s, *p), r.fits);
  }
}

TEST(ExFatEntries, RecognisesDirectoryClusters) {
  struct Row {
    const char* what;
    Bytes cluster;
    bool directory;
  };
  std::vector<Row> rows;
  auto cluster = [](DirBytes d) { return d.padTo(4096).bytes(); };
  rows.push_back({"a set", cluster(DirBytes().file({.name = u"x"})), true});
  rows.push_back({"a deleted set", cluster(DirBytes().file({.name = u"x", .deleted = true})), true});
  rows.push_back({"a root", cluster(DirBytes().raw(0x83).raw(0x81).raw(0x82).file({.name = u"x"})), true});
  rows.push_back({"a set continued from the previous cluster", cluster(DirBytes().name(u"tail of a name")), true});
  rows.push_back({"zeros", Bytes(4096, 0), false});
  rows.push_back({"a label and zeros", cluster(DirBytes().raw(0x83)), false});
  rows.push_back({"file entries only", cluster(DirBytes().raw(0x85).raw(0x85)), false});
  rows.push_back({"a GUID entry", cluster(DirBytes().raw(0xA0).file({.name = u"x"})), false});
  {
    Bytes c = cluster(DirBytes().file({.name = u"x"}));
    c[4064] = 0xE0;  // the last entry
    rows.push_back({"a vendor entry at the end", c, false});
  }
  rows.push_back({"text", Bytes(4096, 'a'), false});
  {
    Bytes c(4096, 0);
    for (std::size_t i = 0; i < c.size(); i += 32) c[i] = 0x41;
    rows.push_back({"0x41 at every entry", c, true});
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(IsDirectoryCluster(ByteView(r.cluster)), r.directory);
  }
}

}  // namespace
}  // namespace qelda::fs::exfat
