// Boot sectors of uncommon geometry: one FAT copy, and sectors larger than 512 bytes, whose
// counts every reader takes in 512-byte sectors.
#include <gtest/gtest.h>

#include <vector>

#include "fs/fat_boot.h"
#include "fs/fat_layout.h"
#include "fs/partition_boot.h"
#include "platform/byte_view.h"

namespace qelda::fs::fat {
namespace {

using platform::ByteView;
using platform::putLe16;

// A FAT16 boot sector as mkfs.fat writes one for 63 MiB with -S 1024: 64512 sectors of
// 1024 bytes, 4 to a cluster, 4 reserved, two FATs of 64 sectors, 512 root entries.
std::vector<std::uint8_t> kibiSectorFat16() {
  std::vector<std::uint8_t> s(512);
  putLe16(&s[boot::kBytesPerSector], 1024);
  s[boot::kSectorsPerCluster] = 4;
  putLe16(&s[boot::kReservedSectors], 4);
  s[boot::kFatCount] = 2;
  putLe16(&s[boot::kRootEntries], 512);
  putLe16(&s[boot::kTotalSectors16], 64512);
  s[boot::kMedia] = 0xF8;
  putLe16(&s[boot::kSectorsPerFat16], 64);
  return s;
}

TEST(FatBootGeometry, LargerSectorsAreCountedIn512ByteSectors) {
  const auto p = parseFatBootSector(ByteView(kibiSectorFat16()));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->fatType, kFat16);
  EXPECT_EQ(p->sectorsPerCluster, 8);
  EXPECT_EQ(p->reservedSectors, 8u);
  EXPECT_EQ(p->sectorsPerFat, 128u);
  EXPECT_EQ(p->rootDirSectors, 32);
  // The data area where the volume has it: sector 148 of 1024 bytes.
  EXPECT_EQ(systemSectors(p->reservedSectors, p->sectorsPerFat, p->rootDirSectors, p->fatCount), 296u);

  // The volume list and the lost-volume search read the same geometry.
  FAT_BOOT_INFO info;
  ASSERT_EQ(CheckFatBootSector(info, ByteView(kibiSectorFat16())), 1u);
  EXPECT_EQ(info.m_bySectorsPerCluster, 8);
  EXPECT_EQ(info.m_nReservedSectors, 8);
  EXPECT_EQ(info.m_nSectorsPerFat, 128u);
  EXPECT_EQ(info.m_wRootDirSectors, 32);

  // A sector size no formatter writes is read as 512 bytes, as it always was.
  for (const std::uint16_t odd : {0, 512, 1000, 3}) {
    auto s = kibiSectorFat16();
    putLe16(&s[boot::kBytesPerSector], odd);
    const auto q = parseFatBootSector(ByteView(s));
    ASSERT_TRUE(q);
    EXPECT_EQ(q->sectorsPerCluster, 4);
    EXPECT_EQ(q->sectorsPerFat, 64u);
    EXPECT_EQ(q->rootDirSectors, 32);
  }
}

TEST(FatBootGeometry, ClustersPast64KiBAreRefusedForTheirSectorSize) {
  auto s = kibiSectorFat16();
  putLe16(&s[boot::kBytesPerSector], 4096);
  s[boot::kSectorsPerCluster] = 32;  // 128 KiB
  const FatBpb b = readFatBpb(ByteView(s));
  EXPECT_TRUE(b.clustersTooLarge());
  EXPECT_EQ(parseFatBootSector(ByteView(s)).error(), platform::ParseError::NotThisFormat);
  FAT_BOOT_INFO info;
  EXPECT_EQ(CheckFatBootSector(info, ByteView(s)), 0u);

  s[boot::kSectorsPerCluster] = 16;  // 64 KiB: read
  putLe16(&s[boot::kSectorsPerFat16], 16);
  EXPECT_FALSE(readFatBpb(ByteView(s)).clustersTooLarge());
  EXPECT_EQ(parseFatBootSector(ByteView(s))->sectorsPerCluster, 128);
  // A cluster size that is no power of two is no FAT volume, whatever the sector size.
  s[boot::kSectorsPerCluster] = 3;
  EXPECT_FALSE(readFatBpb(ByteView(s)).clustersTooLarge());
}

TEST(FatBootGeometry, TheDataAreaFollowsTheCopiesTheBootSectorGives) {
  auto s = kibiSectorFat16();
  putLe16(&s[boot::kBytesPerSector], 512);
  s[boot::kFatCount] = 1;
  auto p = parseFatBootSector(ByteView(s));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->fatCount, 1);
  EXPECT_EQ(systemSectors(p->reservedSectors, p->sectorsPerFat, p->rootDirSectors, p->fatCount), 4u + 64 + 32);
  // Any count but one is read as the usual two.
  for (const std::uint8_t copies : {0, 2, 3, 255}) {
    s[boot::kFatCount] = copies;
    p = parseFatBootSector(ByteView(s));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->fatCount, 2);
  }
}

}  // namespace
}  // namespace qelda::fs::fat
