// Questions asked of one MFT record (1024 bytes, or 2048 or 4096 as its header says): is it a file record, where are its data or
// its index, what are its name, parent and times, which runs hold its clusters.
// Free functions over bytes: none of them reads the volume.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fs/data_runs.h"
#include "fs/ntfs_layout.h"
#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::fs::ntfs {

using platform::ByteView;
using platform::Parsed;
using platform::ParseError;

// One record as read: room for the largest record, and the bytes that were read into it
// (1024 until sized otherwise). Views and spans of it cover those bytes only.
class RecordBuffer {
 public:
  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return size_; }
  std::uint8_t* begin() { return bytes_.data(); }
  std::uint8_t* end() { return bytes_.data() + size_; }
  const std::uint8_t* begin() const { return bytes_.data(); }
  const std::uint8_t* end() const { return bytes_.data() + size_; }
  std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return bytes_[i]; }
  // At most the largest record.
  void resize(std::size_t bytes) { size_ = std::min(bytes, bytes_.size()); }

 private:
  std::array<std::uint8_t, layout::kMaxRecordSize> bytes_{};
  std::size_t size_ = layout::kRecordSize;
};

// The record's size as its header gives it (offset 0x1C): 2048 or 4096 when it says so and
// its fixup array has a word for each 512 bytes of that; 1024 for every other record. Every
// question below reads no further into the record than this.
std::size_t recordSizeOf(ByteView record);

// The whole signature test: "FILE*" (array at 0x2A) or "FILE0" (array at 0x30), and not a
// record that says it is 2048 or 4096 bytes long unless its fixup array agrees and the view
// holds all of it.
bool hasRecordSignature(ByteView record);

// After the signature test, puts each 512-byte stride's own replacement word back into its
// last two bytes. The update sequence number itself is not compared: a torn record is still
// worth reading when recovering. False (record untouched) when the signature fails.
bool ApplyRecordFixup(std::span<std::uint8_t> record);

// Where index entries inside the record must start before: 940 in a 1024-byte record, as
// far from the end in a larger one.
std::size_t recordEntryLimit(ByteView record);

// One attribute header that lies wholly inside the record.
struct AttributeRef {
  std::uint16_t offset = 0;
  std::uint8_t type = 0;  // low byte of the type
  std::uint32_t length = 0;
  bool nonResident = false;
  std::uint8_t nameLength = 0;
  std::uint16_t flags = 0;
};

enum class WalkEnd : std::uint8_t { EndMarker, Cap, Broken };

struct AttributeWalk {
  std::vector<AttributeRef> attributes;
  WalkEnd end = WalkEnd::Broken;
};

// The attributes from the record's first-attribute offset on, at most maxCount of them.
// An attribute whose header or length leaves the record, or whose length is too short to
// move the walk forward, ends the walk as Broken.
AttributeWalk walkAttributes(ByteView record, int maxCount);

// The resident value of an attribute, cut to what lies inside both the attribute and the record.
std::optional<ByteView> residentValue(ByteView record, const AttributeRef& attr);

// Where a record's data or index lies.
inline constexpr std::uint8_t kKindFile = 0x20;
inline constexpr std::uint8_t kKindFolder = 0x10;
inline constexpr std::uint8_t kContentPlain = 0;
inline constexpr std::uint8_t kContentCompressed = 1;
inline constexpr std::uint8_t kContentEncrypted = 2;

struct RecordData {
  std::uint16_t offset = 0;           // resident: the attribute (or first root entry); else the run list
  bool resident = false;
  std::uint8_t kind = 0;              // kKindFile or kKindFolder
  std::uint16_t rootEntryOffset = 0;  // first entry of a non-empty $INDEX_ROOT beside an allocation; 0: none
  std::uint8_t contentFlag = kContentPlain;
  bool hasAttributeList = false;
  std::uint16_t attributeOffset = 0;  // the attribute found; 0 when only the kind is known
  bool dataCompressed = false;        // the $DATA attribute is stored compressed (its own flags)
  std::uint32_t indexBlockSize = 0;   // from $INDEX_ROOT when the record has one
};

// Finds the data (file) or the index (folder variant) of a fixed-up record.
Parsed<RecordData> FindRecordData(ByteView record, bool folderVariant);

// Names, parent and times of a fixed-up record.
std::optional<std::u16string> GetRecordFileName(ByteView record);
std::optional<std::u16string> GetRecordLongFileName(ByteView record);
std::uint32_t GetRecordParent(ByteView record);
struct RecordTimes {
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
};
RecordTimes GetRecordTimes(ByteView record);

// Decodes the mapping pairs at `offset` of `bytes` and appends them to `runs` ("S" for the
// first run of this call, "M" after). Returns the sectors covered. Every run's bytes are
// checked to lie inside `bytes` before they are read. A list that ends without its zero
// byte is kept only with acceptUnterminated; otherwise this call's runs are taken back
// and the result is 0. `offset` is left after the last run read.
std::uint64_t DecodeDataRuns(ByteView bytes, std::size_t& offset, std::vector<RunEntry>& runs,
                             bool acceptUnterminated, std::uint32_t sectorsPerCluster,
                             bool* terminated = nullptr);

// The clusters a non-resident $DATA's runs cover, walked from the run list within the
// record: 0 when a run has no offset field (sparse) or a length or offset field of more than
// four bytes. `firstCluster` takes the first run's offset field.
std::uint64_t CountRunClusters(ByteView record, const RecordData& data, std::uint64_t& firstCluster);

// The cluster size, in 512-byte sectors, a file record's own $DATA gives: its allocated
// size over the clusters its runs map (holes included), when the record holds all of the
// stream (no attribute list, its runs from the first cluster to the last the attribute
// names) and the two make a valid size; 0 otherwise.
std::uint32_t recordClusterSectors(ByteView record);

// The record number a "FILE0" record gives itself; nothing for "FILE*" records, whose
// header holds fixup words there.
std::optional<std::uint32_t> storedRecordNumber(ByteView record);

// Whether `extension` (a fixed-up record) still holds attributes of the base record `base`,
// whose own header `baseRecord` is: its base reference names that record, with the sequence
// number the base has now or, when the base is deleted, the one it had before it was freed
// (freeing a record counts its sequence up, and a freed record's extensions keep the old one).
// An extension left by an earlier file of that record number names an older sequence.
bool extendsRecord(ByteView extension, std::uint64_t base, ByteView baseRecord);

// The name and parent of the $FILE_NAME a driver took out of an extension record when its
// file was deleted: the attribute was the record's last, so the end marker now lies where its
// header began and its value still follows the marker. Nothing unless a whole name lies there.
struct RemovedFileName {
  std::u16string name;
  std::uint32_t parent = 0;
};
std::optional<RemovedFileName> removedFileName(ByteView record);

// One entry of an $ATTRIBUTE_LIST value.
struct AttributeListEntry {
  std::uint8_t type = 0;
  std::uint8_t nameLength = 0;
  std::uint64_t startVcn = 0;
  std::uint32_t record = 0;
};
// Entries in list order; an entry shorter than its fixed part, or leaving the value, ends the list.
std::vector<AttributeListEntry> parseAttributeList(ByteView content);

// The records that hold pieces of the unnamed $DATA or of the folder index, in list order,
// each once; `skipRecord` (the base record when the caller decodes it itself) is left out.
std::vector<std::uint32_t> ReadAttributeListRecords(ByteView content, std::optional<std::uint32_t> skipRecord);

}  // namespace qelda::fs::ntfs
