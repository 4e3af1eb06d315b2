// PNG: a scan for the chunk types before the image data (dimensions, the "Source" and
// "CreationTime" texts), the jumps from one data chunk to the next, then the chunks after the
// last data chunk followed to the end chunk. The first data chunk is looked for before the
// scan, and the sweep's memory keeps both, so that a signature at every sector does not
// scan the same megabytes once per sector.
#include <string_view>

#include "carve/finder_memory.h"
#include "carve/finder_names.h"
#include "carve/length_finders.h"
#include "platform/text.h"

namespace qelda::carve {

namespace {

// How far the scan looks for the first data chunk.
constexpr std::uint64_t kMaxBeforeData = 0xA00000;
constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFF;  // the format's own limit
constexpr int kMaxChunksAfterData = 1024;
constexpr std::size_t kMaxCameraBytes = 256;
constexpr std::size_t kMaxDateBytes = 32;

bool isChunkType(platform::ByteView type) {
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t c = type.data()[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

// The end of the end chunk, following chunks from `at` (a chunk's length field); nothing
// when the chain breaks first.
std::optional<std::uint64_t> followToEndChunk(FinderRun& run, std::uint64_t at) {
  for (int i = 0; i < kMaxChunksAfterData && !run.stopRequested(); ++i) {
    const auto length = run.window.be32(at);
    const auto type = run.window.bytes(at + 4, 4);
    if (!length || !type || *length > kMaxChunkLength || !isChunkType(*type)) return std::nullopt;
    const bool end = type->matches(0, "IEND");
    at += 12 + std::uint64_t(*length);  // length, type, data, CRC
    if (end) return at;
  }
  return std::nullopt;
}

// From the type of the first data chunk to the end of the file; nothing when a read fails.
std::optional<std::uint64_t> endAfterData(FinderRun& run, std::uint64_t typeAt) {
  while (!run.stopRequested()) {
    const auto length = run.window.be32(typeAt - 4);
    if (!length || *length > kMaxChunkLength) return std::nullopt;
    const std::uint64_t p = typeAt + *length;
    const auto nextType = run.window.bytes(p + 12, 4);  // type, data, CRC, next length
    if (!nextType) return std::nullopt;
    if (nextType->matches(0, "IDAT")) {
      typeAt = p + 12;
      continue;
    }
    if (const auto end = followToEndChunk(run, p + 8)) return end;
    return p + 20;  // the chain after the data is broken: the file ends with an end chunk here
  }
  return std::nullopt;
}

std::string textAt(engine::ByteWindow& w, std::uint64_t at, std::uint64_t length, std::size_t maxBytes) {
  if (length == 0) return {};
  const auto v = w.bytes(at, std::size_t(std::min<std::uint64_t>(length, maxBytes)));
  if (!v) return {};
  std::string out(reinterpret_cast<const char*>(v->data()), v->size());
  return out.substr(0, out.find('\0'));
}

// The byte scan before the first data chunk, [0, dataAt): the last size chunk and the last
// "Source" and "CreationTime" texts met; positions are absolute.
bool scanBeforeData(FinderRun& run, std::uint64_t dataAt, PngMemo& out) {
  engine::ByteWindow& w = run.window;
  const std::uint64_t base = w.firstByte();
  for (std::uint64_t pos = 0; pos < dataAt; ++pos) {
    if (run.stopRequested()) return false;
    const auto type = w.bytes(pos, 4);
    if (!type) return false;
    if (type->matches(0, "IHDR")) {
      out.sizeAt = base + pos;
      out.width = w.be32(pos + 4).value_or(0);
      out.height = w.be32(pos + 8).value_or(0);
    } else if (type->matches(0, "tEXt") && pos >= 4) {
      // Compressed texts (zTXt) are not read: their values are deflated data.
      const std::uint32_t length = w.be32(pos - 4).value_or(0);
      static constexpr std::string_view kSource("Source\0", 7);
      static constexpr std::string_view kCreation("CreationTime\0", 13);
      if (length >= kSource.size() && w.matches(pos + 4, kSource)) {
        out.sourceAt = base + pos;
        out.camera = textAt(w, pos + 4 + kSource.size(), length - kSource.size(), kMaxCameraBytes);
      } else if (length >= kCreation.size() && w.matches(pos + 4, kCreation)) {
        out.creationAt = base + pos;
        out.date = textAt(w, pos + 4 + kCreation.size(), length - kCreation.size(), kMaxDateBytes);
      }
    }
  }
  return true;
}

}  // namespace

FinderOutcome GetPngFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  if (!w.matches(0, "\x89PNG")) return std::nullopt;
  static constexpr std::uint8_t kData[4] = {'I', 'D', 'A', 'T'};
  const auto data = findInRun(run, 4, kMaxBeforeData + 4, kData);
  if (!data.at || run.stopRequested()) return std::nullopt;
  const std::uint64_t base = w.firstByte();
  const std::uint64_t dataAbs = base + *data.at;
  PngMemo scratch;
  PngMemo& memo = run.memory ? run.memory->png : scratch;
  if (!memo.chainKnown || memo.data != dataAbs) {
    memo = PngMemo{};
    const auto end = endAfterData(run, *data.at);
    if (run.stopRequested()) return std::nullopt;
    memo.chainKnown = true;
    memo.data = dataAbs;
    if (end) memo.chainEnd = base + *end;
  }
  if (!memo.chainEnd) return std::nullopt;
  const std::uint64_t end = *memo.chainEnd - base;
  if (!memo.scanned || memo.scanFrom > base) {
    memo.scanned = false;
    memo.sizeAt = memo.sourceAt = memo.creationAt = std::nullopt;
    if (!scanBeforeData(run, *data.at, memo)) return std::nullopt;
    memo.scanned = true;
    memo.scanFrom = base;
  }
  // What the scan met before this file's first byte is not this file's.
  const auto mine = [&](const std::optional<std::uint64_t>& at) { return at && *at >= base; };
  const std::uint32_t width = mine(memo.sizeAt) ? memo.width : 0;
  const std::uint32_t height = mine(memo.sizeAt) ? memo.height : 0;
  const std::string camera = mine(memo.sourceAt) ? memo.camera : std::string();
  const std::string date = mine(memo.creationAt) ? memo.date : std::string();

  LengthFinderResult r;
  r.size = end;
  FinderNamePieces pieces;
  pieces.date = parseDateText(date);
  if (pieces.date) r.modified = dosDateTime(*pieces.date);
  pieces.camera = platform::widenLatin1(camera);
  pieces.width = width;
  pieces.height = height;
  pieces.withDimensions = width != 0 && height != 0 && width < kMaxNamedDimension && height < kMaxNamedDimension;
  r.name = buildFinderName(pieces);
  return r;
}

}  // namespace qelda::carve
