#include "fs/fat_table.h"

#include <cstring>

#include "fs/fat_layout.h"
#include "platform/byte_view.h"

namespace qelda::fs::fat {

std::optional<std::uint32_t> FatTable::entry(std::uint64_t c) const {
  const platform::ByteView v(bytes_);
  if (type_ == kFat32) {
    if (c > UINT64_MAX / 4) return std::nullopt;
    const auto e = v.le32(c * 4);
    if (!e) return std::nullopt;
    return *e & kFat32Mask;
  }
  if (type_ == kFat16) {
    if (c > UINT64_MAX / 2) return std::nullopt;
    const auto e = v.le16(c * 2);
    if (!e) return std::nullopt;
    return std::uint32_t(*e);
  }
  // Twelve-bit entries: two share three bytes; an odd entry is the high twelve bits of the
  // 16-bit value at 3c/2, so that whole 16-bit value must lie inside the table.
  if (c > UINT64_MAX / 3) return std::nullopt;
  const auto e = v.le16(c * 3 / 2);
  if (!e) return std::nullopt;
  return std::uint32_t((c & 1) ? (*e >> 4) : *e) & 0xFFF;
}

std::uint32_t chainStopValue(std::uint8_t fatType) {
  if (fatType == kFat12) return kFat12End;
  if (fatType == kFat16) return kFat16End;
  return kFat32EndMarks;
}

bool isChainCluster(std::uint8_t fatType, std::uint32_t c, std::uint32_t maxCluster) {
  return c >= 2 && c < chainStopValue(fatType) && c <= maxCluster;
}

std::optional<std::uint32_t> nextChainCluster(const FatTable& fat, std::uint32_t c, std::uint32_t maxCluster) {
  const auto next = fat.entry(c);
  if (!next || !isChainCluster(fat.type(), *next, maxCluster)) return std::nullopt;
  return next;
}

bool hasMediaSignature(std::span<const std::uint8_t> sector) {
  return sector.size() >= 3 && (sector[0] == 0xF8 || sector[0] == 0xF0) && sector[1] == 0xFF && sector[2] == 0xFF;
}

bool isUniformSector(std::span<const std::uint8_t> sector, std::uint8_t fatType) {
  // Every entry equals the first when the whole entries equal themselves shifted by one entry.
  const std::size_t width = fatType == kFat32 ? 4 : 2;
  const std::size_t whole = sector.size() / width * width;
  return whole <= width || std::memcmp(sector.data() + width, sector.data(), whole - width) == 0;
}

std::uint32_t countImplausibleEntries(std::span<const std::uint8_t> sector, std::uint64_t sectorIndex,
                                      std::uint8_t fatType, std::uint64_t highestDataCluster) {
  const platform::ByteView v(sector);
  std::uint32_t errors = 0;
  const auto judge = [&](std::uint32_t value, std::uint32_t endValue) {
    if (value > highestDataCluster && value < endValue) ++errors;
  };
  if (fatType == kFat32) {
    for (std::size_t o = 0; o + 4 <= sector.size(); o += 4) judge(*v.le32(o) & kFat32Mask, kFat32EndMarks);
  } else if (fatType == kFat16) {
    for (std::size_t o = 0; o + 2 <= sector.size(); o += 2) judge(*v.le16(o), kFat16End);
  } else {
    // Entry n starts at bit 12n of the table; take those whose 12 bits lie in this sector.
    const std::uint64_t firstBit = sectorIndex * sector.size() * 8;
    const std::uint64_t endBit = firstBit + sector.size() * 8;
    for (std::uint64_t n = (firstBit + 11) / 12; n * 12 + 12 <= endBit; ++n) {
      const std::uint64_t bit = n * 12 - firstBit;
      const std::size_t byte = std::size_t(bit / 8);
      std::uint32_t value;
      if (bit % 8 == 0) value = sector[byte] | ((sector[byte + 1] & 0x0F) << 8);
      else value = (sector[byte] >> 4) | (sector[byte + 1] << 4);
      judge(value, kFat12End);
    }
  }
  return errors;
}

}  // namespace qelda::fs::fat
