#include "engine/volume_reader.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "engine/scan_state.h"
#include "image/mounted_image.h"
#include "volume/volume_records.h"

namespace qelda::engine {
namespace {

constexpr std::uint64_t kSectors = 16;

// Sector s holds the byte s + 1 throughout.
std::vector<std::uint8_t> patterned(std::uint64_t sectors) {
  std::vector<std::uint8_t> bytes(sectors * kSectorBytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i / kSectorBytes + 1);
  return bytes;
}

std::shared_ptr<const platform::ReadOnlyFile> memoryFile(const std::vector<std::uint8_t>& bytes, std::uint64_t size) {
  return std::make_shared<const platform::ReadOnlyFile>(platform::ReadOnlyFile::overMemory(bytes, size));
}

// What a read left: the sectors holding their own bytes, and those that are all zeros.
struct Left {
  std::vector<std::uint64_t> read, zero;
};
Left leftBy(const std::vector<std::uint8_t>& out, std::uint64_t first) {
  Left left;
  for (std::uint64_t s = 0; s * kSectorBytes < out.size(); ++s) {
    const auto begin = out.begin() + std::ptrdiff_t(s * kSectorBytes);
    if (std::all_of(begin, begin + kSectorBytes, [](std::uint8_t b) { return b == 0; })) left.zero.push_back(first + s);
    else if (std::all_of(begin, begin + kSectorBytes, [&](std::uint8_t b) { return b == std::uint8_t(first + s + 1); }))
      left.read.push_back(first + s);
  }
  return left;
}

// The same twelve readable sectors, as an image file that stops after them and as a
// mounted disk that ends there: every read is answered the same way by both.
TEST(VolumeReader, ImageFileAndMountedDiskFailAndZeroAlike) {
  const std::vector<std::uint8_t> bytes = patterned(kSectors);
  VolumeReader file;
  file.openFile(platform::ReadOnlyFile::overMemory(bytes, 12 * kSectorBytes));
  auto disk = std::make_shared<image::MountedImage>();
  disk->layout = image::ImageLayout::FlatFile;
  disk->image = memoryFile(bytes, bytes.size());
  disk->flatSectors = kSectors;
  disk->diskSectors = 12;
  VolumeReader mounted;
  mounted.open(disk, 0, {});

  struct Case {
    std::uint64_t start, sector, count;
    bool ok;
    std::uint64_t failed;
    std::vector<std::uint64_t> read;
  };
  const Case cases[] = {
      {0, 0, 4, true, 0, {0, 1, 2, 3}},
      {8, 2, 6, false, 4, {10, 11}},      // past the end
      {12, 0, 2, false, 2, {}},           // wholly past it
      {UINT64_MAX - 1, 0, 2, false, 2, {}},  // the last sectors a 64-bit number names
      {UINT64_MAX - 3, 8, 2, false, 2, {}},  // start + sector passes 2^64
  };
  for (const VolumeReader* reader : {&file, &mounted}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << (reader == &file ? "file" : "mounted") << " at " << c.sector);
      std::vector<std::uint8_t> out(c.count * kSectorBytes, 0xEE);
      std::uint64_t failed = 99;
      EXPECT_EQ(reader->readFrom(c.start, c.sector, out, &failed), c.ok);
      EXPECT_EQ(failed, c.failed);
      const Left left = leftBy(out, c.start + c.sector);
      EXPECT_EQ(left.read, c.read);
      EXPECT_EQ(left.read.size() + left.zero.size(), c.count);  // nothing stale
    }
  }
}

// A disk of kSectors sectors read through these VMDK extents.
std::shared_ptr<image::MountedImage> extentDisk(std::vector<image::MountedExtent> extents) {
  auto disk = std::make_shared<image::MountedImage>();
  disk->layout = image::ImageLayout::VmdkExtents;
  disk->diskSectors = kSectors;
  disk->extents = std::move(extents);
  return disk;
}

TEST(VolumeReader, AFailedSectorInsideARunIsTheOnlyOneLost) {
  const std::vector<std::uint8_t> bytes = patterned(kSectors);
  const auto file = memoryFile(bytes, bytes.size());
  // Sector 8's file is missing.
  const auto disk =
      extentDisk({{0, 8, file, 0, false, {}}, {8, 1, nullptr, 0, false, {}}, {9, 7, file, 9 * kSectorBytes, false, {}}});
  VolumeReader reader;
  reader.open(disk, 0, {});
  std::vector<std::uint8_t> out(kSectors * kSectorBytes, 0xEE);
  std::uint64_t failed = 0;
  EXPECT_FALSE(reader.read(0, out, &failed));
  EXPECT_EQ(failed, 1u);
  const Left left = leftBy(out, 0);
  EXPECT_EQ(left.zero, std::vector<std::uint64_t>{8});
  EXPECT_EQ(left.read.size(), kSectors - 1);
}

// A scan says how many sectors it could not read: each counted once, however often it was
// asked for, on a disk with a missing extent and on an image file that stops early.
TEST(VolumeReader, EachSectorThatCouldNotBeReadIsCountedOnce) {
  const std::vector<std::uint8_t> bytes = patterned(kSectors);
  const auto file = memoryFile(bytes, bytes.size());
  // Sectors 3 and 8 to 9 have no file; the last extent's file stops after sector 13.
  const auto disk = extentDisk({{0, 3, file, 0, false, {}},
                                {3, 1, nullptr, 0, false, {}},
                                {4, 4, file, 4 * kSectorBytes, false, {}},
                                {8, 2, nullptr, 0, false, {}},
                                {10, 6, memoryFile(bytes, 14 * kSectorBytes), 10 * kSectorBytes, false, {}}});
  VolumeReader mounted;
  mounted.open(disk, 0, {});
  VolumeReader imageFile;
  imageFile.openFile(platform::ReadOnlyFile::overMemory(bytes, 13 * kSectorBytes));
  EXPECT_EQ(mounted.tally().unreadSectors, 0u);
  EXPECT_FALSE(mounted.tally().anyRead);

  struct Read {
    std::uint64_t sector, count;
  };
  // Overlapping reads, a run read again sector by sector, a read wholly inside a hole.
  const Read reads[] = {{0, 16}, {2, 3}, {7, 4}, {8, 1}, {9, 1}, {12, 4}, {14, 2}, {0, 16}};
  for (const Read& r : reads) {
    std::vector<std::uint8_t> out(r.count * kSectorBytes);
    mounted.read(r.sector, out);
    imageFile.read(r.sector, out);
  }
  // 3, 8, 9, 14, 15 on the disk; 13 to 15 in the file.
  EXPECT_EQ(mounted.tally().unreadSectors, 5u);
  EXPECT_TRUE(mounted.tally().anyRead);
  EXPECT_EQ(imageFile.tally().unreadSectors, 3u);

  // Reading nothing but holes: sectors asked for, none read. The count outlives open().
  VolumeReader holes;
  holes.open(disk, 0, {});
  for (const Read r : {Read{8, 2}, Read{3, 1}, Read{8, 1}}) {
    std::vector<std::uint8_t> out(r.count * kSectorBytes);
    holes.readFrom(0, r.sector, out);
  }
  holes.open(disk, 0, {});
  EXPECT_EQ(holes.tally().unreadSectors, 3u);
  EXPECT_FALSE(holes.tally().anyRead);
}

// Sectors past the disk's end are not the image's to lose: a read that runs over the end
// counts only the sectors inside the disk that failed.
TEST(VolumeReader, SectorsPastTheDiskAreNotCountedAsUnread) {
  const std::vector<std::uint8_t> bytes = patterned(kSectors);
  const auto file = memoryFile(bytes, bytes.size());
  const auto disk = extentDisk({{0, 15, file, 0, false, {}}, {15, 1, nullptr, 0, false, {}}});  // 15 has no file
  VolumeReader reader;
  reader.open(disk, 0, {});
  std::vector<std::uint8_t> out(4 * kSectorBytes);
  EXPECT_FALSE(reader.read(kSectors + 3, out));
  EXPECT_EQ(reader.tally().unreadSectors, 0u);
  EXPECT_FALSE(reader.read(kSectors - 3, out));  // 13, 14 read; 15 lost; one past the end
  EXPECT_EQ(reader.tally().unreadSectors, 1u);
  EXPECT_TRUE(reader.tally().anyRead);
}

TEST(UnreadSectors, RunsJoinInAnyOrder) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;  // first, count
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"apart", {{10, 5}, {0, 2}, {30, 1}}, 8},
      {"touching", {{0, 5}, {5, 5}, {10, 5}}, 15},
      {"inside", {{0, 100}, {10, 5}, {99, 1}, {0, 100}}, 100},
      {"spanning several", {{10, 2}, {20, 2}, {30, 2}, {5, 40}}, 40},
      {"overlapping both ends", {{10, 10}, {30, 10}, {15, 20}}, 30},
      {"at the end of the numbers", {{UINT64_MAX - 4, 10}, {UINT64_MAX - 8, 6}}, 8},
      {"nothing", {{7, 0}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UnreadSectors unread;
    for (const auto& [first, count] : c.runs) unread.add(first, count);
    EXPECT_EQ(unread.tally().unreadSectors, c.expected);
  }
}

TEST(UnreadSectors, ScatteredFailuresKeepABoundedRecordThatNeverCountsFewer) {
  // Failed probes every 7 sectors (a search over a disk that cannot be read): far more runs
  // apart than the record keeps.
  constexpr std::uint64_t kRuns = 4 * UnreadSectors::kMaxRuns;
  UnreadSectors unread;
  for (std::uint64_t i = 0; i < kRuns; ++i) unread.add(i * 7, 2);
  EXPECT_LE(unread.runsKept(), UnreadSectors::kMaxRuns);
  const std::uint64_t counted = unread.tally().unreadSectors;
  EXPECT_GE(counted, 2 * kRuns);
  EXPECT_LE(counted, 7 * kRuns);
  // Sectors asked for again are still counted once.
  for (std::uint64_t i = 0; i < kRuns; i += 3) unread.add(i * 7, 2);
  EXPECT_EQ(unread.tally().unreadSectors, counted);
}

TEST(VolumeReader, TheSelectedVolumeIsCutToTheDiskUnlessReadFromItsFile) {
  ScanState state;
  auto disk = std::make_shared<image::MountedImage>();
  disk->diskSectors = 600;
  state.publishMountedImage(disk);
  volume::DEVICE_ENTRY entry;
  entry.m_szName = u"vol.img";
  volume::VOLUME_RECORD& record = entry.m_pDetail.makeVolume();
  record.m_nStartSector = 100;
  record.m_nSectorCount = 1000;
  state.m_pSelectedSource = &entry;

  struct Case {
    std::uint8_t kind, imageFile;
    std::uint64_t start, count;
  };
  for (const Case& c : {Case{1, 0, 100, 500}, Case{1, 1, 100, 1000}, Case{7, 0, 0, 600}, Case{7, 1, 0, 1000}}) {
    entry.m_byKind = c.kind;
    const VolumeGeometry g = locateSelectedVolume(state, c.imageFile);
    EXPECT_FALSE(g.wholeDrive());
    EXPECT_EQ(g.startSector, c.start) << int(c.kind);
    EXPECT_EQ(g.sectorCount, c.count) << int(c.kind) << " " << int(c.imageFile);
    EXPECT_EQ(g.imagePath, u"vol.img");
  }
  entry.m_byKind = 0;
  EXPECT_TRUE(locateSelectedVolume(state, 0).wholeDrive());
  state.m_pSelectedSource = nullptr;
  EXPECT_TRUE(locateSelectedVolume(state, 0).wholeDrive());
}

// Cluster c holds the byte c + 1 throughout, unless it is bad (zeros, and the read fails).
struct FakeClusters {
  std::uint64_t bytes = 512;
  std::set<std::uint64_t> bad;
  std::uint64_t end = UINT64_MAX;  // the first cluster the volume does not have
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reads;

  std::uint64_t clusterBytes() const { return bytes; }
  bool hasCluster(std::uint64_t c) const { return c < end; }
  bool readClusters(std::uint64_t first, std::uint64_t count, std::uint8_t* out) {
    reads.emplace_back(first, count);
    bool ok = true;
    for (std::uint64_t k = 0; k < count; ++k) {
      const bool lost = bad.count(first + k) != 0;
      std::fill_n(out + k * bytes, bytes, lost ? 0 : std::uint8_t(first + k + 1));
      ok = ok && !lost;
    }
    return ok;
  }
};

struct Streamed {
  StreamResult result;
  std::vector<std::uint8_t> bytes;
};
Streamed stream(FakeClusters& reader, const std::vector<std::uint64_t>& clusters, std::uint64_t size) {
  Streamed s;
  s.result = streamClusters(reader, ClusterList(std::span<const std::uint64_t>(clusters)), size,
                            [&](std::span<const std::uint8_t> piece) {
                              s.bytes.insert(s.bytes.end(), piece.begin(), piece.end());
                              return true;
                            });
  return s;
}

std::vector<std::uint64_t> run(std::uint64_t first, std::uint64_t count) {
  std::vector<std::uint64_t> list;
  for (std::uint64_t c = first; c < first + count; ++c) list.push_back(c);
  return list;
}

TEST(StreamClusters, NeighboursAreReadTogetherUpToAMebibyteAndNoFurtherThanTheSize) {
  using Reads = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  struct Case {
    std::vector<std::uint64_t> clusters;
    std::uint64_t size;
    Reads reads;
  };
  const Case cases[] = {
      {run(0, 8), 8 * 512, {{0, 8}}},
      {{5, 6, 7, 20, 21}, 5 * 512, {{5, 3}, {20, 2}}},
      {run(0, 2100), 2100 * 512, {{0, 2048}, {2048, 52}}},
      {run(0, 8), 3 * 512 + 1, {{0, 4}}},
  };
  for (const Case& c : cases) {
    FakeClusters reader;
    const Streamed s = stream(reader, c.clusters, c.size);
    EXPECT_EQ(reader.reads, c.reads);
    EXPECT_EQ(s.bytes.size(), c.size);
    EXPECT_EQ(s.bytes.back(), std::uint8_t(c.clusters[(c.size - 1) / 512] + 1));
    EXPECT_EQ(s.result.outcome(), ReadOutcome::Complete);
  }
}

TEST(StreamClusters, AFailedRunIsReadAgainClusterByCluster) {
  FakeClusters reader;
  reader.bad = {3};
  const Streamed s = stream(reader, run(0, 6), 6 * 512);
  EXPECT_EQ(reader.reads.size(), 1u + 6u);
  EXPECT_EQ(s.result.clustersRead, 5u);
  EXPECT_EQ(s.result.clustersFailed, 1u);
  EXPECT_EQ(s.result.outcome(), ReadOutcome::Partial);
  for (std::uint64_t c = 0; c < 6; ++c) EXPECT_EQ(s.bytes[c * 512], c == 3 ? 0 : c + 1) << c;
}

TEST(StreamClusters, OutcomeOfShortListsLostClustersAndTheVolumesEnd) {
  struct Case {
    std::set<std::uint64_t> bad;
    std::uint64_t end, size;
    ReadOutcome outcome;
    std::uint64_t delivered;
  };
  const Case cases[] = {
      {{}, UINT64_MAX, 4 * 512, ReadOutcome::Complete, 4 * 512},
      {{}, UINT64_MAX, 5 * 512, ReadOutcome::Partial, 4 * 512},  // the list ends first
      {{0, 1, 2, 3}, UINT64_MAX, 4 * 512, ReadOutcome::Unreadable, 4 * 512},
      {{}, 2, 4 * 512, ReadOutcome::Partial, 2 * 512},  // the file ends where the volume does
      {{}, 0, 4 * 512, ReadOutcome::Unreadable, 0},
  };
  for (const Case& c : cases) {
    FakeClusters reader;
    reader.bad = c.bad;
    reader.end = c.end;
    const Streamed s = stream(reader, run(0, 4), c.size);
    EXPECT_EQ(s.result.outcome(), c.outcome) << c.size << " " << c.end;
    EXPECT_EQ(s.bytes.size(), c.delivered);
  }
}

TEST(StreamClusters, ASmallFileTakesOneClusterOfBufferAndAStoppedSinkEndsTheRead) {
  FakeClusters reader;
  reader.bytes = 4096;
  std::vector<std::uint8_t> buffer;
  const std::vector<std::uint64_t> clusters = run(0, 300);
  const auto stop = [](std::span<const std::uint8_t>) { return false; };
  const StreamResult r = streamClusters(reader, ClusterList(std::span<const std::uint64_t>(clusters)), 100, stop, buffer);
  EXPECT_EQ(buffer.size(), 4096u);
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.outcome(), ReadOutcome::Partial);
}

}  // namespace
}  // namespace qelda::engine
