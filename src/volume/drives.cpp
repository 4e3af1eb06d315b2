#include "volume/drives.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace qelda::disk {

std::array<std::atomic<std::uint8_t>, 128> g_abFixedDrive{};
std::array<std::atomic<std::uint8_t>, 128> g_abRemovableDrive{};

namespace {

bool digitsOnly(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(std::uint8_t(c)); });
}

// Whole disks only: not partitions, loop, RAM, optical, mapper or RAID devices.
bool isPhysicalDiskName(std::string_view name) {
  for (std::string_view prefix : {"sd", "vd", "hd", "xvd"}) {
    if (name.starts_with(prefix) && name.size() > prefix.size() &&
        std::all_of(name.begin() + std::ptrdiff_t(prefix.size()), name.end(),
                    [](char c) { return c >= 'a' && c <= 'z'; }))
      return true;
  }
  if (name.starts_with("nvme")) {  // nvme<ctrl>n<ns>
    const auto n = name.find('n', 4);
    return n != std::string_view::npos && digitsOnly(name.substr(4, n - 4)) && digitsOnly(name.substr(n + 1));
  }
  if (name.starts_with("mmcblk")) return digitsOnly(name.substr(6));
  return false;
}

std::optional<std::uint64_t> readNumber(const std::string& path) {
  std::ifstream in(path);
  std::uint64_t v = 0;
  if (!(in >> v)) return std::nullopt;
  return v;
}

std::optional<std::string> physicalDriveName(std::uint8_t driveNumber, const DriveSystem& system) {
  if (driveNumber < 128) return std::nullopt;  // drive letters name nothing on this system
  const auto drives = listPhysicalDrives(system);
  const std::size_t index = driveNumber - 128u;
  if (index >= drives.size()) return std::nullopt;
  return drives[index];
}

}  // namespace

std::vector<std::string> listPhysicalDrives(const DriveSystem& system) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(system.sysBlock, ec)) {
    const std::string name = entry.path().filename().string();
    if (isPhysicalDiskName(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  if (names.size() > 128) names.resize(128);
  return names;
}

std::optional<platform::ReadOnlyFile> OpenDriveHandle(std::uint8_t driveNumber, const DriveSystem& system) {
  const auto name = physicalDriveName(driveNumber, system);
  if (!name) return std::nullopt;
  return platform::ReadOnlyFile::open(system.devDir + "/" + *name);
}

std::uint32_t EnumerateDrives(std::uint8_t& fixedCount, std::uint8_t& removableCount, const DriveSystem& system) {
  for (auto& f : g_abFixedDrive) f = 0;
  for (auto& r : g_abRemovableDrive) r = 0;
  fixedCount = 0;
  removableCount = 0;
  const auto drives = listPhysicalDrives(system);
  for (std::size_t n = 0; n < drives.size(); ++n) {
    const auto removable = readNumber(system.sysBlock + "/" + drives[n] + "/removable");
    if (!removable) continue;  // a drive that does not answer is skipped
    if (*removable == 0) {
      ++fixedCount;
      g_abFixedDrive[n] = 1;
    } else {
      ++removableCount;
      g_abRemovableDrive[n] = 1;
    }
  }
  return fixedCount > 0 ? 1 : 0;
}

void GetDriveSizeBytes(std::uint64_t& sizeOut, std::uint8_t driveNumber, const DriveSystem& system) {
  sizeOut = 0;
  const auto name = physicalDriveName(driveNumber, system);
  if (!name) return;
  // The kernel gives the length in 512-byte units whatever the drive's sector size.
  sizeOut = readNumber(system.sysBlock + "/" + *name + "/size").value_or(0);
}

}  // namespace qelda::disk
