// The raw search: files found by their signatures in the free clusters that $Bitmap names,
// or in every sector of the volume when its structures cannot be used, each reported under a
// folder named after its type.
#include <algorithm>
#include <thread>

#include "carve/finder_names.h"
#include "carve/raw_sweep.h"
#include "engine/scan_state.h"
#include "fs/ntfs_bitmap.h"
#include "fs/ntfs_layout.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_texts.h"
#include "platform/text.h"

namespace qelda::ntfs {

namespace {

constexpr std::uint32_t kBitmapRecord = 6;
// The item bar's range while the raw search reports.
constexpr std::uint64_t kRawItemRange = 10000;
// The bitmap is read this much at a time; the bar still steps once per sector.
constexpr std::size_t kBitmapReadBytes = std::size_t(1) << 20;
// The sector search reads 2048 sectors (1 MiB) at a time.
constexpr std::uint32_t kSectorsPerDriveBlock = 2048;
// Volumes smaller than this are searched one cluster per block.
constexpr std::uint64_t kSmallVolumeSectors = 3000;
// A deep-scan hit keeps this much of its type text.
constexpr std::size_t kMaxDeepTypeText = 8;
// The item bar's range when the deep scan's hits are the first items reported.
constexpr std::uint64_t kDeepHitsItemRange = 100000;

// Clusters read per block: 1 MiB for every size up to 256 KiB, one cluster for larger ones.
std::uint32_t clustersPerBlock(std::uint32_t sectorsPerCluster) {
  if (!fs::ntfs::isValidSectorsPerCluster(sectorsPerCluster) || sectorsPerCluster > 512) return 1;
  return 2048 / sectorsPerCluster;
}

unsigned sweepThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 4u); }

}  // namespace

// The forward search steps through the free clusters only, in cluster order.
class CNtfsEngine::FreeClusterRule final : public carve::IRawUnitRule {
 public:
  explicit FreeClusterRule(const CNtfsEngine& engine) : engine_(engine) {}
  std::uint32_t unitBytes() const override { return std::uint32_t(engine_.clusterBytes()); }
  std::uint32_t clusterBytes() const override { return std::uint32_t(engine_.clusterBytes()); }
  std::optional<carve::RawUnit> nextUnit(std::uint64_t unit) const override {
    const auto c = engine_.nextFreeCluster(unit);
    if (!c || *c >= engine_.volumeClusters()) return std::nullopt;
    return carve::RawUnit{*c, engine_.m_nPartitionStart + *c * engine_.m_nSectorsPerCluster};
  }

 private:
  const CNtfsEngine& engine_;
};

std::unique_ptr<carve::RAW_READ_CONTEXT> CNtfsEngine::makeRawContext() {
  auto context = std::make_unique<carve::RAW_READ_CONTEXT>();
  // The image file or the mounted source, whichever the engine reads: every finder reads
  // through it.
  context->reader = [this](std::uint64_t absolute, std::uint8_t* buffer, std::uint32_t sectors) {
    return readAbsolute(buffer, sectors * engine::kSectorBytes, absolute) != 0;
  };
  context->selectedHeaders = app_.m_pSelectedHeaders;
  context->stop = &app_.m_bStopRequested;
  return context;
}

engine::ScanOutcome CNtfsEngine::ScanRaw() {
  clearDeepScan();
  failure_.clear();
  if (fileSystemName_ == u"NTFS") settleRecordSize();
  m_pRawContext = makeRawContext();
  if (fileSystemName_ == u"NTFS") RunRawSearch();
  m_pRawContext.reset();
  // The search shows no failure of its own: what it could not read, it found nothing in.
  return engine::scanEnded(app_, {});
}

void CNtfsEngine::RunRawSearch() {
  itemIds_.startAt(10);
  rawFolders_.clear();
  if (m_nSectorCount == 0) return;
  const std::uint64_t lastSector = m_nPartitionStart + m_nSectorCount - 1;
  if (!fs::ntfs::isValidSectorsPerCluster(m_nSectorsPerCluster) && !ReadBootSector()) {
    SearchDriveForKnownTypes(m_bImageFile, m_nPartitionStart, lastSector);
    return;
  }
  BuildFreeClusterList();
  mftRuns_.clear();
  mftExtents_.clear();
  mftSectorCount_ = 0;
  // Without a free cluster (or without a readable $Bitmap) every sector is searched.
  if (m_pFreeExtents) SearchClustersForKnownTypes();
  else SearchDriveForKnownTypes(m_bImageFile, m_nPartitionStart, lastSector);
}

bool CNtfsEngine::BuildFreeClusterList(bool quiet) {
  // A second list replaces the first: appended, its extents would no longer ascend.
  clearFreeExtents();
  if (!fs::ntfs::isValidSectorsPerCluster(m_nSectorsPerCluster)) return false;
  if (mftSector_ == 0 || mftSector_ >= m_nSectorCount) {
    const auto boot = findBootSector();
    if (!boot) return false;
    adoptBootSector(*boot);
  }
  if (mftRuns_.empty() && !LoadMft()) return false;

  FOUND_ITEM bitmap;
  bitmap.m_nId = kBitmapRecord;
  // The deep scan finds its items again by their records' sectors.
  bitmap.m_nRecordKey = advanced_ ? GetRecordSector(kBitmapRecord) : kBitmapRecord;
  bitmap.m_byAttributes = kItemFile;
  std::uint32_t runClusters = 0;
  DataStreamInfo info;
  std::vector<std::uint8_t> resident;
  const std::vector<fs::ntfs::RunEntry> runs = GetDataRuns(bitmap, runClusters, &resident, &info);
  if (runs.empty() && resident.empty()) return false;
  const auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents) return false;

  // One bit per cluster of the volume and no more: the bits past the stream's length and
  // those past the volume's last cluster stand for nothing.
  std::uint64_t limit = std::min<std::uint64_t>(volumeClusters(), kHoleCluster);
  const std::uint64_t streamBytes = runs.empty() ? resident.size() : info.dataSize;
  if (streamBytes <= limit / 8) limit = std::min(limit, streamBytes * 8);
  // Clusters past the stream's bits (a partition longer than its file system) are not the
  // volume's to give: counted in use.
  bool whole = true;

  const std::uint64_t bitmapSectors = (limit + 4095) / 4096;
  if (!quiet) {
    reporter_.logStart(engine::texts::kCreatingFreeList);
    progress_.SetFoundText(engine::texts::kSearchingCritical);
    progress_.setRange(engine::kItemBar, 0, bitmapSectors);
    progress_.setStep(engine::kItemBar, 1);
    progress_.setPos(engine::kItemBar, 0);
    progress_.SetStopEnabled(false);
    app_.m_bSearchingCriticalInfo = 1;
  }

  fs::ntfs::FreeClusterWalk walk(limit);
  if (runs.empty()) walk.addBytes(platform::ByteView(resident));
  const std::uint64_t bitsPerCluster = clusterBytes() * 8;
  std::vector<std::uint8_t> buffer;
  for (const fs::ntfs::Extent& e : *extents) {
    if (walk.full()) break;
    // A hole, or a run that leaves the volume: its bits are unknown, so its clusters count as in use.
    if (e.hole || e.lcn >= volumeClusters() || e.length > volumeClusters() - e.lcn) {
      whole = false;
      walk.addInUse(e.length * bitsPerCluster);
      continue;
    }
    const std::uint64_t extentBytes = e.length * clusterBytes();
    for (std::uint64_t done = 0; done < extentBytes && !walk.full();) {
      const std::uint64_t needed = (limit - walk.position() + 7) / 8;
      const std::size_t n = std::size_t(std::min<std::uint64_t>(
          {extentBytes - done, kBitmapReadBytes, (needed + 511) / 512 * 512}));
      buffer.resize(n);
      const std::uint64_t sector = e.lcn * m_nSectorsPerCluster + done / 512;
      if (ReadVolumeSectors(buffer.data(), std::uint32_t(n), sector)) {
        walk.addBytes(platform::ByteView(buffer));
      } else {
        whole = false;
        walk.addInUse(std::uint64_t(n) * 8);
      }
      if (!quiet)
        for (std::size_t s = 0; s < n / 512; ++s) progress_.stepIt(engine::kItemBar);
      done += n;
    }
  }
  for (const fs::ntfs::FreeRun& r : walk.finish()) addFreeExtent(std::uint32_t(r.first), std::uint32_t(r.count));
  freeListWhole_ = whole && walk.full();

  if (!quiet) {
    reporter_.logEnd(false);
    progress_.SetStopEnabled(true);
    app_.m_bSearchingCriticalInfo = 0;
  }
  return true;
}

std::shared_ptr<const engine::ClusterMap> CNtfsEngine::allocationMap() {
  if (!freeListWhole_ && !quietListTried_) {
    quietListTried_ = true;
    BuildFreeClusterList(true);
  }
  if (!freeListWhole_) return nullptr;
  const std::uint64_t clusters = volumeClusters();
  auto map = std::make_shared<engine::ClusterMap>(0, clusters);
  // In use: every cluster between the free extents, which ascend.
  std::uint64_t c = 0;
  for (const FREE_EXTENT& e : freeExtentPool_) {
    for (; c < e.firstCluster && c < clusters; ++c) map->markInUse(c);
    c = std::max<std::uint64_t>(c, std::uint64_t(e.firstCluster) + e.clusterCount);
  }
  for (; c < clusters; ++c) map->markInUse(c);
  map->place(m_nPartitionStart, m_nSectorsPerCluster, m_nPartitionStart);
  return map;
}

void CNtfsEngine::resetRawTotals() {
  m_nTotalSize = 0;
  m_nFileCount = 0;
  m_nFolderCount = 0;
  m_nEntryCount = 0;
  itemIds_.startAt(6);
}

void CNtfsEngine::SearchClustersForKnownTypes() {
  resetRawTotals();
  m_bClusterSearch = 1;
  progress_.setPos(engine::kItemBar, 0);
  sweepFreeClusters([this](carve::RawHit&& hit) {
    const RAW_HIT raw{hit.match.typeText, hit.unit, hit.match.size};
    AddRawFoundItem(raw, hit.match.name.empty() ? nullptr : &hit.match.name);
  });
}

void CNtfsEngine::sweepFreeClusters(const std::function<void(carve::RawHit&&)>& report) {
  const std::uint64_t clusterCount = volumeClusters();
  const std::uint32_t perBlock = m_nSectorCount < kSmallVolumeSectors ? 1 : clustersPerBlock(m_nSectorsPerCluster);
  blockBar_.start(clusterCount / perBlock);
  const FreeClusterRule rule(*this);
  carve::RAW_READ_CONTEXT& context = *m_pRawContext;
  context.unitRule = &rule;
  context.sourceFirstSector = m_nPartitionStart;
  context.sourceEndSector = m_nPartitionStart + clusterCount * m_nSectorsPerCluster;

  carve::RawSweep sweep;
  sweep.firstUnit = 0;
  sweep.endUnit = clusterCount;
  sweep.sectorsPerUnit = m_nSectorsPerCluster;
  sweep.unitsPerBlock = perBlock;
  sweep.firstSectorOf = [this](std::uint64_t c) { return m_nPartitionStart + c * m_nSectorsPerCluster; };
  sweep.isCandidate = [this](std::uint64_t c) { return isFreeCluster(c); };
  sweep.onBlock = [this, clusterCount](std::uint64_t b) { blockBar_.stepReading(texts::kReadingCluster, b, clusterCount); };
  sweep.report = report;
  sweep.threads = sweepThreads();
  carve::sweepForKnownTypes(context, sweep);
  context.unitRule = nullptr;
}

void CNtfsEngine::SearchDriveForKnownTypes(std::uint8_t bImageFile, std::uint64_t firstSector,
                                           std::uint64_t lastSector) {
  // Zeroed geometry gives a last sector below the first: nothing to search, rather than
  // nearly every sector a 64-bit count can name.
  if (lastSector < firstSector) return;
  m_nPartitionStart = firstSector;
  m_nLastSector = lastSector;
  m_nSectorCount = lastSector - firstSector + 1;
  m_nSectorsPerCluster = 1;
  itemIds_.startAt(10);
  m_bImageFile = bImageFile;
  reader_.readImageFile(m_bImageFile);
  reporter_.logStart(engine::texts::kSearchingPhysicalDrive);
  SearchDriveBlocks();
  reporter_.logEnd(stopRequested());
}

void CNtfsEngine::SearchDriveBlocks() {
  resetRawTotals();
  m_bClusterSearch = 0;
  const std::uint64_t end = m_nPartitionStart + m_nSectorCount;
  progress_.setPos(engine::kItemBar, 0);
  blockBar_.start(m_nSectorCount / kSectorsPerDriveBlock);
  const carve::SectorUnitRule rule(end);
  carve::RAW_READ_CONTEXT& context = *m_pRawContext;
  context.unitRule = &rule;
  context.sourceFirstSector = m_nPartitionStart;
  context.sourceEndSector = end;

  // Units are absolute sectors here; a hit's key counts from the volume's start, as every
  // read of the engine does, so that the file reads back where it was found.
  carve::RawSweep sweep;
  sweep.firstUnit = m_nPartitionStart;
  sweep.endUnit = end;
  sweep.sectorsPerUnit = 1;
  sweep.unitsPerBlock = kSectorsPerDriveBlock;
  sweep.firstSectorOf = [](std::uint64_t s) { return s; };
  sweep.onBlock = [this, end](std::uint64_t s) { blockBar_.stepReading(texts::kReadingSector, s, end); };
  sweep.report = [this](carve::RawHit&& hit) {
    const RAW_HIT raw{hit.match.typeText, hit.unit - m_nPartitionStart, hit.match.size};
    AddRawFoundItem(raw, hit.match.name.empty() ? nullptr : &hit.match.name);
  };
  sweep.threads = sweepThreads();
  carve::sweepForKnownTypes(context, sweep);
  context.unitRule = nullptr;
}

void CNtfsEngine::reportRawFile(std::u16string_view typeText, std::uint64_t key, std::uint64_t size,
                                std::u16string_view finderName, std::uint32_t parentId,
                                const std::function<std::uint32_t()>& takeId, std::uint64_t itemRange) {
  const engine::RawDataFolders::Placement folder = rawFolders_.place(typeText, takeId);
  if (folder.opened) {
    FOUND_ITEM item;
    item.m_byAttributes = kItemFolder;
    item.m_byFlags = kItemBySignature;
    item.m_nParentId = parentId;
    item.m_nId = folder.folderId;
    item.m_nRecordKey = folder.folderId;
    reporter_.report(item, folder.folderName, totals(), itemRange);
  }
  FOUND_ITEM file;
  file.m_byAttributes = kItemFile;
  file.m_byFlags = kItemBySignature;
  file.m_nSize = size;
  file.m_nRecordKey = key;
  file.m_nParentId = folder.folderId;
  file.m_nId = takeId();
  reporter_.report(file, carve::rawFileName(rawFolders_.fileStem(key, finderName), folder.typeText), totals(),
                   itemRange);
}

void CNtfsEngine::AddRawFoundItem(const RAW_HIT& hit, const std::u16string* name) {
  reportRawFile(hit.typeText, hit.number, hit.size, name ? std::u16string_view(*name) : std::u16string_view(),
                rootRecord_, [this] { return itemIds_.take(); }, kRawItemRange);
}

bool CNtfsEngine::readFoundBySignature(const FOUND_ITEM& item,
                                       const std::function<bool(std::span<const std::uint8_t>)>& sink) {
  if (item.isFolder() || item.m_nSize == 0) return true;
  if (!m_nSectorsPerCluster || item.m_nRecordKey >= volumeClusters()) return false;
  buildPendingFreeList();
  // The volume's clusters; past its end they read as zeros and fail.
  struct Reader {
    CNtfsEngine& engine;
    std::uint64_t clusterBytes() const { return engine.clusterBytes(); }
    bool hasCluster(std::uint64_t) const { return true; }
    bool readClusters(std::uint64_t first, std::uint64_t count, std::uint8_t* out) {
      return engine.readClusters(first, count, out);
    }
  } reader{*this};
  // Up to 1 MiB (or one cluster) of the list at a time: the size a saved file claims never
  // decides how much is held at once.
  const std::uint64_t perList = std::max<std::uint64_t>(1, kBitmapReadBytes / clusterBytes()) * clusterBytes();
  std::vector<std::uint8_t> buffer;
  std::uint64_t remaining = item.m_nSize;
  std::uint64_t from = item.m_nRecordKey;
  bool ok = true;
  while (remaining > 0) {
    const std::vector<std::uint64_t> clusters = GetContiguousClusterList(from, std::min(remaining, perList));
    if (clusters.empty()) break;
    const std::uint64_t take = std::min(remaining, clusters.size() * clusterBytes());
    const engine::StreamResult piece = engine::streamClusters(reader, engine::ClusterList(clusters), take, sink, buffer);
    if (piece.clustersFailed != 0) ok = false;
    if (piece.stopped) return false;
    remaining -= take;
    from = clusters.back() + 1;
  }
  return ok && remaining == 0;
}

carve::RawFindOrder CNtfsEngine::deepRawFinds(std::uint64_t endCluster) {
  // A find is read back through the free clusters from its own on.
  return carve::RawFindOrder(clusterBytes(), endCluster, [this](std::uint64_t c) { return isFreeCluster(c); },
                             [this](carve::RawHit&& hit) { keepDeepRawHit(std::move(hit)); });
}

void CNtfsEngine::keepDeepRawHit(carve::RawHit&& hit) {
  deepRawHits_.push_back({hit.match.typeText.substr(0, kMaxDeepTypeText), hit.unit, hit.match.size});
}

std::uint64_t CNtfsEngine::MatchRawDocument(std::span<const std::uint8_t, 512> sector, std::uint64_t cluster,
                                            carve::RawFindOrder& finds) {
  if (!m_pRawContext || cluster < finds.skipUntil()) return 0;
  const FreeClusterRule rule(*this);
  carve::RAW_READ_CONTEXT& context = *m_pRawContext;
  context.unitRule = &rule;
  context.sourceFirstSector = m_nPartitionStart;
  context.sourceEndSector = m_nPartitionStart + volumeClusters() * m_nSectorsPerCluster;
  carve::RawHit hit;
  hit.unit = cluster;
  hit.firstSector = m_nPartitionStart + cluster * m_nSectorsPerCluster;
  const bool found = carve::MatchRawSignatures(context, sector, hit.firstSector, cluster, nullptr) &&
                     carve::MatchRawSignatures(context, sector, hit.firstSector, cluster, &hit.match) &&
                     hit.match.size != 0;
  context.unitRule = nullptr;
  if (!found) return 0;
  const std::uint64_t covered = carve::RawFindOrder::coversItsUnits(hit.match) ? hit.match.size : 0;
  finds.take(std::move(hit));
  return covered;
}

void CNtfsEngine::SearchUnclaimedClusters() {
  namespace L = fs::ntfs::layout;
  const std::uint64_t clusters = std::min<std::uint64_t>(volumeClusters(), kHoleCluster);
  if (clusters == 0 || !m_pRawContext) return;
  // The clusters [first, end) that a found record, or the data of a file in use, lies in: as
  // many pieces as the records hold runs, so the work stays bounded by what the disk holds.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> claimed;
  const auto claim = [&](std::uint64_t first, std::uint64_t count) {
    if (first < clusters && count != 0) claimed.emplace_back(first, first + std::min(count, clusters - first));
  };
  Record record{};
  std::vector<fs::ntfs::RunEntry> runs;
  for (const fs::ntfs::RunRecord& entry : runRecords_) {
    if (stopRequested()) return;
    const bool read = readOwnSizedRecord(entry.sector, record);
    const std::uint64_t recordSectors = record.size() / engine::kSectorBytes;
    claim(entry.sector / m_nSectorsPerCluster,
          (entry.sector + recordSectors - 1) / m_nSectorsPerCluster - entry.sector / m_nSectorsPerCluster + 1);
    if (!read || !fs::ntfs::ApplyRecordFixup(record)) continue;
    const platform::ByteView view(record);
    if ((view.u8(L::kRecordFlags).value_or(0) & L::kRecordInUse) == 0) continue;
    for (const fs::ntfs::AttributeRef& attr : fs::ntfs::walkAttributes(view, L::kMaxAttributes).attributes) {
      const auto attribute = view.sub(attr.offset, attr.length);
      const auto runList = attribute ? attribute->le16(L::kAttrRunListOffset) : std::nullopt;
      if (!attr.nonResident || !runList) continue;
      std::size_t at = *runList;
      runs.clear();
      fs::ntfs::DecodeDataRuns(*attribute, at, runs, false, m_nSectorsPerCluster);
      const auto extents = fs::ntfs::runsToExtents(runs);
      if (!extents) continue;
      for (const fs::ntfs::Extent& e : *extents)
        if (!e.hole) claim(e.lcn, e.length);
    }
  }
  std::sort(claimed.begin(), claimed.end());
  clearFreeExtents();
  std::uint64_t next = 0;  // every cluster below this is claimed or listed free
  for (const auto& [first, end] : claimed) {
    if (first > next) addFreeExtent(std::uint32_t(next), std::uint32_t(first - next));
    next = std::max(next, end);
  }
  if (next < clusters) addFreeExtent(std::uint32_t(next), std::uint32_t(clusters - next));
  if (m_pFreeExtents && !stopRequested()) sweepFreeClusters([this](carve::RawHit&& hit) { keepDeepRawHit(std::move(hit)); });
}

void CNtfsEngine::SendRawHits() {
  reporter_.showFoundCount(m_nEntryCount);
  if (deepRawHits_.empty()) return;
  // Every folder and file here takes its id from the counter that runs down from the top.
  FOUND_ITEM top;
  top.m_byAttributes = kItemFolder;
  top.m_byFlags = kItemBySignature;
  top.m_nParentId = rootRecord_;
  top.m_nId = itemIds_.takeMadeUp();
  top.m_nRecordKey = top.m_nId;
  reporter_.report(top, engine::kRawDataFoldersName, totals(), kDeepHitsItemRange);
  rawFolders_.clear();
  for (const DEEP_RAW_HIT& hit : deepRawHits_) {
    if (stopRequested()) break;
    // Named by the cluster, whatever name a finder gave.
    reportRawFile(hit.typeText, hit.cluster, hit.size, {}, top.m_nId, [this] { return itemIds_.takeMadeUp(); },
                  kDeepHitsItemRange);
  }
  deepRawHits_.clear();
  rawFolders_.clear();
}

}  // namespace qelda::ntfs
