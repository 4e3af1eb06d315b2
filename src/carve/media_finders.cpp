// AU sound, AVI video and HTML pages.
#include <algorithm>
#include <cstring>

#include "carve/finder_memory.h"
#include "carve/length_finders.h"

namespace qelda::carve {

namespace {

constexpr std::uint32_t kAuUnknownSize = 0xFFFFFFFF;
constexpr std::size_t kHtmlBytes = 0x200000;
constexpr std::size_t kMaxTitleBytes = 64;
// A remembered scan that its page's end stopped, not the source's end or a closing tag.
constexpr std::uint64_t kHtmlCut = 2;

bool equalsIgnoreCase(platform::ByteView v, std::size_t at, std::string_view text) {
  if (!v.has(at, text.size())) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint8_t c = v.data()[at + i];
    if (c >= 'A' && c <= 'Z') c = std::uint8_t(c - 'A' + 'a');
    if (c != std::uint8_t(text[i])) return false;
  }
  return true;
}

bool isHtmlStart(platform::ByteView page) {
  if (equalsIgnoreCase(page, 0, "<html")) return true;
  if (!equalsIgnoreCase(page, 0, "<!doctype html")) return false;
  const auto next = page.u8(14);
  return next && (*next == '>' || *next == ' ' || *next == '\t' || *next == '\r' || *next == '\n');
}

}  // namespace

FinderOutcome GetAuFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  if (run.stopRequested() || !w.matches(0, ".snd")) return std::nullopt;
  const auto dataOffset = w.be32(4);
  const auto dataSize = w.be32(8);
  if (!dataOffset || !dataSize) return std::nullopt;
  LengthFinderResult r;
  if (*dataSize == kAuUnknownSize) r.sizeUnknown = true;  // written to a pipe: the format does not know
  else r.size = std::uint64_t(*dataOffset) + *dataSize;
  return r;
}

FinderOutcome GetAviFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  if (run.stopRequested() || !w.matches(0, "RIFF") || !w.matches(8, "AVI ")) return std::nullopt;
  const auto riffSize = w.le32(4);
  if (!riffSize) return std::nullopt;
  const std::uint64_t riffEnd = 8 + std::uint64_t(*riffSize);
  std::uint64_t pos = 12;
  bool stepped = false;
  // The walk from a chunk on depends on nothing but where it stands, up to the RIFF end.
  WalkTrace trace(run.memory ? &run.memory->avi : nullptr);
  const std::uint64_t base = w.firstByte();
  bool joined = false;
  while (!run.stopRequested()) {
    if (pos < w.size() && trace.passes(base + pos, 0, base + riffEnd)) {
      stepped = stepped || trace.remembered().end != base + pos;
      pos = trace.remembered().end - base;
      joined = true;
      break;
    }
    const auto id = w.bytes(pos, 4);
    if (!id || !(id->matches(0, "LIST") || id->matches(0, "JUNK") || id->matches(0, "idx1"))) break;
    const auto size = w.le32(pos + 4);
    if (!size) break;
    const std::uint64_t next = pos + 8 + *size + (*size & 1);  // chunks keep even positions
    if (next > riffEnd) {
      joined = true;  // ended by this file's own length: not for another file to take
      break;
    }
    pos = next;
    stepped = true;
  }
  if (!joined && !run.stopRequested()) trace.finish(base + pos);
  if (!stepped) return std::nullopt;
  LengthFinderResult r;
  r.size = pos;
  return r;
}

FinderOutcome GetHtmlFileSize(FinderRun& run) {
  engine::ByteWindow& w = run.window;
  const auto head = w.bytesUpTo(0, 16);
  if (!head || !isHtmlStart(*head)) return std::nullopt;
  LengthFinderResult r;
  r.endGuessed = true;  // until the closing tag is met
  if (run.stopRequested()) return r;
  // The scan from a byte on depends on nothing but where it stands, as long as the page it
  // looks at is not cut shorter than the source: a page that starts inside one scanned
  // before ends where that one did, and is not read again.
  const std::uint64_t base = w.firstByte();
  const std::uint64_t pageBytes = std::min<std::uint64_t>(kHtmlBytes, w.size());
  const bool toSourceEnd = pageBytes == w.size();
  const std::uint64_t limit = toSourceEnd ? ~std::uint64_t(0) : base + pageBytes - std::min<std::uint64_t>(pageBytes, 16);
  WalkTrace trace(run.memory ? &run.memory->html : nullptr);
  // Where this scan starts: its first byte, or where a remembered scan that its own page's
  // end cut short stopped.
  std::uint64_t from = 0;
  const auto joined = [&](std::uint64_t pos) {
    if (!trace.passes(base + pos, 0, limit)) return false;
    const WalkMemo& m = trace.remembered();
    if (m.value == kHtmlCut) {
      if (m.end - base <= from) return false;
      from = m.end - base;  // the scan goes on there
      trace.resume();
      return true;
    }
    r.size = m.end - base;
    r.endGuessed = m.value == 0;
    return true;
  };
  if (joined(0) && from == 0) return r;
  const auto page = w.bytesUpTo(from, kHtmlBytes - std::min<std::uint64_t>(from, kHtmlBytes));
  if (!page) return std::nullopt;
  const std::size_t length = std::size_t(from) + page->size();
  const auto at = [&](std::size_t pos, std::string_view text) { return page->matches(pos - std::size_t(from), text); };
  // Every tag looked for starts with '<': the first one in [pos, end), else end.
  const auto nextTag = [&](std::size_t pos, std::size_t end) {
    if (pos >= end) return pos;
    const void* hit = std::memchr(page->data() + (pos - std::size_t(from)), '<', end - pos);
    return hit ? std::size_t(static_cast<const std::uint8_t*>(hit) - page->data()) + std::size_t(from) : end;
  };
  // The first position where no tag fits before the page's end.
  const std::size_t scanEnd = length >= 7 ? length - 6 : 0;
  std::size_t pos = std::size_t(from);
  std::uint64_t sector = pos / engine::kSectorBytes;
  bool titleCut = false;  // the page's end cut a title short
  while (pos + 7 <= length && !run.stopRequested()) {
    if (pos / engine::kSectorBytes != sector) {
      sector = pos / engine::kSectorBytes;
      const std::uint64_t before = from;
      if (joined(pos)) {
        if (from == before) return r;
        pos = std::size_t(from);  // a remembered scan cut short: on from its end
        continue;
      }
    }
    if (at(pos, "<TITLE>") || at(pos, "<title>")) {
      // The title is stepped over, so that nothing in it ends the page.
      pos += 7;
      const std::size_t stop = std::min(length, pos + kMaxTitleBytes);
      titleCut = pos + kMaxTitleBytes > length;
      while ((pos = nextTag(pos, stop)) < stop && !at(pos, "</TITLE>") && !at(pos, "</title>")) ++pos;
      continue;
    }
    if (at(pos, "</html>") || at(pos, "</HTML>")) {
      r.endGuessed = false;
      // The tag and the line end that follows it, when there is one: CR LF or LF.
      pos += 7;
      if (at(pos, "\r\n")) pos += 2;
      else if (at(pos, "\n")) pos += 1;
      break;
    }
    // On to the next '<', but no further than this sector's end, where a remembered scan
    // may be joined.
    pos = nextTag(pos + 1, std::min<std::size_t>(scanEnd, (sector + 1) * engine::kSectorBytes));
  }
  if (!run.stopRequested()) {
    if (!r.endGuessed || toSourceEnd) trace.finish(base + pos, r.endGuessed ? 0 : 1);
    else if (!titleCut) trace.finish(base + pos, kHtmlCut);
  }
  r.size = pos;
  return r;
}

}  // namespace qelda::carve
