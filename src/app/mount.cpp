#include "app/mount.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "volume/gpt.h"
#include "volume/ldm.h"
#include "volume/ldm_layout.h"
#include "volume/partition_layout.h"
#include "volume/partition_list.h"
#include "volume/partition_mbr.h"
#include "platform/byte_view.h"
#include "platform/string_table.h"
#include "platform/text.h"
#include "ui/message_box.h"

namespace qelda::app {

std::uint32_t imageTypeFromPath(const std::string& path) {
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return 0;
  const std::u16string ext = platform::widenLatin1(path.substr(dot));
  if (platform::equalsIgnoreCaseAscii(ext, u".vmdk")) return kImageVmdk;
  if (platform::equalsIgnoreCaseAscii(ext, u".vdi")) return kImageVdi;
  if (platform::equalsIgnoreCaseAscii(ext, u".vhd")) return kImageVhd;
  return 0;
}

namespace {

// Up to the extent that would make the disk longer than any disk, as the mounted extents end.
std::uint64_t sumExtentSectors(const CQELDAApp& app) {
  std::uint64_t sum = 0;
  for (const auto& e : app.m_arrExtents) {
    if (e.m_nSectors > image::kMaxDiskSectors - sum) break;
    sum += e.m_nSectors;
  }
  return sum;
}

}  // namespace

std::uint64_t CDataRecovery::diskSectorsOfImage() const {
  // The snapshot knows the length of what it can read; an image it cannot read still has
  // the length its description gives.
  const auto image = app_.mountedImage();
  if (image && image->layout != image::ImageLayout::None) return image->diskSectors;
  if (app_.m_nImageType == kImageVmdk) return sumExtentSectors(app_);
  return 0;
}

MountOutcome CDataRecovery::OnBnClickedMountVirtualDisk(std::uint32_t imageType, const std::string& path) {
  cause_.clear();
  app_.clearImage();
  // Nothing of the previous image's layout survives a new mount.
  volume::FreeSourceList(app_);
  volume::freeVolumeList(app_);
  app_.m_nImageType = imageType;
  app_.m_strImagePath = path;
  image::CVirtualDisk& reader = app_.g_VirtualDisk;
  reader.reset();

  std::uint32_t opened = 0;
  switch (imageType) {
    case kImageVmdk:
      opened = reader.IsVmdkFile(path) ? reader.ParseVmdkDescriptor(path) : reader.OpenVmdk(path);
      break;
    case kImageVdi:
      opened = reader.OpenVdi(path);
      break;
    case kImageVhd:
      opened = reader.OpenVhd(path);
      break;
    default:
      break;
  }
  reader.m_hFile.reset();
  app_.publishMountedImage();
  app_.m_nDiskSectors = diskSectorsOfImage();

  if (opened) return walkPartitions();
  findCause(imageType, path);
  // A layout refused leaves the picked file's own bytes to read as a whole disk; a file too
  // short to hold one sector leaves nothing, and is no image at all.
  if ((app_.m_bImageCorrupt || app_.m_bImageNoLayout) && app_.m_nDiskSectors != 0) {
    ui::CMessageBox(notifier_, platform::StringTable::load(platform::strings::kCorruptImage), 0, 0).DoModal();
    volume::FillVolumeList(app_, 1);
    return MountOutcome::CorruptLayout;
  }
  // Nothing of a refused image stays mounted: the user has to pick another one.
  if (app_.m_bImageCorrupt || app_.m_bImageNoLayout) {
    const std::uint64_t bytes = image::GetFileSize64(path);
    if (bytes < image::kSectorSize)
      cause_ += " (" + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes") + ": not one whole sector)";
  }
  app_.clearImage();
  app_.m_nImageType = 0;
  ui::CMessageBox(notifier_, platform::StringTable::load(platform::strings::kInvalidImage), 0, 0).DoModal();
  return MountOutcome::Invalid;
}

MountOutcome CDataRecovery::mountSnapshot(std::shared_ptr<const image::MountedImage> snapshot) {
  cause_.clear();
  app_.clearImage();
  volume::FreeSourceList(app_);
  volume::freeVolumeList(app_);
  app_.g_VirtualDisk.reset();
  if (!snapshot) return MountOutcome::Invalid;
  app_.m_nImageType = kImageVmdk;
  app_.m_nDiskSectors = snapshot->diskSectors;
  app_.publishMountedImage(std::move(snapshot));
  return walkPartitions();
}

MountOutcome CDataRecovery::walkPartitions() {
  StartPartitionScan();
  // A dynamic disk without its private header has been reported by the walk, which stopped
  // at its entry: the volumes the table lists before that entry are still offered.
  volume::FillVolumeList(app_, 0);
  return ldmHeaderMissing_ ? MountOutcome::CorruptLayout : MountOutcome::Mounted;
}

void CDataRecovery::findCause(std::uint32_t imageType, const std::string& path) {
  // Only a regular file or a block device holds an image.
  if (const std::string why = platform::whyNotOpened(path); !why.empty()) {
    cause_ = "cannot open " + path + ": " + why;
    return;
  }
  if (!app_.refusedBecause.empty()) {
    cause_ = path + ": " + app_.refusedBecause;
    return;
  }
  for (const image::DISK_DESCRIPTOR_EXTENT& e : app_.m_arrExtents) {
    const std::string extent = image::extentPath(path, e.fileNameBytes);
    struct stat es{};
    if (::stat(extent.c_str(), &es) != 0) {
      cause_ = "extent " + extent + " missing";
      return;
    }
  }
  const char* kind = imageType == kImageVdi ? "a VDI" : imageType == kImageVhd ? "a VHD" : imageType == kImageVmdk ? "a VMDK" : "a VMDK, VDI or VHD";
  cause_ = path + ": not " + std::string(kind) + " image that can be read";
}

// --- the partition walk ----------------------------------------------------------------------

void CDataRecovery::StartPartitionScan() {
  m_nExtendedBase = 0;
  m_bExtendedBaseKnown = 0;
  m_pPendingExtended.reset();
  ldmHeaderMissing_ = false;
  ScanMbrPartitionTable(0);
  if (!app_.m_pVolumeList) app_.m_bImageNoLayout = 1;
}

void CDataRecovery::ScanMbrPartitionTable(std::uint64_t sector) {
  // The chain of extended boot records is followed in a loop. Each table keeps its own
  // dynamic-disk database, whose volumes are added once the rest of the chain is walked.
  std::vector<std::unique_ptr<volume::LdmDatabase>> databases;
  std::unordered_set<std::uint64_t> visited;
  std::uint64_t table = sector;
  for (std::size_t link = 0; link < volume::mbr::kMaxChainLinks; ++link) {
    if (!visited.insert(table).second) break;               // the chain leads back
    if (link > 0 && table >= app_.m_nDiskSectors) break;    // a link out of the disk
    m_pMbrSector = std::make_unique<std::array<std::uint8_t, 512>>();
    image::ReadSourceSectors(app_, m_pMbrSector->data(), table, std::uint32_t(m_pMbrSector->size()));
    scanTableEntries(table, *databases.emplace_back(std::make_unique<volume::LdmDatabase>()));
    m_pMbrSector.reset();
    if (!m_pPendingExtended) break;
    // Logical partitions count from their own table, links from the outermost extended
    // partition.
    const std::uint64_t next =
        table == 0 ? m_nExtendedBase : std::uint64_t(m_nExtendedBase) + m_pPendingExtended->firstSector;
    m_pPendingExtended.reset();
    table = next;
  }
  m_pPendingExtended.reset();
  for (auto it = databases.rbegin(); it != databases.rend(); ++it) {
    if (!(*it)->databaseFound) continue;
    volume::ParseLdmRecords(app_, **it);
    volume::AssembleLdmVolumes(app_, **it);
  }
}

void CDataRecovery::scanTableEntries(std::uint64_t sector, volume::LdmDatabase& database) {
  const auto entries = volume::parseMbrTable(platform::ByteView(*m_pMbrSector));
  if (!entries) return;
  for (const volume::MbrEntry& e : *entries) {
    if (e.sectorCount == 0) continue;
    switch (volume::mbrEntryRole(e.type)) {
      case volume::MbrEntryRole::Volume: {
        const std::uint64_t start = sector + e.firstSector;
        volume::appendVolumeNode(app_, start, e.sectorCount, volume::readVolumeBootSector(app_, start, e.sectorCount, e.type),
                               e.type);
        break;
      }
      case volume::MbrEntryRole::Extended:
        m_pPendingExtended = std::make_unique<PendingExtendedEntry>(PendingExtendedEntry{e.raw, e.firstSector});
        if (!m_bExtendedBaseKnown) {
          m_nExtendedBase = e.firstSector;
          m_bExtendedBaseKnown = 1;
        }
        break;
      case volume::MbrEntryRole::Gpt:
        m_pMbrSector.reset();
        volume::ScanGptPartitionEntries(app_, database, e.firstSector);
        return;
      case volume::MbrEntryRole::Ldm:
        scanLdmDisk(database);
        return;
      case volume::MbrEntryRole::Ignored:
        break;
    }
  }
}

void CDataRecovery::scanLdmDisk(volume::LdmDatabase& database) {
  if (!volume::FindLdmPrivateHeader(app_, database, volume::ldm::kMbrPrivHeadSector)) {
    app_.m_bImageCorrupt = 1;
    ldmHeaderMissing_ = true;
    ui::CMessageBox(notifier_, platform::StringTable::load(platform::strings::kCorruptImage), 0, 0).DoModal();
    return;
  }
  app_.m_bDynamicDisk = 1;
  const std::uint64_t diskSectors = app_.m_nDiskSectors;
  std::uint64_t from = diskSectors > volume::ldm::kMbrDatabaseSectors ? diskSectors - volume::ldm::kMbrDatabaseSectors : 0;
  // An image longer than the disk it was made from (a VHD rounded up to its geometry) has
  // the database before its last sectors; the private header says where it begins.
  const volume::LdmPrivateHeader& h = database.header;
  if (h.configStart > h.logicalDiskStart && h.configStart < from) from = h.configStart;
  volume::FindLdmDatabase(app_, database, from);
}

}  // namespace qelda::app
