// What every command does with what it writes: standard output checked at the end, and the
// run's log file opened before any work starts.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "platform/log.h"

namespace qelda::cli {

int outputClosed(int error) {
  if (error != EPIPE) std::fprintf(stderr, "qelda: standard output: %s\n", std::strerror(error));
  std::fputs("qelda: stopped\n", stderr);
  return kExitStopped;
}

int finishOutput(int status) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  if (flushed && !std::ferror(stdout)) return status;
  // A write that failed earlier, its bytes dropped, leaves nothing for the flush to fail on.
  return outputClosed(!flushed && error != 0 ? error : EIO);
}

bool startLog(platform::TextLog& log, const std::string& path) {
  errno = 0;
  if (log.streamTo(path)) return true;
  const int error = errno != 0 ? errno : EIO;
  std::fprintf(stderr, "qelda: cannot write the log %s: %s\n", path.c_str(), std::strerror(error));
  return false;
}

}  // namespace qelda::cli
