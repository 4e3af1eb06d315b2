#include "fs/drive_identity.h"

#include <algorithm>
#include <array>
#include <utility>

#include "fs/ata_layout.h"
#include "platform/string_table.h"

namespace qelda::fs {

using platform::ByteView;
using platform::ParseError;
using platform::Parsed;

void SwapWordBytes(std::size_t byteCount, std::uint8_t* text) {
  for (std::size_t i = 0; i + 1 < byteCount; i += 2) std::swap(text[i], text[i + 1]);
}

std::string trimIdentityText(std::string_view text, std::size_t maxChars) {
  text = text.substr(0, text.find('\0'));
  std::string_view word;
  if (!text.empty() && text.front() != ' ') {
    word = text.substr(0, text.find(' '));
  } else {
    // The last word: skip trailing spaces, then back to the space before the word.
    const std::size_t end = text.find_last_not_of(' ');
    if (end != std::string_view::npos) {
      const std::size_t before = text.find_last_of(' ', end);
      const std::size_t begin = before == std::string_view::npos ? 0 : before + 1;
      word = text.substr(begin, end + 1 - begin);
    }
  }
  return std::string(word.substr(0, maxChars));
}

namespace {

std::uint16_t word(ByteView sector, std::size_t index) { return *sector.le16(2 * index); }

// A text of `words` words from word `first`, its bytes swapped back into reading order.
std::string identifyText(ByteView sector, std::size_t first, std::size_t words, std::size_t maxChars) {
  std::array<std::uint8_t, 2 * ata::kModelWords> bytes{};
  for (std::size_t i = 0; i < 2 * words; ++i) bytes[i] = *sector.u8(2 * first + i);
  SwapWordBytes(2 * words, bytes.data());
  return trimIdentityText(std::string_view(reinterpret_cast<const char*>(bytes.data()), 2 * words), maxChars);
}

std::uint8_t byteSum(ByteView sector) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < ata::kSectorBytes; ++i) sum = std::uint8_t(sum + *sector.u8(i));
  return sum;
}

// Words 82 to 87 hold nothing when they read all zeros or all ones.
bool wordValid(std::uint16_t w) { return w != 0 && w != 0xFFFF; }

}  // namespace

Parsed<IdentifyData> parseIdentifySector(ByteView sector, bool packetDevice) {
  if (!sector.has(0, ata::kSectorBytes)) return ParseError::Truncated;
  bool anySet = false;
  for (std::size_t i = 0; i < ata::kSectorBytes && !anySet; ++i) anySet = *sector.u8(i) != 0;
  if (!anySet) return ParseError::NotThisFormat;
  if (!packetDevice && (word(sector, ata::kWordConfig) & 0x8000) != 0) return ParseError::NotThisFormat;
  const std::uint16_t integrity = word(sector, ata::kWordIntegrity);
  if ((integrity & 0xFF) == ata::kIntegritySignature && byteSum(sector) != 0) return ParseError::OutOfRange;

  IdentifyData d;
  d.model = identifyText(sector, ata::kWordModel, ata::kModelWords, kModelChars);
  d.serial = identifyText(sector, ata::kWordSerial, ata::kSerialWords, kSerialChars);
  d.firmware = identifyText(sector, ata::kWordFirmware, ata::kFirmwareWords, kFirmwareChars);
  if (!packetDevice) {
    d.cylinders = word(sector, ata::kWordCylinders);
    d.heads = word(sector, ata::kWordHeads);
    d.sectorsPerTrack = word(sector, ata::kWordSectorsPerTrack);
  }
  d.totalSectors =
      std::uint32_t(word(sector, ata::kWordTotalSectors)) | std::uint32_t(word(sector, ata::kWordTotalSectors + 1)) << 16;
  const std::uint16_t sets = word(sector, ata::kWordCommandSets);
  const std::uint16_t enabled = word(sector, ata::kWordCommandsEnabled);
  d.smartSupported = wordValid(sets) && (sets & 1) != 0;
  d.smartEnabled = wordValid(enabled) && (enabled & 1) != 0;
  return d;
}

bool smartSectorChecksumOk(ByteView sector) { return sector.has(0, ata::kSectorBytes) && byteSum(sector) == 0; }

std::u16string smartAttributeName(std::uint8_t id) {
  // Ids 1 to 12 and 191 to 209 have texts of their own, numbered from 156 and 168.
  constexpr std::uint32_t kUnknownAttribute = 187;
  if (id >= 1 && id <= 12) return platform::StringTable::load(155u + id);
  if (id >= 191 && id <= 209) return platform::StringTable::load(id - 23u);
  return platform::StringTable::load(kUnknownAttribute);
}

SMART_ATTRIBUTE* ParseSmartAttributes(ByteView attributeData, ByteView thresholdData, DRIVE_IDENTITY& identity) {
  identity.attributePool.clear();
  identity.m_pAttributes = nullptr;
  identity.m_byAttributeCount = 0;
  identity.m_byAttributeStatus = 0;
  identity.m_nTemperature = 0;
  identity.m_wListTemperature = 0;
  bool temperatureSeen = false;
  SMART_ATTRIBUTE* tail = nullptr;
  for (std::size_t i = 0; i < ata::kSmartEntries; ++i) {
    const std::size_t entry = ata::kSmartFirstEntry + i * ata::kSmartEntryBytes;
    const auto bytes = attributeData.sub(entry, ata::kSmartEntryBytes);
    if (!bytes) break;
    const std::uint8_t id = *bytes->u8(ata::kSmartId);
    if (id == 0) continue;
    SMART_ATTRIBUTE& a = identity.attributePool.emplace_back();
    a.m_byId = id;
    a.m_szName = smartAttributeName(id);
    a.m_nValue = *bytes->u8(ata::kSmartValue);
    a.m_nWorst = *bytes->u8(ata::kSmartWorst);
    a.m_nThreshold = thresholdData.u8(entry + ata::kSmartThreshold).value_or(0);
    a.m_byStatus = a.m_nThreshold < a.m_nValue    ? kSmartAboveThreshold
                   : a.m_nThreshold == a.m_nValue ? kSmartAtThreshold
                                                  : kSmartBelowThreshold;
    identity.m_byAttributeStatus = std::max(identity.m_byAttributeStatus, a.m_byStatus);
    if (id == ata::kSmartTemperatureId) {
      const std::uint8_t raw = *bytes->u8(ata::kSmartRaw);
      identity.m_wListTemperature = raw;
      if (!temperatureSeen) identity.m_nTemperature = raw;
      temperatureSeen = true;
    }
    (tail ? tail->m_pNext : identity.m_pAttributes) = &a;
    tail = &a;
    ++identity.m_byAttributeCount;
  }
  return identity.m_pAttributes;
}

}  // namespace qelda::fs
