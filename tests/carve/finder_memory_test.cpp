// What the finders of a sweep remember must never change what they find: on disks mixed from
// hostile sectors, real files and noise, each sector is sized with a memory shared by every
// sector before it (in disk order, and backwards, as a block matched again is) and without
// one, and the two answers must be the same.
#include "carve/finder_memory.h"

#include <gtest/gtest.h>

#include <random>

#include "carve/carve_test_support.h"
#include "carve/raw_types.h"

namespace qelda::carve::test {
namespace {

Bytes sector(std::initializer_list<std::pair<std::size_t, Bytes>> parts) {
  Bytes s(512, 0);
  for (const auto& [at, data] : parts) std::copy(data.begin(), data.end(), s.begin() + std::ptrdiff_t(at));
  return s;
}
Bytes text(std::string_view t) { return Bytes(t.begin(), t.end()); }
Bytes be16(std::uint16_t v) { return {std::uint8_t(v >> 8), std::uint8_t(v)}; }
Bytes be32(std::uint32_t v) { return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)}; }
Bytes le16(std::uint16_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8)}; }
Bytes le32(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }

// Sectors that start or continue the walks the memory shortens: segments, frames and scan
// data of JPEG, PNG chunks and data chunks, zip entries, end records, RAR blocks, GIF
// sub-blocks, AVI chunks, HTML pages and titles, compound-file directories.
std::vector<Bytes> pieces() {
  std::vector<Bytes> p = {
      // JPEG segments all land on the next sector's byte 2: walks from different starts meet.
      sector({{0, text("\xFF\xD8\xFF\xDB")}, {4, be16(510)}}),
      sector({{0, text("\xFF\xD8\xFF\xE0")}, {4, be16(16)}, {20, text("\xFF\xDB")}, {22, be16(492)}}),
      sector({{2, text("\xFF\xC0")}, {4, be16(17)}, {7, be16(480)}, {9, be16(640)}, {21, text("\xFF\xDB")}, {23, be16(491)}}),
      sector({{2, text("\xFF\xDA")}, {300, text("\xFF\xD9")}}),
      sector({{0, text("\x89PNG\r\n\x1A\n")}, {8, be32(13)}, {12, text("IHDR")}, {16, be32(64)}, {20, be32(48)}}),
      sector({{100, be32(20)}, {104, text("tEXt")}, {108, text(std::string_view("Source\0cam", 10))}}),
      sector({{60, be32(16)}, {64, text("IDAT")}, {84, be32(0)}, {88, text("IEND")}}),
      sector({{0, text("PK\x03\x04")}, {6, le16(8)}}),
      sector({{0, text("PK\x03\x04")}, {18, le32(482)}}),
      sector({{40, text("PK\x05\x06")}, {52, le32(0)}, {56, le32(0)}}),
      sector({{0, text("PK\x03\x04")}, {18, le32(465)}, {26, le16(17)}, {30, text("word/document.xml")}}),
      sector({{0, text("PK\x03\x04")}, {18, le32(463)}, {26, le16(19)}, {30, text("[Content_Types].xml")}}),
      sector({{0, text("PK\x01\x02")}, {28, le16(4)}, {32, le16(462)}, {46, text("xl/x")}}),
      sector({{0, text("PK\x05\x06")}, {20, le16(0)}}),
      sector({{0, text("Rar!\x1A\x07")}, {9, text("\x73")}, {12, le16(13)}, {22, text("\x74")}, {23, le16(0x8000)},
              {25, le16(32)}, {27, le32(480)}}),
      sector({{0, text("GIF89a")}, {13, text("\x21\xFE\xFF")}, {271, text("\xFF")}}),
      sector({{15, text("\x10")}, {32, text("\x00\x3B")}}),
      sector({{0, text("RIFF")}, {4, le32(4000)}, {8, text("AVI JUNK")}, {16, le32(504)}}),
      sector({{0, text("<html><title>a</title>")}}),
      sector({{10, text("<title>")}, {500, text("</html>")}}),
      sector({{0, text("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")}, {0x1E, le16(9)}, {0x2C, le32(2)}, {0x30, le32(0)},
              {0x44, le32(0xFFFFFFFE)}}),
  };
  Bytes root(512, 0);
  const std::u16string name = u"Root Entry";
  for (std::size_t i = 0; i < name.size(); ++i) root[2 * i] = std::uint8_t(name[i]);
  p.push_back(root);
  Bytes word = root;
  const std::u16string doc = u"WordDocument";
  for (std::size_t i = 0; i < doc.size(); ++i) word[256 + 2 * i] = std::uint8_t(doc[i]), word[257 + 2 * i] = 0;
  p.push_back(word);
  return p;
}

void expectSame(const RawMatch& a, const RawMatch& b) {
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.typeText, b.typeText);
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.modified, b.modified);
  EXPECT_EQ(a.skipCovered, b.skipCovered);
  EXPECT_EQ(a.endKnown, b.endKnown);
}

TEST(FinderMemory, FindersAnswerTheSameWithTheSweepsMemoryAsWithout) {
  const std::vector<Bytes> p = pieces();
  for (std::uint32_t seed = 0; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    Bytes disk;
    if (seed == 0) {
      // A JPEG whose walk passes a frame header, then one that joins that walk after it.
      for (std::size_t piece : {1, 2, 1, 4})
        disk.insert(disk.end(), p[piece].begin(), p[piece].end());
      disk.resize(disk.size() + 4096, 0);
    }
    for (int k = 0; seed != 0 && k < 200; ++k) {
      const std::uint32_t pick = rng() % (p.size() + 3);
      Bytes s = pick < p.size() ? p[pick] : pick == p.size() ? randomBytes(512, rng()) : Bytes(512, 0);
      // A run of the same piece, as a pattern repeated at every sector makes it.
      const int run = 1 + int(rng() % 6);
      for (int r = 0; r < run; ++r) disk.insert(disk.end(), s.begin(), s.end());
    }
    const MemorySource src(std::move(disk));
    const Dispatcher d(src);
    for (bool backwards : {false, true}) {
      FinderMemory memory;
      for (std::uint64_t i = 0; i < src.sectors(); ++i) {
        const std::uint64_t k = backwards ? src.sectors() - 1 - i : i;
        RawMatch with, without;
        const bool a = MatchRawSignatures(d.context(), d.sector(k), k, k, &with, &memory);
        const bool b = MatchRawSignatures(d.context(), d.sector(k), k, k, &without);
        ASSERT_EQ(a, b) << "seed " << seed << " sector " << k;
        if (!a) continue;
        SCOPED_TRACE("seed " + std::to_string(seed) + " sector " + std::to_string(k) + (backwards ? " backwards" : ""));
        expectSame(with, without);
      }
    }
  }
}

// The memory's pattern search gives what the window's own search gives, from any start and
// to any end, whatever searches came before it.
TEST(FinderMemory, ASearchThatGoesOnFromAnEarlierOneFindsWhatAFreshSearchFinds) {
  Bytes disk = randomBytes(64 * 512, 3);
  for (std::size_t at : {700u, 701u, 5000u, 20000u, 32760u}) disk[at] = 0xFF, disk[at + 1] = 0xD9;
  const MemorySource src(disk);
  const engine::SectorReader reader = src.reader();
  static constexpr std::uint8_t kEnd[2] = {0xFF, 0xD9};
  // A search whose end cuts an occurrence in two, then one from before it that reaches past it.
  for (std::uint64_t at : {5000u, 20000u}) {
    FinderMemory memory;
    engine::ByteWindow w(reader, 0, src.sectors());
    FinderRun run{w, nullptr, 0, &memory};
    EXPECT_FALSE(memory.find(run, at - 100, at + 1, kEnd).at);
    EXPECT_EQ(memory.find(run, at - 50, at + 100, kEnd).at, at);
  }
  std::mt19937 rng(9);
  FinderMemory memory;
  for (int i = 0; i < 400; ++i) {
    const std::uint64_t sector = rng() % 64;
    engine::ByteWindow shared(reader, sector, src.sectors()), fresh(reader, sector, src.sectors());
    FinderRun run{shared, nullptr, 0, &memory};
    const std::uint64_t from = rng() % 4000, to = from + rng() % 40000;
    const auto a = memory.find(run, from, to, kEnd);
    const auto b = fresh.find(from, to, kEnd);
    ASSERT_EQ(a.at, b.at) << "sector " << sector << " [" << from << ", " << to << ")";
    if (!a.at) {
      ASSERT_EQ(a.reached, b.reached);
    }
  }
}

}  // namespace
}  // namespace qelda::carve::test
