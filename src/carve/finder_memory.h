// What the length finders of one sweep remember between the files they size: a raw search
// tries a finder at every sector, and a pattern repeated at every sector would make each try
// walk the same bytes again. Every entry is about the source's bytes alone (absolute byte
// positions), never about one file, so a later file starting over the same bytes may take it.
// One FinderMemory belongs to one sweep thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "carve/zip_walk.h"
#include "engine/byte_window.h"

namespace qelda::carve {

struct FinderRun;

// Adds a point to a remembered walk's points, of which it keeps 2^20 at most (8 MiB): a walk
// taken over again and again drops its earlier half then, since later files start after them.
void appendWalkPoint(std::vector<std::uint64_t>& points, std::uint64_t point);

// The PNG finder's work for the data chunk at `data`: where that chunk's chain ends, and the
// byte scan from `scanFrom` up to it: the last size chunk and the last "Source" and
// "CreationTime" texts met there.
struct PngMemo {
  bool chainKnown = false;
  std::uint64_t data = 0;
  std::optional<std::uint64_t> chainEnd;  // nothing: a read failed on the way
  bool scanned = false;
  std::uint64_t scanFrom = 0;
  std::optional<std::uint64_t> sizeAt, sourceAt, creationAt;
  std::uint32_t width = 0, height = 0;
  std::string camera, date;
};

// The JPEG marker walk last made: where it landed after each segment (the first landing in
// each sector, in order), where and why it ended, and the last frame header it met.
struct JpegWalkMemo {
  bool valid = false;
  std::vector<std::uint64_t> landings;
  std::uint64_t end = 0;
  bool capped = false;     // it ended at its own length cap, not by what it read
  bool endMarker = false;  // it found the end marker
  int unknownAtEnd = 0;
  std::optional<std::uint64_t> frameAt;
  std::uint32_t width = 0, height = 0;
};

// The course of a walk over a file's structure (blocks, chunks, sub-blocks, directory
// sectors) whose next step depends on nothing but where it stands and in which state (a tag
// of 0 to 3): the points it passed (the first in each sector) and where it ended by what it
// read. A later walk that reaches one of those points in the same state would go the same
// way, so it takes that end instead of walking on.
struct WalkMemo {
  bool valid = false;
  std::vector<std::uint64_t> points;  // absolute position * 4 + tag, increasing
  std::uint64_t end = 0;              // absolute
  std::uint64_t value = 0;            // what the finder kept of the outcome
};

// One walk's use of a WalkMemo (or of none).
class WalkTrace {
 public:
  explicit WalkTrace(WalkMemo* memo) : memo_(memo) {}
  // Called at each point of the walk (absolute position). True when the remembered walk
  // passed the same point in the same state and ended, by what it read, at or before `limit`
  // (where this walk would stop anyway): that walk's end and value are this one's.
  bool passes(std::uint64_t at, std::uint8_t tag, std::uint64_t limit = ~std::uint64_t(0));
  // The walk goes on from where the remembered one stopped (which its own cap cut short):
  // it takes over that walk's points, and what it finishes is both.
  void resume();
  // The walk ended by what it read (not by a cap on its own length or a stop): remember it.
  void finish(std::uint64_t end, std::uint64_t value = 0);
  const WalkMemo& remembered() const { return *memo_; }

 private:
  WalkMemo* memo_;
  std::vector<std::uint64_t> points_;
  std::uint64_t lastSector_ = ~std::uint64_t(0);
};

class FinderMemory {
 public:
  // As ByteWindow::find over the run's window; a search for the same pattern that an earlier
  // file of this sweep made over the same bytes goes on where that one ended instead.
  engine::ByteWindow::FindResult find(FinderRun& run, std::uint64_t from, std::uint64_t to,
                                      std::span<const std::uint8_t> pattern);

  // Bytes this memory holds, and the most that a window of the sweep held at once.
  std::size_t heldBytes() const;
  std::size_t peakWindowBytes = 0;

  PngMemo png;
  JpegWalkMemo jpeg;
  WalkMemo rar, gif, avi, html, oleDirectory;
  ZipWalkMemo zip;

 private:
  // No occurrence of the pattern starts in [from, clear); when `found`, one starts at clear.
  struct Search {
    std::vector<std::uint8_t> pattern;
    bool valid = false;
    std::uint64_t from = 0, clear = 0;
    bool found = false;
  };
  std::vector<Search> searches_;
};

// The run's memory when it has one, else the window's own search.
engine::ByteWindow::FindResult findInRun(FinderRun& run, std::uint64_t from, std::uint64_t to,
                                         std::span<const std::uint8_t> pattern);

}  // namespace qelda::carve
