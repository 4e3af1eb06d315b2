// The sweep of a raw search: reads the units of a range in large sequential blocks, matches
// the candidate units of each block (on several threads when asked), and reports the hits in
// the order of their position on disk. A file whose end is known (or that its type says
// covers its units) moves the search past its last unit; any other file ends where the next
// reported file begins. So the files reported never overlap, and what they hold together
// never exceeds the bytes searched.
#pragma once

#include <cstdint>
#include <functional>

#include "carve/raw_match.h"

namespace qelda::carve {

struct RawHit {
  std::uint64_t unit = 0;         // the cluster or sector number
  std::uint64_t firstSector = 0;  // absolute
  RawMatch match;
};

// The work one sweep did, counted as it went (cheap enough to count always).
struct RawSweepStats {
  std::uint64_t bytesRead = 0;      // asked of the source's reader, by the sweep and by every finder
  std::uint64_t finderRuns = 0;     // units whose signature matched and whose file was sized
  std::uint64_t filesReported = 0;
  std::uint64_t bytesReported = 0;  // the sizes of the files reported, summed
  std::uint64_t peakHeldBytes = 0;  // the most one thread held for reading: its block, window, memory and hits
};

// The rule every signature search keeps, whatever it steps through: finds are taken in disk
// order; one whose end is known (or that its type says covers its units) moves the search past
// its last unit, one whose end is not known is held and ends where the next find begins, or
// where the search ends. So the files reported never overlap, and what they hold together never
// exceeds the bytes searched. A file's bytes lie on the candidate units from its own on.
class RawFindOrder {
 public:
  // Units [.., endUnit) of `unitBytes` each; without `isCandidate` every unit is one.
  RawFindOrder(std::uint64_t unitBytes, std::uint64_t endUnit, std::function<bool(std::uint64_t unit)> isCandidate,
               std::function<void(RawHit&& hit)> report);

  static bool coversItsUnits(const RawMatch& m) { return m.skipCovered || m.endKnown; }
  // The unit after the last one that a file of `size` bytes found at `unit` takes.
  std::uint64_t unitAfter(std::uint64_t unit, std::uint64_t size) const;
  // Bytes of the candidate units in [from, to).
  std::uint64_t bytesBetween(std::uint64_t from, std::uint64_t to) const;

  // Units below this lie inside a reported file: the search passes over them.
  std::uint64_t skipUntil() const { return skipUntil_; }
  // A find at or past skipUntil(), after every find taken so far: the held one ends here.
  void take(RawHit&& hit);
  // The search ended before unit `end`: a held find ends there at the latest.
  void finish(std::uint64_t end);

 private:
  std::uint64_t unitBytes_;
  std::uint64_t endUnit_;
  std::function<bool(std::uint64_t)> isCandidate_;
  std::function<void(RawHit&&)> report_;
  std::uint64_t skipUntil_ = 0;
  RawHit pending_;
  bool hasPending_ = false;
};

struct RawSweep {
  std::uint64_t firstUnit = 0;
  std::uint64_t endUnit = 0;         // units [firstUnit, endUnit)
  std::uint32_t sectorsPerUnit = 1;
  std::uint32_t unitsPerBlock = 2048;
  // Absolute sector of a unit's first sector; units lie one after another on the source.
  std::function<std::uint64_t(std::uint64_t unit)> firstSectorOf;
  // Which units are matched (free clusters); empty: every unit. Called from several threads.
  // A file found at a unit takes the candidate units from that one on.
  std::function<bool(std::uint64_t unit)> isCandidate;
  // Called for each block, in order, before its hits are reported (progress and status texts).
  std::function<void(std::uint64_t blockStart)> onBlock;
  // Each hit of a non-zero size, in disk order.
  std::function<void(RawHit&& hit)> report;
  unsigned threads = 1;
  RawSweepStats* stats = nullptr;  // when given, filled with the sweep's work
};

// Runs until the range ends or the context's stop flag is set.
void sweepForKnownTypes(const RAW_READ_CONTEXT& context, const RawSweep& sweep);

}  // namespace qelda::carve
