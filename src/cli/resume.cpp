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
      "  --mask PATTERN      with --out: save only files whose name matches PATTERN\n"
      "  --log FILE          append the run's log to FILE\n",
      stderr);
}

struct Options {
  std::string scanInfo;
  std::string image;
  ResultOptions results;
};

bool parseOptions(const std::vector<std::string>& args, Options& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return !out.empty();
    };
    if (a == "--list") {
      o.results.list = true;
    } else if (a == "--image") {
      if (!value(o.image)) return false;
    } else if (a == "--out") {
      if (!value(o.results.out)) return false;
    } else if (a == "--mask") {
      if (!value(o.results.mask)) return false;
    } else if (a == "--log") {
      if (!value(o.results.logPath)) return false;
    } else if (!a.empty() && a[0] == '-') {
      return false;
    } else if (o.scanInfo.empty()) {
      o.scanInfo = a;
    } else {
      return false;
    }
  }
  return !o.scanInfo.empty() && !o.image.empty() && (o.results.mask.empty() || !o.results.out.empty());
}

}  // namespace

int runResume(const std::vector<std::string>& args) {
  Options o;
  if (!parseOptions(args, o)) {
    printResumeUsage();
    return kExitUsage;
  }

  app::CQELDAApp app;
  StderrNotifier notifier;
  results::CFileFolderTree tree;
  platform::TextLog log;
  if (!startLog(log, o.results.logPath)) return kExitUsage;
  platform::NullScanProgress silent;
  NoteLog notes(&log);
  app.layoutLog_ = &notes;
  app::CDataRecovery mount(app, notifier);
  const auto mounted = mount.OnBnClickedMountVirtualDisk(app::imageTypeFromPath(o.image), o.image);
  sayMountCause(mount.cause());
  if (mounted == app::MountOutcome::Invalid) return kExitMountFailed;

  const StopOnInterrupt interrupt(app.m_bStopRequested);
  app.m_nScanKind = app::kScanFromScanInfo;
  app::CScanProcess worker(app, tree, silent, log, notifier, o.results.logPath);
  worker.setScanInfoPath(o.scanInfo);
  worker.setScanInfoIndex(app::scanInfoIndexPath());
  const engine::ScanOutcome loaded = worker.run();
  if (loaded.status == engine::ScanStatus::Failed) {
    if (!loaded.cause.empty()) std::fprintf(stderr, "qelda: %s\n", platform::toUtf8(loaded.cause).c_str());
    return kExitMountFailed;
  }
  if (loaded.status == engine::ScanStatus::Stopped || interrupt.interrupted()) {
    std::fputs("qelda: stopped\n", stderr);
    return kExitStopped;
  }
  return presentResults(app, tree, log, o.results, interrupt);
}

}  // namespace qelda::cli
