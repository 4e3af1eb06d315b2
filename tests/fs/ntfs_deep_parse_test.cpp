// What the deep scan reads without the volume: the clusters a record's runs cover, the
// cluster-size votes, a record's own number, and the 28-byte run record it keeps.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fs/mft_record.h"
#include "fs/ntfs_cluster_votes.h"
#include "fs/ntfs_layout.h"
#include "fs/ntfs_run_record.h"

namespace qelda::fs::ntfs {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CountRunClusters, SumsTheRunsUntilTheirEnd) {
  struct Case {
    const char* what;
    Bytes runs;
    std::uint64_t clusters;
    std::uint64_t firstCluster;
  };
  const std::vector<Case> cases = {
      {"one run", {0x21, 0x10, 0x34, 0x12, 0x00}, 0x10, 0x1234},
      {"two runs, the second's offset a delta", {0x11, 0x05, 0x20, 0x21, 0x03, 0x00, 0x01, 0x00}, 8, 0x20},
      {"a length of four bytes", {0x14, 0x00, 0x00, 0x01, 0x00, 0x07, 0x00}, 0x10000, 7},
      {"a sparse run ends the count with nothing", {0x11, 0x05, 0x20, 0x01, 0x04, 0x00}, 0, 0x20},
      {"a length field of five bytes", {0x15, 1, 0, 0, 0, 0, 7, 0x00}, 0, 0},
      {"an offset field of five bytes", {0x51, 1, 0, 0, 0, 0, 7, 0x00}, 0, 0},
      {"no runs at all", {0x00}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes record(1024, 0);
    std::copy(c.runs.begin(), c.runs.end(), record.begin() + 0x100);
    RecordData data;
    data.offset = 0x100;
    std::uint64_t first = 99;
    EXPECT_EQ(CountRunClusters(platform::ByteView(record), data, first), c.clusters);
    if (c.clusters != 0) {
      EXPECT_EQ(first, c.firstCluster);
    }
  }
}

TEST(CountRunClusters, NeverReadsPastTheRecord) {
  // A run whose fields would cross the record's end, and resident data.
  Bytes record(1024, 0);
  record[1021] = 0x44;
  RecordData data;
  data.offset = 1021;
  std::uint64_t first = 0;
  EXPECT_EQ(CountRunClusters(platform::ByteView(record), data, first), 0u);
  data.resident = true;
  data.offset = 0x100;
  EXPECT_EQ(CountRunClusters(platform::ByteView(record), data, first), 0u);
}

TEST(ClusterSizeVotes, OneVoteForTheSizeThatMakesRunsAndAllocationAgree) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> records;  // clusters, allocated bytes
    std::uint16_t winner;
    std::uint32_t total;
  };
  const std::vector<Case> cases = {
      {"8 sectors: allocated = clusters x 4096", {{3, 3 * 4096}}, 8, 1},
      {"1 sector", {{5, 5 * 512}}, 1, 1},
      {"512 sectors: the largest", {{2, 2 * 512 * 512}}, 512, 1},
      {"128 sectors", {{1, 65536}}, 128, 1},
      {"no size fits and none before: no vote", {{3, 1000}}, 0, 0},
      {"no size fits: the last matched size gets the vote", {{3, 3 * 1024}, {3, 1000}, {2, 777}}, 2, 3},
      {"allocated 0: no vote", {{3, 0}}, 0, 0},
      {"a tie goes to the smaller size", {{1, 4096}, {1, 1024}, {1, 1024}, {1, 4096}}, 2, 4},
      {"the most votes win", {{1, 4096}, {1, 1024}, {1, 4096}}, 8, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClusterSizeVotes votes;
    for (const auto& [clusters, allocated] : c.records) votes.add(clusters, allocated);
    EXPECT_EQ(votes.winner(), c.winner);
    EXPECT_EQ(votes.total(), c.total);
  }
}

TEST(ClusterSizeVotes, DecidedAfter129VotesOrAtAQuarterWithOne) {
  ClusterSizeVotes votes;
  EXPECT_FALSE(votes.decided(true));
  votes.add(1, 4096);
  EXPECT_FALSE(votes.decided(false));
  EXPECT_TRUE(votes.decided(true));
  for (int i = 1; i < 128; ++i) votes.add(1, 4096);
  EXPECT_FALSE(votes.decided(false));
  votes.add(1, 4096);
  EXPECT_TRUE(votes.decided(false));
  EXPECT_EQ(votes.lastMatched(), 8);
}

TEST(StoredRecordNumber, OnlyNewStyleRecordsCarryIt) {
  Bytes record(1024, 0);
  std::copy_n("FILE0", 5, record.begin());
  platform::putLe16(record.data() + layout::kRecordUsaOffset, layout::kUsaOffsetNew);
  platform::putLe32(record.data() + layout::kRecordNumber, 4242);
  EXPECT_EQ(storedRecordNumber(platform::ByteView(record)), 4242u);
  // An old-style record keeps fixup words there.
  record[4] = '*';
  platform::putLe16(record.data() + layout::kRecordUsaOffset, layout::kUsaOffsetOld);
  EXPECT_EQ(storedRecordNumber(platform::ByteView(record)), std::nullopt);
}

TEST(RunRecord, TwentyEightBytesAtTheirOffsetsAndBack) {
  const RunRecord r{0x0102030405060708ull, 0x11121314, 0x21222324, 0x31323334, 1, 0};
  const auto bytes = encodeRunRecord(r);
  const Bytes expected = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x14, 0x13, 0x12, 0x11, 0x24, 0x23,
                          0x22, 0x21, 0x34, 0x33, 0x32, 0x31, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), expected);
  const auto back = decodeRunRecord(platform::ByteView(bytes.data(), bytes.size()));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, r);
}

TEST(RunRecord, RejectsWhatNoSearchWrites) {
  struct Case {
    const char* what;
    std::size_t length;
    std::size_t patchAt;
    std::uint8_t value;
    platform::ParseError error;
  };
  const std::vector<Case> cases = {
      {"27 bytes", 27, 0, 0, platform::ParseError::Truncated},
      {"file flag 2", 28, layout::kRunRecordIsFile, 2, platform::ParseError::OutOfRange},
      {"mark 7", 28, layout::kRunRecordMark, 7, platform::ParseError::OutOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = encodeRunRecord(RunRecord{});
    bytes[c.patchAt] = c.value;
    const auto parsed = decodeRunRecord(platform::ByteView(bytes.data(), c.length));
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(), c.error);
  }
}

}  // namespace
}  // namespace qelda::fs::ntfs
