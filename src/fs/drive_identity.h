// A physical drive's identity (model, serial number, firmware revision, geometry, sector
// count) and its SMART attributes, taken from the sectors the drive answers. Pure: the
// reading layer (volume/drives) asks the drive and hands the bytes over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs {

// Widths of the identity texts, in characters (each is stored with a terminator after it).
inline constexpr std::size_t kModelChars = 40;
inline constexpr std::size_t kSerialChars = 20;
inline constexpr std::size_t kFirmwareChars = 8;

// m_byStatus of an attribute, and the identity's worst status over all of them.
inline constexpr std::uint8_t kSmartAboveThreshold = 1;  // threshold below the value
inline constexpr std::uint8_t kSmartAtThreshold = 2;
inline constexpr std::uint8_t kSmartBelowThreshold = 3;  // threshold above the value

struct SMART_ATTRIBUTE {
  SMART_ATTRIBUTE* m_pNext = nullptr;
  std::uint8_t m_byId = 0;
  std::u16string m_szName;  // at most 39 characters
  std::uint32_t m_nValue = 0;
  std::uint32_t m_nThreshold = 0;
  std::uint32_t m_nWorst = 0;
  std::uint8_t m_byStatus = 0;
};

// Where the identity came from; absent data stays empty or zero, never made up.
enum class IdentitySource : std::uint8_t {
  None,            // the drive told nothing
  AtaPassThrough,  // IDENTIFY through the SCSI layer's ATA pass-through
  HdioIdentity,    // the IDENTIFY sector the kernel kept for the drive
  Sysfs            // model and serial texts the kernel lists for the drive
};

struct DRIVE_IDENTITY {
  DRIVE_IDENTITY() = default;
  DRIVE_IDENTITY(const DRIVE_IDENTITY&) = delete;  // the attribute links point into the pool
  DRIVE_IDENTITY& operator=(const DRIVE_IDENTITY&) = delete;

  SMART_ATTRIBUTE* m_pAttributes = nullptr;  // null when none were read
  std::string m_szModel;                     // at most kModelChars
  std::string m_szSerial;                    // at most kSerialChars
  std::string m_szFirmware;                  // at most kFirmwareChars
  std::uint32_t m_nTemperature = 0;          // first raw byte of the first attribute 194
  std::uint16_t m_wListTemperature = 0;      // the same byte of the last attribute 194 listed
  std::uint8_t m_bSmartEnabled = 0;
  std::uint8_t m_byAttributeStatus = 0;  // worst status over all attributes; 0 when none
  std::uint16_t m_wCylinders = 0;        // only from an ATA (not packet) IDENTIFY
  std::uint16_t m_wHeads = 0;
  std::uint16_t m_wSectorsPerTrack = 0;
  std::uint32_t m_nTotalSectors = 0;  // 28-bit addressable count; 0 when not from IDENTIFY
  std::uint8_t m_byAttributeCount = 0;

  IdentitySource source = IdentitySource::None;
  std::deque<SMART_ATTRIBUTE> attributePool;  // owns the nodes m_pAttributes links
};

// Swaps the two bytes of each 16-bit word of `text` in place (a last odd byte stays).
void SwapWordBytes(std::size_t byteCount, std::uint8_t* text);

// Cuts a drive's identity text to one word: without a leading space, the text up to its
// first space; with one, its last word. At most maxChars characters are kept; a NUL ends
// the text.
std::string trimIdentityText(std::string_view text, std::size_t maxChars);

// What an IDENTIFY (or IDENTIFY PACKET) sector tells.
struct IdentifyData {
  std::string model;
  std::string serial;
  std::string firmware;
  std::uint16_t cylinders = 0;  // 0 for a packet device
  std::uint16_t heads = 0;
  std::uint16_t sectorsPerTrack = 0;
  std::uint32_t totalSectors = 0;
  bool smartSupported = false;
  bool smartEnabled = false;
};

// Reads an IDENTIFY sector. Truncated: fewer than 512 bytes. NotThisFormat: all zero, or an
// ATA answer whose first word marks something else. OutOfRange: the integrity word carries
// its signature and the sector's bytes do not sum to zero.
platform::Parsed<IdentifyData> parseIdentifySector(platform::ByteView sector, bool packetDevice);

// True when the 512 bytes sum to zero (the SMART sectors' check byte).
bool smartSectorChecksumOk(platform::ByteView sector);

// Lists the used entries of a SMART data sector, in table order, with the threshold of the
// entry at the same position of the threshold sector, into `identity` (its list, count,
// worst status and temperature bytes). Returns the head of the list.
SMART_ATTRIBUTE* ParseSmartAttributes(platform::ByteView attributeData, platform::ByteView thresholdData,
                                      DRIVE_IDENTITY& identity);

// The name of attribute `id` as the system's string table gives it.
std::u16string smartAttributeName(std::uint8_t id);

}  // namespace qelda::fs
