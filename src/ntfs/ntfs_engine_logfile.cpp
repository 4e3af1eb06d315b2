// $LogFile analysis: the runs of deleted files whose records lost them, rebuilt from the
// mapping pairs the journal still holds.
#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

#include "engine/scan_state.h"
#include "fs/log_record.h"
#include "fs/ntfs_layout.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_texts.h"

namespace qelda::ntfs {

namespace L = fs::ntfs::layout;
namespace F = fs::ntfs::logfile;

// What the journal says of one large file: the newest undo and redo mapping pairs that name
// its $DATA attribute, and its newest attribute sizes.
struct LogFinding {
  struct Entry {
    std::uint64_t lsn = 0;
    bool found = false;
    std::uint16_t attributeOffset = 0;
    std::vector<std::uint8_t> data;
  };
  Entry undo, redo, sizes;
};

namespace {

// The journal's first pages are its restart area: records start 16 KiB in.
constexpr std::uint64_t kFirstRecordPage = 4;

void keepNewer(LogFinding::Entry& entry, const fs::ntfs::LogRecord& r, platform::ByteView data) {
  if (entry.found && entry.lsn >= r.lsn) return;
  entry.found = true;
  entry.lsn = r.lsn;
  entry.attributeOffset = r.attributeOffset;
  entry.data.assign(data.data(), data.data() + data.size());
}

}  // namespace

std::uint32_t CNtfsEngine::ReadLogFile() {
  logState_ = 1;
  logExtents_.clear();
  Record record{};
  if (!readRecord(2, record)) return 0;
  const platform::ByteView view(record);
  const auto data = fs::ntfs::FindRecordData(view, false);
  if (!data || data->resident || data->kind != fs::ntfs::kKindFile) return 0;
  std::vector<fs::ntfs::RunEntry> runs;
  std::size_t offset = data->offset;
  fs::ntfs::DecodeDataRuns(view, offset, runs, false, m_nSectorsPerCluster);
  const auto extents = fs::ntfs::runsToExtents(runs);
  if (!extents) return 0;
  // One stream of the journal's clusters in run order; what lies outside the volume is not its.
  std::uint64_t vcn = 0;
  for (const fs::ntfs::Extent& e : *extents) {
    if (e.hole || e.lcn >= volumeClusters()) continue;
    logExtents_.push_back({vcn, std::min(e.length, volumeClusters() - e.lcn), e.lcn, false});
    vcn += logExtents_.back().length;
  }
  return logExtents_.empty() ? 0 : 1;
}

bool CNtfsEngine::CollectLogRecords(std::vector<LogFinding>& findings) {
  // The large files by the place of their record: $MFT cluster index, cluster, sector in
  // it and the $DATA attribute's offset.
  std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t>, std::size_t> targets;
  for (std::size_t i = 0; i < largeFiles_.size(); ++i) {
    const LargeFileNode& n = largeFiles_[i];
    targets.emplace(std::make_tuple(n.clusterIndex, n.recordCluster, n.sectorInCluster, n.dataOffset), i);
  }
  auto collect = [&](platform::ByteView bytes) {
    const auto r = fs::ntfs::parseLogRecord(bytes);
    if (!r || r->redoOp != r->undoOp) return;
    const auto it = targets.find(std::make_tuple(r->targetVcn, r->targetLcn, r->clusterBlockOffset, r->recordOffset));
    if (it == targets.end()) return;
    const LargeFileNode& node = largeFiles_[it->second];
    LogFinding& f = findings[it->second];
    if (r->redoOp == F::kOpUpdateMappingPairs &&
        (r->attributeOffset == node.runListOffset || r->attributeOffset == node.runListOffset + 1)) {
      if (!(r->undo.size() == 0) && r->undo.u8(0) != std::uint8_t{0}) keepNewer(f.undo, *r, r->undo);
      else keepNewer(f.redo, *r, r->redo);
    } else if (r->redoOp == F::kOpSetNewAttributeSizes && r->attributeOffset == 0) {
      keepNewer(f.sizes, *r, r->redo.size() == 0 ? r->undo : r->redo);
    }
  };

  const std::uint64_t pages =
      logExtents_.empty() ? 0 : (logExtents_.back().vcn + logExtents_.back().length) * clusterBytes() / F::kPageSize;
  std::array<std::uint8_t, F::kPageSize> page{}, follow{};
  auto readPage = [&](std::uint64_t index, std::array<std::uint8_t, F::kPageSize>& out) {
    readExtentBytes(logExtents_, index * F::kPageSize, out);
    return fs::ntfs::ApplyPageFixup(out);
  };
  // The journal is circular: its pages are written in LSN order until the newest one, and
  // what follows is left from the previous round. The first page whose last LSN is lower than
  // the page before it is that wrap point, and nothing from there on is read.
  std::optional<std::uint64_t> previousLsn;
  auto pastWrapPoint = [&](const std::array<std::uint8_t, F::kPageSize>& p) {
    const std::uint64_t lsn = platform::ByteView(p).le64(F::kPageLastLsn).value_or(0);
    if (previousLsn && lsn < *previousLsn) return true;
    previousLsn = lsn;
    return false;
  };
  std::vector<std::uint8_t> assembled;
  bool anyPage = false;
  for (std::uint64_t p = kFirstRecordPage; p < pages; ++p) {
    const fs::ntfs::LogPageKind kind = readPage(p, page);
    if (kind == fs::ntfs::LogPageKind::Empty) continue;
    if (kind != fs::ntfs::LogPageKind::Record || pastWrapPoint(page)) break;
    anyPage = true;
    std::size_t pos = F::kPageHeader;
    while (pos < F::kPageSize) {
      const std::uint32_t length = fs::ntfs::logRecordLength(platform::ByteView(page), pos);
      if (length <= F::kRecordHeader) break;  // the page's records end here
      if (length > F::kMaxRecordBytes) return anyPage;
      if (pos + length <= F::kPageSize) {
        collect(platform::ByteView(page).sub(pos, length).value_or(platform::ByteView()));
        pos = fs::ntfs::NextRecordPosition(pos, length);
        continue;
      }
      // A record that goes on into the next pages: each with its own fixup, in journal order.
      assembled.assign(page.begin() + std::ptrdiff_t(pos), page.end());
      std::size_t take = 0;
      while (assembled.size() < length) {
        if (++p >= pages || readPage(p, follow) != fs::ntfs::LogPageKind::Record || pastWrapPoint(follow)) return anyPage;
        take = std::min<std::size_t>(length - assembled.size(), F::kPageDataBytes);
        assembled.insert(assembled.end(), follow.begin() + F::kPageHeader,
                         follow.begin() + std::ptrdiff_t(F::kPageHeader + take));
      }
      collect(platform::ByteView(assembled));
      page = follow;
      pos = fs::ntfs::NextRecordPosition(F::kPageHeader, std::uint32_t(take));
    }
  }
  return anyPage;
}

void CNtfsEngine::RebuildFromLog(const std::vector<LogFinding>& findings) {
  for (std::size_t i = 0; i < largeFiles_.size(); ++i) {
    LargeFileNode& node = largeFiles_[i];
    const LogFinding& f = findings[i];
    const LogFinding::Entry& pairs = f.undo.found ? f.undo : f.redo;
    if (!pairs.found) continue;
    std::vector<std::uint8_t> bytes = pairs.data;
    if (pairs.attributeOffset == node.runListOffset + 1) {
      // The change starts after the first header byte: that byte is still the record's.
      Record record{};
      if (!readRecord(node.record, record)) continue;
      bytes.insert(bytes.begin(), record[std::size_t(node.dataOffset) + node.runListOffset]);
    }
    std::vector<fs::ntfs::RunEntry> runs;
    std::size_t offset = 0;
    fs::ntfs::DecodeDataRuns(platform::ByteView(bytes), offset, runs, true, m_nSectorsPerCluster);
    if (runs.empty() || !fs::ntfs::runsToExtents(runs)) continue;
    std::uint64_t size = fs::ntfs::runClusterCount(runs) * clusterBytes();
    // The attribute's data size, where the journal kept it and the runs hold it.
    if (f.sizes.found) {
      const std::uint64_t dataSize = platform::ByteView(f.sizes.data).le64(8).value_or(0);
      if (dataSize != 0 && dataSize <= size) size = dataSize;
    }
    if (size / 512 > m_nSectorCount) continue;
    node.runs = std::move(runs);
    node.size = size;
    logRuns_[node.record] = i;
  }
}

bool CNtfsEngine::runLogAnalysis() {
  if (logState_ != 1 && logExtents_.empty()) ReadLogFile();
  if (logExtents_.empty()) return false;
  if (m_pScanDlg) {
    m_pScanDlg->SetStatusText(text::kUpdatingLargeFiles);
    m_pScanDlg->SetStopEnabled(false);
  }
  app_.m_bSearchingCriticalInfo = 1;
  std::vector<LogFinding> findings(largeFiles_.size());
  const bool collected = CollectLogRecords(findings);
  if (collected) RebuildFromLog(findings);
  if (m_pScanDlg) {
    m_pScanDlg->SetStopEnabled(true);
    m_pScanDlg->SetStatusText(u"");
  }
  app_.m_bSearchingCriticalInfo = 0;
  return collected;
}

}  // namespace qelda::ntfs
