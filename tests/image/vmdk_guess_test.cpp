#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "image/virtual_disk.h"
#include "image/vmdk_layout.h"
#include "platform/byte_view.h"
#include "platform/text.h"
#include "support/image_dir.h"
#include "support/mounted_image.h"
#include "support/patterns.h"

namespace qelda::image {
namespace {

using test::ImageDir;
using test::taggedSectors;

constexpr std::uint64_t kTwoGiB = 0x80000000;
const std::u16string kCorrupt = u"Virtual machine image is corrupt. Use 'Raw Recovery' option to recover data.";

// Tagged sectors whose first sector carries a partition table's signature.
std::vector<std::uint8_t> bootable(std::uint32_t tag, std::uint64_t sectors) {
  auto bytes = taggedSectors(tag, 0, sectors);
  bytes[510] = 0x55;
  bytes[511] = 0xAA;
  return bytes;
}

using test::mountImage;
using test::readSectors;

// A split flat image without its descriptor, its middle file missing: files of 100, (100)
// and 30 sectors beside files that are no part of it. (Whichever extent file of a whole
// split image is picked, check_image_reads.sh reads the whole disk.)
TEST(VmdkGuess, SplitFlatMissingItsMiddleFileGetsABuiltNameItsSiblingsSizeAndZeros) {
  ImageDir dir;
  const auto first = bootable(1, 100), last = taggedSectors(3, 0, 30);
  dir.put("my-disk-f001.vmdk", 0, first);
  dir.put("my-disk-f003.vmdk", 0, last);
  for (const char* other : {"my-diskX-f001.vmdk", "my-disk-f01.vmdk" /* same base, shorter */,
                            "my-disk-s002.vmdk" /* the other kind */, "my-disk-fxyz.vmdk" /* not a number */,
                            "my-disk-f004.vmdx"})
    dir.put(other, 0, taggedSectors(9, 0, 4));
  app::CQELDAApp app;
  ASSERT_EQ(mountImage(app, dir.file("my-disk-f003.vmdk")).outcome, app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_strCreateType, u"twoGbMaxExtentFlat");
  ASSERT_EQ(app.m_arrExtents.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(app.m_arrExtents[i].fileNameBytes, "my-disk-f00" + std::to_string(i + 1) + ".vmdk");
  EXPECT_EQ(app.m_arrExtents[1].m_nSectors, 100u);
  EXPECT_EQ(app.m_arrExtents[2].m_nSectors, 30u);
  const test::SectorRead all = readSectors(app, 0, 230);
  EXPECT_EQ(all.failed, 100u);
  EXPECT_TRUE(test::allZero(std::span(all.bytes).subspan(100 * 512, 100 * 512)));
  EXPECT_EQ(0, std::memcmp(all.bytes.data(), first.data(), 100 * 512));
  EXPECT_EQ(0, std::memcmp(all.bytes.data() + 200 * 512, last.data(), 30 * 512));
  EXPECT_EQ(all.result, 1u);
}

TEST(VmdkGuess, NamesAreTakenFromTheFileNameNotTheFolder) {
  // A folder whose name has "-s" and "-flat" in it: the picked file's own name decides.
  ImageDir root;
  std::filesystem::create_directories(root.file("vm-store-flat.vmdk"));
  root.put("vm-store-flat.vmdk/disk.vmdk", 0, bootable(4, 16));
  app::CQELDAApp app;
  ASSERT_EQ(mountImage(app, root.file("vm-store-flat.vmdk/disk.vmdk")).outcome, app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_strCreateType, u"monolithicFlat");
  ASSERT_EQ(app.m_arrExtents.size(), 1u);
  EXPECT_EQ(app.m_arrExtents[0].m_szFileName, u"disk.vmdk");
  EXPECT_EQ(readSectors(app, 0, 16).bytes, bootable(4, 16));
}

TEST(VmdkGuess, SingleFileLayoutsBySizeNameAndFirstSectors) {
  struct Case {
    const char* what;
    std::string name;
    std::uint64_t size;  // bytes; the file is sparse past its first sectors
    bool boot;           // sector 0 ends in 55 AA
    bool sparseHeader;
    const char16_t* createType;
    std::uint64_t extentSectors;
    app::MountOutcome outcome;
    bool guessed;
    bool noLayout = false;  // refused as a disk without layout rather than a corrupt one
  };
  const Case cases[] = {
      {"flat extent of a monolithic flat image", "disk-flat.vmdk", 64 * 512, true, false, u"monolithicFlat", 64,
       app::MountOutcome::Mounted, false},
      {"3 GiB flat file with a partition table", "big.vmdk", 3 * (kTwoGiB / 2), true, false, u"monolithicFlat",
       3 * (kTwoGiB / 2) / 512, app::MountOutcome::Mounted, false},
      {"3 GiB sparse extent: its capacity", "big.vmdk", 3 * (kTwoGiB / 2), false, true, u"monolithicSparse", 4096,
       app::MountOutcome::Mounted, false},
      {"small sparse extent: its capacity", "disk.vmdk", 64 * 512, false, true, u"monolithicSparse", 4096,
       app::MountOutcome::Mounted, false},
      {"small flat file with a partition table", "disk.vmdk", 64 * 512, true, false, u"monolithicFlat", 64,
       app::MountOutcome::Mounted, false},
      {"'-foo' is not a split name", "disk-foo.vmdk", 64 * 512, true, false, u"monolithicFlat", 64,
       app::MountOutcome::Mounted, false},
      {"'-flat' part without a partition table", "disk-flat.vmdk", 64 * 512, false, false, u"", 0,
       app::MountOutcome::CorruptLayout, true},
      {"nothing recognisable", "disk.vmdk", 64 * 512, false, false, u"", 0, app::MountOutcome::CorruptLayout, true,
       true},
      {"3 GiB of nothing recognisable", "big.vmdk", 3 * (kTwoGiB / 2), false, false, u"", 0,
       app::MountOutcome::CorruptLayout, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageDir dir;
    std::vector<std::uint8_t> first = taggedSectors(6, 0, 4);
    if (c.boot) first[510] = 0x55, first[511] = 0xAA;
    if (c.sparseHeader) {
      std::fill(first.begin(), first.begin() + 512, 0);
      platform::putLe32(first.data(), vmdk::kSparseMagic);
      platform::putLe64(first.data() + vmdk::kCapacity, 4096);
      platform::putLe64(first.data() + vmdk::kGrainSize, 8);
      platform::putLe32(first.data() + vmdk::kGrainTableEntries, 4);
      platform::putLe64(first.data() + vmdk::kRedundantGrainDirectory, 1);
    }
    dir.put(c.name, 0, first);
    dir.truncate(c.name, c.size);
    app::CQELDAApp app;
    const test::Mounted m = mountImage(app, dir.file(c.name));
    EXPECT_EQ(m.outcome, c.outcome);
    EXPECT_EQ(app.m_strCreateType, c.createType);
    EXPECT_EQ(app.m_bVmdkLayoutGuessed.load(), c.guessed ? 1u : 0u);
    if (c.outcome == app::MountOutcome::Mounted) {
      ASSERT_EQ(app.m_arrExtents.size(), 1u);
      EXPECT_EQ(app.m_arrExtents[0].m_nSectors, c.extentSectors);
      EXPECT_EQ(app.m_arrExtents[0].m_szFileName, platform::widenLatin1(c.name));
      EXPECT_TRUE(m.shown.empty());
    } else {
      // Refused layouts keep nothing guessed: the whole disk is the file's own bytes.
      ASSERT_EQ(m.shown.size(), 1u);
      EXPECT_EQ(m.shown[0], kCorrupt);
      EXPECT_TRUE(app.m_arrExtents.empty());
      EXPECT_EQ(app.m_bImageNoLayout.load(), c.noLayout ? 1u : 0u);
      EXPECT_EQ(app.m_bImageCorrupt.load(), c.noLayout ? 0u : 1u);
      EXPECT_EQ(app.m_nDiskSectors, c.size / 512);
      EXPECT_EQ(readSectors(app, 0, 4).bytes, first);
    }
  }
}

TEST(VmdkGuess, DamagedHeaderWithItsDescriptorBehindIt) {
  // Sector 0 lost, sector 1 still the embedded descriptor; the default geometry (grain 128,
  // 512 entries, directory at 21) finds the data.
  ImageDir dir;
  const std::string text = "# Disk DescriptorFile\ncreateType=\"monolithicSparse\"\nRW 256 SPARSE \"lost.vmdk\"\n";
  dir.putAt("lost.vmdk", 512, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  std::vector<std::uint8_t> dirSector(512, 0), table(2048, 0);
  platform::putLe32(dirSector.data(), 22);
  platform::putLe32(table.data() + 4, 64);  // grain 1 (sectors 128-255) at sector 64
  dir.put("lost.vmdk", 21, dirSector);
  dir.put("lost.vmdk", 22, table);
  dir.put("lost.vmdk", 64, taggedSectors(8, 128, 128));
  app::CQELDAApp app;
  ASSERT_EQ(mountImage(app, dir.file("lost.vmdk")).outcome, app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_bVmdkLayoutGuessed.load(), 1u);
  ASSERT_EQ(app.m_arrExtents.size(), 1u);
  EXPECT_EQ(app.m_arrExtents[0].m_nSectors, 256u);  // the descriptor's extent stands
  EXPECT_EQ(readSectors(app, 128, 128).bytes, taggedSectors(8, 128, 128));
  EXPECT_EQ(readSectors(app, 0, 1).bytes, std::vector<std::uint8_t>(512, 0));
}

TEST(VmdkGuess, SplitFileNodesAreUniqueAndOrderedByNumber) {
  ImageDir dir;
  for (const char* n : {"a-s010.vmdk", "a-s002.vmdk", "a-s477.vmdk", "a-s000.vmdk", "a-S003.vmdk"})
    dir.put(n, 0, taggedSectors(1, 0, 1));
  app::CQELDAApp app;
  app.m_nImageType = app::kImageVmdk;
  app.m_strImagePath = dir.file("a-s002.vmdk");
  app.g_VirtualDisk.BuildSplitExtents(u"twoGbMaxExtentSparse");
  const auto& nodes = app.g_VirtualDisk.splitFiles();
  ASSERT_EQ(nodes.size(), 2u);  // 0 and 477 are out of range; "-S" is not the letter
  EXPECT_EQ(nodes[0].m_nNumber, 2);
  EXPECT_EQ(nodes[1].m_nNumber, 10);
  EXPECT_EQ(nodes[1].m_nFileSize, 512u);
  // Extents 1 to 10; the eight absent ones get built names.
  ASSERT_EQ(app.m_arrExtents.size(), 10u);
  EXPECT_EQ(app.m_arrExtents[0].fileNameBytes, "a-s001.vmdk");
  EXPECT_EQ(app.m_arrExtents[9].fileNameBytes, "a-s010.vmdk");
}

}  // namespace
}  // namespace qelda::image
