#include "app/mount.h"

#include <algorithm>

#include "platform/string_table.h"
#include "platform/text.h"

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

std::uint64_t sumExtentSectors(const CQELDAApp& app) {
  std::uint64_t sum = 0;
  for (const auto& e : app.m_arrExtents) sum = e.m_nSectors > UINT64_MAX - sum ? UINT64_MAX : sum + e.m_nSectors;
  return sum;
}

}  // namespace

std::uint64_t CDataRecovery::diskSectorsOfImage() const {
  // The snapshot knows the length of what it can read; an image it cannot read still has
  // the length its description gives.
  const auto image = app_.mountedImage();
  if (image && image->layout != disk::ImageLayout::None) return image->diskSectors;
  if (app_.m_nImageType == kImageVmdk) return sumExtentSectors(app_);
  return 0;
}

MountOutcome CDataRecovery::OnBnClickedMountVirtualDisk(std::uint32_t imageType, const std::string& path) {
  app_.clearImage();
  app_.m_nImageType = imageType;
  app_.m_strImagePath = path;
  disk::CVirtualDisk& reader = app_.g_VirtualDisk;
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

  if (opened) return MountOutcome::Mounted;
  if (app_.m_bImageCorrupt || app_.m_bImageNoLayout) {
    notifier_.Show(platform::StringTable::load(platform::strings::kCorruptImage), 0, 0);
    return MountOutcome::CorruptLayout;
  }
  // Nothing of a refused image stays mounted: the user has to pick another one.
  app_.clearImage();
  app_.m_nImageType = 0;
  notifier_.Show(platform::StringTable::load(platform::strings::kInvalidImage), 0, 0);
  return MountOutcome::Invalid;
}

}  // namespace qelda::app
