// The application state that the reading layer and the engines read and write.
// A plain state header: it includes only platform and disk-record headers, so that the
// lower layers may include it without pulling in the flows that drive them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "disk/disk_records.h"
#include "disk/mounted_image.h"
#include "disk/virtual_disk.h"
#include "disk/volume_records.h"

namespace qelda::ntfs {
class CNtfsEngine;
}
namespace qelda::fat {
class CFatEngine;
}

namespace qelda::app {

// Image types of the mounted image.
inline constexpr std::uint32_t kImageVmdk = 1;
inline constexpr std::uint32_t kImageVdi = 2;
inline constexpr std::uint32_t kImageVhd = 3;

class CQELDAApp {
 public:
  CQELDAApp();
  CQELDAApp(const CQELDAApp&) = delete;
  CQELDAApp& operator=(const CQELDAApp&) = delete;
  ~CQELDAApp();

  // --- mounted image description -------------------------------------------------------
  std::uint32_t m_nImageType = 0;          // 1 VMDK, 2 VDI, 3 VHD; anything else: none
  std::string m_strImagePath;              // the picked file (native path)
  std::vector<disk::DISK_DESCRIPTOR_EXTENT> m_arrExtents;
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

  // --- volumes of the mounted disk and the source list ------------------------------------
  disk::VOLUME_NODE* m_pVolumeList = nullptr;       // volumes in walk order
  disk::VOLUME_NODE* m_pVolumeListTail = nullptr;   // the last node: the append point
  disk::DEVICE_ENTRY* m_pSourceList = nullptr;      // whole disk first, then the volumes
  disk::DEVICE_ENTRY* m_pSourceCursor = nullptr;    // the walking pointer; on the last entry after an append
  disk::DEVICE_ENTRY* m_pSelectedSource = nullptr;  // the entry the user chose
  // The pools that own the nodes and entries linked above; addresses stay put as they grow.
  std::deque<disk::VOLUME_NODE> volumeNodes_;
  std::deque<disk::DEVICE_ENTRY> sourceEntries_;

  // The image reader the mount step parses images into (not used for reading).
  disk::CVirtualDisk g_VirtualDisk;

  // --- run state shared by the worker threads ------------------------------------------
  std::atomic<std::uint32_t> m_bStopRequested{0};
  std::atomic<std::uint32_t> m_bBusy{0};
  std::atomic<std::uint32_t> m_bHasResults{0};
  std::atomic<std::uint32_t> m_bSearchingCriticalInfo{0};
  std::atomic<std::uint32_t> m_bNoScanProgress{0};
  std::atomic<std::uint32_t> m_bTreeBuilding{0};
  std::atomic<std::uint8_t> m_bVolumeOpened{0};
  std::uint32_t m_nScanKind = 0;
  std::uint32_t m_nScanType = 1;  // 1 quick, 0 deep
  std::uint8_t m_nAdvancedFileSystem = 0;
  std::uint32_t m_nSetRaw = 1;

  // --- the current engine: at most one is set, replaced at every scan -------------------
  // (exFAT volumes get their slot when their engine exists.)
  std::unique_ptr<fat::CFatEngine> m_pFatEngine;
  std::unique_ptr<ntfs::CNtfsEngine> m_pNtfsEngine;

  // The end of a scan or search: the run flags drop, and the results flag tells whether
  // the engine left holds anything found.
  void OnOperationFinished();
  // Releases the engine that is set (its FreeAll, then the object) and clears the slots.
  void FreeEngines();

  // The snapshot every read goes through; replaced only by the mount step.
  std::shared_ptr<const disk::MountedImage> mountedImage() const { return mountedImage_.load(); }
  // Rebuilds the snapshot from the description above (the mount step and its probes).
  void publishMountedImage();
  // Empties the image description and the snapshot.
  void clearImage();

 private:
  std::atomic<std::shared_ptr<const disk::MountedImage>> mountedImage_;
};

}  // namespace qelda::app
