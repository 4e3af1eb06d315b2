#include "fs/exfat_entries.h"

#include <algorithm>

#include "fs/exfat_layout.h"

namespace qelda::fs::exfat {

using platform::ByteView;
using platform::ParseError;
using platform::Parsed;
namespace e = exfat::entry;

namespace {

bool isFileEntry(std::uint8_t type) { return type == e::kFile || type == e::kDeletedFile; }
bool isStreamEntry(std::uint8_t type) { return type == e::kStream || type == e::kDeletedStream; }
bool isNameEntry(std::uint8_t type) { return type == e::kName || type == e::kDeletedName; }
bool isSystemEntry(std::uint8_t type) { return type == e::kBitmap || type == e::kUpcase || type == e::kLabel; }

// Offsets are 32-bit and a directory is at most 256 MiB: longer streams are read that far.
ByteView directoryPart(ByteView stream) {
  return *stream.sub(0, std::min<std::size_t>(stream.size(), exfat::kMaxDirectoryBytes));
}

// The set whose file entry (known to fit) lies at `offset` of `dir`.
ExFatEntrySet readSet(ByteView dir, std::uint32_t offset) {
  ExFatEntrySet s;
  const ByteView file = *dir.sub(offset, e::kSize);
  s.offset = s.lastEntry = offset;
  s.deleted = *file.u8(e::kType) == e::kDeletedFile;
  s.secondaryCount = *file.u8(e::kSecondaryCount);
  s.attributes = *file.u8(e::kAttributes);
  s.created = std::uint64_t(*file.le32(e::kCreated)) << 32;
  s.modified = std::uint64_t(*file.le32(e::kModified)) << 32;

  // A count of 0 lets the set run to 256 secondaries, as a byte counting down would.
  const unsigned limit = s.secondaryCount == 0 ? 256 : s.secondaryCount;
  int nameLeft = 0;  // characters the current stream extension still expects
  std::size_t pos = std::size_t(offset) + e::kSize;
  for (unsigned taken = 0; taken < limit && dir.has(pos, e::kSize); ++taken, pos += e::kSize) {
    const ByteView entry = *dir.sub(pos, e::kSize);
    const std::uint8_t type = *entry.u8(e::kType);
    if (isStreamEntry(type)) {
      s.hasStream = true;
      s.streamFlags = *entry.u8(e::kStreamFlags);
      s.nameLength = *entry.u8(e::kNameLength);
      s.validDataLength = *entry.le64(e::kValidDataLength);
      s.firstCluster = *entry.le32(e::kFirstCluster);
      s.dataLength = *entry.le64(e::kDataLength);
      if (s.nameLength == 0 && !s.emptyNameStream) s.emptyNameStream = std::uint32_t(pos);
      nameLeft = s.nameLength;
    } else if (isNameEntry(type)) {
      const std::size_t room = exfat::kMaxNameChars - s.name.size();
      const std::size_t chars = std::min<std::size_t>({e::kCharsPerNameEntry, std::size_t(std::max(nameLeft, 0)), room});
      s.name += *entry.utf16le(e::kNameChars, chars);
      nameLeft -= int(e::kCharsPerNameEntry);
    } else {
      break;  // any other type ends the set at that entry
    }
    s.lastEntry = std::uint32_t(pos);
  }
  s.end = s.lastEntry + e::kSize;
  s.name.resize(std::min(s.name.size(), s.name.find(u'\0')));
  return s;
}

}  // namespace

bool ExFatEntrySet::isFolder() const { return (attributes & exfat::kAttributeFolder) != 0; }
bool ExFatEntrySet::noFatChain() const { return (streamFlags & e::kNoFatChain) != 0; }
bool ExFatEntrySet::followsChain() const { return hasStream && !noFatChain(); }

ExFatDirectoryWalk::ExFatDirectoryWalk(ByteView stream, ExFatWalkKind kind)
    : stream_(directoryPart(stream)), kind_(kind) {}

ExFatDirectoryWalk::ExFatDirectoryWalk(ExFatWalkKind kind)
    : stream_(std::span<const std::uint8_t>{}), kind_(kind), windowed_(true), last_(false) {
  needsBytes_ = true;
}

void ExFatDirectoryWalk::feed(ByteView window, std::uint32_t start, bool last) {
  if (!windowed_ || ended_ || start > pos_) return;
  // No offset passes the largest directory (offsets stay 32-bit).
  const std::uint64_t room = exfat::kMaxDirectoryBytes - std::min<std::uint64_t>(start, exfat::kMaxDirectoryBytes);
  stream_ = room < window.size() ? *window.sub(0, std::size_t(room)) : window;
  last_ = last || room <= window.size();
  base_ = start;
  needsBytes_ = false;
}

std::optional<ExFatEntrySet> ExFatDirectoryWalk::next() {
  // Every step moves pos_ forward: by 16 or 32 bytes, past a set, or 16 bytes into a set's
  // last entry (which lies at or after its file entry).
  if (needsBytes_ || ended_) return std::nullopt;
  const std::size_t end = std::size_t(base_) + stream_.size();
  while (pos_ < end) {
    const std::size_t at = pos_ - base_;
    const std::uint8_t type = *stream_.u8(at);
    // A set is parsed only once all the bytes it may take are in the window; a window
    // reaches no further than that, so that a walk reads no cluster it does not need.
    if (!last_ && isFileEntry(type)) {
      const std::size_t count = stream_.size() - at < 2 ? 0 : *stream_.u8(at + e::kSecondaryCount);
      const std::size_t need = stream_.size() - at < 2 ? 2 : (count == 0 ? 257 : count + 1) * e::kSize;
      if (stream_.size() - at < need) {
        needsBytes_ = true;
        wanted_ = need;
        return std::nullopt;
      }
    }
    if (windowed_ && type == 0x00 && pos_ % e::kSize == 0) {
      ended_ = true;
      return std::nullopt;
    }
    if (isFileEntry(type)) {
      if (!stream_.has(at, e::kSize)) break;
      ExFatEntrySet s = readSet(stream_, std::uint32_t(at));
      s.offset += base_;
      s.lastEntry += base_;
      s.end += base_;
      if (s.emptyNameStream) *s.emptyNameStream += base_;
      if (kind_ == ExFatWalkKind::Folder && s.emptyNameStream) {
        pos_ = *s.emptyNameStream + 16;
        continue;
      }
      if (kind_ == ExFatWalkKind::Folder && s.name.empty()) {
        pos_ = s.lastEntry + 16;
        continue;
      }
      pos_ = s.end;
      return s;
    }
    pos_ += isSystemEntry(type) ? 32 : 16;
  }
  if (!last_) {
    needsBytes_ = true;
    wanted_ = 1;
    return std::nullopt;
  }
  pos_ = std::uint32_t(end);
  return std::nullopt;
}

Parsed<ExFatEntrySet> parseEntrySetAt(ByteView stream, std::uint32_t offset) {
  const ByteView dir = directoryPart(stream);
  if (!dir.has(offset, e::kSize)) return ParseError::Truncated;
  if (!isFileEntry(*dir.u8(offset))) return ParseError::NotThisFormat;
  ExFatEntrySet s = readSet(dir, offset);
  if (s.nameLength == 0 || s.name.empty()) return ParseError::OutOfRange;
  return s;
}

ExFatRootEntries findRootEntries(ByteView rootStream) {
  const ByteView dir = directoryPart(rootStream);
  ExFatRootEntries found;
  for (std::size_t pos = 0; dir.has(pos, e::kSize); pos += e::kSize) {
    const ByteView entry = *dir.sub(pos, e::kSize);
    const std::uint8_t type = *entry.u8(e::kType);
    if (type == e::kBitmap && (!found.bitmap || (found.bitmap->flags & 1) != 0)) {
      const ExFatBitmapEntry b{*entry.u8(e::kBitmapFlags), *entry.le32(e::kFirstCluster), *entry.le64(e::kDataLength)};
      if (!found.bitmap || (b.flags & 1) == 0) found.bitmap = b;
    } else if (type == e::kUpcase && !found.upcase) {
      found.upcase = ExFatUpcaseEntry{*entry.le32(e::kUpcaseChecksum), *entry.le32(e::kFirstCluster),
                                      *entry.le64(e::kDataLength)};
    } else if (type == e::kLabel && !found.label) {
      const std::size_t chars = std::min<std::size_t>(*entry.u8(e::kLabelLength), e::kMaxLabelChars);
      std::u16string label = *entry.utf16le(e::kLabelChars, chars);
      label.resize(std::min(label.size(), label.find(u'\0')));
      found.label = std::move(label);
    }
  }
  return found;
}

bool bitmapEntryIsPlausible(const ExFatBitmapEntry& b, const ExFatBootParams& p) {
  if (!isHeapCluster(p, b.firstCluster)) return false;
  const std::uint64_t needed = (std::uint64_t(p.clusterCount) + 7) / 8;
  const std::uint64_t room = (std::uint64_t(p.clusterCount) + 2 - b.firstCluster) * p.clusterBytes();
  return b.dataLength >= needed && b.dataLength <= room;
}

bool entrySetFitsVolume(const ExFatEntrySet& s, const ExFatBootParams& p) {
  const std::uint64_t volumeBytes = p.volumeLength > UINT64_MAX / 512 ? UINT64_MAX : p.volumeLength * 512;
  return s.validDataLength <= volumeBytes && (s.firstCluster == 0 || isHeapCluster(p, s.firstCluster));
}

bool IsDirectoryCluster(ByteView cluster) {
  bool secondary = false;
  for (std::size_t pos = 0; cluster.has(pos, e::kSize); pos += e::kSize) {
    const std::uint8_t type = *cluster.u8(pos);
    if (isStreamEntry(type) || isNameEntry(type)) {
      secondary = true;
    } else if (type != 0x00 && !isSystemEntry(type) && !isFileEntry(type)) {
      return false;
    }
  }
  return secondary;  // a cluster of zeros has none
}

}  // namespace qelda::fs::exfat
