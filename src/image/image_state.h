// The mounted image's description, as the mount step fills it and the readers use it: the
// part of the application state that the image layer owns. The snapshot every read goes
// through is built from it and published here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/disk_records.h"
#include "image/image_files.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"

namespace qelda::image {

// Image types of the mounted image.
inline constexpr std::uint32_t kImageVmdk = 1;
inline constexpr std::uint32_t kImageVdi = 2;
inline constexpr std::uint32_t kImageVhd = 3;

class ImageState {
 public:
  ImageState() : g_VirtualDisk(*this) {}
  ImageState(const ImageState&) = delete;
  ImageState& operator=(const ImageState&) = delete;

  std::uint32_t m_nImageType = 0;          // 1 VMDK, 2 VDI, 3 VHD; anything else: none
  std::string m_strImagePath;              // the picked file (native path)
  std::vector<DISK_DESCRIPTOR_EXTENT> m_arrExtents;
  std::u16string m_strCreateType;
  std::uint32_t m_bVmdkDescriptor = 0;     // 1: reads go through the extent list
  std::atomic<std::uint32_t> m_bVmdkLayoutGuessed{0};
  std::atomic<std::uint32_t> m_bSplitSparseAsSingle{0};
  std::atomic<std::uint32_t> m_bImageCorrupt{0};  // also set by reads beyond a split image
  std::atomic<std::uint32_t> m_bImageNoLayout{0};
  std::atomic<std::uint32_t> m_bDynamicDisk{0};
  std::uint32_t m_nVdiImageType = 0;
  std::uint32_t m_nVhdDiskType = 0;
  std::uint64_t m_nDiskSectors = 0;
  // A VMDK snapshot's parent, as its descriptor names it (possibly empty); none for a disk
  // of its own.
  std::optional<std::u16string> vmdkParent;
  // Why an opener refused the image, when the image itself tells (a field no disk has);
  // empty otherwise.
  std::string refusedBecause;

  // The image reader the mount step parses images into (not used for reading).
  CVirtualDisk g_VirtualDisk;
  // Where the mount step opens the image's files; kept when the image is cleared.
  ImageFiles imageFiles;

  // The snapshot every read goes through; replaced only by the mount step.
  std::shared_ptr<const MountedImage> mountedImage() const { return mountedImage_.load(); }
  // Rebuilds the snapshot from the description above (the mount step and its probes).
  void publishMountedImage() { mountedImage_.store(buildMountedImage(*this)); }
  // Publishes a snapshot built elsewhere (a disk held in memory).
  void publishMountedImage(std::shared_ptr<const MountedImage> snapshot) { mountedImage_.store(std::move(snapshot)); }
  // Empties the image description and the snapshot.
  void clearImage() {
    m_arrExtents.clear();
    m_strCreateType.clear();
    m_bVmdkDescriptor = 0;
    m_bVmdkLayoutGuessed = 0;
    m_bSplitSparseAsSingle = 0;
    m_bImageCorrupt = 0;
    m_bImageNoLayout = 0;
    m_bDynamicDisk = 0;
    m_nVdiImageType = 0;
    m_nVhdDiskType = 0;
    m_nDiskSectors = 0;
    vmdkParent.reset();
    refusedBecause.clear();
    mountedImage_.store(nullptr);
  }

 private:
  std::atomic<std::shared_ptr<const MountedImage>> mountedImage_;
};

}  // namespace qelda::image
