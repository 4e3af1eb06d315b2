// JPEG: the header variants, the EXIF block of the first directory (date and camera text),
// then a walk over the marker segments to the scan data and the end marker FF D9. The sweep's
// memory keeps the last walk: a walk that lands where that one landed goes the same way from
// there, so it takes that walk's outcome instead of walking the same segments again.
#include <algorithm>
#include <array>

#include "carve/finder_memory.h"
#include "carve/finder_names.h"
#include "carve/length_finders.h"
#include "carve/tiff_fields.h"
#include "platform/text.h"

namespace qelda::carve {

namespace {

// How far the search for the end marker goes, and how far the marker walk may get.
constexpr std::uint64_t kJpegCap = 0x1E00000;
// Bytes in a row that start no known marker before the walk gives up.
constexpr int kMaxUnknownRun = 65;
// The EXIF values looked at may sum to this many bytes.
constexpr std::uint64_t kMaxExifValueBytes = 255;
constexpr std::size_t kMaxDateBytes = 127;
constexpr std::size_t kMaxCameraBytes = 256;

bool isHeaderVariant(std::uint8_t m) {
  return m == 0xE0 || m == 0xFE || m == 0xE2 || m == 0xEC || m == 0xED || m == 0xEE;
}

// Segments the walk steps over by their length: every APPn, comments, tables, restart interval.
bool isSegmentMarker(std::uint8_t m) {
  return (m >= 0xE0 && m <= 0xEF) || m == 0xFE || m == 0xDB || m == 0xC4 || m == 0xDD || m == 0xC8 || m == 0xCC;
}

// Frame headers (every SOFn): they carry the picture's height and width.
bool isFrameMarker(std::uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

struct ExifTexts {
  std::string date;
  std::string camera;
};

// The values of the first EXIF directory: a value with at least four ':' is a date, any other
// text is camera text. seg holds the segment from its length field on.
void readExifDirectory(platform::ByteView seg, ExifTexts& out) {
  constexpr std::size_t kTiff = 8;  // length field, then "Exif\0\0"
  const auto order = tiffByteOrder(seg, kTiff);
  if (!order || SwapBytes32(seg, kTiff + 4, *order) != 8u) return;
  const auto count = SwapBytes16(seg, kTiff + 8, *order);
  if (!count) return;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < *count; ++i) {
    const std::size_t entry = kTiff + 10 + 12 * i;
    if (!seg.has(entry, 12)) break;
    const std::uint16_t type = *SwapBytes16(seg, entry + 2, *order);
    const std::uint64_t bytes = std::uint64_t(*SwapBytes32(seg, entry + 4, *order)) * tiffTypeBytes(type);
    const std::uint32_t valueOffset = *SwapBytes32(seg, entry + 8, *order);
    if (valueOffset <= kTiff) continue;  // would point into the TIFF header itself
    const std::uint64_t at = kTiff + std::uint64_t(valueOffset);
    if (at >= seg.size()) continue;
    if (bytes > seg.size() - at || sum + bytes > kMaxExifValueBytes) break;
    sum += bytes;
    if (bytes <= 4) continue;  // such values stand in the entry itself
    const auto value = seg.sub(std::size_t(at), std::size_t(bytes));
    std::string text(reinterpret_cast<const char*>(value->data()), value->size());
    std::size_t nuls = 0, colons = 0;
    for (char c : text) {
      nuls += c == '\0';
      colons += c == ':';
    }
    if (nuls > 1) continue;
    if (colons >= 4) {
      for (char& c : text)
        if (c == ':') c = '-';
      if (text.size() <= kMaxDateBytes) out.date = text;
    } else {
      for (char& c : text)
        if (c == '\0') c = ' ';
      out.camera += text.substr(0, kMaxCameraBytes - std::min(kMaxCameraBytes, out.camera.size()));
    }
  }
}

}  // namespace

FinderOutcome GetJpegFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  const auto head = w.bytes(0, 4);
  if (!head) return std::nullopt;
  const std::array<std::uint8_t, 4> h = {head->data()[0], head->data()[1], head->data()[2], head->data()[3]};
  bool found = false;
  std::uint64_t pos = 0;

  // Where an EXIF segment's FF E1 (or FF D8 FF E1) stands, and how many bytes precede its length.
  std::optional<std::uint64_t> exifMarker;
  std::uint64_t exifSkip = 0;
  const auto exifAt = [&](std::uint64_t at) {
    if (w.matches(at, "\xFF\xE1")) exifMarker = at, exifSkip = 2;
    else if (w.matches(at, "\xFF\xD8\xFF\xE1")) exifMarker = at, exifSkip = 4;
  };
  if (h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF && isHeaderVariant(h[3])) {
    found = true;
    const auto length = w.be16(4);
    pos = 4 + (length ? *length : 0);
    exifAt(pos);
  } else {
    exifAt(0);
  }

  ExifTexts exif;
  if (exifMarker) {
    const std::uint64_t lengthAt = *exifMarker + exifSkip;
    if (const auto length = w.be16(lengthAt)) {
      pos = lengthAt + *length;
      found = true;
      if (const auto seg = w.bytes(lengthAt, *length)) readExifDirectory(*seg, exif);
    }
  }

  std::uint32_t width = 0, height = 0;
  int unknown = 0;
  const std::uint64_t base = w.firstByte();
  JpegWalkMemo* const memo = run.memory ? &run.memory->jpeg : nullptr;
  // This walk's record: a new one, or the remembered walk it joined and goes on with.
  JpegWalkMemo fresh;
  JpegWalkMemo* record = &fresh;
  std::uint64_t lastLandingSector = ~std::uint64_t(0);
  bool finished = false;  // the remembered walk's outcome was taken whole
  while (unknown < kMaxUnknownRun && pos < kJpegCap && !run.stopRequested()) {
    const auto pair = w.bytes(pos, 2);
    if (!pair) break;
    const std::uint8_t m0 = pair->data()[0], m1 = pair->data()[1];
    if (m0 == 0xFF && (isSegmentMarker(m1) || isFrameMarker(m1))) {
      const auto length = w.be16(pos + 2);
      if (!length) break;
      if (isFrameMarker(m1)) {
        height = w.be16(pos + 5).value_or(0);
        width = w.be16(pos + 7).value_or(0);
        record->frameAt = base + pos;
        record->width = width;
        record->height = height;
      }
      pos += 2 + *length;
      unknown = 0;
      const std::uint64_t landing = base + pos;
      if (memo && record == &fresh && memo->valid && pos < kJpegCap &&
          std::binary_search(memo->landings.begin(), memo->landings.end(), landing)) {
        // The remembered walk stood here with no unknown byte behind it: from here on it is
        // this walk.
        if (memo->frameAt && *memo->frameAt >= landing) {
          width = memo->width;
          height = memo->height;
        }
        found = found || memo->endMarker;
        pos = memo->end - base;
        record = memo;
        if (!memo->capped || pos >= kJpegCap) {
          finished = true;
          break;
        }
        unknown = memo->unknownAtEnd;
        memo->valid = false;  // until this walk, which goes on with it, ends
        lastLandingSector = landing / engine::kSectorBytes;
        continue;
      }
      if (landing / engine::kSectorBytes != lastLandingSector) {
        lastLandingSector = landing / engine::kSectorBytes;
        appendWalkPoint(record->landings, landing);
      }
    } else if (m0 == 0xFF && m1 == 0xDA) {
      pos += 2;
      static constexpr std::uint8_t kEnd[2] = {0xFF, 0xD9};
      const auto end = findInRun(run, pos, pos + kJpegCap, kEnd);
      if (end.at) {
        pos = *end.at + 2;
        found = true;
        record->endMarker = true;
        break;
      }
      pos = end.reached;
    } else {
      ++unknown;
      ++pos;
    }
  }
  if (memo && !run.stopRequested() && !finished) {
    record->valid = true;
    record->end = base + pos;
    record->capped = pos >= kJpegCap && unknown < kMaxUnknownRun && !record->endMarker;
    record->unknownAtEnd = unknown;
    if (record == &fresh) *memo = std::move(fresh);
  }

  if (!found) return std::nullopt;
  LengthFinderResult r;
  r.size = pos;
  r.skipCovered = true;
  FinderNamePieces pieces;
  pieces.date = parseDateText(exif.date);
  if (pieces.date) r.modified = dosDateTime(*pieces.date);
  pieces.camera = platform::widenLatin1(exif.camera);
  pieces.width = width;
  pieces.height = height;
  pieces.withDimensions = width != 0 && height != 0;
  r.name = buildFinderName(pieces);
  return r;
}

}  // namespace qelda::carve
