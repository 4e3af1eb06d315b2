// The mounted image as the readers see it: built once by the mount step from the
// application's image description, never changed afterwards, shared by every thread that
// reads. Files are opened once here, so a read is a table lookup and a pread per run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/read_only_file.h"

namespace qelda::app {
class CQELDAApp;
}

namespace qelda::disk {

// Where a run of consecutive virtual-disk sectors lies.
struct MappedRun {
  const platform::ReadOnlyFile* file = nullptr;  // null: nothing to read there
  std::uint64_t offset = 0;                      // byte offset in `file`
  std::uint64_t sectors = 0;                     // length of the run, at least 1
  bool readable = false;                         // without a file: true for unallocated
                                                 // space (zeros that count as read)
};

enum class ImageLayout : std::uint8_t {
  None,         // no image, or one whose layout we cannot read: zeros, result 0
  FlatFile,     // a VMDK without descriptor, read as one flat file of sectors
  VmdkExtents,  // a VMDK read through its extent list
  Vdi,
  Vhd,
};

// One VMDK extent as mounted.
struct MountedExtent {
  std::uint64_t firstSector = 0;  // first virtual-disk sector it holds
  std::uint64_t sectors = 0;
  std::shared_ptr<const platform::ReadOnlyFile> file;  // null when the file is missing
  std::uint64_t fileOffset = 0;                        // flat: byte offset of its data in the file
  bool sparse = false;
};

class MountedImage {
 public:
  ImageLayout layout = ImageLayout::None;
  std::uint64_t diskSectors = 0;  // reads at or past this fail

  // FlatFile, Vdi, Vhd: the picked file.
  std::shared_ptr<const platform::ReadOnlyFile> image;
  // VmdkExtents: ordered by firstSector, contiguous from 0.
  std::vector<MountedExtent> extents;

  // Set when a read falls beyond the extents of a split image.
  std::atomic<std::uint32_t>* imageCorrupt = nullptr;

  // Maps the run starting at `sector`, at most `maxSectors` long (maxSectors >= 1).
  MappedRun map(std::uint64_t sector, std::uint64_t maxSectors) const;

 private:
  MappedRun mapExtents(std::uint64_t sector, std::uint64_t maxSectors) const;
};

// Builds the snapshot from the application's current image description.
std::shared_ptr<const MountedImage> buildMountedImage(app::CQELDAApp& app);

// Folder of an image path (up to its last '/'), "." when it has none.
std::string imageFolder(const std::string& imagePath);

}  // namespace qelda::disk
