// The deep search: every sector of the disk once, read in large sequential blocks; boot
// sectors, directory starts and the $MFT's own record are what it looks for.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/read_ahead.h"
#include "fs/mft_record.h"
#include "fs/ntfs_layout.h"
#include "lost/lost_layout.h"
#include "lost/search_volume.h"
#include "lost/sector_tests.h"
#include "ui/format_size.h"
#include "volume/volume_records.h"

namespace qelda::lost {

using platform::ByteView;
namespace N = fs::ntfs::layout;

namespace {

constexpr std::size_t kSector = 512;
// One step of the progress bar and of the stop poll.
constexpr std::uint64_t kStepSectors = 2048;
// Sectors read at once, and those read beyond them so that a candidate's look-ahead (the
// record four records on, as long as the largest record: 32 sectors on, eight long) stays
// inside the buffer.
constexpr std::uint64_t kChunkSectors = 4 * kStepSectors;
constexpr std::uint64_t kLookAhead = layout::kNextRecordDistance * 4 + 8;
// Directory starts and FAT signatures are few on real disks; a disk made of nothing else
// is read again when the FAT search needs it, instead of being indexed without end.
constexpr std::size_t kMaxIndexedSignatures = std::size_t(1) << 22;

// The record's own name as it appears in its $FILE_NAME: a cheap test before the full one.
constexpr std::uint8_t kMftNameUtf16[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};

bool mentionsMftName(std::span<const std::uint8_t> record) {
  return ::memmem(record.data(), record.size(), kMftNameUtf16, sizeof kMftNameUtf16) != nullptr;
}

// The cluster sizes an $MFT without attribute list is tried with, smallest first.
constexpr std::uint64_t kMaxTriedCluster = 512;
constexpr std::uint64_t kTrack = 63;
// The record number of $MFT itself: list entries naming it are its own pieces.
constexpr std::uint32_t kMftRecordNumber = 0;
// A list entry holding the file's data, its index root and its index allocation.
constexpr std::uint8_t kListData = N::kTypeData;
constexpr std::uint8_t kListIndexRoot = N::kTypeIndexRoot;
constexpr std::uint8_t kListIndexAllocation = N::kTypeIndexAllocation;
constexpr std::size_t kMaxResidentListEntries = 30;
constexpr std::size_t kMaxBlockListEntries = 10;

}  // namespace

void CThreadForSearchVolume::DeepSearch() {
  hits_.clear();
  fatSignatures_.clear();
  fatSignaturesUpTo_ = 0;
  fatSignaturesCapped_ = false;
  beginSearch();
  const std::uint64_t n = m_nTotalSectors;
  const std::uint64_t progressMax = n / kStepSectors;
  progress_.showBar(kSearchBar, true);
  progress_.setRange(kSearchBar, 0, progressMax);
  progress_.setStep(kSearchBar, 1);

  // The next chunk is read on a second thread while this one is searched; the buffers go
  // before the analysis.
  // No larger than the largest chunk this disk has: a small disk is not swept through
  // megabytes of zeroed memory.
  const std::size_t bufferBytes = std::size_t(std::min(kChunkSectors, n) + kLookAhead) * kSector;
  if (engine::ReadAhead chunks(bufferBytes, [this](std::span<std::uint8_t> into, std::uint64_t sector, std::size_t bytes) {
    readSectors(into.data(), sector, std::uint32_t(bytes / kSector));
      });
      chunks.ready()) {
    bool stopped = false;
    // Every sector is a candidate, those of the last block too; what lies past the disk's
    // end reads as zeros.
    const auto chunkBytes = [n](std::uint64_t s) { return std::size_t(std::min(kChunkSectors, n - s) + kLookAhead) * kSector; };
    for (std::uint64_t s = 0; s < n && !stopped; s += kChunkSectors) {
      const std::uint64_t candidates = std::min(kChunkSectors, n - s);
      const std::uint64_t next = s + kChunkSectors;
      const std::span<const std::uint8_t> chunk = chunks.get(s, chunkBytes(s), next, next < n ? chunkBytes(next) : 0);
      for (std::uint64_t step = 0; step < candidates; step += kStepSectors) {
        if (progressStep(s + step)) {
          stopped = true;
          break;
        }
        const std::uint64_t end = std::min(candidates, step + kStepSectors);
        for (std::uint64_t i = step; i < end; ++i) examineSector(chunk.data(), std::size_t(i), s + i);
        fatSignaturesUpTo_ = s + end;
      }
    }
  }
  hideSearchProgress(progressMax);
  if (!hits_.empty()) analyseDirectoryClusters();
  logSearchEnd();
  hits_.clear();
  hits_.shrink_to_fit();
  fatSignatures_.clear();
  fatSignatures_.shrink_to_fit();
  m_pGroupTable.clear();
  m_pGroupTable.shrink_to_fit();
}

void CThreadForSearchVolume::examineSector(const std::uint8_t* chunk, std::size_t i, std::uint64_t sector) {
  const std::uint8_t* p = chunk + i * kSector;
  if (startsWithFatSignature(p) && !fatSignaturesCapped_) {
    if (fatSignatures_.size() < kMaxIndexedSignatures) fatSignatures_.push_back(sector);
    else fatSignaturesCapped_ = true;
  }
  if (isDirectoryStart(p)) {
    DIR_CLUSTER_HIT hit;
    hit.sector = sector;
    hit.firstCluster = directoryCluster(p);
    hit.valid = true;
    hits_.push_back(hit);
  }
  // A record is as long as its header says (1024 bytes, or 2048 or 4096 on a volume of
  // sectors as large); the one four records on is looked at too, past the four records
  // $MFTMirr holds.
  const std::size_t recordBytes = startsWithFile(p) ? fs::ntfs::recordSizeOf(ByteView(p, kSector)) : layout::kRecordBytes;
  const std::uint64_t nextRecord = layout::kNextRecordDistance * (recordBytes / layout::kRecordBytes);
  if (startsWithFile(p) && startsWithFile(p + nextRecord * kSector)) {
    if (hasRecordFormatByte(p)) rebuildFromMftRecord({p, recordBytes}, {p + recordBytes, recordBytes}, sector);
    return;
  }
  if (hasBootMark(p) && testCandidate(ByteView(p, kSector), sector)) reportVolume(false);
}

void CThreadForSearchVolume::rebuildFromMftRecord(std::span<const std::uint8_t> recordBytes,
                                                  std::span<const std::uint8_t> nextRecord, std::uint64_t r) {
  if (!mentionsMftName(recordBytes)) return;
  // The fixup works on a copy: the block stays as it was read for the sectors after it.
  fs::ntfs::RecordBuffer record;
  record.resize(recordBytes.size());
  std::copy(recordBytes.begin(), recordBytes.end(), record.begin());
  fs::ntfs::RecordData info;
  if (!FindRecordDataAttribute(record, info)) return;
  const ByteView view(record);
  const auto name = fs::ntfs::GetRecordFileName(view);
  if (!name || *name != u"$MFT" || info.resident || info.kind != fs::ntfs::kKindFile) return;

  const std::uint64_t allocated = GetDataAllocatedSize(view);
  if (allocated == 0) return;
  std::uint64_t spc = 0;
  std::uint64_t v = 0;
  if (!m_bHasAttributeList) {
    std::uint64_t firstCluster = 0;
    const std::uint64_t clusters = SumDataRunClusters(view, info, firstCluster);
    // The cluster size is the one that makes the runs fill the allocation exactly.
    for (std::uint64_t tried = 1; tried <= kMaxTriedCluster; tried *= 2) {
      if (clusters * kSector * tried == allocated) {
        spc = tried;
        break;
      }
    }
    // The $MFT lies at least a track past the volume's start, which is not sector 0.
    if (spc == 0 || r < kTrack || firstCluster > (r - kTrack) / spc) return;
    v = r - spc * firstCluster;
  } else {
    if (!ResolveFragmentedMft(record, info, r, allocated)) return;
    v = m_nVolumeStart;
    spc = m_wSectorsPerCluster;
  }
  m_wSectorsPerCluster = 0;
  if (v == 0 || isMirrorCopy(nextRecord, r, v, spc) || IsVolumeListed(volume::kFsNtfs, v)) return;

  volume::VOLUME_RECORD& volume = appendVolume(kindRebuilt());
  volume.m_wNtfsSectorsPerCluster = std::uint16_t(spc);
  volume.m_byFileSystem = volume::kFsNtfs;
  volume.m_nMftSector = r - v;
  volume.m_nStartSector = v;
  // Without its boot sector nothing tells where the volume ends: the disk's end does.
  volume.m_nLastSector = m_nTotalSectors;
  volume.m_nSectorCount = m_nTotalSectors - v;
  volume.m_nMftMirrSector = 0;
  volume.m_szSizeText = ui::FormatVolumeSize(volume.m_nSectorCount);
  volume.m_szFileSystem = u"NTFS";
  reportVolume(true);
}

std::optional<std::uint64_t> CThreadForSearchVolume::firstDataCluster(std::span<const std::uint8_t> recordBytes,
                                                                     std::u16string_view name) const {
  if (!startsWithFile(recordBytes.data())) return std::nullopt;
  fs::ntfs::RecordBuffer record;
  record.resize(recordBytes.size());
  std::copy(recordBytes.begin(), recordBytes.end(), record.begin());
  if (!fs::ntfs::ApplyRecordFixup(record)) return std::nullopt;
  const ByteView view(record);
  const auto own = fs::ntfs::GetRecordFileName(view);
  const auto data = fs::ntfs::FindRecordData(view, false);
  if (!own || *own != name || !data || data->resident) return std::nullopt;
  std::uint64_t first = 0;
  SumDataRunClusters(view, *data, first);
  if (first == 0) return std::nullopt;
  return first;
}

bool CThreadForSearchVolume::isMirrorCopy(std::span<const std::uint8_t> nextRecord, std::uint64_t r, std::uint64_t v,
                                          std::uint64_t spc) {
  // $MFTMirr keeps the first records (a cluster of them on a volume of large clusters) at
  // another place of the same volume. Read there, $MFT's own runs place the volume as far
  // before the copy as $MFT lies from the volume's start: a volume that is not there. The
  // copy is told from $MFT by where the record after it, $MFTMirr's, puts the copy: when
  // $MFT's record, or the volume's start, lies at that distance before it, this is the copy.
  const auto mirrorCluster = firstDataCluster(nextRecord, u"$MFTMirr");
  const std::uint64_t mftAt = r - v;
  if (!mirrorCluster || spc == 0 || *mirrorCluster > r / spc) return false;
  const std::uint64_t mirrorAt = *mirrorCluster * spc;
  if (mirrorAt == mftAt) return false;
  // The volume found by its boot sector where the copy's own volume would start tells it
  // without $MFT, which may be gone.
  if (IsVolumeListed(volume::kFsNtfs, r - mirrorAt)) return true;
  const std::uint64_t original = r - mirrorAt + mftAt;
  if (original >= m_nTotalSectors) return false;
  fs::ntfs::RecordBuffer record;
  record.resize(nextRecord.size());
  readSectors(record.data(), original, std::uint32_t(record.size() / kSector));
  const auto mftCluster = firstDataCluster(record, u"$MFT");
  return mftCluster && *mftCluster * spc == mftAt;
}

bool CThreadForSearchVolume::FindRecordDataAttribute(std::span<std::uint8_t> record, fs::ntfs::RecordData& info) {
  m_bHasAttributeList = 0;
  info = {};
  if (!fs::ntfs::ApplyRecordFixup(record)) return false;
  const auto data = fs::ntfs::FindRecordData(ByteView(record), false);
  if (!data) return false;
  info = *data;
  m_bHasAttributeList = data->hasAttributeList ? 1 : 0;
  return true;
}

std::uint64_t CThreadForSearchVolume::SumDataRunClusters(ByteView record, const fs::ntfs::RecordData& info,
                                                         std::uint64_t& firstCluster) const {
  firstCluster = 0;
  std::vector<fs::ntfs::RunEntry> runs;
  std::size_t offset = info.offset;
  const std::uint64_t clusters = fs::ntfs::DecodeDataRuns(record, offset, runs, false, 1);
  // Every run of the $MFT has a place on the disk.
  for (const fs::ntfs::RunEntry& run : runs)
    if (run.sparse()) return 0;
  for (const fs::ntfs::RunEntry& run : runs) {
    if (run.rawOffset != 0) {
      firstCluster = run.rawOffset;
      break;
    }
  }
  return clusters;
}

std::uint64_t CThreadForSearchVolume::GetDataAllocatedSize(ByteView record) const {
  for (const fs::ntfs::AttributeRef& a : fs::ntfs::walkAttributes(record, 20).attributes) {
    if (a.type != N::kTypeData) continue;
    return a.nonResident ? record.le64(a.offset + N::kAttrAllocatedSize).value_or(0) : 0;
  }
  return 0;
}

std::uint64_t CThreadForSearchVolume::AppendDataRuns(ByteView record, const fs::ntfs::RecordData& info,
                                                     std::vector<fs::ntfs::RunEntry>& table) const {
  std::size_t offset = info.offset;
  if (info.resident || record.u8(offset).value_or(0) == 0) return 0;  // no runs at all
  bool terminated = false;
  const std::uint64_t sectors = fs::ntfs::DecodeDataRuns(record, offset, table, false, m_wSectorsPerCluster, &terminated);
  // A list that breaks off spoils the whole mapping.
  if (!terminated) {
    table.clear();
    return 0;
  }
  return sectors;
}

std::optional<std::uint64_t> CThreadForSearchVolume::MapMftRecordToSector(std::uint32_t n, std::uint64_t& second) const {
  second = 0;
  return mftSectorOnVolume(2 * std::uint64_t(n), &second);
}

std::optional<std::uint64_t> CThreadForSearchVolume::mftSectorOnVolume(std::uint64_t target, std::uint64_t* second) const {
  const std::uint64_t spc = m_wSectorsPerCluster;
  if (spc == 0) return std::nullopt;
  // Each run as (first sector of the $MFT it holds, its length, where it lies on the volume).
  struct Placed {
    std::uint64_t first, length, at;
    bool hole;
  };
  std::vector<Placed> placed;
  placed.reserve(m_pRunTable.size());
  std::int64_t lcn = 0;
  std::uint64_t position = 0;
  for (const fs::ntfs::RunEntry& run : m_pRunTable) {
    if (run.kind == 'S') lcn = 0;
    lcn += run.signedOffset();
    const std::uint64_t length = std::uint64_t(run.length) * spc;
    placed.push_back({position, length, lcn >= 0 ? std::uint64_t(lcn) * spc : 0, run.sparse() || lcn < 0});
    position += length;
  }
  for (std::size_t k = 0; k < placed.size(); ++k) {
    const Placed& p = placed[k];
    if (target < p.first || target - p.first >= p.length) continue;
    if (p.hole) return std::nullopt;
    if (second && target - p.first + 1 == p.length) {
      // The sector after it opens the next run that has a place.
      for (std::size_t next = k + 1; next < placed.size(); ++next) {
        if (placed[next].length == 0) continue;
        if (!placed[next].hole) *second = placed[next].at;
        break;
      }
    }
    return p.at + (target - p.first);
  }
  return std::nullopt;
}

void CThreadForSearchVolume::readMftRecord(std::uint64_t sector, std::uint64_t second, std::span<std::uint8_t> out) {
  readSectors(out.data(), sector, 2);
  if (second != 0) readSectors(out.data() + kSector, second, 1);
}

bool CThreadForSearchVolume::readLargeMftRecord(std::uint32_t n, std::span<std::uint8_t> out) {
  // Sector by sector: a record of several sectors may cross from one run into the next.
  const std::uint64_t sectors = out.size() / kSector;
  for (std::uint64_t k = 0; k < sectors; ++k) {
    const auto at = mftSectorOnVolume(std::uint64_t(n) * sectors + k, nullptr);
    if (!at) return false;
    readSectors(out.data() + k * kSector, m_nVolumeStart + *at, 1);
  }
  return true;
}

bool CThreadForSearchVolume::ResolveFragmentedMft(std::span<const std::uint8_t> record, const fs::ntfs::RecordData& info,
                                                  std::uint64_t recordSector, std::uint64_t allocatedSize) {
  const ByteView view(record.data(), record.size());
  bool found = false;
  for (std::uint16_t spc = 128; spc >= 1 && !found; spc /= 2) {
    m_pRunTable.clear();
    m_wSectorsPerCluster = spc;
    m_nMftSectors = AppendDataRuns(view, info, m_pRunTable);
    if (m_pRunTable.empty()) continue;
    const std::uint64_t firstAt = std::uint64_t(spc) * m_pRunTable.front().rawOffset;
    if (firstAt > recordSector) continue;
    m_nVolumeStart = recordSector - firstAt;
    for (const std::uint32_t part : GetAttributeListRecords(view)) {
      if (m_pRunTable.empty()) break;
      // Its own buffer: the $MFT record stays what the next cluster size is tried on.
      fs::ntfs::RecordBuffer extension;
      extension.resize(record.size());
      if (record.size() == layout::kRecordBytes) {
        std::uint64_t second = 0;
        const auto at = MapMftRecordToSector(part, second);
        if (!at) break;
        readMftRecord(m_nVolumeStart + *at, second ? m_nVolumeStart + second : 0, extension);
      } else if (!readLargeMftRecord(part, extension)) {
        break;
      }
      fs::ntfs::RecordData extensionInfo;
      if (!startsWithFile(extension.data()) || !FindRecordDataAttribute(extension, extensionInfo)) break;
      m_nMftSectors += AppendDataRuns(ByteView(extension), extensionInfo, m_pRunTable);
    }
    found = m_nMftSectors * kSector == allocatedSize;
  }
  if (!found) {
    m_wSectorsPerCluster = 0;
    m_nVolumeStart = 0;
  }
  m_pRunTable.clear();
  m_pRunTable.shrink_to_fit();
  return m_wSectorsPerCluster != 0 && m_nVolumeStart != 0;
}

std::vector<std::uint32_t> CThreadForSearchVolume::GetAttributeListRecords(ByteView record) {
  std::vector<std::uint32_t> records;
  for (const fs::ntfs::AttributeRef& a : fs::ntfs::walkAttributes(record, N::kMaxAttributes).attributes) {
    if (a.type != N::kTypeAttributeList) continue;
    if (!a.nonResident) {
      const auto value = fs::ntfs::residentValue(record, a);
      if (!value) return records;
      std::vector<fs::ntfs::AttributeListEntry> entries = fs::ntfs::parseAttributeList(*value);
      if (entries.size() > kMaxResidentListEntries) entries.resize(kMaxResidentListEntries);
      // The data's pieces; a folder's index allocation when its root comes first.
      std::size_t k = 0;
      for (; k < entries.size(); ++k) {
        if (entries[k].type == kListData) break;
        if (entries[k].type == kListIndexRoot && k + 1 < entries.size() &&
            entries[k + 1].type == kListIndexAllocation) {
          ++k;
          break;
        }
      }
      for (; k < entries.size(); ++k) {
        if (entries[k].type != kListData && entries[k].type != kListIndexAllocation) break;
        if (entries[k].record != kMftRecordNumber) records.push_back(entries[k].record);
      }
      return records;
    }
    // A list of its own clusters: the first cluster of every run holds what matters.
    const std::uint64_t spc = m_wSectorsPerCluster;
    std::vector<std::uint8_t> block(std::size_t(spc) * kSector);
    for (const fs::ntfs::Extent& e : DecodeRunList(record, a)) {
      if (e.hole || e.length == 0) continue;
      readSectors(block.data(), m_nVolumeStart + e.lcn * spc, std::uint32_t(spc));
      const std::vector<std::uint32_t> part = ParseAttributeListBlock(ByteView(block));
      records.insert(records.end(), part.begin(), part.end());
    }
    return records;
  }
  return records;
}

std::vector<fs::ntfs::Extent> CThreadForSearchVolume::DecodeRunList(ByteView record, const fs::ntfs::AttributeRef& list) const {
  std::vector<fs::ntfs::RunEntry> runs;
  std::size_t offset = std::size_t(list.offset) + record.le16(list.offset + N::kAttrRunListOffset).value_or(0);
  fs::ntfs::DecodeDataRuns(record, offset, runs, false, 1);
  auto extents = fs::ntfs::runsToExtents(runs);
  return extents ? std::move(*extents) : std::vector<fs::ntfs::Extent>{};
}

std::vector<std::uint32_t> CThreadForSearchVolume::ParseAttributeListBlock(ByteView block) const {
  std::vector<std::uint32_t> records;
  std::vector<fs::ntfs::AttributeListEntry> entries = fs::ntfs::parseAttributeList(block);
  const auto wanted = [](std::uint8_t type) { return type == kListData || type == kListIndexRoot; };
  std::size_t k = 0;
  while (k < entries.size() && k < kMaxBlockListEntries && !wanted(entries[k].type)) ++k;
  if (k == entries.size() || k == kMaxBlockListEntries) return records;
  for (; k < entries.size() && wanted(entries[k].type); ++k)
    if (entries[k].record != kMftRecordNumber) records.push_back(entries[k].record);
  return records;
}

}  // namespace qelda::lost
