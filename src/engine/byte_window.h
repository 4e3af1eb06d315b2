// The one bounds-checked window through which the length finders read a file found by its
// signature. Offsets are 64-bit byte offsets from the file's first byte; the window reads
// the source in blocks through a sector reader, never past the source's end, and every read
// that does not fit (or cannot be read) gives nothing instead of bytes. It keeps the last few
// blocks it read, so that a walk going back and forth between two distant tables (a TIFF's
// strip offsets and strip sizes) reads each block once, not once per element.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/byte_view.h"

namespace qelda::engine {

// Reads sectorCount 512-byte sectors at an absolute sector of the source into buffer;
// false when they could not be read. May be called from several threads at once.
using SectorReader = std::function<bool(std::uint64_t absoluteSector, std::uint8_t* buffer, std::uint32_t sectorCount)>;

inline constexpr std::uint32_t kSectorBytes = 512;

class ByteWindow {
 public:
  static constexpr std::size_t kDefaultBlockBytes = 64 * 1024;
  // The longest run of bytes handed out at once; longer questions are asked piece by piece.
  static constexpr std::size_t kMaxSpanBytes = 4 * 1024 * 1024;
  // Blocks kept at once; the least recently used one is read over.
  static constexpr std::size_t kKeptBlocks = 4;
  // The first read asks for this much at most, and each later one for twice the one before,
  // up to the block size: most signatures are turned down after a few fields, and a scan
  // tries one at every sector.
  static constexpr std::size_t kFirstBlockBytes = 1024;

  // The file that starts at absolute sector firstSector; the source ends before endSector.
  // The reader must outlive the window.
  ByteWindow(const SectorReader& reader, std::uint64_t firstSector, std::uint64_t endSector,
             std::size_t blockBytes = kDefaultBlockBytes);

  // Bytes from the file's start to the source's end.
  std::uint64_t size() const { return size_; }
  // True when [offset, offset + length) lies before the source's end; cannot overflow.
  bool inside(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  // [offset, offset + length) as a view that stays valid until the next call on this window.
  std::optional<platform::ByteView> bytes(std::uint64_t offset, std::size_t length);
  // Up to maxLength bytes from offset, fewer where the source ends; nothing when not even one
  // byte can be read there.
  std::optional<platform::ByteView> bytesUpTo(std::uint64_t offset, std::size_t maxLength);
  bool copy(std::uint64_t offset, std::span<std::uint8_t> out);

  // Where the file's first byte lies on the source, in bytes.
  std::uint64_t firstByte() const { return firstSector_ * kSectorBytes; }
  // Bytes the window holds in memory now.
  std::size_t heldBytes() const;

  std::optional<std::uint8_t> u8(std::uint64_t offset) {
    if (offset - cacheOffset_ < cacheLength_ && offset >= cacheOffset_) return cache_[offset - cacheOffset_];
    const auto v = bytes(offset, 1);
    if (!v) return std::nullopt;
    return v->data()[0];
  }
  std::optional<std::uint16_t> le16(std::uint64_t offset) { return field<std::uint16_t>(offset, false); }
  std::optional<std::uint32_t> le32(std::uint64_t offset) { return field<std::uint32_t>(offset, false); }
  std::optional<std::uint64_t> le64(std::uint64_t offset) { return field<std::uint64_t>(offset, false); }
  std::optional<std::uint16_t> be16(std::uint64_t offset) { return field<std::uint16_t>(offset, true); }
  std::optional<std::uint32_t> be32(std::uint64_t offset) { return field<std::uint32_t>(offset, true); }
  std::optional<std::uint64_t> be64(std::uint64_t offset) { return field<std::uint64_t>(offset, true); }
  // True when the bytes at offset equal the 8-bit text.
  bool matches(std::uint64_t offset, std::string_view text);

  // Where the pattern first starts in [from, to) (the whole pattern inside it); the search
  // reads contiguous blocks that overlap by the pattern's length less one, so a pattern across
  // two blocks is found. `reached` is where the search ended: `to` (or the source's end) when
  // nothing was found, less when a read failed or a stop was requested.
  struct FindResult {
    std::optional<std::uint64_t> at;
    std::uint64_t reached = 0;
  };
  FindResult find(std::uint64_t from, std::uint64_t to, std::span<const std::uint8_t> pattern,
                  const std::atomic<std::uint32_t>* stop = nullptr);

 private:
  template <class T>
  std::optional<T> field(std::uint64_t offset, bool bigEndian) {
    const auto v = bytes(offset, sizeof(T));
    if (!v) return std::nullopt;
    const std::uint8_t* p = v->data();
    T r = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
      r = bigEndian ? T((r << 8) | p[i]) : T(r | T(T(p[i]) << (8 * i)));
    return r;
  }
  struct Block {
    std::vector<std::uint8_t> data;
    std::uint64_t offset = 0;  // sector-aligned offset of data[0]
    std::size_t length = 0;    // valid bytes in data
    std::uint64_t lastUse = 0;
  };
  bool load(std::uint64_t offset, std::size_t length);
  void use(Block& block);

  const SectorReader* reader_;
  std::uint64_t firstSector_;
  std::uint64_t size_;
  std::size_t blockBytes_;
  Block blocks_[kKeptBlocks];
  std::uint64_t uses_ = 0;
  std::size_t nextLoadBytes_ = kFirstBlockBytes;
  // The block used last, for the quick path of u8.
  const std::uint8_t* cache_ = nullptr;
  std::uint64_t cacheOffset_ = 0;
  std::size_t cacheLength_ = 0;
};

}  // namespace qelda::engine
