// LZNT1 chunks as a compressed attribute's units hold them: into a whole compression unit
// (16 windows of 4096 bytes) and into an output that ends inside a window.
#include <cstdint>
#include <span>
#include <vector>

#include "fs/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  const std::span<const std::uint8_t> input(data, size);
  for (const std::size_t outputBytes : {std::size_t(16 * 4096), std::size_t(4096 + 1000)}) {
    std::vector<std::uint8_t> output(outputBytes);
    std::size_t produced = 0;
    qelda::fs::ntfs::Lznt1Decompress(input, output, produced);
    if (produced > output.size()) __builtin_trap();  // the length told must lie inside the output
  }
  return 0;
}
