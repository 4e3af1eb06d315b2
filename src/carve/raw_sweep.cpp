#include "carve/raw_sweep.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace qelda::carve {

namespace {

// Matches every candidate unit of one block. Hits are found whether or not an earlier file
// covers them: which of them count is decided afterwards, in disk order.
void matchBlock(const RAW_READ_CONTEXT& context, const RawSweep& sweep, std::uint64_t blockStart,
                std::vector<std::uint8_t>& buffer, std::vector<RawHit>& hits) {
  const std::uint64_t units = std::min<std::uint64_t>(sweep.unitsPerBlock, sweep.endUnit - blockStart);
  std::vector<std::uint64_t> candidates;
  for (std::uint64_t i = 0; i < units; ++i)
    if (!sweep.isCandidate || sweep.isCandidate(blockStart + i)) candidates.push_back(blockStart + i);
  if (candidates.empty()) return;  // nothing to match: the block is not read
  const std::uint64_t first = sweep.firstSectorOf(blockStart);
  if (first < context.sourceFirstSector || first >= context.sourceEndSector) return;
  const std::uint64_t sectors = std::min<std::uint64_t>(units * sweep.sectorsPerUnit, context.sourceEndSector - first);
  buffer.assign(std::size_t(sectors) * engine::kSectorBytes, 0);
  if (!context.reader(first, buffer.data(), std::uint32_t(sectors)))
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
  for (std::uint64_t unit : candidates) {
    const std::uint64_t sectorInBlock = (unit - blockStart) * sweep.sectorsPerUnit;
    if (sectorInBlock >= sectors) break;  // past the source's end
    const std::span<const std::uint8_t, 512> sector(buffer.data() + sectorInBlock * engine::kSectorBytes, 512);
    const std::uint64_t absolute = first + sectorInBlock;
    if (!MatchRawSignatures(context, sector, absolute, unit, nullptr)) continue;
    RawHit hit;
    if (!MatchRawSignatures(context, sector, absolute, unit, &hit.match)) continue;
    hit.unit = unit;
    hit.firstSector = absolute;
    hits.push_back(std::move(hit));
  }
}

}  // namespace

void sweepForKnownTypes(const RAW_READ_CONTEXT& context, const RawSweep& sweep) {
  if (sweep.unitsPerBlock == 0 || sweep.sectorsPerUnit == 0 || !sweep.firstSectorOf) return;
  const unsigned threads = std::max(1u, sweep.threads);
  const std::uint64_t unitBytes = std::uint64_t(sweep.sectorsPerUnit) * engine::kSectorBytes;
  std::vector<std::vector<std::uint8_t>> buffers(threads);
  std::vector<std::vector<RawHit>> hits(threads);
  std::uint64_t skipUntil = sweep.firstUnit;  // units below this lie inside a reported file
  std::uint64_t b = sweep.firstUnit;
  while (b < sweep.endUnit && !context.stopRequested()) {
    b = std::max(b, skipUntil);  // a file that reaches past its block moves the next block on
    if (b >= sweep.endUnit) break;
    std::vector<std::uint64_t> starts;
    for (std::uint64_t s = b; s < sweep.endUnit && starts.size() < threads; s += sweep.unitsPerBlock)
      starts.push_back(s);
    if (starts.size() == 1) {
      matchBlock(context, sweep, starts[0], buffers[0], hits[0]);
    } else {
      std::vector<std::jthread> workers;
      for (std::size_t j = 0; j < starts.size(); ++j)
        workers.emplace_back([&, j] { matchBlock(context, sweep, starts[j], buffers[j], hits[j]); });
    }
    for (std::size_t j = 0; j < starts.size(); ++j) {
      if (context.stopRequested()) break;
      if (sweep.onBlock) sweep.onBlock(starts[j]);
      for (RawHit& hit : hits[j]) {
        if (hit.unit < skipUntil) continue;
        if (hit.match.skipCovered) skipUntil = hit.unit + (hit.match.size + unitBytes - 1) / unitBytes;
        if (hit.match.size != 0 && sweep.report) sweep.report(std::move(hit));
      }
      hits[j].clear();
    }
    b = starts.back() + std::min<std::uint64_t>(sweep.unitsPerBlock, sweep.endUnit - starts.back());
  }
}

}  // namespace qelda::carve
