// Hand-made NTFS records and index entries for the parser tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/byte_view.h"

namespace qelda::test {

// A "FILE0" record with attributes appended in order and an end marker: 1024 bytes, or
// 2048 or 4096 (its size at 0x1C, a fixup word per 512 bytes).
class RecordBuilder {
 public:
  explicit RecordBuilder(std::size_t size = 1024) : bytes_(size, 0) {
    const char sig[] = "FILE";
    std::copy(sig, sig + 4, bytes_.begin());
    platform::putLe16(&bytes_[0x04], 0x30);  // update sequence array
    platform::putLe16(&bytes_[0x06], std::uint16_t(size / 512 + 1));
    next_ = size > 1024 ? 0x48 : 0x38;       // past the array
    platform::putLe16(&bytes_[0x14], std::uint16_t(next_));  // first attribute
    platform::putLe16(&bytes_[0x16], 1);     // in use
    if (size > 1024) platform::putLe32(&bytes_[0x1C], std::uint32_t(size));
    end();
  }

  // A resident attribute whose value follows a 0x18-byte header (plus the name).
  RecordBuilder& resident(std::uint32_t type, const std::vector<std::uint8_t>& value, std::uint8_t nameLength = 0) {
    const std::size_t valueOffset = 0x18 + 2u * nameLength;
    const std::size_t length = (valueOffset + value.size() + 7) / 8 * 8;
    std::uint8_t* a = &bytes_[next_];
    platform::putLe32(a, type);
    platform::putLe32(a + 4, std::uint32_t(length));
    a[9] = nameLength;
    platform::putLe16(a + 0x0A, 0x18);
    platform::putLe32(a + 0x10, std::uint32_t(value.size()));
    platform::putLe16(a + 0x14, std::uint16_t(valueOffset));
    std::copy(value.begin(), value.end(), a + valueOffset);
    next_ += length;
    end();
    return *this;
  }

  // A non-resident attribute with the given mapping pairs at 0x40.
  RecordBuilder& nonResident(std::uint32_t type, const std::vector<std::uint8_t>& runs, std::uint16_t flags = 0,
                             std::uint16_t unit = 0, std::uint64_t size = 0) {
    const std::size_t length = (0x40 + runs.size() + 1 + 7) / 8 * 8;
    std::uint8_t* a = &bytes_[next_];
    platform::putLe32(a, type);
    platform::putLe32(a + 4, std::uint32_t(length));
    a[8] = 1;
    platform::putLe16(a + 0x0C, flags);
    platform::putLe16(a + 0x20, 0x40);
    platform::putLe16(a + 0x22, unit);
    platform::putLe64(a + 0x28, size);
    platform::putLe64(a + 0x30, size);
    platform::putLe64(a + 0x38, size);
    std::copy(runs.begin(), runs.end(), a + 0x40);
    next_ += length;
    end();
    return *this;
  }

  std::size_t nextOffset() const { return next_; }
  std::vector<std::uint8_t>& bytes() { return bytes_; }
  std::vector<std::uint8_t> build() const { return bytes_; }

 private:
  void end() {
    if (next_ + 8 <= bytes_.size()) platform::putLe32(&bytes_[next_], 0xFFFFFFFF);
  }
  std::vector<std::uint8_t> bytes_;
  std::size_t next_;
};

// The value of a $FILE_NAME attribute.
inline std::vector<std::uint8_t> fileNameValue(std::uint32_t parent, const std::u16string& name, std::uint8_t nameSpace) {
  std::vector<std::uint8_t> v(0x42 + 2 * name.size(), 0);
  platform::putLe32(&v[0], parent);
  v[0x40] = std::uint8_t(name.size());
  v[0x41] = nameSpace;
  for (std::size_t i = 0; i < name.size(); ++i) platform::putLe16(&v[0x42 + 2 * i], name[i]);
  return v;
}

// One index entry naming a file.
inline std::vector<std::uint8_t> indexEntry(std::uint32_t record, std::uint32_t parent, const std::u16string& name,
                                            std::uint8_t nameSpace = 1, std::uint32_t fileAttributes = 0x20,
                                            std::uint64_t size = 0) {
  const std::size_t length = (0x52 + 2 * name.size() + 7) / 8 * 8;
  std::vector<std::uint8_t> e(length, 0);
  platform::putLe32(&e[0], record);
  platform::putLe16(&e[8], std::uint16_t(length));
  platform::putLe16(&e[0x0A], std::uint16_t(0x42 + 2 * name.size()));
  platform::putLe32(&e[0x10], parent);
  platform::putLe64(&e[0x40], size);
  platform::putLe32(&e[0x48], fileAttributes);
  e[0x50] = std::uint8_t(name.size());
  e[0x51] = nameSpace;
  for (std::size_t i = 0; i < name.size(); ++i) platform::putLe16(&e[0x52 + 2 * i], name[i]);
  return e;
}

inline std::vector<std::uint8_t> lastIndexEntry() {
  std::vector<std::uint8_t> e(0x10, 0);
  platform::putLe16(&e[8], 0x10);
  platform::putLe16(&e[0x0C], 0x02);
  return e;
}

}  // namespace qelda::test
