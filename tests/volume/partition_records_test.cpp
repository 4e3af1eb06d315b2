// The source-list records' stored form, the FAT boot-sector test and the MBR table reader.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "fs/partition_boot.h"
#include "support/boot_sectors.h"
#include "volume/partition_mbr.h"
#include "volume/volume_records.h"

namespace qelda::volume {
namespace {

using platform::ByteView;

std::uint64_t le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

TEST(SourceRecords, VolumeRecordRoundTripsAndKeepsItsOffsets) {
  VOLUME_RECORD r;
  r.firstByte = 0x5A;
  r.m_szName = u"VMDK-Vol 3";
  r.m_szLabel = u"VirtualVol";
  r.m_szDriveType = u"FIXED";
  r.m_nSizeBytes = 0x0102030405060708ull;
  r.m_szFileSystem = u"exFAT";
  r.m_byDrive = 0xFF;
  r.m_nStartSector = 0x1122334455667788ull;
  r.m_nSectorCount = 16384;
  r.m_nLastSector = 0x1122334455667788ull + 16384;
  r.m_byFileSystem = kFsExFat;
  r.m_nFatSectors = 16;
  r.m_nReservedSectors = 2048;
  r.m_wRootDirSectors = 0x3344;
  r.m_bySectorsPerCluster = 8;
  r.m_nRootCluster = 5;
  r.clusterArray = {7, 9, 11};
  r.m_nMftSector = 0xAABBCCDD00112233ull;
  r.m_nMftMirrSector = 0x0000000700001BFEull;
  r.m_wNtfsSectorsPerCluster = 0x0102;
  r.m_szSizeText = u"8.00 MB";

  const auto bytes = r.encode();
  ASSERT_EQ(bytes.size(), 407u);
  EXPECT_EQ(bytes[0], 0x5A);
  EXPECT_EQ(bytes[1], 'V');
  EXPECT_EQ(bytes[65], 'V');
  EXPECT_EQ(bytes[131], 'F');
  EXPECT_EQ(le(&bytes[203], 8), r.m_nSizeBytes);
  EXPECT_EQ(bytes[211], 'e');
  EXPECT_EQ(bytes[276], 0xFF);
  EXPECT_EQ(le(&bytes[277], 8), r.m_nStartSector);
  EXPECT_EQ(le(&bytes[285], 8), 16384u);
  EXPECT_EQ(le(&bytes[293], 8), r.m_nLastSector);
  EXPECT_EQ(bytes[301], kFsExFat);
  EXPECT_EQ(le(&bytes[302], 4), 16u);
  EXPECT_EQ(le(&bytes[306], 4), 2048u);
  EXPECT_EQ(le(&bytes[310], 2), 0x3344u);
  EXPECT_EQ(bytes[312], 8);
  EXPECT_EQ(le(&bytes[313], 4), 5u);
  EXPECT_EQ(le(&bytes[317], 4), 0u) << "the cluster array's pointer slot is written as zero";
  EXPECT_EQ(le(&bytes[321], 4), 3u);
  EXPECT_EQ(le(&bytes[325], 8), r.m_nMftSector);
  EXPECT_EQ(le(&bytes[333], 8), r.m_nMftMirrSector);
  EXPECT_EQ(le(&bytes[341], 2), 0x0102u);
  EXPECT_EQ(bytes[343], '8');

  // Decoding keeps every stored field (written again, they give the same bytes) but the
  // cluster array, whose pointer is not stored.
  const auto back = VOLUME_RECORD::decode(ByteView(bytes));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->clusterArray.empty());
  VOLUME_RECORD withoutClusters = r;
  withoutClusters.clusterArray.clear();
  EXPECT_EQ(back->encode(), withoutClusters.encode());
}

TEST(SourceRecords, TextsAreCutToTheirFieldsAndStayTerminated) {
  VOLUME_RECORD r;
  r.m_szName = std::u16string(100, u'n');        // 64-byte field: 31 characters and NUL
  r.m_szFileSystem = std::u16string(100, u'f');  // 65-byte field: 31 characters and NUL
  const auto bytes = r.encode();
  EXPECT_EQ(bytes[1 + 62], 0);
  EXPECT_EQ(bytes[211 + 62], 0);
  EXPECT_EQ(bytes[211 + 64], 0);
  const auto back = VOLUME_RECORD::decode(ByteView(bytes));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->m_szName, std::u16string(31, u'n'));
  EXPECT_EQ(back->m_szFileSystem, std::u16string(31, u'f'));
  EXPECT_EQ(back->m_szLabel, u"") << "a neighbouring field is not overwritten";
}

TEST(SourceRecords, DeviceEntryAndDriveRecordRoundTripWithPointerSlotsZero) {
  DEVICE_ENTRY e;
  DEVICE_ENTRY other;
  e.m_pNext = &other;
  e.m_wIndex = 0x1234;
  e.m_byRowState = 0x10;
  e.m_byKind = 11;
  e.m_szName = u"/images/disk \u00e9.vdi";
  e.m_pDetail.makeVolume().m_nStartSector = 99;
  const auto bytes = e.encode();
  ASSERT_EQ(bytes.size(), 532u);
  EXPECT_EQ(le(&bytes[0], 4), 0u);
  EXPECT_EQ(le(&bytes[4], 2), 0x1234u);
  EXPECT_EQ(bytes[6], 0x10);
  EXPECT_EQ(bytes[7], 11);
  EXPECT_EQ(bytes[8], '/');
  EXPECT_EQ(le(&bytes[528], 4), 0u);
  const auto back = DEVICE_ENTRY::decode(ByteView(bytes));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->encode(), bytes);
  EXPECT_EQ(back->m_pNext, nullptr);
  EXPECT_EQ(back->m_pDetail.volume(), nullptr);
  EXPECT_EQ(back->m_pDetail.drive(), nullptr);

  DRIVE_RECORD d;
  d.m_byDrive = 0x81;
  d.m_nSizeSectors = 0x00000001FFFFFFFFull;
  d.m_szSizeText = u"1024.00 GB";
  const auto driveBytes = d.encode();
  ASSERT_EQ(driveBytes.size(), 287u);
  EXPECT_EQ(driveBytes[0], 0x81);
  EXPECT_EQ(le(&driveBytes[1], 8), d.m_nSizeSectors);
  EXPECT_EQ(driveBytes[9], '1');
  EXPECT_EQ(le(&driveBytes[283], 4), 0u);
  const auto driveBack = DRIVE_RECORD::decode(ByteView(driveBytes));
  ASSERT_TRUE(driveBack);
  EXPECT_EQ(driveBack->encode(), driveBytes);
  EXPECT_EQ(driveBack->m_pIdentity, nullptr);

  const std::vector<std::uint8_t> shortBytes(531);
  EXPECT_FALSE(DEVICE_ENTRY::decode(ByteView(shortBytes)));
  EXPECT_FALSE(DRIVE_RECORD::decode(ByteView(shortBytes.data(), 286)));
  EXPECT_FALSE(VOLUME_RECORD::decode(ByteView(shortBytes.data(), 406)));
}

// --- CheckFatBootSector ------------------------------------------------------------------------

struct FatFields {
  std::uint8_t spc = 4;
  std::uint16_t reserved = 1;
  std::uint16_t rootEntries = 512;
  std::uint16_t fat16 = 32;
  std::uint32_t fat32 = 0;
  std::uint32_t rootCluster = 0;
};

test::Sector fatBoot(const FatFields& f) {
  return test::fatBoot(f.spc, f.reserved, f.rootEntries, f.fat16, f.fat32, f.rootCluster);
}

TEST(CheckFatBootSector, TypesAndRejectsByTheBootSectorFields) {
  struct Case {
    const char* what;
    FatFields fields;
    std::uint32_t result;
    std::uint8_t type;
    std::uint32_t sectorsPerFat;
    std::uint32_t endOfChain;
  } cases[] = {
      {"8 per cluster, 1 reserved, 9 per FAT: FAT12", {8, 1, 512, 9, 0, 0}, 1, fs::kFatType12, 9, 0xFF8},
      {"12 per FAT is still FAT12", {4, 1, 512, 12, 0, 0}, 1, fs::kFatType12, 12, 0xFF8},
      {"13 per FAT: FAT16", {4, 1, 512, 13, 0, 0}, 1, fs::kFatType16, 13, 0xFFF8},
      {"FAT16 with 64 reserved sectors stays FAT16", {4, 64, 512, 24, 0, 0}, 1, fs::kFatType16, 24, 0xFFF8},
      {"32 reserved, 1000 per FAT, root cluster 2: FAT32", {8, 32, 0, 0, 1000, 2}, 1, fs::kFatType32, 1000, 0x0FFFFFF8},
      {"3 per cluster is rejected", {3, 1, 512, 9, 0, 0}, 0, fs::kFatType16, 0, 0},
      {"0 per cluster is rejected", {0, 1, 512, 9, 0, 0}, 0, fs::kFatType16, 0, 0},
      {"FAT16 with 266 per FAT is rejected", {4, 1, 512, 266, 0, 0}, 0, fs::kFatType16, 266, 0xFFF8},
      {"FAT32 with 266 per FAT is rejected", {8, 32, 0, 0, 266, 2}, 0, fs::kFatType32, 266, 0x0FFFFFF8},
      {"FAT32 with root cluster 1 is rejected", {8, 32, 0, 0, 1000, 1}, 0, fs::kFatType32, 1000, 0x0FFFFFF8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto sector = fatBoot(c.fields);
    fs::FAT_BOOT_INFO info;
    info.m_nRootCluster = 0xDEAD;  // whatever was there before is not kept
    EXPECT_EQ(fs::CheckFatBootSector(info, ByteView(sector)), c.result);
    EXPECT_EQ(info.m_byFatType, c.type);
    EXPECT_EQ(info.m_nSectorsPerFat, c.sectorsPerFat);
    EXPECT_EQ(info.m_nEndOfChain, c.endOfChain);
    if (c.fields.spc == 3 || c.fields.spc == 0) {
      EXPECT_EQ(info.m_nRootCluster, 0u);
    }
  }
}

TEST(CheckFatBootSector, FillsTheGeometry) {
  fs::FAT_BOOT_INFO info;
  ASSERT_EQ(fs::CheckFatBootSector(info, ByteView(fatBoot({16, 64, 512, 24, 0, 0}))), 1u);
  EXPECT_EQ(info.m_bySectorsPerCluster, 16);
  EXPECT_EQ(info.m_nReservedSectors, 64);
  EXPECT_EQ(info.m_wRootDirSectors, 32) << "512 entries of 32 bytes";
  EXPECT_EQ(info.m_byMedia, 0xF8);
  EXPECT_EQ(info.m_nRootCluster, 0u);

  ASSERT_EQ(fs::CheckFatBootSector(info, ByteView(fatBoot({1, 32, 0, 0, 570, 2}))), 1u);
  EXPECT_EQ(info.m_wRootDirSectors, 0);
  EXPECT_EQ(info.m_nRootCluster, 2u);

  // Counts of 32768 and above stay counts.
  ASSERT_EQ(fs::CheckFatBootSector(info, ByteView(fatBoot({4, 40000, 40000, 100, 0, 0}))), 1u);
  EXPECT_EQ(info.m_nReservedSectors, 40000);
  EXPECT_EQ(info.m_wRootDirSectors, 2500);

  const std::array<std::uint8_t, 10> truncated{};
  EXPECT_EQ(fs::CheckFatBootSector(info, ByteView(truncated)), 0u);
}

TEST(VolumeTypeFromBootSector, DecidesByOemNameOrByTheFatTest) {
  auto ntfs = fatBoot({});
  std::memcpy(&ntfs[3], "NTFS    ", 8);
  auto exfat = fatBoot({});
  std::memcpy(&exfat[3], "EXFAT   ", 8);
  auto msdosFat16 = fatBoot({4, 4, 512, 200, 0, 0});
  std::memcpy(&msdosFat16[3], "MSDOS5.0", 8);
  auto noEndMark = fatBoot({});
  noEndMark[511] = 0;
  std::array<std::uint8_t, 512> zeros{};
  struct Case {
    const char* what;
    std::array<std::uint8_t, 512> sector;
    std::optional<std::uint32_t> type;
  } cases[] = {
      {"NTFS", ntfs, fs::kTypeNtfsOrExFat},
      {"exFAT", exfat, fs::kTypeNtfsOrExFat},
      {"mkfs.fat FAT12", fatBoot({4, 1, 512, 6, 0, 0}), fs::kTypeFat12},
      {"MSDOS5.0 on a FAT16", msdosFat16, fs::kTypeFat16},
      {"FAT32", fatBoot({1, 32, 0, 0, 570, 2}), fs::kTypeFat32},
      {"FAT fields without the end mark", noEndMark, std::nullopt},
      {"zeros", zeros, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(fs::volumeTypeFromBootSector(ByteView(c.sector)), c.type);
  }
}

// --- MBR tables -------------------------------------------------------------------------------

TEST(MbrTable, ReadsFourEntriesOnlyUnderTheSignature) {
  std::array<std::uint8_t, 512> s{};
  const std::uint8_t entry[16] = {0x80, 0, 0, 0, 0x07, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0xA0, 0, 0};
  std::memcpy(&s[446 + 16], entry, 16);
  s[494 + 4] = 0x05;
  s[494 + 8] = 0x10;
  s[494 + 11] = 0x80;  // first sector 0x80000010: all 32 bits
  EXPECT_FALSE(parseMbrTable(ByteView(s)));
  s[510] = 0x55;
  s[511] = 0xAA;
  const auto t = parseMbrTable(ByteView(s));
  ASSERT_TRUE(t);
  EXPECT_EQ((*t)[0].type, 0);
  EXPECT_EQ((*t)[1].type, 0x07);
  EXPECT_EQ((*t)[1].firstSector, 2048u);
  EXPECT_EQ((*t)[1].sectorCount, 40960u);
  EXPECT_EQ((*t)[1].raw[0], 0x80);
  EXPECT_EQ((*t)[3].firstSector, 0x80000010u);
  EXPECT_FALSE(parseMbrTable(ByteView(s.data(), 300)));
}

}  // namespace
}  // namespace qelda::volume
