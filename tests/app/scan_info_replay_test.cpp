// Every seed of the scan-information fuzz target (hand-made files and files saved from real
// scans) through its entry point: loaded, restored into its engine and replayed; none may
// crash or hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

// The entry's C name is the fuzzer's; here it takes one of its own.
#define LLVMFuzzerTestOneInput scanInfoFuzzOne
#include "../fuzz/scan_info_fuzz.cpp"
#undef LLVMFuzzerTestOneInput

namespace {

TEST(ScanInfoFuzzSeeds, EverySeedLoadsAndRestores) {
  const std::filesystem::path corpus = std::filesystem::path(__FILE__).parent_path() / "../fuzz/corpus/scan_info";
  std::size_t seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(scanInfoFuzzOne(bytes.data(), bytes.size()), 0);
    ++seeds;
  }
  EXPECT_GE(seeds, 8u);
}

}  // namespace
