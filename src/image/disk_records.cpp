#include "image/disk_records.h"

#include "platform/byte_view.h"
#include "platform/text.h"

namespace qelda::image {
namespace {

void putText(std::uint8_t* p, const std::u16string& text) {
  const std::size_t n = std::min(text.size(), DISK_DESCRIPTOR_EXTENT::kTextUnits - 1);
  for (std::size_t i = 0; i < n; ++i) platform::putLe16(p + 2 * i, text[i]);
}

std::u16string getText(const std::uint8_t* p) {
  std::u16string out;
  for (std::size_t i = 0; i < DISK_DESCRIPTOR_EXTENT::kTextUnits; ++i) {
    const char16_t c = char16_t(p[2 * i] | (p[2 * i + 1] << 8));
    if (c == 0) break;
    out += c;
  }
  return out;
}

}  // namespace

std::array<std::uint8_t, DISK_DESCRIPTOR_EXTENT::kStoredSize> DISK_DESCRIPTOR_EXTENT::encode() const {
  std::array<std::uint8_t, kStoredSize> out{};
  platform::putLe64(out.data(), m_nSectors);
  putText(out.data() + 8, m_szType);
  putText(out.data() + 8 + 2 * kTextUnits, m_szFileName);
  return out;
}

DISK_DESCRIPTOR_EXTENT DISK_DESCRIPTOR_EXTENT::decode(const std::uint8_t* bytes) {
  DISK_DESCRIPTOR_EXTENT e;
  e.m_nSectors = *platform::ByteView(bytes, kStoredSize).le64(0);
  e.m_szType = getText(bytes + 8);
  e.m_szFileName = getText(bytes + 8 + 2 * kTextUnits);
  e.fileNameBytes = platform::toUtf8(e.m_szFileName);
  return e;
}

}  // namespace qelda::image
