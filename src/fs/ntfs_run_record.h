// What the deep scan keeps of each MFT record it finds, and the 28 bytes it is stored as.
#pragma once

#include <array>
#include <cstdint>

#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs::ntfs {

// A record whose number could not be learnt (found outside $MFT in the old record format).
inline constexpr std::uint32_t kUnknownRecordNumber = 0xFFFFFFFF;

struct RunRecord {
  std::uint64_t sector = 0;        // volume-relative sector of the record
  std::uint32_t itemId = 0;        // the id it is reported with
  std::uint32_t parent = 0;        // parent record number; 0: none
  std::uint32_t recordNumber = 0;  // kUnknownRecordNumber when not known
  std::uint32_t isFile = 0;        // 1 file, 0 folder
  std::uint32_t mark = 0;          // 1: reported (or never to be)
  bool operator==(const RunRecord&) const = default;
};

std::array<std::uint8_t, 28> encodeRunRecord(const RunRecord& record);
platform::Parsed<RunRecord> decodeRunRecord(platform::ByteView bytes);

}  // namespace qelda::fs::ntfs
