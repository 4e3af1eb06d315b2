// FAT in memory: the first 512 bytes as a boot sector (the engine's parser and its judgement,
// and the partition list's test), the rest as directory entries with their long names (the
// first sector standing in for the end of the directory's previous cluster) and as a FAT of
// each width, whose chains are followed.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "engine/cluster_chain.h"
#include "fs/fat_boot.h"
#include "fs/fat_dir_entry.h"
#include "fs/fat_layout.h"
#include "fs/fat_table.h"
#include "fs/partition_boot.h"
#include "platform/byte_view.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  using namespace qelda::fs::fat;
  using platform::ByteView;

  std::array<std::uint8_t, kSectorBytes> boot{};
  std::copy_n(data, std::min<std::size_t>(size, boot.size()), boot.begin());
  const ByteView bootView(boot);
  const std::uint64_t totalSectors = std::max<std::uint64_t>(bootView.le16(boot::kTotalSectors16).value_or(0),
                                                             bootView.le32(boot::kTotalSectors32).value_or(0));
  if (const auto params = parseFatBootSector(bootView)) {
    for (const bool backup : {false, true}) bootParamsAreBad(*params, totalSectors, backup);
    dataClusterBound(totalSectors, systemSectors(params->reservedSectors, params->sectorsPerFat, params->rootDirSectors,
                                                   params->fatCount),
                     params->sectorsPerCluster);
  }
  qelda::fs::FAT_BOOT_INFO info;
  qelda::fs::CheckFatBootSector(info, bootView);
  qelda::fs::volumeTypeFromBootSector(bootView);

  const ByteView all(data, size);
  const ByteView rest = size > boot.size() ? ByteView(data + boot.size(), size - boot.size()) : ByteView();
  startsWithDotEntries(rest);
  for (std::size_t at = 0; at + dirent::kSize <= rest.size(); at += dirent::kSize) {
    const ByteView e = *rest.sub(at, dirent::kSize);
    entryFirstCluster(e);
    entryAttributes(e);
    const bool deleted = entryIsDeleted(e);
    EntryName shortName;
    shortEntryName(e, deleted, shortName);
    std::u16string extension = shortEntryExtension(e);
    const LongName name = collectLongName(rest, at, bootView);
    if (name.found) extension = longNameExtension(name.name.view());
    // The sector a deleted file's data would start with: the one after this entry's.
    const std::size_t next = (at / kSectorBytes + 1) * kSectorBytes;
    deletedFileSignatureMatches(extension, rest.sub(next, std::min<std::size_t>(kSectorBytes, rest.size() - std::min(next, rest.size()))).value_or(ByteView()));
  }

  for (const std::uint8_t type : {kFat12, kFat16, kFat32}) {
    const FatTable table(std::span<const std::uint8_t>(all.data(), all.size()), type);
    const std::uint64_t entries = type == kFat12 ? size * 2 / 3 : type == kFat16 ? size / 2 : size / 4;
    const std::uint32_t maxCluster = std::uint32_t(std::min<std::uint64_t>(entries + 1, 1u << 20));
    engine::VisitedClusters seen(std::uint64_t(maxCluster) + 1);
    for (std::uint32_t first = 2; first < std::min<std::uint32_t>(maxCluster, 34); ++first)
      engine::followChain(engine::FatChainSource{table, maxCluster}, first, seen);
    for (std::size_t s = 0; (s + 1) * kSectorBytes <= size; ++s) {
      const std::span<const std::uint8_t> sector(data + s * kSectorBytes, kSectorBytes);
      hasMediaSignature(sector);
      isUniformSector(sector, type);
      countImplausibleEntries(sector, s, type, maxCluster);
    }
  }
  return 0;
}
