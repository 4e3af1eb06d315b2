#include "save/scan_info_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/read_only_file.h"
#include "platform/stored_text.h"

namespace qelda::save {

using platform::ByteView;
using platform::Checked;
using platform::Refusal;

// --- FOUND_ITEM --------------------------------------------------------------------------

std::array<std::uint8_t, stored_item::kRecordBytes> encodeFoundItem(const FOUND_ITEM& item) {
  using namespace stored_item;
  std::array<std::uint8_t, kRecordBytes> out{};  // pointer and view slots stay zero
  platform::putLe64(&out[kSize], item.m_nSize);
  platform::putLe64(&out[kRecordKey], item.m_nRecordKey);
  platform::putLe32(&out[kParentId], item.m_nParentId);
  platform::putLe32(&out[kId], item.m_nId);
  out[kAttributes] = item.m_byAttributes;
  platform::putLe64(&out[kModified], item.m_ftModified);
  platform::putLe64(&out[kCreated], item.m_ftCreated);
  out[kFlags] = item.m_byFlags;
  platform::putLe32(&out[kAltParentId], item.m_nAltParentId);
  out[kViewFlags] = item.m_byViewFlags;
  out[kLastFlags] = item.lastFlags;
  return out;
}

FOUND_ITEM decodeFoundItem(ByteView record) {
  using namespace stored_item;
  platform::LeCursor c(record);
  FOUND_ITEM item;
  auto at = [&c](std::size_t offset) -> platform::LeCursor& {
    c.seek(offset);
    return c;
  };
  item.m_nSize = at(kSize).u64();
  item.m_nRecordKey = at(kRecordKey).u64();
  item.m_nParentId = at(kParentId).u32();
  item.m_nId = at(kId).u32();
  item.m_byAttributes = at(kAttributes).u8();
  item.m_ftModified = at(kModified).u64();
  item.m_ftCreated = at(kCreated).u64();
  item.m_byFlags = at(kFlags).u8();
  item.m_nAltParentId = at(kAltParentId).u32();
  item.m_byViewFlags = at(kViewFlags).u8();
  item.lastFlags = at(kLastFlags).u8();
  return item;
}

std::array<std::uint8_t, stored_item::kBytes> encodeStoredItem(const FOUND_ITEM& item, std::u16string_view name) {
  std::array<std::uint8_t, stored_item::kBytes> out{};
  const auto record = encodeFoundItem(item);
  std::copy(record.begin(), record.end(), out.begin());
  platform::putUtf16Field(&out[stored_item::kRecordBytes], kMaxItemNameLength + 1, name);
  return out;
}

std::string_view decodeStoredItemInto(ByteView bytes, StoredItem& out) {
  if (!bytes.has(0, stored_item::kBytes)) return "found item: short of its 593 bytes";
  if (!platform::readUtf16FieldInto(bytes, stored_item::kRecordBytes, kMaxItemNameLength + 1, out.name))
    return "found item: name longer than 255 characters or without terminator";
  out.item = decodeFoundItem(*bytes.sub(0, stored_item::kRecordBytes));
  return {};
}

Checked<StoredItem> decodeStoredItem(ByteView bytes) {
  StoredItem out;
  if (const std::string_view cause = decodeStoredItemInto(bytes, out); !cause.empty()) return Refusal{std::string(cause)};
  return out;
}

// --- SCAN_INFO_DESCRIPTOR ------------------------------------------------------------------

SavedTime SavedTime::fromLocalTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  SavedTime s;
  s.year = std::uint16_t(tm.tm_year + 1900);
  s.month = std::uint16_t(tm.tm_mon + 1);
  s.weekday = std::uint16_t(tm.tm_wday);
  s.day = std::uint16_t(tm.tm_mday);
  s.hour = std::uint16_t(tm.tm_hour);
  s.minute = std::uint16_t(tm.tm_min);
  s.second = std::uint16_t(tm.tm_sec);
  return s;
}

std::array<std::uint8_t, SCAN_INFO_DESCRIPTOR::kStoredSize> SCAN_INFO_DESCRIPTOR::encode() const {
  std::array<std::uint8_t, kStoredSize> out{};
  const std::uint16_t fields[] = {savedAt.year, savedAt.month,  savedAt.weekday, savedAt.day,
                                  savedAt.hour, savedAt.minute, savedAt.second,  savedAt.milliseconds};
  for (std::size_t i = 0; i < 8; ++i) platform::putLe16(&out[descriptor::kSavedAt + 2 * i], fields[i]);
  platform::putUtf16Field(&out[descriptor::kPath], descriptor::kPathUnits, scanInfoPath);
  out[descriptor::kSourceKind] = sourceKind;
  return out;
}

Checked<SCAN_INFO_DESCRIPTOR> SCAN_INFO_DESCRIPTOR::decode(ByteView bytes) {
  if (!bytes.has(0, kStoredSize)) return Refusal{"descriptor: short of its 589 bytes"};
  SCAN_INFO_DESCRIPTOR d;
  platform::LeCursor c(bytes, descriptor::kSavedAt);
  SavedTime& t = d.savedAt;
  for (std::uint16_t* f : {&t.year, &t.month, &t.weekday, &t.day, &t.hour, &t.minute, &t.second, &t.milliseconds})
    *f = c.u16();
  if (t.month < 1 || t.month > 12 || t.weekday > 6 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 ||
      t.second > 60 || t.milliseconds > 999)
    return Refusal{"descriptor: the date of saving is not a date"};
  auto path = platform::readUtf16Field(bytes, descriptor::kPath, descriptor::kPathUnits);
  if (!path) return Refusal{"descriptor: path has no terminator within its 260 characters"};
  d.scanInfoPath = std::move(*path);
  d.sourceKind = *bytes.u8(descriptor::kSourceKind);
  return d;
}

// --- the index -----------------------------------------------------------------------------

Checked<std::vector<SCAN_INFO_DESCRIPTOR>> readScanInfoIndex(const std::string& path) {
  std::vector<SCAN_INFO_DESCRIPTOR> out;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return out;  // nothing saved yet
  auto file = platform::ReadOnlyFile::open(path);
  if (!file) return Refusal{path + ": " + platform::whyNotOpened(path)};
  const std::uint64_t size = file->size();
  if (size % descriptor::kSize != 0)
    return Refusal{path + ": " + std::to_string(size) + " bytes is not a whole number of 589-byte records"};
  std::array<std::uint8_t, descriptor::kSize> record{};
  for (std::uint64_t offset = 0; offset < size; offset += descriptor::kSize) {
    if (!file->readExact(offset, record)) return Refusal{path + ": could not be read at byte " + std::to_string(offset)};
    auto d = SCAN_INFO_DESCRIPTOR::decode(ByteView(record));
    if (!d) return Refusal{path + ": record " + std::to_string(offset / descriptor::kSize + 1) + ": " + d.cause()};
    out.push_back(std::move(*d));
  }
  return out;
}

std::string appendScanInfoIndex(const std::string& path, const SCAN_INFO_DESCRIPTOR& descriptor) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return path + ": " + std::strerror(errno);
  std::string cause;
  const off_t before = ::lseek(fd, 0, SEEK_END);
  const auto bytes = descriptor.encode();
  const ssize_t written = ::write(fd, bytes.data(), bytes.size());
  if (written != ssize_t(bytes.size())) {
    cause = path + ": " + (written < 0 ? std::strerror(errno) : "short write");
    if (before >= 0 && ::ftruncate(fd, before) != 0) cause += " (and the record could not be taken back)";
  }
  ::close(fd);
  return cause;
}

}  // namespace qelda::save
