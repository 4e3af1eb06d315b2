// A VDI file through the mount step: its header, its block map, and reads all over the disk
// through the map.
#include <cstdint>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qelda::fuzz::mountAndReadImage({data, size}, qelda::app::kImageVdi, "image.vdi");
  return 0;
}
