#include "volume/ata_pass_through.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>

#include "fs/ata_layout.h"

namespace qelda::volume {

namespace {

constexpr std::uint8_t kAtaPassThrough16 = 0x85;
constexpr std::uint8_t kProtocolPioDataIn = 4;
// Transfer from the device, length in sectors, taken from the sector-count field.
constexpr std::uint8_t kTransferFlags = 0x08 | 0x04 | 0x02;
constexpr std::uint8_t kDeviceRegister = 0xA0;

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr std::uint16_t kDriverSense = 0x08;  // sense data came with the answer
constexpr std::uint8_t kSenseNoSense = 0;
constexpr std::uint8_t kSenseRecovered = 1;
constexpr std::uint8_t kAscqAtaInformation = 0x1D;  // ASC 0: ATA pass-through information available
constexpr std::uint8_t kAtaStatusReturnDescriptor = 0x09;
constexpr std::uint8_t kAtaError = 0x01;
constexpr std::uint8_t kAtaDeviceFault = 0x20;

constexpr unsigned kTimeoutMs = 10000;

}  // namespace

AtaCommand identifyCommand(bool packetDevice) {
  AtaCommand c;
  c.sectorCount = 1;
  c.command = packetDevice ? fs::ata::kCmdIdentifyPacket : fs::ata::kCmdIdentify;
  return c;
}

AtaCommand smartReadCommand(std::uint8_t subcommand) {
  AtaCommand c;
  c.features = subcommand;
  c.sectorCount = 1;
  c.lbaLow = 1;
  c.lbaMid = fs::ata::kSmartLbaMid;
  c.lbaHigh = fs::ata::kSmartLbaHigh;
  c.command = fs::ata::kCmdSmart;
  return c;
}

std::array<std::uint8_t, 16> ataPassThroughCdb(const AtaCommand& command) {
  std::array<std::uint8_t, 16> cdb{};
  cdb[0] = kAtaPassThrough16;
  cdb[1] = kProtocolPioDataIn << 1;
  cdb[2] = kTransferFlags;
  cdb[4] = command.features;
  cdb[6] = command.sectorCount;
  cdb[8] = command.lbaLow;
  cdb[10] = command.lbaMid;
  cdb[12] = command.lbaHigh;
  cdb[13] = kDeviceRegister;
  cdb[14] = command.command;
  return cdb;
}

bool ataPassThroughSucceeded(std::uint8_t scsiStatus, std::uint16_t hostStatus, std::uint16_t driverStatus,
                             std::span<const std::uint8_t> sense) {
  if (hostStatus != 0 || (driverStatus & ~kDriverSense) != 0) return false;
  if (scsiStatus == kStatusGood) return true;
  if (scsiStatus != kStatusCheckCondition || sense.size() < 8) return false;
  const std::uint8_t response = sense[0] & 0x7F;
  std::uint8_t key = 0, asc = 0, ascq = 0;
  int ataStatus = -1;
  if (response == 0x72 || response == 0x73) {  // descriptor format
    key = sense[1] & 0x0F;
    asc = sense[2];
    ascq = sense[3];
    const std::size_t end = std::min<std::size_t>(sense.size(), 8u + sense[7]);
    for (std::size_t d = 8; d + 2 <= end;) {
      const std::size_t length = 2u + sense[d + 1];
      if (sense[d] == kAtaStatusReturnDescriptor && d + 14 <= end) ataStatus = sense[d + 13];
      d += length;
    }
  } else if (response == 0x70 || response == 0x71) {  // fixed format: the ATA status in the information field
    if (sense.size() < 14) return false;
    key = sense[2] & 0x0F;
    asc = sense[12];
    ascq = sense[13];
    ataStatus = sense[4];
  } else {
    return false;
  }
  if (key != kSenseNoSense && key != kSenseRecovered) return false;
  if (asc != 0 || ascq != kAscqAtaInformation || ataStatus < 0) return false;
  return (ataStatus & (kAtaError | kAtaDeviceFault)) == 0;
}

bool sendAtaCommand(int fd, const AtaCommand& command, std::span<std::uint8_t, 512> out) {
  auto cdb = ataPassThroughCdb(command);
  std::array<std::uint8_t, 32> sense{};
  sg_io_hdr_t io;
  std::memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = cdb.size();
  io.cmdp = cdb.data();
  io.mx_sb_len = sense.size();
  io.sbp = sense.data();
  io.dxfer_len = out.size();
  io.dxferp = out.data();
  io.timeout = kTimeoutMs;
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  if (::ioctl(fd, SG_IO, &io) != 0) return false;
  if (io.resid != 0) return false;  // the whole sector must have come
  return ataPassThroughSucceeded(io.status, io.host_status, io.driver_status,
                                 std::span<const std::uint8_t>(sense.data(), io.sb_len_wr));
}

}  // namespace qelda::volume
