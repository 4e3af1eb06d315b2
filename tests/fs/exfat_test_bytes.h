// exFAT structures built byte by byte for the parser tests: a boot sector laid out as
// mkfs.exfat lays out an 8 MiB volume, and directory streams assembled entry by entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/exfat_layout.h"
#include "platform/byte_view.h"

namespace qelda::fs::test {

using Bytes = std::vector<std::uint8_t>;

// Geometry of the 8 MiB volume mkfs.exfat makes by default.
struct BootFields {
  std::uint64_t volumeLength = 16384;
  std::uint32_t fatOffset = 2048;
  std::uint32_t fatLength = 16;
  std::uint32_t heapOffset = 4096;
  std::uint32_t clusterCount = 1536;
  std::uint32_t rootCluster = 5;
  std::uint8_t sectorShift = 9;
  std::uint8_t clusterShift = 3;
};

inline Bytes bootSector(const BootFields& f = {}) {
  namespace b = exfat::boot;
  Bytes s(512, 0);
  const std::uint8_t jump[] = {0xEB, 0x76, 0x90, 'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
  std::copy(std::begin(jump), std::end(jump), s.begin());
  platform::putLe64(&s[b::kVolumeLength], f.volumeLength);
  platform::putLe32(&s[b::kFatOffset], f.fatOffset);
  platform::putLe32(&s[b::kFatLength], f.fatLength);
  platform::putLe32(&s[b::kClusterHeapOffset], f.heapOffset);
  platform::putLe32(&s[b::kClusterCount], f.clusterCount);
  platform::putLe32(&s[b::kRootCluster], f.rootCluster);
  platform::putLe16(&s[104], 0x0100);  // revision 1.0
  s[b::kBytesPerSectorShift] = f.sectorShift;
  s[b::kSectorsPerClusterShift] = f.clusterShift;
  s[b::kNumberOfFats] = 1;
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

// A directory stream, entry by entry.
class DirBytes {
 public:
  struct File {
    std::u16string name;
    std::uint8_t attributes = 0x20;
    std::uint8_t streamFlags = 0x03;
    std::uint32_t firstCluster = 0;
    std::uint64_t size = 0;
    bool deleted = false;
    int secondaryCount = -1;  // -1: what the set holds
    int nameLength = -1;      // -1: the name's length
    std::uint32_t created = 0;
    std::uint32_t modified = 0;
  };

  // Appends a file entry, its stream extension and its name entries.
  DirBytes& file(const File& f) {
    const std::size_t nameEntries = (f.name.size() + 14) / 15;
    Bytes e = entry(f.deleted ? exfat::entry::kDeletedFile : exfat::entry::kFile);
    e[1] = std::uint8_t(f.secondaryCount >= 0 ? f.secondaryCount : int(1 + nameEntries));
    platform::putLe16(&e[4], f.attributes);
    platform::putLe32(&e[8], f.created);
    platform::putLe32(&e[12], f.modified);
    append(e);
    Bytes st = entry(f.deleted ? exfat::entry::kDeletedStream : exfat::entry::kStream);
    st[1] = f.streamFlags;
    st[3] = std::uint8_t(f.nameLength >= 0 ? f.nameLength : int(f.name.size()));
    platform::putLe64(&st[8], f.size);
    platform::putLe32(&st[20], f.firstCluster);
    platform::putLe64(&st[24], f.size);
    append(st);
    for (std::size_t i = 0; i < nameEntries; ++i) name(f.name.substr(i * 15, 15), f.deleted);
    return *this;
  }
  // One file name entry holding up to 15 characters.
  DirBytes& name(std::u16string_view chars, bool deleted = false) {
    Bytes e = entry(deleted ? exfat::entry::kDeletedName : exfat::entry::kName);
    for (std::size_t i = 0; i < chars.size() && i < 15; ++i) platform::putLe16(&e[2 + 2 * i], chars[i]);
    return append(e);
  }
  // A bare entry of the given type (zero elsewhere), or any 32 bytes.
  DirBytes& raw(std::uint8_t type) { return append(entry(type)); }
  DirBytes& append(const Bytes& e) {
    bytes_.insert(bytes_.end(), e.begin(), e.end());
    return *this;
  }
  // Zero entries up to `offset`.
  DirBytes& padTo(std::size_t offset) {
    if (bytes_.size() < offset) bytes_.resize(offset, 0);
    return *this;
  }
  std::size_t size() const { return bytes_.size(); }
  Bytes& bytes() { return bytes_; }
  platform::ByteView view() const { return platform::ByteView(bytes_); }

  static Bytes entry(std::uint8_t type) {
    Bytes e(32, 0);
    e[0] = type;
    return e;
  }

 private:
  Bytes bytes_;
};

}  // namespace qelda::fs::test
