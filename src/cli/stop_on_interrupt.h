// Ctrl-C during a long operation: the running application's stop flag is set, and the
// operation ends at its next step instead of the program being killed. SIGTERM and SIGHUP
// (a shutdown, a closed terminal) stop it the same way, so that the files being saved are
// finished or removed and the summary is still said. A second stop sets a flag of its own:
// the file being saved, however large, is then given up at once.
#pragma once

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace qelda::cli {

namespace interrupt_detail {
inline std::atomic<std::uint32_t>* stopFlag = nullptr;
// Remembers the interrupt after the operation has cleared the stop flag.
inline volatile std::sig_atomic_t interrupted = 0;
inline std::atomic<std::uint32_t> stopAtOnce{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "set from a signal handler");
extern "C" inline void onInterrupt(int) {
  if (interrupted) stopAtOnce.store(1, std::memory_order_relaxed);
  interrupted = 1;
  if (stopFlag) stopFlag->store(1, std::memory_order_relaxed);
}
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
}  // namespace interrupt_detail

// While it lives, SIGINT, SIGTERM and SIGHUP set `stop`; the handlers before it come back
// afterwards.
class StopOnInterrupt {
 public:
  explicit StopOnInterrupt(std::atomic<std::uint32_t>& stop) {
    interrupt_detail::interrupted = 0;
    interrupt_detail::stopAtOnce.store(0, std::memory_order_relaxed);
    interrupt_detail::stopFlag = &stop;
    struct sigaction on{};
    on.sa_handler = interrupt_detail::onInterrupt;
    sigemptyset(&on.sa_mask);
    for (std::size_t i = 0; i < kSignals; ++i) {
      const int sig = interrupt_detail::kStopSignals[i];
      ::sigaction(sig, nullptr, &before_[i]);
      // A run started under nohup keeps ignoring the hangup (and a terminate ignored the same way).
      if (sig != SIGINT && before_[i].sa_handler == SIG_IGN) continue;
      ::sigaction(sig, &on, nullptr);
    }
  }
  ~StopOnInterrupt() {
    for (std::size_t i = 0; i < kSignals; ++i) ::sigaction(interrupt_detail::kStopSignals[i], &before_[i], nullptr);
    interrupt_detail::stopFlag = nullptr;
  }
  StopOnInterrupt(const StopOnInterrupt&) = delete;
  StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;

  bool interrupted() const { return interrupt_detail::interrupted != 0; }
  // Set by the second stop signal.
  const std::atomic<std::uint32_t>& stopAtOnce() const { return interrupt_detail::stopAtOnce; }

 private:
  static constexpr std::size_t kSignals = std::size(interrupt_detail::kStopSignals);
  struct sigaction before_[kSignals]{};
};

}  // namespace qelda::cli
