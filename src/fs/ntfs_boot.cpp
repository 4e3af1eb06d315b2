#include "fs/ntfs_boot.h"

#include "fs/ntfs_layout.h"

namespace qelda::fs::ntfs {

namespace L = layout;

std::uint32_t sectorUnitsOf(platform::ByteView bootSector) {
  const std::uint16_t bytes = bootSector.le16(L::kBootBytesPerSector).value_or(0);
  return bytes == 1024 || bytes == 2048 || bytes == 4096 ? bytes / 512u : 1;
}

std::uint16_t sectorsPerClusterForVolumeList(std::uint8_t byte, std::uint32_t units) {
  std::uint32_t spc = byte;
  if (byte >= 0x80) {
    const unsigned shift = 256u - byte;
    spc = shift < 16 ? 1u << shift : 0;
  }
  spc *= units;
  return spc <= 0xFFFF ? std::uint16_t(spc) : 0;
}

bool isValidSectorsPerCluster(std::uint32_t spc) {
  return spc != 0 && spc <= kMaxSectorsPerCluster && (spc & (spc - 1)) == 0;
}

std::uint32_t sectorsPerClusterFromBootByte(std::uint8_t byte) {
  if (byte >= 0xF0) {
    const std::uint32_t v = std::uint32_t(1) << (256 - byte);
    return v <= kMaxSectorsPerCluster ? v : 0;
  }
  return isValidSectorsPerCluster(byte) && byte <= 128 ? byte : 0;
}

namespace {

// The record size byte: clusters per record, or 2^-n bytes when negative. Only the sizes the
// record parser reads are taken; any other reads as the 1024 bytes records have elsewhere.
std::uint32_t recordBytesFromBootByte(std::uint8_t byte, std::uint32_t sectorsPerCluster) {
  std::uint64_t bytes = 0;
  if (byte >= 0x80) {
    const unsigned shift = 256u - byte;
    bytes = shift < 32 ? std::uint64_t(1) << shift : 0;
  } else {
    bytes = std::uint64_t(byte) * sectorsPerCluster * 512;
  }
  return bytes == 2048 || bytes == 4096 ? std::uint32_t(bytes) : 1024;
}

}  // namespace

platform::Parsed<NtfsBootParams> parseNtfsBoot(platform::ByteView v, std::uint64_t volumeSectors) {
  if (v.u8(L::kBootSignature) != std::uint8_t{0x55} || v.u8(L::kBootSignature + 1) != std::uint8_t{0xAA} ||
      !v.matches(L::kBootOemId, "NTFS"))
    return platform::ParseError::NotThisFormat;
  NtfsBootParams p;
  p.bytesPerSector = v.le16(L::kBootBytesPerSector).value_or(0);
  p.sectorUnits = sectorUnitsOf(v);
  // The boot byte counts the volume's own sectors.
  p.sectorsPerCluster = sectorsPerClusterFromBootByte(v.u8(L::kBootSectorsPerCluster).value_or(0)) * p.sectorUnits;
  if (!isValidSectorsPerCluster(p.sectorsPerCluster)) p.sectorsPerCluster = 0;
  p.totalSectors = v.le64(L::kBootTotalSectors).value_or(0);
  p.mftCluster = v.le64(L::kBootMftCluster).value_or(~0ull);
  p.mftMirrCluster = v.le64(L::kBootMftMirrCluster).value_or(~0ull);
  if (p.sectorsPerCluster == 0) return platform::ParseError::OutOfRange;
  p.recordBytes = recordBytesFromBootByte(v.u8(L::kBootClustersPerRecord).value_or(0), p.sectorsPerCluster);
  // Cluster numbers beyond the volume (or whose sector would overflow) mean a damaged sector.
  const std::uint64_t clusters = volumeSectors ? volumeSectors / p.sectorsPerCluster : (~0ull / kMaxSectorsPerCluster);
  if (p.mftCluster >= clusters || p.mftMirrCluster >= clusters) return platform::ParseError::OutOfRange;
  return p;
}

}  // namespace qelda::fs::ntfs
