#include <gtest/gtest.h>

#include <sys/stat.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <vector>

#include "engine/scan_image_layout.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "save/scan_info_file.h"
#include "save/scan_info_format.h"
#include "support/image_dir.h"

namespace qelda::save {
namespace {

using platform::ByteView;

FOUND_ITEM sampleItem(std::uint32_t i) {
  FOUND_ITEM item;
  item.m_nSize = 0x1122334455667788ull + i;
  item.m_nRecordKey = 0x0A0B0C0D0E0F1011ull + i;
  item.m_nParentId = 5 + i;
  item.m_nId = 0xFFFFFFF0u - i;  // a made-up folder's negative id
  item.m_byAttributes = i % 3 == 0 ? kItemFolder : kItemFile;
  item.m_ftModified = 0x01D9000000000000ull + i;
  item.m_ftCreated = 0x01D8000000000000ull + i;
  item.m_byFlags = std::uint8_t(i & 0x0F);
  item.m_nAltParentId = 0xCAFEBABE;
  item.m_byViewFlags = 0x5A;
  item.lastFlags = i % 2 ? kItemSizeFromLog : 0;
  return item;
}

// Every stored field the same: written again, the same bytes (pointer slots are written zero).
void expectSameItem(const FOUND_ITEM& a, const FOUND_ITEM& b) { EXPECT_EQ(encodeFoundItem(a), encodeFoundItem(b)); }

TEST(StoredFoundItem, PointerSlotsAreWrittenZeroAndIgnoredWhenRead) {
  FOUND_ITEM item = sampleItem(1);
  FOUND_ITEM other;
  item.m_pNext = &other;
  item.m_pPrev = &other;
  item.m_hTreeItem = &other;
  item.m_pszName = u"x";
  auto bytes = encodeFoundItem(item);
  ASSERT_EQ(bytes.size(), 73u);
  const ByteView v(bytes);
  for (std::size_t slot : {stored_item::kNext, stored_item::kPrev, stored_item::kName})
    EXPECT_EQ(*v.le32(slot), 0u) << slot;
  for (std::size_t i = 0; i < stored_item::kViewSlotBytes; ++i) EXPECT_EQ(bytes[stored_item::kViewSlots + i], 0);
  // The fields after the flag byte sit where readers of the stored item look for them.
  EXPECT_EQ(*v.u8(66), item.m_byFlags);
  EXPECT_EQ(*v.le32(67), 0xCAFEBABEu);
  EXPECT_EQ(*v.u8(71), 0x5A);
  EXPECT_EQ(*v.u8(72), kItemSizeFromLog);

  std::fill_n(bytes.begin(), 21, 0xEE);  // junk in every slot before the size
  std::fill_n(bytes.begin() + stored_item::kName, 4, 0xEE);
  const FOUND_ITEM back = decodeFoundItem(ByteView(bytes));
  expectSameItem(back, item);
  EXPECT_EQ(back.m_pNext, nullptr);
  EXPECT_EQ(back.m_pPrev, nullptr);
  EXPECT_EQ(back.m_hTreeItem, nullptr);
  EXPECT_EQ(back.m_pszName, nullptr);
}

TEST(StoredFoundItem, NameIsCutTo255AndMustEnd) {
  const std::u16string longName(300, u'\u00fc');
  auto bytes = encodeStoredItem(sampleItem(2), longName);
  ASSERT_EQ(bytes.size(), 593u);
  auto back = decodeStoredItem(ByteView(bytes));
  ASSERT_TRUE(back) << back.cause();
  EXPECT_EQ(back->name, longName.substr(0, 255));
  expectSameItem(back->item, sampleItem(2));

  std::fill(bytes.begin() + 73, bytes.end(), 0x41);  // 260 units, no terminator
  EXPECT_FALSE(decodeStoredItem(ByteView(bytes)));
  bytes[73 + 2 * 255] = bytes[73 + 2 * 255 + 1] = 0;  // 255 characters, then the NUL
  EXPECT_TRUE(decodeStoredItem(ByteView(bytes)));
  bytes[73 + 2 * 255] = 0x41;  // 256 characters before the first NUL: longer than a name may be
  bytes[73 + 2 * 256] = bytes[73 + 2 * 256 + 1] = 0;
  EXPECT_FALSE(decodeStoredItem(ByteView(bytes)));
  EXPECT_FALSE(decodeStoredItem(ByteView(bytes.data(), 592)));
}

SCAN_INFO_DESCRIPTOR sampleDescriptor(std::u16string path) {
  SCAN_INFO_DESCRIPTOR d;
  d.savedAt = {2024, 2, 4, 29, 23, 59, 60, 999};
  d.scanInfoPath = std::move(path);
  d.sourceKind = 7;
  return d;
}

TEST(ScanInfoDescriptor, RoundTripsAndRefusesWhatIsNoDescriptor) {
  const SCAN_INFO_DESCRIPTOR d = sampleDescriptor(u"/home/u/scans/disk.img");
  auto bytes = d.encode();
  ASSERT_EQ(bytes.size(), 589u);
  auto back = SCAN_INFO_DESCRIPTOR::decode(ByteView(bytes));
  ASSERT_TRUE(back) << back.cause();
  EXPECT_EQ(back->savedAt, d.savedAt);
  EXPECT_EQ(back->scanInfoPath, d.scanInfoPath);
  EXPECT_EQ(back->sourceKind, 7);

  struct Case {
    const char* what;
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"month 13", 2, {13, 0}},   {"month 0", 2, {0, 0}},        {"weekday 7", 4, {7, 0}},
      {"day 0", 6, {0, 0}},       {"hour 24", 8, {24, 0}},       {"minute 60", 10, {60, 0}},
      {"second 61", 12, {61, 0}}, {"ms 1000", 14, {0xE8, 0x03}},
      {"path without terminator", 16, std::vector<std::uint8_t>(520, 0x41)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bad = bytes;
    std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + std::ptrdiff_t(c.offset));
    EXPECT_FALSE(SCAN_INFO_DESCRIPTOR::decode(ByteView(bad)));
  }
  EXPECT_FALSE(SCAN_INFO_DESCRIPTOR::decode(ByteView(bytes.data(), 588)));
}

TEST(ScanInfoIndex, AppendsReadsBackInOrderAndRefusesTornOrBadRecords) {
  test::ImageDir dir;
  const std::string index = dir.file(std::string(kScanInfoIndexName));
  auto empty = readScanInfoIndex(index);
  ASSERT_TRUE(empty) << empty.cause();
  EXPECT_TRUE(empty->empty());
  for (const char16_t* p : {u"/a.img", u"/b.img", u"/c.img"}) EXPECT_EQ(appendScanInfoIndex(index, sampleDescriptor(p)), "");
  EXPECT_EQ(std::filesystem::file_size(index), 3u * 589u);
  auto all = readScanInfoIndex(index);
  ASSERT_TRUE(all) << all.cause();
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ((*all)[0].scanInfoPath, u"/a.img");
  EXPECT_EQ((*all)[2].scanInfoPath, u"/c.img");

  std::ofstream(index, std::ios::app) << "torn";
  const auto torn = readScanInfoIndex(index);
  ASSERT_FALSE(torn);
  EXPECT_NE(torn.cause().find("whole number"), std::string::npos);

  // A bad record is refused by its number.
  std::filesystem::resize_file(index, 3u * 589u);
  auto bad = sampleDescriptor(u"/b.img").encode();
  bad[2] = 13;  // month
  dir.putAt(std::string(kScanInfoIndexName), 589, bad);
  const auto r = readScanInfoIndex(index);
  ASSERT_FALSE(r);
  EXPECT_NE(r.cause().find("record 2"), std::string::npos) << r.cause();

  EXPECT_NE(appendScanInfoIndex(dir.path(), sampleDescriptor(u"/d.img")), "");  // a folder, not a file
}

// --- whole files ---------------------------------------------------------------------------

engine::SCAN_IMAGE_HEADER ntfsHeader(std::uint32_t runRecords) {
  engine::SCAN_IMAGE_HEADER h;
  h.m_byFsCode = volume::kFsNtfs;
  h.mftSector = 64;
  h.mftRunCount = 2;
  h.mftRunListBytes = 28;
  h.runRecordCount = runRecords;
  h.sectorsPerCluster = 8;
  h.startSector = 2048;
  h.sectorCount = 100000;
  h.lastSector = 102048;
  h.m_szSourcePath = u"/images/ntfs.vmdk";
  h.m_bySourceKind = 1;
  return h;
}

std::vector<std::uint8_t> tableBytes(std::size_t n) {
  std::vector<std::uint8_t> t(n);
  for (std::size_t i = 0; i < n; ++i) t[i] = std::uint8_t(i * 7 + i / 251);
  return t;
}

std::u16string itemName(std::uint32_t i) { return u"file-" + std::u16string(1, char16_t(u'a' + i % 26)) + u".txt"; }

struct SavedScan {
  std::vector<std::uint8_t> tables;
  std::uint32_t items = 0;
};

// Writes a scan with two source entries (the whole disk and one volume) and `items` items.
SavedScan writeScan(const std::string& path, std::size_t tableSize, std::uint32_t items) {
  SavedScan s{tableBytes(tableSize), items};
  auto writer = ScanInfoWriter::create(path);
  EXPECT_TRUE(writer) << writer.cause();
  const std::size_t half = s.tables.size() / 2;
  EXPECT_TRUE(writer->writeEngineTables({s.tables.data(), half}));
  EXPECT_TRUE(writer->writeEngineTables({s.tables.data() + half, s.tables.size() - half}));
  volume::DEVICE_ENTRY disk;
  disk.m_byKind = volume::kKindWholeDisk;
  disk.m_szName = u"VMDK-Vol 1";
  disk.m_pDetail.makeDrive().m_nSizeSectors = 204800;
  volume::DEVICE_ENTRY volume;
  volume.m_byKind = volume::kKindPartition;
  volume.m_wIndex = 1;
  volume::VOLUME_RECORD& v = volume.m_pDetail.makeVolume();
  v.m_szFileSystem = u"NTFS";
  v.m_byFileSystem = volume::kFsNtfs;
  v.m_nStartSector = 2048;
  v.m_nSectorCount = 100000;
  EXPECT_TRUE(writer->writeSourceEntry(disk));
  EXPECT_TRUE(writer->writeSourceEntry(volume));
  for (std::uint32_t i = 0; i < items; ++i) EXPECT_TRUE(writer->writeFoundItem(sampleItem(i), itemName(i)));
  EXPECT_TRUE(writer->finish(ntfsHeader(std::uint32_t(tableSize / 28)), sampleDescriptor(u"/scans/x.img")))
      << writer->cause();
  return s;
}

class RecordingConsole final : public platform::IFoundItemSink {
 public:
  void ResetFoundTree() override { ++resets; }
  std::uint32_t AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override {
    items.push_back(item);
    names.emplace_back(name);
    return std::uint32_t(items.size() - 1);
  }
  void SetFoundItemParent(std::uint32_t, std::uint32_t) override {}
  void SetFoundItemSize(std::uint32_t, std::uint64_t, std::uint8_t) override {}
  void UpdateStatusCounts() override { ++counts; }
  void CollapseRootChildren() override {}
  void QueueItemRename(const FOUND_ITEM&, std::u16string_view) override {}
  void ApplyQueuedRenames() override {}
  int resets = 0, counts = 0;
  std::deque<FOUND_ITEM> items;
  std::vector<std::u16string> names;
};

TEST(ScanInfoFile, WritesAndLoadsEveryPart) {
  test::ImageDir dir;
  const std::string path = dir.file("scan.img");
  const SavedScan saved = writeScan(path, 3 * 1024 * 1024 + 28, 1000);  // tables larger than one piece

  auto loader = ScanInfoLoader::open(path);
  ASSERT_TRUE(loader) << loader.cause();
  const engine::SCAN_IMAGE_HEADER& h = loader->header();
  EXPECT_EQ(h.engineTableBytes, saved.tables.size());
  EXPECT_EQ(h.sourceEntryCount, 2u);
  EXPECT_EQ(h.foundItemCount, 1000u);
  EXPECT_EQ(h.noDriveSearch, 1);  // set by the writer: restoring never looks for a drive
  EXPECT_EQ(h.runRecordCount, (3u * 1024 * 1024 + 28) / 28);
  EXPECT_EQ(h.m_szSourcePath, u"/images/ntfs.vmdk");
  EXPECT_EQ(loader->descriptor().scanInfoPath, u"/scans/x.img");

  std::vector<std::uint8_t> tables;
  std::size_t pieces = 0;
  ASSERT_TRUE(loader->readEngineTables([&](std::span<const std::uint8_t> b) {
    tables.insert(tables.end(), b.begin(), b.end());
    ++pieces;
    return true;
  }));
  EXPECT_EQ(tables, saved.tables);
  EXPECT_EQ(pieces, 4u);

  const auto& entries = loader->sourceEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].m_szName, u"VMDK-Vol 1");
  ASSERT_NE(entries[0].m_pDetail.drive(), nullptr);
  EXPECT_EQ(entries[0].m_pDetail.drive()->m_nSizeSectors, 204800u);
  ASSERT_NE(entries[1].m_pDetail.volume(), nullptr);
  EXPECT_EQ(entries[1].m_pDetail.volume()->m_szFileSystem, u"NTFS");
  EXPECT_EQ(entries[1].m_pDetail.volume()->m_nSectorCount, 100000u);

  // The items reach the console as a scan reports them.
  RecordingConsole console;
  ASSERT_TRUE(replayFoundItems(*loader, console));
  EXPECT_EQ(console.resets, 1);
  EXPECT_EQ(console.counts, 1000);
  ASSERT_EQ(console.items.size(), 1000u);
  for (std::uint32_t i = 0; i < 1000; ++i) {
    expectSameItem(console.items[i], sampleItem(i));
    EXPECT_EQ(console.names[i], itemName(i));
  }
}

TEST(ScanInfoWriter, NeverReplacesAFileAndLeavesNoHalfFile) {
  test::ImageDir dir;
  const std::string existing = dir.putText("taken.img", "a user's file");
  EXPECT_FALSE(ScanInfoWriter::create(existing));
  std::ifstream in(existing);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "a user's file");

  const std::string path = dir.file("half.img");
  {
    auto writer = ScanInfoWriter::create(path);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->writeFoundItem(sampleItem(0), u"a"));
    EXPECT_FALSE(writer->writeEngineTables(tableBytes(28)));  // tables after items: out of order
    EXPECT_NE(writer->cause().find("out of order"), std::string::npos);
    EXPECT_FALSE(writer->finish(ntfsHeader(0), sampleDescriptor(u"/x")));  // a failed writer stays failed
  }
  EXPECT_FALSE(std::filesystem::exists(path));

  {
    auto writer = ScanInfoWriter::create(path);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->writeEngineTables(tableBytes(28)));
    EXPECT_FALSE(writer->finish(ntfsHeader(2), sampleDescriptor(u"/x")));  // two run records in 28 bytes
    EXPECT_NE(writer->cause().find("run records"), std::string::npos) << writer->cause();
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

// Hostile files: a sound file, then one damage per row; each must be refused whole, with a
// cause that names the file and what is wrong.
TEST(ScanInfoLoader, RefusesDamagedFiles) {
  test::ImageDir dir;
  const std::string good = dir.file("good.img");
  writeScan(good, 56, 3);
  std::ifstream in(good, std::ios::binary);
  const std::vector<std::uint8_t> sound((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t entries = 1024 + 56;
  const std::size_t items = entries + 532 + 287 + 532 + 407;
  const std::size_t trailer = items + 3 * 593;
  ASSERT_EQ(sound.size(), trailer + 1024);

  using Bytes = std::vector<std::uint8_t>;
  const auto put32 = [](Bytes& b, std::size_t at, std::uint32_t v) { platform::putLe32(&b[at], v); };
  namespace h = engine::scan_header;
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    const char* cause;
  };
  const std::vector<Case> cases = {
      {"empty", [](Bytes& b) { b.clear(); }, "shorter than a header"},
      {"header cut", [](Bytes& b) { b.resize(1500); }, "shorter than a header"},
      // Parts are measured from both ends: a missing byte anywhere shows in the source list.
      {"trailer cut", [](Bytes& b) { b.resize(b.size() - 1); }, "source entry 2: its record passes the end"},
      {"last item cut", [&](Bytes& b) { b.erase(b.begin() + std::ptrdiff_t(trailer - 1)); }, "passes the end"},
      {"one item more than the file holds", [&](Bytes& b) { put32(b, h::kFoundItemCount, 4); }, "do not fit"},
      {"item count near 2^32", [&](Bytes& b) { put32(b, h::kFoundItemCount, 0xFFFFFFFF); }, "found items pass the end"},
      {"entry count beyond the file", [&](Bytes& b) { put32(b, h::kSourceEntryCount, 0x7FFFFFFF); }, "source entries do not fit"},
      {"one entry fewer than written", [&](Bytes& b) { put32(b, h::kSourceEntryCount, 1); }, "belong to no part"},
      {"entry count one too many", [&](Bytes& b) { put32(b, h::kSourceEntryCount, 3); }, "source entries do not fit"},
      {"source entry of kind 13", [&](Bytes& b) { b[entries + 7] = 13; }, "source entry 1: kind 13"},
      {"engine tables beyond the file",
       [&](Bytes& b) { platform::putLe64(&b[h::kEngineTableBytes], 0xFFFFFFFFFFFFull); }, "engine tables of"},
      {"engine tables a byte longer", [&](Bytes& b) { platform::putLe64(&b[h::kEngineTableBytes], 57); }, "source entry"},
      {"bad sectors per cluster", [&](Bytes& b) { b[h::kSectorsPerCluster] = 3; }, "sectors per cluster 3"},
      {"source path without terminator",
       [&](Bytes& b) { std::fill_n(b.begin() + h::kSourcePath, 520, 0x41); }, "source path has no terminator"},
      {"item name without terminator",
       [&](Bytes& b) { std::fill_n(b.begin() + std::ptrdiff_t(items + 593 + 73), 520, 0x41); }, "found item 2"},
      {"descriptor path without terminator",
       [&](Bytes& b) { std::fill_n(b.begin() + std::ptrdiff_t(trailer + 16), 520, 0x41); }, "trailer"},
      {"bytes appended", [](Bytes& b) { b.insert(b.end(), 593, 0); }, "belong to no part"},
      {"header left as the writer reserved it", [](Bytes& b) { std::fill_n(b.begin(), 1024, 0); }, "sectors per cluster 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = sound;
    c.damage(bytes);
    const std::string path = dir.file("bad.img");
    std::filesystem::remove(path);
    dir.putAt("bad.img", 0, bytes);
    if (bytes.empty()) dir.truncate("bad.img", 0);
    const auto r = ScanInfoLoader::open(path);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.cause().rfind(path + ": ", 0), 0u) << r.cause();
    EXPECT_NE(r.cause().find(c.cause), std::string::npos) << r.cause();
  }
  const auto missing = ScanInfoLoader::open(dir.file("none.img"));
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.cause().find("No such file"), std::string::npos);
}

// A crafted file whose folders name each other as parents: after the replay every item's
// parents lead to the root (as a save walks the tree), each cycle entered at its first
// folder in file order under a made-up folder named by the parent it named; a folder that
// names itself stands at the root, and an existing "Lost folder(s)" is used.
TEST(ScanInfoReplay, FoldersInAParentCycleAreBrokenOutUnderMadeUpFolders) {
  struct Entry {
    std::uint32_t id, parent;
    bool folder;
    const char16_t* name;
  };
  const std::vector<Entry> entries = {
      {20, 5, true, u"docs"},
      {100, 101, true, u"A"},  // A and B: each other's parent
      {101, 100, true, u"B"},
      {200, 100, false, u"a.txt"},
      {201, 101, false, u"b.txt"},
      {202, 5, false, u"top.txt"},
      {301, 300, true, u"D"},  // C, D, E: a cycle of three, D found first
      {300, 302, true, u"C"},
      {302, 301, true, u"E"},
      {203, 301, false, u"c.txt"},
      {400, 400, true, u"S"},  // its own parent
      {500, 100, true, u"under A"},
      {204, 500, false, u"deep.txt"},
  };
  for (const bool withLostFolder : {false, true}) {
    SCOPED_TRACE(withLostFolder);
    test::ImageDir dir;
    const std::string path = dir.file("cycles.img");
    {
      auto writer = ScanInfoWriter::create(path);
      ASSERT_TRUE(writer);
      ASSERT_TRUE(writer->writeEngineTables(tableBytes(28)));
      for (const Entry& e : entries) {
        FOUND_ITEM item;
        item.m_nId = e.id;
        item.m_nParentId = e.parent;
        item.m_byAttributes = e.folder ? kItemFolder : kItemFile;
        ASSERT_TRUE(writer->writeFoundItem(item, e.name));
      }
      if (withLostFolder) {
        FOUND_ITEM lost;
        lost.m_nId = 1;
        lost.m_nParentId = 5;
        lost.m_byAttributes = kItemFolder;
        ASSERT_TRUE(writer->writeFoundItem(lost, u"Lost folder(s)"));
      }
      ASSERT_TRUE(writer->finish(ntfsHeader(0), sampleDescriptor(u"/scans/cycles.img"))) << writer->cause();
    }
    auto loader = ScanInfoLoader::open(path);
    ASSERT_TRUE(loader) << loader.cause();
    results::CFileFolderTree tree;
    ASSERT_TRUE(replayFoundItems(*loader, tree));

    std::set<std::string> paths;
    std::size_t files = 0;
    for (const results::FoundItemRef i : tree.items()) {
      std::set<std::uint32_t> seen;
      results::FoundItemRef p = i;
      while (p && seen.insert(p.index()).second) p = tree.parentOf(p);
      EXPECT_FALSE(p) << platform::toUtf8(tree.nameOf(i)) << " never reaches the root";
      paths.insert(platform::toUtf8(tree.pathOf(i)));
      files += i->isFolder() ? 0 : 1;
    }
    EXPECT_EQ(files, 5u);
    for (const char* want : {"docs", "top.txt", "S", "Lost folder(s)/Folder 101/A/a.txt",
                             "Lost folder(s)/Folder 101/A/B/b.txt", "Lost folder(s)/Folder 101/A/under A/deep.txt",
                             "Lost folder(s)/Folder 300/D/E/C", "Lost folder(s)/Folder 300/D/c.txt"})
      EXPECT_TRUE(paths.count(want)) << want;
    // One "Lost folder(s)" and one made-up folder for each cycle, no more.
    EXPECT_EQ(tree.folderCount(), 8u + 1u + 2u);
    EXPECT_EQ(tree.size(), entries.size() + 1u + 2u);
  }
}

}  // namespace
}  // namespace qelda::save
