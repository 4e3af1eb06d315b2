// The qelda command: the stand-in for the program's dialogs.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/text.h"

namespace {

void usage() {
  std::fputs(
      "usage: qelda info IMAGE\n"
      "       qelda scan IMAGE [--source N] [--kind quick|deleted|advanced|raw] [--list] [options]\n"
      "       qelda recover IMAGE --out DIR [--mask PATTERN] [--source N] [--kind quick|deleted|advanced|raw]\n"
      "               [options]\n"
      "       qelda lost IMAGE [--deep]\n"
      "       qelda resume FILE --image IMAGE [--list] [--out DIR [--mask PATTERN]]\n"
      "       qelda drives\n"
      "  info     mount IMAGE (.vmdk, .vdi, .vhd); print its description and its sources\n"
      "  scan     scan one source (default: the first volume with a file system); print a\n"
      "           summary, or one line per found item with --list\n"
      "  recover  scan, then save the found files (all, or those --mask matches) under DIR\n"
      "  lost     search IMAGE for volumes its partition table no longer lists; print them\n"
      "           as `info` lists sources (scan and recover take --lost [--deep] too)\n"
      "  resume   load scan information saved with --save-scan instead of scanning, then\n"
      "           list, sum up or save its items as scan and recover do\n"
      "  drives   list this computer's drives with their identity and SMART attributes\n"
      "options: --log FILE, --linking fat1|fat2|contiguous, --progress; `qelda scan` alone\n"
      "lists them\n",
      stderr);
}

// A split image holds every one of its files open while it is mounted, and a disk of 2 TB in
// 2 GB pieces has over a thousand: under the usual soft limit of 1,024 open files its last
// pieces would be missing. The soft limit is raised as far as the hard one allows.
void allowEveryImageFile() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    usage();
    return qelda::cli::kExitUsage;
  }
  allowEveryImageFile();
  // A reader that goes away (`qelda scan --list | head`) makes writes fail with EPIPE, which
  // ends the run as a stop does, its work files removed, instead of killing it.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string command = args.front();
  args.erase(args.begin());
  using namespace qelda::cli;
  if (command == "info") return endOfRun(runInfo(args));
  if (command == "scan") return endOfRun(runScan(args));
  if (command == "recover") return endOfRun(runRecover(args));
  if (command == "lost") return endOfRun(runLost(args));
  if (command == "resume") return endOfRun(runResume(args));
  if (command == "drives") return endOfRun(runDrives(args));
  std::fprintf(stderr, "qelda: %s is no command\n", qelda::platform::printableText(command).c_str());
  usage();
  return kExitUsage;
}
