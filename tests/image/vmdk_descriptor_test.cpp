#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "image/virtual_disk.h"
#include "support/image_dir.h"
#include "support/mounted_image.h"
#include "support/patterns.h"
#include "support/recording_notifier.h"

namespace qelda::image {
namespace {

using test::ImageDir;
using test::taggedSectors;

std::vector<DISK_DESCRIPTOR_EXTENT> parse(std::string_view text, std::u16string* createType = nullptr) {
  std::u16string type;
  std::vector<DISK_DESCRIPTOR_EXTENT> extents;
  CVirtualDisk::parseDescriptorText(text, type, extents);
  if (createType) *createType = type;
  return extents;
}

// Descriptors as tools write them (LF, CRLF) are read end to end by check_image_reads.sh;
// here, the spacing no tool writes but a hand edit leaves.
TEST(VmdkDescriptorText, ReadsExtentLinesWhateverTheirSpacing) {
  std::u16string type;
  const auto extents = parse("createType=\"twoGbMaxExtentFlat\"\r\nRW\t4192256   FLAT\t\"My VM-f001.vmdk\"\t0\r\n"
                             "RDONLY  100 SPARSE  \"disk-s002.vmdk\"\nRW 2048 FLAT \"My Disk-flat.vmdk\" 63",
                             &type);
  EXPECT_EQ(type, u"twoGbMaxExtentFlat");
  ASSERT_EQ(extents.size(), 3u);
  EXPECT_EQ(extents[0].m_nSectors, 4192256u);
  EXPECT_EQ(extents[0].m_szType, u"FLAT");
  EXPECT_EQ(extents[0].m_szFileName, u"My VM-f001.vmdk");
  EXPECT_EQ(extents[1].m_nSectors, 100u);
  EXPECT_EQ(extents[1].m_szType, u"SPARSE");
  EXPECT_EQ(extents[1].m_szFileName, u"disk-s002.vmdk");
  EXPECT_EQ(extents[2].fileNameBytes, "My Disk-flat.vmdk");
  EXPECT_EQ(extents[2].flatStartSector, 63u);
}

TEST(VmdkDescriptorText, HostileLinesEndCleanly) {
  EXPECT_TRUE(parse("# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\n").empty());
  const auto bad = parse("RW -5 FLAT \"a.vmdk\"\nRW 99999999999999999999999 FLAT \"b.vmdk\"\nRW x\nRW\n"
                         "RW 10 FLAT \"unterminated name\n");
  ASSERT_EQ(bad.size(), 5u);
  EXPECT_EQ(bad[0].m_nSectors, 0u);
  EXPECT_EQ(bad[1].m_nSectors, 0u);
  EXPECT_EQ(bad[4].fileNameBytes, "unterminated name");
  const std::string longName = "RW 1 FLAT \"" + std::string(600, 'n') + "\"";
  EXPECT_EQ(parse(longName)[0].m_szFileName.size(), 259u);
}

TEST(VmdkDescriptorText, RecordRoundTripsThroughItsStoredBytes) {
  DISK_DESCRIPTOR_EXTENT e;
  e.m_nSectors = 0x0102030405060708ull;
  e.m_szType = u"SPARSE";
  e.m_szFileName = u"disk-s001.vmdk (Missing)";
  const auto bytes = e.encode();
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[8], 'S');
  EXPECT_EQ(bytes[8 + 520], 'd');
  const auto back = DISK_DESCRIPTOR_EXTENT::decode(bytes.data());
  EXPECT_EQ(back.m_nSectors, e.m_nSectors);
  EXPECT_EQ(back.m_szType, e.m_szType);
  EXPECT_EQ(back.m_szFileName, e.m_szFileName);
}

// A split flat image of three files of unequal sizes (the last one short, as a real
// split image's last extent is), described by a CRLF descriptor with spaces in names.
class SplitFlatImage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.put("a disk-f001.vmdk", 0, taggedSectors(1, 0, 100));
    dir.put("a disk-f002.vmdk", 0, taggedSectors(2, 0, 50));
    dir.put("a disk-f003.vmdk", 0, taggedSectors(3, 0, 30));
    descriptor = dir.putText("a disk.vmdk",
                             "# Disk DescriptorFile\r\nversion=1\r\ncreateType=\"twoGbMaxExtentFlat\"\r\n\r\n"
                             "# Extent description\r\nRW 100 FLAT \"a disk-f001.vmdk\" 0\r\n"
                             "RW 50 FLAT \"a disk-f002.vmdk\" 0\r\nRW 30 FLAT \"a disk-f003.vmdk\" 0\r\n");
  }
  app::MountOutcome mount() { return test::mountImage(app, descriptor).outcome; }
  std::vector<std::uint8_t> expectedDisk() const {
    std::vector<std::uint8_t> all = taggedSectors(1, 0, 100);
    const auto b = taggedSectors(2, 0, 50);
    const auto c = taggedSectors(3, 0, 30);
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    return all;
  }
  ImageDir dir;
  std::string descriptor;
  app::CQELDAApp app;
};

// Whole-disk reads of split images are held against qemu-img by check_image_reads.sh; its
// reads never straddle an extent, stop inside a sector or pass the end, as these do.
TEST_F(SplitFlatImage, ReadsAcrossExtentsInPartialSectorsAndPastTheEnd) {
  ASSERT_EQ(mount(), app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_nDiskSectors, 180u);
  const auto expected = expectedDisk();
  std::vector<std::uint8_t> got(4 * 512);
  for (std::uint64_t s : {98u, 99u, 148u, 149u}) {  // across the end of the first and second extent
    SCOPED_TRACE(s);
    std::fill(got.begin(), got.end(), 0xEE);
    EXPECT_EQ(ReadSourceSectors(app, got.data(), s, 3 * 512 + 100), 1u);
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data() + s * 512, 3 * 512 + 100));
    EXPECT_EQ(got[3 * 512 + 100], 0xEE);  // nothing written past the request
  }
  EXPECT_EQ(ReadSourceSectors(app, got.data(), 5, 0), 0u);

  std::fill(got.begin(), got.end(), 0xEE);
  ReadReport report;
  EXPECT_EQ(ReadSourceSectors(app, got.data(), 178, std::uint32_t(got.size()), &report), 0u);
  EXPECT_EQ(report.failedSectors, 2u);
  EXPECT_EQ(0, std::memcmp(got.data(), expected.data() + 178 * 512, 1024));
  EXPECT_TRUE(std::all_of(got.begin() + 1024, got.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(ReadSourceSectors(app, got.data(), UINT64_MAX, 1024), 0u);  // sector numbers that wrap
}

TEST_F(SplitFlatImage, MissingExtentIsMarkedAndReadsAsZeros) {
  std::filesystem::remove(dir.file("a disk-f002.vmdk"));
  ASSERT_EQ(mount(), app::MountOutcome::Mounted);
  app.g_VirtualDisk.CheckExtentFiles(descriptor);
  app.g_VirtualDisk.CheckExtentFiles(descriptor);  // marking twice adds nothing
  EXPECT_EQ(app.m_arrExtents[1].m_szFileName, u"a disk-f002.vmdk (Missing)");
  EXPECT_EQ(app.m_arrExtents[0].m_szFileName, u"a disk-f001.vmdk");
  std::vector<std::uint8_t> got(512, 0xEE);
  EXPECT_EQ(ReadSourceSectors(app, got.data(), 120, 512), 0u);
  EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](std::uint8_t b) { return b == 0; }));
  // The extent after it still reads: its data is found by the running sum of sizes.
  EXPECT_EQ(ReadSourceSectors(app, got.data(), 150, 512), 1u);
  EXPECT_EQ(0, std::memcmp(got.data(), taggedSectors(3, 0, 1).data(), 512));
}

TEST(VmdkMount, DescriptorWithoutExtentsOrUnreadableIsRefusedWith592) {
  ImageDir dir;
  // A 3 MiB "descriptor": its extent line lies beyond the bound and is not seen.
  const std::string huge = "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\n" + std::string(3 << 20, '#') +
                           "\nRW 10 FLAT \"x.vmdk\" 0\n";
  const struct {
    const char* name;
    std::optional<std::string> text;  // nothing: no such file
  } cases[] = {
      {"none.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\n"},
      // A file with no descriptor goes to the layout guess; an empty one gives it nothing.
      {"empty.vmdk", ""},
      {"big.vmdk", huge},
      {"absent.vmdk", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.text) dir.putText(c.name, *c.text);
    app::CQELDAApp app;
    const test::Mounted m = test::mountImage(app, dir.file(c.name), app::kImageVmdk);
    EXPECT_EQ(m.outcome, app::MountOutcome::Invalid);
    EXPECT_EQ(m.shown, std::vector<std::u16string>{
                           u"Invalid or corrupted virtual machine image. Select a valid image to recover data."});
    const test::SectorRead r = test::readSectors(app, 0, 1);
    EXPECT_EQ(r.result, 0u);
    EXPECT_TRUE(test::allZero(r.bytes));
  }
}

TEST(VmdkMount, MonolithicFlatAppliesTheExtentStartOffset) {
  ImageDir dir;
  dir.put("m-flat.vmdk", 0, taggedSectors(7, 0, 20));
  const std::string d = dir.putText("m.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW 10 FLAT \"m-flat.vmdk\" 4\n");
  app::CQELDAApp app;
  ASSERT_EQ(test::mountImage(app, d).outcome, app::MountOutcome::Mounted);
  EXPECT_EQ(test::readSectors(app, 0, 1).bytes, taggedSectors(7, 4, 1));
}

}  // namespace
}  // namespace qelda::image
