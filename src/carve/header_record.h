// A file type of the raw scan: the signature that starts its files, how far a file of it may
// reach, and the type id that picks its length finder. Stored as a fixed 1071-byte record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::carve {

using platform::ByteView;
using platform::Parsed;
using platform::ParseError;

struct HEADER_RECORD {
  HEADER_RECORD* m_pNext = nullptr;  // link of the selected chain; not part of what is stored
  std::u16string softwareName;       // what the catalogue shows (at most 259 characters)
  std::u16string m_szExtension;      // type text of a match (at most 259 characters)
  std::uint32_t m_nOffset = 0;       // where the signature stands in the first sector
  std::uint8_t m_nHeaderLen = 0;     // 1 to 8
  std::array<std::uint8_t, 8> m_abyHeader{};
  std::uint8_t selected = 0;
  std::uint8_t builtIn = 0;
  std::uint32_t m_nMaxSize = 0;  // bytes
  std::uint32_t maxSizeUnit = 0;
  std::uint16_t group = 0;
  std::uint16_t m_wTypeId = 0;
};

// A signature can be compared inside one 512-byte sector only: 1 to 8 bytes, ending at or
// before the sector's end. Records that break this are refused wherever they come from.
bool hasUsableSignature(const HEADER_RECORD& record);

std::array<std::uint8_t, 1071> encodeHeaderRecord(const HEADER_RECORD& record);
// Truncated when fewer than 1071 bytes; OutOfRange when the signature is not usable.
Parsed<HEADER_RECORD> decodeHeaderRecord(ByteView bytes);

// The chain of record copies chosen for a raw scan, in list order. The pool owns the copies;
// m_pSelectedHeaders and each m_pNext link them. Moving keeps the links (the deque's nodes stay).
class SelectedHeaders {
 public:
  SelectedHeaders() = default;
  SelectedHeaders(SelectedHeaders&& o) noexcept;
  SelectedHeaders& operator=(SelectedHeaders&& o) noexcept;
  SelectedHeaders(const SelectedHeaders&) = delete;
  SelectedHeaders& operator=(const SelectedHeaders&) = delete;

  // Appends a copy at the tail; false (nothing appended) when its signature is not usable.
  bool append(const HEADER_RECORD& record);
  void clear();
  const HEADER_RECORD* head() const { return m_pSelectedHeaders; }
  bool empty() const { return m_pSelectedHeaders == nullptr; }

 private:
  std::deque<HEADER_RECORD> pool_;
  HEADER_RECORD* m_pSelectedHeaders = nullptr;
  HEADER_RECORD* tail_ = nullptr;
};

}  // namespace qelda::carve
