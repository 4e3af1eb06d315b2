#include "engine/read_ahead.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qelda::engine {
namespace {
constexpr std::size_t kPage = 4096;
// A read slower than a copy from memory at this rate, plus the cost of a call, waited for
// the device.
constexpr double kMemoryBytesPerSecond = 1.5e9;
constexpr double kCallSeconds = 50e-6;

std::uint8_t* allocateZeroed(std::size_t capacity) {
  const std::size_t rounded = (std::max<std::size_t>(capacity, 1) + kPage - 1) / kPage * kPage;
  auto* p = static_cast<std::uint8_t*>(std::aligned_alloc(kPage, rounded));
  if (p) std::memset(p, 0, rounded);
  return p;
}
}  // namespace

void ReadAhead::Free::operator()(std::uint8_t* p) const { std::free(p); }

ReadAhead::ReadAhead(std::size_t capacity, Reader read)
    : capacity_(capacity), read_(std::move(read)), front_(allocateZeroed(capacity)) {}

bool ReadAhead::startHelper() {
  if (thread_.joinable()) return true;
  if (!back_) back_.reset(allocateZeroed(capacity_));
  if (!back_) return false;
  thread_ = std::thread([this] { run(); });
  return true;
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReadAhead::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quit_ || (asked_ && !haveAhead_); });
    if (quit_) return;
    timedRead(back_.get(), askedStart_, askedBytes_, lock);
    haveAhead_ = true;
    changed_.notify_all();
  }
}

void ReadAhead::timedRead(std::uint8_t* into, std::uint64_t start, std::size_t bytes,
                          std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  const auto began = std::chrono::steady_clock::now();
  read_(std::span<std::uint8_t>(into, capacity_), start, bytes);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  lock.lock();
  waitedOnDevice_ = seconds > double(bytes) / kMemoryBytesPerSecond + kCallSeconds;
}

void ReadAhead::waitIdle(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return !asked_ || haveAhead_; });
}

std::span<std::uint8_t> ReadAhead::get(std::uint64_t start, std::size_t bytes, std::uint64_t next,
                                       std::size_t nextBytes) {
  if (!ready()) return {};
  bytes = std::min(bytes, capacity_);
  nextBytes = std::min(nextBytes, capacity_);
  {
    std::unique_lock lock(mutex_);
    waitIdle(lock);  // a read under way always finishes: its buffer is not handed out before
    const bool hit = asked_ && askedStart_ == start && askedBytes_ == bytes;
    if (hit) std::swap(front_, back_);
    asked_ = haveAhead_ = false;
    if (!hit) timedRead(front_.get(), start, bytes, lock);
    if (nextBytes != 0 && waitedOnDevice_ && startHelper()) {
      asked_ = true;
      askedStart_ = next;
      askedBytes_ = nextBytes;
    }
  }
  changed_.notify_all();
  return {front_.get(), capacity_};
}

}  // namespace qelda::engine
