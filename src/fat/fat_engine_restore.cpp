// Scan information of a FAT scan: the geometry in the header, then the FAT as loaded, the
// cluster map and the highest cluster the chains were followed to; restored instead of a
// scan so that the found files can be read again.
#include <algorithm>
#include <array>
#include <cstring>

#include "engine/scan_info_tables.h"
#include "engine/scan_state.h"
#include "fat/fat_engine.h"
#include "fs/fat_boot.h"
#include "fs/fat_layout.h"
#include "fs/fat_table.h"
#include "platform/byte_view.h"

namespace qelda::fat {

namespace {

constexpr std::size_t kHighestClusterBytes = 4;
constexpr std::uint64_t kMaxMapBytes = (std::uint64_t(1) << 28) + 1;

std::uint64_t entriesPerFatSector(std::uint8_t fatType) {
  return fatType == fs::fat::kFat32 ? 128 : fatType == fs::fat::kFat16 ? 256 : fs::fat::kFat12EntriesPerSector;
}

}  // namespace

bool CFatEngine::writeScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) const {
  // Without a cluster size nothing the scan found can be read back.
  if (m_nSectorsPerCluster == 0 || m_nFatType > fs::fat::kFat32) return false;
  header.m_nFatSectors = m_nSectorsPerFat;
  header.rootCluster = m_nRootCluster;
  header.m_nClusterMapBytes = std::uint32_t(m_pClusterMap.size());
  header.m_bFat = m_nSectorsPerCluster;
  header.m_byFsCode = m_nFatType;
  header.m_byTableMode = m_nLinkingMode;
  header.reservedSectors = m_nReservedSectors;
  header.rootDirSectors = m_nRootDirSectors;
  header.sectorsPerCluster = m_nSectorsPerCluster;
  engine::putVolumePlace(header,
                         {.startSector = m_nPartitionStart, .sectorCount = m_nTotalSectors, .lastSector = m_nLastSector,
                          .biosDrive = m_nDriveNumber, .imageFile = m_bImageFile, .imagePath = m_szImagePath},
                         m_bAbsoluteSectors != 0);

  // The FAT at its full size whatever part of it was loaded (an unloaded rest is zeros).
  const std::uint64_t fatBytes = std::uint64_t(m_nSectorsPerFat) * fs::fat::kSectorBytes;
  const std::uint64_t loaded = std::min<std::uint64_t>(fatBytes, m_pFat.size());
  if (!write({m_pFat.data(), std::size_t(loaded)})) return false;
  const std::vector<std::uint8_t> zeros(64 * 1024, 0);
  for (std::uint64_t left = fatBytes - loaded; left != 0;) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(left, zeros.size()));
    if (!write({zeros.data(), n})) return false;
    left -= n;
  }
  if (!write(m_pClusterMap)) return false;
  std::array<std::uint8_t, kHighestClusterBytes> highest{};
  platform::putLe32(highest.data(), m_nMaxCluster);
  return write(highest);
}

std::uint32_t CFatEngine::RestoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                              std::u16string& cause) {
  const engine::VolumeGeometry place = engine::volumePlaceOf(header);
  engine::adoptVolumePlace(place, place.imageFile, volumePlace(), reader_, app_.mountedImage());
  m_nSectorsPerCluster = header.m_bFat;
  m_nRootCluster = header.rootCluster;
  m_nSectorsPerFat = header.m_nFatSectors;
  m_nLinkingMode = header.m_byTableMode;
  m_nReservedSectors = header.reservedSectors;
  m_nRootDirSectors = header.rootDirSectors;
  m_bAbsoluteSectors = header.absoluteSectors;
  // A search by sectors places its "clusters" behind two copies of one sector.
  m_nFatCount = m_bAbsoluteSectors ? 2 : bootSectorFatCount();
  m_nFoundCount = m_nFolderCount = m_nFileCount = 0;
  m_nTotalSize = 0;
  itemIds_.startAt(2);
  m_nMaxCluster = std::uint32_t(std::min<std::uint64_t>(dataBound(), UINT32_MAX));

  // The header's two cluster sizes must agree, and the FAT and the map must be ones this
  // volume could have had, before anything is allocated for them.
  const std::uint64_t fatBytes = std::uint64_t(m_nSectorsPerFat) * fs::fat::kSectorBytes;
  const std::uint64_t mapBytes = header.m_nClusterMapBytes;
  const std::uint64_t fatEntries = std::uint64_t(m_nSectorsPerFat) * entriesPerFatSector(m_nFatType);
  if (header.sectorsPerCluster != header.m_bFat) {
    cause = u"the header's two cluster sizes differ";
    return 0;
  }
  if (m_nFatType > fs::fat::kFat32 || m_nSectorsPerFat > m_nTotalSectors) {
    cause = engine::tablesDoNotFit(u"FAT");
    return 0;
  }
  if (mapBytes > kMaxMapBytes || mapBytes > std::max(fatEntries, dataBound()) + 1) {
    cause = engine::tablesDoNotFit(u"cluster map");
    return 0;
  }
  const bool hasHighest = header.engineTableBytes == fatBytes + mapBytes + kHighestClusterBytes;
  if (!hasHighest && header.engineTableBytes != fatBytes + mapBytes) {
    cause = engine::tablesDoNotFit(u"engine tables");
    return 0;
  }

  std::vector<std::uint8_t> fat;
  if (!engine::readTable(read, fatBytes, fat, cause) || !engine::readTable(read, mapBytes, m_pClusterMap, cause))
    return 0;
  // A FAT that was never loaded was saved as zeros: none is in use, as after the scan.
  const bool anyEntry = std::any_of(fat.begin(), fat.end(), [](std::uint8_t b) { return b != 0; });
  m_pFat = anyEntry ? std::move(fat) : std::vector<std::uint8_t>{};
  m_nClusterMapSize = std::uint32_t(mapBytes);
  if (hasHighest) {
    std::vector<std::uint8_t> highest;
    if (!engine::readTable(read, kHighestClusterBytes, highest, cause)) return 0;
    const std::uint32_t saved = *platform::ByteView(highest).le32(0);
    // The chains were followed no further than the FAT or the data area reach.
    if (saved >= 2 && saved <= std::max(fatEntries, dataBound())) m_nMaxCluster = saved;
  }
  visited_ = VisitedClusters();
  markedToEnd_ = VisitedClusters();

  if (!engine::findSourceAgain(header, notifier_, cause)) return 0;
  // The boot sector, or FAT32's backup, must put the data area where the scan had it, with
  // its cluster size: the saved clusters are read from there. One the scan would have refused
  // (bad fields, or no FAT copy signed where it puts them) settles nothing.
  const auto readSector = [this](std::uint64_t at, std::span<std::uint8_t> out) {
    return readVolumeSectors(out.data(), std::uint32_t(out.size()), at);
  };
  const auto judge = [&](std::uint64_t at, platform::ByteView sector) {
    const auto boot = fs::fat::parseFatBootSector(sector);
    if (!boot || fs::fat::bootParamsAreBad(*boot, m_nTotalSectors, at != 0)) return engine::SavedVolumeCheck::Unchecked;
    if (boot->sectorsPerCluster == m_nSectorsPerCluster &&
        fs::fat::systemSectors(boot->reservedSectors, boot->sectorsPerFat, boot->rootDirSectors, boot->fatCount) ==
            systemSectorCount())
      return engine::SavedVolumeCheck::Same;
    std::array<std::uint8_t, fs::fat::kSectorBytes> fat{};
    const std::uint64_t fat1 = boot->reservedSectors;
    for (const std::uint64_t copy : {fat1, fat1 + boot->sectorsPerFat})
      if (readSector(copy, fat) && fs::fat::hasMediaSignature(fat)) return engine::SavedVolumeCheck::Other;
    return engine::SavedVolumeCheck::Unchecked;
  };
  const std::array<std::uint64_t, 2> places = {0, fs::fat::boot::kBackupSector};
  const engine::SavedVolumeCheck check = engine::checkSavedVolume(places, readSector, judge, engine::SavedEngine::Fat);
  if (!engine::acceptSavedVolume(check, app_, log_, cause)) return 0;
  app_.m_bVolumeOpened = 1;
  return 1;
}

}  // namespace qelda::fat
