#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qelda::app {
class CQELDAApp;
}
namespace qelda::volume {
struct DEVICE_ENTRY;
}
namespace qelda::platform {
class IScanProgress;
class TextLog;
}  // namespace qelda::platform
namespace qelda::results {
class CFileFolderTree;
}

namespace qelda::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitMountFailed = 2;
inline constexpr int kExitScanFailed = 3;
// Files were skipped because the output folder would not take them: its disk (or quota) was
// full, it is read-only or not writable, or a write failed.
inline constexpr int kExitOutputFailed = 4;
inline constexpr int kExitStopped = 130;

int runInfo(const std::vector<std::string>& args);
int runScan(const std::vector<std::string>& args);
int runRecover(const std::vector<std::string>& args);
int runLost(const std::vector<std::string>& args);
int runDrives(const std::vector<std::string>& args);
int runResume(const std::vector<std::string>& args);

class StopOnInterrupt;

// What is done with the found tree after a scan or a resume: with `list` one line per item,
// with `out` the files saved under it (those `mask` matches, when set), else a summary.
struct ResultOptions {
  bool list = false;
  std::string out;
  std::string mask;
  std::string logPath;
};
// Returns the exit status: kExitOk, kExitUsage (the folder cannot be made), kExitStopped (also
// when standard output could not be written), kExitOutputFailed.
int presentResults(app::CQELDAApp& app, const results::CFileFolderTree& tree, platform::TextLog& log,
                   const ResultOptions& options, const StopOnInterrupt& interrupt);

// A run that ends stopped (a signal, an output or a log that cannot be written): "qelda:
// stopped" on stderr, after the log's failure when it has one and it was not said yet;
// kExitStopped.
int runStopped();
// Standard output that cannot be written (its reader gone, as with `| head`, or its disk
// full) ends the run as a stop does, the cause said unless the reader went: kExitStopped.
int outputClosed(int error);
// At the end of a command: `status` when all it printed reached standard output and its
// log, else what outputClosed or runStopped gives.
int finishOutput(int status);
// Gives the run's log its file, appended to as entries come; false (the cause said on
// stderr) when the file cannot be opened for writing, which ends the run before it starts.
// A line the file refuses later sets `stop`: the run ends at its next step.
bool startLog(platform::TextLog& log, const std::string& path, std::atomic<std::uint32_t>& stop);
// The run's log refused a line.
bool logFailed();
// The status a command ends with: `status`, the log's failure said when no one said it yet
// (a run that did its work without its log ends as a stopped one).
int endOfRun(int status);

// A word the user typed, as it is printed in a message about it ('' when empty).
std::string typed(const std::string& word);
// What is said of an option `command` does not take.
std::string unknownOption(const std::string& word, const char* command);
// What is said of a word after the one argument a command takes (`first`, which is `what`).
std::string extraArgument(const std::string& word, const std::string& first, const char* what);

// One source as `qelda info` lists it: index, kind, name, file system, start, count, size text.
void printSourceLine(std::size_t index, const volume::DEVICE_ENTRY& entry);

// The lost-volume search before a scan: the volumes it finds join the source list. A disk
// file that is no virtual-machine image (`rawFile`) is searched as it is. Ctrl-C stops it.
// Returns an exit status: kExitOk, kExitMountFailed (the file cannot be opened) or kExitStopped.
int searchLostVolumesFirst(app::CQELDAApp& app, bool rawFile, bool deep, platform::IScanProgress& progress,
                           platform::TextLog& log);

}  // namespace qelda::cli
