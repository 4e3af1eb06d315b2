// A VMDK file: its descriptor text and its sparse extent header in memory, then the file
// itself through the mount step (descriptor, embedded descriptor, sparse grain tables or a
// guessed layout, including extents that name the file itself) and reads all over the disk.
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  const fuzz::Bytes input(data, size);

  std::u16string createType;
  std::vector<qelda::image::DISK_DESCRIPTOR_EXTENT> extents;
  qelda::image::CVirtualDisk::parseDescriptorText(std::string_view(reinterpret_cast<const char*>(data), size), createType,
                                          extents);
  for (const auto defaults : {qelda::image::SparseDefaults::Monolithic, qelda::image::SparseDefaults::Split})
    qelda::image::parseSparseExtentHeader(platform::ByteView(data, size), defaults, size / 512);

  fuzz::mountAndReadImage(input, app::kImageVmdk, "image.vmdk");
  return 0;
}
