// What a single sector looks like to the lost-volume search: a boot sector of one of the
// three file systems, the first sector of a FAT, the start of a FAT directory, an MFT record.
// Byte comparisons only.
#pragma once

#include <cstdint>
#include <cstring>

#include "lost/lost_layout.h"
#include "platform/byte_view.h"

namespace qelda::lost {

inline bool hasBootMark(const std::uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }
inline void forceBootMark(std::uint8_t* sector) {
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

inline bool isNtfsOem(platform::ByteView data) { return data.matches(layout::kOemName, "NTFS"); }
inline bool isExFatOem(platform::ByteView data) {
  return data.matches(layout::kOemName, "EXFA") && data.matches(layout::kOemExFatLastByte, "T");
}

inline bool startsWithFatSignature(const std::uint8_t* sector) {
  return (sector[0] == layout::kMediaFixed || sector[0] == layout::kMediaRemovable) && sector[1] == 0xFF &&
         sector[2] == 0xFF;
}

// "." and ".." padded with blanks: the first two entries of every FAT directory but the root.
inline bool isDirectoryStart(const std::uint8_t* sector) {
  return std::memcmp(sector + layout::kDotEntry, ".       ", 8) == 0 &&
         std::memcmp(sector + layout::kDotDotEntry, "..      ", 8) == 0;
}
// The cluster the "." entry names.
inline std::uint32_t directoryCluster(const std::uint8_t* sector) {
  const platform::ByteView v(sector, 512);
  return std::uint32_t(*v.le16(layout::kEntryClusterHigh)) << 16 | *v.le16(layout::kEntryClusterLow);
}

inline bool startsWithFile(const std::uint8_t* sector) { return std::memcmp(sector, "FILE", 4) == 0; }
// The update-sequence offset of both record formats: "FILE*" and "FILE0".
inline bool hasRecordFormatByte(const std::uint8_t* sector) { return sector[4] == '*' || sector[4] == '0'; }

}  // namespace qelda::lost
