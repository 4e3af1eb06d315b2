#include "carve/zip_walk.h"

#include "carve/finder_memory.h"

#include <algorithm>
#include <string>

namespace qelda::carve {

namespace {

constexpr std::uint32_t kDataDescriptorFlag = 0x0008;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
// Records a remembered walk keeps at most (the first in each sector); a walk taken over again
// and again drops its earlier half then, since later files start after them.
constexpr std::size_t kMaxZipPoints = std::size_t(1) << 18;

void meetName(FinderRun& run, std::uint64_t at, std::uint16_t length, const ZipNameClassifier& classify,
              ZipWalk& walk) {
  std::string_view name;
  if (length != 0) {
    const auto v = run.window.bytes(at, length);
    if (!v) return;
    name = std::string_view(reinterpret_cast<const char*>(v->data()), v->size());
  }
  const std::uint8_t c = classify(name) % kZipNameClasses;
  ++walk.names;
  if (!walk.firstClass) walk.firstClass = c;
  if (c != 0) walk.lastOfClass[c] = walk.names;
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
std::uint32_t visitCentralDirectory(FinderRun& run, const ZipEnd& zipEnd, const ZipNameClassifier& classify,
                                    ZipWalk& walk) {
  std::uint64_t at = zipEnd.directoryAt;
  const std::uint64_t end = zipEnd.directoryAt + zipEnd.directoryBytes;
  std::uint32_t count = 0;
  while (count < zipEnd.entries && at < end && !run.stopRequested()) {
    const auto sig = run.window.le32(at);
    const auto n = run.window.le16(at + 28);
    const auto e = run.window.le16(at + 30);
    const auto c = run.window.le16(at + 32);
    if (!sig || *sig != kZipCentralHeader || !n || !e || !c) break;
    meetName(run, at + 46, *n, classify, walk);
    ++count;
    at += 46 + std::uint64_t(*n) + *e + *c;
  }
  return count;
}

// Takes the remembered walk's course from `at` (absolute) when that walk passed it and ended
// by what it read, its tail not met names this walk would have to class first.
bool joinRemembered(const ZipWalkMemo& memo, std::uint64_t at, std::uint64_t base, std::size_t records,
                    ZipWalk& walk) {
  if (!memo.valid) return false;
  const auto it = std::lower_bound(memo.points.begin(), memo.points.end(), at);
  if (it == memo.points.end() || *it != at) return false;
  const ZipWalkMemo::Tally& here = memo.tallies[std::size_t(it - memo.points.begin())];
  if (records + (memo.final.records - here.records) > kMaxZipRecords) return false;
  if (!walk.firstClass && memo.final.names != here.names) return false;
  walk.localCount += memo.final.local - here.local;
  walk.centralCount += memo.final.central - here.central;
  for (std::size_t c = 1; c < kZipNameClasses; ++c)
    if (memo.lastOfClass[c] > here.names) walk.lastOfClass[c] = walk.names + (memo.lastOfClass[c] - here.names);
  walk.names += memo.final.names - here.names;
  walk.endRecord = memo.endRecord;
  walk.end = memo.end - base;
  return true;
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

ZipWalk walkZip(FinderRun& run, std::uint64_t limit, const ZipNameClassifier& classify) {
  ZipWalk walk;
  engine::ByteWindow& w = run.window;
  const std::uint64_t base = w.firstByte();
  ZipWalkMemo* const memo = run.memory ? &run.memory->zip : nullptr;
  ZipWalkMemo course;  // this walk's, remembered when it ends by what it read
  std::uint64_t lastSector = ~std::uint64_t(0);
  const auto remember = [&](std::size_t records) {
    if (!memo || run.stopRequested()) return;
    course.final = {records, walk.localCount, walk.centralCount, walk.names};
    course.end = base + walk.end;
    course.endRecord = walk.endRecord;
    std::copy(std::begin(walk.lastOfClass), std::end(walk.lastOfClass), std::begin(course.lastOfClass));
    course.valid = true;
    *memo = std::move(course);
  };
  std::uint64_t pos = 0;
  std::size_t records = 0;
  bool ended = false;  // by what the walk read, not by its own limits
  for (; records < kMaxZipRecords && pos < limit && !run.stopRequested(); ++records) {
    ended = true;
    if (memo && records > 0 && pos < w.size()) {
      if (joinRemembered(*memo, base + pos, base, records, walk)) return walk;
      if ((base + pos) / engine::kSectorBytes != lastSector) {
        lastSector = (base + pos) / engine::kSectorBytes;
        if (course.points.size() >= kMaxZipPoints) {
          course.points.erase(course.points.begin(), course.points.begin() + kMaxZipPoints / 2);
          course.tallies.erase(course.tallies.begin(), course.tallies.begin() + kMaxZipPoints / 2);
        }
        course.points.push_back(base + pos);
        course.tallies.push_back({records, walk.localCount, walk.centralCount, walk.names});
      }
    }
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
      meetName(run, pos + 30, *n, classify, walk);
      if (*flags & kDataDescriptorFlag) {
        // The entry's sizes follow its data: only the end record can say where the archive ends.
        if (const auto zipEnd = findZipEnd(run, pos + 30 + *n + *e, limit)) {
          walk.centralCount = visitCentralDirectory(run, *zipEnd, classify, walk);
          walk.end = zipEnd->end;
          walk.endRecord = walk.viaEndSearch = true;
        } else {
          walk.unresolvedDescriptor = true;
          walk.end = pos;
        }
        return walk;  // how this ends depends on where the archive starts: not remembered
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
      remember(records + 1);
      return walk;
    } else if (*sig == kZip64EndRecord) {
      const auto size = w.le64(pos + 4);
      if (!size) break;
      if (*size > limit) {
        ended = false;
        break;
      }
      step = 12 + *size;
    } else if (*sig == kZip64Locator) {
      step = 20;
    } else {
      break;
    }
    if (step > limit - pos) {  // a jump past the limit is not taken
      ended = false;
      break;
    }
    pos += step;
    ended = false;
  }
  walk.end = pos;
  if (ended) remember(records);
  return walk;
}

}  // namespace qelda::carve
