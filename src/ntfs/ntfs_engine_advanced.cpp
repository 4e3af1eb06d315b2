// The deep scan's search: the cluster size when the boot sector no longer gives it, then every
// MFT record the volume holds, first inside $MFT's runs and then everywhere else, and (when
// raw recovery is on) the files that start in free clusters.
#include <algorithm>
#include <cstring>

#include "engine/read_ahead.h"
#include "engine/scan_state.h"
#include "fs/ntfs_boot.h"
#include "fs/ntfs_cluster_votes.h"
#include "fs/ntfs_layout.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_texts.h"

namespace qelda::ntfs {

namespace L = fs::ntfs::layout;

namespace {

// Blocks of 2048 sectors (1 MiB), read with the sectors after them that the largest record
// takes beyond its first, so that a record that starts in a block's last sectors is whole.
constexpr std::uint64_t kBlockSectors = 2048;
constexpr std::uint64_t kRecordTailSectors = L::kMaxRecordSize / 512 - 1;
// The buffer of a search over `sectors` sectors: a block and the sectors after it, no larger
// than the search, so that a small volume is not searched through a megabyte of zeroed memory.
std::vector<std::uint8_t> searchBlock(std::uint64_t sectors) {
  return std::vector<std::uint8_t>((std::min(kBlockSectors, sectors) + kRecordTailSectors) * 512);
}
// The boot sectors and what follows them hold no records.
constexpr std::uint64_t kFirstSearchedSector = 32;
constexpr std::uint32_t kRootRecord = 5;

bool startsRecord(const std::uint8_t* sector) {
  return std::memcmp(sector, "FILE", 4) == 0 && (sector[4] == '*' || sector[4] == '0');
}

// The sectors of the record that starts at `sector`, as its header gives them (its first
// sector holds the fields read).
std::uint64_t ownRecordSectors(const std::uint8_t* sector) {
  return fs::ntfs::recordSizeOf(platform::ByteView(sector, 512)) / 512;
}

}  // namespace

void CNtfsEngine::clearDeepScan() {
  runRecords_.clear();
  runRecordIndex_.clear();
  runRecordAtSector_.clear();
  runRecordIndexesPending_ = false;
  foundFolders_.clear();
  foundFolderIndex_.clear();
  childFiles_.clear();
  childFolders_.clear();
  deepRawHits_.clear();
  firstRunRecord_.reset();
  extensionIndex_.clear();
  extensionIndexBuilt_ = false;
  advanced_ = false;
  earlierFormat_.reset();
  liveFileClusters_.clear();
  nestedVolumes_.reset();
}

engine::ScanOutcome CNtfsEngine::ScanAdvanced() {
  runAdvancedScan();
  return engine::scanEnded(app_, failure_, &notifier_);
}

void CNtfsEngine::runAdvancedScan() {
  failure_.clear();
  clearDeepScan();
  settleRecordSize();
  advanced_ = true;
  m_pRawContext = makeRawContext();
  itemIds_.restartMadeUp();
  // The volume record's cluster size, else the boot sector's (or its backup's), else the one
  // the records agree on.
  if (!fs::ntfs::isValidSectorsPerCluster(m_nSectorsPerCluster)) ReadBootSector();
  if (!fs::ntfs::isValidSectorsPerCluster(m_nSectorsPerCluster)) m_nSectorsPerCluster = FindSectorsPerCluster();
  if (!fs::ntfs::isValidSectorsPerCluster(m_nSectorsPerCluster)) {
    m_nSectorsPerCluster = 0;
    failure_ = u"no cluster size: neither boot sector is usable, and no file records agree on one";
    m_pRawContext.reset();
    return;
  }
  bool freeListBuilt = BuildFreeClusterList();
  if (!freeListBuilt && mftRuns_.empty() && app_.m_nSetRaw == 0 && app_.m_pSelectedHeaders)
    freeListBuilt = freeListFromRecordZero();
  m_bClusterSearch = 1;
  earlierFormat_ = false;
  SearchMetadata();
  // Without $Bitmap the search above matched nothing: the clusters no found record claims
  // stand in for the free ones.
  if (!freeListBuilt && app_.m_nSetRaw == 0 && app_.m_pSelectedHeaders && !stopRequested()) SearchUnclaimedClusters();
  if (!runRecords_.empty()) {
    // A stop ends the search, not the tree: what was found is always shown.
    app_.m_bStopRequested = 0;
    app_.m_bBusy = 1;
    BuildRecordTree();
  }
  foundFolders_.clear();
  foundFolderIndex_.clear();
  childFiles_.clear();
  childFolders_.clear();
  m_pRawContext.reset();
}

std::uint16_t CNtfsEngine::FindSectorsPerCluster() {
  reporter_.logStart(engine::texts::kCalculatingParameters);
  progress_.SetFoundText(engine::texts::kSearchingCritical);
  blockBar_.start(m_nSectorCount / kBlockSectors);
  progress_.SetStopEnabled(false);
  app_.m_bSearchingCriticalInfo = 1;

  fs::ntfs::ClusterSizeVotes votes;
  std::vector<std::uint8_t> block = searchBlock(m_nSectorCount);
  Record record{};
  const std::uint64_t quarter = m_nSectorCount / 4;
  bool decided = false;
  // Only inside the volume: past its end lie another volume's records.
  for (std::uint64_t s = kFirstSearchedSector; s + kFirstSearchedSector < m_nSectorCount && !decided;
       s += kBlockSectors) {
    const std::uint64_t sectors = std::min(kBlockSectors, m_nSectorCount - s);
    const std::uint64_t readable = std::min(sectors + kRecordTailSectors, m_nSectorCount - s);
    blockBar_.stepReading(texts::kReadingSector, m_nPartitionStart + s, m_nPartitionStart + m_nSectorCount);
    std::fill(block.begin(), block.end(), std::uint8_t{0});
    ReadVolumeSectors(block.data(), std::uint32_t(readable * 512), s);
    for (std::uint64_t i = 0; i + 1 < readable && i < sectors && !decided; ++i) {
      const std::uint8_t* at = block.data() + i * 512;
      if (!startsRecord(at) || i + ownRecordSectors(at) > readable) continue;
      record.resize(ownRecordSectors(at) * 512);
      std::memcpy(record.data(), at, record.size());
      if (!fs::ntfs::ApplyRecordFixup(record)) continue;
      const platform::ByteView view(record);
      if (view.u8(L::kRecordFlags).value_or(0xFF) > 1) continue;  // files only
      const auto data = fs::ntfs::FindRecordData(view, false);
      if (!data || data->resident || data->hasAttributeList || data->attributeOffset == 0) continue;
      std::uint64_t firstCluster = 0;
      const std::uint64_t clusters = fs::ntfs::CountRunClusters(view, *data, firstCluster);
      std::uint64_t allocated = view.le64(data->attributeOffset + L::kAttrAllocatedSize).value_or(0);
      if (allocated / 512 > m_nSectorCount) allocated = 0;
      votes.add(clusters, allocated);
      decided = votes.decided(s >= quarter);
    }
    decided = decided || votes.decided(s >= quarter);
  }
  const std::uint16_t spc = decided ? votes.winner() : votes.lastMatched();

  reporter_.logEnd(false);
  progress_.SetStatusText(u"");
  progress_.SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
  return spc;
}

std::optional<std::uint64_t> CNtfsEngine::findMftRecordZero() {
  std::vector<std::uint8_t> block(kBlockSectors * 512);
  std::vector<fs::ntfs::RunEntry> runs;
  for (std::uint64_t s = kFirstSearchedSector; s < m_nSectorCount && !stopRequested(); s += kBlockSectors) {
    const std::uint64_t sectors = std::min(kBlockSectors, m_nSectorCount - s);
    std::fill(block.begin(), block.end(), std::uint8_t{0});
    ReadVolumeSectors(block.data(), std::uint32_t(sectors * 512), s);
    for (std::uint64_t i = 0; i < sectors; ++i) {
      const std::uint8_t* at = block.data() + i * 512;
      if (!startsRecord(at) || fs::ntfs::storedRecordNumber(platform::ByteView(at, 512)).value_or(1) != 0) continue;
      // $MFT's own record names its first run where it stands; the mirror's copy does not.
      std::uint64_t runSectors = 0;
      if (!collectMftRuns(s + i, false, runs, runSectors) || runs.empty() || runs.front().sparse()) continue;
      const std::int64_t first = runs.front().signedOffset();
      if (first > 0 && std::uint64_t(first) * m_nSectorsPerCluster == s + i) return s + i;
    }
  }
  return std::nullopt;
}

bool CNtfsEngine::freeListFromRecordZero() {
  const auto recordZero = findMftRecordZero();
  if (!recordZero) return false;
  // The metadata search goes on as it would without the signature search: what $MFT gave here
  // serves the free-cluster list only.
  const std::uint64_t mftSector = mftSector_;
  mftSector_ = *recordZero;
  const bool built = LoadMft() != 0 && BuildFreeClusterList();
  mftSector_ = mftSector;
  mftRuns_.clear();
  mftExtents_.clear();
  mftSectorCount_ = 0;
  recordMap_.clear();
  reportedIndexBlocks_.clear();
  return built;
}

void CNtfsEngine::SearchMetadata() {
  sectorsSearched_ = 0;
  if (mftRuns_.empty()) LoadMft();
  recordMap_.clear();
  SearchMftRuns();
  SearchVolumeRecords(mftExtents_.size() == 1);
}

void CNtfsEngine::showSectorsSearched() {
  blockBar_.stepReading(texts::kReadingSector, sectorsSearched_, m_nSectorCount);
}

void CNtfsEngine::addFoundRecord(platform::ByteView record, std::uint64_t sector, std::uint32_t number, bool inMft) {
  if (!firstRunRecord_ && runRecords_.empty() && (inMft || mftExtents_.empty())) firstRunRecord_ = number;
  if (!inMft && !earlierFormat_.value_or(true)) earlierFormat_ = ofEarlierFormat(record);
  const bool folder = (record.u8(L::kRecordFlags).value_or(0) & L::kRecordFolder) != 0;
  const std::uint32_t parent = fs::ntfs::GetRecordParent(record);
  if (number == kRootRecord) return;  // the root is the tree's own
  if (!inMft && number == 0 && nestedVolumeOf(record, sector)) {
    // Kept, never listed, so that the records of that volume are known as its own.
    runRecordAtSector_.try_emplace(sector, runRecords_.size());
    runRecords_.push_back({.sector = sector, .itemId = 0, .parent = parent, .recordNumber = 0, .isFile = 1, .mark = 1});
    return;
  }
  if (!inMft && copiesMftRecord(record, number)) return;  // listed once, from $MFT
  // An extension record holds attributes of its base record: it is kept so that the base
  // can be read whole, never reported as a file of its own.
  const bool extension = (record.le64(L::kRecordBaseReference).value_or(0) & 0xFFFFFFFFFFFFull) != 0;
  fs::ntfs::RunRecord entry;
  entry.sector = sector;
  entry.parent = parent;
  entry.recordNumber = number;
  if (!folder || extension) {
    entry.isFile = 1;
    // Inside $MFT a file without a name is not placed, unless its attribute list names
    // another record that holds its name (settled when the tree is built).
    entry.mark = extension || (inMft && parent == 0) ? 1 : 0;
    entry.itemId = itemIds_.take();
  } else {
    // A folder without a parent cannot be placed; one seen twice is kept once.
    if (parent == 0) return;
    if (number != fs::ntfs::kUnknownRecordNumber && foundFolderIndex_.count(number)) return;
    entry.itemId = itemIds_.take();
    // Folders are reported through their nodes, never from the array.
    entry.mark = inMft ? 0 : 1;
    if (number != fs::ntfs::kUnknownRecordNumber) foundFolderIndex_.emplace(number, foundFolders_.size());
    foundFolders_.push_back({entry.itemId, parent, sector, false, number});
  }
  if (number != fs::ntfs::kUnknownRecordNumber) runRecordIndex_.try_emplace(number, runRecords_.size());
  runRecordAtSector_.try_emplace(sector, runRecords_.size());
  runRecords_.push_back(entry);
}

void CNtfsEngine::SearchMftRuns() {
  itemIds_.startAt(10);
  runRecords_.clear();
  runRecordIndex_.clear();
  runRecordAtSector_.clear();
  foundFolders_.clear();
  foundFolderIndex_.clear();
  firstRunRecord_.reset();
  liveFileClusters_.clear();
  reporter_.logStart(text::kSearchingMetadata);
  progress_.SetFoundText(text::kSearchingMetadata);
  blockBar_.start(m_nSectorCount, kBlockSectors);
  if (mftExtents_.empty()) return;
  // A record's number is its place in $MFT, whatever its header says.
  sweepMft(
      0,
      [this](std::uint32_t number, RecordSpan record) {
        const auto sector = sectorOfMftOffset(mftExtents_, std::uint64_t(number) * recordSectors());
        if (sector) addFoundRecord(platform::ByteView(record), *sector, number, true);
        if (number != 0) noteLiveClusters(platform::ByteView(record));
        return !stopRequested();
      },
      [this](std::uint64_t records) {
        if (stopRequested()) return false;
        showSectorsSearched();
        sectorsSearched_ += records * recordSectors();
        return true;
      });
  std::sort(liveFileClusters_.begin(), liveFileClusters_.end());
  std::size_t kept = 0;
  for (const auto& range : liveFileClusters_) {
    if (kept != 0 && range.first <= liveFileClusters_[kept - 1].second) {
      liveFileClusters_[kept - 1].second = std::max(liveFileClusters_[kept - 1].second, range.second);
    } else {
      liveFileClusters_[kept++] = range;
    }
  }
  liveFileClusters_.resize(kept);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> CNtfsEngine::nestedVolumeOf(platform::ByteView record,
                                                                                  std::uint64_t sector) {
  if (fs::ntfs::storedRecordNumber(record).value_or(1) != 0) return std::nullopt;
  const std::uint32_t own = ownClusterSectors(record);
  const auto data = fs::ntfs::FindRecordData(record, false);
  if (own == 0 || !data || data->resident) return std::nullopt;
  std::vector<fs::ntfs::RunEntry> runs;
  std::size_t offset = data->offset;
  fs::ntfs::DecodeDataRuns(record, offset, runs, false, own);
  if (runs.empty() || runs.front().sparse() || runs.front().signedOffset() <= 0) return std::nullopt;
  const std::uint64_t firstCluster = std::uint64_t(runs.front().signedOffset());
  // Counted from this volume's start it leads to itself: a format of this volume. One that
  // leads past itself starts no volume inside this one.
  if (firstCluster * own >= sector) return std::nullopt;
  const std::uint64_t start = sector - firstCluster * own;
  std::array<std::uint8_t, 512> boot{};
  if (!ReadVolumeSectors(boot.data(), 512, start)) return std::nullopt;
  // Not held to this volume's end: an image may be cut, or claim more than it holds.
  const auto params = fs::ntfs::parseNtfsBoot(platform::ByteView(boot), 0);
  if (!params || params->sectorsPerCluster != own || params->mftCluster != firstCluster) return std::nullopt;
  // As many sectors as its boot sector claims, and no more than this volume has left.
  const std::uint64_t left = m_nSectorCount - start;
  const std::uint64_t units = std::max<std::uint32_t>(params->sectorUnits, 1);
  const std::uint64_t sectors = params->totalSectors < left / units ? (params->totalSectors + 1) * units : left;
  return std::make_pair(start, start + std::min(sectors, left));
}

bool CNtfsEngine::inNestedVolume(std::uint64_t sector) {
  if (!nestedVolumes_) {
    nestedVolumes_.emplace();
    Record record{};
    for (const fs::ntfs::RunRecord& found : runRecords_) {
      if (found.recordNumber != 0 || !readRecordAt(found.sector, record)) continue;
      if (const auto volume = nestedVolumeOf(platform::ByteView(record), found.sector)) nestedVolumes_->push_back(*volume);
    }
  }
  return std::any_of(nestedVolumes_->begin(), nestedVolumes_->end(),
                     [sector](const auto& v) { return sector >= v.first && sector < v.second; });
}

void CNtfsEngine::noteLiveClusters(platform::ByteView record) {
  if (!(record.u8(L::kRecordFlags).value_or(0) & L::kRecordInUse)) return;
  const std::uint64_t total = volumeClusters();
  for (const fs::ntfs::AttributeRef& a : fs::ntfs::walkAttributes(record, L::kMaxAttributes).attributes) {
    if (!a.nonResident) continue;
    const auto extents = attributeExtents(record, a);
    if (!extents) continue;
    for (const fs::ntfs::Extent& e : *extents)
      if (!e.hole && e.lcn < total) liveFileClusters_.emplace_back(e.lcn, e.lcn + std::min(e.length, total - e.lcn));
  }
}

bool CNtfsEngine::inLiveFile(std::uint64_t sector) const {
  if (!m_nSectorsPerCluster) return false;
  const std::uint64_t cluster = sector / m_nSectorsPerCluster;
  const auto it = std::upper_bound(liveFileClusters_.begin(), liveFileClusters_.end(),
                                   std::make_pair(cluster, ~std::uint64_t{0}));
  // $MFT's own clusters past its data size hold records, of an earlier format.
  return it != liveFileClusters_.begin() && cluster < std::prev(it)->second && !inMftArea(sector, true);
}

void CNtfsEngine::SearchVolumeRecords(bool bSingleMftRun) {
  // The sectors of $MFT's records, searched already: one area per run (with a single run,
  // that run), up to its data size; the clusters past it are searched as any others.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> areas = mftAreas(false);
  if (bSingleMftRun) areas.resize(std::min<std::size_t>(areas.size(), 1));
  std::uint64_t firstRunStart = 0, firstRunEnd = kFirstSearchedSector;
  const auto first = std::find_if(mftExtents_.begin(), mftExtents_.end(), [](const fs::ntfs::Extent& e) { return !e.hole; });
  if (first != mftExtents_.end()) {
    firstRunStart = first->lcn * m_nSectorsPerCluster;
    firstRunEnd = firstRunStart;
    for (const auto& area : areas)
      if (area.first == firstRunStart) firstRunEnd = area.second;
  }
  // After the first run to the volume's end, then from sector 32 up to the first run.
  searchSectorRange(std::max(firstRunEnd, kFirstSearchedSector), m_nSectorCount, areas);
  searchSectorRange(kFirstSearchedSector, std::min(firstRunStart, m_nSectorCount), areas);
  reporter_.logEnd(stopRequested());
}

void CNtfsEngine::searchSectorRange(std::uint64_t from, std::uint64_t to,
                                    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& mftAreas) {
  rawSearch_ = app_.m_nSetRaw == 0 && app_.m_pSelectedHeaders && m_pFreeExtents;
  auto inMftArea = [&mftAreas](std::uint64_t sector) {
    const auto it = std::upper_bound(mftAreas.begin(), mftAreas.end(), std::make_pair(sector, ~std::uint64_t{0}));
    return it != mftAreas.begin() && sector < std::prev(it)->second;
  };
  // Each block with the sectors after it (a record may straddle), zeros past the volume.
  const auto readableAt = [&](std::uint64_t at) {
    return std::min(std::min(kBlockSectors, to - at) + kRecordTailSectors, m_nSectorCount - at);
  };
  // Sized by the largest block of the range, not by the largest block there can be.
  const std::size_t blockBytes = std::size_t(std::min(kBlockSectors, to > from ? to - from : 0) + kRecordTailSectors) * 512;
  engine::ReadAhead blocks(blockBytes, [this](std::span<std::uint8_t> into, std::uint64_t at, std::size_t bytes) {
    std::fill(into.begin() + std::ptrdiff_t(bytes), into.end(), std::uint8_t{0});
    ReadVolumeSectors(into.data(), std::uint32_t(bytes), at);
  });
  if (!blocks.ready()) return;
  // Clusters from here to the range's end take part in the signature search.
  const std::uint64_t endCluster = std::min((to + m_nSectorsPerCluster - 1) / m_nSectorsPerCluster, volumeClusters());
  carve::RawFindOrder finds = deepRawFinds(endCluster);
  Record record{};
  // Blocks that cannot underflow and that reach the range's last sector.
  std::uint64_t s = from;
  while (s < to && !stopRequested()) {
    const std::uint64_t sectors = std::min(kBlockSectors, to - s);
    const std::uint64_t readable = readableAt(s);
    showSectorsSearched();
    sectorsSearched_ += sectors;
    // The next block is read while this one is searched; a search that runs past the
    // block's end (a file matched by its signature) reads its next block itself.
    const std::uint64_t next = s + sectors;
    const std::span<const std::uint8_t> block = blocks.get(s, readable * 512, next, next < to ? readableAt(next) * 512 : 0);
    std::uint64_t i = 0;
    while (i < sectors) {
      const std::uint64_t sector = s + i;
      const std::uint8_t* at = block.data() + i * 512;
      if (startsRecord(at)) {
        const std::uint64_t own = ownRecordSectors(at);
        if (i + own <= readable && !inMftArea(sector) && !inLiveFile(sector)) {
          record.resize(own * 512);
          std::memcpy(record.data(), at, record.size());
          if (fs::ntfs::ApplyRecordFixup(record)) {
            const platform::ByteView view(record);
            addFoundRecord(view, sector, fs::ntfs::storedRecordNumber(view).value_or(fs::ntfs::kUnknownRecordNumber), false);
            i += own;
            continue;
          }
        }
      } else if (rawSearch_ && sector % m_nSectorsPerCluster == 0 && isFreeCluster(sector / m_nSectorsPerCluster)) {
        const std::uint64_t size =
            MatchRawDocument(std::span<const std::uint8_t, 512>(at, 512), sector / m_nSectorsPerCluster, finds);
        if (size > 512) {
          // On to the sector after the file.
          i += (size + 511) / 512;
          continue;
        }
      }
      ++i;
    }
    s += std::max(i, sectors);
  }
  // A find whose end is not known ends where the search did.
  finds.finish(std::min((s + m_nSectorsPerCluster - 1) / m_nSectorsPerCluster, endCluster));
}

}  // namespace qelda::ntfs
