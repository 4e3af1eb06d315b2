// The computer's own drives: listed, measured and opened for reading by number. Numbers
// above 127 are physical drives (number − 128); smaller ones would be drive letters, which
// name nothing here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/read_only_file.h"

namespace qelda::fs {
struct DRIVE_IDENTITY;  // fs/drive_identity.h
}  // namespace qelda::fs

namespace qelda::volume {


// Where the kernel describes block devices and where their nodes live; tests point these
// at a fake tree.
struct DriveSystem {
  std::string sysBlock = "/sys/block";
  std::string devDir = "/dev";
};

// Entry n is 1 when physical drive n was found fixed, respectively removable, by the last
// EnumerateDrives.
extern std::array<std::atomic<std::uint8_t>, 128> g_abFixedDrive;
extern std::array<std::atomic<std::uint8_t>, 128> g_abRemovableDrive;

// Whole disks in a stable order (sorted by name): physical drive n is entry n.
std::vector<std::string> listPhysicalDrives(const DriveSystem& system = {});

std::optional<platform::ReadOnlyFile> OpenDriveHandle(std::uint8_t driveNumber, const DriveSystem& system = {});
// 1 when at least one fixed physical drive was found.
std::uint32_t EnumerateDrives(std::uint8_t& fixedCount, std::uint8_t& removableCount, const DriveSystem& system = {});
// Stores the drive's length in 512-byte sectors, 0 when it is unknown.
void GetDriveSizeBytes(std::uint64_t& sizeOut, std::uint8_t driveNumber, const DriveSystem& system = {});

// Fills `identity` (which the caller gives fresh) for physical drive driveNumber, asking the
// drive in turn: IDENTIFY and, when the drive has SMART enabled, SMART READ DATA and READ
// THRESHOLDS through ATA pass-through; else the IDENTIFY sector the kernel kept for the
// drive; else the model, serial and revision texts the kernel lists. Nothing is sent that
// changes the drive's state. Returns 1 when one of them answered (identity.source says which).
std::uint32_t GetDriveIdentity(std::uint8_t driveNumber, fs::DRIVE_IDENTITY& identity, const DriveSystem& system = {});

}  // namespace qelda::volume
