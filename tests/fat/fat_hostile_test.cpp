// Disks made to attack the FAT engine's limits: a boot sector claiming a FAT far larger than
// the disk inside a partition that claims more than the disk holds, and a short name whose
// first byte is the stored form of 0xE5.
#include <gtest/gtest.h>

#include <cstring>

#include "fat/fat_test_support.h"
#include "fs/fat_layout.h"
#include "support/missing_images.h"
#include "volume/volume_records.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace qelda::fat::test {

namespace boot = fs::fat::boot;
namespace {

using platform::putLe16;
using platform::putLe32;

constexpr std::uint64_t kDiskSectors = 131072;  // 64 MiB
constexpr std::uint64_t kVolumeStart = 2048;
constexpr std::uint32_t kHugeFat = 0x1FFFFF;  // sectors per FAT: the most a FAT32 may claim

// A 64 MiB disk whose one MBR partition claims 2 TiB and holds a FAT32 boot sector with a
// FAT of 0x1FFFFF sectors (1 GiB per copy), FAT1 signed.
class HugeFatDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.truncate("disk.flat", kDiskSectors * 512);
    std::array<std::uint8_t, 512> mbr{};
    mbr[446 + 4] = 0x0C;
    putLe32(&mbr[446 + 8], std::uint32_t(kVolumeStart));
    putLe32(&mbr[446 + 12], 0xFFFFFFFF);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    dir_.put("disk.flat", 0, mbr);
    std::array<std::uint8_t, 512> boot{};
    boot[0] = 0xEB;
    std::memcpy(&boot[3], "mkfs.fat", 8);
    putLe16(&boot[boot::kBytesPerSector], 512);
    boot[boot::kSectorsPerCluster] = 8;
    putLe16(&boot[boot::kReservedSectors], 32);
    boot[boot::kFatCount] = 2;
    boot[boot::kMedia] = 0xF8;
    putLe32(&boot[boot::kTotalSectors32], 0xFFFFFFFF);
    putLe32(&boot[boot::kSectorsPerFat32], kHugeFat);
    putLe32(&boot[boot::kRootCluster], 2);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    dir_.put("disk.flat", kVolumeStart, boot);
    std::array<std::uint8_t, 512> fat{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 0xF8, 0xFF, 0xFF, 0x0F};
    dir_.put("disk.flat", kVolumeStart + 32, fat);
    const std::string descriptor =
        dir_.putText("disk.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " +
                                      std::to_string(kDiskSectors) + " FLAT \"disk.flat\" 0\n");
    app::CDataRecovery(app_, notifier_).OnBnClickedMountVirtualDisk(app::kImageVmdk, descriptor);
    for (volume::DEVICE_ENTRY* e = app_.m_pSourceList; e; e = e->m_pNext)
      if (e->m_pDetail.volume() && e->m_pDetail.volume()->m_nStartSector == kVolumeStart) app_.m_pSelectedSource = e;
  }
  std::unique_ptr<CFatEngine> engine() {
    auto e = std::make_unique<CFatEngine>(app_, engine::EngineSinks{.console = &sink_, .log = &log_, .notifier = &notifier_});
    e->Initialize(0);
    return e;
  }

  qelda::test::ImageDir dir_;
  app::CQELDAApp app_;
  qelda::test::RecordingNotifier notifier_;
  RecordingLog log_;
  RecordingSink sink_;
};

TEST_F(HugeFatDisk, TheVolumeIsReadOnlyAsFarAsTheDiskGoes) {
  ASSERT_NE(app_.m_pSelectedSource, nullptr);
  auto e = engine();
  EXPECT_EQ(EngineProbe::m_nTotalSectors(*e), kDiskSectors - kVolumeStart);
}

TEST_F(HugeFatDisk, TheFatLoadedIsBoundedByTheVolume) {
  ASSERT_NE(app_.m_pSelectedSource, nullptr);
  auto e = engine();
  std::array<std::uint8_t, 512> bootBytes{};
  ASSERT_TRUE(image::ReadSourceSectors(app_, bootBytes.data(), kVolumeStart, 512));
  const auto params = fs::fat::parseFatBootSector(platform::ByteView(bootBytes));
  ASSERT_TRUE(params);
  EngineProbe::FatCopyBootParams(*e, *params);
  EngineProbe::FatVerifyFats(*e);
  // FAT2 lies wholly past the disk, so only FAT1 is signed and loaded: what of it the volume holds.
  EXPECT_EQ(e->linkingMode(), fs::fat::kLinkFat1);
  EXPECT_EQ(EngineProbe::m_pFat(*e).size(), (kDiskSectors - kVolumeStart - 32) * 512);
  EXPECT_EQ(EngineProbe::m_pFat(*e)[8], 0xF8);
  // The cluster map follows the FAT as loaded, not the size the boot sector claims.
  EngineProbe::m_nMaxCluster(*e) = kHugeFat * 128;
  ASSERT_NE(EngineProbe::FatMarkUsedClusters(*e), nullptr);
  EXPECT_EQ(EngineProbe::m_nClusterMapSize(*e), EngineProbe::m_pFat(*e).size() / 4 + 1);
  EXPECT_EQ(EngineProbe::m_pClusterMap(*e)[2], 1);
}

TEST_F(HugeFatDisk, TheScanRefusesTheFatSizeAndEnds) {
  ASSERT_NE(app_.m_pSelectedSource, nullptr);
  auto e = engine();
  e->ScanVolume(0);
  ASSERT_EQ(notifier_.shown.size(), 1u);
  EXPECT_EQ(platform::toUtf8(notifier_.shown[0]),
            "Not a valid volume, or critical data structure of volume badly corrupt.");
  EXPECT_TRUE(EngineProbe::m_pFat(*e).empty());
  EXPECT_TRUE(sink_.items.empty());
}

// A live short name whose first character is 0xE5 in the code page is stored with 0x05.
// (mcopy wrote readme.txt with the lower-case flags: the rest of the name is shown so.)
TEST(FatHostileNames, StoredFirstByte05IsReadAs0xE5AndNotAsDeleted) {
  const std::string dir = fatImages();
  if (dir.empty()) QELDA_SKIP_WITHOUT_IMAGES();
  MountedVolume vol(dir + "/fat16_s1.img", true);
  const auto bytes = readFile(dir + "/fat16_s1.img");
  const auto params = fs::fat::parseFatBootSector(platform::ByteView(bytes.data(), 512));
  ASSERT_TRUE(params);
  const std::uint64_t root = fs::fat::systemSectors(params->reservedSectors, params->sectorsPerFat, 0) * 512;
  std::uint64_t at = 0;
  for (std::uint64_t o = root; o < root + params->rootDirSectors * 512ull; o += 32)
    if (std::memcmp(&bytes[o], "README  TXT", 11) == 0) at = o;
  ASSERT_NE(at, 0u);
  const std::uint8_t stored = fs::fat::dirent::kStoredE5;
  vol.patch(at, {&stored, 1});
  for (const std::uint32_t deleted : {0u, 1u}) {
    SCOPED_TRACE(deleted);
    auto e = vol.engine();
    e->ScanVolume(deleted);
    std::size_t named = 0;
    for (const auto& entry : vol.sink_.items) {
      EXPECT_NE(entry.name, u"Xeadme.txt");
      if (entry.name == u"\u03C3eadme.txt") {
        ++named;
        EXPECT_FALSE(entry.item.m_byFlags & kItemDeleted);
      }
    }
    EXPECT_EQ(named, deleted ? 0u : 1u);  // a live file: listed by the quick scan only
  }
}

}  // namespace
}  // namespace qelda::fat::test
