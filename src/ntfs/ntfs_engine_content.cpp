// The contents of found files: their runs, their cluster lists and their bytes.
#include <algorithm>
#include <cstring>

#include "engine/scan_state.h"
#include "fs/lznt1.h"
#include "ntfs/ntfs_engine.h"
#include "fs/ntfs_layout.h"

namespace qelda::ntfs {

namespace L = fs::ntfs::layout;

std::vector<fs::ntfs::RunEntry> CNtfsEngine::GetDataRuns(FOUND_ITEM& item, std::uint32_t& clusterCount,
                                               std::vector<std::uint8_t>* residentData, DataStreamInfo* info) {
  clusterCount = 0;
  if (info) *info = DataStreamInfo{};
  Record buffer{};
  if (!m_nSectorsPerCluster) return {};
  // A deleted file whose runs came back from the journal: its record no longer has them.
  if (item.lastFlags & kItemSizeFromLog) {
    const auto rebuilt = logRuns_.find(item.m_nId);
    if (rebuilt != logRuns_.end()) {
      const LargeFileNode& node = largeFiles_[rebuilt->second];
      clusterCount = std::uint32_t(std::min<std::uint64_t>(fs::ntfs::runClusterCount(node.runs), 0xFFFFFFFFu));
      if (info) info->compressed = node.contentFlag == fs::ntfs::kContentCompressed;
      return node.runs;
    }
  }
  // After the deep scan an item's id is no record number: its key is the record's sector.
  std::uint32_t baseRecord = item.m_nId;
  if (advanced_) {
    indexRunRecords();
    if (!readRecordAt(item.m_nRecordKey, buffer)) return {};
    baseRecord = recordNumberAtSector(item.m_nRecordKey);
  } else if (!readRecord(item.m_nId, buffer)) {
    return {};
  }
  const platform::ByteView view(buffer);
  // Read as the record is sized: a file record that holds a view index ($Secure, the files
  // of $Extend) is read through its $DATA, never through its index.
  const bool folderVariant = (view.u8(L::kRecordFlags).value_or(0) & L::kRecordFolder) != 0;
  const auto data = fs::ntfs::FindRecordData(view, folderVariant);
  if (!data) return {};

  auto applyContentFlag = [&item](std::uint8_t flag) {
    if (flag == fs::ntfs::kContentCompressed) item.m_byFlags |= kItemCompressed;
    else if (flag == fs::ntfs::kContentEncrypted) item.m_byFlags |= kItemEncrypted;
    else item.m_byFlags &= std::uint8_t(~kItemCompressed);
  };

  if (data->resident && data->kind == fs::ntfs::kKindFile) {
    if (residentData) {
      residentData->clear();
      const auto value = fs::ntfs::residentValue(view, {data->attributeOffset, L::kTypeData,
                                              view.le32(data->attributeOffset + L::kAttrLength).value_or(0), false, 0, 0});
      if (value) residentData->assign(value->data(), value->data() + value->size());
    }
    return {};
  }

  std::vector<fs::ntfs::RunEntry> runs;
  bool anyCompressed = false;
  std::optional<std::uint64_t> initialized;
  std::optional<std::uint64_t> dataSize;
  auto decodeFrom = [&](platform::ByteView rec, const fs::ntfs::RecordData& d, bool acceptUnterminated) {
    if (d.resident || d.attributeOffset == 0) return;
    applyContentFlag(d.contentFlag);
    anyCompressed = anyCompressed || d.dataCompressed;
    // Only the piece that starts the stream carries its sizes.
    if (!initialized && d.kind == fs::ntfs::kKindFile) {
      initialized = rec.le64(d.attributeOffset + L::kAttrInitializedSize);
      dataSize = rec.le64(d.attributeOffset + L::kAttrRealSize);
    }
    std::size_t offset = d.offset;
    const std::size_t attrEnd =
        std::size_t(d.attributeOffset) + rec.le32(d.attributeOffset + L::kAttrLength).value_or(0);
    fs::ntfs::DecodeDataRuns(rec.sub(0, std::min<std::size_t>(attrEnd, rec.size())).value_or(platform::ByteView()), offset, runs,
                   acceptUnterminated, m_nSectorsPerCluster);
  };
  const bool deleted = !(view.u8(L::kRecordFlags).value_or(0) & L::kRecordInUse);
  if (data->hasAttributeList && deleted) {
    // A deleted file's list may have lost entries as its records were freed: its pieces are
    // those of the records still its own, taken in the order of the clusters they start at,
    // each where the one before ended; a piece met again is left, a gap ends the stream.
    const std::vector<Record> extensions = deletedExtensions(buffer, baseRecord);
    struct Piece {
      std::uint64_t firstVcn = 0;
      platform::ByteView record;
      fs::ntfs::RecordData data;
    };
    std::vector<Piece> pieces;
    auto addPiece = [&pieces](platform::ByteView rec, const fs::ntfs::RecordData& d) {
      if (d.resident || d.attributeOffset == 0) return;
      pieces.push_back({rec.le64(d.attributeOffset + L::kAttrLowestVcn).value_or(~0ull), rec, d});
    };
    addPiece(view, *data);
    for (const Record& ext : extensions)
      if (const auto extData = fs::ntfs::FindRecordData(platform::ByteView(ext), folderVariant))
        addPiece(platform::ByteView(ext), *extData);
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.firstVcn < b.firstVcn; });
    for (const Piece& piece : pieces) {
      const std::uint64_t next = fs::ntfs::runClusterCount(runs);
      if (piece.firstVcn < next) continue;
      if (piece.firstVcn > next) break;
      decodeFrom(piece.record, piece.data, true);
    }
  } else if (data->hasAttributeList) {
    const std::vector<std::uint8_t> list = readAttributeListContent(buffer);
    for (const std::uint32_t part : fs::ntfs::ReadAttributeListRecords(platform::ByteView(list), std::nullopt)) {
      if (part == baseRecord) {
        decodeFrom(view, *data, true);
        continue;
      }
      Record ext{};
      if (!readRecord(part, ext)) continue;
      const auto extData = fs::ntfs::FindRecordData(platform::ByteView(ext), folderVariant);
      if (extData) decodeFrom(platform::ByteView(ext), *extData, true);
    }
  } else {
    decodeFrom(view, *data, false);
  }
  clusterCount = std::uint32_t(std::min<std::uint64_t>(fs::ntfs::runClusterCount(runs), 0xFFFFFFFFu));
  if (info) {
    info->compressed = anyCompressed;
    if (initialized) info->initializedSize = *initialized;
    if (dataSize) info->dataSize = *dataSize;
  }
  return runs;
}

std::vector<std::uint32_t> CNtfsEngine::GetClusterList(FOUND_ITEM& item, std::uint32_t folderClusters,
                                                       std::vector<std::uint8_t>* residentData) {
  std::uint32_t runClusters = 0;
  const std::vector<fs::ntfs::RunEntry> runs = GetDataRuns(item, runClusters, residentData);
  if (runs.empty()) return {};
  const auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents) return {};
  std::uint64_t wanted =
      item.isFolder() ? folderClusters : (item.m_nSize + clusterBytes() - 1) / clusterBytes();
  wanted = std::max<std::uint64_t>(wanted, runClusters);
  // A size from disk never makes a list longer than the volume has clusters.
  wanted = std::min(wanted, volumeClusters());
  std::vector<std::uint32_t> list;
  list.reserve(std::size_t(wanted));
  for (const fs::ntfs::Extent& e : *extents) {
    for (std::uint64_t i = 0; i < e.length && list.size() < wanted; ++i) {
      const std::uint64_t lcn = e.lcn + i;
      // Holes, and clusters no 32-bit number can name, read as zeros rather than as another
      // file's data.
      list.push_back(e.hole || lcn >= kHoleCluster ? kHoleCluster : std::uint32_t(lcn));
    }
  }
  // Beyond the runs the file has no clusters: zeros, never cluster 0.
  list.resize(std::size_t(wanted), kHoleCluster);
  return list;
}

std::vector<std::uint64_t> CNtfsEngine::GetContiguousClusterList(std::uint64_t firstCluster, std::uint64_t size) {
  if (!m_nSectorsPerCluster) return {};
  const std::uint64_t sectors = (size + 511) / 512;
  const std::uint64_t last = volumeClusters();
  const std::uint64_t wanted = std::min((sectors + m_nSectorsPerCluster - 1) / m_nSectorsPerCluster, last);
  std::vector<std::uint64_t> list;
  list.reserve(std::size_t(wanted));
  // Clusters stay 64-bit: a file found past cluster 2^32 (a sector search of a volume over
  // 2 TiB keys its files by sector) is read where it was found, never at a cut number.
  if (!m_bClusterSearch) {
    for (std::uint64_t c = firstCluster; list.size() < wanted && c < last; ++c) list.push_back(c);
    return list;
  }
  // Only free clusters, in order from the first; the extents are in cluster order, so the
  // walk starts at the extent that holds (or follows) the first cluster.
  std::optional<std::uint64_t> c =
      isFreeCluster(firstCluster) ? std::optional<std::uint64_t>(firstCluster) : nextFreeCluster(firstCluster);
  while (c && *c < last && list.size() < wanted) {
    list.push_back(*c);
    c = nextFreeCluster(*c);
  }
  return list;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> CNtfsEngine::mftArea(const fs::ntfs::Extent& e,
                                                                             bool allocated) const {
  const std::uint64_t firstRecordSector = e.vcn * m_nSectorsPerCluster;
  if (e.hole || (!allocated && firstRecordSector >= mftDataSectors_)) return std::nullopt;
  std::uint64_t sectors = e.length * m_nSectorsPerCluster;
  if (!allocated) sectors = std::min(sectors, mftDataSectors_ - firstRecordSector);
  return std::make_pair(e.lcn * m_nSectorsPerCluster, e.lcn * m_nSectorsPerCluster + sectors);
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> CNtfsEngine::mftAreas(bool allocated) const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> areas;
  for (const fs::ntfs::Extent& e : mftExtents_)
    if (const auto area = mftArea(e, allocated)) areas.push_back(*area);
  std::sort(areas.begin(), areas.end());
  return areas;
}

// Asked for every record the search meets: the runs are walked in place, nothing is built.
bool CNtfsEngine::inMftArea(std::uint64_t sector, bool allocated) const {
  for (const fs::ntfs::Extent& e : mftExtents_)
    if (const auto area = mftArea(e, allocated); area && sector >= area->first && sector < area->second) return true;
  return false;
}

std::uint32_t CNtfsEngine::ownClusterSectors(platform::ByteView record) {
  if ((record.le64(L::kRecordBaseReference).value_or(0) & 0xFFFFFFFFFFFFull) != 0) return 0;
  return fs::ntfs::recordClusterSectors(record);
}

bool CNtfsEngine::ofEarlierFormat(platform::ByteView record) const {
  const std::uint32_t own = ownClusterSectors(record);
  return own != 0 && own != m_nSectorsPerCluster;
}

std::uint16_t CNtfsEngine::clusterSectorsOfRecordAt(std::uint64_t sector) {
  Record record{};
  if (!m_nSectorsPerCluster || !readRecordAt(sector, record)) return m_nSectorsPerCluster;
  const std::uint16_t own = std::uint16_t(ownClusterSectors(platform::ByteView(record)));
  // A record of $MFT that gives no size of its own is read as the volume's.
  return own == 0 && inMftArea(sector) ? m_nSectorsPerCluster : own;
}

bool CNtfsEngine::earlierFormatSeen() {
  if (earlierFormat_) return *earlierFormat_;
  earlierFormat_ = false;
  Record record{};
  for (const fs::ntfs::RunRecord& found : runRecords_) {
    if (stopRequested()) {
      // Not known: taken as seen, and asked again next time.
      earlierFormat_.reset();
      return true;
    }
    if (inMftArea(found.sector) || !readRecordAt(found.sector, record)) continue;
    if (ofEarlierFormat(platform::ByteView(record))) {
      earlierFormat_ = true;
      break;
    }
  }
  return *earlierFormat_;
}

bool CNtfsEngine::clustersFreeNow(const std::vector<fs::ntfs::Extent>& extents, std::uint16_t ownSpc,
                                  std::uint16_t volumeSpc) const {
  if (!m_pFreeExtents || !volumeSpc) return false;
  for (const fs::ntfs::Extent& e : extents) {
    if (e.hole) continue;
    const std::uint64_t first = e.lcn * ownSpc / volumeSpc;
    const std::uint64_t end = ((e.lcn + e.length) * ownSpc + volumeSpc - 1) / volumeSpc;
    for (std::uint64_t c = first; c < end; ++c)
      if (!isFreeCluster(c)) return false;
  }
  return true;
}

void CNtfsEngine::buildPendingFreeList() {
  if (!freeListPending_) return;
  freeListPending_ = false;
  m_bClusterSearch = BuildFreeClusterList() && m_pFreeExtents ? 1 : 0;
}

bool CNtfsEngine::readFileContent(FOUND_ITEM& item, const std::function<bool(std::span<const std::uint8_t>)>& sink) {
  const std::uint16_t volumeSpc = m_nSectorsPerCluster;
  const std::uint16_t given = advanced_ ? clusterSectorsOfRecordAt(item.m_nRecordKey) : volumeSpc;
  const std::uint16_t ownSpc = given != 0 ? given : volumeSpc;
  if (ownSpc != volumeSpc) buildPendingFreeList();
  // Every cluster of the file is counted in its record's own cluster size while it is read.
  struct ClusterSizeScope {
    std::uint16_t& spc;
    const std::uint16_t volume;
    ClusterSizeScope(std::uint16_t& s, std::uint16_t own) : spc(s), volume(s) { spc = own; }
    ~ClusterSizeScope() { spc = volume; }
  } scope(m_nSectorsPerCluster, ownSpc);
  std::uint32_t runClusters = 0;
  DataStreamInfo info;
  std::vector<std::uint8_t> resident;
  const std::vector<fs::ntfs::RunEntry> runs = GetDataRuns(item, runClusters, &resident, &info);
  const bool compressed = info.compressed;
  std::uint64_t remaining = std::min(item.m_nSize, m_nSectorCount * 512);
  bool ok = true;
  // A sparse or compressed stream may be longer than the volume: as far as its runs hold it
  // (holes are zeros, written and never read).
  if (!runs.empty() && item.m_nSize > remaining) remaining = std::min(item.m_nSize, std::max(remaining, heldBytes(runs)));
  if (runs.empty()) {
    if (resident.empty() && remaining != 0) return false;
    const std::size_t n = std::size_t(std::min<std::uint64_t>(resident.size(), remaining));
    sink(std::span<const std::uint8_t>(resident.data(), n));
    return n == remaining;
  }
  const auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents) return false;
  // A record of an earlier format is whole only where the volume as it is now has left its
  // clusters free: one in use holds what was written since. A record outside $MFT that gives
  // no cluster size of its own is read in the volume's; where records of an earlier format
  // with other clusters lie about, it may be one of them, and is not whole either.
  if (given == 0 ? earlierFormatSeen() : (ownSpc != volumeSpc && !clustersFreeNow(*extents, ownSpc, volumeSpc)))
    ok = false;
  // A record of an NTFS volume inside this one (a disk image) counts that volume's clusters.
  if (advanced_ && inNestedVolume(item.m_nRecordKey)) ok = false;
  // The stream holds what its runs cover and no more: a size that claims more is not met
  // with zeros.
  const std::uint64_t covered = fs::ntfs::runClusterCount(runs) * clusterBytes();
  if (remaining > covered) {
    remaining = covered;
    ok = false;
  }
  // A deleted file is whole only where $Bitmap as it is now has left its clusters free, and
  // no other file found starts among them. (Records of an earlier format with clusters of
  // their own size were judged above.)
  if (ownSpc == volumeSpc && claims_.judges(item.m_byFlags)) {
    const engine::FileClaim file =
        engine::ClusterClaims::of(firstRunCluster(*extents).value_or(0), item.m_nSize, item.m_byFlags);
    if (file.byOwnMap && !claims_.ownMapKnown()) claims_.setOwnMap(allocationMap());
    if (!clustersOwn(*extents, remaining, claims_, file)) ok = false;
  }

  const std::uint64_t unitClusters = L::kCompressionUnitClusters;
  const std::uint64_t unitBytes = unitClusters * clusterBytes();
  std::vector<std::uint8_t> unit(static_cast<std::size_t>(unitBytes));
  std::vector<std::uint8_t> packed(static_cast<std::size_t>(unitBytes));
  // Read to the end whatever the stop flag says: a stop falls between files, where the save
  // looks at it, never inside one, which would come out cut as if its clusters were lost.
  for (std::uint64_t firstVcn = 0; remaining > 0; firstVcn += unitClusters) {
    // Which of the unit's clusters hold data, gathered across the runs that cover it.
    std::size_t allocated = 0;
    std::fill(unit.begin(), unit.end(), std::uint8_t{0});
    if (compressed) {
      for (std::uint64_t i = 0; i < unitClusters; ++i) {
        const auto m = fs::ntfs::mapVcn(*extents, firstVcn + i);
        if (!m || m->hole) continue;
        if (!readClusters(m->lcn, 1, packed.data() + allocated * clusterBytes())) ok = false;
        ++allocated;
      }
    }
    if (compressed && allocated > 0 && allocated < unitClusters) {
      // A unit with data and a hole is stored compressed; its output is the whole unit.
      std::size_t produced = 0;
      if (!fs::ntfs::Lznt1Decompress(std::span<const std::uint8_t>(packed.data(), allocated * clusterBytes()), unit, produced))
        ok = false;
    } else if (compressed && allocated == unitClusters) {
      std::copy(packed.begin(), packed.end(), unit.begin());
    }
    const std::uint64_t unitStart = firstVcn * clusterBytes();
    const std::size_t n = std::size_t(std::min(remaining, unitBytes));
    if (!compressed) {
      // Only the bytes the file holds are read: past its size, and past the initialized size
      // where the stream holds zeros whatever its clusters contain, nothing the disk lacks
      // can make the file incomplete.
      const std::uint64_t initialized = info.initializedSize > unitStart ? info.initializedSize - unitStart : 0;
      const std::size_t wanted = std::size_t((std::min<std::uint64_t>(n, initialized) + 511) / 512 * 512);
      bool incomplete = false;
      if (readExtentBytes(*extents, unitStart, std::span<std::uint8_t>(unit.data(), wanted), &incomplete) == 0 &&
          !fs::ntfs::mapVcn(*extents, firstVcn))
        ok = false;
      if (incomplete) ok = false;
      // Sector rounding may have read a few bytes past the initialized size.
      if (initialized < wanted) std::fill(unit.begin() + std::ptrdiff_t(initialized), unit.end(), std::uint8_t{0});
    }
    if (!sink(std::span<const std::uint8_t>(unit.data(), n))) return ok;
    remaining -= n;
  }
  return ok && remaining == 0;
}

bool CNtfsEngine::clustersOwn(const std::vector<fs::ntfs::Extent>& extents, std::uint64_t bytes,
                              const engine::ClusterClaims& claims, const engine::FileClaim& file) const {
  const std::uint64_t size = clusterBytes();
  if (size == 0) return true;
  std::uint64_t left = (bytes + size - 1) / size;
  for (const fs::ntfs::Extent& e : extents) {
    if (left == 0) break;
    const std::uint64_t n = std::min(left, e.length);
    if (!e.hole && claims.countNotOwn(e.lcn, n, file) != 0) return false;
    left -= n;
  }
  return true;
}

std::optional<std::uint64_t> CNtfsEngine::firstDataCluster(const FOUND_ITEM& item) {
  if (item.isFolder() || (item.m_byFlags & kItemBySignature)) return std::nullopt;
  FOUND_ITEM copy = item;  // reading the runs refreshes the flags
  std::uint32_t runClusters = 0;
  const std::vector<fs::ntfs::RunEntry> runs = GetDataRuns(copy, runClusters, nullptr);
  const auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents) return std::nullopt;
  return firstRunCluster(*extents);
}

std::uint32_t CNtfsEngine::ReadCompressedFile(FOUND_ITEM& item, std::vector<std::uint8_t>& out) {
  out.clear();
  const bool ok = readFileContent(item, [&out](std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  });
  return ok ? 1 : 0;
}

}  // namespace qelda::ntfs
