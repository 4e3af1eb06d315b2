// AU sound, AVI video and HTML pages.
#include <algorithm>

#include "carve/length_finders.h"

namespace qelda::carve {

namespace {

constexpr std::uint32_t kAuUnknownSize = 0xFFFFFFFF;
constexpr std::size_t kHtmlBytes = 0x200000;
constexpr std::size_t kMaxTitleBytes = 64;

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
  while (!run.stopRequested()) {
    const auto id = w.bytes(pos, 4);
    if (!id || !(id->matches(0, "LIST") || id->matches(0, "JUNK") || id->matches(0, "idx1"))) break;
    const auto size = w.le32(pos + 4);
    if (!size) break;
    const std::uint64_t next = pos + 8 + *size + (*size & 1);  // chunks keep even positions
    if (next > riffEnd) break;
    pos = next;
    stepped = true;
  }
  if (!stepped) return std::nullopt;
  LengthFinderResult r;
  r.size = pos;
  return r;
}

FinderOutcome GetHtmlFileSize(FinderRun& run) {
  const auto page = run.window.bytesUpTo(0, kHtmlBytes);
  if (!page || !isHtmlStart(*page)) return std::nullopt;
  LengthFinderResult r;
  if (run.stopRequested()) return r;
  const std::size_t length = page->size();
  std::size_t pos = 0;
  while (pos + 7 <= length && !run.stopRequested()) {
    if (page->matches(pos, "<TITLE>") || page->matches(pos, "<title>")) {
      // The title is stepped over, so that nothing in it ends the page.
      pos += 7;
      const std::size_t stop = std::min(length, pos + kMaxTitleBytes);
      while (pos < stop && !page->matches(pos, "</TITLE>") && !page->matches(pos, "</title>")) ++pos;
      continue;
    }
    if (page->matches(pos, "</html>") || page->matches(pos, "</HTML>")) {
      // The tag and the line end that follows it, when there is one: CR LF or LF.
      pos += 7;
      if (page->matches(pos, "\r\n")) pos += 2;
      else if (page->matches(pos, "\n")) pos += 1;
      break;
    }
    ++pos;
  }
  r.size = pos;
  return r;
}

}  // namespace qelda::carve
