// The 512-byte sectors a drive answers to IDENTIFY DEVICE and to the SMART data and
// threshold reads: 256 little-endian words; texts hold two characters a word, the first in
// the high byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelda::fs::ata {

inline constexpr std::size_t kSectorBytes = 512;

// IDENTIFY words (byte offset = 2 × word).
inline constexpr std::size_t kWordConfig = 0;  // bit 15 clear: an ATA device
inline constexpr std::size_t kWordCylinders = 1;
inline constexpr std::size_t kWordHeads = 3;
inline constexpr std::size_t kWordSectorsPerTrack = 6;
inline constexpr std::size_t kWordSerial = 10;  // 10 words
inline constexpr std::size_t kSerialWords = 10;
inline constexpr std::size_t kWordFirmware = 23;  // 4 words
inline constexpr std::size_t kFirmwareWords = 4;
inline constexpr std::size_t kWordModel = 27;  // 20 words
inline constexpr std::size_t kModelWords = 20;
inline constexpr std::size_t kWordTotalSectors = 60;   // two words, low first: 28-bit count
inline constexpr std::size_t kWordCommandSets = 82;    // bit 0: SMART supported
inline constexpr std::size_t kWordCommandsEnabled = 85;  // bit 0: SMART enabled
inline constexpr std::size_t kWordIntegrity = 255;  // low byte kIntegritySignature, high byte checksum
inline constexpr std::uint8_t kIntegritySignature = 0xA5;

// Commands and SMART sub-commands (features register).
inline constexpr std::uint8_t kCmdIdentify = 0xEC;
inline constexpr std::uint8_t kCmdIdentifyPacket = 0xA1;
inline constexpr std::uint8_t kCmdSmart = 0xB0;
inline constexpr std::uint8_t kSmartReadData = 0xD0;
inline constexpr std::uint8_t kSmartReadThresholds = 0xD1;
inline constexpr std::uint8_t kSmartLbaMid = 0x4F;
inline constexpr std::uint8_t kSmartLbaHigh = 0xC2;

// SMART data and threshold sectors: 30 entries of 12 bytes from byte 2; the last byte makes
// the sum of all 512 bytes zero.
inline constexpr std::size_t kSmartFirstEntry = 2;
inline constexpr std::size_t kSmartEntryBytes = 12;
inline constexpr std::size_t kSmartEntries = 30;
inline constexpr std::size_t kSmartId = 0;         // 0: unused entry
inline constexpr std::size_t kSmartValue = 3;      // data: current normalised value
inline constexpr std::size_t kSmartWorst = 4;      // data: worst value
inline constexpr std::size_t kSmartRaw = 5;        // data: 6 raw bytes
inline constexpr std::size_t kSmartThreshold = 1;  // thresholds: the threshold byte
inline constexpr std::uint8_t kSmartTemperatureId = 194;

}  // namespace qelda::fs::ata
