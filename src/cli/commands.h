#pragma once

#include <string>
#include <vector>

namespace qelda::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitMountFailed = 2;
inline constexpr int kExitScanFailed = 3;
inline constexpr int kExitStopped = 130;

int runInfo(const std::vector<std::string>& args);
int runScan(const std::vector<std::string>& args);
int runRecover(const std::vector<std::string>& args);
int runDrives(const std::vector<std::string>& args);

}  // namespace qelda::cli
