#include "fs/mft_record.h"

#include <gtest/gtest.h>

#include "fs/ntfs_layout.h"
#include "ntfs/ntfs_test_records.h"

namespace qelda::fs::ntfs {
namespace {

using test::RecordBuilder;

TEST(NtfsRecordSignature, AcceptsOnlyTheTwoFiveByteForms) {
  struct Case {
    const char* what;
    const char* signature;
    std::uint16_t usa;
    bool accepted;
  } cases[] = {
      {"FILE0", "FILE", 0x30, true},
      {"FILE*", "FILE", 0x2A, true},
      {"array at 0x28", "FILE", 0x28, false},
      {"array at 0x31", "FILE", 0x31, false},
      {"BAAD record", "BAAD", 0x30, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = RecordBuilder().build();
    std::copy(c.signature, c.signature + 4, r.begin());
    platform::putLe16(&r[4], c.usa);
    EXPECT_EQ(hasRecordSignature(ByteView(r)), c.accepted);
    const auto before = r;
    EXPECT_EQ(ApplyRecordFixup(r), c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(r, before);  // a refused record is left alone
    }
  }
}

TEST(NtfsRecordFixup, RestoresEachSectorEndFromItsOwnWord) {
  auto r = RecordBuilder().build();
  platform::putLe16(&r[0x30], 0x0007);  // update sequence number
  platform::putLe16(&r[0x32], 0xA1B2);  // sector 1's real last word
  platform::putLe16(&r[0x34], 0xC3D4);  // sector 2's
  platform::putLe16(&r[0x1FE], 0x0007);
  platform::putLe16(&r[0x3FE], 0x0007);
  ASSERT_TRUE(ApplyRecordFixup(r));
  EXPECT_EQ(*ByteView(r).le16(0x1FE), 0xA1B2);
  EXPECT_EQ(*ByteView(r).le16(0x3FE), 0xC3D4);
}

TEST(NtfsRecordSize, LargerRecordsOnlyWithTheirFixupWordsAndWhole) {
  struct Case {
    const char* what;
    std::size_t built;       // bytes of the record
    std::uint32_t claimed;   // its size at 0x1C
    std::uint16_t words;     // fixup count at 0x06
    std::size_t viewed;      // bytes handed to the parser
    std::size_t size;        // recordSizeOf
    bool accepted;
  } cases[] = {
      {"1024, no size", 1024, 0, 3, 1024, 1024, true},
      {"2048 whole", 2048, 2048, 5, 2048, 2048, true},
      {"4096 whole", 4096, 4096, 9, 4096, 4096, true},
      {"2048 in a larger buffer", 4096, 2048, 5, 4096, 2048, true},
      {"2048 seen through 1024 bytes", 2048, 2048, 5, 1024, 2048, false},
      {"4096 seen through 2048 bytes", 4096, 4096, 9, 2048, 4096, false},
      {"2048 with the words of 1024", 2048, 2048, 3, 2048, 1024, false},
      {"4096 with the words of 2048", 4096, 4096, 5, 4096, 1024, false},
      {"8192 is read as 1024", 1024, 8192, 17, 1024, 1024, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = RecordBuilder(c.built).build();
    platform::putLe32(&r[0x1C], c.claimed);
    platform::putLe16(&r[0x06], c.words);
    const ByteView view(r.data(), c.viewed);
    EXPECT_EQ(recordSizeOf(view), c.size);
    EXPECT_EQ(hasRecordSignature(view), c.accepted);
    EXPECT_EQ(ApplyRecordFixup(std::span<std::uint8_t>(r.data(), c.viewed)), c.accepted);
  }
  EXPECT_EQ(recordEntryLimit(ByteView(RecordBuilder().build())), 940u);
  EXPECT_EQ(recordEntryLimit(ByteView(RecordBuilder(4096).build())), 4012u);
}

TEST(NtfsRecordSize, LargerRecordsAreFixedUpAndWalkedToTheirEnd) {
  for (const std::size_t size : {std::size_t(2048), std::size_t(4096)}) {
    SCOPED_TRACE(size);
    // A $FILE_NAME that lies past the first 1024 bytes, behind a long resident value.
    auto r = RecordBuilder(size)
                 .resident(0x10, std::vector<std::uint8_t>(size - 400, 0))
                 .resident(0x30, test::fileNameValue(77, u"far.txt", 1))
                 .build();
    // Each 512-byte stride ends in the sequence number; the array holds the real words.
    platform::putLe16(&r[0x30], 0x0009);
    for (std::size_t k = 0; k < size / 512; ++k) {
      platform::putLe16(&r[0x32 + 2 * k], std::uint16_t(0xA000 + k));
      platform::putLe16(&r[k * 512 + 510], 0x0009);
    }
    ASSERT_TRUE(ApplyRecordFixup(r));
    for (std::size_t k = 0; k < size / 512; ++k) EXPECT_EQ(*ByteView(r).le16(k * 512 + 510), 0xA000 + k);
    // The walk does not stop at 1024 bytes (the fixups above touched no attribute bytes
    // that matter: the long value is zeros and the name lies in one stride).
    EXPECT_EQ(GetRecordFileName(ByteView(r)), u"far.txt");
    EXPECT_EQ(GetRecordParent(ByteView(r)), 77u);
  }
}

TEST(NtfsFindRecordData, DescribesDataAndIndexes) {
  const std::vector<std::uint8_t> someRuns = {0x11, 0x04, 0x20, 0x00};
  std::vector<std::uint8_t> si(0x48, 0);
  std::vector<std::uint8_t> siCompressed = si;
  siCompressed[0x21] = 0x08;

  // An $INDEX_ROOT value: header, node header with entries at 0x10, one end entry.
  auto rootValue = [](bool empty) {
    std::vector<std::uint8_t> v(0x20, 0);
    platform::putLe32(&v[0x08], 4096);
    platform::putLe32(&v[0x10], 0x10);
    auto entry = empty ? test::lastIndexEntry() : test::indexEntry(64, 5, u"a.txt");
    v.insert(v.end(), entry.begin(), entry.end());
    if (!empty) {
      auto last = test::lastIndexEntry();
      v.insert(v.end(), last.begin(), last.end());
    }
    return v;
  };

  struct Case {
    const char* what;
    RecordBuilder record;
    bool folder;
    bool ok;
    bool resident;
    std::uint8_t kind;
    std::uint8_t content;
    bool dataCompressed;
  };
  std::vector<Case> cases;
  cases.push_back({"resident data", RecordBuilder().resident(0x10, si).resident(0x80, {1, 2, 3}), false, true, true,
                   kKindFile, kContentPlain, false});
  cases.push_back({"plain runs", RecordBuilder().resident(0x10, si).nonResident(0x80, someRuns), false, true, false,
                   kKindFile, kContentPlain, false});
  cases.push_back({"compressed by its flags", RecordBuilder().nonResident(0x80, someRuns, 0x0001, 4), false, true,
                   false, kKindFile, kContentCompressed, true});
  cases.push_back({"sparse with a unit is not compressed", RecordBuilder().nonResident(0x80, someRuns, 0x8000, 4),
                   false, true, false, kKindFile, kContentPlain, false});
  cases.push_back({"encrypted", RecordBuilder().nonResident(0x80, someRuns, 0x4000), false, true, false, kKindFile,
                   kContentEncrypted, false});
  cases.push_back({"compressed by $STANDARD_INFORMATION",
                   RecordBuilder().resident(0x10, siCompressed).nonResident(0x80, someRuns), false, true, false,
                   kKindFile, kContentCompressed, false});
  cases.push_back({"small folder", RecordBuilder().resident(0x90, rootValue(false), 4), true, true, true, kKindFolder,
                   kContentPlain, false});
  cases.push_back({"large folder", RecordBuilder().resident(0x90, rootValue(true), 4).nonResident(0xA0, someRuns),
                   true, true, false, kKindFolder, kContentPlain, false});
  cases.push_back({"folder variant passes $DATA by",
                   RecordBuilder().nonResident(0x80, someRuns).resident(0x90, rootValue(false), 4), true, true, true,
                   kKindFolder, kContentPlain, false});
  cases.push_back({"nothing to find", RecordBuilder().resident(0x10, si), false, false, false, 0, 0, false});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = c.record.build();
    const auto d = FindRecordData(ByteView(r), c.folder);
    ASSERT_EQ(bool(d), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(d->resident, c.resident);
    EXPECT_EQ(d->kind, c.kind);
    EXPECT_EQ(d->contentFlag, c.content);
    EXPECT_EQ(d->dataCompressed, c.dataCompressed);
    EXPECT_LT(d->offset, 1024);
  }
}

TEST(NtfsFindRecordData, LargeFolderKeepsItsRootEntriesAndBlockSize) {
  std::vector<std::uint8_t> v(0x20, 0);
  platform::putLe32(&v[0x08], 4096);
  platform::putLe32(&v[0x10], 0x10);
  auto e = test::indexEntry(64, 5, u"a.txt");
  v.insert(v.end(), e.begin(), e.end());
  auto last = test::lastIndexEntry();
  v.insert(v.end(), last.begin(), last.end());
  RecordBuilder b;
  b.resident(0x90, v, 4);
  const std::size_t allocationAt = b.nextOffset();
  b.nonResident(0xA0, {0x11, 0x01, 0x30, 0x00});
  const auto r = b.build();
  const auto d = FindRecordData(ByteView(r), true);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->offset, allocationAt + 0x40);
  EXPECT_EQ(d->indexBlockSize, 4096u);
  // The root entry lies after the attribute header (0x18), its name (8) and the two headers.
  EXPECT_EQ(d->rootEntryOffset, 0x38 + 0x20 + 0x10 + 0x10);
}

TEST(NtfsFindRecordData, DamagedAttributeHeadersFailCleanly) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
  } cases[] = {
      {"zero-length attribute", 0x38 + 4, 0},
      {"length shorter than a header", 0x38 + 4, 8},
      {"length past the record", 0x38 + 4, 0x1000},
      {"huge length", 0x38 + 4, 0xFFFFFFF0},
      {"first attribute beyond the record", 0x14, 0x0400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = RecordBuilder().resident(0x80, {1, 2, 3}).build();
    if (c.offset == 0x14) platform::putLe16(&r[c.offset], std::uint16_t(c.value));
    else platform::putLe32(&r[c.offset], c.value);
    EXPECT_FALSE(FindRecordData(ByteView(r), false));
    EXPECT_FALSE(GetRecordFileName(ByteView(r)));
    EXPECT_EQ(GetRecordParent(ByteView(r)), 0u);
  }
}

TEST(NtfsRecordNames, PicksNamesParentAndTimes) {
  std::vector<std::uint8_t> si(0x48, 0);
  platform::putLe64(&si[0], 0x01D7000000000001ull);
  platform::putLe64(&si[8], 0x01D7000000000002ull);
  const auto r = RecordBuilder()
                     .resident(0x10, si)
                     .resident(0x30, test::fileNameValue(77, u"LONGFI~1.TXT", 2))
                     .resident(0x30, test::fileNameValue(77, u"Long File Name.txt", 1))
                     .build();
  const ByteView v(r);
  EXPECT_EQ(GetRecordLongFileName(v).value_or(u""), u"Long File Name.txt");
  EXPECT_EQ(GetRecordFileName(v).value_or(u""), u"LONGFI~1.TXT");
  EXPECT_EQ(GetRecordParent(v), 77u);
  EXPECT_EQ(GetRecordTimes(v).created, 0x01D7000000000001ull);
  EXPECT_EQ(GetRecordTimes(v).modified, 0x01D7000000000002ull);

  // A name whose length runs past the attribute gives no name.
  auto broken = RecordBuilder().resident(0x30, test::fileNameValue(5, u"abc", 3)).build();
  broken[0x38 + 0x18 + 0x40] = 200;
  EXPECT_FALSE(GetRecordFileName(ByteView(broken)));
  EXPECT_FALSE(GetRecordLongFileName(ByteView(broken)));
}

TEST(NtfsDecodeDataRuns, DecodesAndBoundsEveryRun) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool accept;
    std::size_t runs;
    std::uint64_t sectors;  // with 8 sectors per cluster
    bool terminated;
  } cases[] = {
      {"empty list", {0x00}, false, 0, 0, false},
      {"one run", {0x21, 0x10, 0x00, 0x01, 0x00}, false, 1, 128, true},
      {"run and a sparse run", {0x11, 0x04, 0x20, 0x01, 0x0C, 0x00}, false, 2, 128, true},
      {"length field of 5 bytes, refused", {0x11, 0x04, 0x20, 0x05, 1, 2, 3, 4, 5, 0x00}, false, 0, 0, false},
      {"length field of 5 bytes, kept", {0x11, 0x04, 0x20, 0x05, 1, 2, 3, 4, 5, 0x00}, true, 1, 32, false},
      {"offset field of 5 bytes", {0x51, 0x04, 1, 2, 3, 4, 5, 0x00}, true, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> record(1024, 0);
    std::copy(c.bytes.begin(), c.bytes.end(), record.begin() + 0x100);
    std::vector<RunEntry> runs;
    std::size_t offset = 0x100;
    bool terminated = false;
    EXPECT_EQ(DecodeDataRuns(ByteView(record), offset, runs, c.accept, 8, &terminated), c.sectors);
    EXPECT_EQ(runs.size(), c.runs);
    EXPECT_EQ(terminated, c.terminated);
    if (!runs.empty()) {
      EXPECT_EQ(runs[0].kind, 'S');
    }
    if (runs.size() > 1) {
      EXPECT_EQ(runs[1].kind, 'M');
    }
  }
}

TEST(NtfsDecodeDataRuns, NeverReadsPastTheRecord) {
  std::vector<std::uint8_t> record(1024, 0);
  // A header at 1020 that promises 2 + 4 bytes: only 3 are left.
  record[1020] = 0x42;
  record[1021] = 1;
  std::vector<RunEntry> runs;
  std::size_t offset = 1020;
  EXPECT_EQ(DecodeDataRuns(ByteView(record), offset, runs, true, 1), 0u);
  EXPECT_TRUE(runs.empty());
  // Starting at the record's end or beyond fails at once.
  for (std::size_t start : {std::size_t(1024), std::size_t(5000)}) {
    offset = start;
    EXPECT_EQ(DecodeDataRuns(ByteView(record), offset, runs, true, 1), 0u);
    EXPECT_TRUE(runs.empty());
  }
}

TEST(NtfsDataRuns, SignedOffsetsPlaceRunsOnTheVolume) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool ok;
    std::vector<std::uint64_t> lcns;  // first LCN of each data run, holes left out
  } cases[] = {
      {"one byte 0xFF moves back one cluster", {0x11, 0x02, 0x10, 0x11, 0x01, 0xFF, 0x00}, true, {16, 15}},
      {"three-byte negative delta", {0x31, 0x01, 0x00, 0x00, 0x10, 0x31, 0x01, 0x00, 0x00, 0xF0, 0x00}, true,
       {0x100000, 0}},
      {"two-byte 0x8000 is negative", {0x31, 0x01, 0x00, 0x90, 0x00, 0x21, 0x01, 0x00, 0x80, 0x00}, true,
       {0x9000, 0x1000}},
      {"start below cluster 0", {0x11, 0x01, 0x05, 0x11, 0x01, 0xF0, 0x00}, false, {}},
      {"holes keep the position", {0x11, 0x02, 0x10, 0x01, 0x03, 0x11, 0x01, 0x02, 0x00}, true, {16, 18}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<RunEntry> runs;
    std::size_t offset = 0;
    DecodeDataRuns(ByteView(c.bytes), offset, runs, false, 1);
    const auto extents = runsToExtents(runs);
    ASSERT_EQ(bool(extents), c.ok);
    if (!c.ok) continue;
    std::vector<std::uint64_t> lcns;
    for (const Extent& e : *extents)
      if (!e.hole) lcns.push_back(e.lcn);
    EXPECT_EQ(lcns, c.lcns);
  }
}

TEST(NtfsDataRuns, MapsVcnsThroughExtentsAndHoles) {
  const std::vector<std::uint8_t> bytes = {0x11, 0x02, 0x10, 0x01, 0x03, 0x11, 0x01, 0x02, 0x00};
  std::vector<RunEntry> runs;
  std::size_t offset = 0;
  DecodeDataRuns(ByteView(bytes), offset, runs, false, 1);
  const auto extents = runsToExtents(runs);
  ASSERT_TRUE(extents);
  struct Case {
    std::uint64_t vcn;
    bool mapped;
    bool hole;
    std::uint64_t lcn;
  } cases[] = {{0, true, false, 16}, {1, true, false, 17}, {2, true, true, 0},
               {4, true, true, 0},   {5, true, false, 18}, {6, false, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vcn);
    const auto m = mapVcn(*extents, c.vcn);
    ASSERT_EQ(bool(m), c.mapped);
    if (!m) continue;
    EXPECT_EQ(m->hole, c.hole);
    if (!c.hole) {
      EXPECT_EQ(m->lcn, c.lcn);
    }
  }
}

TEST(NtfsAttributeList, EntriesAreBoundedAndRecordsListedOnce) {
  auto entry = [](std::uint8_t type, std::uint32_t record, std::uint64_t vcn, std::uint8_t nameLength = 0) {
    std::vector<std::uint8_t> e(0x20, 0);
    e[0] = type;
    platform::putLe16(&e[4], 0x20);
    e[6] = nameLength;
    platform::putLe64(&e[8], vcn);
    platform::putLe32(&e[0x10], record);
    return e;
  };
  std::vector<std::uint8_t> list;
  for (const auto& e : {entry(0x10, 0, 0), entry(0x30, 0, 0), entry(0x80, 0, 0), entry(0x80, 40, 100),
                        entry(0x80, 41, 200), entry(0x80, 40, 300), entry(0x80, 42, 0, 3), entry(0xB0, 0, 0)})
    list.insert(list.end(), e.begin(), e.end());
  EXPECT_EQ(ReadAttributeListRecords(ByteView(list), 0u), (std::vector<std::uint32_t>{40, 41}));
  EXPECT_EQ(ReadAttributeListRecords(ByteView(list), std::nullopt), (std::vector<std::uint32_t>{0, 40, 41}));

  // An entry shorter than its fixed part ends the walk instead of looping on it.
  for (std::uint16_t badLength : {std::uint16_t(0), std::uint16_t(0x19), std::uint16_t(0x400)}) {
    SCOPED_TRACE(badLength);
    auto broken = list;
    platform::putLe16(&broken[0x20 * 3 + 4], badLength);
    EXPECT_EQ(parseAttributeList(ByteView(broken)).size(), 3u);
  }
}


TEST(NtfsRecordClusterSize, OnlyARecordHoldingAllOfItsStreamGivesOne) {
  // Runs of 2 clusters, a hole of 3 and 2 more: 7 clusters, the last VCN 6.
  const std::vector<std::uint8_t> runs = {0x21, 0x02, 0x69, 0x08, 0x01, 0x03, 0x11, 0x02, 0x10};
  struct Case {
    const char* what;
    std::uint64_t lowestVcn, highestVcn, allocated;
    std::uint32_t spc;
  } cases[] = {
      {"4096-byte clusters, the hole counted", 0, 6, 7 * 4096, 8},
      {"a last VCN the runs do not reach", 0, 7, 8 * 4096, 0},
      {"a piece that does not start the stream", 2, 8, 7 * 4096, 0},
      {"an allocation of no valid cluster size", 0, 6, 7 * 1536, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordBuilder b;
    const std::size_t a = b.nextOffset();
    b.nonResident(layout::kTypeData, runs, 0, 0, c.allocated);
    platform::putLe64(&b.bytes()[a + layout::kAttrLowestVcn], c.lowestVcn);
    platform::putLe64(&b.bytes()[a + layout::kAttrHighestVcn], c.highestVcn);
    EXPECT_EQ(recordClusterSectors(ByteView(b.bytes())), c.spc);
  }
  RecordBuilder resident;
  resident.resident(layout::kTypeData, std::vector<std::uint8_t>(100, 7));
  EXPECT_EQ(recordClusterSectors(ByteView(resident.bytes())), 0u);
}

namespace L = layout;

// An extension record naming `base` with sequence `named`, and a base record's own header.
std::vector<std::uint8_t> extensionNaming(std::uint64_t base, std::uint16_t named) {
  RecordBuilder ext;
  platform::putLe64(&ext.bytes()[L::kRecordBaseReference], base | std::uint64_t(named) << 48);
  return ext.build();
}
std::vector<std::uint8_t> baseRecord(std::uint16_t sequence, bool inUse) {
  RecordBuilder base;
  platform::putLe16(&base.bytes()[L::kRecordSequence], sequence);
  platform::putLe16(&base.bytes()[L::kRecordFlags], inUse ? 1 : 0);
  return base.build();
}

TEST(ExtensionRecords, BelongToTheBaseTheyNameWhileItsSequenceAllows) {
  struct Case {
    std::uint16_t named, baseSequence;
    bool baseInUse, belongs;
  };
  // A freed base counts its sequence up and its extensions keep the old one; a base used
  // again since (two counts on, or in use under a newer one) is another file's.
  for (const Case c : {Case{1, 1, true, true}, Case{1, 2, false, true}, Case{2, 2, false, true},
                       Case{0xFFFF, 1, false, true}, Case{1, 2, true, false}, Case{1, 3, false, false}}) {
    const auto ext = extensionNaming(66, c.named);
    const auto base = baseRecord(c.baseSequence, c.baseInUse);
    EXPECT_EQ(extendsRecord(ByteView(ext), 66, ByteView(base)), c.belongs)
        << c.named << " named, base at " << c.baseSequence << (c.baseInUse ? " in use" : " freed");
  }
  const auto base = baseRecord(2, false);
  EXPECT_FALSE(extendsRecord(ByteView(extensionNaming(67, 1)), 66, ByteView(base)));
  EXPECT_FALSE(extendsRecord(ByteView(extensionNaming(66 | std::uint64_t(1) << 32, 1)), 66, ByteView(base)));
}

TEST(RemovedFileName, IsReadPastTheEndMarkerOfAFreedExtensionOnly) {
  RecordBuilder ext;
  platform::putLe64(&ext.bytes()[L::kRecordBaseReference], 66 | std::uint64_t(1) << 48);
  const std::size_t at = ext.nextOffset();
  ext.resident(L::kTypeFileName, test::fileNameValue(64, u"beta.bin", 0));
  // Live, the name is an attribute: nothing lies past the marker.
  EXPECT_EQ(removedFileName(ByteView(ext.bytes())), std::nullopt);
  EXPECT_EQ(GetRecordLongFileName(ByteView(ext.bytes())), u"beta.bin");
  // Removed: the marker moved down over the attribute's type and length.
  auto removed = ext.build();
  platform::putLe32(&removed[at], 0xFFFFFFFF);
  platform::putLe32(&removed[at + 4], 0);
  EXPECT_EQ(GetRecordLongFileName(ByteView(removed)), std::nullopt);
  const auto name = removedFileName(ByteView(removed));
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->name, u"beta.bin");
  EXPECT_EQ(name->parent, 64u);
  // A base record's tail is no extension's removed name; a value whose length disagrees with
  // its name is none either.
  auto base = removed;
  platform::putLe64(&base[L::kRecordBaseReference], 0);
  EXPECT_EQ(removedFileName(ByteView(base)), std::nullopt);
  platform::putLe32(&removed[at + L::kAttrValueLength], 0x42 + 2 * 7);
  EXPECT_EQ(removedFileName(ByteView(removed)), std::nullopt);
}

}  // namespace
}  // namespace qelda::fs::ntfs
