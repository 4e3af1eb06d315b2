#include "carve/finder_memory.h"

#include <algorithm>

#include "carve/length_finders.h"

namespace qelda::carve {


engine::ByteWindow::FindResult FinderMemory::find(FinderRun& run, std::uint64_t from, std::uint64_t to,
                                                  std::span<const std::uint8_t> pattern) {
  engine::ByteWindow& w = run.window;
  const std::uint64_t base = w.firstByte();
  const std::uint64_t end = std::min(to, w.size());
  if (pattern.empty() || from >= end) return w.find(from, to, pattern, run.stop);
  auto s = std::find_if(searches_.begin(), searches_.end(), [&](const Search& e) {
    return std::equal(e.pattern.begin(), e.pattern.end(), pattern.begin(), pattern.end());
  });
  if (s == searches_.end()) s = searches_.insert(searches_.end(), Search{{pattern.begin(), pattern.end()}});
  const std::uint64_t at = base + from;
  const bool known = s->valid && s->from <= at && at <= s->clear;
  const std::uint64_t start = known ? s->clear - base : from;
  if (start > end || pattern.size() > end - start) return {std::nullopt, end};  // known: it is not in [from, to)
  if (known && s->found) return {start, start};
  const engine::ByteWindow::FindResult r = w.find(start, to, pattern, run.stop);
  if (!known) s->from = at;
  s->valid = true;
  if (r.at) {
    s->clear = base + *r.at;
    s->found = true;
  } else {
    // A search that ran to its end looked at every start that leaves room for the pattern;
    // one that a failed read or a stop cut short, at every start before where it ended.
    const std::uint64_t looked = r.reached == end && r.reached >= pattern.size() - 1 ? r.reached - (pattern.size() - 1)
                                                                                     : r.reached;
    s->clear = std::max(base + std::max(looked, start), known ? s->clear : at);
    s->found = false;
  }
  return r;
}

void appendWalkPoint(std::vector<std::uint64_t>& points, std::uint64_t point) {
  constexpr std::size_t kMaxWalkPoints = std::size_t(1) << 20;
  if (points.size() >= kMaxWalkPoints) points.erase(points.begin(), points.begin() + kMaxWalkPoints / 2);
  points.push_back(point);
}

bool WalkTrace::passes(std::uint64_t at, std::uint8_t tag, std::uint64_t limit) {
  if (!memo_) return false;
  const std::uint64_t key = at * 4 + (tag & 3);
  if (memo_->valid && memo_->end <= limit && std::binary_search(memo_->points.begin(), memo_->points.end(), key))
    return true;
  const std::uint64_t sector = at / engine::kSectorBytes;
  if (sector != lastSector_ && (points_.empty() || key > points_.back())) {
    lastSector_ = sector;
    appendWalkPoint(points_, key);
  }
  return false;
}

void WalkTrace::resume() {
  if (!memo_) return;
  points_ = std::move(memo_->points);
  memo_->points.clear();
  memo_->valid = false;
  lastSector_ = points_.empty() ? ~std::uint64_t(0) : points_.back() / 4 / engine::kSectorBytes;
}

void WalkTrace::finish(std::uint64_t end, std::uint64_t value) {
  if (!memo_) return;
  memo_->points = std::move(points_);
  memo_->end = end;
  memo_->value = value;
  memo_->valid = true;
}

std::size_t FinderMemory::heldBytes() const {
  std::size_t held = jpeg.landings.capacity() * sizeof(std::uint64_t) + png.camera.capacity() + png.date.capacity();
  for (const WalkMemo* m : {&rar, &gif, &avi, &html, &oleDirectory}) held += m->points.capacity() * sizeof(std::uint64_t);
  held += zip.points.capacity() * sizeof(std::uint64_t) + zip.tallies.capacity() * sizeof(ZipWalkMemo::Tally);
  for (const Search& s : searches_) held += sizeof(Search) + s.pattern.capacity();
  return held;
}

engine::ByteWindow::FindResult findInRun(FinderRun& run, std::uint64_t from, std::uint64_t to,
                                         std::span<const std::uint8_t> pattern) {
  if (run.memory) return run.memory->find(run, from, to, pattern);
  return run.window.find(from, to, pattern, run.stop);
}

}  // namespace qelda::carve
