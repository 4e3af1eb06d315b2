// Boot sectors of the three file systems with only the fields the partition walk and the
// lost-volume search read (every other byte zero), for hand-made disks.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/byte_view.h"

namespace qelda::test {

using Sector = std::array<std::uint8_t, 512>;

// Zeros but for the boot mark.
inline Sector bootMarked() {
  Sector s{};
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

inline Sector ntfsBoot(std::uint8_t sectorsPerCluster, std::uint64_t mftCluster, std::uint64_t mirrCluster,
                       std::uint64_t totalSectors = 0) {
  Sector s = bootMarked();
  s[0] = 0xEB, s[1] = 0x52, s[2] = 0x90;
  std::memcpy(&s[3], "NTFS    ", 8);
  platform::putLe16(&s[11], 512);
  s[13] = sectorsPerCluster;
  platform::putLe64(&s[0x28], totalSectors);
  platform::putLe64(&s[0x30], mftCluster);
  platform::putLe64(&s[0x38], mirrCluster);
  return s;
}

// FAT12/16 when sectorsPerFat16 is not 0, FAT32 (its size at offset 36) otherwise; two FATs.
inline Sector fatBoot(std::uint8_t sectorsPerCluster, std::uint16_t reserved, std::uint16_t rootEntries,
                      std::uint16_t sectorsPerFat16, std::uint32_t sectorsPerFat32 = 0, std::uint32_t rootCluster = 0) {
  Sector s = bootMarked();
  s[0] = 0xEB, s[1] = 0x3C, s[2] = 0x90;
  std::memcpy(&s[3], "mkfs.fat", 8);
  platform::putLe16(&s[11], 512);
  s[13] = sectorsPerCluster;
  platform::putLe16(&s[14], reserved);
  s[16] = 2;
  platform::putLe16(&s[17], rootEntries);
  s[21] = 0xF8;
  platform::putLe16(&s[22], sectorsPerFat16);
  platform::putLe32(&s[36], sectorsPerFat32);
  platform::putLe32(&s[44], rootCluster);
  return s;
}

inline Sector exFatBoot(std::uint32_t fatOffset, std::uint32_t fatLength, std::uint64_t volumeLength,
                        std::uint32_t clusterCount, std::uint32_t rootCluster = 4, std::uint8_t clusterShift = 0) {
  Sector s = bootMarked();
  s[0] = 0xEB, s[1] = 0x76, s[2] = 0x90;
  std::memcpy(&s[3], "EXFAT   ", 8);
  platform::putLe64(&s[0x48], volumeLength);
  platform::putLe32(&s[0x50], fatOffset);
  platform::putLe32(&s[0x54], fatLength);
  platform::putLe32(&s[0x5C], clusterCount);
  platform::putLe32(&s[0x60], rootCluster);
  s[108] = 9;
  s[109] = clusterShift;
  return s;
}

// A partition table of up to four entries (type, first sector, sector count) under its mark.
struct TableEntry {
  std::uint8_t type;
  std::uint32_t first;
  std::uint32_t count;
};
inline Sector partitionTable(std::initializer_list<TableEntry> entries) {
  Sector s = bootMarked();
  std::size_t at = 446;
  for (const TableEntry& e : entries) {
    s[at + 4] = e.type;
    platform::putLe32(&s[at + 8], e.first);
    platform::putLe32(&s[at + 12], e.count);
    at += 16;
  }
  return s;
}

}  // namespace qelda::test
