// ATA commands sent to a drive through the SCSI layer's ATA PASS-THROUGH (16), and the
// judgement of the answer. The command blocks and the judgement are pure; sending needs a
// device that allows it (root, a SATA or SAT-bridged drive).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace qelda::volume {

struct AtaCommand {
  std::uint8_t features = 0;
  std::uint8_t sectorCount = 0;
  std::uint8_t lbaLow = 0;
  std::uint8_t lbaMid = 0;
  std::uint8_t lbaHigh = 0;
  std::uint8_t command = 0;
};

// The commands the identity reader sends; each reads one 512-byte sector from the drive.
AtaCommand identifyCommand(bool packetDevice);
AtaCommand smartReadCommand(std::uint8_t subcommand);  // ata::kSmartReadData or kSmartReadThresholds

// ATA PASS-THROUGH (16) for a PIO data-in command of one sector.
std::array<std::uint8_t, 16> ataPassThroughCdb(const AtaCommand& command);

// True when the answer to a pass-through carries the data: the SCSI status is GOOD, or a
// CHECK CONDITION whose sense says only that ATA status is returned and whose ATA status
// has neither the error nor the device-fault bit.
bool ataPassThroughSucceeded(std::uint8_t scsiStatus, std::uint16_t hostStatus, std::uint16_t driverStatus,
                             std::span<const std::uint8_t> sense);

// Sends `command` to the open device `fd` and reads its sector into `out`; false when the
// device does not take pass-through commands or the drive refused the command.
bool sendAtaCommand(int fd, const AtaCommand& command, std::span<std::uint8_t, 512> out);

}  // namespace qelda::volume
