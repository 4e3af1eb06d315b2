#include "carve/header_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "carve/header_catalogue.h"
#include "carve/header_record_layout.h"
#include "carve/raw_types.h"
#include "support/image_dir.h"

namespace qelda::carve {
namespace {

HEADER_RECORD sample() {
  HEADER_RECORD r;
  r.softwareName = u"Some picture format é";
  r.m_szExtension = u"pic";
  r.m_nOffset = 0x1FC;
  r.m_nHeaderLen = 4;
  r.m_abyHeader = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0};
  r.selected = 1;
  r.builtIn = 0;
  r.m_nMaxSize = 0x12345678;
  r.maxSizeUnit = kUnitKilobytes;
  r.group = kGroupPictures;
  r.m_wTypeId = 201;
  return r;
}

TEST(HeaderRecord, EncodesEachFieldAtItsOffsetAndDecodesItBack) {
  const HEADER_RECORD r = sample();
  const auto raw = encodeHeaderRecord(r);
  ASSERT_EQ(raw.size(), 1071u);
  const ByteView v(raw);
  namespace L = header_layout;
  EXPECT_EQ(v.le32(L::kNextSlot), 0u);
  EXPECT_EQ(v.utf16le(L::kSoftwareName, 4), u"Some");
  EXPECT_EQ(v.utf16le(L::kExtension, 4), std::u16string(u"pic\0", 4));
  EXPECT_EQ(v.le32(L::kOffset), 0x1FCu);
  EXPECT_EQ(v.u8(L::kHeaderLen), 4u);
  EXPECT_EQ(v.be32(L::kHeader), 0xDEADBEEFu);
  EXPECT_EQ(v.u8(L::kSelected), 1u);
  EXPECT_EQ(v.le32(L::kMaxSize), 0x12345678u);
  EXPECT_EQ(v.le32(L::kMaxSizeUnit), kUnitKilobytes);
  EXPECT_EQ(v.le16(L::kGroup), kGroupPictures);
  EXPECT_EQ(v.le16(L::kTypeId), 201u);

  // Decoded and written again, every field gives the same bytes.
  const auto back = decodeHeaderRecord(v);
  ASSERT_TRUE(back);
  EXPECT_EQ(encodeHeaderRecord(*back), raw);
}

TEST(HeaderRecord, TextsAreCutToLeaveRoomForTheirTerminator) {
  HEADER_RECORD r = sample();
  r.m_szExtension.assign(400, u'x');
  const auto raw = encodeHeaderRecord(r);
  EXPECT_EQ(ByteView(raw).le16(header_layout::kExtension + 2 * 259), 0u);
  const auto back = decodeHeaderRecord(ByteView(raw));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->m_szExtension, std::u16string(259, u'x'));
}

TEST(HeaderRecord, RefusesRecordsWhoseSignatureLeavesTheSector) {
  struct Case {
    const char* what;
    std::uint32_t offset;
    std::uint8_t length;
    bool usable;
  };
  const Case cases[] = {
      {"last byte of the sector", 511, 1, true},   {"eight bytes ending at 512", 504, 8, true},
      {"eight bytes from 509", 509, 8, false},     {"one byte at 512", 512, 1, false},
      {"no signature bytes", 0, 0, false},         {"nine signature bytes", 0, 9, false},
      {"offset far beyond", 0xFFFFFFFF, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HEADER_RECORD r = sample();
    r.m_nOffset = c.offset;
    r.m_nHeaderLen = c.length;
    EXPECT_EQ(hasUsableSignature(r), c.usable);
    const auto decoded = decodeHeaderRecord(ByteView(encodeHeaderRecord(r)));
    EXPECT_EQ(bool(decoded), c.usable);
    if (!c.usable) {
      EXPECT_EQ(decoded.error(), ParseError::OutOfRange);
    }
    SelectedHeaders chain;
    EXPECT_EQ(chain.append(r), c.usable);
    EXPECT_EQ(chain.empty(), !c.usable);
  }
  const auto raw = encodeHeaderRecord(sample());
  EXPECT_EQ(decodeHeaderRecord(ByteView(raw.data(), 1070)).error(), ParseError::Truncated);
}

TEST(SelectedHeaders, LinksCopiesInListOrderAndKeepsTheLinksWhenMoved) {
  SelectedHeaders chain;
  HEADER_RECORD r = sample();
  for (std::uint16_t id : {3, 1, 2}) {
    r.m_wTypeId = id;
    ASSERT_TRUE(chain.append(r));
  }
  SelectedHeaders moved(std::move(chain));
  EXPECT_TRUE(chain.empty());
  std::vector<std::uint16_t> order;
  for (const HEADER_RECORD* p = moved.head(); p; p = p->m_pNext) order.push_back(p->m_wTypeId);
  EXPECT_EQ(order, (std::vector<std::uint16_t>{3, 1, 2}));
  moved.clear();
  EXPECT_EQ(moved.head(), nullptr);
}

TEST(HeaderCatalogue, TheDefaultHasOneUsableRecordPerFinderId) {
  const auto records = defaultHeaderCatalogue();
  std::set<std::uint16_t> ids;
  for (const auto& r : records) {
    SCOPED_TRACE(r.m_wTypeId);
    EXPECT_TRUE(hasUsableSignature(r));
    EXPECT_NE(finderForType(r.m_wTypeId), RawFinder::ForwardSearch);
    EXPECT_GT(r.m_nMaxSize, 0u);
    EXPECT_FALSE(r.m_szExtension.empty());
    EXPECT_TRUE(ids.insert(r.m_wTypeId).second);
  }
  const std::set<std::uint16_t> expected = {14,  15,  16,  17,  18,  19,  48,  52,  57,  113, 114, 115,
                                            128, 132, 135, 136, 137, 176, 177, 139, 140, 141, 143, 165};
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(finderForType(142), RawFinder::ForwardSearch);
}

TEST(HeaderCatalogue, TheFileIsWrittenWhenMissingAndReadBackWithAddedTypes) {
  qelda::test::ImageDir dir;
  const std::filesystem::path folder = dir.path();
  EXPECT_FALSE(readHeaderFile(folder));
  const auto first = loadHeaderCatalogue(folder);
  EXPECT_EQ(first.size(), defaultHeaderCatalogue().size());
  ASSERT_TRUE(std::filesystem::exists(folder / "HeaderFile.cfg"));
  EXPECT_EQ(std::filesystem::file_size(folder / "HeaderFile.cfg"), first.size() * 1071);

  // A user adds a type no finder knows, and one whose signature cannot be compared.
  std::vector<HEADER_RECORD> records = first;
  HEADER_RECORD added = sample();
  records.push_back(added);
  ASSERT_TRUE(writeHeaderFile(folder, records));
  {
    // The bad record is written by hand, as a damaged file would hold it.
    auto raw = encodeHeaderRecord(added);
    raw[header_layout::kOffset] = 0xFF;
    raw[header_layout::kOffset + 1] = 0x01;  // 511, with 4 signature bytes
    std::ofstream out(folder / "HeaderFile.cfg", std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(raw.data()), std::streamsize(raw.size()));
    out.write("tail", 4);
  }
  const auto contents = readHeaderFile(folder);
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->records.size(), first.size() + 1);
  EXPECT_EQ(contents->refused, 1u);
  EXPECT_TRUE(contents->trailingBytes);
  EXPECT_EQ(contents->records.back().m_wTypeId, 201u);
  EXPECT_EQ(contents->records.back().softwareName, added.softwareName);
  EXPECT_EQ(loadHeaderCatalogue(folder).size(), first.size() + 1);
}

// A catalogue file that gives no type says why, and stays as the user left it: an empty
// file, one shorter than a record, one whose every record is refused.
TEST(HeaderCatalogue, AFileThatGivesNoTypeSaysWhyAndIsKept) {
  auto refused = encodeHeaderRecord(sample());
  refused[header_layout::kOffset] = 0xFF;
  refused[header_layout::kOffset + 1] = 0x01;  // 511, with 4 signature bytes
  struct Case {
    const char* what;
    std::string bytes;
    const char* said;
  };
  const Case cases[] = {
      {"empty", "", "it is empty"},
      {"short", std::string(100, 'x'), "it is 100 bytes long, shorter than one record of 1071 bytes"},
      {"refused", std::string(refused.begin(), refused.end()) + std::string(refused.begin(), refused.end()),
       "none of its 2 records"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    qelda::test::ImageDir dir;
    const std::filesystem::path file = std::filesystem::path(dir.path()) / "HeaderFile.cfg";
    std::ofstream(file, std::ios::binary).write(c.bytes.data(), std::streamsize(c.bytes.size()));
    std::string unusable;
    EXPECT_TRUE(loadHeaderCatalogue(dir.path(), &unusable).empty());
    EXPECT_NE(unusable.find(c.said), std::string::npos) << unusable;
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.bytes);
  }
  // A file with a readable record, or none at all (the default is written), is usable.
  qelda::test::ImageDir dir;
  std::string unusable = "stale";
  EXPECT_FALSE(loadHeaderCatalogue(dir.path(), &unusable).empty());
  EXPECT_EQ(unusable, "");
  std::ofstream(std::filesystem::path(dir.path()) / "HeaderFile.cfg", std::ios::binary | std::ios::app).write("tail", 4);
  EXPECT_FALSE(loadHeaderCatalogue(dir.path(), &unusable).empty());
  EXPECT_EQ(unusable, "");
}

}  // namespace
}  // namespace qelda::carve
