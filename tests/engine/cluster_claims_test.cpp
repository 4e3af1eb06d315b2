#include "engine/cluster_claims.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/volume_reader.h"
#include "platform/found_item.h"

namespace qelda::engine {
namespace {

std::shared_ptr<ClusterMap> mapOf(std::uint64_t first, std::uint64_t count, std::vector<std::uint64_t> inUse) {
  auto map = std::make_shared<ClusterMap>(first, count);
  for (const std::uint64_t c : inUse) map->markInUse(c);
  return map;
}

TEST(ClusterClaims, ADeletedFileOwnsOnlyTheClustersTheVolumeLeftFreeAndNoOneElseStartsAt) {
  ClusterClaims claims;
  claims.setOwnMap(mapOf(2, 100, {10, 11, 101}));
  // b (12..) and c (20..) found beside the file read from 8; b listed twice.
  claims.setFileStarts({{12, 4096}, {20, 512}, {12, 4096}, {8, 6000}});
  const FileClaim file = ClusterClaims::of(8, 6000, kItemDeleted);
  EXPECT_FALSE(claims.notOwn(8, file));   // its own start
  EXPECT_FALSE(claims.notOwn(9, file));
  EXPECT_TRUE(claims.notOwn(10, file));   // given to a file since
  EXPECT_TRUE(claims.notOwn(12, file));   // where b starts
  EXPECT_FALSE(claims.notOwn(13, file));
  EXPECT_FALSE(claims.notOwn(102, file));  // past the map: not given by it
  EXPECT_EQ(claims.countNotOwn(8, 6, file), 3u);
  // Another file starting where this one does, of another size: the disk cannot tell whose.
  claims.setFileStarts({{8, 6000}, {8, 2048}});
  EXPECT_TRUE(claims.notOwn(8, file));
  EXPECT_TRUE(claims.notOwn(8, ClusterClaims::of(8, 2048, kItemDeleted)));
}

TEST(ClusterClaims, LiveFilesAndSignatureFindsAreJudgedOnlyByTheVolumesListedOverThem) {
  ClusterClaims claims;
  claims.setOwnMap(mapOf(2, 100, {10}));
  claims.setFileStarts({{11, 100}});
  EXPECT_TRUE(claims.judges(kItemDeleted));
  EXPECT_FALSE(claims.judges(0));
  EXPECT_FALSE(claims.judges(kItemDeleted | kItemBySignature));
  const FileClaim live = ClusterClaims::of(10, 4096, 0);
  EXPECT_FALSE(claims.notOwn(10, live));
  EXPECT_FALSE(claims.notOwn(11, live));
  EXPECT_FALSE(ClusterClaims::of(10, 4096, kItemDeleted | kItemBySignature).byOwnMap);

  // This volume's cluster 0 at sector 1000, 8 sectors each; a listed volume's clusters of 2
  // sectors from cluster 2 at sector 1004, its cluster 5 (sectors 1010-1011) in use.
  const auto listed = mapOf(2, 1000, {5});
  listed->place(1004, 2, 1004);
  claims.setListedMaps({listed, nullptr}, 0, 1000, 8);
  EXPECT_TRUE(claims.judges(0));
  EXPECT_FALSE(claims.judges(kItemBySignature));
  EXPECT_TRUE(claims.notOwn(1, live));    // sectors 1008-1015
  EXPECT_FALSE(claims.notOwn(0, live));   // 1000-1007
  EXPECT_FALSE(claims.notOwn(2, live));   // 1016-1023
}

TEST(ClusterClaims, AMapPlacedOnTheDiskAnswersForAnySectorRange) {
  const auto map = mapOf(2, 10, {3, 11});
  map->place(100, 4, 90);  // cluster 2 at sector 100 .. cluster 11 at sector 136, FATs before
  EXPECT_FALSE(map->anySectorInUse(0, 90));
  EXPECT_TRUE(map->anySectorInUse(80, 11));  // the last of them a FAT's
  EXPECT_FALSE(map->anySectorInUse(100, 4));
  EXPECT_TRUE(map->anySectorInUse(103, 2));   // the last of 2, the first of 3
  EXPECT_TRUE(map->anySectorInUse(139, 10));  // the last sector of 11
  EXPECT_FALSE(map->anySectorInUse(140, 100));  // past the map
  EXPECT_FALSE(ClusterMap(2, 10).anySectorInUse(100, 4));  // not placed
}

// Cluster c holds the byte c + 1; cluster 6 cannot be read.
struct Clusters {
  std::uint64_t clusterBytes() const { return 512; }
  bool hasCluster(std::uint64_t) const { return true; }
  bool readClusters(std::uint64_t first, std::uint64_t count, std::uint8_t* out) {
    bool ok = true;
    for (std::uint64_t k = 0; k < count; ++k) {
      std::fill_n(out + k * 512, 512, first + k == 6 ? 0 : std::uint8_t(first + k + 1));
      ok = ok && first + k != 6;
    }
    return ok;
  }
};

TEST(ClusterClaims, AStreamOverAnotherFilesClusterDeliversItsBytesButIsPartial) {
  ClusterClaims claims;
  claims.setOwnMap(mapOf(2, 100, {4}));
  Clusters reader;
  const auto read = [&](std::uint64_t first, std::uint64_t count, const OwnershipCheck* owner) {
    std::vector<std::uint8_t> got;
    const StreamResult r = streamClusters(reader, ClusterList::run(first, count), count * 512,
                                          [&](std::span<const std::uint8_t> piece) {
                                            got.insert(got.end(), piece.begin(), piece.end());
                                            return true;
                                          },
                                          owner);
    EXPECT_EQ(got.size(), count * 512);
    return r;
  };
  const OwnershipCheck deleted{&claims, ClusterClaims::of(2, 4 * 512, kItemDeleted)};
  StreamResult r = read(2, 4, &deleted);
  EXPECT_EQ(r.clustersNotOwn, 1u);
  EXPECT_EQ(r.outcome(), ReadOutcome::Partial);
  EXPECT_EQ(read(2, 4, nullptr).outcome(), ReadOutcome::Complete);
  const OwnershipCheck free{&claims, ClusterClaims::of(7, 3 * 512, kItemDeleted)};
  EXPECT_EQ(read(7, 3, &free).outcome(), ReadOutcome::Complete);
  // A run read again cluster by cluster (cluster 6 fails) is judged once per cluster.
  const OwnershipCheck overBad{&claims, ClusterClaims::of(3, 4 * 512, kItemDeleted)};
  r = read(3, 4, &overBad);
  EXPECT_EQ(r.clustersNotOwn, 1u);
  EXPECT_EQ(r.clustersFailed, 1u);
  // No map: nothing is judged by it.
  claims.setOwnMap(nullptr);
  EXPECT_TRUE(claims.ownMapKnown());
  EXPECT_EQ(read(2, 4, &deleted).outcome(), ReadOutcome::Complete);
  claims.forgetOwnMap();
  EXPECT_FALSE(claims.ownMapKnown());
}

}  // namespace
}  // namespace qelda::engine
