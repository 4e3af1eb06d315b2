#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fs/fat_boot.h"
#include "fs/fat_dir_entry.h"
#include "fs/fat_layout.h"
#include "fs/fat_table.h"
#include "platform/byte_view.h"

namespace qelda::fs::fat {
namespace {

using platform::ByteView;
using platform::ParseError;
using platform::putLe16;
using platform::putLe32;

// A boot sector as mkfs.fat writes one for a 16 MiB FAT16 volume.
std::vector<std::uint8_t> fat16Boot() {
  std::vector<std::uint8_t> s(512);
  s[boot::kSectorsPerCluster] = 4;
  putLe16(&s[boot::kReservedSectors], 4);
  s[boot::kFatCount] = 2;
  putLe16(&s[boot::kRootEntries], 512);
  putLe16(&s[boot::kTotalSectors16], 32768);
  s[boot::kMedia] = 0xF8;
  putLe16(&s[boot::kSectorsPerFat16], 32);
  return s;
}

std::vector<std::uint8_t> fat32Boot() {
  std::vector<std::uint8_t> s(512);
  s[boot::kSectorsPerCluster] = 1;
  putLe16(&s[boot::kReservedSectors], 32);
  s[boot::kFatCount] = 2;
  putLe32(&s[boot::kTotalSectors32], 160000);
  s[boot::kMedia] = 0xF8;
  putLe32(&s[boot::kSectorsPerFat32], 1231);
  putLe32(&s[boot::kRootCluster], 2);
  return s;
}

TEST(FatBootSector, TypeComesFromTheFormatsOwnMarkers) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> sector;
    std::uint8_t type;
    std::uint32_t spf;
    std::uint16_t rootDir;
    std::uint32_t rootCluster;
  };
  std::vector<Case> cases;
  cases.push_back({"FAT16", fat16Boot(), kFat16, 32, 32, 0});
  cases.push_back({"FAT32", fat32Boot(), kFat32, 1231, 0, 2});
  auto floppy = fat16Boot();  // 1.44 MB floppy: 2847 clusters
  floppy[boot::kSectorsPerCluster] = 1;
  putLe16(&floppy[boot::kReservedSectors], 1);
  putLe16(&floppy[boot::kRootEntries], 224);
  putLe16(&floppy[boot::kTotalSectors16], 2880);
  putLe16(&floppy[boot::kSectorsPerFat16], 9);
  cases.push_back({"FAT12 floppy", floppy, kFat12, 9, 14, 0});
  auto fat12Padded = fat16Boot();  // 16 MiB FAT12 whose table is padded to 16 sectors
  fat12Padded[boot::kSectorsPerCluster] = 16;
  putLe16(&fat12Padded[boot::kReservedSectors], 16);
  putLe16(&fat12Padded[boot::kSectorsPerFat16], 16);
  cases.push_back({"FAT12 with 16 FAT sectors", fat12Padded, kFat12, 16, 32, 0});
  auto fat16Reserved = fat16Boot();  // 64 reserved sectors do not make a FAT32
  putLe16(&fat16Reserved[boot::kReservedSectors], 64);
  cases.push_back({"FAT16 with 64 reserved", fat16Reserved, kFat16, 32, 32, 0});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto p = parseFatBootSector(ByteView(c.sector));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->fatType, c.type);
    EXPECT_EQ(p->sectorsPerFat, c.spf);
    EXPECT_EQ(p->rootDirSectors, c.rootDir);
    EXPECT_EQ(p->rootCluster, c.rootCluster);
  }
}

TEST(FatBootSector, RejectsEachBadField) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> base;
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
    ParseError expected;
  };
  const std::vector<Case> cases = {
      {"3 sectors per cluster", fat16Boot(), boot::kSectorsPerCluster, {3}, ParseError::NotThisFormat},
      {"0 sectors per cluster", fat16Boot(), boot::kSectorsPerCluster, {0}, ParseError::NotThisFormat},
      {"FAT16 with 266 FAT sectors", fat16Boot(), boot::kSectorsPerFat16, {0x0A, 0x01}, ParseError::OutOfRange},
      {"FAT32 with 266 FAT sectors", fat32Boot(), boot::kSectorsPerFat32, {0x0A, 0x01, 0, 0}, ParseError::OutOfRange},
      {"FAT32 root cluster 1", fat32Boot(), boot::kRootCluster, {1, 0, 0, 0}, ParseError::OutOfRange},
      {"FAT32 beyond 2^28 entries", fat32Boot(), boot::kSectorsPerFat32, {0, 0, 0x20, 0}, ParseError::OutOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto s = c.base;
    std::copy(c.bytes.begin(), c.bytes.end(), s.begin() + std::ptrdiff_t(c.offset));
    const auto p = parseFatBootSector(ByteView(s));
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error(), c.expected);
  }
  EXPECT_EQ(parseFatBootSector(ByteView(fat16Boot().data(), 40)).error(), ParseError::Truncated);
}

TEST(FatBootSector, ScanJudgementRefusesWhatTheGeometryCannotBe) {
  FatBootParams p{kFat16, 4, 4, 32, 32, 0, 0xF8, kFat16End};
  EXPECT_FALSE(bootParamsAreBad(p, 32768, false));
  EXPECT_TRUE(bootParamsAreBad(p, 320, false));  // FAT as large as a tenth of the volume
  p.sectorsPerCluster = 1;
  EXPECT_FALSE(bootParamsAreBad(p, 32768, false));
  EXPECT_TRUE(bootParamsAreBad(p, 32768, true));  // the backup may not claim 1
  p.sectorsPerCluster = 0;
  EXPECT_TRUE(bootParamsAreBad(p, 32768, false));
  EXPECT_EQ(dataClusterBound(100, 200, 4), 0u);
  EXPECT_EQ(dataClusterBound(1000, 200, 0), 0u);
  EXPECT_EQ(dataClusterBound(1000, 200, 4), 202u);
}

TEST(FatTableAccess, DecodesEachWidthAndRefusesEntriesPastTheTable) {
  // FAT12: entries 0..3 = 0xFF0, 0xFFF, 0x003, 0xABC packed into 6 bytes.
  const std::vector<std::uint8_t> fat12 = {0xF0, 0xFF, 0xFF, 0x03, 0xC0, 0xAB};
  const FatTable t12(fat12, kFat12);
  EXPECT_EQ(t12.entry(0), 0xFF0u);
  EXPECT_EQ(t12.entry(1), 0xFFFu);
  EXPECT_EQ(t12.entry(2), 0x003u);
  EXPECT_EQ(t12.entry(3), 0xABCu);
  EXPECT_EQ(t12.entry(4), std::nullopt);  // byte 6 lies outside
  // An odd entry whose 16-bit read would start at the table's last byte is refused.
  const std::vector<std::uint8_t> fat12Odd = {0xF0, 0xFF, 0xFF, 0x03, 0xC0};
  EXPECT_EQ(FatTable(fat12Odd, kFat12).entry(3), std::nullopt);

  const std::vector<std::uint8_t> fat16 = {0xF8, 0xFF, 0xFF, 0xFF, 0x05, 0x00};
  EXPECT_EQ(FatTable(fat16, kFat16).entry(2), 5u);
  EXPECT_EQ(FatTable(fat16, kFat16).entry(3), std::nullopt);

  const std::vector<std::uint8_t> fat32 = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0x09, 0, 0, 0xF0};
  EXPECT_EQ(FatTable(fat32, kFat32).entry(1), 0x0FFFFFFFu);
  EXPECT_EQ(FatTable(fat32, kFat32).entry(2), 9u);  // high four bits are not part of the cluster
  EXPECT_EQ(FatTable(fat32, kFat32).entry(UINT64_MAX), std::nullopt);
  EXPECT_EQ(FatTable().entry(2), std::nullopt);
}

TEST(FatTableAccess, SectorTestsOfTheCopyChecks) {
  std::vector<std::uint8_t> sector(512);
  EXPECT_FALSE(hasMediaSignature(sector));
  sector[0] = 0xF0, sector[1] = 0xFF, sector[2] = 0xFF;
  EXPECT_TRUE(hasMediaSignature(sector));
  sector[0] = 0xF9;
  EXPECT_FALSE(hasMediaSignature(sector));

  std::vector<std::uint8_t> zero(512);
  EXPECT_TRUE(isUniformSector(zero, kFat16));
  EXPECT_TRUE(isUniformSector(zero, kFat32));
  zero[510] = 1;
  EXPECT_FALSE(isUniformSector(zero, kFat16));
  zero[510] = 0, zero[1] = 1;  // only the first entry differs
  EXPECT_FALSE(isUniformSector(zero, kFat32));
  // Entries of one non-zero value: 01 02 03 04 repeated is one FAT32 value, two FAT16 ones.
  std::vector<std::uint8_t> repeated(512);
  for (std::size_t i = 0; i < repeated.size(); ++i) repeated[i] = std::uint8_t(i % 4 + 1);
  EXPECT_TRUE(isUniformSector(repeated, kFat32));
  EXPECT_FALSE(isUniformSector(repeated, kFat16));
  repeated[509] = 9;  // the last whole entry
  EXPECT_FALSE(isUniformSector(repeated, kFat32));

  // FAT16 with highest data cluster 100: 0x0200 is implausible, 0xFFF8 an end, 0xFFF7 (bad) counts.
  std::vector<std::uint8_t> s16(512);
  putLe16(&s16[0], 0x0200);
  putLe16(&s16[2], 0xFFF8);
  putLe16(&s16[4], 0xFFF7);
  putLe16(&s16[6], 50);
  EXPECT_EQ(countImplausibleEntries(s16, 0, kFat16, 100), 2u);
  // FAT32 chain ends from 0x0FFFFFF8 up are ends, whatever the high four bits say.
  std::vector<std::uint8_t> s32(512);
  putLe32(&s32[0], 0x0FFFFFF8);
  putLe32(&s32[4], 0xFFFFFFFF);
  putLe32(&s32[8], 0x00001000);
  EXPECT_EQ(countImplausibleEntries(s32, 0, kFat32, 100), 1u);
  // FAT12: only entries lying wholly inside the sector; sector 1 starts mid-entry.
  std::vector<std::uint8_t> s12(512, 0xFF);
  EXPECT_EQ(countImplausibleEntries(s12, 0, kFat12, 100), 0u);  // all 0xFFF: ends
  std::vector<std::uint8_t> s12b(512, 0x22);                      // every entry 0x222
  EXPECT_EQ(countImplausibleEntries(s12b, 0, kFat12, 100), 341u);
  EXPECT_EQ(countImplausibleEntries(s12b, 1, kFat12, 100), 340u);
}

// --- directory entries ---------------------------------------------------------------------

std::vector<std::uint8_t> shortEntry(const char name11[12], std::uint8_t attr, std::uint32_t cluster,
                                     std::uint32_t size) {
  std::vector<std::uint8_t> e(32);
  std::memcpy(e.data(), name11, 11);
  e[dirent::kAttributes] = attr;
  putLe16(&e[dirent::kClusterHigh], std::uint16_t(cluster >> 16));
  putLe16(&e[dirent::kClusterLow], std::uint16_t(cluster));
  putLe32(&e[dirent::kFileSize], size);
  putLe16(&e[dirent::kWriteDate], (45 << 9) | (6 << 5) | 15);
  return e;
}

// Long-name entries for `name` (padding after the terminator as formatters write it),
// farthest first, so that they can be put in front of the short entry whose 11 name bytes
// `short11` are; `deleted` marks each as deleting a name does.
std::vector<std::uint8_t> longEntries(std::u16string name, const char* short11 = "LONGFI~1TXT", bool deleted = false) {
  std::uint8_t checksum = 0;
  for (int i = 0; i < 11; ++i) checksum = std::uint8_t(((checksum & 1) << 7) + (checksum >> 1) + std::uint8_t(short11[i]));
  const std::size_t count = (name.size() + 12) / 13;
  std::u16string padded = name;
  if (padded.size() % 13) {
    padded.push_back(0);
    while (padded.size() % 13) padded.push_back(0xFFFF);
  }
  std::vector<std::uint8_t> out;
  for (std::size_t k = count; k-- > 0;) {
    std::vector<std::uint8_t> e(32);
    e[0] = deleted ? 0xE5 : std::uint8_t(k + 1) | (k + 1 == count ? 0x40 : 0);
    e[dirent::kAttributes] = dirent::kAttrLongName;
    e[13] = checksum;
    const char16_t* p = padded.data() + 13 * k;
    for (int i = 0; i < 5; ++i) putLe16(&e[1 + 2 * i], p[i]);
    for (int i = 0; i < 6; ++i) putLe16(&e[14 + 2 * i], p[5 + i]);
    for (int i = 0; i < 2; ++i) putLe16(&e[28 + 2 * i], p[11 + i]);
    out.insert(out.end(), e.begin(), e.end());
  }
  return out;
}

TEST(FatDirEntry, ShortNamesInCodePage437) {
  struct Case {
    const char* name11;
    bool deleted;
    std::u16string expected;
  } cases[] = {
      {"README  TXT", false, u"README.TXT"},
      {"\xE5OOK    TXT", true, u"XOOK.TXT"},
      {"NOEXT      ", false, u"NOEXT"},
      {"\x80\x81\xE1     DAT", false, u"\u00C7\u00FC\u00DF.DAT"},
      {"        TXT", false, u""},
      {"\x05" "ABC    TXT", false, u"\u03C3ABC.TXT"},  // a stored 0x05 stands for 0xE5
      {"A\x05" "      TXT", false, u"A\x05.TXT"},  // only as the first byte
      {"ABCDEFGHTXT", false, u"ABCDEFGH.TXT"},  // every byte of the 8.3 taken
      {"\xE5" "BCDEFGH\x82\x83\x84", true, u"XBCDEFGH.\u00E9\u00E2\u00E4"},
      // Blanks only pad the end of each part: those inside are the name's.
      {"PAD 0000 NG", false, u"PAD 0000. NG"},
      {"COV 0000ER ", false, u"COV 0000.ER"},
      {"\xE5" "AD 0001 NG", true, u"XAD 0001. NG"},
      {"A B C   D E", false, u"A B C.D E"},
      {" AD     TXT", false, u""},  // a blank never begins a name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name11);
    const auto e = shortEntry(c.name11, 0x20, 5, 10);
    EntryName name;
    shortEntryName(ByteView(e), c.deleted, name);
    EXPECT_EQ(std::u16string(name.view()), c.expected);
  }
  EXPECT_EQ(shortEntryExtension(ByteView(shortEntry("PAD 0000 NG", 0x20, 5, 10))), u" NG");
  EXPECT_EQ(cp437ToUnicode(0xFF), 0x00A0);
  EXPECT_EQ(cp437ToUnicode('a'), u'a');
}

// Byte 12 puts the base (0x08) or the extension (0x10) in lower case: A to Z only.
TEST(FatDirEntry, ShortNamesFollowTheirCaseFlags) {
  struct Case {
    const char* name11;
    std::uint8_t flags;
    bool deleted;
    std::u16string expected;
  } cases[] = {
      {"README  TXT", 0x08, false, u"readme.TXT"},
      {"README  TXT", 0x10, false, u"README.txt"},
      {"README  TXT", 0x18, false, u"readme.txt"},
      {"\x80_1     TXT", 0x18, false, u"\u00C7_1.txt"},
      {"\xE5" "EADME  TXT", 0x18, true, u"Xeadme.txt"},
      {"README  TXT", 0x04, false, u"README.TXT"},
      {"LOW 0000TXT", 0x18, false, u"low 0000.txt"},
      {"\xE5" "OW 0000N G", 0x18, true, u"Xow 0000.n g"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name11);
    auto e = shortEntry(c.name11, 0x20, 5, 10);
    e[dirent::kCaseFlags] = c.flags;
    EntryName name;
    shortEntryName(ByteView(e), c.deleted, name);
    EXPECT_EQ(std::u16string(name.view()), c.expected);
  }
}

TEST(FatDirEntry, LongNamesEndAtTheirTerminatorAndKeepTheCap) {
  struct Case {
    const char* what;
    std::u16string name;
    bool tooLong;
  };
  const std::vector<Case> cases = {
      {"three characters with padding", u"abc", false},
      {"exactly 13, no terminator", u"thirteen_char", false},
      {"two entries", u"Long File Name Example.txt", false},
      {"ends in the next entry's first piece", std::u16string(u"\u00E9\u4E2Dcdefghijklmn"), false},
      {"ends in the second piece", std::u16string(u"abcdefghijklmnopq\u4E2D"), false},
      {"ends in the third piece", std::u16string(u"abcdefghijklmnopqrstuvw\u00FF"), false},
      {"fills the third piece", std::u16string(u"abcdefghijklmnopqrstuvwx\uFFFE"), false},
      {"260 characters accepted", std::u16string(260, u'n'), false},
      {"261 characters refused", std::u16string(261, u'n'), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto dir = longEntries(c.name);
    const auto sfn = shortEntry("LONGFI~1TXT", 0x20, 5, 10);
    const std::size_t at = dir.size();
    dir.insert(dir.end(), sfn.begin(), sfn.end());
    const auto ln = collectLongName(ByteView(dir), at, {});
    EXPECT_EQ(ln.found, !c.tooLong);  // a name too long is given up
    EXPECT_EQ(ln.tooLong, c.tooLong);
    if (!c.tooLong) {
      EXPECT_EQ(std::u16string(ln.name.view()), c.name);
    }
  }
  // A farthest entry that is empty at the cap adds nothing and keeps the name.
  const std::u16string full(260, u'm');
  std::vector<std::uint8_t> atCap(32);
  atCap[dirent::kAttributes] = dirent::kAttrLongName;
  const auto rest = longEntries(full);
  atCap.insert(atCap.end(), rest.begin(), rest.end());
  const auto sfn = shortEntry("LONGFI~1TXT", 0x20, 5, 10);
  const std::size_t at = atCap.size();
  atCap.insert(atCap.end(), sfn.begin(), sfn.end());
  const auto capped = collectLongName(ByteView(atCap), at, {});
  EXPECT_FALSE(capped.tooLong);
  EXPECT_EQ(std::u16string(capped.name.view()), full);

  const auto plain = shortEntry("PLAIN   TXT", 0x20, 5, 10);
  EXPECT_FALSE(collectLongName(ByteView(plain), 0, {}).found);
}

// A name is taken only whole: a deleted name whose farthest piece another entry took, a gap
// in a live name's numbers, pieces without the last one or of another checksum give no name.
TEST(FatDirEntry, LongNamesAreTakenOnlyWhole) {
  using Bytes = std::vector<std::uint8_t>;
  const auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const auto piece = [](const Bytes& pieces, std::size_t k) {  // k-th entry, farthest first
    return Bytes(pieces.begin() + std::ptrdiff_t(32 * k), pieces.begin() + std::ptrdiff_t(32 * (k + 1)));
  };
  const std::u16string longName = u"longfilename_alpha_and_more.txt";  // 3 pieces
  const Bytes live = longEntries(longName);
  const Bytes gone = longEntries(longName, "\xE5ONGFI~1TXT", true);
  const Bytes liveShort = shortEntry("LONGFI~1TXT", 0x20, 5, 10);
  const Bytes goneShort = shortEntry("\xE5ONGFI~1TXT", 0x20, 5, 10);
  const Bytes other = shortEntry("NEW     DAT", 0x20, 9, 10);
  Bytes gapped = live;
  gapped.erase(gapped.begin() + 32, gapped.begin() + 64);  // piece 2 missing
  Bytes otherSum = gone;
  otherSum[13] ^= 1;  // the farthest piece of another name
  Bytes dosDeleted = live;  // only the short entry marked, as some systems delete
  struct Case {
    const char* what;
    Bytes dir;  // the short entry last
    std::u16string name;  // empty: no name
  };
  const std::vector<Case> cases = {
      {"live and whole", cat({other, live, liveShort}), longName},
      {"deleted and whole", cat({other, gone, goneShort}), longName},
      {"deleted, its farthest piece's slot taken by a short entry",
       cat({other, piece(gone, 1), piece(gone, 2), goneShort}), u""},
      {"deleted, filling its last piece", cat({other, longEntries(u"twenty_six_characters_.bin", "\xE5WENTY~1BIN", true),
                                               shortEntry("\xE5WENTY~1BIN", 0x20, 5, 10)}),
       u"twenty_six_characters_.bin"},
      {"deleted, filling its last piece, no extension",
       cat({other, longEntries(u"thirteen_char", "\xE5HIRTE~1   ", true), shortEntry("\xE5HIRTE~1   ", 0x20, 5, 10)}),
       u"thirteen_char"},
      {"deleted, cut after a dot of its own",
       cat({other, piece(longEntries(u"report.2021.final.summary.txt", "\xE5" "EPORT~1TXT", true), 1),
            piece(longEntries(u"report.2021.final.summary.txt", "\xE5" "EPORT~1TXT", true), 2),
            shortEntry("\xE5" "EPORT~1TXT", 0x20, 5, 10)}),
       u""},
      {"deleted, its farthest piece of another checksum", cat({other, otherSum, goneShort}), u""},
      {"live with a gap in its numbers", cat({other, gapped, liveShort}), u""},
      {"live without its last piece", cat({other, piece(live, 1), piece(live, 2), liveShort}), u""},
      {"live, pieces of another checksum", cat({other, longEntries(longName, "LONGFI~2TXT"), liveShort}), u""},
      {"live after a deleted name's pieces", cat({other, gone, liveShort}), u""},
      {"live after another name's pieces: they are not its", cat({longEntries(u"an earlier name.bin"), live, liveShort}),
       longName},
      {"deleted short entry, its pieces still numbered", cat({other, dosDeleted, goneShort}), longName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto ln = collectLongName(ByteView(c.dir), c.dir.size() - 32, {});
    EXPECT_FALSE(ln.tooLong);
    EXPECT_EQ(ln.found, !c.name.empty());
    if (ln.found) {
      EXPECT_EQ(std::u16string(ln.name.view()), c.name);
    }
  }
}

TEST(FatDirEntry, EntryNameKeepsItsCapAndCopiesWhatItHolds) {
  const std::u16string full(dirent::kMaxLongName - 1, u'a');
  EntryName name;
  EXPECT_TRUE(name.append(full.data(), full.size()));
  EXPECT_FALSE(name.append(u"bc", 2));  // one over the cap: refused whole
  EXPECT_EQ(name.size(), full.size());
  EXPECT_TRUE(name.append(u"z", 1));
  EXPECT_EQ(std::u16string(name.view()), full + u"z");
  EXPECT_FALSE(name.append(u"z", 1));
  EntryName copy;
  EXPECT_TRUE(copy.append(u"older and longer", 16));
  copy = name;
  EXPECT_EQ(copy.view(), name.view());
  name.clear();
  EXPECT_TRUE(name.append(u"short", 5));
  copy = name;  // a shorter name replaces a longer one without a tail left over
  EXPECT_EQ(std::u16string(copy.view()), u"short");
  const EntryName constructed(copy);
  EXPECT_EQ(std::u16string(constructed.view()), u"short");
  // Room is given only where every unit asked for fits.
  name.clear();
  EXPECT_TRUE(name.append(full.data(), dirent::kMaxLongName - 13));
  char16_t* room = name.room(13);
  ASSERT_NE(room, nullptr);
  room[0] = u'q';
  name.commit(1);
  EXPECT_EQ(name.view().back(), u'q');
  EXPECT_EQ(name.room(13), nullptr);
  EXPECT_NE(name.room(12), nullptr);
}

TEST(FatDirEntry, OnlyFileAndFolderEntriesNameItems) {
  struct Case {
    const char* name11;
    std::uint8_t attr;
    bool namesNoItem;
  } cases[] = {
      {".          ", 0x10, true},
      {"..         ", 0x10, true},
      {"\0NDED      ", 0x20, true},          // the end mark
      {"AB   C  TXT", dirent::kAttrLongName, true},
      {"LABEL      ", 0x08, true},
      {"LABEL      ", 0x28, true},           // a label whatever else is set
      {"README  TXT", 0x20, false},
      {"\xE5OOK    TXT", 0x20, false},        // deleted entries still name items
      {"FOLDER     ", 0x10, false},
      {"HIDDEN  SYS", 0x07, false},
      {".HIDDEN    ", 0x20, true},           // a leading "." is read as a dot entry
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name11);
    const auto e = shortEntry(c.name11, c.attr, 5, 10);
    EXPECT_EQ(entryNamesNoItem(ByteView(e)), c.namesNoItem);
  }
}

TEST(FatDirEntry, LongNameContinuesInThePreviousClustersTail) {
  const std::u16string name = u"a name that spans the cluster edge.txt";  // 3 entries
  const auto lfn = longEntries(name, "ANAMET~1TXT");
  // The farthest two entries end the previous cluster; the nearest one starts this one.
  std::vector<std::uint8_t> tail(1024);
  std::copy(lfn.begin(), lfn.begin() + 64, tail.end() - 64);
  std::vector<std::uint8_t> current(lfn.begin() + 64, lfn.end());
  const auto sfn = shortEntry("ANAMET~1TXT", 0x20, 5, 10);
  current.insert(current.end(), sfn.begin(), sfn.end());
  current.resize(512);
  const auto ln = collectLongName(ByteView(current), 32, ByteView(tail));
  EXPECT_TRUE(ln.found);
  EXPECT_EQ(std::u16string(ln.name.view()), name);
  // Without the tail the name is not whole: no name.
  const auto cut = collectLongName(ByteView(current), 32, {});
  EXPECT_TRUE(cut.reachedStart);
  EXPECT_FALSE(cut.found);
}

TEST(FatDirEntry, DeletedFileSignaturesByExtension) {
  struct Case {
    std::u16string ext;
    std::string head;
    std::optional<bool> expected;
  };
  const std::string pdf = "%PDF-1.4";
  const std::vector<Case> cases = {
      {u"pdf", pdf, true},
      {u"PDF", "%PDF-2.0", false},
      {u"p", pdf, false},  // "p" begins "ppt" first: an OLE signature is wanted
      {u"d", std::string("\xD0\xCF\x11\xE0", 4), true},
      {u"docx", "PK\x03\x04", true},
      {u"mp4", std::string("\0\0\0\x18" "ftyp", 8), true},
      {u"mpg", "anything", false},
      {u"jpeg", "\xFF\xD8\xFF", true},
      {u"mp3", "ID3", true},
      {u"mp3", std::string("\x00\x00\x01\xBA", 4), true},
      {u"txt", "hello", std::nullopt},
      {u"", "hello", std::nullopt},
      {u"pdfx", pdf, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    std::vector<std::uint8_t> sector(512);
    std::copy(c.head.begin(), c.head.end(), sector.begin());
    EXPECT_EQ(deletedFileSignatureMatches(c.ext, ByteView(sector)), c.expected);
  }
  EXPECT_EQ(longNameExtension(u"report.final.pdf"), u"pdf");
  EXPECT_EQ(longNameExtension(u"archive.backup"), u"back");
  EXPECT_EQ(longNameExtension(u"noext"), u"noex");
}

}  // namespace
}  // namespace qelda::fs::fat
