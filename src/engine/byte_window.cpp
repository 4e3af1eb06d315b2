#include "engine/byte_window.h"

#include <algorithm>
#include <cstring>

namespace qelda::engine {
namespace {
// 2^53 sectors: far beyond any disk, and small enough that no offset sum below can overflow.
constexpr std::uint64_t kMaxSectors = std::uint64_t(1) << 53;
}  // namespace

ByteWindow::ByteWindow(const SectorReader& reader, std::uint64_t firstSector, std::uint64_t endSector,
                       std::size_t blockBytes)
    : reader_(&reader),
      firstSector_(firstSector),
      size_(endSector > firstSector ? std::min<std::uint64_t>(endSector - firstSector, kMaxSectors) * kSectorBytes : 0),
      blockBytes_(std::clamp<std::size_t>(blockBytes / kSectorBytes * kSectorBytes, kSectorBytes, kMaxSpanBytes)) {}

std::size_t ByteWindow::heldBytes() const {
  std::size_t held = 0;
  for (const Block& b : blocks_) held += b.data.capacity();
  return held;
}

void ByteWindow::use(Block& block) {
  block.lastUse = ++uses_;
  cache_ = block.data.data();
  cacheOffset_ = block.offset;
  cacheLength_ = block.length;
}

// Loads the sectors that hold [offset, offset + length), at least one block of them where the
// source has that many, into the block used longest ago, so that the next reads nearby are
// served from memory.
bool ByteWindow::load(std::uint64_t offset, std::size_t length) {
  const std::uint64_t firstByte = offset / kSectorBytes * kSectorBytes;
  const std::uint64_t needEnd = (offset + length + kSectorBytes - 1) / kSectorBytes * kSectorBytes;  // <= size_ rounded up
  const std::uint64_t sourceEnd = (size_ + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
  const std::size_t least = std::min(blockBytes_, nextLoadBytes_);
  nextLoadBytes_ = std::min(blockBytes_, 2 * nextLoadBytes_);
  const std::uint64_t wantEnd = std::min<std::uint64_t>(std::max<std::uint64_t>(needEnd, firstByte + least), sourceEnd);
  Block* block = &blocks_[0];
  for (Block& b : blocks_)
    if (b.lastUse < block->lastUse) block = &b;
  std::size_t bytes = std::size_t(wantEnd - firstByte);
  if (block->data.size() < bytes) block->data.resize(bytes);
  block->length = 0;
  cacheLength_ = 0;
  const std::uint64_t sector = firstSector_ + firstByte / kSectorBytes;
  bool ok = (*reader_)(sector, block->data.data(), std::uint32_t(bytes / kSectorBytes));
  if (!ok && wantEnd > needEnd) {
    // The block may reach unreadable sectors the question does not need: ask for those alone.
    bytes = std::size_t(needEnd - firstByte);
    ok = (*reader_)(sector, block->data.data(), std::uint32_t(bytes / kSectorBytes));
  }
  if (!ok) return false;
  block->offset = firstByte;
  block->length = std::size_t(std::min<std::uint64_t>(bytes, size_ - firstByte));
  use(*block);
  return true;
}

std::optional<platform::ByteView> ByteWindow::bytes(std::uint64_t offset, std::size_t length) {
  if (length == 0 || length > kMaxSpanBytes || !inside(offset, length)) return std::nullopt;
  // Most questions fall in the block used last (the fields of one header, one array after
  // another): answered without looking through the others. It is already the most recent.
  if (offset >= cacheOffset_ && offset - cacheOffset_ <= cacheLength_ && length <= cacheLength_ - (offset - cacheOffset_))
    return platform::ByteView(cache_ + (offset - cacheOffset_), length);
  const auto holds = [&](const Block& b) {
    return b.length != 0 && offset >= b.offset && offset - b.offset <= b.length && length <= b.length - (offset - b.offset);
  };
  const Block* found = nullptr;
  for (Block& b : blocks_)
    if (holds(b)) {
      use(b);
      found = &b;
      break;
    }
  if (!found && !load(offset, length)) return std::nullopt;
  return platform::ByteView(cache_ + (offset - cacheOffset_), length);
}

std::optional<platform::ByteView> ByteWindow::bytesUpTo(std::uint64_t offset, std::size_t maxLength) {
  if (offset >= size_) return std::nullopt;
  return bytes(offset, std::size_t(std::min<std::uint64_t>({maxLength, size_ - offset, kMaxSpanBytes})));
}

bool ByteWindow::copy(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (!inside(offset, out.size())) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    const auto v = bytes(offset + done, std::min(out.size() - done, kMaxSpanBytes));
    if (!v) return false;
    std::memcpy(out.data() + done, v->data(), v->size());
    done += v->size();
  }
  return true;
}

bool ByteWindow::matches(std::uint64_t offset, std::string_view text) {
  const auto v = bytes(offset, text.size());
  return v && v->matches(0, text);
}

ByteWindow::FindResult ByteWindow::find(std::uint64_t from, std::uint64_t to, std::span<const std::uint8_t> pattern,
                                        const std::atomic<std::uint32_t>* stop) {
  FindResult result;
  to = std::min(to, size_);
  result.reached = std::max(from, to);
  if (pattern.empty() || pattern.size() > blockBytes_ || from >= to) return result;
  const std::size_t chunk = std::max<std::size_t>(blockBytes_, 64 * 1024);
  std::uint64_t pos = from;
  while (to - pos >= pattern.size()) {
    if (stop && stop->load(std::memory_order_relaxed) != 0) {
      result.reached = pos;
      return result;
    }
    const auto v = bytesUpTo(pos, std::size_t(std::min<std::uint64_t>(chunk, to - pos)));
    if (!v) {
      result.reached = pos;
      return result;
    }
    const std::uint8_t* begin = v->data();
    const std::uint8_t* end = begin + v->size();
    const std::uint8_t* hit = std::search(begin, end, pattern.begin(), pattern.end());
    if (hit != end) {
      result.at = pos + std::uint64_t(hit - begin);
      result.reached = *result.at;
      return result;
    }
    if (v->size() < pattern.size()) break;
    // The last pattern-length-less-one bytes are searched again with the next block.
    pos += v->size() - (pattern.size() - 1);
  }
  result.reached = to;
  return result;
}

}  // namespace qelda::engine
