#include "carve/header_record.h"

#include <utility>

#include "carve/header_record_layout.h"

namespace qelda::carve {

namespace L = header_layout;

bool hasUsableSignature(const HEADER_RECORD& record) {
  return record.m_nHeaderLen >= 1 && record.m_nHeaderLen <= record.m_abyHeader.size() &&
         record.m_nOffset <= 512u - record.m_nHeaderLen;
}

namespace {

void putText(std::uint8_t* out, const std::u16string& text) {
  const std::size_t units = std::min(text.size(), L::kTextChars - 1);  // room for the terminator
  for (std::size_t i = 0; i < units; ++i) platform::putLe16(out + 2 * i, std::uint16_t(text[i]));
}

std::u16string getText(ByteView bytes, std::size_t offset) {
  std::u16string out;
  for (std::size_t i = 0; i < L::kTextChars; ++i) {
    const std::uint16_t c = *bytes.le16(offset + 2 * i);
    if (c == 0) break;
    out.push_back(char16_t(c));
  }
  return out;
}

}  // namespace

std::array<std::uint8_t, 1071> encodeHeaderRecord(const HEADER_RECORD& record) {
  std::array<std::uint8_t, L::kRecordBytes> out{};
  putText(out.data() + L::kSoftwareName, record.softwareName);
  putText(out.data() + L::kExtension, record.m_szExtension);
  platform::putLe32(out.data() + L::kOffset, record.m_nOffset);
  out[L::kHeaderLen] = record.m_nHeaderLen;
  for (std::size_t i = 0; i < record.m_abyHeader.size(); ++i) out[L::kHeader + i] = record.m_abyHeader[i];
  out[L::kSelected] = record.selected;
  out[L::kBuiltIn] = record.builtIn;
  platform::putLe32(out.data() + L::kMaxSize, record.m_nMaxSize);
  platform::putLe32(out.data() + L::kMaxSizeUnit, record.maxSizeUnit);
  platform::putLe16(out.data() + L::kGroup, record.group);
  platform::putLe16(out.data() + L::kTypeId, record.m_wTypeId);
  return out;
}

Parsed<HEADER_RECORD> decodeHeaderRecord(ByteView bytes) {
  if (!bytes.has(0, L::kRecordBytes)) return ParseError::Truncated;
  HEADER_RECORD r;
  r.softwareName = getText(bytes, L::kSoftwareName);
  r.m_szExtension = getText(bytes, L::kExtension);
  r.m_nOffset = *bytes.le32(L::kOffset);
  r.m_nHeaderLen = *bytes.u8(L::kHeaderLen);
  for (std::size_t i = 0; i < r.m_abyHeader.size(); ++i) r.m_abyHeader[i] = *bytes.u8(L::kHeader + i);
  r.selected = *bytes.u8(L::kSelected);
  r.builtIn = *bytes.u8(L::kBuiltIn);
  r.m_nMaxSize = *bytes.le32(L::kMaxSize);
  r.maxSizeUnit = *bytes.le32(L::kMaxSizeUnit);
  r.group = *bytes.le16(L::kGroup);
  r.m_wTypeId = *bytes.le16(L::kTypeId);
  if (!hasUsableSignature(r)) return ParseError::OutOfRange;
  return r;
}

SelectedHeaders::SelectedHeaders(SelectedHeaders&& o) noexcept
    : pool_(std::move(o.pool_)),
      m_pSelectedHeaders(std::exchange(o.m_pSelectedHeaders, nullptr)),
      tail_(std::exchange(o.tail_, nullptr)) {}

SelectedHeaders& SelectedHeaders::operator=(SelectedHeaders&& o) noexcept {
  if (this != &o) {
    pool_ = std::move(o.pool_);
    m_pSelectedHeaders = std::exchange(o.m_pSelectedHeaders, nullptr);
    tail_ = std::exchange(o.tail_, nullptr);
    o.pool_.clear();
  }
  return *this;
}

bool SelectedHeaders::append(const HEADER_RECORD& record) {
  if (!hasUsableSignature(record)) return false;
  HEADER_RECORD& copy = pool_.emplace_back(record);
  copy.m_pNext = nullptr;
  if (tail_) tail_->m_pNext = &copy;
  else m_pSelectedHeaders = &copy;
  tail_ = &copy;
  return true;
}

void SelectedHeaders::clear() {
  pool_.clear();
  m_pSelectedHeaders = nullptr;
  tail_ = nullptr;
}

}  // namespace qelda::carve
