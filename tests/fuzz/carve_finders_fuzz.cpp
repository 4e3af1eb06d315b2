// libFuzzer entry point: every length finder, MatchRawSignatures and the sweep over the input.
#include "fuzz/carve_finders_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qelda::carve::fuzz::runEveryCarveFinder(data, size);
  return 0;
}
