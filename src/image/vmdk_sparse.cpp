// VMDK sparse extents: the header, and the grain directory and grain tables loaded once at
// mount, so that a read maps whole runs of grains without touching the tables on disk.
#include <algorithm>
#include <unordered_map>

#include "image/mounted_image.h"
#include "image/vmdk_layout.h"

namespace qelda::image {
namespace {

constexpr std::uint64_t kSector = 512;
// Grains beyond 8 GiB exist in no image; the bound keeps grain × entries inside 64 bits.
constexpr std::uint64_t kMaxGrainSectors = std::uint64_t(1) << 24;
// The grain directory we are prepared to hold: 2^24 entries map 512 TiB at the usual
// 64 KiB grains and 512 entries per table.
constexpr std::uint64_t kMaxDirectoryEntries = std::uint64_t(1) << 24;
// Grain tables held in memory at most; tables past it read as unreadable.
constexpr std::uint64_t kMaxTableBytes = std::uint64_t(1) << 30;
// Neighbouring tables are read together when the gap between them is at most this, and
// one read is at most kMaxTableRead long.
constexpr std::uint64_t kTableReadGap = 64 * 1024;
constexpr std::uint64_t kMaxTableRead = 8u << 20;

}  // namespace

SparseExtentHeader parseSparseExtentHeader(platform::ByteView sector0, SparseDefaults defaults,
                                           std::uint64_t extentSectors) {
  SparseExtentHeader h;
  if (sector0.le32(0) == vmdk::kSparseMagic) {
    platform::LeCursor c(sector0, vmdk::kFlags);
    h.flags = c.u32();
    h.capacity = c.u64();
    h.grainSectors = c.u64();
    h.descriptorOffset = c.u64();
    h.descriptorSectors = c.u64();
    h.tableEntries = c.u32();
    h.redundantDirectory = c.u64();
    h.directory = c.u64();
    h.fromMagic = c.ok();
    if (h.fromMagic) return h;
    h = {};
  }
  // A damaged or missing header: the geometry every writer uses by default, over the size
  // the caller knows the extent to have.
  h.capacity = extentSectors;
  h.grainSectors = vmdk::kDefaultGrainSize;
  h.tableEntries = vmdk::kDefaultGrainTableEntries;
  h.redundantDirectory =
      defaults == SparseDefaults::Monolithic ? vmdk::kDefaultMonolithicDirectory : vmdk::kDefaultSplitDirectory;
  if (defaults == SparseDefaults::Monolithic) {
    h.descriptorOffset = vmdk::kDefaultDescriptorOffset;
    h.descriptorSectors = vmdk::kDefaultDescriptorSize;
  }
  return h;
}

std::shared_ptr<const SparseGrainMap> SparseGrainMap::load(const platform::ReadOnlyFile& file,
                                                           const SparseExtentHeader& header, bool parentHoldsHoles) {
  // Compressed grains are not plain sectors: reading them as such would hand out garbage.
  if (header.flags & vmdk::kFlagCompressedGrains) return nullptr;
  if (header.grainSectors == 0 || header.grainSectors > kMaxGrainSectors || header.tableEntries == 0) return nullptr;
  // The redundant directory is the one both known writers keep current.
  const std::uint64_t directory = header.redundantDirectory ? header.redundantDirectory : header.directory;
  if (directory == 0) return nullptr;  // sector 0 is the header, never a directory

  const std::uint64_t fileBytes = file.size();
  const std::uint64_t tableBytes = std::uint64_t(header.tableEntries) * 4;
  if (tableBytes > fileBytes) return nullptr;  // not one table fits in the file
  auto map = std::make_shared<SparseGrainMap>();
  map->grainSectors_ = header.grainSectors;
  map->tableEntries_ = header.tableEntries;
  map->sectors_ = std::min(header.capacity, kMaxDiskSectors);
  map->zeroedGrainEntry_ = (header.flags & vmdk::kFlagZeroedGrainEntry) != 0;
  map->holesUnreadable_ = parentHoldsHoles;

  // The directory: one entry per table the capacity needs, as far as the file holds it.
  // Entries it does not hold are no entry: their grains read as zeros.
  const std::uint64_t coverage = header.grainSectors * header.tableEntries;  // < 2^56
  std::uint64_t entries = map->sectors_ / coverage + (map->sectors_ % coverage != 0);
  if (directory > fileBytes / kSector) entries = 0;
  else entries = std::min({entries, (fileBytes - directory * kSector) / 4, kMaxDirectoryEntries});
  std::vector<std::uint8_t> raw(std::size_t(entries) * 4);
  raw.resize(file.readAt(directory * kSector, raw) / 4 * 4);
  const platform::ByteView dir(raw);

  // Tables, each loaded once even when several entries name it.
  map->tableOfDirectoryEntry_.assign(raw.size() / 4, kNoTable);
  std::unordered_map<std::uint32_t, std::uint32_t> tableOfSector;
  std::vector<std::uint32_t> sectors;  // table number -> its sector
  for (std::size_t i = 0; i < map->tableOfDirectoryEntry_.size(); ++i) {
    const std::uint32_t tableSector = *dir.le32(i * 4);
    if (tableSector == 0) continue;
    // A table that does not fit in the file is no entry.
    if (std::uint64_t(tableSector) * kSector > fileBytes - tableBytes) continue;
    auto [it, added] = tableOfSector.try_emplace(tableSector, std::uint32_t(sectors.size()));
    if (added) {
      if ((sectors.size() + 1) * tableBytes > std::min(kMaxTableBytes, fileBytes)) {
        tableOfSector.erase(it);
        map->tableOfDirectoryEntry_[i] = kUnloadedTable;
        continue;
      }
      sectors.push_back(tableSector);
    }
    map->tableOfDirectoryEntry_[i] = it->second;
  }

  // Read the tables in file order, neighbours together (writers put them side by side).
  map->tables_.assign(sectors.size() * header.tableEntries, 0);
  std::vector<std::uint32_t> order(sectors.size());
  for (std::uint32_t t = 0; t < order.size(); ++t) order[t] = t;
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return sectors[a] < sectors[b]; });
  std::vector<std::uint8_t> chunk;
  std::vector<bool> failed(sectors.size(), false);
  for (std::size_t i = 0; i < order.size();) {
    const std::uint64_t start = std::uint64_t(sectors[order[i]]) * kSector;
    std::size_t j = i + 1;
    std::uint64_t end = start + tableBytes;
    while (j < order.size()) {
      const std::uint64_t next = std::uint64_t(sectors[order[j]]) * kSector;
      if (next > end + kTableReadGap || next + tableBytes - start > kMaxTableRead) break;
      end = std::max(end, next + tableBytes);
      ++j;
    }
    chunk.assign(std::size_t(end - start), 0);
    const std::size_t got = file.readAt(start, chunk);
    for (std::size_t k = i; k < j; ++k) {
      const std::uint32_t t = order[k];
      const std::uint64_t at = std::uint64_t(sectors[t]) * kSector - start;
      if (at + tableBytes > got) {
        failed[t] = true;
        continue;
      }
      const platform::ByteView bytes(chunk.data() + at, std::size_t(tableBytes));
      std::uint32_t* out = map->tables_.data() + std::size_t(t) * header.tableEntries;
      for (std::uint32_t e = 0; e < header.tableEntries; ++e) out[e] = *bytes.le32(std::size_t(e) * 4);
    }
    i = j;
  }
  // A table that could not be read is no entry.
  for (std::uint32_t& t : map->tableOfDirectoryEntry_)
    if (t < failed.size() && failed[t]) t = kNoTable;
  map->findGrainsPastEnd(fileBytes);
  return map;
}

void SparseGrainMap::findGrainsPastEnd(std::uint64_t fileBytes) {
  // Each table is looked at once, at the first directory entry naming it, so that the work
  // is bounded by the tables the file holds, not by how often the directory names them.
  std::vector<bool> seen(tables_.size() / std::max<std::uint32_t>(tableEntries_, 1), false);
  for (std::size_t d = 0; d < tableOfDirectoryEntry_.size(); ++d) {
    const std::uint32_t table = tableOfDirectoryEntry_[d];
    if (table >= seen.size() || seen[table]) continue;
    seen[table] = true;
    for (std::uint32_t e = 0; e < tableEntries_; ++e) {
      const std::uint64_t index = std::uint64_t(d) * tableEntries_ + e;
      if (index * grainSectors_ >= sectors_) break;  // past the capacity: not data
      const GrainRef g = grain(index);
      if (g.kind != Grain::Data || (std::uint64_t(g.sector) + grainSectors_) * kSector <= fileBytes) continue;
      if (grainsPastEnd_.size() < kListedGrains)
        grainsPastEnd_.push_back({index, std::uint64_t(g.sector) * kSector < fileBytes});
      ++grainsPastEndCount_;
    }
  }
}

SparseGrainMap::GrainRef SparseGrainMap::grain(std::uint64_t index) const {
  const std::uint64_t entry = index / tableEntries_;
  if (entry >= tableOfDirectoryEntry_.size()) return {Grain::Hole, 0};
  const std::uint32_t table = tableOfDirectoryEntry_[entry];
  if (table == kNoTable) return {Grain::Hole, 0};
  if (table == kUnloadedTable) return {Grain::Unreadable, 0};
  const std::uint32_t sector = tables_[std::size_t(table) * tableEntries_ + std::size_t(index % tableEntries_)];
  if (sector == 0) return {Grain::Hole, 0};
  if (zeroedGrainEntry_ && sector == vmdk::kZeroedGrainEntry) return {Grain::Zero, 0};
  return {Grain::Data, sector};
}

MappedRun SparseGrainMap::map(const platform::ReadOnlyFile* file, std::uint64_t s, std::uint64_t maxSectors) const {
  // Sectors past the capacity have no grain: whatever the tables say there is not data.
  if (s >= sectors_) return failedRun(maxSectors);
  maxSectors = std::min(maxSectors, sectors_ - s);
  std::uint64_t index = s / grainSectors_;
  const GrainRef first = grain(index);
  const std::uint64_t inGrain = s % grainSectors_;
  std::uint64_t run = std::min(grainSectors_ - inGrain, maxSectors);
  // Following grains join the run while they continue it: holes after holes, data that
  // lies right after the previous grain in the file.
  std::uint64_t nextSector = std::uint64_t(first.sector) + grainSectors_;
  while (run < maxSectors) {
    const GrainRef next = grain(++index);
    if (next.kind != first.kind) break;
    if (first.kind == Grain::Data) {
      if (next.sector != nextSector) break;
      nextSector += grainSectors_;
    }
    run += std::min(grainSectors_, maxSectors - run);
  }
  switch (first.kind) {
    case Grain::Hole:
      return holesUnreadable_ ? failedRun(run) : zeroRun(run);
    case Grain::Zero:
      return zeroRun(run);
    case Grain::Unreadable:
      return failedRun(run);
    case Grain::Data:
      break;
  }
  if (!file) return failedRun(run);
  return {file, (std::uint64_t(first.sector) + inGrain) * kSector, run, true};
}

}  // namespace qelda::image
