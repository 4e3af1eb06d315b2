// Ctrl-C during a long operation: the running application's stop flag is set, and the
// operation ends at its next step instead of the program being killed.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>

namespace qelda::cli {

namespace interrupt_detail {
inline std::atomic<std::uint32_t>* stopFlag = nullptr;
// Remembers the interrupt after the operation has cleared the stop flag.
inline volatile std::sig_atomic_t interrupted = 0;
extern "C" inline void onInterrupt(int) {
  interrupted = 1;
  if (stopFlag) stopFlag->store(1, std::memory_order_relaxed);
}
}  // namespace interrupt_detail

// While it lives, SIGINT sets `stop`; the handler before it comes back afterwards.
class StopOnInterrupt {
 public:
  explicit StopOnInterrupt(std::atomic<std::uint32_t>& stop) {
    interrupt_detail::interrupted = 0;
    interrupt_detail::stopFlag = &stop;
    struct sigaction on{};
    on.sa_handler = interrupt_detail::onInterrupt;
    sigemptyset(&on.sa_mask);
    ::sigaction(SIGINT, &on, &before_);
  }
  ~StopOnInterrupt() {
    ::sigaction(SIGINT, &before_, nullptr);
    interrupt_detail::stopFlag = nullptr;
  }
  StopOnInterrupt(const StopOnInterrupt&) = delete;
  StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;

  bool interrupted() const { return interrupt_detail::interrupted != 0; }

 private:
  struct sigaction before_{};
};

}  // namespace qelda::cli
