// One MFT record and what is read from it: the fixup, the attribute walk, each resident
// value, the data or index it points to, its names, parent, times and own cluster size, the
// name a driver left past its end marker, whether it extends a base record, the runs of each
// non-resident attribute placed on the volume, and its attribute list. The record is as long
// as its header says (1024 bytes, or 2048 or 4096 where its size field and fixup count agree);
// its signature test is also asked of its first 1024 bytes alone, as a search that reads no
// more would see it. The bytes after the record are read as an attribute list of their own
// (as one read from clusters).
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "fs/data_runs.h"
#include "fs/mft_record.h"
#include "fs/ntfs_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  using namespace qelda::fs::ntfs;
  namespace L = qelda::fs::ntfs::layout;

  std::array<std::uint8_t, L::kMaxRecordSize> buffer{};
  std::copy_n(data, std::min(size, buffer.size()), buffer.begin());
  const std::size_t recordSize = recordSizeOf(ByteView(buffer.data(), buffer.size()));
  hasRecordSignature(ByteView(buffer.data(), L::kRecordSize));
  const std::span<std::uint8_t> record(buffer.data(), recordSize);
  ApplyRecordFixup(record);  // a record that fails it is still parsed as it lies
  const ByteView view(record);
  recordEntryLimit(view);

  for (const bool folder : {false, true}) (void)FindRecordData(view, folder);
  GetRecordFileName(view);
  GetRecordLongFileName(view);
  GetRecordParent(view);
  GetRecordTimes(view);
  recordClusterSectors(view);
  removedFileName(view);
  // The record read as its own base, and as an extension of the record it names.
  extendsRecord(view, view.le64(L::kRecordBaseReference).value_or(0) & 0xFFFFFFFFFFFFull, view);
  extendsRecord(view, 1, view);

  for (const AttributeRef& a : walkAttributes(view, L::kMaxAttributes).attributes) {
    if (!a.nonResident) {
      const auto value = residentValue(view, a);
      if (value && a.type == L::kTypeAttributeList) {
        parseAttributeList(*value);
        ReadAttributeListRecords(*value, 0u);
      }
      continue;
    }
    const std::size_t runsAt = a.offset + view.le16(a.offset + L::kAttrRunListOffset).value_or(0);
    const ByteView attribute = view.sub(0, std::size_t(a.offset) + a.length).value_or(ByteView());
    for (const std::uint32_t sectorsPerCluster : {1u, 8u, 128u}) {
      std::vector<RunEntry> runs;
      std::size_t offset = runsAt;
      DecodeDataRuns(attribute, offset, runs, sectorsPerCluster == 8, sectorsPerCluster);
      const auto extents = runsToExtents(runs);
      if (!extents) continue;
      const std::uint64_t clusters = runClusterCount(runs);
      for (const std::uint64_t vcn : {std::uint64_t(0), clusters / 2, clusters ? clusters - 1 : 0, clusters})
        mapVcn(*extents, vcn);
    }
  }

  if (size > record.size()) {
    const ByteView list(data + record.size(), size - record.size());
    parseAttributeList(list);
    ReadAttributeListRecords(list, std::nullopt);
  }
  return 0;
}
