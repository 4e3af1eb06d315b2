// Records of the mounted image's description that the application state holds.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qelda::image {

// One extent of a VMDK image. Stored whole (1048 bytes: u64 + two UTF-16[260]) in scan
// information; the fields after the first three are ours and are never stored.
struct DISK_DESCRIPTOR_EXTENT {
  std::uint64_t m_nSectors = 0;
  std::u16string m_szType;      // "FLAT" or "SPARSE", as written in the descriptor
  std::u16string m_szFileName;  // without folder; " (Missing)" appended when absent

  std::string fileNameBytes;          // the name as the descriptor wrote it, used to open the file
  std::uint64_t flatStartSector = 0;  // a flat extent line's start offset in its file
  // The size or start offset as the line wrote it, when it is no number we can read (too
  // long, negative, not digits); empty when it was read.
  std::string sizeNotNumber;
  std::string offsetNotNumber;

  static constexpr std::size_t kStoredSize = 1048;
  static constexpr std::size_t kTextUnits = 260;
  // Byte-exact stored form; texts cut to 259 characters and zero-terminated.
  std::array<std::uint8_t, kStoredSize> encode() const;
  static DISK_DESCRIPTOR_EXTENT decode(const std::uint8_t* bytes);
};

}  // namespace qelda::image
