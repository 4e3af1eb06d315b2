#include "engine/cluster_chain.h"

#include <gtest/gtest.h>

#include <vector>

#include "fs/fat_layout.h"
#include "platform/byte_view.h"

namespace qelda::engine {
namespace {

using fs::fat::FatTable;
using fs::fat::kFat12;
using fs::fat::kFat16;
using fs::fat::kFat32;
using platform::putLe16;
using platform::putLe32;

std::vector<std::uint8_t> fat16Chain(std::initializer_list<std::pair<std::uint16_t, std::uint16_t>> links,
                                     std::size_t entries = 64) {
  std::vector<std::uint8_t> fat(entries * 2);
  for (const auto& [c, next] : links) putLe16(&fat[c * 2], next);
  return fat;
}

TEST(ClusterChain, FatChainsStopAtEndsLoopsBoundsAndHoles) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> fat;
    std::uint8_t type;
    std::uint32_t first;
    std::uint32_t maxCluster;
    std::vector<std::uint32_t> expected;
  };
  std::vector<std::uint8_t> fat32(64 * 4);
  putLe32(&fat32[2 * 4], 3);
  putLe32(&fat32[3 * 4], 0x0FFFFFF8);
  const std::vector<Case> cases = {
      {"plain", fat16Chain({{2, 3}, {3, 7}, {7, 0xFFFF}}), kFat16, 2, 63, {2, 3, 7}},
      {"loop back to an earlier cluster", fat16Chain({{2, 3}, {3, 4}, {4, 3}}), kFat16, 2, 63, {2, 3, 4}},
      {"self loop", fat16Chain({{5, 5}}), kFat16, 5, 63, {5}},
      {"free entry ends", fat16Chain({{2, 3}}), kFat16, 2, 63, {2, 3}},
      {"beyond the bound", fat16Chain({{2, 40}}), kFat16, 2, 30, {2}},
      {"entry past the table", fat16Chain({{2, 63}, {63, 64}}), kFat16, 2, 200, {2, 63, 64}},
      {"first below 2", fat16Chain({{2, 3}}), kFat16, 1, 63, {}},
      {"FAT32 end mark 0x0FFFFFF8", fat32, kFat32, 2, 63, {2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VisitedClusters seen(c.maxCluster + 1);
    const FatTable fat(c.fat, c.type);
    EXPECT_EQ(followChain(FatChainSource{fat, c.maxCluster}, c.first, seen), c.expected);
    // The bitset is left clean for the next chain.
    EXPECT_EQ(followChain(FatChainSource{fat, c.maxCluster}, c.first, seen), c.expected);
  }
}


TEST(ClusterChain, EachFatWidthAndALimit) {
  VisitedClusters seen(64);
  // Twelve-bit entries, two to three bytes: 2 -> 3 -> 5 -> 0xFF7, and 6 -> 0xFF8.
  std::vector<std::uint8_t> twelve = {0x00, 0x00, 0x00, 0x03, 0x50, 0x00, 0x00, 0x70, 0xFF, 0xF8, 0x0F, 0x00};
  twelve.resize(97);
  // 0xFF7 (a bad cluster) is at or above FAT12's stop value: the chain ends before it.
  EXPECT_EQ(followChain(FatChainSource{FatTable(twelve, kFat12), 63}, 2, seen), (std::vector<std::uint32_t>{2, 3, 5}));
  EXPECT_EQ(followChain(FatChainSource{FatTable(twelve, kFat12), 63}, 6, seen), (std::vector<std::uint32_t>{6}));

  // FAT32 entries keep 28 bits: 0xF0000004 is cluster 4.
  std::vector<std::uint8_t> fat32(64 * 4);
  putLe32(&fat32[2 * 4], 0xF0000004);
  putLe32(&fat32[4 * 4], 6);
  putLe32(&fat32[6 * 4], 0x0FFFFFFF);
  const FatTable table32(fat32, kFat32);
  EXPECT_EQ(followChain(FatChainSource{table32, 63}, 2, seen), (std::vector<std::uint32_t>{2, 4, 6}));
  // A limit cuts the chain after that many clusters; 0 takes none.
  EXPECT_EQ(followChain(FatChainSource{table32, 63}, 2, seen, 2), (std::vector<std::uint32_t>{2, 4}));
  EXPECT_EQ(followChain(FatChainSource{table32, 63}, 2, seen, 0), (std::vector<std::uint32_t>{}));
  // The cut chain gave its bits back.
  EXPECT_EQ(followChain(FatChainSource{table32, 63}, 2, seen), (std::vector<std::uint32_t>{2, 4, 6}));
}

TEST(ClusterChain, ExFatChainsTakeWholeEntriesAndStopOutsideTheHeap) {
  fs::exfat::ExFatBootParams params;
  params.clusterCount = 10;  // heap clusters 2 .. 11
  std::vector<std::uint8_t> fat(14 * 4);
  putLe32(&fat[2 * 4], 3);
  putLe32(&fat[3 * 4], 11);
  putLe32(&fat[11 * 4], 12);  // out of the heap
  putLe32(&fat[5 * 4], 0x10000006);  // no mask: no cluster
  putLe32(&fat[7 * 4], 8);
  putLe32(&fat[8 * 4], 7);  // a cycle
  putLe32(&fat[9 * 4], 0xFFFFFFFF);
  VisitedClusters seen(12);
  struct Case {
    const char* what;
    std::uint32_t first;
    std::vector<std::uint8_t> const* table;
    std::vector<std::uint32_t> expected;
  };
  const std::vector<std::uint8_t> shortFat(fat.begin(), fat.begin() + 4 * 4);
  const Case cases[] = {
      {"out of the heap", 2, &fat, {2, 3, 11}},
      {"all 32 bits", 5, &fat, {5}},
      {"cycle", 7, &fat, {7, 8}},
      {"end mark", 9, &fat, {9}},
      {"first outside", 12, &fat, {}},
      {"entry past the copy", 3, &shortFat, {3, 11}},  // 11's entry is not in the copy
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ExFatChainSource s{platform::ByteView(*c.table), params};
    EXPECT_EQ(followChain(s, c.first, seen), c.expected);
  }
}

TEST(ClusterChain, ContiguousRunsEndAtTheAreaOrTheLimit) {
  const auto inArea = [](std::uint32_t c) { return c >= 2 && c <= 11; };
  EXPECT_EQ(followChain(ContiguousRun{inArea}, 9, 100), (std::vector<std::uint32_t>{9, 10, 11}));
  EXPECT_EQ(followChain(ContiguousRun{inArea}, 3, 2), (std::vector<std::uint32_t>{3, 4}));
  EXPECT_EQ(followChain(ContiguousRun{inArea}, 12, 5), (std::vector<std::uint32_t>{}));
  const auto all = [](std::uint32_t) { return true; };
  EXPECT_EQ(followChain(ContiguousRun{all}, UINT32_MAX, 5), (std::vector<std::uint32_t>{UINT32_MAX}));
}

}  // namespace
}  // namespace qelda::engine
