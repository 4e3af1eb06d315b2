// Replays the fuzz target's seed corpus (and every crash it has found, kept there as seeds)
// through the same entry, so that the ordinary build checks them without libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>

#include "carve/carve_test_support.h"
#include "fuzz/carve_finders_fuzz.h"

namespace qelda::carve::test {
namespace {

TEST(CarveFuzzSeeds, EverySeedRunsThroughEveryFinder) {
  const auto dir = std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "carve_finders";
  std::size_t seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().filename().string());
    const Bytes input = readFile(entry.path());
    fuzz::runEveryCarveFinder(input.data(), input.size());
    ++seeds;
  }
  EXPECT_GE(seeds, 20u);
}

}  // namespace
}  // namespace qelda::carve::test
