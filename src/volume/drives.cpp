#include "volume/drives.h"

#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "fs/ata_layout.h"
#include "fs/drive_identity.h"
#include "volume/ata_pass_through.h"

namespace qelda::volume {

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

using Sector = std::array<std::uint8_t, fs::ata::kSectorBytes>;

void takeIdentify(const fs::IdentifyData& d, fs::IdentitySource source, fs::DRIVE_IDENTITY& identity) {
  identity.source = source;
  identity.m_szModel = d.model;
  identity.m_szSerial = d.serial;
  identity.m_szFirmware = d.firmware;
  identity.m_wCylinders = d.cylinders;
  identity.m_wHeads = d.heads;
  identity.m_wSectorsPerTrack = d.sectorsPerTrack;
  identity.m_nTotalSectors = d.totalSectors;
  identity.m_bSmartEnabled = d.smartEnabled ? 1 : 0;
}

// IDENTIFY through pass-through: an ATA device first, then a packet device.
bool identifyByPassThrough(int fd, fs::DRIVE_IDENTITY& identity) {
  for (const bool packet : {false, true}) {
    Sector sector{};
    if (!sendAtaCommand(fd, identifyCommand(packet), sector)) continue;
    const auto parsed = fs::parseIdentifySector(platform::ByteView(sector), packet);
    if (!parsed) continue;
    takeIdentify(*parsed, fs::IdentitySource::AtaPassThrough, identity);
    return true;
  }
  return false;
}

// SMART data and thresholds; a sector that fails its check byte counts as not read, so that
// no attribute is shown from damaged data. Thresholds that cannot be read stay zero.
void readSmartAttributes(int fd, fs::DRIVE_IDENTITY& identity) {
  Sector data{};
  if (!sendAtaCommand(fd, smartReadCommand(fs::ata::kSmartReadData), data) ||
      !fs::smartSectorChecksumOk(platform::ByteView(data)))
    return;
  Sector thresholds{};
  if (!sendAtaCommand(fd, smartReadCommand(fs::ata::kSmartReadThresholds), thresholds) ||
      !fs::smartSectorChecksumOk(platform::ByteView(thresholds)))
    thresholds.fill(0);
  fs::ParseSmartAttributes(platform::ByteView(data), platform::ByteView(thresholds), identity);
}

bool identifyByKernelCopy(int fd, fs::DRIVE_IDENTITY& identity) {
  Sector sector{};
  if (::ioctl(fd, HDIO_GET_IDENTITY, sector.data()) != 0) return false;
  const bool packet = (sector[1] & 0xC0) == 0x80;  // word 0 bits 15:14 = 10b
  const auto parsed = fs::parseIdentifySector(platform::ByteView(sector), packet);
  if (!parsed) return false;
  takeIdentify(*parsed, fs::IdentitySource::HdioIdentity, identity);
  return true;
}

// The first line of a small text file, without its line end; empty when there is none.
std::string readTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<char, 256> buffer{};
  in.read(buffer.data(), buffer.size());
  std::string text(buffer.data(), std::size_t(in.gcount()));
  return text.substr(0, text.find_first_of("\n\r"));
}

// The unit serial number page as the kernel keeps it: page code 0x80, length, then the text.
std::string serialFromVpdPage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<char, 256> page{};
  in.read(page.data(), page.size());
  const std::size_t got = std::size_t(in.gcount());
  if (got < 4 || std::uint8_t(page[1]) != 0x80) return {};
  const std::size_t length = std::size_t(std::uint8_t(page[2])) << 8 | std::uint8_t(page[3]);
  return std::string(page.data() + 4, std::min(length, got - 4));
}

std::string firstNonEmpty(std::initializer_list<std::string> texts) {
  for (const auto& t : texts)
    if (!t.empty()) return t;
  return {};
}

bool identifyFromSysfs(const std::string& name, const DriveSystem& system, fs::DRIVE_IDENTITY& identity) {
  const std::string block = system.sysBlock + "/" + name;
  const std::string device = block + "/device";
  identity.m_szModel =
      fs::trimIdentityText(firstNonEmpty({readTextFile(device + "/model"), readTextFile(device + "/name")}), fs::kModelChars);
  identity.m_szSerial = fs::trimIdentityText(
      firstNonEmpty({readTextFile(device + "/serial"), readTextFile(block + "/serial"), serialFromVpdPage(device + "/vpd_pg80")}),
      fs::kSerialChars);
  identity.m_szFirmware = fs::trimIdentityText(
      firstNonEmpty({readTextFile(device + "/firmware_rev"), readTextFile(device + "/rev")}), fs::kFirmwareChars);
  if (identity.m_szModel.empty() && identity.m_szSerial.empty() && identity.m_szFirmware.empty()) return false;
  identity.source = fs::IdentitySource::Sysfs;
  return true;
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

std::uint32_t GetDriveIdentity(std::uint8_t driveNumber, fs::DRIVE_IDENTITY& identity, const DriveSystem& system) {
  const auto name = physicalDriveName(driveNumber, system);
  if (!name) return 0;
  // O_NONBLOCK: a drive without a medium still opens; nothing here reads or writes its sectors.
  const int fd = ::open((system.devDir + "/" + *name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    if (identifyByPassThrough(fd, identity)) {
      if (identity.m_bSmartEnabled) readSmartAttributes(fd, identity);
    } else {
      identifyByKernelCopy(fd, identity);
    }
    ::close(fd);
  }
  if (identity.source == fs::IdentitySource::None) identifyFromSysfs(*name, system, identity);
  return identity.source == fs::IdentitySource::None ? 0 : 1;
}

}  // namespace qelda::volume
