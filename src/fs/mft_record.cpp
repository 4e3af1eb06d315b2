#include "fs/mft_record.h"

#include <algorithm>

#include "fs/ntfs_boot.h"
#include "fs/ntfs_layout.h"

namespace qelda::fs::ntfs {

namespace L = layout;

namespace {
constexpr std::uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;
}  // namespace

std::size_t recordSizeOf(ByteView record) {
  // A larger size is taken only when the fixup array has one word for each 512 bytes of it:
  // a stray size field alone never makes a record read past its first 1024 bytes.
  const std::uint32_t size = record.le32(L::kRecordAllocatedSize).value_or(0);
  if (size != 2048 && size != 4096) return L::kRecordSize;
  return record.le16(L::kRecordUsaCount) == std::uint16_t(size / 512 + 1) ? size : L::kRecordSize;
}

bool hasRecordSignature(ByteView record) {
  if (record.size() < L::kRecordSize || !record.matches(0, "FILE")) return false;
  const auto usa = record.le16(L::kRecordUsaOffset);
  if (!usa || (*usa != L::kUsaOffsetOld && *usa != L::kUsaOffsetNew)) return false;
  // A record that says it is larger than the bytes at hand is not all there; one that says
  // 2048 or 4096 without the fixup words for that size is no record of either.
  const std::uint32_t size = record.le32(L::kRecordAllocatedSize).value_or(0);
  if (size != 2048 && size != 4096) return true;
  return recordSizeOf(record) == size && record.size() >= size;
}

bool ApplyRecordFixup(std::span<std::uint8_t> record) {
  const ByteView view(record);
  if (!hasRecordSignature(view)) return false;
  const std::size_t usa = *view.le16(L::kRecordUsaOffset);
  const std::size_t strides = recordSizeOf(view) / 512;
  // The array starts at 0x2A or 0x30 and holds at most nine words, so every replacement word
  // lies well inside the first sector.
  for (std::size_t sector = 0; sector < strides; ++sector) {
    const std::size_t from = usa + 2 + 2 * sector;
    const std::size_t to = sector * 512 + 510;
    record[to] = record[from];
    record[to + 1] = record[from + 1];
  }
  return true;
}

std::size_t recordEntryLimit(ByteView record) { return L::kRecordEntryLimit + (recordSizeOf(record) - L::kRecordSize); }

AttributeWalk walkAttributes(ByteView record, int maxCount) {
  AttributeWalk walk;
  const std::size_t limit = std::min<std::size_t>(record.size(), recordSizeOf(record));
  std::size_t offset = record.le16(L::kRecordFirstAttribute).value_or(0);
  for (int i = 0; i < maxCount; ++i) {
    if (offset >= limit) return walk;  // Broken
    const auto type = record.le32(offset + L::kAttrType);
    if (!type) return walk;
    if ((*type & 0xFF) == L::kTypeEnd) {
      walk.end = WalkEnd::EndMarker;
      return walk;
    }
    const auto length = record.le32(offset + L::kAttrLength);
    // A resident header is the shortest an attribute can be; anything shorter cannot hold
    // the fields read below and would not move the walk on.
    if (!length || *length < L::kResidentHeaderSize || *length > limit - offset) return walk;
    AttributeRef a;
    a.offset = std::uint16_t(offset);
    a.type = std::uint8_t(*type & 0xFF);
    a.length = *length;
    a.nonResident = record.u8(offset + L::kAttrNonResident).value_or(0) != 0;
    a.nameLength = record.u8(offset + L::kAttrNameLength).value_or(0);
    a.flags = record.le16(offset + L::kAttrFlags).value_or(0);
    if (a.nonResident && a.length < L::kNonResidentHeaderSize) return walk;
    walk.attributes.push_back(a);
    offset += *length;
  }
  walk.end = WalkEnd::Cap;
  return walk;
}

std::optional<ByteView> residentValue(ByteView record, const AttributeRef& attr) {
  if (attr.nonResident) return std::nullopt;
  const auto valueLength = record.le32(attr.offset + L::kAttrValueLength);
  const auto valueOffset = record.le16(attr.offset + L::kAttrValueOffset);
  if (!valueLength || !valueOffset || *valueOffset > attr.length) return std::nullopt;
  const std::size_t start = std::size_t(attr.offset) + *valueOffset;
  const std::size_t room = std::size_t(attr.length) - *valueOffset;
  return record.sub(start, std::min<std::size_t>(*valueLength, room));
}

namespace {

// Offset of the first index entry inside a resident $INDEX_ROOT, and the block size it names.
struct RootInfo {
  std::size_t firstEntry = 0;
  std::uint32_t blockSize = 0;
  bool empty = true;
};

std::optional<RootInfo> indexRootInfo(ByteView record, const AttributeRef& root) {
  const auto value = residentValue(record, root);
  if (!value || value->size() < 0x20) return std::nullopt;
  RootInfo info;
  info.blockSize = value->le32(L::kIndexRootBlockSize).value_or(0);
  const std::size_t valueStart = std::size_t(value->data() - record.data());
  const std::uint32_t entriesOffset = value->le32(0x10).value_or(0);
  if (entriesOffset > value->size()) return std::nullopt;
  info.firstEntry = valueStart + 0x10 + entriesOffset;
  if (!record.has(info.firstEntry, 0x10)) return std::nullopt;
  const std::uint16_t flags = record.le16(info.firstEntry + L::kIeFlags).value_or(L::kIeFlagLast);
  info.empty = (flags & L::kIeFlagLast) != 0;
  return info;
}

}  // namespace

Parsed<RecordData> FindRecordData(ByteView record, bool folderVariant) {
  if (!hasRecordSignature(record)) return ParseError::NotThisFormat;
  RecordData d;
  const AttributeWalk walk = walkAttributes(record, L::kMaxAttributes);
  const auto& attrs = walk.attributes;
  for (std::size_t i = 0; i < attrs.size(); ++i) {
    const AttributeRef& a = attrs[i];
    switch (a.type) {
      case L::kTypeStandardInformation: {
        const auto value = residentValue(record, a);
        if (value && value->u8(L::kSiAttributesByte1) == std::uint8_t{0x08}) d.contentFlag = kContentCompressed;
        break;
      }
      case L::kTypeAttributeList:
        d.hasAttributeList = true;
        break;
      case L::kTypeData: {
        // The folder variant looks past a $DATA, except when it is the last attribute it may examine.
        if (folderVariant && i + 1 != std::size_t(L::kMaxAttributes)) break;
        d.kind = kKindFile;
        d.attributeOffset = a.offset;
        d.dataCompressed = a.nonResident && (a.flags & L::kAttrFlagCompressionMask) != 0;
        if (!folderVariant && d.contentFlag == kContentPlain) {
          if (d.dataCompressed) d.contentFlag = kContentCompressed;
          else if (a.flags == L::kAttrFlagEncrypted) d.contentFlag = kContentEncrypted;
        }
        if (!a.nonResident) {
          d.offset = a.offset;
          d.resident = true;
          return d;
        }
        const std::uint16_t runs = record.le16(a.offset + L::kAttrRunListOffset).value_or(0);
        if (runs >= a.length) return ParseError::OutOfRange;
        d.offset = std::uint16_t(a.offset + runs);
        return d;
      }
      case L::kTypeIndexAllocation: {
        if (!a.nonResident) return ParseError::OutOfRange;
        const std::uint16_t runs = record.le16(a.offset + L::kAttrRunListOffset).value_or(0);
        if (runs >= a.length) return ParseError::OutOfRange;
        d.kind = kKindFolder;
        d.attributeOffset = a.offset;
        d.offset = std::uint16_t(a.offset + runs);
        return d;
      }
      case L::kTypeIndexRoot: {
        const auto root = indexRootInfo(record, a);
        if (root) d.indexBlockSize = root->blockSize;
        d.kind = kKindFolder;
        if (i + 1 < attrs.size() && attrs[i + 1].type == L::kTypeIndexAllocation && attrs[i + 1].nonResident) {
          const AttributeRef& alloc = attrs[i + 1];
          const std::uint16_t runs = record.le16(alloc.offset + L::kAttrRunListOffset).value_or(0);
          if (runs >= alloc.length) return ParseError::OutOfRange;
          d.attributeOffset = alloc.offset;
          d.offset = std::uint16_t(alloc.offset + runs);
          if (root && !root->empty) d.rootEntryOffset = std::uint16_t(root->firstEntry);
          return d;
        }
        if (d.hasAttributeList) return d;  // the allocation lives in another record
        if (!root) return ParseError::OutOfRange;
        d.attributeOffset = a.offset;
        d.offset = std::uint16_t(root->firstEntry);
        d.resident = true;
        return d;
      }
      default:
        break;
    }
  }
  if (walk.end != WalkEnd::Broken && d.hasAttributeList) {
    d.kind = kKindFolder;
    return d;
  }
  return walk.end == WalkEnd::Broken ? ParseError::OutOfRange : ParseError::NotThisFormat;
}

namespace {

struct FileNameRef {
  std::uint32_t parent = 0;
  std::uint8_t nameSpace = 0;
  std::u16string name;
};

std::optional<FileNameRef> readFileName(ByteView record, const AttributeRef& a) {
  if (a.type != L::kTypeFileName) return std::nullopt;
  const auto value = residentValue(record, a);
  if (!value) return std::nullopt;
  const auto length = value->u8(L::kFnNameLength);
  const auto nameSpace = value->u8(L::kFnNameSpace);
  if (!length || !nameSpace || *length == 0) return std::nullopt;
  auto name = value->utf16le(L::kFnName, *length);
  if (!name) return std::nullopt;
  return FileNameRef{value->le32(L::kFnParent).value_or(0), *nameSpace, std::move(*name)};
}

}  // namespace

std::optional<std::u16string> GetRecordFileName(ByteView record) {
  if (!hasRecordSignature(record)) return std::nullopt;
  const AttributeWalk walk = walkAttributes(record, L::kMaxAttributes);
  const auto& attrs = walk.attributes;
  for (std::size_t i = 0; i < attrs.size(); ++i) {
    if (attrs[i].type != L::kTypeFileName) continue;
    auto first = readFileName(record, attrs[i]);
    if (!first) return std::nullopt;
    // A Win32 name is followed by its twin; take the twin when it is a sound $FILE_NAME.
    if (first->nameSpace == 1 && i + 1 < attrs.size()) {
      if (auto next = readFileName(record, attrs[i + 1])) return std::move(next->name);
    }
    return std::move(first->name);
  }
  return std::nullopt;
}

std::optional<RemovedFileName> removedFileName(ByteView record) {
  if (!hasRecordSignature(record) || (record.le64(L::kRecordBaseReference).value_or(0) & kRecordNumberMask) == 0)
    return std::nullopt;
  const AttributeWalk walk = walkAttributes(record, L::kMaxAttributes);
  if (walk.end != WalkEnd::EndMarker) return std::nullopt;
  const std::size_t marker = walk.attributes.empty() ? record.le16(L::kRecordFirstAttribute).value_or(0)
                                                     : walk.attributes.back().offset + std::size_t(walk.attributes.back().length);
  // The marker took the attribute's first eight bytes (type and length); its value's length
  // and offset follow them. A name's value sits right after a resident header of no name.
  const std::size_t limit = std::min<std::size_t>(record.size(), recordSizeOf(record));
  const std::uint32_t valueLength = record.le32(marker + L::kAttrValueLength).value_or(0);
  if (record.le16(marker + L::kAttrValueOffset) != std::uint16_t{L::kResidentHeaderSize} || valueLength < L::kFnName ||
      valueLength > limit)
    return std::nullopt;
  const AttributeRef stale{std::uint16_t(marker), L::kTypeFileName, std::uint32_t(L::kResidentHeaderSize + valueLength),
                           false, 0, 0};
  if (marker + stale.length > limit) return std::nullopt;
  auto fn = readFileName(record, stale);
  // The whole value is the name's: its length says so, and no character of it is NUL.
  if (!fn || fn->parent == 0 || fn->nameSpace > 3 || L::kFnName + 2 * fn->name.size() != valueLength ||
      fn->name.find(u'\0') != std::u16string::npos)
    return std::nullopt;
  return RemovedFileName{std::move(fn->name), fn->parent};
}

bool extendsRecord(ByteView extension, std::uint64_t base, ByteView baseRecord) {
  const std::uint64_t reference = extension.le64(L::kRecordBaseReference).value_or(0);
  if ((reference & kRecordNumberMask) != base || base == 0) return false;
  const std::uint16_t named = std::uint16_t(reference >> 48);
  const std::uint16_t sequence = baseRecord.le16(L::kRecordSequence).value_or(0);
  if (named == sequence) return true;
  const bool baseInUse = (baseRecord.u8(L::kRecordFlags).value_or(0) & L::kRecordInUse) != 0;
  // Sequence numbers skip 0 when they wrap.
  const std::uint16_t before = sequence == 1 ? 0xFFFF : std::uint16_t(sequence - 1);
  return !baseInUse && sequence != 0 && named == before;
}

std::optional<std::u16string> GetRecordLongFileName(ByteView record) {
  if (!hasRecordSignature(record)) return std::nullopt;
  for (const AttributeRef& a : walkAttributes(record, L::kMaxAttributes).attributes) {
    if (a.type != L::kTypeFileName) continue;
    const std::optional<FileNameRef> fn = readFileName(record, a);
    if (fn && fn->nameSpace != 2) return fn->name;
  }
  return std::nullopt;
}

std::uint32_t GetRecordParent(ByteView record) {
  if (!hasRecordSignature(record)) return 0;
  for (const AttributeRef& a : walkAttributes(record, L::kMaxAttributes).attributes) {
    if (a.type != L::kTypeFileName) continue;
    const auto value = residentValue(record, a);
    return value ? value->le32(L::kFnParent).value_or(0) : 0;
  }
  return 0;
}

RecordTimes GetRecordTimes(ByteView record) {
  RecordTimes t;
  if (!hasRecordSignature(record)) return t;
  for (const AttributeRef& a : walkAttributes(record, 10).attributes) {
    if (a.type != L::kTypeStandardInformation) continue;
    const auto value = residentValue(record, a);
    if (!value || value->size() < 16) return t;
    t.created = *value->le64(L::kSiCreated);
    t.modified = *value->le64(L::kSiModified);
    return t;
  }
  return t;
}

std::uint64_t DecodeDataRuns(ByteView bytes, std::size_t& offset, std::vector<RunEntry>& runs,
                             bool acceptUnterminated, std::uint32_t sectorsPerCluster, bool* terminated) {
  const std::size_t firstRun = runs.size();
  std::uint64_t sectors = 0;
  bool ended = false;
  if (terminated) *terminated = false;
  if (offset >= bytes.size() || bytes.u8(offset) == std::uint8_t{0}) return 0;
  while (offset < bytes.size()) {
    const std::uint8_t header = *bytes.u8(offset);
    if (header == 0) {
      ended = true;
      break;
    }
    const unsigned lengthBytes = header & 0x0F;
    const unsigned offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 4 || offsetBytes > 4) break;
    if (!bytes.has(offset + 1, lengthBytes + offsetBytes)) break;
    RunEntry r;
    for (unsigned i = 0; i < lengthBytes; ++i) r.length |= std::uint32_t(*bytes.u8(offset + 1 + i)) << (8 * i);
    for (unsigned i = 0; i < offsetBytes; ++i)
      r.rawOffset |= std::uint32_t(*bytes.u8(offset + 1 + lengthBytes + i)) << (8 * i);
    r.offsetBytes = std::uint8_t(offsetBytes);
    r.kind = runs.size() == firstRun ? 'S' : 'M';
    runs.push_back(r);
    offset += 1 + lengthBytes + offsetBytes;
    sectors += std::uint64_t(r.length) * sectorsPerCluster;
  }
  if (terminated) *terminated = ended;
  if (!ended && !acceptUnterminated) {
    runs.resize(firstRun);
    return 0;
  }
  return sectors;
}

std::uint64_t CountRunClusters(ByteView record, const RecordData& data, std::uint64_t& firstCluster) {
  firstCluster = 0;
  if (data.resident || data.offset == 0) return 0;
  const std::size_t limit = std::min<std::size_t>(record.size(), recordSizeOf(record));
  std::uint64_t total = 0;
  bool first = true;
  for (std::size_t pos = data.offset; pos < limit;) {
    const std::uint8_t header = *record.u8(pos);
    if (header == 0) break;
    const unsigned lengthBytes = header & 0x0F, offsetBytes = header >> 4;
    if (lengthBytes < 1 || lengthBytes > 4 || offsetBytes < 1 || offsetBytes > 4) return 0;
    if (!record.has(pos + 1, lengthBytes + offsetBytes) || pos + 1 + lengthBytes + offsetBytes > limit) return 0;
    std::uint64_t length = 0, offset = 0;
    for (unsigned i = 0; i < lengthBytes; ++i) length |= std::uint64_t(*record.u8(pos + 1 + i)) << (8 * i);
    for (unsigned i = 0; i < offsetBytes; ++i) offset |= std::uint64_t(*record.u8(pos + 1 + lengthBytes + i)) << (8 * i);
    total += length;
    if (first) firstCluster = offset;
    first = false;
    pos += 1 + lengthBytes + offsetBytes;
  }
  return total;
}

std::uint32_t recordClusterSectors(ByteView record) {
  const auto data = FindRecordData(record, false);
  if (!data || data->resident || data->hasAttributeList || data->attributeOffset == 0 || data->kind != kKindFile)
    return 0;
  const std::size_t a = data->attributeOffset;
  // The whole stream from its first cluster on, holes counted, as its runs map it.
  if (record.le64(a + L::kAttrLowestVcn).value_or(1) != 0) return 0;
  const std::uint64_t clusters = record.le64(a + L::kAttrHighestVcn).value_or(~0ull) + 1;
  const std::uint64_t allocated = record.le64(a + L::kAttrAllocatedSize).value_or(0);
  std::vector<RunEntry> runs;
  std::size_t offset = data->offset;
  const ByteView attribute = record.sub(0, a + record.le32(a + L::kAttrLength).value_or(0)).value_or(ByteView());
  DecodeDataRuns(attribute, offset, runs, false, 1);
  // Runs never cover 2^45 clusters: the product cannot overflow.
  if (clusters == 0 || clusters >= (std::uint64_t(1) << 45) || runClusterCount(runs) != clusters ||
      allocated % (clusters * 512) != 0)
    return 0;
  const std::uint64_t spc = allocated / (clusters * 512);
  return isValidSectorsPerCluster(std::uint32_t(std::min<std::uint64_t>(spc, UINT32_MAX))) ? std::uint32_t(spc) : 0;
}

std::optional<std::uint32_t> storedRecordNumber(ByteView record) {
  if (record.le16(L::kRecordUsaOffset) != std::uint16_t{L::kUsaOffsetNew}) return std::nullopt;
  return record.le32(L::kRecordNumber);
}

std::vector<AttributeListEntry> parseAttributeList(ByteView content) {
  std::vector<AttributeListEntry> out;
  std::size_t offset = 0;
  while (content.has(offset, L::kAlMinEntry)) {
    const std::uint16_t length = *content.le16(offset + L::kAlLength);
    if (length < L::kAlMinEntry || !content.has(offset, length)) break;
    AttributeListEntry e;
    e.type = std::uint8_t(*content.le32(offset + L::kAlType) & 0xFF);
    e.nameLength = *content.u8(offset + L::kAlNameLength);
    e.startVcn = *content.le64(offset + L::kAlStartVcn);
    e.record = *content.le32(offset + L::kAlRecord);
    out.push_back(e);
    offset += length;
  }
  return out;
}

std::vector<std::uint32_t> ReadAttributeListRecords(ByteView content, std::optional<std::uint32_t> skipRecord) {
  std::vector<std::uint32_t> records;
  for (const AttributeListEntry& e : parseAttributeList(content)) {
    const bool wanted = (e.type == L::kTypeData && e.nameLength == 0) || e.type == L::kTypeIndexRoot ||
                        e.type == L::kTypeIndexAllocation;
    if (!wanted || (skipRecord && e.record == *skipRecord)) continue;
    if (std::find(records.begin(), records.end(), e.record) == records.end()) records.push_back(e.record);
  }
  return records;
}

}  // namespace qelda::fs::ntfs
