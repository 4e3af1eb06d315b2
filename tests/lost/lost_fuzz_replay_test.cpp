// Every seed and every input the fuzzer ever found troublesome, through the fuzz entry
// point of the lost-volume search: none may crash or hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../fuzz/lost_candidates_fuzz.cpp"

namespace {

TEST(LostFuzzSeeds, EverySeedRunsThroughBothSearches) {
  const std::filesystem::path corpus = std::filesystem::path(__FILE__).parent_path() / "../fuzz/corpus/lost_candidates";
  std::size_t seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
    ++seeds;
  }
  EXPECT_GE(seeds, 5u);
}

}  // namespace
