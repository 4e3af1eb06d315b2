// The 32-byte directory entries of FAT: short names (code page 437), long names collected
// backwards from their short entry, and the signatures that confirm where a deleted file's
// data begins. Pure: the bytes come from the caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fs/fat_layout.h"
#include "platform/byte_view.h"

namespace qelda::fs::fat {

// Fields of one entry; `e` must hold 32 bytes.
std::uint32_t entryFirstCluster(platform::ByteView e);
std::uint8_t entryAttributes(platform::ByteView e);
bool entryIsDeleted(platform::ByteView e);

// Code page 437, the code page short names are written in.
char16_t cp437ToUnicode(std::uint8_t byte);

// An entry's name, long or short, held in place: at most dirent::kMaxLongName units, so a
// walk fills one again for every entry without allocating. Copies take only the units held.
class EntryName {
 public:
  EntryName() = default;
  EntryName(const EntryName& other) { *this = other; }
  EntryName& operator=(const EntryName& other) {
    size_ = other.size_;
    for (std::size_t i = 0; i < size_; ++i) units_[i] = other.units_[i];
    return *this;
  }
  std::u16string_view view() const { return {units_.data(), size_}; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }
  // Adds `count` units; false (and nothing added) when the name would pass the cap.
  bool append(const char16_t* units, std::size_t count) {
    if (count > units_.size() - size_) return false;
    for (std::size_t i = 0; i < count; ++i) units_[size_ + i] = units[i];
    size_ += count;
    return true;
  }
  // Room for `count` more units after the name, or null when they would pass the cap;
  // commit(n) then keeps the first n written there (n at most `count`).
  char16_t* room(std::size_t count) { return count <= units_.size() - size_ ? units_.data() + size_ : nullptr; }
  void commit(std::size_t count) { size_ += count; }

 private:
  std::array<char16_t, dirent::kMaxLongName> units_;  // only the first size_ are ever read
  std::size_t size_ = 0;
};

// The short name into `out`: the base without the blanks that pad its end, "." and the
// extension (without its padding) when it has one; blanks inside either part are kept. The
// letters A to Z of the base, or of the extension, in lower case where the case flags of byte
// 12 say so; the first character becomes "X" when deleted, and a stored first byte 0x05 is
// read as the 0xE5 it stands for. Empty when the base is empty or begins with a blank.
void shortEntryName(platform::ByteView e, bool deleted, EntryName& out);
// The short extension, without the blanks that pad its end.
std::u16string shortEntryExtension(platform::ByteView e);

struct LongName {
  bool found = false;    // a whole long name stands before the short entry
  bool tooLong = false;  // more than 260 characters: the entry is given up
  bool reachedStart = false;  // the walk reached the start of the buffer still in the name
  EntryName name;        // the characters collected (the name only when found)
};

// Collects the long-name entries that stand before the short entry at entryOffset of
// `buffer`, nearest first. When the walk reaches the start of `buffer` it goes on from the
// last entry of `previousTail` (the end of the directory's previous cluster; may be empty).
// Each entry contributes its characters up to its first 0x0000; padding is never taken.
// A name is whole only with all its pieces: of a live entry, pieces numbered 1, 2, ... up to
// the one marked last, each carrying the short entry's checksum; of a deleted entry (whose
// pieces' numbers are overwritten), pieces of one checksum up to the one where the name ends,
// or, when the name fills its last piece, up to the last piece before another entry,
// provided the name still ends in the short entry's extension. Anything less is no name
// (the short entry's name stands), whatever of it was collected.
LongName collectLongName(platform::ByteView buffer, std::size_t entryOffset, platform::ByteView previousTail);

// The extension a deleted file's signature test looks at: after the last "." of a long name
// (the whole name without one), at most 4 characters; a view into `name`.
std::u16string_view longNameExtension(std::u16string_view name);

// Signature check for a deleted file's first sector, chosen by its extension: nothing when no
// keyword applies, else whether `sector` begins as such a file does.
std::optional<bool> deletedFileSignatureMatches(std::u16string_view extension, platform::ByteView sector);

// How far an entry can be judged without reading the volume.
enum class EntryVerdict : std::uint8_t {
  Refused,             // not an entry: the attribute, cluster, size, name or date cannot be
  Skipped,             // a long-name part, a volume label or an entry without a first cluster
  Usable,              // a file entry that passes every test
  DirectoryToConfirm   // a folder entry: refused unless its first cluster starts with dot
                       // entries, then as entryIsPassedOver says
};
// Where the entry being judged lies.
enum class EntrySite : std::uint8_t {
  Folder,       // in a folder reached through the volume's own records, or in a cluster
                // already taken as directory data: an entry without archive, directory or
                // label bit is a plain file (its archive bit cleared by a backup, or written
                // read-only, hidden or system without it)
  UnknownData   // in a cluster being judged as directory data: such entries are refused,
                // since small values fill the bytes of files far more often than entries
};
// The checks of a 32-byte entry that need no reading: attribute 0x0F is a long-name part;
// above 0x3F, a first cluster above maxCluster, a size beyond the data area, a zero byte in
// the name, a last-write date without month or day, or (archive entries) one of
// \ / : * ? " < > | in the name refuse it; so does an attribute below 0x08 in unknown data.
EntryVerdict entryVerdictWithoutReads(platform::ByteView e, std::uint32_t maxCluster, std::uint64_t dataSectors,
                                      EntrySite site);
// Entries that never name an item: "." and ".." entries, the end mark, long-name parts and
// volume labels. `e` holds the entry's 32 bytes.
// Inline: the walk asks it of every entry.
inline bool entryNamesNoItem(platform::ByteView e) {
  const std::uint8_t first = e.u8(dirent::kName).value_or(dirent::kEndMark);
  const std::uint8_t attr = e.u8(dirent::kAttributes).value_or(0);
  return first == dirent::kDot || first == dirent::kEndMark || attr == dirent::kAttrLongName ||
         (attr & dirent::kAttrLabel) != 0;
}
// An entry without a first cluster, or a volume label: passed over without ending the directory.
bool entryIsPassedOver(platform::ByteView e);

// False when a cluster cannot pass as directory entries however its folder entries turn out:
// its entries, long-name parts and the like passed over, end or meet a refused entry (judged
// as unknown data) before any usable one. Lets a pass over many clusters skip those without
// reading them again.
bool mayHoldDirectoryEntries(platform::ByteView cluster, std::uint32_t maxCluster, std::uint64_t dataSectors);

// A directory's first sector begins with the "." entry and has "." as the first byte of
// its second entry.
bool startsWithDotEntries(platform::ByteView sector);

}  // namespace qelda::fs::fat
