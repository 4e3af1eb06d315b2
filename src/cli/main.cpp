// The qelda command: the stand-in for the program's dialogs.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace {

void usage() {
  std::fputs(
      "usage: qelda info IMAGE\n"
      "  info   mount IMAGE (.vmdk, .vdi, .vhd); print its description and its sources\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    usage();
    return qelda::cli::kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "info") return qelda::cli::runInfo(args);
  usage();
  return qelda::cli::kExitUsage;
}
