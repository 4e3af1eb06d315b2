#include "carve/raw_sweep.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "carve/finder_memory.h"

namespace qelda::carve {

namespace {

// One thread's share: its block buffer, its hits, what its finders remember, its counts, and
// the sweep's context with a reader that counts what it reads.
struct Worker {
  std::vector<std::uint8_t> buffer;
  std::vector<RawHit> hits;
  FinderMemory memory;
  RawSweepStats stats;
  RAW_READ_CONTEXT context;

  void notePeak() {
    const std::uint64_t held = buffer.capacity() + hits.capacity() * sizeof(RawHit) + memory.peakWindowBytes +
                               memory.heldBytes();
    stats.peakHeldBytes = std::max(stats.peakHeldBytes, held);
  }
};

// Matches the candidate units of [from, to), one block at most, in order: a file whose units
// it covers is passed over, so that no finder runs inside it. Which of the hits count is
// decided afterwards, in disk order, since an earlier block may cover the start of this one.
void matchRange(Worker& worker, const RawSweep& sweep, const RawFindOrder& order, std::uint64_t from, std::uint64_t to) {
  worker.hits.clear();
  const RAW_READ_CONTEXT& context = worker.context;
  std::vector<std::uint64_t> candidates;
  for (std::uint64_t u = from; u < to; ++u)
    if (!sweep.isCandidate || sweep.isCandidate(u)) candidates.push_back(u);
  if (candidates.empty()) return;  // nothing to match: the block is not read
  const std::uint64_t first = sweep.firstSectorOf(from);
  if (first < context.sourceFirstSector || first >= context.sourceEndSector) return;
  const std::uint64_t sectors = std::min<std::uint64_t>((to - from) * sweep.sectorsPerUnit, context.sourceEndSector - first);
  worker.buffer.assign(std::size_t(sectors) * engine::kSectorBytes, 0);
  if (!context.reader(first, worker.buffer.data(), std::uint32_t(sectors)))
    std::fill(worker.buffer.begin(), worker.buffer.end(), std::uint8_t{0});
  std::uint64_t coveredUntil = from;
  for (std::uint64_t unit : candidates) {
    if (unit < coveredUntil) continue;
    const std::uint64_t sectorInBlock = (unit - from) * sweep.sectorsPerUnit;
    if (sectorInBlock >= sectors) break;  // past the source's end
    const std::span<const std::uint8_t, 512> sector(worker.buffer.data() + sectorInBlock * engine::kSectorBytes, 512);
    const std::uint64_t absolute = first + sectorInBlock;
    if (!MatchRawSignatures(context, sector, absolute, unit, nullptr)) continue;
    ++worker.stats.finderRuns;
    RawHit hit;
    if (!MatchRawSignatures(context, sector, absolute, unit, &hit.match, &worker.memory)) continue;
    if (hit.match.size == 0) continue;
    if (RawFindOrder::coversItsUnits(hit.match)) coveredUntil = order.unitAfter(unit, hit.match.size);
    hit.unit = unit;
    hit.firstSector = absolute;
    worker.hits.push_back(std::move(hit));
  }
  worker.notePeak();
}

}  // namespace

RawFindOrder::RawFindOrder(std::uint64_t unitBytes, std::uint64_t endUnit, std::function<bool(std::uint64_t)> isCandidate,
                           std::function<void(RawHit&&)> report)
    : unitBytes_(unitBytes), endUnit_(endUnit), isCandidate_(std::move(isCandidate)), report_(std::move(report)) {}

std::uint64_t RawFindOrder::unitAfter(std::uint64_t unit, std::uint64_t size) const {
  if (unitBytes_ == 0) return endUnit_;
  std::uint64_t units = size / unitBytes_ + (size % unitBytes_ != 0);
  if (!isCandidate_) return units >= endUnit_ - std::min(unit, endUnit_) ? endUnit_ : unit + units;
  std::uint64_t u = unit;
  for (; units > 0 && u < endUnit_; ++u)
    if (isCandidate_(u)) --units;
  return u;
}

std::uint64_t RawFindOrder::bytesBetween(std::uint64_t from, std::uint64_t to) const {
  if (to <= from) return 0;
  if (!isCandidate_) return (to - from) * unitBytes_;
  std::uint64_t n = 0;
  for (std::uint64_t u = from; u < to; ++u) n += isCandidate_(u) ? 1 : 0;
  return n * unitBytes_;
}

void RawFindOrder::take(RawHit&& hit) {
  finish(hit.unit);
  if (coversItsUnits(hit.match)) {
    skipUntil_ = unitAfter(hit.unit, hit.match.size);
    if (report_) report_(std::move(hit));
  } else {
    pending_ = std::move(hit);
    hasPending_ = true;
  }
}

void RawFindOrder::finish(std::uint64_t end) {
  if (!hasPending_) return;
  hasPending_ = false;
  pending_.match.size = std::min(pending_.match.size, bytesBetween(pending_.unit, end));
  if (pending_.match.size != 0 && report_) report_(std::move(pending_));
}

void sweepForKnownTypes(const RAW_READ_CONTEXT& context, const RawSweep& sweep) {
  if (sweep.unitsPerBlock == 0 || sweep.sectorsPerUnit == 0 || !sweep.firstSectorOf) return;
  const unsigned threads = std::max(1u, sweep.threads);
  const std::uint64_t unitBytes = std::uint64_t(sweep.sectorsPerUnit) * engine::kSectorBytes;
  std::vector<Worker> workers(threads);
  for (Worker& w : workers) {
    w.context = context;
    w.context.reader = [&context, &stats = w.stats](std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
      stats.bytesRead += std::uint64_t(count) * engine::kSectorBytes;
      return context.reader(sector, buffer, count);
    };
  }
  RawSweepStats totals;
  RawFindOrder order(unitBytes, sweep.endUnit, sweep.isCandidate, [&](RawHit&& hit) {
    ++totals.filesReported;
    totals.bytesReported += hit.match.size;
    if (sweep.report) sweep.report(std::move(hit));
  });

  std::uint64_t searched = sweep.firstUnit;  // every unit below this was matched
  std::uint64_t b = sweep.firstUnit;
  while (b < sweep.endUnit && !context.stopRequested()) {
    b = std::max(b, order.skipUntil());  // a file that reaches past its block moves the next block on
    if (b >= sweep.endUnit) break;
    std::vector<std::uint64_t> starts;
    for (std::uint64_t s = b; s < sweep.endUnit && starts.size() < threads; s += sweep.unitsPerBlock)
      starts.push_back(s);
    const auto blockEnd = [&](std::uint64_t s) { return s + std::min<std::uint64_t>(sweep.unitsPerBlock, sweep.endUnit - s); };
    if (starts.size() == 1) {
      matchRange(workers[0], sweep, order, starts[0], blockEnd(starts[0]));
    } else {
      std::vector<std::jthread> running;
      for (std::size_t j = 0; j < starts.size(); ++j)
        running.emplace_back([&, j] { matchRange(workers[j], sweep, order, starts[j], blockEnd(starts[j])); });
    }
    for (std::size_t j = 0; j < starts.size(); ++j) {
      if (context.stopRequested()) break;
      if (sweep.onBlock) sweep.onBlock(starts[j]);
      const std::uint64_t end = blockEnd(starts[j]);
      const std::uint64_t skipUntil = order.skipUntil();
      if (skipUntil >= end) {
        workers[j].hits.clear();
      } else if (skipUntil > starts[j]) {
        // A file of an earlier block covers the start of this one. Where a file this block
        // found inside that one reaches past it, the block passed over units beyond it:
        // match it again from that file's end.
        std::uint64_t passedOver = skipUntil;
        for (const RawHit& hit : workers[j].hits)
          if (hit.unit < skipUntil && RawFindOrder::coversItsUnits(hit.match))
            passedOver = std::max(passedOver, order.unitAfter(hit.unit, hit.match.size));
        if (passedOver > skipUntil) matchRange(workers[j], sweep, order, skipUntil, end);
      }
      for (RawHit& hit : workers[j].hits)
        if (hit.unit >= order.skipUntil()) order.take(std::move(hit));
      workers[j].hits.clear();
      searched = std::max(searched, end);
    }
    b = blockEnd(starts.back());
  }
  order.finish(std::min(std::max(searched, order.skipUntil()), sweep.endUnit));

  if (!sweep.stats) return;
  for (const Worker& w : workers) {
    totals.bytesRead += w.stats.bytesRead;
    totals.finderRuns += w.stats.finderRuns;
    totals.peakHeldBytes = std::max(totals.peakHeldBytes, w.stats.peakHeldBytes);
  }
  *sweep.stats = totals;
}

}  // namespace qelda::carve
