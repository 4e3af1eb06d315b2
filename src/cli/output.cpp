// What every command does with what it writes: standard output checked at the end, the run's
// log file opened before any work starts and watched through the run, and what is said of
// the words the user typed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "platform/log.h"
#include "platform/text.h"

namespace qelda::cli {
namespace {

// The run's log file, once startLog gave it one, and why it refused a line (an errno, set
// from whichever thread wrote it); the failure is said once, whichever way the run ends.
struct RunLog {
  std::string path;
  std::atomic<int> error{0};
  bool said = false;
};
RunLog runLog;

// Says why the log could not be written, the first time it is asked; false when it could.
bool sayLogFailure() {
  const int error = runLog.error.load(std::memory_order_relaxed);
  if (error == 0) return false;
  if (!runLog.said)
    std::fprintf(stderr, "qelda: cannot write the log %s: %s\n", platform::printableText(runLog.path).c_str(),
                 std::strerror(error));
  runLog.said = true;
  return true;
}

}  // namespace

std::string typed(const std::string& word) { return word.empty() ? std::string("''") : platform::printableText(word); }

std::string unknownOption(const std::string& word, const char* command) {
  return typed(word) + ": " + command + " has no such option";
}

std::string extraArgument(const std::string& word, const std::string& first, const char* what) {
  return typed(word) + ": one argument too many (" + typed(first) + " is " + what + ")";
}

int runStopped() {
  sayLogFailure();
  std::fputs("qelda: stopped\n", stderr);
  return kExitStopped;
}

int outputClosed(int error) {
  if (error != EPIPE) std::fprintf(stderr, "qelda: standard output: %s\n", std::strerror(error));
  return runStopped();
}

bool logFailed() { return runLog.error.load(std::memory_order_relaxed) != 0; }

int endOfRun(int status) {
  if (runLog.said || !sayLogFailure()) return status;
  // Work that otherwise went well has no log: it ends as a run stopped does.
  if (status != kExitOk) return status;
  std::fputs("qelda: stopped\n", stderr);
  return kExitStopped;
}

int finishOutput(int status) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  // A write that failed earlier, its bytes dropped, leaves nothing for the flush to fail on.
  if (!flushed || std::ferror(stdout)) return outputClosed(!flushed && error != 0 ? error : EIO);
  return logFailed() ? runStopped() : status;
}

bool startLog(platform::TextLog& log, const std::string& path, std::atomic<std::uint32_t>& stop) {
  errno = 0;
  if (!log.streamTo(path)) {
    const int error = errno != 0 ? errno : EIO;
    std::fprintf(stderr, "qelda: cannot write the log %s: %s\n", platform::printableText(path).c_str(),
                 std::strerror(error));
    return false;
  }
  // A log that opened but then cannot take a line ends the run as a standard output that
  // cannot be written does: at the next step, the cause said once.
  runLog.path = path;
  const auto failed = [&stop](int error) {
    runLog.error.store(error, std::memory_order_relaxed);
    stop.store(1, std::memory_order_relaxed);
  };
  log.onWriteFailure(failed);
  if (const int error = log.writeError(); error != 0) failed(error);
  return true;
}

}  // namespace qelda::cli
