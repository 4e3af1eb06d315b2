// Every seed of the exFAT fuzz entry (and every input the fuzzer ever found troublesome,
// kept there), through the same entry: none may crash, hang or break what it checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

// The entry's C name is the fuzzer's; here it takes one of its own.
#define LLVMFuzzerTestOneInput exfatParseFuzzOne
#include "../fuzz/exfat_parse_fuzz.cpp"
#undef LLVMFuzzerTestOneInput

namespace {

TEST(ExFatFuzzSeeds, EverySeedRunsThroughTheParsersAndTheEngine) {
  const std::filesystem::path corpus = std::filesystem::path(__FILE__).parent_path() / "../fuzz/corpus/exfat_parse";
  std::size_t seeds = 0, volumes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(exfatParseFuzzOne(bytes.data(), bytes.size()), 0);
    ++seeds;
    volumes += bytes.size() >= 64 * 1024;
  }
  EXPECT_GE(seeds, 10u);
  EXPECT_GE(volumes, 1u);  // a whole volume, for the engine's scans
}

}  // namespace
