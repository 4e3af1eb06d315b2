// The records of scan information besides the header: the stored found item with its name,
// the description of a saved scan (kept in the file's trailer and in the "vhInfo" index),
// and the index itself. All little-endian and packed; pointer slots are written as zero and
// never trusted when read back.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_view.h"
#include "platform/checked.h"
#include "platform/found_item.h"

namespace qelda::save {

// --- FOUND_ITEM as stored: 73 bytes, then its name in 260 UTF-16 units --------------------

namespace stored_item {
inline constexpr std::size_t kNext = 0;          // pointer slot
inline constexpr std::size_t kPrev = 4;          // pointer slot
inline constexpr std::size_t kViewSlots = 8;     // 13 bytes of the store's tree and view slots
inline constexpr std::size_t kViewSlotBytes = 13;
inline constexpr std::size_t kSize = 21;         // u64
inline constexpr std::size_t kRecordKey = 29;    // u64
inline constexpr std::size_t kParentId = 37;     // u32
inline constexpr std::size_t kId = 41;           // u32
inline constexpr std::size_t kName = 45;         // pointer slot
inline constexpr std::size_t kAttributes = 49;   // u8
inline constexpr std::size_t kModified = 50;     // u64
inline constexpr std::size_t kCreated = 58;      // u64
inline constexpr std::size_t kFlags = 66;        // u8
inline constexpr std::size_t kAltParentId = 67;  // u32
inline constexpr std::size_t kViewFlags = 71;    // u8
inline constexpr std::size_t kLastFlags = 72;    // u8: bit 7 size from the journal
inline constexpr std::size_t kRecordBytes = 73;
inline constexpr std::size_t kNameUnits = 260;
inline constexpr std::size_t kBytes = kRecordBytes + 2 * kNameUnits;  // 593 a stored item
}  // namespace stored_item

std::array<std::uint8_t, stored_item::kRecordBytes> encodeFoundItem(const FOUND_ITEM& item);
// Every pointer comes back null.
FOUND_ITEM decodeFoundItem(platform::ByteView record);

// The record and the name buffer together; the name is cut to kMaxItemNameLength.
std::array<std::uint8_t, stored_item::kBytes> encodeStoredItem(const FOUND_ITEM& item, std::u16string_view name);
struct StoredItem {
  FOUND_ITEM item;
  std::u16string name;
};
// Refused when the bytes are short or the name has no terminator within its 256 units.
platform::Checked<StoredItem> decodeStoredItem(platform::ByteView bytes);
// The same into `out` (its name's storage reused); the cause of a refusal, else empty.
std::string_view decodeStoredItemInto(platform::ByteView bytes, StoredItem& out);

// --- SCAN_INFO_DESCRIPTOR: 589 bytes -------------------------------------------------------

namespace descriptor {
inline constexpr std::size_t kSavedAt = 0;  // 8 × u16: year, month, weekday, day, hour, minute, second, ms
inline constexpr std::size_t kPath = 16;    // UTF-16[260]: the scan-information file
inline constexpr std::size_t kPathUnits = 260;
inline constexpr std::size_t kSourceKind = 536;  // u8
inline constexpr std::size_t kSize = 589;        // the rest is written as zero
}  // namespace descriptor

// Local time of saving, as the descriptor keeps it.
struct SavedTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;  // 1..12
  std::uint16_t weekday = 0;  // 0 Sunday .. 6
  std::uint16_t day = 0;      // 1..31
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
  static SavedTime fromLocalTime(std::time_t t);
  bool operator==(const SavedTime&) const = default;
};

struct SCAN_INFO_DESCRIPTOR {
  SavedTime savedAt;
  std::u16string scanInfoPath;  // at most 259 characters
  std::uint8_t sourceKind = 0;  // DEVICE_ENTRY kind of the scanned source

  static constexpr std::size_t kStoredSize = descriptor::kSize;
  std::array<std::uint8_t, kStoredSize> encode() const;
  // Refused when short, when the path has no terminator, or when a date field is out of range.
  static platform::Checked<SCAN_INFO_DESCRIPTOR> decode(platform::ByteView bytes);
};

// --- the "vhInfo" index: one descriptor for each saved scan, in order of saving -------------

inline constexpr std::string_view kScanInfoIndexName = "vhInfo";

// The descriptors of the index at `path`; none when the file does not exist yet. Refused
// when the file cannot be read, is not a whole number of records, or holds a bad record.
platform::Checked<std::vector<SCAN_INFO_DESCRIPTOR>> readScanInfoIndex(const std::string& path);
// Adds one descriptor at the end (creating the index); on a failed write the index is cut
// back to what it was. Empty on success, else the cause.
std::string appendScanInfoIndex(const std::string& path, const SCAN_INFO_DESCRIPTOR& descriptor);

}  // namespace qelda::save
