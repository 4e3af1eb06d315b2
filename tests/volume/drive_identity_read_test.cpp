#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "fs/ata_layout.h"
#include "fs/drive_identity.h"
#include "support/fake_drives.h"
#include "volume/ata_pass_through.h"
#include "volume/drives.h"

namespace qelda::volume {
namespace {

TEST(AtaPassThrough, CommandBlocks) {
  const auto identify = ataPassThroughCdb(identifyCommand(false));
  const std::array<std::uint8_t, 16> expectIdentify = {0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0};
  EXPECT_EQ(identify, expectIdentify);
  EXPECT_EQ(ataPassThroughCdb(identifyCommand(true))[14], 0xA1);

  const auto smart = ataPassThroughCdb(smartReadCommand(fs::ata::kSmartReadData));
  const std::array<std::uint8_t, 16> expectSmart = {0x85, 0x08, 0x0E, 0, 0xD0, 0, 1, 0, 1, 0, 0x4F, 0, 0xC2, 0xA0, 0xB0, 0};
  EXPECT_EQ(smart, expectSmart);
  EXPECT_EQ(ataPassThroughCdb(smartReadCommand(fs::ata::kSmartReadThresholds))[4], 0xD1);
}

// Sense data as a SAT layer returns it after a pass-through command.
std::vector<std::uint8_t> descriptorSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t ataStatus) {
  std::vector<std::uint8_t> s(22, 0);
  s[0] = 0x72;
  s[1] = key;
  s[2] = asc;
  s[3] = ascq;
  s[7] = 14;     // one ATA status return descriptor
  s[8] = 0x09;
  s[9] = 12;
  s[21] = ataStatus;
  return s;
}

std::vector<std::uint8_t> fixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t ataStatus) {
  std::vector<std::uint8_t> s(18, 0);
  s[0] = 0x70;
  s[2] = key;
  s[4] = ataStatus;
  s[7] = 10;
  s[12] = asc;
  s[13] = ascq;
  return s;
}

TEST(AtaPassThrough, JudgesTheAnswer) {
  struct Case {
    const char* what;
    std::uint8_t status;
    std::uint16_t host, driver;
    std::vector<std::uint8_t> sense;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"good status", 0x00, 0, 0, {}, true},
      {"transport failed", 0x00, 0x07, 0, {}, false},
      {"driver error", 0x00, 0, 0x06, {}, false},
      {"ATA status returned, ready", 0x02, 0, 0x08, descriptorSense(1, 0, 0x1D, 0x50), true},
      {"ATA status returned, no sense key", 0x02, 0, 0x08, descriptorSense(0, 0, 0x1D, 0x50), true},
      {"ATA status with the error bit", 0x02, 0, 0x08, descriptorSense(1, 0, 0x1D, 0x51), false},
      {"ATA status with device fault", 0x02, 0, 0x08, descriptorSense(1, 0, 0x1D, 0x70), false},
      {"illegal request: no pass-through", 0x02, 0, 0x08, descriptorSense(5, 0x20, 0, 0x50), false},
      {"aborted command", 0x02, 0, 0x08, descriptorSense(0x0B, 0, 0, 0x51), false},
      {"fixed-format sense, ready", 0x02, 0, 0x08, fixedSense(1, 0, 0x1D, 0x50), true},
      {"fixed-format sense, error", 0x02, 0, 0x08, fixedSense(1, 0, 0x1D, 0x51), false},
      {"check condition without sense", 0x02, 0, 0, {}, false},
      {"busy", 0x08, 0, 0, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ataPassThroughSucceeded(c.status, c.host, c.driver, c.sense), c.ok);
  }
}

// Drives whose device nodes are plain files: what the kernel lists in sysfs is all there is.
class SysfsIdentity : public ::testing::Test, public test::FakeDrives {};

TEST_F(SysfsIdentity, TakesModelSerialAndRevisionFromTheKernelsTexts) {
  std::string vpd = std::string("\x00\x80\x00\x14", 4) + "    S1234567890ABCDE";
  add("nvme0n1", 0, 2048, {{"device/model", "Samsung SSD 970 EVO 500GB               \n"},
                          {"device/serial", "S466NX0K123456A     \n"},
                          {"device/firmware_rev", "2B2QEXE7\n"}});
  add("sda", 0, 2048, {{"device/model", "QEMU HARDDISK   \n"}, {"device/vpd_pg80", vpd}, {"device/rev", "2.5+\n"}});
  add("vda", 0, 2048, {{"serial", "overlayblk\n"}});
  add("vdb", 0, 2048, {});

  struct Expected {
    std::string model, serial, firmware;
    std::uint32_t result;
  };
  const std::vector<Expected> expected = {
      {"Samsung", "S466NX0K123456A", "2B2QEXE7", 1},
      {"QEMU", "S1234567890ABCDE", "2.5+", 1},
      {"", "overlayblk", "", 1},
      {"", "", "", 0},
  };
  for (std::size_t n = 0; n < expected.size(); ++n) {
    SCOPED_TRACE(n);
    fs::DRIVE_IDENTITY identity;
    EXPECT_EQ(GetDriveIdentity(std::uint8_t(0x80 + n), identity, system), expected[n].result);
    EXPECT_EQ(identity.m_szModel, expected[n].model);
    EXPECT_EQ(identity.m_szSerial, expected[n].serial);
    EXPECT_EQ(identity.m_szFirmware, expected[n].firmware);
    EXPECT_EQ(identity.source, expected[n].result ? fs::IdentitySource::Sysfs : fs::IdentitySource::None);
    // Nothing the texts do not say is filled in.
    EXPECT_EQ(identity.m_nTotalSectors, 0u);
    EXPECT_EQ(identity.m_bSmartEnabled, 0);
    EXPECT_EQ(identity.m_pAttributes, nullptr);
  }
}

TEST_F(SysfsIdentity, NoDriveNoIdentity) {
  fs::DRIVE_IDENTITY identity;
  EXPECT_EQ(GetDriveIdentity(0x80, identity, system), 0u);
  EXPECT_EQ(GetDriveIdentity(2, identity, system), 0u);  // a drive letter
  EXPECT_EQ(identity.source, fs::IdentitySource::None);
}

}  // namespace
}  // namespace qelda::volume
