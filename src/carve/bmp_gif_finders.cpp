// BMP: the size from the header's fields (products in wide arithmetic). GIF: the blocks walked
// by their own lengths up to the trailer.
#include <cstdlib>

#include "carve/finder_memory.h"
#include "carve/finder_names.h"
#include "carve/length_finders.h"

namespace qelda::carve {

namespace {

// A bitmap this large or larger is not believed.
constexpr std::uint64_t kMaxBmpBytes = 0x3200001;
// Blocks of one GIF the walk handles at most (extensions, images, the trailer), and how far
// the walk may get.
constexpr int kMaxGifBlocks = 65536;
constexpr std::uint64_t kMaxGifBytes = 0x10000000;
constexpr std::uint8_t kGifExtension = 0x21;   // '!'
constexpr std::uint8_t kGifImage = 0x2C;       // ','
constexpr std::uint8_t kGifTrailer = 0x3B;     // ';'

std::u16string dimensionsName(std::uint64_t width, std::uint64_t height) {
  FinderNamePieces pieces;
  pieces.width = std::uint32_t(width);
  pieces.height = std::uint32_t(height);
  pieces.withDimensions = width != 0 && height != 0 && width < kMaxNamedDimension && height < kMaxNamedDimension;
  return buildFinderName(pieces);
}

// Image bytes of width x height pixels at bits per pixel, rows not padded.
std::uint64_t pixelBytes(std::uint64_t width, std::uint64_t height, std::uint64_t bits, std::uint64_t dataOffset) {
  const unsigned __int128 product = (unsigned __int128)width * height * bits / 8 + dataOffset;
  return product >= kMaxBmpBytes ? kMaxBmpBytes : std::uint64_t(product);
}

enum class SubBlocks : std::uint8_t { Ended, Broken, Joined };

// Steps over data sub-blocks (a size byte, then that many bytes) up to the empty one; Joined
// when the walk met the remembered one (pos is then that walk's end).
SubBlocks skipSubBlocks(FinderRun& run, WalkTrace& trace, std::uint64_t& pos) {
  const std::uint64_t base = run.window.firstByte();
  while (pos < kMaxGifBytes && !run.stopRequested()) {
    if (pos < run.window.size() && trace.passes(base + pos, 1)) {
      pos = trace.remembered().end - base;
      return SubBlocks::Joined;
    }
    const auto n = run.window.u8(pos);
    if (!n) return SubBlocks::Broken;
    ++pos;
    if (*n == 0) return SubBlocks::Ended;
    pos += *n;
  }
  return SubBlocks::Broken;
}

}  // namespace

FinderOutcome GetBmpFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  const auto reserved = w.le32(6);
  const auto fileSize = w.le32(2);
  const auto dataOffset = w.le32(10);
  const auto headerSize = w.le32(14);
  if (!reserved || *reserved != 0 || !fileSize || !dataOffset || !headerSize) return std::nullopt;
  std::uint64_t width = 0, height = 0, size = 0;
  if (*headerSize == 12) {
    width = w.le16(18).value_or(0);
    height = w.le16(20).value_or(0);
    size = std::max<std::uint64_t>(pixelBytes(width, height, w.le16(24).value_or(0), *dataOffset), *fileSize);
  } else if (const std::uint32_t imageSize = w.le32(34).value_or(0); imageSize != 0) {
    width = w.le32(18).value_or(0);
    height = std::uint32_t(std::abs(std::int64_t(std::int32_t(w.le32(22).value_or(0)))));  // top-down rows: negative
    size = std::uint64_t(*dataOffset) + imageSize;
  } else {
    width = w.le32(18).value_or(0);
    const bool small = *headerSize < 40;
    height = std::uint64_t(std::abs(std::int64_t(std::int32_t(w.le32(small ? 20 : 22).value_or(0)))));
    const std::uint16_t bits = w.le16(small ? 24 : 28).value_or(0);
    size = std::max<std::uint64_t>(pixelBytes(width, height, bits, *dataOffset), *fileSize);
  }
  if (size >= kMaxBmpBytes) return std::nullopt;
  LengthFinderResult r;
  r.size = size;
  r.name = dimensionsName(width, height);
  return r;
}

FinderOutcome GetGifFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  if (!w.matches(0, "GIF87a") && !w.matches(0, "GIF89a")) return std::nullopt;
  const std::uint16_t width = w.le16(6).value_or(0);
  const std::uint16_t height = w.le16(8).value_or(0);
  const std::uint8_t packed = w.u8(10).value_or(0);
  std::uint64_t pos = 13;
  if (packed & 0x80) pos += 3u << ((packed & 7) + 1);  // global colour table
  // The walk from a block or a sub-block on depends on nothing but where it stands.
  WalkTrace trace(run.memory ? &run.memory->gif : nullptr);
  bool joined = false;
  int step = 0;
  for (; step < kMaxGifBlocks && !run.stopRequested(); ++step) {
    if (pos < w.size() && trace.passes(w.firstByte() + pos, 0)) {
      pos = trace.remembered().end - w.firstByte();
      joined = true;
      break;
    }
    const auto b = w.u8(pos);
    if (!b) break;
    if (*b == kGifTrailer) {
      ++pos;
      break;
    }
    SubBlocks sub = SubBlocks::Broken;
    if (*b == kGifExtension) {
      pos += 2;  // introducer and label
      sub = skipSubBlocks(run, trace, pos);
    } else if (*b == kGifImage) {
      const auto flags = w.u8(pos + 9);
      if (!flags) break;
      pos += 10;
      if (*flags & 0x80) pos += 3u << ((*flags & 7) + 1);  // local colour table
      ++pos;                                             // LZW minimum code size
      sub = skipSubBlocks(run, trace, pos);
    } else {
      break;  // no block starts here: the file ends where the walk stands
    }
    joined = sub == SubBlocks::Joined;
    if (sub != SubBlocks::Ended) break;
  }
  if (!joined && !run.stopRequested() && step < kMaxGifBlocks && pos < kMaxGifBytes) trace.finish(w.firstByte() + pos);
  LengthFinderResult r;
  r.size = pos;
  r.name = dimensionsName(width, height);
  return r;
}

}  // namespace qelda::carve
