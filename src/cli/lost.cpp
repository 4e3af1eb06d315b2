// qelda lost IMAGE [--deep]: the lost-volume search; prints the volumes it finds as
// `qelda info` lists sources, numbered after the sources already there.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/lost_search.h"
#include "app/mount.h"
#include "app/qelda_app.h"
#include "cli/commands.h"
#include "cli/stderr_log.h"
#include "cli/stderr_notifier.h"
#include "cli/stop_on_interrupt.h"
#include "cli/terminal_progress.h"
#include "platform/log.h"
#include "platform/read_only_file.h"

namespace qelda::cli {
namespace {

// The search itself; false when Ctrl-C stopped it.
bool search(app::CQELDAApp& app, bool rawFile, bool deep, platform::IScanProgress& progress, platform::TextLog& log,
            std::vector<const volume::DEVICE_ENTRY*>& found) {
  StopOnInterrupt interrupt(app.m_bStopRequested);
  found = app::runLostVolumeSearch(app, deep, rawFile, progress, log);
  return !interrupt.interrupted();
}

void printLostUsage() {
  std::fputs(
      "usage: qelda lost IMAGE [--deep] [--log FILE] [--progress]\n"
      "  IMAGE        a .vmdk, .vdi or .vhd image, or any other file read as a plain disk\n"
      "  --deep       read every sector: also rebuilds volumes from their $MFT or their\n"
      "               FAT directories (default: probe the usual volume starts)\n"
      "  --log FILE   append the run's log to FILE\n"
      "  --progress   show the progress line even when stderr is not a terminal\n",
      stderr);
}

// A disk file that is no virtual-machine image is searched as a plain run of sectors, read
// directly; false (with the cause said) when it cannot be opened.
bool openRawFile(app::CQELDAApp& app) {
  if (const std::string why = platform::whyNotOpened(app.m_strImagePath); !why.empty()) {
    std::fprintf(stderr, "qelda: cannot open %s: %s\n", app.m_strImagePath.c_str(), why.c_str());
    return false;
  }
  app.m_strResumeFilePath = app.m_strImagePath;
  return true;
}

}  // namespace

int searchLostVolumesFirst(app::CQELDAApp& app, bool rawFile, bool deep, platform::IScanProgress& progress,
                           platform::TextLog& log) {
  if (rawFile && !openRawFile(app)) return kExitMountFailed;
  std::vector<const volume::DEVICE_ENTRY*> found;
  return search(app, rawFile, deep, progress, log, found) ? kExitOk : kExitStopped;
}

int runLost(const std::vector<std::string>& args) {
  std::string image;
  std::string logPath;
  bool deep = false;
  bool progressWanted = false;
  std::string wrong;
  for (std::size_t i = 0; i < args.size() && wrong.empty(); ++i) {
    const std::string& a = args[i];
    if (a == "--deep") {
      deep = true;
    } else if (a == "--progress") {
      progressWanted = true;
    } else if (a == "--log") {
      if (i + 1 >= args.size()) wrong = "--log needs a value";
      else if ((logPath = args[++i]).empty()) wrong = "--log '': give a file name";
    } else if (!a.empty() && a[0] == '-') {
      wrong = unknownOption(a, "lost");
    } else if (!image.empty()) {
      wrong = extraArgument(a, image, "the image");
    } else {
      image = a;
    }
  }
  if (wrong.empty() && image.empty()) wrong = "no IMAGE given";
  if (!wrong.empty()) {
    std::fprintf(stderr, "qelda: %s\n", wrong.c_str());
    printLostUsage();
    return kExitUsage;
  }

  app::CQELDAApp app;
  StderrNotifier notifier;
  platform::TextLog log;
  if (!startLog(log, logPath, app.m_bStopRequested)) return kExitUsage;
  // Volumes cut at the disk's end, by the partition walk or by the search, are said on stderr.
  NoteLog notes(&log);
  app.layoutLog_ = &notes;
  TerminalProgress terminal;
  platform::NullScanProgress silent;
  const bool rawFile = app::imageTypeFromPath(image) == 0;
  if (rawFile) {
    app.m_strImagePath = image;
    if (!openRawFile(app)) return kExitMountFailed;
  } else {
    app::CDataRecovery mount(app, notifier);
    const auto mounted = mount.OnBnClickedMountVirtualDisk(app::imageTypeFromPath(image), image);
    sayMountCause(mount.cause());
    if (mounted == app::MountOutcome::Invalid) return kExitMountFailed;
  }
  app.m_nScanKind = engine::kScanLostVolumes;

  const bool showProgress = progressWanted || ::isatty(STDERR_FILENO);
  std::vector<const volume::DEVICE_ENTRY*> found;
  const bool completed = search(app, rawFile, deep, showProgress ? static_cast<platform::IScanProgress&>(terminal) : silent,
                                log, found);
  terminal.finish();
  // The found entries come in list order: one walk numbers them all.
  std::size_t index = 0;
  const volume::DEVICE_ENTRY* e = app.m_pSourceList;
  for (const volume::DEVICE_ENTRY* entry : found) {
    while (e && e != entry) {
      e = e->m_pNext;
      ++index;
    }
    if (!e) break;
    printSourceLine(index, *entry);
  }
  if (!logPath.empty()) log.flushTo(logPath);
  if (!completed) return runStopped();
  return finishOutput(kExitOk);
}

}  // namespace qelda::cli
