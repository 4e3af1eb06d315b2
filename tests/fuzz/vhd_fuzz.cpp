// A VHD file through the mount step: the footer at its end or its copy at the start, the
// dynamic header, the block allocation table, and reads all over the disk through it.
#include <cstdint>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qelda::fuzz::mountAndReadImage({data, size}, qelda::app::kImageVhd, "image.vhd");
  return 0;
}
