#include <gtest/gtest.h>

#include <filesystem>

#include "volume/drives.h"
#include "support/fake_drives.h"

namespace qelda::volume {
namespace {

// Two disks (one fixed, one removable), a partitioned NVMe namespace and devices that are
// not physical disks.
class FakeSysfs : public ::testing::Test, public test::FakeDrives {
 protected:
  void SetUp() override {
    add("sdb", 1, 4096);
    add("sda", 0, 2097152);
    add("nvme0n1", 0, 1000);
    add("loop0", 0, 10);
    add("sr0", 1, 10);
    add("dm-0", 0, 10);
    std::filesystem::create_directories(system.sysBlock + "/mmcblk0");  // answers nothing
  }
};

TEST_F(FakeSysfs, ListsWholeDisksInNameOrderAndCountsFixedAndRemovable) {
  EXPECT_EQ(listPhysicalDrives(system), (std::vector<std::string>{"mmcblk0", "nvme0n1", "sda", "sdb"}));
  std::uint8_t fixed = 9, removable = 9;
  EXPECT_EQ(EnumerateDrives(fixed, removable, system), 1u);
  EXPECT_EQ(fixed, 2);
  EXPECT_EQ(removable, 1);
  EXPECT_EQ(g_abFixedDrive[1], 1);
  EXPECT_EQ(g_abFixedDrive[2], 1);
  EXPECT_EQ(g_abRemovableDrive[3], 1);
  EXPECT_EQ(g_abFixedDrive[0] + g_abRemovableDrive[0], 0);  // mmcblk0 did not answer
  EXPECT_EQ(g_abFixedDrive[3] + g_abRemovableDrive[2], 0);
}

TEST_F(FakeSysfs, SizesAndHandlesByDriveNumber) {
  std::uint64_t size = 7;
  GetDriveSizeBytes(size, 128 + 2, system);
  EXPECT_EQ(size, 2097152u);
  GetDriveSizeBytes(size, 128 + 9, system);
  EXPECT_EQ(size, 0u);
  GetDriveSizeBytes(size, 2, system);  // a drive letter
  EXPECT_EQ(size, 0u);
  auto handle = OpenDriveHandle(128 + 3, system);
  ASSERT_TRUE(handle);
  std::array<std::uint8_t, 10> bytes{};
  handle->readAt(0, bytes);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "device sdb");
  EXPECT_FALSE(OpenDriveHandle(2, system));
  EXPECT_FALSE(OpenDriveHandle(255, system));
}

TEST(Drives, NoSysfsMeansNoDrives) {
  DriveSystem none{"/nonexistent/sys/block", "/nonexistent/dev"};
  std::uint8_t fixed = 1, removable = 1;
  EXPECT_EQ(EnumerateDrives(fixed, removable, none), 0u);
  EXPECT_EQ(fixed + removable, 0);
}

}  // namespace
}  // namespace qelda::volume
