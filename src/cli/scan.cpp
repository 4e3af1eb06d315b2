// qelda scan IMAGE [options] and qelda recover IMAGE --out DIR [options]: mount, pick a
// source, run one scan on the scan worker, then list, sum up or save what it found.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/raw_types.h"
#include "app/scan_info.h"
#include "app/scan_worker.h"
#include "carve/header_catalogue.h"
#include "cli/commands.h"
#include "cli/stderr_log.h"
#include "cli/stderr_notifier.h"
#include "cli/stop_on_interrupt.h"
#include "cli/terminal_progress.h"
#include "fs/fat_layout.h"
#include "platform/found_item.h"
#include "platform/log.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "results/found_listing.h"
#include "save/save_files.h"

namespace qelda::cli {
namespace {

void printScanUsage(bool recover) {
  std::fprintf(stderr,
               "usage: qelda %s\n"
               "  --source N          the source to scan, by the index `qelda info` prints\n"
               "                      (default: the first volume that has a file system)\n"
               "  --kind quick|deleted|advanced|raw  the kind of scan (default quick)\n"
               "  --scan-type quick|deep  deleted-files scan: from the file system's records (default)\n"
               "                      or by searching the whole volume\n"
               "  --fs fat|ntfs|exfat advanced scan: the file system the volume held\n"
               "  --types LIST        raw scan: the file types to look for, by extension (jpg,png,...);\n"
               "                      default: those the catalogue HeaderFile.cfg marks as selected;\n"
               "                      NTFS and FAT advanced scans (and NTFS deep deleted-files scans):\n"
               "                      also search these types; other scans ignore it\n"
               "  --raw-range FIRST-LAST|volume  raw scan: of a whole disk or image, only sectors FIRST\n"
               "                      to LAST; with volume, every sector of the volume --source names\n"
               "  --linking fat1|fat2|contiguous  FAT volumes: how file data is followed after the scan\n"
               "  --save-scan FILE    save what the scan found to FILE, for `qelda resume`\n"
               "  --log FILE          append the run's log to FILE\n"
               "  --progress          show the progress line even when stderr is not a terminal\n"
               "  --lost [--deep]     search for lost volumes first, so that --source may name one\n"
               "%s",
               recover ? "recover IMAGE --out DIR [--mask PATTERN] [options]" : "scan IMAGE [--list] [options]",
               recover ? "  --out DIR           the folder the found tree is saved under (made when missing)\n"
                         "  --mask PATTERN      save only files whose name matches PATTERN (shell-style, case aside)\n"
                       : "  --list              one line per found item: d|f, flags, size, path\n");
}

struct Options {
  std::string image;
  std::optional<std::size_t> source;
  std::uint32_t scanKind = app::kScanQuick;
  std::uint32_t scanType = 1;
  std::uint8_t advancedFileSystem = 0;
  std::vector<std::string> types;
  std::optional<std::string> rawRange;
  bool list = false;
  std::string logPath;
  std::optional<std::uint8_t> linking;
  std::string linkingText;  // as given
  bool progress = false;
  bool lost = false;
  bool deepLost = false;
  std::string out;
  std::string mask;
  std::string saveScan;
};

// The options that take a value (the word after them).
bool isValueOption(const std::string& a, bool recover) {
  static constexpr const char* kTakeValue[] = {"--source", "--kind",    "--scan-type", "--fs",  "--types",
                                               "--raw-range", "--linking", "--save-scan", "--log"};
  for (const char* name : kTakeValue)
    if (a == name) return true;
  return recover && (a == "--out" || a == "--mask");
}

// A sector number as the user writes it: decimal digits only, no more than 64 bits hold.
std::optional<std::uint64_t> parseSector(const std::string& text) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  std::uint64_t n = 0;
  for (const char c : text) {
    const std::uint64_t digit = std::uint64_t(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  return n;
}

std::optional<std::size_t> parseIndex(const std::string& text) {
  if (text.size() > 9) return std::nullopt;
  const auto n = parseSector(text);
  return n ? std::optional<std::size_t>(std::size_t(*n)) : std::nullopt;
}

// What is wrong with the arguments, naming the word at fault, or "" when they are taken.
std::string parseOptions(const std::vector<std::string>& args, bool recover, Options& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    const auto value = [&] {
      if (i + 1 >= args.size()) return false;
      v = args[++i];
      return true;
    };
    const auto wrong = [&](const char* wanted) { return typed(a) + " " + typed(v) + ": " + wanted; };
    if (a == "--list" && !recover) {
      o.list = true;
    } else if (a == "--progress") {
      o.progress = true;
    } else if (a == "--lost") {
      o.lost = true;
    } else if (a == "--deep") {
      o.deepLost = true;
    } else if (isValueOption(a, recover) && !value()) {
      return a + " needs a value";
    } else if (a == "--source") {
      if (!(o.source = parseIndex(v))) return wrong("give the index of a source as `qelda info` lists them");
    } else if (a == "--kind") {
      if (v == "quick") o.scanKind = app::kScanQuick;
      else if (v == "deleted") o.scanKind = app::kScanDeleted;
      else if (v == "advanced") o.scanKind = app::kScanAdvanced;
      else if (v == "raw") o.scanKind = app::kScanRaw;
      else return wrong("give quick, deleted, advanced or raw");
    } else if (a == "--scan-type") {
      if (v == "quick") o.scanType = 1;
      else if (v == "deep") o.scanType = 0;
      else return wrong("give quick or deep");
    } else if (a == "--fs") {
      if (v == "fat") o.advancedFileSystem = engine::kAdvancedFat;
      else if (v == "ntfs") o.advancedFileSystem = engine::kAdvancedNtfs;
      else if (v == "exfat") o.advancedFileSystem = engine::kAdvancedExFat;
      else return wrong("give fat, ntfs or exfat");
    } else if (a == "--types") {
      if (v.empty()) return wrong("give file types by extension (jpg,png,...)");
      for (std::size_t from = 0; from <= v.size();) {
        const std::size_t comma = std::min(v.find(',', from), v.size());
        if (comma > from) o.types.push_back(v.substr(from, comma - from));
        from = comma + 1;
      }
    } else if (a == "--raw-range") {
      if (v.empty()) return wrong("give FIRST-LAST in sectors (decimal) or volume");
      o.rawRange = v;
    } else if (a == "--linking") {
      if (v == "fat1") o.linking = fs::fat::kLinkFat1;
      else if (v == "fat2") o.linking = fs::fat::kLinkFat2;
      else if (v == "contiguous") o.linking = fs::fat::kLinkContiguous;
      else return wrong("give fat1, fat2 or contiguous");
      o.linkingText = v;
    } else if (isValueOption(a, recover)) {  // --save-scan, --log, --out and --mask: any word
      if (v.empty()) return wrong(a == "--mask" ? "give a pattern" : "give a file or folder name");
      (a == "--save-scan" ? o.saveScan : a == "--log" ? o.logPath : a == "--out" ? o.out : o.mask) = v;
    } else if (!a.empty() && a[0] == '-') {
      return unknownOption(a, recover ? "recover" : "scan");
    } else if (o.image.empty()) {
      o.image = a;
    } else {
      return extraArgument(a, o.image, "the image");
    }
  }
  if (o.image.empty()) return "no IMAGE given";
  if (recover && o.out.empty()) return "recover needs --out DIR, the folder the files are saved under";
  if (o.deepLost && !o.lost) return "--deep goes with --lost";
  return {};
}

// Puts --raw-range into the application's raw range for the chosen source. A range past the
// disk's end is cut to it, and said. False on a usage error; the message is printed here.
bool applyRawRange(app::CQELDAApp& app, const Options& o) {
  if (!o.rawRange) return true;
  const std::string& range = *o.rawRange;
  if (o.scanKind != app::kScanRaw) {
    std::fputs("qelda: --raw-range applies to --kind raw only\n", stderr);
    return false;
  }
  const volume::DEVICE_ENTRY* source = app.m_pSelectedSource;
  if (range == "volume") {
    if (!source->m_pDetail.volume()) {
      std::fputs("qelda: --raw-range volume needs --source to name a volume (`qelda info` lists them)\n", stderr);
      return false;
    }
    app.m_bRawRangeFromVolume = 1;
    return true;
  }
  const std::size_t dash = range.find('-');
  const auto first = dash == std::string::npos ? std::nullopt : parseSector(range.substr(0, dash));
  const auto last = dash == std::string::npos ? std::nullopt : parseSector(range.substr(dash + 1));
  if (!first || !last) {
    std::fprintf(stderr, "qelda: --raw-range %s: give FIRST-LAST in sectors (decimal) or volume\n", range.c_str());
    return false;
  }
  if (*first > *last) {
    std::fprintf(stderr, "qelda: --raw-range %s: the first sector is past the last\n", range.c_str());
    return false;
  }
  const volume::DRIVE_RECORD* drive = source->m_pDetail.drive();
  if (!drive) {
    std::fputs("qelda: --raw-range FIRST-LAST applies to a whole disk or image; for a volume use --raw-range volume\n",
               stderr);
    return false;
  }
  const std::uint64_t sectors = drive->m_nSizeSectors;
  if (*first >= sectors) {
    std::fprintf(stderr, "qelda: --raw-range %s: the disk has %llu sectors, none of them in the range\n",
                 range.c_str(), static_cast<unsigned long long>(sectors));
    return false;
  }
  app.m_nRawStartSector = *first;
  app.m_nRawEndSector = *last;
  if (*last >= sectors) {
    app.m_nRawEndSector = sectors - 1;
    std::fprintf(stderr, "qelda: --raw-range %s ends past the disk's last sector; cut to %llu-%llu\n", range.c_str(),
                 static_cast<unsigned long long>(*first), static_cast<unsigned long long>(sectors - 1));
  }
  return true;
}

// The entry `index` of the source list, or by default the first volume with a file system.
volume::DEVICE_ENTRY* pickSource(const app::CQELDAApp& app, std::optional<std::size_t> index) {
  std::size_t i = 0;
  for (volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext, ++i) {
    if (index) {
      if (i == *index) return e;
      continue;
    }
    const volume::VOLUME_RECORD* v = e->m_pDetail.volume();
    if (v && !v->m_szFileSystem.empty()) return e;
  }
  return nullptr;
}

}  // namespace

int presentResults(app::CQELDAApp& app, const results::CFileFolderTree& tree, platform::TextLog& log,
                   const ResultOptions& o, const StopOnInterrupt& interrupt) {
  if (o.list && !(results::writeFoundListing(tree, stdout) && std::fflush(stdout) == 0)) return outputClosed(errno);
  if (o.out.empty()) {
    if (!o.list)
      std::printf("Folders: %u\nFiles: %u\nTotal size: %llu bytes\n", tree.folderCount(), tree.fileCount(),
                  static_cast<unsigned long long>(tree.totalSize()));
    return finishOutput(kExitOk);
  }

  app.m_bBusy = 1;
  int outputError = 0;
  const auto report = [&](save::SaveStatus status, const std::string& path) {
    std::printf("%s %s\n", platform::toUtf8(save::statusText(status)).c_str(), platform::printableText(path).c_str());
    if (std::fflush(stdout) != 0 && errno != EINTR && outputError == 0) {
      outputError = errno;
      app.m_bStopRequested = 1;
    }
  };
  // A large file may take long to finish after a stop: said, with the way out.
  const auto stopReport = [](save::StopNotice notice, const std::string& path) {
    if (notice == save::StopNotice::Finishing)
      std::fprintf(stderr, "qelda: stopping once %s is saved whole (stop again to end at once without it)\n",
                   platform::printableText(path).c_str());
    else
      std::fprintf(stderr, "qelda: %s was not saved: stopped again before it was whole\n",
                   platform::printableText(path).c_str());
  };
  save::CThreadForSavingFiles saver(app, app.currentEngine.get(), tree, log, {o.out, o.mask, &interrupt.stopAtOnce()},
                                    report, stopReport);
  const save::SaveTotals totals = saver.Run();
  app.OnOperationFinished();
  if (!o.logPath.empty()) log.flushTo(o.logPath);
  if (totals.destinationMissing) {
    std::fprintf(stderr, "qelda: cannot make the folder %s: %s\n", o.out.c_str(), std::strerror(totals.destinationError));
    return kExitUsage;
  }
  std::printf("%u recovered, %u partially recovered, %u skipped under %s\n", totals.recovered, totals.partial,
              totals.skipped, o.out.c_str());
  if (outputError != 0) return outputClosed(outputError);
  // Each cause once, with the number of files it cost.
  if (totals.noSpace != 0)
    std::fprintf(stderr, "qelda: %u files skipped: no space left on the disk of %s\n", totals.noSpace, o.out.c_str());
  if (totals.unwritable != 0)
    std::fprintf(stderr, "qelda: %u files skipped: cannot write under %s: %s\n", totals.unwritable, o.out.c_str(),
                 std::strerror(totals.unwritableError));
  if (totals.stopped || interrupt.interrupted() || logFailed()) return runStopped();
  return finishOutput(totals.noSpace != 0 || totals.unwritable != 0 ? kExitOutputFailed : kExitOk);
}

namespace {

int runScanOrRecover(const std::vector<std::string>& args, bool recover) {
  Options o;
  if (const std::string wrong = parseOptions(args, recover, o); !wrong.empty()) {
    std::fprintf(stderr, "qelda: %s\n", wrong.c_str());
    printScanUsage(recover);
    return kExitUsage;
  }

  app::CQELDAApp app;
  StderrNotifier notifier;
  results::CFileFolderTree tree;
  platform::TextLog log;
  // Each line goes out as it comes: a long run's log holds no memory.
  if (!startLog(log, o.logPath, app.m_bStopRequested)) return kExitUsage;
  TerminalProgress terminal;
  platform::NullScanProgress silent;
  const bool showProgress = o.progress || ::isatty(STDERR_FILENO);

  NoteLog notes(&log);
  app.layoutLog_ = &notes;
  app::CDataRecovery mount(app, notifier);
  // With --lost, a file that is no virtual-machine image is searched as a plain disk.
  const bool rawFile = o.lost && app::imageTypeFromPath(o.image) == 0;
  if (rawFile) app.m_strImagePath = o.image;
  const auto mounted = rawFile ? app::MountOutcome::Mounted
                               : mount.OnBnClickedMountVirtualDisk(app::imageTypeFromPath(o.image), o.image);
  sayMountCause(mount.cause());
  if (mounted == app::MountOutcome::Invalid) return kExitMountFailed;
  if (o.lost) {
    platform::IScanProgress& shown = showProgress ? static_cast<platform::IScanProgress&>(terminal) : silent;
    const int searched = searchLostVolumesFirst(app, rawFile, o.deepLost, shown, log);
    terminal.finish();
    if (searched == kExitStopped) return runStopped();
    if (searched != kExitOk) return searched;
  }
  app.m_pSelectedSource = pickSource(app, o.source);
  if (!app.m_pSelectedSource) {
    if (o.source) {
      std::fprintf(stderr, "qelda: %s has no source %zu (`qelda info` lists them)\n", o.image.c_str(), *o.source);
      return kExitUsage;
    }
    std::fprintf(stderr, "qelda: %s has no volume with a known file system; pick a source with --source\n",
                 o.image.c_str());
    return kExitScanFailed;
  }
  // A whole disk holds no file system of its own: only the raw scan searches it, by signatures.
  // (A --raw-range given to another kind is the usage error said below.)
  if (o.scanKind != app::kScanRaw && !o.rawRange && app.m_pSelectedSource->m_pDetail.drive()) {
    std::fprintf(stderr,
                 "qelda: source %zu is the whole disk, which only --kind raw searches (for files by their "
                 "signatures); the other scans read a volume's file system: give its index with --source "
                 "(`qelda info` lists them)\n",
                 o.source.value_or(0));
    // The status stays the one a volume that cannot be scanned gives, as scripts know it.
    return kExitScanFailed;
  }
  app.m_nScanKind = o.scanKind;
  app.m_nScanType = o.scanType;
  app.m_nAdvancedFileSystem = o.advancedFileSystem;
  // The NTFS and FAT advanced scans (and the NTFS deleted-files scan's deep branch, which is
  // its advanced scan) also search the file types the user names by their signatures.
  const bool typesInsideScan = !o.types.empty() && o.scanKind != app::kScanRaw && app::scanSearchesSignatures(app);
  if (!o.types.empty() && o.scanKind != app::kScanRaw && !typesInsideScan)
    std::fputs("qelda: --types applies only to the raw scan and to the NTFS and FAT advanced scans (on NTFS also "
               "--kind deleted --scan-type deep); ignored\n",
               stderr);
  if (typesInsideScan) app.m_nSetRaw = 0;
  if (!applyRawRange(app, o)) return kExitUsage;
  if (o.scanKind == app::kScanRaw || typesInsideScan) {
    std::vector<std::string> unknown;
    std::string unusable;
    const bool any = app::selectRawTypes(app, app::configFolder(), o.types, unknown, &unusable);
    const std::string catalogue = app::configFolder() / carve::kHeaderFileName;
    // The catalogue is the user's file: it is said what is wrong with it, never rewritten.
    if (!unusable.empty()) {
      std::fprintf(stderr, "qelda: the file-type catalogue %s cannot be used: %s\n", catalogue.c_str(),
                   unusable.c_str());
      return kExitScanFailed;
    }
    for (const std::string& name : unknown)
      std::fprintf(stderr, "qelda: no file type %s in the catalogue %s\n", name.c_str(), catalogue.c_str());
    if (!any || !unknown.empty()) return kExitUsage;
  }

  // Ctrl-C: the scan or the save ends at its next step.
  const StopOnInterrupt interrupt(app.m_bStopRequested);
  if (logFailed()) return runStopped();

  app::CScanProcess worker(app, tree, showProgress ? static_cast<platform::IScanProgress&>(terminal) : silent, log,
                           notifier, o.logPath);
  const engine::ScanOutcome scanned = worker.run();
  terminal.finish();
  // A missing or cut extent reads as zeros: the scan runs on, and says how much it missed.
  if (scanned.unreadSectors != 0)
    std::fprintf(stderr, "qelda: %llu %s could not be read from the image and %s read as zeros\n",
                 static_cast<unsigned long long>(scanned.unreadSectors),
                 scanned.unreadSectors == 1 ? "sector" : "sectors", scanned.unreadSectors == 1 ? "was" : "were");
  if (scanned.status == engine::ScanStatus::Failed) {
    if (!scanned.cause.empty()) std::fprintf(stderr, "qelda: %s\n", platform::toUtf8(scanned.cause).c_str());
    return kExitScanFailed;
  }
  if (scanned.status == engine::ScanStatus::Stopped || interrupt.interrupted() || logFailed()) return runStopped();
  if (std::u16string whyNot; o.linking && !app::applyFatLinkingMode(app, *o.linking, &whyNot)) {
    if (whyNot.empty()) std::fputs("qelda: --linking applies to FAT volumes only; ignored\n", stderr);
    else std::fprintf(stderr, "qelda: --linking %s does not apply: %s; ignored\n", o.linkingText.c_str(),
                      platform::toUtf8(whyNot).c_str());
  }

  if (!o.saveScan.empty()) {
    std::string unindexed;
    const std::string failed = app::SaveScanImage(app, tree, o.saveScan, app::scanInfoIndexPath(), &unindexed);
    if (!failed.empty()) {
      std::fprintf(stderr, "qelda: %s\n", failed.c_str());
      return kExitUsage;
    }
    if (!unindexed.empty())
      std::fprintf(stderr, "qelda: the scan information was saved but not added to the index: %s\n", unindexed.c_str());
  }
  return presentResults(app, tree, log, {o.list, recover ? o.out : std::string{}, o.mask, o.logPath}, interrupt);
}

}  // namespace

int runScan(const std::vector<std::string>& args) { return runScanOrRecover(args, false); }
int runRecover(const std::vector<std::string>& args) { return runScanOrRecover(args, true); }

}  // namespace qelda::cli
