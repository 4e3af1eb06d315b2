// The sweep: every planted file found at its own start, sized and read back byte for byte,
// reported in disk order whether blocks are matched on one thread or several.
#include "carve/raw_sweep.h"

#include <gtest/gtest.h>

#include "carve/carve_test_support.h"
#include "carve/raw_types.h"

namespace qelda::carve::test {
namespace {

struct PlantedFile {
  std::string name;
  std::uint64_t sector = 0;
  Bytes bytes;
};

// Every corpus file and fixture (but the one of unknown length), each at a sector boundary,
// with gaps of random bytes or zeros between them.
std::vector<PlantedFile> plantEverything(Bytes& disk) {
  std::vector<PlantedFile> files;
  for (const CorpusFile& f : corpusManifest()) files.push_back({f.name, 0, readFile(carveCorpus() + "/" + f.name)});
  for (const char* name : {"word.doc", "sheet.xls", "slides.ppt", "difat.doc", "tone.au", "video.avi", "stored.rar",
                           "commented.rar"})
    files.push_back({name, 0, readFile(fixture(name))});
  std::uint64_t sector = 3;
  disk = randomBytes(3 * 512, 1);
  std::uint32_t seed = 2;
  for (PlantedFile& f : files) {
    f.sector = sector;
    disk.resize(sector * 512, 0);
    disk.insert(disk.end(), f.bytes.begin(), f.bytes.end());
    const std::size_t gap = 512 + (seed * 977) % 3000;
    if (seed % 2) {
      const Bytes r = randomBytes(gap, seed);
      disk.insert(disk.end(), r.begin(), r.end());
    } else {
      disk.resize(disk.size() + gap, 0);
    }
    ++seed;
    sector = (disk.size() + 511) / 512;
  }
  disk.resize(sector * 512 + 4096, 0);
  return files;
}

std::vector<RawHit> sweepAll(const MemorySource& src, unsigned threads, std::uint32_t unitsPerBlock) {
  const Dispatcher d(src);
  std::vector<RawHit> hits;
  RawSweep sweep;
  sweep.firstUnit = 0;
  sweep.endUnit = src.sectors();
  sweep.unitsPerBlock = unitsPerBlock;
  sweep.firstSectorOf = [](std::uint64_t unit) { return unit; };
  sweep.report = [&](RawHit&& hit) { hits.push_back(std::move(hit)); };
  sweep.threads = threads;
  sweepForKnownTypes(d.context(), sweep);
  return hits;
}

TEST(RawSweep, EveryPlantedFileIsFoundAtItsStartWithItsSizeAndBytes) {
  Bytes disk;
  const std::vector<PlantedFile> files = plantEverything(disk);
  ASSERT_GE(files.size(), 30u);
  const MemorySource src(disk);
  const std::vector<RawHit> hits = sweepAll(src, 1, 2048);
  std::vector<std::string> found;
  for (const RawHit& h : hits) {
    const auto f = std::find_if(files.begin(), files.end(), [&](const PlantedFile& p) { return p.sector == h.unit; });
    ASSERT_NE(f, files.end()) << "a hit where nothing was planted, at sector " << h.unit;
    SCOPED_TRACE(f->name);
    EXPECT_EQ(h.firstSector, f->sector);
    EXPECT_EQ(h.match.size, f->bytes.size());
    // The carved bytes, read back through the source's reader, are the original's.
    Bytes carved(h.match.size);
    const engine::SectorReader reader = src.reader();
    engine::ByteWindow w(reader, h.firstSector, src.sectors());
    ASSERT_TRUE(w.copy(0, carved));
    EXPECT_TRUE(carved == f->bytes);
    found.push_back(f->name);
  }
  std::vector<std::string> planted;
  for (const PlantedFile& f : files) planted.push_back(f.name);
  EXPECT_EQ(found, planted);  // all of them, in disk order
}

TEST(RawSweep, SeveralThreadsReportTheSameHitsInTheSameOrder) {
  Bytes disk;
  plantEverything(disk);
  const MemorySource src(disk);
  const std::vector<RawHit> one = sweepAll(src, 1, 64);
  const std::vector<RawHit> four = sweepAll(src, 4, 64);
  ASSERT_EQ(one.size(), four.size());
  for (std::size_t i = 0; i < one.size(); ++i) {
    EXPECT_EQ(one[i].unit, four[i].unit);
    EXPECT_EQ(one[i].match.size, four[i].match.size);
    EXPECT_EQ(one[i].match.typeText, four[i].match.typeText);
    EXPECT_EQ(one[i].match.name, four[i].match.name);
  }
}

// Clusters of 4 sectors from sector 40 on.
struct ClusterSweep {
  const MemorySource& src;
  Dispatcher d;
  std::vector<std::uint64_t> reported, blocks;
  std::set<std::uint64_t> used;

  explicit ClusterSweep(const MemorySource& s) : src(s), d(s) {}
  void run(unsigned threads, std::function<void(std::uint64_t)> onBlock = {}) {
    RawSweep sweep;
    sweep.endUnit = (src.sectors() - 40) / 4;
    sweep.sectorsPerUnit = 4;
    sweep.unitsPerBlock = 8;
    sweep.firstSectorOf = [](std::uint64_t c) { return 40 + c * 4; };
    sweep.isCandidate = [this](std::uint64_t c) { return !used.count(c); };
    sweep.onBlock = [&](std::uint64_t b) {
      blocks.push_back(b);
      if (onBlock) onBlock(b);
    };
    sweep.report = [&](RawHit&& hit) { reported.push_back(hit.unit); };
    sweep.threads = threads;
    sweepForKnownTypes(d.context(), sweep);
  }
};

TEST(RawSweep, AFoundPictureOrDocumentCoversItsClustersButUsedClustersDoNot) {
  // A JPEG of 3.5 clusters at cluster 2, with a sound file's start inside it (cluster 4);
  // another sound file right after it (cluster 6) and one in a used cluster (12);
  // a document at cluster 14 whose inside starts a sound file (cluster 16): a document its
  // own tables size covers its clusters as a picture does.
  Bytes jpeg = readFile(carveCorpus() + "/pillow_noisy.jpg");
  jpeg.resize(14 * 512 - 100);
  jpeg.push_back(0xFF), jpeg.push_back(0xD9);
  Bytes doc = readFile(fixture("word.doc"));
  const Bytes au = readFile(fixture("tone.au"));
  Bytes disk;
  MemorySource src = plantedSource({{40 + 2 * 4, jpeg}, {40 + 6 * 4, au}, {40 + 12 * 4, au}, {40 + 14 * 4, doc}},
                                   40 + 40 * 4);
  std::copy(au.begin(), au.begin() + 24, src.bytes().begin() + (40 + 4 * 4) * 512);
  std::copy(au.begin(), au.begin() + 24, src.bytes().begin() + (40 + 16 * 4) * 512);
  for (unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(threads);
    ClusterSweep s(src);
    s.used = {12};
    s.run(threads);
    EXPECT_EQ(s.reported, (std::vector<std::uint64_t>{2, 6, 14}));
    // On one thread the document, which reaches cluster 20, moves the next block there; on
    // three, blocks 8 and 16 were matched beside block 0 before the document was met.
    EXPECT_EQ(s.blocks, threads == 1 ? (std::vector<std::uint64_t>{0, 8, 20, 28, 36})
                                     : (std::vector<std::uint64_t>{0, 8, 16, 24, 32}));
  }
}

TEST(RawSweep, AStopEndsTheSweepAtTheNextBlock) {
  Bytes disk;
  plantEverything(disk);
  const MemorySource src(disk);
  ClusterSweep s(src);
  s.run(1, [&](std::uint64_t b) {
    if (b == 8) s.d.stop = 1;
  });
  EXPECT_EQ(s.blocks, (std::vector<std::uint64_t>{0, 8}));
}

}  // namespace
}  // namespace qelda::carve::test

namespace qelda::carve::test {
namespace {

Bytes auOfSectors(std::uint32_t sectors) {
  Bytes s(512, 0);
  const std::uint32_t data = sectors * 512 - 24;
  const std::uint8_t head[12] = {'.', 's', 'n', 'd', 0, 0, 0, 24,
                                 std::uint8_t(data >> 24), std::uint8_t(data >> 16), std::uint8_t(data >> 8), std::uint8_t(data)};
  std::copy(std::begin(head), std::end(head), s.begin());
  return s;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> sweepSectors(const MemorySource& src, unsigned threads) {
  const Dispatcher d(src, {kTypeAu, kTypeZip});
  std::vector<std::pair<std::uint64_t, std::uint64_t>> hits;
  RawSweep sweep;
  sweep.endUnit = src.sectors();
  sweep.unitsPerBlock = 8;
  sweep.firstSectorOf = [](std::uint64_t unit) { return unit; };
  sweep.report = [&](RawHit&& hit) { hits.emplace_back(hit.unit, hit.match.size); };
  sweep.threads = threads;
  sweepForKnownTypes(d.context(), sweep);
  return hits;
}

TEST(RawSweep, FilesNeverOverlapWhateverTheThreadCount) {
  // A sound file of 10 sectors at 2 reaches into the next block, where one of 6 sectors
  // starts inside it (10) and would hide the one at 13, just past the first file's end.
  // A zip whose end nothing gives (30) ends where the next file begins (33); one at the
  // disk's end (40) ends there.
  Bytes zip(512, 0);
  zip[0] = 'P', zip[1] = 'K', zip[2] = 3, zip[3] = 4, zip[6] = 8;
  const MemorySource src =
      plantedSource({{2, auOfSectors(10)}, {10, auOfSectors(6)}, {13, auOfSectors(1)}, {30, zip}, {33, auOfSectors(2)},
                     {40, zip}},
                    44);
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
      {2, 10 * 512}, {13, 512}, {30, 3 * 512}, {33, 2 * 512}, {40, 4 * 512}};
  for (unsigned threads : {1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    EXPECT_EQ(sweepSectors(src, threads), expected);
  }
}

}  // namespace
}  // namespace qelda::carve::test
