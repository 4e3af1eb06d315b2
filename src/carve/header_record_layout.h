// Byte layout of a stored file-type record (1071 bytes, little-endian). The catalogue file is
// a plain sequence of these records.
#pragma once

#include <cstddef>

namespace qelda::carve::header_layout {

inline constexpr std::size_t kRecordBytes = 1071;
inline constexpr std::size_t kTextChars = 260;  // UTF-16 units of each text, terminator included

inline constexpr std::size_t kNextSlot = 0x000;      // u32 link slot: written as zero, never read back
inline constexpr std::size_t kSoftwareName = 0x004;  // UTF-16[260]
inline constexpr std::size_t kExtension = 0x20C;     // UTF-16[260]: the type text of a match
inline constexpr std::size_t kOffset = 0x414;        // u32: where the signature stands in the first sector
inline constexpr std::size_t kHeaderLen = 0x418;     // u8: signature length, 1 to 8
inline constexpr std::size_t kHeader = 0x419;        // u8[8]: signature bytes
inline constexpr std::size_t kSelected = 0x421;      // u8: chosen for the raw scan
inline constexpr std::size_t kBuiltIn = 0x422;       // u8: part of the default catalogue
inline constexpr std::size_t kMaxSize = 0x423;       // u32: byte limit of the forward search and of the ZIP finder
inline constexpr std::size_t kMaxSizeUnit = 0x427;   // u32: the unit the limit is shown in (0 bytes, 1 KB, 2 MB)
inline constexpr std::size_t kGroup = 0x42B;         // u16: the group the type is listed under
inline constexpr std::size_t kTypeId = 0x42D;        // u16: selects the length finder
static_assert(kTypeId + 2 == kRecordBytes);

}  // namespace qelda::carve::header_layout
