// The length finders on hand-made bytes: the cases a real tool does not write (damaged,
// hostile, or at the edges the finders must get right), one table per finder.
#include <gtest/gtest.h>

#include <string_view>

#include "carve/carve_test_support.h"
#include "carve/office_finder.h"
#include "carve/raw_types.h"

namespace qelda::carve::test {
namespace {

void putLe(Bytes& b, std::size_t at, std::uint64_t v, int n) {
  if (b.size() < at + n) b.resize(at + n, 0);
  for (int i = 0; i < n; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}
void putBe(Bytes& b, std::size_t at, std::uint64_t v, int n) {
  if (b.size() < at + n) b.resize(at + n, 0);
  for (int i = 0; i < n; ++i) b[at + i] = std::uint8_t(v >> (8 * (n - 1 - i)));
}
void append(Bytes& b, std::string_view text) { b.insert(b.end(), text.begin(), text.end()); }
void append(Bytes& b, std::initializer_list<std::uint8_t> bytes) { b.insert(b.end(), bytes); }

// ---- JPEG -------------------------------------------------------------------------------

// A baseline JPEG (64 x 32) up to its scan header; `app1` goes after the JFIF segment.
Bytes jpegHead(const Bytes& app1 = {}) {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10};
  append(b, std::string_view("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
  b.insert(b.end(), app1.begin(), app1.end());
  append(b, {0xFF, 0xDB, 0x00, 0x43});
  b.resize(b.size() + 65, 0x10);
  append(b, {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x20, 0x00, 0x40, 0x03, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
  append(b, {0xFF, 0xDA, 0x00, 0x0C, 0x03, 1, 0, 2, 0x11, 3, 0x11, 0x00, 0x3F, 0x00});
  return b;
}

// An EXIF segment with Make "Canon" and a date, in the given byte order.
Bytes exifSegment(bool bigEndian, std::uint16_t entryCount = 2) {
  Bytes tiff;
  append(tiff, bigEndian ? std::string_view("MM\0*", 4) : std::string_view("II*\0", 4));
  const auto put = [&](std::size_t at, std::uint64_t v, int n) {
    bigEndian ? putBe(tiff, at, v, n) : putLe(tiff, at, v, n);
  };
  put(4, 8, 4);
  put(8, entryCount, 2);
  const std::size_t values = 8 + 2 + 2 * 12 + 4;
  put(10, 0x010F, 2), put(12, 2, 2), put(14, 6, 4), put(18, values, 4);
  put(22, 0x0132, 2), put(24, 2, 2), put(26, 20, 4), put(30, values + 6, 4);
  put(34, 0, 4);
  tiff.resize(values);
  append(tiff, std::string_view("Canon\0" "2009:07:03 14:05:31\0", 26));
  Bytes seg = {0xFF, 0xE1};
  putBe(seg, 2, 2 + 6 + tiff.size(), 2);
  append(seg, std::string_view("Exif\0\0", 6));
  seg.insert(seg.end(), tiff.begin(), tiff.end());
  return seg;
}

TEST(JpegFinder, TheEndMarkerIsFoundWhereverItFallsAgainstTheReadWindows) {
  const Bytes head = jpegHead();
  for (std::uint64_t endAt : {std::uint64_t(head.size()), std::uint64_t(1048575), std::uint64_t(1048576 + 100),
                              std::uint64_t(1048576 * 2 - 1), std::uint64_t(65535), std::uint64_t(3 * 1048576 + 7)}) {
    SCOPED_TRACE(endAt);
    Bytes file = head;
    file.resize(endAt, 0x11);
    append(file, {0xFF, 0xD9});
    const MemorySource src = plantedSource({{0, file}}, (endAt + 4096) / 512);
    const auto r = runFinder(GetJpegFileSize, src);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size, endAt + 2);
    EXPECT_TRUE(r->skipCovered);
    EXPECT_EQ(r->name, u"(64x32)");
  }
}

TEST(JpegFinder, WithoutAnEndMarkerTheSearchStopsAtItsCap) {
  Bytes file = jpegHead();
  const std::uint64_t afterScanMarker = file.size() - 12;  // the scan header follows FF DA
  const MemorySource src = plantedSource({{0, file}}, 0x1E00000 / 512 + 4096);
  const auto r = runFinder(GetJpegFileSize, src);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size, afterScanMarker + 0x1E00000);
}

TEST(JpegFinder, ExifTextsAreReadInEitherByteOrderAndBadCountsStayInTheSegment) {
  struct Case {
    const char* what;
    Bytes app1;
    std::u16string name;
  };
  const Case cases[] = {
      {"little-endian EXIF", exifSegment(false), u"(7-3-2009 14-5-32)Canon(64x32)"},
      {"big-endian EXIF", exifSegment(true), u"(7-3-2009 14-5-32)Canon(64x32)"},
      {"entry count far past the segment", exifSegment(true, 0xFFFF), u"(7-3-2009 14-5-32)Canon(64x32)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = jpegHead(c.app1);
    file.resize(file.size() + 300, 0x22);
    append(file, {0xFF, 0xD9});
    const MemorySource src = plantedSource({{0, file}}, 16);
    const auto r = runFinder(GetJpegFileSize, src);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size, file.size());
    EXPECT_EQ(r->name, c.name);
  }
  // A file that starts with the EXIF segment (no JFIF segment) is found the same way.
  Bytes file = {0xFF, 0xD8};
  const Bytes seg = exifSegment(false);
  file.insert(file.end(), seg.begin(), seg.end());
  const Bytes rest = jpegHead();
  file.insert(file.end(), rest.begin() + 20, rest.end());  // the tables, the frame and the scan
  append(file, {0x01, 0xFF, 0xD9});
  const auto r = runFinder(GetJpegFileSize, plantedSource({{0, file}}, 16));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size, file.size());
  EXPECT_EQ(r->name, u"(7-3-2009 14-5-32)Canon(64x32)");
}

TEST(JpegFinder, AFileWithoutAnApplicationSegmentCountsOnlyWithItsEndMarker) {
  Bytes file = jpegHead();
  file.erase(file.begin() + 2, file.begin() + 20);  // FF D8 FF DB ...
  file.resize(file.size() + 100, 0x33);
  const MemorySource without = plantedSource({{0, file}}, 8);
  EXPECT_FALSE(runFinder(GetJpegFileSize, without));
  append(file, {0xFF, 0xD9});
  const auto r = runFinder(GetJpegFileSize, plantedSource({{0, file}}, 8));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size, file.size());
}

// ---- TIFF -------------------------------------------------------------------------------

struct TiffEntry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
};
Bytes tiffWith(std::uint32_t ifdAt, const std::vector<TiffEntry>& entries, std::uint32_t next, std::size_t length) {
  Bytes b;
  append(b, std::string_view("II*\0", 4));
  putLe(b, 4, ifdAt, 4);
  putLe(b, ifdAt, entries.size(), 2);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t e = ifdAt + 2 + 12 * i;
    putLe(b, e, entries[i].tag, 2), putLe(b, e + 2, entries[i].type, 2);
    putLe(b, e + 4, entries[i].count, 4), putLe(b, e + 8, entries[i].value, 4);
  }
  putLe(b, ifdAt + 2 + 12 * entries.size(), next, 4);
  if (b.size() < length) b.resize(length, 0x44);
  return b;
}

TEST(TiffFinder, DirectoriesAreWalkedAcrossSectorsWithoutLoopingAndSizedByWhatTheyReferTo) {
  struct Case {
    const char* what;
    Bytes file;
    std::optional<std::uint64_t> size;
    std::u16string name;
  };
  const std::vector<TiffEntry> picture = {{0x100, 3, 1, 30}, {0x101, 4, 1, 20}, {0x111, 4, 1, 2000}, {0x117, 4, 1, 600}};
  const Case cases[] = {
      {"one strip after the directory", tiffWith(8, picture, 0, 2600), 2600, u"(30x20)"},
      {"directory across a sector boundary", tiffWith(500, picture, 0, 2600), 2600, u"(30x20)"},
      {"directory that names itself next", tiffWith(1000, picture, 1000, 2600), 2600, u"(30x20)"},
      {"strip said to lie past the source", tiffWith(8, {{0x111, 4, 1, 0x7FFFFFF0}, {0x117, 4, 1, 100}}, 0, 100), 38,
       u""},
      {"entry count far past the source", tiffWith(8, {{0x100, 3, 1, 5}}, 0, 0) , std::nullopt, u""},
      {"camera raw (DNG)", tiffWith(8, {{0xC612, 1, 4, 0x01010000}}, 0, 64), std::nullopt, u""},
      {"DNG mark cleared by IPTC", tiffWith(8, {{0xC612, 1, 4, 0x01010000}, {0x83BB, 4, 1, 0}}, 0, 64), 38, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = c.file;
    if (std::string_view(c.what) == "entry count far past the source") putLe(file, 8, 0xFFFF, 2);
    const MemorySource src = plantedSource({{0, file}}, (file.size() + 511) / 512);
    const auto r = runFinder(GetTiffFileSize, src);
    if (std::string_view(c.what).starts_with("camera raw")) {
      EXPECT_FALSE(r);
      continue;
    }
    ASSERT_TRUE(r);
    if (c.size) {
      EXPECT_EQ(r->size, *c.size);
    } else {
      EXPECT_LE(r->size, src.bytes().size());
    }
    EXPECT_EQ(r->name, c.name);
  }
  // Two directories that name each other end the walk too.
  Bytes pair = tiffWith(8, picture, 200, 2600);
  putLe(pair, 200, 1, 2);
  putLe(pair, 202, 0x100, 2), putLe(pair, 204, 3, 2), putLe(pair, 206, 1, 4), putLe(pair, 210, 9, 4);
  putLe(pair, 214, 8, 4);
  const auto r = runFinder(GetTiffFileSize, plantedSource({{0, pair}}, 6));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size, 2600u);
}

TEST(TiffFinder, EveryStripAndTileEndCounts) {
  // Strip offsets and counts as arrays after the directory; the middle strip ends furthest.
  Bytes b = tiffWith(8, {{0x111, 4, 3, 100}, {0x117, 3, 3, 120}, {0x144, 4, 1, 3000}, {0x145, 4, 1, 10}}, 0, 0);
  putLe(b, 100, 1000, 4), putLe(b, 104, 2500, 4), putLe(b, 108, 1500, 4);
  putLe(b, 120, 10, 2), putLe(b, 122, 400, 2), putLe(b, 124, 10, 2);
  b.resize(4096, 0x55);
  const auto r = runFinder(GetTiffFileSize, plantedSource({{0, b}}, 8));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size, 3010u);  // the tile ends after the furthest strip (2900)
}

// ---- BMP --------------------------------------------------------------------------------

Bytes bmpHeader(std::uint32_t fileSize, std::uint32_t dataOffset, std::uint32_t headerSize, std::int32_t width,
                std::int32_t height, std::uint16_t bits, std::uint32_t imageSize) {
  Bytes b = {'B', 'M'};
  putLe(b, 2, fileSize, 4), putLe(b, 6, 0, 4), putLe(b, 10, dataOffset, 4), putLe(b, 14, headerSize, 4);
  if (headerSize == 12) {
    putLe(b, 18, std::uint32_t(width), 2), putLe(b, 20, std::uint32_t(height), 2), putLe(b, 24, bits, 2);
  } else {
    putLe(b, 18, std::uint32_t(width), 4), putLe(b, 22, std::uint32_t(height), 4), putLe(b, 26, 1, 2);
    putLe(b, 28, bits, 2), putLe(b, 34, imageSize, 4);
  }
  b.resize(std::max<std::size_t>(b.size(), 512), 0);
  return b;
}

TEST(BmpFinder, SizesComeFromTheHeaderInWideArithmeticAndAreCapped) {
  struct Case {
    const char* what;
    Bytes header;
    std::optional<std::uint64_t> size;
  };
  Bytes reserved = bmpHeader(1000, 54, 40, 10, 10, 24, 0);
  reserved[7] = 1;
  const Case cases[] = {
      {"image size given", bmpHeader(0, 54, 40, 10, 10, 24, 400), 454},
      {"pixel product, raised to the file size", bmpHeader(1000, 54, 40, 10, 10, 24, 0), 1000},
      {"pixel product above the file size", bmpHeader(100, 54, 40, 10, 10, 24, 0), 354},
      {"top-down rows (negative height)", bmpHeader(0, 54, 40, 10, -10, 24, 0), 354},
      {"core header", bmpHeader(0, 26, 12, 10, 10, 24, 0), 326},
      {"product that wraps in 32 bits", bmpHeader(0, 54, 40, 65536, 65536, 32, 0), std::nullopt},
      {"just below the cap", bmpHeader(0, 54, 40, 1, 1, 1, 0x3200000 - 54), 0x3200000},
      {"at the cap", bmpHeader(0, 54, 40, 1, 1, 1, 0x3200001 - 54), std::nullopt},
      {"reserved words not zero", reserved, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = runFinder(GetBmpFileSize, plantedSource({{0, c.header}}, 4));
    ASSERT_EQ(r.has_value(), c.size.has_value());
    if (r) {
      EXPECT_EQ(r->size, *c.size);
    }
  }
}

// ---- GIF --------------------------------------------------------------------------------

// A 2 x 2 GIF89a whose image data sub-blocks have the given sizes; `tail` follows the trailer.
Bytes gifWith(const std::vector<std::uint8_t>& subBlocks, bool trailer = true) {
  Bytes b;
  append(b, "GIF89a");
  append(b, {2, 0, 2, 0, 0x80, 0, 0});
  append(b, {0, 0, 0, 255, 255, 255});                         // global colour table, 2 colours
  append(b, {0x21, 0xF9, 4, 0, 0, 0, 0, 0});                    // graphic control
  append(b, {0x21, 0xFE, 3, 'a', 'b', 'c', 2, 'd', 'e', 0});   // comment in two sub-blocks
  append(b, {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2});              // image descriptor, code size
  for (std::uint8_t n : subBlocks) {
    b.push_back(n);
    b.resize(b.size() + n, n);  // data bytes equal to the size byte: they look like block starts
  }
  b.push_back(0);
  if (trailer) b.push_back(0x3B);
  return b;
}

TEST(GifFinder, SubBlocksAreWalkedByTheirSizeBytesAndTheTrailerEndsTheFile) {
  struct Case {
    const char* what;
    Bytes file;
    Bytes after;
  };
  const Case cases[] = {
      {"sub-block sizes that look like block starts", gifWith({0x2C, 0x21, 0x3B, 0x00 + 5}), Bytes(600, 0)},
      {"trailer followed by other data", gifWith({10}), Bytes(600, 0x3B)},
      {"trailer followed by random data", gifWith({255, 255, 1}), randomBytes(600, 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes disk = c.file;
    disk.insert(disk.end(), c.after.begin(), c.after.end());
    const auto r = runFinder(GetGifFileSize, MemorySource(disk));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size, c.file.size());
    EXPECT_EQ(r->name, u"(2x2)");
  }
  // Without its trailer, the file ends where the walk stood.
  const Bytes cut = gifWith({20}, false);
  Bytes disk = cut;
  disk.resize(1024, 0x99);
  const auto r = runFinder(GetGifFileSize, MemorySource(disk));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size, cut.size());
}

// ---- PNG --------------------------------------------------------------------------------

Bytes pngChunk(std::string_view type, const Bytes& data, std::uint32_t claimed = 0xFFFFFFFF) {
  Bytes c;
  putBe(c, 0, claimed == 0xFFFFFFFF ? data.size() : claimed, 4);
  append(c, type);
  c.insert(c.end(), data.begin(), data.end());
  append(c, {0xAE, 0x42, 0x60, 0x82});
  return c;
}
Bytes pngWith(const std::vector<Bytes>& chunks) {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes ihdr;
  putBe(ihdr, 0, 16, 4), putBe(ihdr, 4, 8, 4);
  ihdr.resize(13, 0);
  const Bytes h = pngChunk("IHDR", ihdr);
  b.insert(b.end(), h.begin(), h.end());
  for (const Bytes& c : chunks) b.insert(b.end(), c.begin(), c.end());
  return b;
}
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(PngFinder, ChunksAfterTheDataAreFollowedToTheEndChunk) {
  const Bytes data(300, 0x77);
  const Bytes end = pngChunk("IEND", {});
  struct Case {
    const char* what;
    Bytes file;
    std::optional<std::uint64_t> size;
    std::u16string name;
  };
  const Bytes full = pngWith({pngChunk("IDAT", data), pngChunk("IDAT", data), pngChunk("tEXt", text("Comment\0hi")),
                              pngChunk("tIME", Bytes(7, 1)), end});
  const Bytes broken = pngWith({pngChunk("IDAT", data), pngChunk("t3Xt", text("x")), end});
  const Case cases[] = {
      {"text and time chunks after the data", full, full.size(), u"(16x8)"},
      {"broken chain after the data: the end rule of the last data chunk",
       broken, broken.size() - end.size() - 13 + 12, u"(16x8)"},
      {"data chunk longer than the format allows", pngWith({pngChunk("IDAT", data, 0x80000000u), end}), std::nullopt,
       u""},
      {"text chunks too short for their keywords",
       pngWith({pngChunk("tEXt", text("So")), pngChunk("tEXt", text("Creation")), pngChunk("IDAT", data), end}),
       pngWith({pngChunk("tEXt", text("So")), pngChunk("tEXt", text("Creation")), pngChunk("IDAT", data), end}).size(),
       u"(16x8)"},
      {"compressed source text is not shown",
       pngWith({pngChunk("zTXt", text(std::string_view("Source\0\0x\x9c\x01\x02", 11))), pngChunk("IDAT", data), end}),
       std::nullopt, u"(16x8)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes disk = c.file;
    const Bytes r2 = randomBytes(2000, 9);
    disk.insert(disk.end(), r2.begin(), r2.end());
    const auto r = runFinder(GetPngFileSize, MemorySource(disk));
    if (std::string_view(c.what).starts_with("compressed")) {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->size, c.file.size());
      EXPECT_EQ(r->name, c.name);
      continue;
    }
    ASSERT_EQ(r.has_value(), c.size.has_value());
    if (r) {
      EXPECT_EQ(r->size, *c.size);
      EXPECT_EQ(r->name, c.name);
    }
  }
}

// ---- AVI, RAR, AU, HTML -----------------------------------------------------------------

TEST(AviFinder, ChunkSizesCannotWrapOrLeaveTheRiffChunk) {
  const Bytes avi = readFile(fixture("video.avi"));
  ASSERT_FALSE(avi.empty());
  struct Case {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    std::optional<std::uint64_t> size;
  };
  // The first chunk (LIST hdrl) is at 12; its size at 16.
  const Case cases[] = {
      {"whole file", 0, 0, avi.size()},
      {"first chunk size wraps a 32-bit sum", 16, 0xFFFFFFF8, std::nullopt},
      {"RIFF size ends before the first chunk's end", 4, 20, std::nullopt},
      {"first chunk is not a list, junk or index", 12, 0x41414141, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = avi;
    if (c.at != 0) putLe(file, c.at, c.value, 4);
    const auto r = runFinder(GetAviFileSize, plantedSource({{0, file}}, 8));
    ASSERT_EQ(r.has_value(), c.size.has_value());
    if (r) {
      EXPECT_EQ(r->size, *c.size);
    }
  }
}

TEST(RarFinder, BlocksAreFollowedToTheEndBlockAndBadHeadersEndTheWalk) {
  const Bytes rar = readFile(fixture("stored.rar"));
  ASSERT_FALSE(rar.empty());
  const std::size_t endBlock = rar.size() - 7;
  struct Case {
    const char* what;
    Bytes file;
    std::optional<std::uint64_t> size;
  };
  Bytes zeroHeader = rar;
  putLe(zeroHeader, 20 + 5, 0, 2);  // first file header's size 0
  Bytes noEnd(rar.begin(), rar.begin() + std::ptrdiff_t(endBlock));
  Bytes v5 = rar;
  v5[6] = 0x01;
  v5.insert(v5.begin() + 7, 0x00);
  const Case cases[] = {
      {"whole archive, end block included", rar, rar.size()},
      {"header size below the block minimum", zeroHeader, 20},
      {"archive without its end block", noEnd, endBlock},
      {"version 5 marker", v5, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = runFinder(GetRarFileSize, plantedSource({{0, c.file}}, 8));
    ASSERT_EQ(r.has_value(), c.size.has_value());
    if (r) {
      EXPECT_EQ(r->size, *c.size);
    }
  }
}

TEST(HtmlFinder, StartsAreComparedWithoutCaseAndReadsStopAtTheSourceEnd) {
  struct Case {
    const char* what;
    std::string page;
    std::optional<std::uint64_t> size;  // when found
  };
  const std::string body = "<body>x</body>\r\n</html>\r\n";
  const Case cases[] = {
      {"mixed-case doctype", "<!DocType HTML>\r\n<html>" + body, 23 + body.size()},
      {"doctype followed by a line end", "<!doctype html\n<html>" + body, 21 + body.size()},
      {"not a doctype of html", "<!doctype htmlx>" + body, std::nullopt},
      {"upper-case start", "<HTML>\r\n<BODY>x</BODY>\r\n</HTML>\r\n", 33},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The page sits in the last sectors of the source: the 2 MiB read must not fail there.
    Bytes disk(c.page.begin(), c.page.end());
    disk.insert(disk.begin(), 2 * 512, 0x20);
    const MemorySource src(disk);
    const auto r = runFinder(GetHtmlFileSize, src, 2);
    ASSERT_EQ(r.has_value(), c.size.has_value());
    if (r) {
      EXPECT_EQ(r->size, *c.size);
    }
  }
  // Without a closing tag the page runs to where the scan stopped.
  const std::string open = "<html><body>no end";
  const auto r = runFinder(GetHtmlFileSize, MemorySource(Bytes(open.begin(), open.end())));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size, 512u - 6);
}

// ---- ZIP --------------------------------------------------------------------------------

// One stored entry, its central header (with an entry comment) and the end record (with an
// archive comment).
Bytes zipWith(std::uint16_t flags, bool endRecordAgrees = true) {
  const std::string name = "a.txt", data = "hello zip", comment = "entry comment";
  Bytes b;
  putLe(b, 0, 0x04034B50, 4), putLe(b, 6, flags, 2), putLe(b, 18, flags & 8 ? 0 : data.size(), 4);
  putLe(b, 22, data.size(), 4), putLe(b, 26, name.size(), 2), putLe(b, 28, 0, 2);
  append(b, name);
  append(b, data);
  if (flags & 8) {
    append(b, {'P', 'K', 7, 8});
    b.resize(b.size() + 12, 0);
  }
  const std::size_t central = b.size();
  putLe(b, central, 0x02014B50, 4), putLe(b, central + 28, name.size(), 2), putLe(b, central + 30, 0, 2);
  putLe(b, central + 32, comment.size(), 2);
  b.resize(central + 46, 0);
  append(b, name);
  append(b, comment);
  const std::size_t end = b.size();
  putLe(b, end, 0x06054B50, 4), putLe(b, end + 10, 1, 2), putLe(b, end + 12, end - central, 4);
  putLe(b, end + 16, endRecordAgrees ? central : central + 1, 4), putLe(b, end + 20, 7, 2);
  b.resize(end + 22, 0);
  append(b, "comment");
  return b;
}

TEST(ZipFinder, DescriptorsAreResolvedByAnAgreeingEndRecordAndCommentsCount) {
  struct Case {
    const char* what;
    Bytes file;
    std::uint64_t size;
  };
  const std::uint32_t limit = 64 * 1024;
  const Case cases[] = {
      {"sizes in the headers", zipWith(0), zipWith(0).size()},
      {"descriptor flag among other flags", zipWith(0x0808), zipWith(0x0808).size()},
      {"end record whose offsets disagree: the limit", zipWith(0x0008, false), limit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes disk = c.file;
    const Bytes r2 = randomBytes(128 * 1024, 4);
    disk.insert(disk.end(), r2.begin(), r2.end());
    const auto r = runFinder(GetZipFileSize, MemorySource(disk), 0, limit);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size, c.size);
  }
  // An end record found beyond the limit does not count.
  Bytes far = zipWith(8);
  const auto r = runFinder(GetZipFileSize, MemorySource(far), 0, 40);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size, 40u);
}

// ---- OLE2 (patched fixtures) ------------------------------------------------------------

TEST(OfficeFinder, DamagedCompoundFilesAreMeasuredForwardAndNamedByWhatTheirTablesSay) {
  const Bytes doc = readFile(fixture("word.doc"));
  const Bytes difat = readFile(fixture("difat.doc"));
  ASSERT_FALSE(doc.empty());
  ASSERT_FALSE(difat.empty());
  struct Case {
    const char* what;
    Bytes file;
    std::size_t at;
    std::uint32_t value;
    int width;
    std::u16string typeText;
    bool forward;  // sized by the forward search rather than by its tables
  };
  // word.doc: FAT sector 0 (at 512), a free sector, the two streams, the directory.
  const Case cases[] = {
      {"sound", doc, 0, 0, 0, u"DOC", false},
      {"sectors of 4096 bytes", doc, 0x1E, 12, 2, u"doc", true},
      {"FAT entry past what the FAT addresses", doc, 512 + 4 * 5, 0x00800000, 4, u"BAD", true},
      {"FAT sector count beyond the source", doc, 0x2C, 0xFFFFFFFF, 4, u"doc", true},
      {"no root entry", doc, 0, 0, 0, u"doc", true},
      {"DIFAT chain sound", difat, 0, 0, 0, u"DOC", false},
      {"DIFAT chain pointing past the file", difat, 0x44, 0x00FFFFFF, 4, u"DOC", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = c.file;
    if (c.width) putLe(file, c.at, c.value, c.width);
    if (std::string_view(c.what) == "no root entry") {
      // The directory is the last sector: its first entry's name is rewritten.
      putLe(file, file.size() - 512, 'X', 2);
    }
    // A picture 12 sectors after the document ends the forward search.
    const std::uint64_t pictureAt = 4 + (file.size() + 511) / 512 + 12;
    const MemorySource src =
        plantedSource({{4, file}, {pictureAt, readFile(fixture("../../data/carve/video.avi"))}}, pictureAt + 8);
    const auto m = Dispatcher(src, {kTypeDoc, kTypeAvi}).match(4);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->typeText, c.typeText);
    EXPECT_EQ(m->size, c.forward ? (pictureAt - 4) * 512 : file.size());
    EXPECT_FALSE(m->skipCovered);
  }
}

TEST(OfficeFinder, PresentationsAreKnownByTheirStreamNamePrefix) {
  Bytes ppt = readFile(fixture("slides.ppt"));
  const MemorySource src = plantedSource({{0, ppt}}, (ppt.size() + 511) / 512 + 4);
  const OFFICE_SIZE_RESULT r = runFinder(GetOfficeFileSize, src);
  EXPECT_EQ(r.kind, kOfficePresentation);
  EXPECT_EQ(r.flag, 1u);
  EXPECT_EQ(r.size, ppt.size());
  EXPECT_FALSE(r.zipFamily);
}

}  // namespace
}  // namespace qelda::carve::test
