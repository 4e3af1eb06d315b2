// The sweep over disks where one hostile sector (or pair of sectors) repeats to the disk's
// end, for every length finder: the work the sweep does (bytes read, finders run, memory
// held) and what it reports (files, bytes) must grow no faster than the disk. The sweep
// counts its own work, so these tests do not depend on the machine's speed.
#include <gtest/gtest.h>

#include <functional>

#include "carve/carve_test_support.h"
#include "carve/raw_sweep.h"
#include "carve/raw_types.h"

namespace qelda::carve::test {
namespace {

using Sector = std::array<std::uint8_t, 512>;

void put16be(Sector& s, std::size_t at, std::uint16_t v) { s[at] = std::uint8_t(v >> 8), s[at + 1] = std::uint8_t(v); }
void put32be(Sector& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = std::uint8_t(v >> (24 - 8 * i));
}
void put16(Sector& s, std::size_t at, std::uint16_t v) { s[at] = std::uint8_t(v), s[at + 1] = std::uint8_t(v >> 8); }
void put32(Sector& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = std::uint8_t(v >> (8 * i));
}
void putText(Sector& s, std::size_t at, std::string_view t) { std::copy(t.begin(), t.end(), s.begin() + at); }

// JPEG without a known header whose segments chain from each sector into the next to the
// disk's end: the walk never meets scan data, so the finder turns the file down.
Sector jpegRunOnRejected() {
  Sector s{};
  putText(s, 0, "\xFF\xD8\xFF\xDB");
  put16be(s, 4, 510);  // from offset 2 to offset 2 of the next sector
  return s;
}
// The same behind a known header: found, and it runs to the disk's end.
Sector jpegRunOnFound() {
  Sector s{};
  putText(s, 0, "\xFF\xD8\xFF\xE0");
  put16be(s, 4, 16);
  putText(s, 20, "\xFF\xDB");
  put16be(s, 22, 510);
  return s;
}
// PNG with a size chunk and no data chunk anywhere.
Sector pngWithoutData() {
  Sector s{};
  putText(s, 0, "\x89PNG\r\n\x1A\n");
  put32be(s, 8, 13);
  putText(s, 12, "IHDR");
  put32be(s, 16, 640);
  put32be(s, 20, 480);
  return s;
}
// TIFF whose strip offsets and strip sizes lie 96 KiB apart, 2048 of each.
Sector tiffFarArrays() {
  Sector s{};
  putText(s, 0, std::string_view("II*\0", 4));
  put32(s, 4, 8);
  put16(s, 8, 2);
  const std::uint32_t offsets = 1024, sizes = offsets + 96 * 1024;
  put16(s, 10, 0x0111), put16(s, 12, 4), put32(s, 14, 2048), put32(s, 18, offsets);
  put16(s, 22, 0x0117), put16(s, 24, 4), put32(s, 26, 2048), put32(s, 30, sizes);
  return s;
}
// A bitmap header claiming 40 MB.
Sector bmpHuge() {
  Sector s{};
  putText(s, 0, "BM");
  put32(s, 2, 40'000'000);
  put32(s, 10, 54);
  put32(s, 14, 40);
  return s;
}
// GIF whose comment's sub-blocks chain from each sector into the next.
Sector gifRunOn() {
  Sector s{};
  putText(s, 0, "GIF89a");
  s[13] = 0x21, s[14] = 0xFE, s[15] = 255, s[271] = 255;  // 16 + 255 = 271, 272 + 255 = 527 = next sector's 15
  return s;
}
// RAR whose file blocks chain from each sector into the next.
Sector rarRunOn() {
  Sector s{};
  putText(s, 0, "Rar!\x1A\x07");
  s[9] = 0x73, put16(s, 12, 13);          // main header of 13 bytes: blocks from 20
  s[22] = 0x74, put16(s, 23, 0x8000), put16(s, 25, 32), put32(s, 27, 512 - 32);
  return s;
}
// ZIP entries whose sizes come after their data (no end record anywhere).
Sector zipDescriptor() {
  Sector s{};
  putText(s, 0, "PK\x03\x04");
  put16(s, 6, 0x0008);
  return s;
}
// ZIP entries whose data reaches the next sector's entry, to the disk's end.
Sector zipRunOn() {
  Sector s{};
  putText(s, 0, "PK\x03\x04");
  put32(s, 18, 512 - 30);
  return s;
}
// AU sound claiming 2 GB, and AU sound that does not know its length.
Sector auSound(std::uint32_t dataSize) {
  Sector s{};
  putText(s, 0, ".snd");
  put32be(s, 4, 24);
  put32be(s, 8, dataSize);
  return s;
}
// AVI whose chunks chain from each sector into the next.
Sector aviRunOn() {
  Sector s{};
  putText(s, 0, "RIFF");
  put32(s, 4, 0x7FFFFFF0);
  putText(s, 8, "AVI ");
  putText(s, 12, "JUNK");
  put32(s, 16, 512 - 8);  // 12 + 8 + 504 = 524 = next sector's 12
  return s;
}
// An HTML page that never closes.
Sector htmlUnclosed() {
  Sector s{};
  putText(s, 0, "<html><title>t</title><body>");
  return s;
}
// A compound file whose directory (the next sector) names no document stream: the pair
// repeats, so each directory walk may run over every directory sector after it.
Sector oleHeader() {
  Sector s{};
  putText(s, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  put16(s, 0x1E, 9);
  put32(s, 0x2C, 64);           // FAT sectors: 64 * 128 sectors addressable
  put32(s, 0x30, 0);            // directory: the next sector
  put32(s, 0x44, 0xFFFFFFFE);
  for (int i = 0; i < 109; ++i) put32(s, 0x4C + 4 * i, 0xFFFFFFFF);
  return s;
}
Sector oleDirectory() {
  Sector s{};
  const std::u16string name = u"Root Entry";
  for (std::size_t i = 0; i < name.size(); ++i) put16(s, 2 * i, name[i]);
  return s;
}

struct Hostile {
  const char* name;
  std::vector<std::uint16_t> types;
  std::vector<Sector> period;  // the sectors that repeat
};

std::vector<Hostile> hostileDisks() {
  return {
      {"jpeg run-on, turned down", {kTypeJpeg}, {jpegRunOnRejected()}},
      {"jpeg run-on, found", {kTypeJpeg}, {jpegRunOnFound()}},
      {"png without data", {kTypePng}, {pngWithoutData()}},
      {"tiff arrays 96 KiB apart", {kTypeTiffIntel}, {tiffFarArrays()}},
      {"bmp of 40 MB", {kTypeBmp}, {bmpHuge()}},
      {"gif run-on", {kTypeGif}, {gifRunOn()}},
      {"rar run-on", {kTypeRar}, {rarRunOn()}},
      {"zip with descriptors", {kTypeZip}, {zipDescriptor()}},
      {"zip run-on", {kTypeZip}, {zipRunOn()}},
      {"zip-based documents with descriptors", {kTypeDocx}, {zipDescriptor()}},
      {"zip-based documents run-on", {kTypeDocx}, {zipRunOn()}},
      {"au of 2 GB", {kTypeAu}, {auSound(0x7FFFFFF0)}},
      {"au of unknown length", {kTypeAu}, {auSound(0xFFFFFFFF)}},
      {"avi run-on", {kTypeAvi}, {aviRunOn()}},
      {"html unclosed", {kTypeHtmlLower}, {htmlUnclosed()}},
      {"compound files", {kTypeDoc}, {oleHeader(), oleDirectory()}},
  };
}

struct Outcome {
  RawSweepStats stats;
  std::uint64_t diskBytes = 0;
  bool overlap = false;
  bool overBudget = false;  // the sweep was stopped for reading far more than it may
};

// Reading each byte of the disk up to this many times is allowed: the sweep reads it once,
// and each finder's first read takes a few kilobytes around its sector.
constexpr std::uint64_t kReadsPerDiskByte = 24;

Outcome sweepHostile(const Hostile& h, std::uint64_t sectors, unsigned threads) {
  Bytes disk(sectors * 512);
  for (std::uint64_t k = 0; k < sectors; ++k) {
    const Sector& s = h.period[k % h.period.size()];
    std::copy(s.begin(), s.end(), disk.begin() + std::ptrdiff_t(k * 512));
  }
  const MemorySource src(std::move(disk));
  const Dispatcher d(src, h.types);
  Outcome out;
  out.diskBytes = sectors * 512;
  // A sweep that reads far past its allowance is stopped, so that a regression fails soon
  // instead of running for hours.
  std::atomic<std::uint32_t> stop{0};
  std::atomic<std::uint64_t> read{0};
  const std::uint64_t budget = 4 * kReadsPerDiskByte * out.diskBytes;
  RAW_READ_CONTEXT context = d.context();
  const engine::SectorReader inner = context.reader;
  context.reader = [&](std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
    if ((read += std::uint64_t(count) * 512) > budget) stop = 1;
    return inner(sector, buffer, count);
  };
  context.stop = &stop;
  std::uint64_t reportedEnd = 0;
  RawSweep sweep;
  sweep.endUnit = sectors;
  sweep.firstSectorOf = [](std::uint64_t unit) { return unit; };
  sweep.report = [&](RawHit&& hit) {
    out.overlap = out.overlap || hit.unit * 512 < reportedEnd;
    reportedEnd = hit.unit * 512 + hit.match.size;
  };
  sweep.threads = threads;
  sweep.stats = &out.stats;
  sweepForKnownTypes(context, sweep);
  out.overBudget = stop != 0;
  return out;
}

// Four times the disk may cost this much more: a little over four, since on the larger disk
// more finders reach their own length limits (10 MiB before a PNG's data) and more threads
// find work, but far from the sixteen of work that grows with the square of the disk.
constexpr double kGrowth = 8;

TEST(RawSweepScale, EveryFinderWorksAndReportsInProportionToTheDisk) {
  constexpr std::uint64_t kSectors = 8192;  // 4 MiB, then 16 MiB: both past the 2 MiB an HTML page may take
  for (const Hostile& h : hostileDisks()) {
    for (unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(std::string(h.name) + ", threads " + std::to_string(threads));
      const Outcome one = sweepHostile(h, kSectors, threads);
      const Outcome four = sweepHostile(h, 4 * kSectors, threads);
      if (std::getenv("SCALE_DEBUG"))
        for (const Outcome* o : {&one, &four})
          std::printf("%-40s t%u disk %8llu read %12llu runs %6llu files %6llu bytes %9llu held %9llu\n", h.name, threads,
                      (unsigned long long)o->diskBytes, (unsigned long long)o->stats.bytesRead,
                      (unsigned long long)o->stats.finderRuns, (unsigned long long)o->stats.filesReported,
                      (unsigned long long)o->stats.bytesReported, (unsigned long long)o->stats.peakHeldBytes);
      for (const Outcome* o : {&one, &four}) {
        EXPECT_FALSE(o->overBudget);
        EXPECT_FALSE(o->overlap);
        EXPECT_LE(o->stats.bytesReported, o->diskBytes);
        EXPECT_LE(o->stats.filesReported, o->diskBytes / 512);
        EXPECT_LE(o->stats.finderRuns, o->diskBytes / 512);
        EXPECT_LE(o->stats.bytesRead, kReadsPerDiskByte * o->diskBytes);
        EXPECT_LE(o->stats.peakHeldBytes, std::uint64_t(64) << 20);
      }
      // Threads beside the first match blocks that a file found before them may cover: up to
      // twice the disk more between them.
      const double idleThreads = double(threads - 1) * 2 * double(four.diskBytes);
      EXPECT_LE(double(four.stats.bytesRead), kGrowth * double(one.stats.bytesRead) + idleThreads);
      EXPECT_LE(double(four.stats.finderRuns), kGrowth * double(std::max<std::uint64_t>(one.stats.finderRuns, 1)));
      EXPECT_LE(double(four.stats.peakHeldBytes), kGrowth * double(one.stats.peakHeldBytes));
    }
  }
}

}  // namespace
}  // namespace qelda::carve::test
