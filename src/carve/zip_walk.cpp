#include "carve/zip_walk.h"

#include "carve/finder_memory.h"

#include <string>

namespace qelda::carve {

namespace {

constexpr std::uint32_t kDataDescriptorFlag = 0x0008;
constexpr std::uint16_t kZip64ExtraId = 0x0001;

void visitName(FinderRun& run, std::uint64_t at, std::uint16_t length, const ZipNameVisitor& onName) {
  if (length == 0) return onName({});
  if (const auto v = run.window.bytes(at, length))
    onName(std::string_view(reinterpret_cast<const char*>(v->data()), v->size()));
}

// The compressed size a Zip64 extra field of a local header gives (it holds the original size,
// then the compressed size).
std::optional<std::uint64_t> zip64CompressedSize(FinderRun& run, std::uint64_t extraAt, std::uint16_t extraLength) {
  std::uint64_t at = extraAt;
  const std::uint64_t end = extraAt + extraLength;
  while (at < end && end - at >= 4) {
    const auto id = run.window.le16(at);
    const auto size = run.window.le16(at + 2);
    if (!id || !size) return std::nullopt;
    if (*id == kZip64ExtraId && *size >= 16) return run.window.le64(at + 4 + 8);
    at += 4 + std::uint64_t(*size);
  }
  return std::nullopt;
}

// The names of the central directory an end record points at; returns how many entries it holds.
std::uint32_t visitCentralDirectory(FinderRun& run, const ZipEnd& zipEnd, const ZipNameVisitor& onName) {
  std::uint64_t at = zipEnd.directoryAt;
  const std::uint64_t end = zipEnd.directoryAt + zipEnd.directoryBytes;
  std::uint32_t count = 0;
  while (count < zipEnd.entries && at < end && !run.stopRequested()) {
    const auto sig = run.window.le32(at);
    const auto n = run.window.le16(at + 28);
    const auto e = run.window.le16(at + 30);
    const auto c = run.window.le16(at + 32);
    if (!sig || *sig != kZipCentralHeader || !n || !e || !c) break;
    visitName(run, at + 46, *n, onName);
    ++count;
    at += 46 + std::uint64_t(*n) + *e + *c;
  }
  return count;
}

}  // namespace

std::optional<ZipEnd> findZipEnd(FinderRun& run, std::uint64_t from, std::uint64_t limit) {
  static constexpr std::uint8_t kSignature[4] = {'P', 'K', 0x05, 0x06};
  std::uint64_t pos = from;
  while (pos < limit && !run.stopRequested()) {
    const auto hit = findInRun(run, pos, limit + 3, kSignature);  // the record starts before limit
    if (!hit.at) return std::nullopt;
    const std::uint64_t q = *hit.at;
    const auto entries = run.window.le16(q + 10);
    const auto bytes = run.window.le32(q + 12);
    const auto offset = run.window.le32(q + 16);
    const auto comment = run.window.le16(q + 20);
    if (entries && bytes && offset && comment && std::uint64_t(*offset) + *bytes == q)
      return ZipEnd{q, q + 22 + *comment, *offset, *bytes, *entries};
    pos = q + 1;
  }
  return std::nullopt;
}

ZipWalk walkZip(FinderRun& run, std::uint64_t limit, const ZipNameVisitor& onName) {
  ZipWalk walk;
  engine::ByteWindow& w = run.window;
  std::uint64_t pos = 0;
  for (std::size_t records = 0; records < kMaxZipRecords && pos < limit && !run.stopRequested(); ++records) {
    const auto sig = w.le32(pos);
    if (!sig) break;
    std::uint64_t step = 0;
    if (*sig == kZipLocalHeader) {
      const auto flags = w.le16(pos + 6);
      const auto compressed = w.le32(pos + 18);
      const auto n = w.le16(pos + 26);
      const auto e = w.le16(pos + 28);
      if (!flags || !compressed || !n || !e) break;
      ++walk.localCount;
      visitName(run, pos + 30, *n, onName);
      if (*flags & kDataDescriptorFlag) {
        // The entry's sizes follow its data: only the end record can say where the archive ends.
        if (const auto zipEnd = findZipEnd(run, pos + 30 + *n + *e, limit)) {
          walk.centralCount = visitCentralDirectory(run, *zipEnd, onName);
          walk.end = zipEnd->end;
          walk.endRecord = walk.viaEndSearch = true;
        } else {
          walk.unresolvedDescriptor = true;
          walk.end = pos;
        }
        return walk;
      }
      std::uint64_t dataBytes = *compressed;
      if (*compressed == 0xFFFFFFFF) {
        const auto wide = zip64CompressedSize(run, pos + 30 + *n, *e);
        if (!wide) break;
        dataBytes = *wide;
      }
      step = 30 + std::uint64_t(*n) + *e + dataBytes;
    } else if (*sig == kZipCentralHeader) {
      const auto n = w.le16(pos + 28);
      const auto e = w.le16(pos + 30);
      const auto c = w.le16(pos + 32);
      if (!n || !e || !c) break;
      ++walk.centralCount;
      step = 46 + std::uint64_t(*n) + *e + *c;
    } else if (*sig == kZipEndRecord) {
      const auto c = w.le16(pos + 20);
      if (!c) break;
      walk.endRecord = true;
      walk.end = pos + 22 + *c;
      return walk;
    } else if (*sig == kZip64EndRecord) {
      const auto size = w.le64(pos + 4);
      if (!size || *size > limit) break;
      step = 12 + *size;
    } else if (*sig == kZip64Locator) {
      step = 20;
    } else {
      break;
    }
    if (step > limit - pos) break;  // a jump past the limit is not taken
    pos += step;
  }
  walk.end = pos;
  return walk;
}

}  // namespace qelda::carve
