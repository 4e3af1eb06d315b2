#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "engine/scan_image_header.h"
#include "engine/source_drive.h"
#include "support/fake_drives.h"
#include "support/recording_notifier.h"
#include "volume/volume_records.h"

namespace qelda::engine {
namespace {

using platform::ByteView;
namespace h = scan_header;

SCAN_IMAGE_HEADER ntfsHeader() {
  SCAN_IMAGE_HEADER r;
  r.m_byDrive = 0x81;
  r.m_byFsCode = volume::kFsNtfs;
  r.mftSector = 0x0102030405060708ull;
  r.mftMirrSector = 0x1112131415161718ull;
  r.mftRunCount = 3;
  r.mftRunListBytes = 42;
  r.runRecordCount = 5;
  r.firstRunRecord = 77;
  r.sectorsPerCluster = 8;
  r.imageFile = 1;
  r.startSector = 2048;
  r.lastSector = 2048 + 409600;
  r.sectorCount = 409600;
  r.engineTableBytes = 5 * 28;
  r.sourceEntryCount = 2;
  r.foundItemCount = 100000;
  r.m_szSourcePath = u"/images/disk-\u00e9t\u00e9.vmdk";
  r.m_szDriveModel = std::string(40, 'M');
  r.m_szDriveSerial = "S1234567890123456789";
  r.driveFirmware = "01.01A01";
  r.driveLength = 0x0FFFFFFF;
  r.m_bySourceKind = 1;
  r.noDriveSearch = 1;
  return r;
}

SCAN_IMAGE_HEADER fatHeader() {
  SCAN_IMAGE_HEADER r;
  r.m_nFatSectors = 200;
  r.rootCluster = 2;
  r.m_nClusterMapBytes = 50000;
  r.m_bFat = 4;
  r.m_byFsCode = volume::kFsFat32;
  r.m_byTableMode = 2;
  r.reservedSectors = 32;
  r.sectorsPerCluster = 4;
  r.absoluteSectors = 1;
  r.engineTableBytes = 200 * 512 + 50000;
  return r;
}

SCAN_IMAGE_HEADER exFatHeader() {
  SCAN_IMAGE_HEADER r;
  r.m_nFatSectors = 16;
  r.rootCluster = 5;
  r.m_nClusterMapBytes = 4096;
  r.m_byFsCode = volume::kFsExFat;
  r.reservedSectors = 2048;
  r.sectorsPerCluster = 8;
  r.exFatClusterCount = 4000;
  r.engineTableBytes = 16 * 512 + 4096;
  return r;
}

void expectSame(const SCAN_IMAGE_HEADER& a, const SCAN_IMAGE_HEADER& b) {
  EXPECT_EQ(a.encode(), b.encode());
  EXPECT_EQ(a.m_szSourcePath, b.m_szSourcePath);
  EXPECT_EQ(a.m_szDriveModel, b.m_szDriveModel);
  EXPECT_EQ(a.m_szDriveSerial, b.m_szDriveSerial);
  EXPECT_EQ(a.driveFirmware, b.driveFirmware);
}

TEST(ScanImageHeader, RoundTripsEachEngine) {
  for (const auto& header : {ntfsHeader(), fatHeader(), exFatHeader()}) {
    const auto bytes = header.encode();
    const auto back = SCAN_IMAGE_HEADER::decode(ByteView(bytes));
    ASSERT_TRUE(back) << back.cause();
    expectSame(*back, header);
  }
  EXPECT_EQ(savedEngineOf(ntfsHeader()), SavedEngine::Ntfs);
  EXPECT_EQ(savedEngineOf(fatHeader()), SavedEngine::Fat);
  EXPECT_EQ(savedEngineOf(exFatHeader()), SavedEngine::ExFat);
}

// The offsets the restores read must hold what the fields say, unaligned ones included.
TEST(ScanImageHeader, FieldsLandAtTheirOffsets) {
  const auto b = ntfsHeader().encode();
  const ByteView v(b);
  EXPECT_EQ(*v.u8(1), 0x81);
  EXPECT_EQ(*v.u8(17), volume::kFsNtfs);
  EXPECT_EQ(*v.le64(27), 0x0102030405060708ull);
  EXPECT_EQ(*v.le64(35), 0x1112131415161718ull);
  EXPECT_EQ(*v.le32(43), 3u);
  EXPECT_EQ(*v.le32(47), 42u);
  EXPECT_EQ(*v.le32(51), 5u);
  EXPECT_EQ(*v.le32(55), 77u);
  EXPECT_EQ(*v.le16(59), 8u);
  EXPECT_EQ(*v.u8(62), 1u);
  EXPECT_EQ(*v.le64(63), 2048u);
  EXPECT_EQ(*v.le64(71), 2048u + 409600u);
  EXPECT_EQ(*v.le64(79), 409600u);
  EXPECT_EQ(*v.le16(358), u'/');
  EXPECT_EQ(*v.le16(358 + 2 * 13), u'\u00e9');
  EXPECT_EQ(*v.u8(878), 'M');
  EXPECT_EQ(*v.u8(878 + 40), 0);  // terminator at the end of the model's width
  EXPECT_EQ(*v.u8(919), 'S');
  EXPECT_EQ(*v.u8(940), '0');
  EXPECT_EQ(*v.le32(949), 0x0FFFFFFFu);
  EXPECT_EQ(*v.u8(953), 1u);
  EXPECT_EQ(*v.u8(958), 1u);

  const auto f = fatHeader().encode();
  const ByteView w(f);
  EXPECT_EQ(*w.le32(3), 200u);
  EXPECT_EQ(*w.le32(7), 2u);
  EXPECT_EQ(*w.le32(11), 50000u);
  EXPECT_EQ(*w.u8(16), 4u);
  EXPECT_EQ(*w.u8(18), 2u);
  EXPECT_EQ(*w.le32(19), 32u);
  EXPECT_EQ(*w.u8(357), 1u);
  EXPECT_EQ(*ByteView(exFatHeader().encode()).le32(954), 4000u);
}

TEST(ScanImageHeader, RefusesEachBadField) {
  struct Case {
    const char* what;
    std::function<SCAN_IMAGE_HEADER()> base;
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
    std::size_t causeOffset;
  };
  const auto ntfs = [] { return ntfsHeader(); };
  const auto fat = [] { return fatHeader(); };
  const auto exfat = [] { return exFatHeader(); };
  const std::vector<Case> cases = {
      {"sectors per cluster 0", ntfs, h::kSectorsPerCluster, {0, 0}, h::kSectorsPerCluster},
      {"sectors per cluster 3", ntfs, h::kSectorsPerCluster, {3, 0}, h::kSectorsPerCluster},
      {"sectors per cluster 0x8001", ntfs, h::kSectorsPerCluster, {1, 0x80}, h::kSectorsPerCluster},
      {"FAT sectors per cluster 6", fat, h::kFat, {6}, h::kFat},
      {"file-system code 4", exfat, h::kFsCode, {4}, h::kFsCode},
      {"file-system code 0x86", ntfs, h::kFsCode, {0x86}, h::kFsCode},
      {"linking mode 3", fat, h::kTableMode, {3}, h::kTableMode},
      {"image-file flag 2", ntfs, h::kImageFile, {2}, h::kImageFile},
      {"absolute-sectors flag 0xFF", fat, h::kAbsoluteSectors, {0xFF}, h::kAbsoluteSectors},
      {"drive-search flag 7", ntfs, h::kNoDriveSearch, {7}, h::kNoDriveSearch},
      {"source kind 13", ntfs, h::kSourceKind, {13}, h::kSourceKind},
      {"FAT code without FAT sectors per cluster", fat, h::kFat, {0}, h::kFsCode},
      {"exFAT code with NTFS fields", exfat, h::kRunRecordCount, {1, 0, 0, 0}, h::kFsCode},
      {"NTFS fields with a FAT code", ntfs, h::kFsCode, {2}, h::kFsCode},
      {"run list not 14 bytes a run", ntfs, h::kMftRunListBytes, {43, 0, 0, 0}, h::kMftRunListBytes},
      {"run records beyond the tables", ntfs, h::kRunRecordCount, {6, 0, 0, 0}, h::kRunRecordCount},
      {"run-record count near 2^32", ntfs, h::kRunRecordCount, {0xFF, 0xFF, 0xFF, 0xFF}, h::kRunRecordCount},
      {"FAT beyond the tables", fat, h::kFatSectors, {0xFF, 0xFF, 0xFF, 0xFF}, h::kFatSectors},
      {"cluster map beyond the tables", exfat, h::kClusterMapBytes, {0x01, 0x10, 0, 0}, h::kFatSectors},
      {"volume passing the end of a disk", ntfs, h::kSectorCount, std::vector<std::uint8_t>(8, 0xFF), h::kStartSector},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = c.base().encode();
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + std::ptrdiff_t(c.offset));
    const auto r = SCAN_IMAGE_HEADER::decode(ByteView(bytes));
    ASSERT_FALSE(r);
    EXPECT_NE(r.cause().find("offset " + std::to_string(c.causeOffset) + ")"), std::string::npos) << r.cause();
  }
}

TEST(ScanImageHeader, RefusesTextsWithoutTerminator) {
  struct Case {
    std::size_t offset, bytes, unit;
  };
  for (const Case& c : {Case{h::kSourcePath, 520, 2}, Case{h::kDriveModel, 41, 1}, Case{h::kDriveSerial, 21, 1},
                        Case{h::kDriveFirmware, 9, 1}}) {
    SCOPED_TRACE(c.offset);
    auto bytes = ntfsHeader().encode();
    std::fill_n(bytes.begin() + std::ptrdiff_t(c.offset), c.bytes, 'A');
    const auto r = SCAN_IMAGE_HEADER::decode(ByteView(bytes));
    ASSERT_FALSE(r);
    EXPECT_NE(r.cause().find("terminator"), std::string::npos);
    EXPECT_NE(r.cause().find("offset " + std::to_string(c.offset) + ")"), std::string::npos);
    // One NUL in the field's last place is enough.
    std::fill_n(bytes.begin() + std::ptrdiff_t(c.offset + c.bytes - c.unit), c.unit, 0);
    EXPECT_TRUE(SCAN_IMAGE_HEADER::decode(ByteView(bytes)));
  }
  const auto b = ntfsHeader().encode();
  EXPECT_FALSE(SCAN_IMAGE_HEADER::decode(ByteView(b.data(), 1023)));
}

TEST(ScanImageHeader, NoDriveSearchForImagesAndFiles) {
  SCAN_IMAGE_HEADER r = ntfsHeader();
  r.noDriveSearch = 0;
  for (std::uint8_t kind = 0; kind <= 12; ++kind) {
    r.m_bySourceKind = kind;
    EXPECT_EQ(needsNoDriveSearch(r), kind >= 5 && kind <= 10) << int(kind);
  }
  r.m_bySourceKind = 0;
  r.noDriveSearch = 1;
  EXPECT_TRUE(needsNoDriveSearch(r));
}

// A fake drive tree: sda fixed (sysfs gives its texts), sdb removable of 4096 sectors. The
// saved scan named drive 0x89; which drive is it now?
TEST(SourceDrive, IsFoundByIdentityOrLengthAndOnlyForDrives) {
  const std::u16string notFound =
      u"Source hard drive not found.\nAttach source hard drive before loading scan information.";
  struct Case {
    const char* what;
    std::string model, serial, firmware;
    std::uint32_t length;
    std::uint8_t noDriveSearch;
    std::uint32_t found;
    std::uint8_t drive;
  } cases[] = {
      // Texts from sysfs give no IDENTIFY count: length 0.
      {"the fixed drive by its identity", "MODELX", "SER123", "FW1", 0, 0, 1, 0x80},
      {"the removable drive by its length", "", "", "", 4096, 0, 1, 0x81},
      {"no drive matches", "MODELX", "OTHER", "FW1", 0, 0, 0, 0x89},
      {"an image source never looks", "", "", "", 0, 1, 1, 0x89},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::FakeDrives drives;
    if (!c.noDriveSearch) {  // a search would find nothing and complain
      drives.add("sda", 0, 1000000,
                 {{"device/model", "MODELX  \n"}, {"device/serial", "SER123\n"}, {"device/rev", "FW1\n"}});
      drives.add("sdb", 1, 4096);
    }
    SCAN_IMAGE_HEADER r = ntfsHeader();
    r.m_bySourceKind = 0;
    r.m_byDrive = 0x89;
    r.m_szDriveModel = c.model;
    r.m_szDriveSerial = c.serial;
    r.driveFirmware = c.firmware;
    r.driveLength = c.length;
    r.noDriveSearch = c.noDriveSearch;
    test::RecordingNotifier notifier;
    EXPECT_EQ(locateSourceDrive(r, notifier, drives.system), c.found);
    EXPECT_EQ(r.m_byDrive, c.drive);
    EXPECT_EQ(notifier.shown, c.found ? std::vector<std::u16string>{} : std::vector<std::u16string>{notFound});
  }
}

}  // namespace
}  // namespace qelda::engine
