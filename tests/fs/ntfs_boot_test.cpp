#include "fs/ntfs_boot.h"

#include <gtest/gtest.h>

#include <array>

#include "fs/ntfs_layout.h"

namespace qelda::fs::ntfs {
namespace {

namespace L = layout;

// A boot sector of a volume of `bytesPerSector`-byte sectors and `spc` of them per cluster,
// whose record size byte is `recordByte`.
std::array<std::uint8_t, 512> bootSector(std::uint16_t bytesPerSector, std::uint8_t spc, std::uint8_t recordByte) {
  std::array<std::uint8_t, 512> s{};
  std::copy_n("NTFS    ", 8, s.begin() + L::kBootOemId);
  platform::putLe16(&s[L::kBootBytesPerSector], bytesPerSector);
  s[L::kBootSectorsPerCluster] = spc;
  platform::putLe64(&s[L::kBootTotalSectors], 100000);
  platform::putLe64(&s[L::kBootMftCluster], 4);
  platform::putLe64(&s[L::kBootMftMirrCluster], 8);
  s[L::kBootClustersPerRecord] = recordByte;
  s[L::kBootSignature] = 0x55;
  s[L::kBootSignature + 1] = 0xAA;
  return s;
}

TEST(NtfsBootRecordSize, TakenFromItsByteWhereTheParserReadsIt) {
  struct Case {
    const char* what;
    std::uint16_t bytesPerSector;
    std::uint8_t spc;
    std::uint8_t recordByte;
    std::uint32_t recordBytes;
  } cases[] = {
      {"2^10 bytes", 512, 8, 0xF6, 1024},
      {"2^11 bytes on 2048-byte sectors", 2048, 2, 0xF5, 2048},
      {"2^12 bytes on 4096-byte sectors", 4096, 1, 0xF4, 4096},
      {"2^12 bytes on 512-byte sectors", 512, 8, 0xF4, 4096},
      {"one cluster of 4096 bytes", 512, 8, 0x01, 4096},
      {"two clusters of 1024 bytes", 512, 2, 0x02, 2048},
      {"2^13 bytes: read as 1024", 512, 8, 0xF3, 1024},
      {"one cluster of 8192 bytes: read as 1024", 512, 16, 0x01, 1024},
      {"no byte: read as 1024", 512, 8, 0x00, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto sector = bootSector(c.bytesPerSector, c.spc, c.recordByte);
    const auto boot = parseNtfsBoot(platform::ByteView(sector), 0);
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->recordBytes, c.recordBytes);
  }
}

}  // namespace
}  // namespace qelda::fs::ntfs
