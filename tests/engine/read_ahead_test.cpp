#include "engine/read_ahead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <mutex>
#include <vector>

namespace qelda::engine {
namespace {

// Every byte of a block tells where it came from: (start + offset) mod 251.
void fill(std::span<std::uint8_t> into, std::uint64_t start, std::size_t bytes) {
  for (std::size_t k = 0; k < bytes; ++k) into[k] = std::uint8_t((start + k) % 251);
}
bool holds(std::span<const std::uint8_t> block, std::uint64_t start, std::size_t bytes) {
  for (std::size_t k = 0; k < bytes; ++k)
    if (block[k] != std::uint8_t((start + k) % 251)) return false;
  return true;
}

// A read that waits as a device does.
void slowFill(std::span<std::uint8_t> into, std::uint64_t start, std::size_t bytes) {
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  fill(into, start, bytes);
}

TEST(ReadAhead, HandsOutTheBlockAskedForWhateverWasGuessed) {
  struct Step {
    std::uint64_t start;
    std::size_t bytes;
    std::uint64_t next;
    std::size_t nextBytes;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    int reads;  // reader calls in all
  } cases[] = {
      {"a sequential sweep reads each block once", {{0, 100, 100, 100}, {100, 100, 200, 40}, {200, 40, 0, 0}}, 3},
      {"a jump past the guess reads the block asked for", {{0, 100, 100, 100}, {350, 100, 450, 100}, {450, 100, 0, 0}}, 4},
      {"a shorter block than guessed is read again", {{0, 100, 100, 100}, {100, 60, 0, 0}}, 3},
      {"nothing asked ahead", {{7, 10, 0, 0}, {7, 10, 0, 0}}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::mutex m;
    std::vector<std::uint64_t> starts;
    ReadAhead ahead(128, [&](std::span<std::uint8_t> into, std::uint64_t start, std::size_t bytes) {
      EXPECT_EQ(into.size(), 128u);
      slowFill(into, start, bytes);
      std::lock_guard lock(m);
      starts.push_back(start);
    });
    ASSERT_TRUE(ahead.ready());
    for (const Step& s : c.steps) {
      const auto block = ahead.get(s.start, s.bytes, s.next, s.nextBytes);
      ASSERT_EQ(block.size(), 128u);
      EXPECT_TRUE(holds(block, s.start, s.bytes)) << "block at " << s.start;
    }
    std::lock_guard lock(m);
    EXPECT_EQ(int(starts.size()), c.reads);
  }
}

TEST(ReadAhead, ReadsOnAnotherThreadOnlyWhileReadsWaitForTheDevice) {
  // Of eight blocks, the first is always read when asked for; a read from memory that the
  // scheduler happened to interrupt sends one block ahead, no more.
  struct Case {
    const char* what;
    bool slow;
    int fewest, most;  // blocks read on another thread
  } cases[] = {{"reads that wait", true, 7, 7}, {"reads from memory", false, 0, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::atomic<int> elsewhere{0};
    const std::thread::id caller = std::this_thread::get_id();
    ReadAhead ahead(4096, [&](std::span<std::uint8_t> into, std::uint64_t start, std::size_t bytes) {
      if (std::this_thread::get_id() != caller) ++elsewhere;
      if (c.slow) slowFill(into, start, bytes);
      else fill(into, start, bytes);
    });
    for (std::uint64_t k = 0; k < 8; ++k) {
      const auto block = ahead.get(k * 4096, 4096, (k + 1) * 4096, k + 1 < 8 ? 4096 : 0);
      EXPECT_TRUE(holds(block, k * 4096, 4096)) << "block " << k;
    }
    EXPECT_GE(elsewhere.load(), c.fewest);
    EXPECT_LE(elsewhere.load(), c.most);
  }
}

// The threads of this process.
std::size_t threadCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST(ReadAhead, StartsASecondThreadOnlyWhenABlockIsReadAhead) {
  struct Case {
    const char* what;
    bool slow;
    std::uint64_t blocks;
    std::size_t extraThreads;
  } cases[] = {
      {"one block from memory", false, 1, 0},
      {"one block that waits", true, 1, 0},
      {"reads that wait, with a block after them", true, 3, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = threadCount();
    ReadAhead ahead(4096, [&](std::span<std::uint8_t> into, std::uint64_t start, std::size_t bytes) {
      if (c.slow) slowFill(into, start, bytes);
      else fill(into, start, bytes);
    });
    std::size_t most = threadCount();
    for (std::uint64_t k = 0; k < c.blocks; ++k) {
      const auto block = ahead.get(k * 4096, 4096, (k + 1) * 4096, k + 1 < c.blocks ? 4096 : 0);
      EXPECT_TRUE(holds(block, k * 4096, 4096)) << "block " << k;
      most = std::max(most, threadCount());
    }
    EXPECT_EQ(most - before, c.extraThreads);
  }
}

TEST(ReadAhead, EndsWithAReadStillUnderWay) {
  std::atomic<int> reads{0};
  {
    ReadAhead ahead(4096, [&](std::span<std::uint8_t> into, std::uint64_t start, std::size_t bytes) {
      slowFill(into, start, bytes);
      ++reads;
    });
    const auto block = ahead.get(0, 4096, 4096, 4096);
    EXPECT_TRUE(holds(block, 0, 4096));
  }
  EXPECT_GE(reads.load(), 1);
  EXPECT_LE(reads.load(), 2);
}

}  // namespace
}  // namespace qelda::engine
