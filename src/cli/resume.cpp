// qelda resume FILE --image IMAGE [--list] [--out DIR] [--mask PATTERN]: mount the image,
// load saved scan information instead of scanning, then list, sum up or save as `scan`
// and `recover` do.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/scan_info.h"
#include "app/scan_worker.h"
#include "cli/commands.h"
#include "cli/stderr_log.h"
#include "cli/stderr_notifier.h"
#include "cli/stop_on_interrupt.h"
#include "platform/log.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"

namespace qelda::cli {
namespace {

void printResumeUsage() {
  std::fputs(
      "usage: qelda resume FILE --image IMAGE [--list] [--out DIR [--mask PATTERN]] [--log FILE]\n"
      "  FILE                scan information saved by `scan`/`recover --save-scan FILE`\n"
      "  --image IMAGE       the image the scan was made of (.vmdk, .vdi, .vhd)\n"
      "  --list              one line per found item: d|f, flags, size, path\n"
      "  --out DIR           save the found tree under DIR (made when missing)\n"
      "  --mask PATTERN      with --out: save only files whose name matches PATTERN (shell-style,\n"
      "                      case aside)\n"
      "  --log FILE          append the run's log to FILE\n",
      stderr);
}

struct Options {
  std::string scanInfo;
  std::string image;
  ResultOptions results;
};

// What is wrong with the arguments, naming the word at fault, or "" when they are taken.
std::string parseOptions(const std::vector<std::string>& args, Options& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string* value = a == "--image" ? &o.image
                         : a == "--out"  ? &o.results.out
                         : a == "--mask" ? &o.results.mask
                         : a == "--log"  ? &o.results.logPath
                                         : nullptr;
    if (a == "--list") {
      o.results.list = true;
    } else if (value) {
      if (i + 1 >= args.size()) return a + " needs a value";
      *value = args[++i];
      if (value->empty()) return a + " '': give " + (a == "--mask" ? "a pattern" : "a file or folder name");
    } else if (!a.empty() && a[0] == '-') {
      return unknownOption(a, "resume");
    } else if (o.scanInfo.empty()) {
      o.scanInfo = a;
    } else {
      return extraArgument(a, o.scanInfo, "the scan information");
    }
  }
  if (o.scanInfo.empty()) return "no FILE of scan information given";
  if (o.image.empty()) return "resume needs --image IMAGE, the image the scan was made of";
  if (!o.results.mask.empty() && o.results.out.empty()) return "--mask goes with --out";
  return {};
}

}  // namespace

int runResume(const std::vector<std::string>& args) {
  Options o;
  if (const std::string wrong = parseOptions(args, o); !wrong.empty()) {
    std::fprintf(stderr, "qelda: %s\n", wrong.c_str());
    printResumeUsage();
    return kExitUsage;
  }

  app::CQELDAApp app;
  StderrNotifier notifier;
  results::CFileFolderTree tree;
  platform::TextLog log;
  if (!startLog(log, o.results.logPath, app.m_bStopRequested)) return kExitUsage;
  platform::NullScanProgress silent;
  NoteLog notes(&log);
  app.layoutLog_ = &notes;
  app::CDataRecovery mount(app, notifier);
  const auto mounted = mount.OnBnClickedMountVirtualDisk(app::imageTypeFromPath(o.image), o.image);
  sayMountCause(mount.cause());
  if (mounted == app::MountOutcome::Invalid) return kExitMountFailed;

  const StopOnInterrupt interrupt(app.m_bStopRequested);
  if (logFailed()) return runStopped();
  app.m_nScanKind = app::kScanFromScanInfo;
  app::CScanProcess worker(app, tree, silent, log, notifier, o.results.logPath);
  worker.setScanInfoPath(o.scanInfo);
  worker.setScanInfoIndex(app::scanInfoIndexPath());
  const engine::ScanOutcome loaded = worker.run();
  if (loaded.status == engine::ScanStatus::Failed) {
    if (!loaded.cause.empty()) std::fprintf(stderr, "qelda: %s\n", platform::toUtf8(loaded.cause).c_str());
    return kExitMountFailed;
  }
  if (loaded.status == engine::ScanStatus::Stopped || interrupt.interrupted() || logFailed()) return runStopped();
  return presentResults(app, tree, log, o.results, interrupt);
}

}  // namespace qelda::cli
