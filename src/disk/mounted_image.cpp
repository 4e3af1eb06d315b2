#include "disk/mounted_image.h"

#include <algorithm>

#include "app/qelda_app.h"
#include "platform/text.h"

namespace qelda::disk {
namespace {

constexpr std::uint64_t kSector = 512;
// No disk we can read is larger than this (8 EiB); keeps every byte offset below 2^63.
constexpr std::uint64_t kMaxDiskSectors = std::uint64_t(1) << 54;

bool isFlatType(std::u16string_view type) { return type == u"FLAT" || type == u"VMFS"; }

std::shared_ptr<const platform::ReadOnlyFile> openShared(const std::string& path) {
  auto f = platform::ReadOnlyFile::open(path);
  if (!f) return nullptr;
  return std::make_shared<const platform::ReadOnlyFile>(std::move(*f));
}

}  // namespace

std::string imageFolder(const std::string& imagePath) {
  const auto slash = imagePath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return imagePath.substr(0, slash);
}

MappedRun MountedImage::map(std::uint64_t sector, std::uint64_t maxSectors) const {
  if (sector >= diskSectors) return {nullptr, 0, maxSectors, false};
  maxSectors = std::min(maxSectors, diskSectors - sector);
  switch (layout) {
    case ImageLayout::FlatFile:
      return {image.get(), sector * kSector, maxSectors, image != nullptr};
    case ImageLayout::VmdkExtents:
      return mapExtents(sector, maxSectors);
    default:
      return {nullptr, 0, maxSectors, false};
  }
}

MappedRun MountedImage::mapExtents(std::uint64_t sector, std::uint64_t maxSectors) const {
  // The extent holding `sector`: the last one that starts at or before it.
  auto it = std::upper_bound(extents.begin(), extents.end(), sector,
                             [](std::uint64_t s, const MountedExtent& e) { return s < e.firstSector; });
  if (it == extents.begin()) return {nullptr, 0, maxSectors, false};
  const MountedExtent& e = *--it;
  const std::uint64_t inExtent = sector - e.firstSector;
  if (inExtent >= e.sectors) {  // only past the last extent, since extents are contiguous
    if (imageCorrupt) imageCorrupt->store(1, std::memory_order_relaxed);
    return {nullptr, 0, maxSectors, false};
  }
  const std::uint64_t run = std::min(maxSectors, e.sectors - inExtent);
  const std::uint64_t rel = inExtent * kSector;  // inExtent < kMaxDiskSectors: no overflow
  if (!e.file || e.fileOffset > UINT64_MAX - rel) return {nullptr, 0, run, false};
  return {e.file.get(), e.fileOffset + rel, run, true};
}

std::shared_ptr<const MountedImage> buildMountedImage(app::CQELDAApp& app) {
  auto image = std::make_shared<MountedImage>();
  image->imageCorrupt = &app.m_bImageCorrupt;
  if (app.m_nImageType != app::kImageVmdk) return image;  // other formats come with their readers

  if (!app.m_bVmdkDescriptor) {
    image->image = openShared(app.m_strImagePath);
    if (!image->image) return image;
    image->layout = ImageLayout::FlatFile;
    image->diskSectors = std::min(image->image->size() / kSector, kMaxDiskSectors);
    return image;
  }

  const std::u16string& type = app.m_strCreateType;
  if (type != u"monolithicFlat" && type != u"twoGbMaxExtentFlat") return image;

  const std::string folder = imageFolder(app.m_strImagePath);
  std::uint64_t first = 0;
  for (const DISK_DESCRIPTOR_EXTENT& d : app.m_arrExtents) {
    MountedExtent e;
    e.firstSector = first;
    e.sectors = d.m_nSectors;
    if (isFlatType(d.m_szType)) {
      e.file = openShared(folder + "/" + d.fileNameBytes);
      e.fileOffset = d.flatStartSector <= UINT64_MAX / kSector ? d.flatStartSector * kSector : UINT64_MAX;
    }
    // Sizes beyond any real disk are a damaged descriptor: the disk ends there.
    if (e.sectors > kMaxDiskSectors - first) break;
    first += e.sectors;
    image->extents.push_back(std::move(e));
  }
  image->layout = ImageLayout::VmdkExtents;
  image->diskSectors = first;
  return image;
}

}  // namespace qelda::disk
