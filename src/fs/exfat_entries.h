// exFAT directories as the walks read them: one contiguous stream of a directory's
// clusters, in which file entry sets (a file entry, its stream extension and its name
// entries) may cross cluster boundaries. Pure: the engine reads the clusters and hands the
// bytes over; offsets count bytes from the start of the stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fs/exfat_boot.h"
#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs::exfat {

struct ExFatEntrySet {
  std::uint32_t offset = 0;     // of the file entry
  std::uint32_t lastEntry = 0;  // offset of the last entry the set took
  std::uint32_t end = 0;        // one past the last entry the set took
  bool deleted = false;         // the file entry is 0x05
  std::uint8_t secondaryCount = 0;  // as stored; 0 lets the set take up to 256 entries
  std::uint8_t attributes = 0;      // low byte of the attribute field
  std::uint64_t created = 0;        // the timestamp in the high 32 bits, as found items keep it
  std::uint64_t modified = 0;
  // From the set's stream extension (the last one, should a damaged set hold several).
  bool hasStream = false;
  std::uint8_t streamFlags = 0;
  std::uint8_t nameLength = 0;
  std::uint64_t validDataLength = 0;
  std::uint64_t dataLength = 0;
  std::uint32_t firstCluster = 0;
  // Offset of the first stream extension whose name length is 0, if any.
  std::optional<std::uint32_t> emptyNameStream;
  // At most nameLength characters of each stream's name entries, 255 in all, up to the
  // first zero character.
  std::u16string name;

  bool isFolder() const;
  bool noFatChain() const;
  // The data follows the FAT chain: a stream extension is there and NoFatChain is clear.
  bool followsChain() const;
  // A folder's directory length: its data length, or its valid data length where a
  // damaged stream has none.
  std::uint64_t directoryLength() const { return dataLength ? dataLength : validDataLength; }
};

// The root walk reports every set; a folder walk gives up sets whose stream extension has
// name length 0 and drops sets with an empty name.
enum class ExFatWalkKind : std::uint8_t { Root, Folder };

// Walks a directory stream as the tree walks do: a file entry (0x85 or 0x05) starts a set
// that takes up to its secondary count of stream extensions and name entries (in use or
// deleted) and ends at any other type or at the stream's end; bitmap, up-case and label
// entries are stepped over whole; any other type, 0x00 included, by 16 bytes. A set given
// up or dropped by a folder walk resumes 16 bytes into its last entry read, so no entry
// boundary is passed unseen. Streams longer than the largest directory are read only that
// far.
//
// A walk made without a stream takes the directory a window at a time (feed), no more of
// it than the walk needs to go on, so that a directory claiming far more than it holds
// costs no more memory than one set; such a walk also ends at the end-of-directory entry
// (type 0x00 at an entry boundary), after which a directory holds nothing.
class ExFatDirectoryWalk {
 public:
  // The most bytes one set can take: its file entry and 256 secondaries.
  static constexpr std::size_t kSetSpan = 257 * 32;

  ExFatDirectoryWalk(platform::ByteView stream, ExFatWalkKind kind);
  explicit ExFatDirectoryWalk(ExFatWalkKind kind);
  // The directory's bytes from stream offset `start` (at or before position()) on; `last`:
  // nothing follows them. The bytes must stay put until the next feed.
  void feed(platform::ByteView window, std::uint32_t start, bool last);
  // The next set the walk reports; nothing at the stream's end, or when a windowed walk
  // needs the bytes after its window (needsBytes()).
  std::optional<ExFatEntrySet> next();
  bool needsBytes() const { return needsBytes_; }
  // How many bytes from position() on the window must hold for the walk to go on.
  std::size_t bytesWanted() const { return wanted_; }
  // A windowed walk met the end-of-directory entry.
  bool ended() const { return ended_; }
  std::uint32_t position() const { return pos_; }

 private:
  platform::ByteView stream_;
  ExFatWalkKind kind_;
  std::uint32_t pos_ = 0;
  std::uint32_t base_ = 0;  // stream offset of stream_'s first byte
  bool windowed_ = false;
  bool last_ = true;
  bool needsBytes_ = false;
  std::size_t wanted_ = 1;
  bool ended_ = false;
};

// The set whose file entry lies at `offset`, parsed as the walk does.
// Truncated: the file entry does not fit. NotThisFormat: the entry is not 0x85 or 0x05.
// OutOfRange: the stream extension's name length is 0, or the name is empty.
platform::Parsed<ExFatEntrySet> parseEntrySetAt(platform::ByteView stream, std::uint32_t offset);

// The root directory's system entries.
struct ExFatBitmapEntry {
  std::uint8_t flags = 0;  // bit 0: the bitmap of the second FAT
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;
};
struct ExFatUpcaseEntry {
  std::uint32_t checksum = 0;
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;
};
struct ExFatRootEntries {
  std::optional<ExFatBitmapEntry> bitmap;  // the first FAT's, else the first one met
  std::optional<ExFatUpcaseEntry> upcase;
  std::optional<std::u16string> label;
};
// Looks at every 32-byte entry of the root directory's stream.
ExFatRootEntries findRootEntries(platform::ByteView rootStream);

// A bitmap entry the engine may use instead of cluster 2: it starts in the heap, covers
// every cluster and ends inside the heap.
bool bitmapEntryIsPlausible(const ExFatBitmapEntry& e, const ExFatBootParams& p);

// A set a lost folder's walk may report: its valid data length fits in the volume and its
// first cluster is 0 (no data) or a heap cluster.
bool entrySetFitsVolume(const ExFatEntrySet& s, const ExFatBootParams& p);

// A cluster whose every 32-byte entry has a type a directory holds (0x00, 0x81, 0x82,
// 0x83, 0x85, 0x05, 0xC0, 0xC1, 0x40, 0x41), with at least one stream extension or name
// entry among them.
bool IsDirectoryCluster(platform::ByteView cluster);

}  // namespace qelda::fs::exfat
