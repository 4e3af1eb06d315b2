#include "save/found_file_reader.h"

#include <algorithm>
#include <vector>

#include "app/qelda_app.h"
#include "fat/fat_engine.h"
#include "fat/fat_layout.h"
#include "ntfs/ntfs_engine.h"

namespace qelda::save {
namespace {

ReadOutcome readFat(fat::CFatEngine& engine, const FOUND_ITEM& item, const ContentSink& sink) {
  if (item.m_nSize == 0) return ReadOutcome::Complete;
  // A deleted file, or one found by its signature, has no chain left to follow: its data is
  // taken as contiguous from its first cluster. Live files follow the FAT copy in use.
  const bool noChain = (item.m_byFlags & (kItemDeleted | kItemBySignature)) != 0;
  const std::uint32_t mode = noChain || engine.m_nLinkingMode == fat::kLinkContiguous ? fat::kLinkContiguous : 0;
  std::uint32_t byteCount = 0;
  const std::vector<std::uint32_t> clusters =
      engine.GetClusterList(std::uint32_t(item.m_nRecordKey), item.m_nSize, mode, byteCount);
  const std::uint64_t clusterBytes = std::uint64_t(engine.m_nSectorsPerCluster) * 512;
  if (clusters.empty() || clusterBytes == 0) return ReadOutcome::Unreadable;

  std::vector<std::uint8_t> buffer(clusterBytes);
  std::uint64_t remaining = item.m_nSize;
  std::size_t read = 0;
  std::size_t unreadable = 0;  // clusters delivered as zeros
  for (const std::uint32_t cluster : clusters) {
    if (remaining == 0) break;
    if (engine.ReadClusterSectors(cluster, 0, buffer.data(), engine.m_nSectorsPerCluster)) ++read;
    else ++unreadable;
    const std::size_t n = std::size_t(std::min(remaining, clusterBytes));
    if (!sink(std::span<const std::uint8_t>(buffer.data(), n))) return ReadOutcome::Partial;
    remaining -= n;
  }
  if (read == 0) return ReadOutcome::Unreadable;
  // A chain shorter than the size leaves the rest of the file unknown.
  return unreadable != 0 || remaining != 0 ? ReadOutcome::Partial : ReadOutcome::Complete;
}

ReadOutcome readNtfs(ntfs::CNtfsEngine& engine, const FOUND_ITEM& item, const ContentSink& sink) {
  FOUND_ITEM copy = item;  // the engine refreshes the flags of the item it is given
  std::uint64_t delivered = 0;
  const bool ok = engine.readFileContent(copy, [&](std::span<const std::uint8_t> bytes) {
    delivered += bytes.size();
    return sink(bytes);
  });
  if (ok) return ReadOutcome::Complete;
  return delivered == 0 && item.m_nSize != 0 ? ReadOutcome::Unreadable : ReadOutcome::Partial;
}

}  // namespace

ReadOutcome readFoundFile(app::CQELDAApp& app, const FOUND_ITEM& item, const ContentSink& sink) {
  if (app.m_pFatEngine) return readFat(*app.m_pFatEngine, item, sink);
  if (app.m_pNtfsEngine) return readNtfs(*app.m_pNtfsEngine, item, sink);
  return ReadOutcome::Unreadable;
}

}  // namespace qelda::save
