// The exFAT boot sector parser: geometry from the sector's own fields, the derived values
// only for damaged fields, and every rejection reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/exfat_boot.h"
#include "fs/exfat_layout.h"
#include "fs/exfat_test_bytes.h"

namespace qelda::fs::exfat {
namespace {

using platform::ByteView;
using platform::ParseError;
using test::BootFields;
using test::bootSector;

// Layouts mkfs.exfat really writes. Volume length / cluster count gives the wrong cluster
// size for several of them (10, 9, 264), and the derived heap start is wrong wherever the
// heap does not start on a multiple of the FAT offset.
TEST(ExFatBoot, TakesGeometryFromTheFields) {
  struct Row {
    const char* what;
    BootFields f;
    std::uint32_t sectorsPerCluster;
  };
  const std::vector<Row> rows = {
      {"8 MiB", {16384, 2048, 16, 4096, 1536, 5, 9, 3}, 8},
      {"16 MiB", {32768, 2048, 32, 4096, 3584, 5, 9, 3}, 8},
      {"64 MiB", {131072, 2048, 128, 4096, 15872, 5, 9, 3}, 8},
      {"64 MiB, 128 KiB clusters", {131072, 2048, 256, 4096, 496, 4, 9, 8}, 256},
      {"64 MiB, 512-byte clusters", {131072, 2048, 1024, 4096, 126976, 45, 9, 0}, 1},
      {"aligned to 4096 bytes", {131072, 24, 128, 152, 16365, 5, 9, 3}, 8},
      {"aligned to 4096, 512-byte clusters", {131072, 24, 1024, 1048, 130024, 5, 9, 0}, 1},
      {"bitmap packed into the FAT segment", {131072, 2048, 128, 4088, 15873, 5, 9, 3}, 8},
      {"32 MiB clusters", {1ull << 32, 2048, 2048, 65536, 65535, 4, 9, 16}, 65536},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const auto sector = bootSector(r.f);
    const auto p = parseExFatBoot(ByteView(sector));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->sectorsPerCluster, r.sectorsPerCluster);
    EXPECT_EQ(p->clusterHeapOffset, r.f.heapOffset);
    EXPECT_EQ(p->clusterCount, r.f.clusterCount);
    EXPECT_EQ(p->volumeLength, r.f.volumeLength);
    EXPECT_EQ(p->fatOffset, r.f.fatOffset);
    EXPECT_EQ(p->fatLength, r.f.fatLength);
    EXPECT_EQ(p->rootCluster, r.f.rootCluster);
    EXPECT_TRUE(p->sectorsPerClusterFromShift);
    EXPECT_TRUE(p->heapFromField);
    EXPECT_FALSE(p->clusterCountCut);
  }
}

// Damaged fields fall back to the derived values, one field at a time.
TEST(ExFatBoot, DerivesWhatADamagedFieldCannotGive) {
  struct Row {
    const char* what;
    BootFields f;
    std::uint32_t sectorsPerCluster;
    bool fromShift;
    std::uint32_t heap;
    bool heapFromField;
    std::uint32_t clusterCount;
  };
  const std::vector<Row> rows = {
      // 131072 / 15872 = 8; the heap field is good.
      {"sector shift above 12", {131072, 2048, 128, 4096, 15872, 5, 13, 3}, 8, false, 4096, true, 15872},
      {"cluster shift above 16", {131072, 2048, 128, 4096, 15872, 5, 9, 17}, 8, false, 4096, true, 15872},
      // 8 x 64000 sectors do not fit after the FAT: 131072 / 64000 = 2 sectors per cluster.
      {"clusters too many for the shift", {131072, 2048, 128, 2176, 64000, 5, 9, 3}, 2, false, 2176, true, 64000},
      // (ceil(1024 / 128) + 1) x 128 = 1152, whatever the field says.
      {"heap field 0", {131072, 128, 1024, 0, 16000, 5, 9, 3}, 8, true, 1152, false, 16000},
      {"heap inside the FAT", {131072, 128, 1024, 1000, 16000, 5, 9, 3}, 8, true, 1152, false, 16000},
      {"heap past the volume", {131072, 128, 1024, 200000, 16000, 5, 9, 3}, 8, true, 1152, false, 16000},
      {"clusters past the volume's end after the heap", {131072, 128, 1024, 8000, 16000, 5, 9, 3}, 8, true, 1152,
       false, 16000},
      // (ceil(1024 / 100) + 1) x 100 = 1200 leaves room for (131072 - 1200) / 8 = 16234.
      {"count cut to the volume", {131072, 100, 1024, 0, 16240, 5, 9, 3}, 8, true, 1200, false, 16234},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const auto sector = bootSector(r.f);
    const auto p = parseExFatBoot(ByteView(sector));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->sectorsPerCluster, r.sectorsPerCluster);
    EXPECT_EQ(p->sectorsPerClusterFromShift, r.fromShift);
    EXPECT_EQ(p->clusterHeapOffset, r.heap);
    EXPECT_EQ(p->heapFromField, r.heapFromField);
    EXPECT_EQ(p->clusterCount, r.clusterCount);
    EXPECT_EQ(p->clusterCountCut, r.clusterCount != r.f.clusterCount);
  }
}

TEST(ExFatBoot, RejectsEachCorruptField) {
  struct Row {
    const char* what;
    BootFields f;
    ParseError expected;
  };
  const std::vector<Row> rows = {
      {"volume length 0", {0, 2048, 16, 4096, 1536, 5, 9, 3}, ParseError::NotThisFormat},
      {"cluster count 0", {16384, 2048, 16, 4096, 0, 5, 9, 3}, ParseError::NotThisFormat},
      {"FAT offset 0", {16384, 0, 16, 4096, 1536, 5, 9, 3}, ParseError::OutOfRange},
      {"FAT length 0", {16384, 2048, 0, 4096, 1536, 5, 9, 3}, ParseError::OutOfRange},
      {"FAT a tenth of the volume", {16380, 24, 1638, 4096, 1536, 5, 9, 3}, ParseError::OutOfRange},
      {"FAT past the volume's end", {16384, 16380, 16, 4096, 1536, 5, 9, 3}, ParseError::OutOfRange},
      // Damaged shifts: 16384 / 1638 = 10 sectors per cluster passes, / 1820 = 9 does not.
      {"derived cluster size odd", {16384, 2048, 16, 4096, 1820, 5, 0, 0}, ParseError::OutOfRange},
      {"derived cluster size 0", {16384, 2048, 16, 4096, 20000, 5, 0, 0}, ParseError::OutOfRange},
      // The derived heap, (1 + 1) x 5000 = 10000, lies past a 9000-sector volume's end.
      {"no room for a heap", {9000, 5000, 800, 0, 1100, 5, 0, 0}, ParseError::OutOfRange},
      // Sectors of 4 KiB are 8 of 512 bytes: neither count may then outgrow its width.
      {"FAT offset past 32 bits in 512-byte sectors", {1ull << 40, 1u << 30, 16, 1u << 31, 1536, 5, 12, 0},
       ParseError::OutOfRange},
      {"volume length past 64 bits in 512-byte sectors", {1ull << 62, 2048, 16, 4096, 1536, 5, 12, 0},
       ParseError::OutOfRange},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const auto sector = bootSector(r.f);
    const auto p = parseExFatBoot(ByteView(sector));
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error(), r.expected);
  }
  const auto sector = bootSector();
  const auto shortSector = parseExFatBoot(ByteView(sector.data(), 511));
  ASSERT_FALSE(shortSector);
  EXPECT_EQ(shortSector.error(), ParseError::Truncated);
}

// One sector per cluster derived from damaged shifts is accepted, as is an even count.
TEST(ExFatBoot, AcceptsDerivedClusterSizesOfOneOrEven) {
  for (const auto& [clusters, spc] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{{12000, 1}, {1638, 10}}) {
    SCOPED_TRACE(clusters);
    const auto sector = bootSector({16384, 2048, 16, 4096, clusters, 5, 0, 0});
    const auto p = parseExFatBoot(ByteView(sector));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->sectorsPerCluster, spc);
    EXPECT_FALSE(p->sectorsPerClusterFromShift);
  }
}

TEST(ExFatBoot, MapsHeapClustersToSectorsIn64Bits) {
  // 16 TiB of 512-byte sectors, 128 KiB clusters: the last clusters lie past sector 2^32.
  const auto sector = bootSector({1ull << 35, 2048, 1u << 20, 1u << 21, (1u << 27) - (1u << 13), 4, 9, 8});
  const auto p = parseExFatBoot(ByteView(sector));
  ASSERT_TRUE(p);
  const std::uint64_t last = std::uint64_t(p->clusterCount) + 1;
  struct Row {
    std::uint64_t cluster;
    std::optional<std::uint64_t> sector;
  };
  const std::vector<Row> rows = {
      {0, std::nullopt},
      {1, std::nullopt},
      {2, 1u << 21},
      {3, (1u << 21) + 256},
      {last, (1ull << 21) + (last - 2) * 256},
      {last + 1, std::nullopt},
      {0xFFFFFFFF, std::nullopt},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.cluster);
    EXPECT_EQ(firstSectorOfCluster(*p, r.cluster), r.sector);
    EXPECT_EQ(isHeapCluster(*p, r.cluster), r.sector.has_value());
  }
  EXPECT_GT(*firstSectorOfCluster(*p, last), 1ull << 32);
  EXPECT_LT(*firstSectorOfCluster(*p, last) + 255, p->volumeLength);
}

TEST(ExFatBoot, RootWalkStartsAt4WhenTheRootFieldIsOutsideTheHeap) {
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> rows = {
      {0, 4}, {2, 4}, {3, 4}, {4, 4}, {5, 5}, {1537, 1537}, {1538, 4}, {0xFFFFFFFF, 4}};
  for (const auto& [root, walked] : rows) {
    SCOPED_TRACE(root);
    const auto sector = bootSector({.rootCluster = root});
    const auto p = parseExFatBoot(ByteView(sector));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->rootCluster, root);
    EXPECT_EQ(rootWalkCluster(*p), walked);
  }
}

TEST(ExFatBoot, CountsADirectorysClustersWithinTheHeap) {
  const auto small = bootSector();  // 1536 clusters of 4 KiB: clusters 2 .. 1537
  const auto p = parseExFatBoot(ByteView(small));
  ASSERT_TRUE(p);
  const auto big = bootSector({1ull << 32, 2048, 2048, 65536, 1u << 25, 4, 9, 3});
  const auto q = parseExFatBoot(ByteView(big));
  ASSERT_TRUE(q);
  struct Row {
    const char* what;
    const ExFatBootParams& params;
    std::uint32_t first;
    std::uint64_t length;
    std::uint32_t clusters;
  };
  const std::vector<Row> rows = {
      {"100 empty files", *p, 10, 16384, 4},
      {"one byte more", *p, 10, 16385, 5},
      {"empty", *p, 10, 0, 0},
      {"up to the heap's last cluster", *p, 1530, 1ull << 40, 8},
      {"first cluster 0", *p, 0, 4096, 0},
      {"first cluster past the heap", *p, 1538, 4096, 0},
      {"no more than 256 MiB", *q, 10, 1ull << 40, 65536},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(directoryClusterCount(r.params, r.first, r.length), r.clusters);
  }
}

}  // namespace
}  // namespace qelda::fs::exfat

namespace qelda::fs::exfat {
namespace {

// The 8 MiB layout (heap at 4096, 1536 clusters of 8 sectors) cut to the sector count a
// volume record gives.
TEST(ExFatBoot, FitsTheGeometryIntoTheRecordsSectorCount) {
  struct Row {
    std::uint64_t sectors;
    bool fits;
    std::uint64_t volumeLength;
    std::uint32_t clusterCount;
  };
  const std::vector<Row> rows = {
      {0, true, 16384, 1536},       // unknown: as the boot sector says
      {20000, true, 16384, 1536},   // more room than needed
      {16384, true, 16384, 1536},
      {16383, true, 16383, 1535},   // the last cluster no longer whole
      {4104, true, 4104, 1},
      {4103, false, 0, 0},          // not one cluster after the heap's start
      {4096, false, 0, 0},
      {2060, false, 0, 0},          // the FAT itself cut
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.sectors);
    const auto sector = test::bootSector();
    ExFatBootParams p = *parseExFatBoot(platform::ByteView(sector));
    ASSERT_EQ(fitExFatBootToSectors(p, r.sectors), r.fits);
    if (!r.fits) continue;
    EXPECT_EQ(p.volumeLength, r.volumeLength);
    EXPECT_EQ(p.clusterCount, r.clusterCount);
    EXPECT_EQ(p.clusterCountCut, r.clusterCount != 1536);
    EXPECT_EQ(firstSectorOfCluster(p, std::uint64_t(p.clusterCount) + 1).value() + 8, 4096u + 8u * p.clusterCount);
  }
}

}  // namespace
}  // namespace qelda::fs::exfat
