// TIFF: the first directory's pre-scan (camera raw files are left alone), then every
// directory of the chain and the EXIF directory; the file ends at the furthest end of anything
// a directory refers to (out-of-line values, strips, tiles), or at a directory's own end.
#include <algorithm>
#include <vector>

#include "carve/finder_names.h"
#include "carve/length_finders.h"
#include "carve/tiff_fields.h"
#include "platform/text.h"

namespace qelda::carve {

namespace {

constexpr std::uint16_t kTagWidth = 0x0100;
constexpr std::uint16_t kTagHeight = 0x0101;
constexpr std::uint16_t kTagModel = 0x0110;
constexpr std::uint16_t kTagStripOffsets = 0x0111;
constexpr std::uint16_t kTagStripByteCounts = 0x0117;
constexpr std::uint16_t kTagDateTime = 0x0132;
constexpr std::uint16_t kTagTileOffsets = 0x0144;
constexpr std::uint16_t kTagTileByteCounts = 0x0145;
constexpr std::uint16_t kTagSubDirectories = 0x014A;
constexpr std::uint16_t kTagIptc = 0x83BB;
constexpr std::uint16_t kTagExifDirectory = 0x8769;
constexpr std::uint16_t kTagDngVersion = 0xC612;

constexpr std::size_t kMaxDirectories = 64;
constexpr std::uint64_t kMaxArrayElements = std::uint64_t(1) << 20;
constexpr std::size_t kMaxDateBytes = 32;
constexpr std::size_t kMaxModelBytes = 256;

struct Entry {
  std::uint64_t at = 0;  // the entry's position
  std::uint16_t tag = 0, type = 0;
  std::uint32_t count = 0, value = 0;
  std::uint64_t bytes() const { return std::uint64_t(count) * tiffTypeBytes(type); }
  // Where the entry's values lie: in the entry itself when they fit in four bytes.
  std::uint64_t dataAt() const { return bytes() <= 4 ? at + 8 : value; }
};

class TiffReader {
 public:
  TiffReader(engine::ByteWindow& w, std::uint8_t order) : w_(w), order_(order) {}

  std::optional<Entry> entry(std::uint64_t directory, std::uint32_t i) {
    Entry e;
    e.at = directory + 2 + 12 * std::uint64_t(i);
    // One read for the whole entry: a directory may hold thousands.
    const auto v = w_.bytes(e.at, 12);
    if (!v) return std::nullopt;
    e.tag = *SwapBytes16(*v, 0, order_);
    e.type = *SwapBytes16(*v, 2, order_);
    e.count = *SwapBytes32(*v, 4, order_);
    e.value = *SwapBytes32(*v, 8, order_);
    return e;
  }
  // Element i of a SHORT or LONG array.
  std::optional<std::uint32_t> element(const Entry& e, std::uint64_t i) {
    if (e.type == 3) return SwapBytes16(w_, e.dataAt() + 2 * i, order_);
    if (e.type == 4) return SwapBytes32(w_, e.dataAt() + 4 * i, order_);
    return std::nullopt;
  }
  std::string text(const Entry& e, std::size_t maxBytes) {
    const auto v = w_.bytes(e.dataAt(), std::size_t(std::min<std::uint64_t>(e.bytes(), maxBytes)));
    if (!v) return {};
    std::string out(reinterpret_cast<const char*>(v->data()), v->size());
    return out.substr(0, out.find('\0'));
  }

 private:
  engine::ByteWindow& w_;
  std::uint8_t order_;
};

}  // namespace

FinderOutcome GetTiffFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  const auto head = w.bytes(0, 4);
  if (!head) return std::nullopt;
  const auto order = tiffByteOrder(*head, 0);
  if (!order) return std::nullopt;
  TiffReader tiff(w, *order);
  const auto first = SwapBytes32(w, 4, *order);
  if (!first) return std::nullopt;
  const auto firstCount = SwapBytes16(w, *first, *order);
  if (!firstCount) return std::nullopt;

  bool cameraRaw = false;
  for (std::uint32_t i = 0; i < *firstCount; ++i) {
    const auto e = tiff.entry(*first, i);
    if (!e) break;
    if (e->tag == kTagSubDirectories || e->tag == kTagDngVersion) cameraRaw = true;
    else if (e->tag == kTagIptc) cameraRaw = false;
  }
  if (cameraRaw) return std::nullopt;

  std::uint64_t size = 8;
  const auto raise = [&](std::uint64_t end) {
    if (end <= w.size()) size = std::max(size, end);  // data said to lie past the source is not there
  };
  std::optional<std::uint32_t> width, height;
  std::optional<std::string> date, model;
  std::vector<std::uint64_t> directories = {*first};  // visited, in walking order
  for (std::size_t d = 0; d < directories.size() && !run.stopRequested(); ++d) {
    const std::uint64_t dir = directories[d];
    const auto count = SwapBytes16(w, dir, *order);
    if (!count) continue;
    std::optional<Entry> offsets[2], counts[2];  // strips, tiles
    std::uint32_t read = 0;
    for (; read < *count; ++read) {
      const auto e = tiff.entry(dir, read);
      if (!e) break;
      if (e->bytes() > 4) raise(std::uint64_t(e->value) + e->bytes());
      switch (e->tag) {
        case kTagWidth:
          if (!width) width = tiff.element(*e, 0);
          break;
        case kTagHeight:
          if (!height) height = tiff.element(*e, 0);
          break;
        case kTagDateTime:
          if (!date) date = tiff.text(*e, kMaxDateBytes);
          break;
        case kTagModel:
          if (!model) model = tiff.text(*e, kMaxModelBytes);
          break;
        case kTagStripOffsets: offsets[0] = e; break;
        case kTagStripByteCounts: counts[0] = e; break;
        case kTagTileOffsets: offsets[1] = e; break;
        case kTagTileByteCounts: counts[1] = e; break;
        case kTagExifDirectory:
          if (e->value != 0 && directories.size() < kMaxDirectories &&
              std::find(directories.begin(), directories.end(), e->value) == directories.end())
            directories.push_back(e->value);
          break;
        default: break;
      }
    }
    raise(dir + 2 + 12 * std::uint64_t(read) + (read == *count ? 4 : 0));
    for (int k = 0; k < 2; ++k) {
      if (!offsets[k] || !counts[k]) continue;
      const std::uint64_t n = std::min<std::uint64_t>({offsets[k]->count, counts[k]->count, kMaxArrayElements});
      for (std::uint64_t i = 0; i < n; ++i) {
        const auto off = tiff.element(*offsets[k], i);
        const auto len = tiff.element(*counts[k], i);
        if (!off || !len) break;
        raise(std::uint64_t(*off) + *len);
      }
    }
    if (read == *count) {
      const auto next = SwapBytes32(w, dir + 2 + 12 * std::uint64_t(read), *order);
      if (next && *next != 0 && directories.size() < kMaxDirectories &&
          std::find(directories.begin(), directories.end(), *next) == directories.end())
        directories.push_back(*next);
    }
  }

  LengthFinderResult r;
  r.size = size;
  FinderNamePieces pieces;
  if (date) pieces.date = parseDateText(*date);
  if (pieces.date) r.modified = dosDateTime(*pieces.date);
  if (model) pieces.camera = platform::widenLatin1(*model);
  pieces.width = width.value_or(0);
  pieces.height = height.value_or(0);
  pieces.withDimensions = pieces.width != 0 && pieces.height != 0 && pieces.width < kMaxNamedDimension &&
                          pieces.height < kMaxNamedDimension;
  r.name = buildFinderName(pieces);
  return r;
}

}  // namespace qelda::carve
