#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qelda::app {
class CQELDAApp;
}
namespace qelda::disk {
struct DEVICE_ENTRY;
}
namespace qelda::platform {
class IScanProgress;
class TextLog;
}  // namespace qelda::platform

namespace qelda::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitMountFailed = 2;
inline constexpr int kExitScanFailed = 3;
inline constexpr int kExitStopped = 130;

int runInfo(const std::vector<std::string>& args);
int runScan(const std::vector<std::string>& args);
int runRecover(const std::vector<std::string>& args);
int runLost(const std::vector<std::string>& args);
int runDrives(const std::vector<std::string>& args);

// One source as `qelda info` lists it: index, kind, name, file system, start, count, size text.
void printSourceLine(std::size_t index, const disk::DEVICE_ENTRY& entry);

// The lost-volume search before a scan: the volumes it finds join the source list. A disk
// file that is no virtual-machine image (`rawFile`) is searched as it is. Ctrl-C stops it.
// Returns an exit status: kExitOk, kExitMountFailed (the file cannot be opened) or kExitStopped.
int searchLostVolumesFirst(app::CQELDAApp& app, bool rawFile, bool deep, platform::IScanProgress& progress,
                           platform::TextLog& log);

}  // namespace qelda::cli
