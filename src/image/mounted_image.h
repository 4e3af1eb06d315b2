// The mounted image as the readers see it: built once by the mount step from the
// application's image description, never changed afterwards, shared by every thread that
// reads. Files are opened once here, and every table an image format needs to find its
// data (grain tables, block maps) is loaded here too, so a read is a table lookup and a
// pread per run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_view.h"
#include "platform/read_only_file.h"

namespace qelda::image {
class ImageState;
}

namespace qelda::image {

// Where a run of consecutive virtual-disk sectors lies.
struct MappedRun {
  const platform::ReadOnlyFile* file = nullptr;  // null: nothing to read there
  std::uint64_t offset = 0;                      // byte offset in `file`
  std::uint64_t sectors = 0;                     // length of the run, at least 1
  bool readable = false;                         // without a file: true for unallocated
                                                 // space (zeros that count as read)
};

// A run of `sectors` that cannot be read, or that reads as zeros and counts as read.
inline MappedRun failedRun(std::uint64_t sectors) { return {nullptr, 0, sectors, false}; }
inline MappedRun zeroRun(std::uint64_t sectors) { return {nullptr, 0, sectors, true}; }

// No disk we can read is larger than this (8 EiB); keeps every byte offset below 2^63.
inline constexpr std::uint64_t kMaxDiskSectors = std::uint64_t(1) << 54;

enum class ImageLayout : std::uint8_t {
  None,         // no image, or one whose layout we cannot read: zeros, result 0
  FlatFile,     // one file of sectors: a VMDK without descriptor, or a fixed VHD
  VmdkExtents,  // a VMDK read through its extent list
  Vdi,
  Vhd,          // a dynamic VHD (a differencing one has no map: every read fails)
};

// --- VMDK sparse extents -------------------------------------------------------------------

// The fields of a sparse extent header we use.
struct SparseExtentHeader {
  std::uint32_t flags = 0;
  std::uint64_t capacity = 0;        // sectors the extent holds
  std::uint64_t grainSectors = 0;
  std::uint32_t tableEntries = 0;    // grain-table entries
  std::uint64_t descriptorOffset = 0;
  std::uint64_t descriptorSectors = 0;
  std::uint64_t redundantDirectory = 0;  // sector
  std::uint64_t directory = 0;           // sector
  bool fromMagic = false;            // false: the defaults stood in for a missing header
};

// The directory a header-less extent is taken to have: monolithic and split extents
// differ in where their redundant grain directory lies.
enum class SparseDefaults : std::uint8_t { Monolithic, Split };

// Parses sector 0 of a sparse extent; without the magic, the defaults stand in.
SparseExtentHeader parseSparseExtentHeader(platform::ByteView sector0, SparseDefaults defaults,
                                           std::uint64_t extentSectors);

// A sparse extent's grain directory and grain tables, loaded once.
class SparseGrainMap {
 public:
  // Null when the extent cannot be read as plain grains (compressed grains, a geometry
  // that makes no sense, no grain directory).
  // `parentHoldsHoles`: the extent of a snapshot, whose unallocated grains are its parent's
  // and cannot be read here.
  static std::shared_ptr<const SparseGrainMap> load(const platform::ReadOnlyFile& file,
                                                    const SparseExtentHeader& header, bool parentHoldsHoles = false);

  // Maps the run at sector `s` of the extent, at most `maxSectors` long.
  MappedRun map(const platform::ReadOnlyFile* file, std::uint64_t s, std::uint64_t maxSectors) const;

  std::uint64_t grainSectors() const { return grainSectors_; }
  std::uint64_t sectors() const { return sectors_; }
  // Grains whose data the file does not hold (their table entry points past its end, or the
  // file ends inside them): the first few, and how many there are in all.
  struct GrainPastEnd {
    std::uint64_t index;
    bool cut;  // the file ends inside the grain
  };
  const std::vector<GrainPastEnd>& grainsPastEnd() const { return grainsPastEnd_; }
  std::uint64_t grainsPastEndCount() const { return grainsPastEndCount_; }

 private:
  enum class Grain : std::uint8_t { Hole, Zero, Data, Unreadable };  // Zero: written as zeros
  struct GrainRef {
    Grain kind;
    std::uint32_t sector;
  };
  static constexpr std::uint32_t kNoTable = 0xFFFFFFFF;        // unallocated table: holes
  static constexpr std::uint32_t kUnloadedTable = 0xFFFFFFFE;  // beyond our memory bound
  GrainRef grain(std::uint64_t index) const;
  void findGrainsPastEnd(std::uint64_t fileBytes);
  static constexpr std::size_t kListedGrains = 8;

  std::uint64_t grainSectors_ = 0;
  std::uint32_t tableEntries_ = 0;
  std::uint64_t sectors_ = 0;  // sectors of the extent the map covers
  bool zeroedGrainEntry_ = false;
  bool holesUnreadable_ = false;
  std::vector<std::uint32_t> tableOfDirectoryEntry_;  // index into tables_, or kNoTable
  std::vector<std::uint32_t> tables_;                 // tableEntries_ grain sectors per table
  std::vector<GrainPastEnd> grainsPastEnd_;
  std::uint64_t grainsPastEndCount_ = 0;
};

// One VMDK extent as mounted.
struct MountedExtent {
  std::uint64_t firstSector = 0;  // first virtual-disk sector it holds
  std::uint64_t sectors = 0;
  std::shared_ptr<const platform::ReadOnlyFile> file;  // null when the file is missing
  std::uint64_t fileOffset = 0;                        // flat: byte offset of its data in the file
  bool sparse = false;
  std::shared_ptr<const SparseGrainMap> grains;        // sparse: null when it cannot be read
};

// --- VDI and VHD block maps ----------------------------------------------------------------

// One bit per index in plain words: walked over tens of millions of blocks, quick in any build.
class BlockBits {
 public:
  // `bits` bits, all clear.
  void clear(std::uint64_t bits) { words_.assign(std::size_t((bits + 63) / 64), 0); }
  bool empty() const { return words_.empty(); }
  bool test(std::uint64_t i) const { return i / 64 < words_.size() && (words_[std::size_t(i / 64)] >> (i % 64)) & 1; }
  void set(std::uint64_t i) { words_[std::size_t(i / 64)] |= std::uint64_t(1) << (i % 64); }

 private:
  std::vector<std::uint64_t> words_;
};

struct VdiBlockMap {
  std::uint64_t blockSectors = 0;
  std::uint64_t dataOffset = 0;         // byte offset of block number 0
  std::uint64_t blockCount = 0;         // blocks of the disk: indexes at or past it fail
  std::vector<std::uint32_t> entries;   // the part of the map the file holds
  bool freeIsUnreadable = false;        // a differencing image: free blocks are the parent's
  // Blocks whose entry names a data block an earlier block already names: which of them
  // owns the data cannot be told, and the repeats are unreadable. A bit per block; empty
  // when no block repeats another.
  BlockBits repeated;
  MappedRun map(const platform::ReadOnlyFile* file, std::uint64_t sector, std::uint64_t maxSectors) const;
};

struct VhdBlockMap {
  std::uint64_t blockSectors = 0;
  std::uint64_t bitmapSectors = 0;      // the sector bitmap in front of every block's data
  std::uint64_t blockCount = 0;         // max table entries: indexes at or past it fail
  std::vector<std::uint32_t> entries;   // the part of the table the file holds
  MappedRun map(const platform::ReadOnlyFile* file, std::uint64_t sector, std::uint64_t maxSectors) const;
};

// --- what the build found damaged ----------------------------------------------------------

// Notes for the user about blocks of a map that cannot be read: one line for each of the
// first few, then how many more there are.
inline constexpr std::string_view kEntryPastEnd = "its entry points past the end of the file; its sectors cannot be read";
inline constexpr std::string_view kDataCutAtEnd =
    "the file ends inside its data; the sectors past the end cannot be read";
class UnreadableBlockNotes {
 public:
  // `what` names the map's blocks ("VHD block"); block b holds disk sectors from
  // firstSector + b * blockSectors on, at most up to diskSectors.
  UnreadableBlockNotes(std::string what, std::uint64_t blockSectors, std::uint64_t firstSector,
                       std::uint64_t diskSectors);
  void add(std::uint64_t block, std::string_view why);
  // True when a block added now is only counted: its reason need not be put into words.
  bool full() const { return lines_.size() >= kListed; }
  // Blocks counted without a line of their own.
  void addUnlisted(std::uint64_t count) { unlisted_ += count; }
  void appendTo(std::vector<std::u16string>& notes) const;

  static constexpr std::size_t kListed = 8;

 private:
  std::string what_;
  std::uint64_t blockSectors_;
  std::uint64_t firstSector_;
  std::uint64_t diskSectors_;
  std::vector<std::u16string> lines_;
  std::uint64_t unlisted_ = 0;
};

// --- the snapshot --------------------------------------------------------------------------

class MountedImage {
 public:
  ImageLayout layout = ImageLayout::None;
  std::uint64_t diskSectors = 0;  // reads at or past this fail

  // FlatFile, Vdi, Vhd: the picked file.
  std::shared_ptr<const platform::ReadOnlyFile> image;
  // FlatFile: sectors at or past this fail (a fixed VHD's footer is not data).
  std::uint64_t flatSectors = 0;
  // VmdkExtents: ordered by firstSector, contiguous from 0.
  std::vector<MountedExtent> extents;
  VdiBlockMap vdi;
  std::optional<VhdBlockMap> vhd;  // Vhd: none for a disk whose blocks we cannot find

  // Set when a read falls beyond the extents of a split image.
  std::atomic<std::uint32_t>* imageCorrupt = nullptr;

  // What the build found that makes part of the disk unreadable or reads it otherwise than
  // the image's writer meant, in words for the user (unreadable map entries, a parent disk
  // that is not read). Empty for a sound image.
  std::vector<std::u16string> notes;

  // Maps the run starting at `sector`, at most `maxSectors` long (maxSectors >= 1).
  MappedRun map(std::uint64_t sector, std::uint64_t maxSectors) const;

 private:
  MappedRun mapExtents(std::uint64_t sector, std::uint64_t maxSectors) const;
};

// Builds the snapshot from the application's current image description.
std::shared_ptr<const MountedImage> buildMountedImage(ImageState& app);

// The VDI and VHD parts of the build (the picked file is already open in `image`).
void buildVdiImage(const ImageState& app, MountedImage& image);
void buildVhdImage(const ImageState& app, MountedImage& image);

// A monolithic sparse file carries its own descriptor, which names the file as it was first
// called: the picked file is its extent whatever that name, and a file of the old name beside
// it (the one it was copied from, another disk) is never read instead.
bool pickedFileIsTheExtent(const ImageState& app);

// Where the extent file `name` of a descriptor lies: an absolute name is that file, any other
// lies beside the image.
std::string extentPath(const std::string& imagePath, const std::string& name);

// The note of a snapshot or differencing image whose parent disk is not read. `parent` names
// it (empty: unknown); `nothingHeld`: without the parent no sector can be read at all.
void noteParentNotRead(MountedImage& image, std::string_view what, std::u16string_view parent, bool nothingHeld);

// A header that claims a longer disk than its block map addresses: the disk is cut to the map
// (work bounded by what the file holds), and a note says what was claimed.
void noteDiskCutToMap(MountedImage& image, std::string_view claimedBy, std::uint64_t claimedBytes,
                      std::uint64_t mapSectors);

// Folder of an image path (up to its last '/'), "." when it has none.
std::string imageFolder(const std::string& imagePath);

}  // namespace qelda::image
