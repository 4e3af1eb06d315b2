// The read-ahead of the long searches: while the caller searches one block, a second thread
// reads the next, so that a sweep of a volume costs the time of its reads.
//
// Only while reads wait for the device: a block the page cache already holds is copied
// faster by the searching thread itself (its data then sits in that core's cache) than
// handed over from another core, so after a read that took no longer than a copy from
// memory the next block is read on the caller's thread, when it is asked for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

namespace qelda::engine {

class ReadAhead {
 public:
  // Fills the first `bytes` of `into` with the block at `start` (a position of the
  // caller's own: a sector, a cluster). Called on either thread, never on both at once.
  using Reader = std::function<void(std::span<std::uint8_t> into, std::uint64_t start, std::size_t bytes)>;

  // Two page-aligned buffers of `capacity` bytes each; their bytes past a block are zero
  // until a reader writes them. The second buffer and the thread that fills it are made
  // only when a block is first read ahead: a sweep whose reads never wait, or that has one
  // block, costs neither.
  ReadAhead(std::size_t capacity, Reader read);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // False when the buffer could not be had: nothing can be read.
  bool ready() const { return bool(front_); }

  // The block of `bytes` at `start`: the one read ahead when it is that one, else read
  // now. Then starts reading the block of `nextBytes` at `next` (none when nextBytes is
  // 0). The whole buffer is returned; it stays the caller's until the next call.
  std::span<std::uint8_t> get(std::uint64_t start, std::size_t bytes, std::uint64_t next, std::size_t nextBytes);

 private:
  struct Free {
    void operator()(std::uint8_t* p) const;
  };
  using Buffer = std::unique_ptr<std::uint8_t, Free>;
  void run();
  // Reads a block and notes whether that read waited for the device.
  void timedRead(std::uint8_t* into, std::uint64_t start, std::size_t bytes, std::unique_lock<std::mutex>& lock);
  void waitIdle(std::unique_lock<std::mutex>& lock);
  // The second buffer and its thread, made at the first read ahead; false when they cannot be.
  bool startHelper();

  std::size_t capacity_;
  Reader read_;
  Buffer front_;  // the caller's
  Buffer back_;   // the helper thread's while a read is asked for; none before the first
  std::mutex mutex_;
  std::condition_variable changed_;
  bool asked_ = false;    // a read of back_ is asked for or running
  bool quit_ = false;
  std::uint64_t askedStart_ = 0;
  std::size_t askedBytes_ = 0;
  bool haveAhead_ = false;  // back_ holds a finished read of askedStart_/askedBytes_
  bool waitedOnDevice_ = true;  // the last read took longer than a copy from memory
  std::thread thread_;
};

}  // namespace qelda::engine
