// Scan information of an exFAT scan: the geometry in the header, then copies of the two
// work files ("exFat.dat", "ClusterMap.dat"); restored instead of a scan by writing the
// copies back into fresh work files and reading the boot sector again for what the header
// does not hold (the cluster heap's offset).
#include <algorithm>

#include "engine/scan_info_tables.h"
#include "engine/scan_state.h"
#include "exfat/exfat_engine.h"
#include "fs/exfat_layout.h"
#include "platform/text.h"

namespace qelda::exfat {

namespace {

constexpr std::uint64_t kSectorBytes = fs::exfat::kSectorBytes;
constexpr std::uint64_t kMapBlock = 4096;

// Puts `bytes` of the tables into a new work file `name` of the folder; a length of 0
// leaves it closed.
bool restoreWorkFile(WorkFile& file, WorkFolder& folder, std::string_view name, std::uint64_t bytes,
                     std::uint64_t fileBytes, const engine::TableReader& read, std::u16string& cause) {
  file.close();
  if (bytes == 0) return true;
  if (!folder.make(file, name, fileBytes)) {
    cause = u"a work file could not be made for the saved tables";
    return false;
  }
  if (read(file.writable().subspan(0, std::size_t(bytes)))) return true;
  file.close();
  cause = u"the engine tables end before the " + platform::widenLatin1(std::to_string(bytes)) +
          u" bytes they should hold";
  return false;
}

}  // namespace

bool CExFatEngine::writeScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) const {
  // The header keeps the cluster size in 16 bits.
  if (m_nSectorsPerCluster == 0 || m_nSectorsPerCluster > UINT16_MAX) return false;
  const std::span<const std::uint8_t> fat = m_hFatFile.bytes();
  const std::span<const std::uint8_t> map =
      m_hClusterMapFile.bytes().first(std::min<std::size_t>(m_nClusterMapLength, m_hClusterMapFile.bytes().size()));
  header.m_nFatSectors = std::uint32_t(fat.size() / kSectorBytes);
  header.rootCluster = m_nRootCluster;
  header.m_nClusterMapBytes = std::uint32_t(map.size());
  header.m_byFsCode = m_byFsCode;
  header.m_byTableMode = m_nLinkingMode;
  header.reservedSectors = m_nFatOffset;
  header.sectorsPerCluster = std::uint16_t(m_nSectorsPerCluster);
  engine::putVolumePlace(header,
                         {.startSector = m_nPartitionStart, .sectorCount = m_nVolumeLength, .lastSector = m_nLastSector,
                          .biosDrive = m_nDriveNumber, .imageFile = m_bImageFile, .imagePath = m_szImagePath},
                         m_bAbsoluteSectors != 0);
  header.exFatClusterCount = m_nClusterCount;
  return write(fat.first(std::size_t(header.m_nFatSectors) * kSectorBytes)) && write(map);
}

std::uint32_t CExFatEngine::RestoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                                std::u16string& cause) {
  const engine::VolumeGeometry place = engine::volumePlaceOf(header);
  engine::adoptVolumePlace(place, place.imageFile, volumePlace(), reader_, app_.mountedImage());
  recordSectors_ = place.sectorCount;
  m_nFatLength = header.m_nFatSectors;
  m_nRootCluster = header.rootCluster;
  m_nLinkingMode = header.m_byTableMode == kLinkContiguous ? kLinkContiguous : kLinkChain;
  m_nFatOffset = header.reservedSectors;
  m_nSectorsPerCluster = header.sectorsPerCluster;
  m_bAbsoluteSectors = header.absoluteSectors;
  m_nClusterCount = header.exFatClusterCount;
  m_nBitmapCluster = 2;

  // The drive first: the boot sector below is read from it.
  if (!engine::findSourceAgain(header, notifier_, cause)) return 0;
  app_.m_bVolumeOpened = 1;

  // The cluster heap's offset lives only in the boot sector; the rest of its geometry must
  // be what the scan saw, or the saved chains and map describe another volume.
  const std::uint32_t savedFatLength = m_nFatLength;
  if (!bootSectorTest(false)) {
    cause = u"the volume's boot sector cannot be read again: " + failure_;
    return 0;
  }
  const bool same = params_.sectorsPerCluster == header.sectorsPerCluster &&
                    params_.fatOffset == header.reservedSectors && params_.clusterCount == header.exFatClusterCount;
  if (!engine::acceptSavedVolume(same ? engine::SavedVolumeCheck::Same : engine::SavedVolumeCheck::Other, app_,
                                 log_, cause))
    return 0;
  resetScan();
  itemIds_.startAt(5);

  const std::uint64_t fatBytes = std::uint64_t(savedFatLength) * kSectorBytes;
  const std::uint64_t mapBytes = header.m_nClusterMapBytes;
  if (savedFatLength > params_.fatLength) {
    cause = engine::tablesDoNotFit(u"allocation table");
    return 0;
  }
  if (mapBytes > std::uint64_t(m_nClusterCount) + 1) {
    cause = engine::tablesDoNotFit(u"cluster map");
    return 0;
  }
  if (header.engineTableBytes != fatBytes + mapBytes) {
    cause = engine::tablesDoNotFit(u"engine tables");
    return 0;
  }
  if (!restoreWorkFile(m_hFatFile, workFolder_, kFatWorkFile, fatBytes, fatBytes, read, cause)) return 0;
  m_hFatFile.seal();
  const std::uint64_t mapFileBytes = (mapBytes + kMapBlock - 1) / kMapBlock * kMapBlock;
  if (!restoreWorkFile(m_hClusterMapFile, workFolder_, kClusterMapWorkFile, mapBytes, mapFileBytes, read, cause))
    return 0;
  m_nClusterMapLength = std::uint32_t(mapBytes);
  return 1;
}

}  // namespace qelda::exfat
