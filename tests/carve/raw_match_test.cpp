// MatchRawSignatures: list order, test mode, the finders' say, and the forward search by the
// engine's next-unit rule.
#include "carve/raw_match.h"

#include <gtest/gtest.h>

#include "carve/carve_test_support.h"
#include "carve/raw_types.h"

namespace qelda::carve::test {
namespace {

HEADER_RECORD userType(std::uint16_t typeId, std::initializer_list<std::uint8_t> signature, std::uint32_t maxSize,
                       std::uint32_t offset = 0) {
  HEADER_RECORD r;
  r.m_wTypeId = typeId;
  r.m_szExtension = u"usr";
  r.m_nOffset = offset;
  r.m_nHeaderLen = std::uint8_t(signature.size());
  std::copy(signature.begin(), signature.end(), r.m_abyHeader.begin());
  r.m_nMaxSize = maxSize;
  return r;
}

Bytes sectorWith(std::initializer_list<std::uint8_t> start) {
  Bytes b(start);
  b.resize(512, 0);
  return b;
}

TEST(MatchRawSignatures, NoSelectedTypeMatchesNothing) {
  const MemorySource src = plantedSource({{0, readFile(fixture("video.avi"))}}, 8);
  Dispatcher none(src, {9999});
  EXPECT_FALSE(none.test(0));
  EXPECT_FALSE(none.match(0));
}

TEST(MatchRawSignatures, TestModeAnswersAtTheFirstSignatureWithoutReadingAnything) {
  const MemorySource src = plantedSource({{0, readFile(fixture("video.avi"))}, {4, sectorWith({'B', 'M', 1, 0, 0, 0, 7})}}, 8);
  const Dispatcher all(src);
  src.reads = 0;
  EXPECT_TRUE(all.test(0));
  EXPECT_TRUE(all.test(4));  // a signature, though its finder would reject the data
  EXPECT_FALSE(all.test(2));
  EXPECT_EQ(src.reads.load(), 0u);
  EXPECT_FALSE(all.match(4));
}

TEST(MatchRawSignatures, AFinderThatRejectsLetsALaterTypeWithTheSameSignatureClaimTheSector) {
  // Not a JPEG (no end marker, no application segment), then a user type with the same start.
  Bytes notJpeg = sectorWith({0xFF, 0xD8, 0xFF, 0x01});
  const MemorySource src = plantedSource({{2, notJpeg}, {9, readFile(fixture("tone.au"))}}, 16);
  Dispatcher d(src, {kTypeJpeg, kTypeAu});
  d.select(userType(300, {0xFF, 0xD8, 0xFF}, 1 << 20));
  const auto m = d.match(2);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->record->m_wTypeId, 300);
  EXPECT_EQ(m->typeText, u"usr");
  EXPECT_EQ(m->size, 7u * 512);  // up to the sound file
  EXPECT_TRUE(m->skipCovered);
}

TEST(MatchRawSignatures, TheForwardSearchStopsAtItsLimitTheSourceEndOrTheStopFlag) {
  const MemorySource src = plantedSource({{0, sectorWith({'Q', 'Z'})}, {30, readFile(fixture("tone.au"))}}, 40);
  struct Case {
    const char* what;
    std::uint32_t maxSize;
    bool stop;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"limit at one unit: one unit", 512, false, 512},
      {"limit below one unit: still one unit", 100, false, 512},
      {"limit inside a unit: less than one unit over", 1000, false, 1024},
      {"next signature first", 1 << 20, false, 30 * 512},
      {"stop requested", 1 << 20, true, 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Dispatcher d(src, {kTypeAu});
    d.select(userType(301, {'Q', 'Z'}, c.maxSize));
    d.stop = c.stop;
    const auto m = d.match(0);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->size, c.size);
  }
  // Nothing follows: the search ends with the source.
  const MemorySource alone = plantedSource({{0, sectorWith({'Q', 'Z'})}}, 10);
  Dispatcher d(alone, {9999});
  d.select(userType(301, {'Q', 'Z'}, 1 << 20));
  EXPECT_EQ(d.match(0)->size, 10u * 512);
  // Signatures are compared at their offset in the sector.
  const MemorySource shifted = plantedSource({{0, Bytes{0, 0, 0, 'Q', 'Z'}}}, 2);
  Dispatcher at3(shifted, {9999});
  at3.select(userType(302, {'Q', 'Z'}, 512, 3));
  EXPECT_TRUE(at3.test(0));
}

// Free clusters of 8 sectors from sector 100 on: the forward search steps over used ones.
class FreeClusterRule final : public IRawUnitRule {
 public:
  explicit FreeClusterRule(std::vector<std::uint64_t> free) : free_(std::move(free)) {}
  std::uint32_t unitBytes() const override { return 8 * 512; }
  std::uint32_t clusterBytes() const override { return 8 * 512; }
  std::optional<RawUnit> nextUnit(std::uint64_t unit) const override {
    const auto it = std::upper_bound(free_.begin(), free_.end(), unit);
    if (it == free_.end()) return std::nullopt;
    return RawUnit{*it, 100 + *it * 8};
  }

 private:
  std::vector<std::uint64_t> free_;
};

TEST(MatchRawSignatures, StepsByClustersFollowTheEnginesRule) {
  // Cluster 3 holds the file's start; 4 and 6 are free; 5 is in use and starts with a signature
  // (not seen: it is not free); 9 is free and starts a sound file.
  const MemorySource src = plantedSource({{100 + 3 * 8, sectorWith({'Q', 'Z'})},
                                          {100 + 5 * 8, readFile(fixture("tone.au"))},
                                          {100 + 9 * 8, readFile(fixture("tone.au"))}},
                                         100 + 12 * 8);
  const FreeClusterRule rule({3, 4, 6, 9, 10});
  SelectedHeaders headers;
  headers.append(userType(301, {'Q', 'Z'}, 1 << 20));
  for (const auto& r : defaultHeaderCatalogue())
    if (r.m_wTypeId == kTypeAu) headers.append(r);
  const engine::SectorReader reader = src.reader();
  RAW_READ_CONTEXT context{reader, 0, src.sectors(), &rule, headers.head(), nullptr};
  RawMatch m;
  ASSERT_TRUE(MatchRawSignatures(context, std::span<const std::uint8_t, 512>(src.bytes().data() + 124 * 512, 512),
                                 124, 3, &m));
  EXPECT_EQ(m.size, 3u * 8 * 512);  // clusters 3, 4 and 6
  EXPECT_EQ(measureForward(context, 9, 4096, 1 << 20), 2u * 4096);  // 9, 10, then no free cluster
}

TEST(MatchRawSignatures, FinderSizesAreCutAtTheSourceEnd) {
  // A RAR whose file header claims more data than the source holds.
  Bytes rar = readFile(fixture("stored.rar"));
  rar.resize(rar.size() - 400);
  const MemorySource src = plantedSource({{0, rar}}, (rar.size() + 511) / 512);
  const auto m = Dispatcher(src).match(0);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size, src.bytes().size());
}

TEST(MatchRawSignatures, TheOfficePathStartsItsForwardSearchAtOneCluster) {
  Bytes doc = readFile(fixture("word.doc"));
  doc[0x1E] = 12;  // 4096-byte sectors: not sized by its tables
  const MemorySource src = plantedSource({{0, doc}, {40, readFile(fixture("tone.au"))}}, 48);
  const auto m = Dispatcher(src, {kTypeDoc, kTypeAu}, 4096).match(0);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->typeText, u"doc");
  EXPECT_EQ(m->size, 4096u + 39 * 512);  // one cluster, then one sector per sector up to the sound
  EXPECT_FALSE(m->skipCovered);
}

}  // namespace
}  // namespace qelda::carve::test
