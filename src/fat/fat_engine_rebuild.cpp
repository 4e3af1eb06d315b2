// The volume's parameters worked out from its data: sectors that start directory clusters
// are collected from the volume start, and the geometry they agree on is checked against the
// FAT signatures (fs/fat_geometry.h holds the votes).
#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "engine/scan_state.h"
#include "fat/fat_engine.h"
#include "fat/fat_texts.h"
#include "fs/fat_dir_entry.h"
#include "fs/fat_layout.h"
#include "fs/fat_table.h"

namespace qelda::fat {

using fs::fat::kSectorBytes;

using platform::ByteView;

namespace {

// The volume is read this many sectors (1 MiB) at a time.
constexpr std::uint32_t kSearchBlockSectors = 2048;
// The geometry of a floppy disk in BIOS drive 0 or 1.
constexpr std::uint8_t kFloppySectorsPerCluster = 1;
constexpr std::uint32_t kFloppySectorsPerFat = 9;
constexpr std::uint32_t kFloppyReservedSectors = 1;
constexpr std::uint32_t kFloppyRootDirSectors = 14;
constexpr std::uint8_t kLastFloppyDrive = 1;
// The FAT is read this many sectors at a time where the finds ask: 1536 bytes hold a whole
// number of entries of every width (1024 of FAT12, 768 of FAT16, 384 of FAT32).
constexpr std::uint32_t kFatBlockSectors = 3;

}  // namespace

void CFatEngine::collectDirFinds() {
  m_pDirCandidates.clear();
  dirFindsCollected_ = true;
  progress_.SetStatusText(engine::texts::kSearchingCritical);
  progress_.setRange(kItemBar, 0, m_nTotalSectors);
  progress_.setStep(kItemBar, kSearchBlockSectors);
  // Finds are collected to 50; once the search is past the first quarter of the volume,
  // two are enough.
  std::vector<std::uint8_t> block(std::size_t(std::min<std::uint64_t>(kSearchBlockSectors, m_nTotalSectors)) * kSectorBytes);
  // What lies in the clusters of a file the boot sector's FAT holds is that file's data (a
  // disk image kept on the volume, say), never a folder of the volume: it gives no find.
  std::optional<BootClaims> boot = readBootClaims();
  bool done = false;
  for (std::uint64_t s = 0; s < m_nTotalSectors && !done && !stopRequested(); s += kSearchBlockSectors) {
    const std::uint32_t count = std::uint32_t(std::min<std::uint64_t>(kSearchBlockSectors, m_nTotalSectors - s));
    blockBar_.showReading(engine::texts::kReadingSector, s, m_nTotalSectors);
    readVolumeSectors(block.data(), count * kSectorBytes, s);
    const bool pastQuarter = s > m_nTotalSectors / 4;
    for (std::uint32_t i = 0; i < count && !done; ++i) {
      const ByteView sector(block.data() + std::size_t(i) * kSectorBytes, kSectorBytes);
      if (!fs::fat::startsDirectoryCluster(sector)) continue;
      if (boot && liesInFileData(*boot, s + i, sector)) continue;
      m_pDirCandidates.push_back({s + i, fs::fat::dotEntryCluster(sector, fs::fat::kFat32), 0});
      done = m_pDirCandidates.size() >= fs::fat::kMaxDirFinds || (pastQuarter && m_pDirCandidates.size() >= 2);
    }
    progress_.stepIt(kItemBar);
  }
}

std::uint32_t CFatEngine::FatSearchCriticalInfo() {
  progress_.SetStopEnabled(false);
  app_.m_bSearchingCriticalInfo = 1;
  logStarted(engine::texts::kCalculatingParameters);
  collectDirFinds();
  logFinished();

  std::uint32_t result = 0;
  if (m_pDirCandidates.empty() || stopRequested()) {
    m_nSectorsPerCluster = 0;
    m_nSectorsPerFat = 0;
  } else if (m_nDriveNumber <= kLastFloppyDrive) {
    m_nSectorsPerCluster = kFloppySectorsPerCluster;
    m_nSectorsPerFat = kFloppySectorsPerFat;
    m_nReservedSectors = kFloppyReservedSectors;
    m_nRootDirSectors = kFloppyRootDirSectors;
    m_nFatType = fs::fat::kFat12;
    m_nFatCount = 2;
    FatVerifyFats();
    result = 1;
  } else {
    result = FatRebuildParameters();
    if (result != 0) {
      adoptAgreeingBootSector();
      FatVerifyFats();
    }
  }
  // The finds stay: when the geometry is taken from a boot sector after all, they are held
  // against it before the data area is searched.
  progress_.SetStopEnabled(true);
  progress_.SetStatusText(u"0 " + std::u16string(engine::texts::kEntriesFound));
  app_.m_bSearchingCriticalInfo = 0;
  return result;
}

void CFatEngine::takeGeometryOfDirectoryFinds() {
  if (isRebuiltVolume() || m_nSectorsPerCluster == 0) return;
  if (!dirFindsCollected_) collectDirFinds();
  const std::vector<fs::fat::StartCandidate> ranked = fs::fat::rankDataStarts(m_pDirCandidates);
  const std::uint64_t dataStart = systemSectorCount();
  // One find alone agrees with nothing: it takes two to tell a geometry.
  const auto other = std::find_if(ranked.begin(), ranked.end(), [&](const fs::fat::StartCandidate& c) {
    return c.votes >= 2 && (c.dataStart != dataStart || c.sectorsPerCluster != m_nSectorsPerCluster);
  });
  if (other == ranked.end() || stopRequested()) return;
  const fs::fat::StartCandidate& lead = ranked[0];
  const std::size_t placed = fs::fat::findsPlacedBy(m_pDirCandidates, dataStart, m_nSectorsPerCluster);
  // The volume in use keeps its geometry and FAT when it holds anything of its own: its
  // files are read as it describes them, and those of the other geometry, which the tree
  // of the volume does not reach, not at all.
  if (other != ranked.begin() || placed >= lead.votes || fatHoldsFiles() ||
      ownRecordsFit(other->dataStart, other->sectorsPerCluster)) {
    otherGeometryFound_ = true;
    otherDataStart_ = other->dataStart;
    otherClusterSectors_ = other->sectorsPerCluster;
    logItem(text::kOtherGeometryKept);
    return;
  }
  // The system area keeps the FAT copies and the fixed root in front of the data start the
  // finds agree on; the FATs are not read.
  const std::uint32_t rootDir = m_nFatType == fs::fat::kFat32 ? 0 : m_nRootDirSectors;
  const std::uint32_t copies = std::max<std::uint32_t>(m_nFatCount, 1);
  if (lead.dataStart <= std::uint64_t(rootDir) + copies || lead.dataStart > UINT32_MAX) return;
  const std::uint32_t fatArea = std::uint32_t(lead.dataStart) - rootDir - 1;
  m_nSectorsPerCluster = std::uint8_t(lead.sectorsPerCluster);
  m_nSectorsPerFat = fatArea / copies;
  m_nReservedSectors = std::uint32_t(lead.dataStart) - rootDir - m_nSectorsPerFat * copies;
  m_nLinkingMode = fs::fat::kLinkContiguous;
  m_pFat.clear();
  setClusterBound();
  logItem(text::kOtherGeometry);
  // A root walked before was the one of the geometry left.
  fixedRootWalked_ = false;
}

bool CFatEngine::fatHoldsFiles() const {
  const fs::fat::FatTable fat = fatTable();
  const std::uint64_t bound = dataBound();
  for (std::uint64_t c = 2; c < bound; ++c) {
    if (m_nFatType == fs::fat::kFat32 && c == m_nRootCluster) continue;
    const auto entry = fat.entry(c);
    if (!entry) break;  // past the FAT loaded
    if (*entry != 0) return true;
  }
  return false;
}

bool CFatEngine::ownRecordsFit(std::uint64_t otherDataStart, std::uint32_t otherClusterSectors) {
  const std::uint64_t dataStart = systemSectorCount();
  const bool ownFolder = std::any_of(m_pDirCandidates.begin(), m_pDirCandidates.end(), [&](const fs::fat::DirFind& f) {
    return fs::fat::findPlacedBy(f, dataStart, m_nSectorsPerCluster) &&
           !fs::fat::findPlacedBy(f, otherDataStart, otherClusterSectors);
  });
  return ownFolder || rootHoldsEntries();
}

bool CFatEngine::rootHoldsEntries() {
  std::vector<std::uint8_t> root;
  const std::uint64_t bound = dataBound();
  if (m_nFatType != fs::fat::kFat32) {
    root = readFixedRoot();
  } else if (m_nRootCluster >= 2 && m_nRootCluster < bound) {
    // Its first cluster: a volume formatted again leaves it empty.
    root.assign(bytesPerCluster(), 0);
    ReadClusterSectors(m_nRootCluster, 0, root.data(), m_nSectorsPerCluster);
  }
  const ByteView view(root);
  const std::uint32_t maxCluster = std::uint32_t(std::min<std::uint64_t>(bound, UINT32_MAX));
  for (std::size_t o = 0; o + fs::fat::dirent::kSize <= root.size(); o += fs::fat::dirent::kSize) {
    const ByteView e = *view.sub(o, fs::fat::dirent::kSize);
    if (root[o] == fs::fat::dirent::kEndMark) break;
    if (fs::fat::entryNamesNoItem(e)) continue;
    const fs::fat::EntryVerdict verdict =
        fs::fat::entryVerdictWithoutReads(e, maxCluster, dataSectorCount(), fs::fat::EntrySite::Folder);
    if (verdict == fs::fat::EntryVerdict::Usable || verdict == fs::fat::EntryVerdict::DirectoryToConfirm) return true;
  }
  return false;
}

std::optional<CFatEngine::BootClaims> CFatEngine::readBootClaims() {
  if (isRebuiltVolume()) return std::nullopt;
  std::array<std::uint8_t, kSectorBytes> sector{};
  for (const std::uint64_t at : {std::uint64_t(0), fs::fat::boot::kBackupSector}) {
    readVolumeSectors(sector.data(), kSectorBytes, at);
    const auto p = fs::fat::parseFatBootSector(ByteView(sector));
    if (!p || fs::fat::bootParamsAreBad(*p, m_nTotalSectors, at != 0)) continue;
    readVolumeSectors(sector.data(), kSectorBytes, p->reservedSectors);
    if (!fs::fat::hasMediaSignature(sector)) continue;
    BootClaims boot;
    boot.params = *p;
    boot.dataStart = fs::fat::systemSectors(p->reservedSectors, p->sectorsPerFat, p->rootDirSectors, p->fatCount);
    boot.bound = fs::fat::dataClusterBound(m_nTotalSectors, boot.dataStart, p->sectorsPerCluster);
    return boot;
  }
  return std::nullopt;
}

bool CFatEngine::liesInFileData(BootClaims& boot, std::uint64_t sector, ByteView bytes) {
  const fs::fat::FatBootParams& p = boot.params;
  if (sector < boot.dataStart) return false;
  const std::uint64_t cluster = (sector - boot.dataStart) / p.sectorsPerCluster + 2;
  if (cluster >= boot.bound) return false;
  // A folder of the volume, where its "." entry says it is.
  if ((sector - boot.dataStart) % p.sectorsPerCluster == 0 && fs::fat::dotEntryCluster(bytes, p.fatType) == cluster)
    return false;
  const std::uint64_t perBlock = p.fatType == fs::fat::kFat12 ? 1024 : p.fatType == fs::fat::kFat16 ? 768 : 384;
  const std::uint64_t entryEnd = p.fatType == fs::fat::kFat12 ? cluster * 3 / 2 + 2
                                 : p.fatType == fs::fat::kFat16 ? cluster * 2 + 2
                                                               : cluster * 4 + 4;
  // Only entries that lie inside the FAT the boot sector gives.
  if (entryEnd > std::uint64_t(p.sectorsPerFat) * kSectorBytes) return false;
  const std::uint64_t blockIndex = cluster / perBlock;
  if (boot.blockFirst != blockIndex) {
    boot.block.assign(std::size_t(kFatBlockSectors) * kSectorBytes, 0);
    readVolumeSectors(boot.block.data(), std::uint32_t(boot.block.size()),
                      p.reservedSectors + blockIndex * kFatBlockSectors);
    boot.blockFirst = blockIndex;
  }
  const auto entry = fs::fat::FatTable(boot.block, p.fatType).entry(cluster % perBlock);
  return entry && *entry != 0;
}

bool CFatEngine::geometryUnknownAt(std::uint32_t cluster) const {
  if (!outsideTree_) return false;
  if (cluster < 2) return true;
  const std::uint64_t at = systemSectorCount() + std::uint64_t(cluster - 2) * m_nSectorsPerCluster;
  return at == otherDataStart_ + std::uint64_t(cluster - 2) * otherClusterSectors_;
}

void CFatEngine::adoptAgreeingBootSector() {
  // The votes settle where the data area starts and the cluster size; where the reserved
  // sectors end and the FATs lie they can only guess (a FAT16 whose FAT1 starts past sector
  // 13, say). A usable boot sector that agrees on the first two knows the rest.
  const std::uint8_t spc = m_nSectorsPerCluster, type = m_nFatType, copies = m_nFatCount;
  const std::uint32_t reserved = m_nReservedSectors, rootDir = m_nRootDirSectors, spf = m_nSectorsPerFat,
                      root = m_nRootCluster;
  const std::uint64_t dataStart = systemSectorCount();
  if (takeBootParameters()) {
    if (systemSectorCount() == dataStart && m_nSectorsPerCluster == spc) return;
    // Another geometry is taken only where nothing found fits the boot sector's: a volume
    // whose own folders or root entries fit it keeps it (the others then hold the data of
    // another volume, an image kept on this one, say, or of an earlier format).
    if (ownRecordsFit(dataStart, spc)) return;
  }
  m_nSectorsPerCluster = spc;
  m_nFatType = type;
  m_nFatCount = copies;
  m_nReservedSectors = reserved;
  m_nRootDirSectors = rootDir;
  m_nSectorsPerFat = spf;
  m_nRootCluster = root;
}

std::uint32_t CFatEngine::FatRebuildParameters() {
  // The FAT signatures near the volume start are looked up a block at a time, of no more
  // sectors than the volume has.
  const std::uint64_t blockSectors = m_nTotalSectors == 0 ? 1 : std::min<std::uint64_t>(kSearchBlockSectors, m_nTotalSectors);
  std::vector<std::uint8_t> block(std::size_t(blockSectors) * kSectorBytes);
  std::uint64_t blockFirst = 0;
  std::uint64_t blockCount = 0;
  const fs::fat::SignatureProbe signatureAt = [&](std::uint64_t sector) {
    if (sector >= m_nTotalSectors && m_nTotalSectors != 0) return false;
    if (sector < blockFirst || sector >= blockFirst + blockCount) {
      blockFirst = sector;
      blockCount = m_nTotalSectors == 0 ? 1 : std::min<std::uint64_t>(kSearchBlockSectors, m_nTotalSectors - sector);
      readVolumeSectors(block.data(), std::uint32_t(blockCount) * kSectorBytes, blockFirst);
    }
    const std::size_t at = std::size_t(sector - blockFirst) * kSectorBytes;
    return block[at] == 0xF8 && block[at + 1] == 0xFF && block[at + 2] == 0xFF;
  };
  const auto geometry = fs::fat::rebuildGeometry(m_pDirCandidates, m_nTotalSectors, signatureAt);
  if (!geometry) {
    // No candidate held: nothing the scan could trust.
    m_nSectorsPerCluster = 0;
    m_nSectorsPerFat = 0;
    return 0;
  }
  m_nFatType = geometry->fatType;
  m_nFatCount = 2;  // the votes place the FATs as two copies
  m_nSectorsPerCluster = geometry->sectorsPerCluster;
  m_nReservedSectors = geometry->reservedSectors;
  m_nRootDirSectors = geometry->rootDirSectors;
  m_nSectorsPerFat = geometry->sectorsPerFat;
  if (m_nTotalSectors == 0) m_nTotalSectors = geometry->totalSectors;
  return m_nSectorsPerCluster;
}

}  // namespace qelda::fat
