// The length finders on files made by real tools (Pillow, ImageMagick, zip, sox) and on the
// committed fixtures: each one planted in a source and followed by zeros, by random bytes or by
// another file, must come out at exactly its own length.
#include <gtest/gtest.h>

#include <map>

#include "carve/carve_test_support.h"
#include "carve/finder_names.h"
#include "carve/raw_types.h"

namespace qelda::carve::test {
namespace {

constexpr std::uint64_t kAt = 8;  // the sector each file is planted at

enum class Follower { Zeros, Random, NextFile };

MemorySource plantWithFollower(const Bytes& file, Follower follower, const Bytes& next) {
  Bytes disk = randomBytes(kAt * 512, 11);
  disk.insert(disk.end(), file.begin(), file.end());
  if (follower == Follower::Zeros) disk.resize(disk.size() + 70000, 0);
  if (follower == Follower::Random) {
    const Bytes r = randomBytes(70000, 12);
    disk.insert(disk.end(), r.begin(), r.end());
  }
  if (follower == Follower::NextFile) {
    disk.insert(disk.end(), next.begin(), next.end());
    disk.resize(disk.size() + 512, 0x5A);
  }
  return MemorySource(std::move(disk));
}

// The type text a match of the file must carry: Office documents sized by their own
// structure are named by their kind.
std::u16string expectedTypeText(const std::string& name) {
  if (name.ends_with(".docx") || name.ends_with(".doc")) return u"DOC";
  if (name.ends_with(".xlsx") || name.ends_with(".xls")) return u"XLS";
  if (name.ends_with(".pptx") || name.ends_with(".ppt")) return u"PPT";
  std::string ext = name.substr(name.rfind('.') + 1);
  return std::u16string(ext.begin(), ext.end());
}

// Every file of the corpus and every committed fixture (Office, sound, video, archives).
TEST(LengthFindersCorpus, EveryFileMadeByARealToolIsSizedExactly) {
  std::vector<CorpusFile> files = corpusManifest();
  ASSERT_GE(files.size(), 25u) << "corpus missing: " << carveCorpus();
  for (auto& f : files) f.name = carveCorpus() + "/" + f.name;
  const std::size_t firstFixture = files.size();
  for (const auto& [name, typeId] : {std::pair{"word.doc", kTypeDoc}, {"sheet.xls", kTypeDoc}, {"slides.ppt", kTypeDoc},
                                     {"difat.doc", kTypeDoc}, {"tone.au", kTypeAu}, {"video.avi", kTypeAvi},
                                     {"stored.rar", kTypeRar}, {"commented.rar", kTypeRar}})
    files.push_back({fixture(name).string(), std::uint16_t(typeId), std::filesystem::file_size(fixture(name))});
  for (std::size_t i = 0; i < files.size(); ++i) {
    const CorpusFile& f = files[i];
    const Bytes file = readFile(f.name);
    ASSERT_EQ(file.size(), f.size) << f.name;
    const Bytes next = readFile(files[(i + 1) % files.size()].name);
    for (Follower follower : {Follower::Zeros, Follower::Random, Follower::NextFile}) {
      SCOPED_TRACE(f.name + " followed by " + std::to_string(int(follower)));
      const MemorySource src = plantWithFollower(file, follower, next);
      const Dispatcher all(src);
      const auto m = all.match(kAt);
      ASSERT_TRUE(m);
      EXPECT_EQ(m->size, f.size);
      EXPECT_EQ(m->typeText, expectedTypeText(f.name));
      if (i >= firstFixture) {
        EXPECT_FALSE(m->skipCovered);  // only pictures cover their clusters
      }
      // The type's own record sizes it the same way when it is the only one selected.
      const Dispatcher own(src, {f.typeId});
      const auto alone = own.match(kAt);
      ASSERT_TRUE(alone);
      EXPECT_EQ(alone->size, f.size);
    }
  }
}

TEST(LengthFindersCorpus, PicturesAreNamedByTheirDateCameraAndDimensions) {
  struct Case {
    std::string file;
    std::u16string name;
    bool dated;
  };
  const Case cases[] = {
      {"pillow_exif.jpg", u"(7-3-2009 14-5-32)Canon EOS 5D(96x64)", true},
      {"pillow_named.png", u"(7-3-2009 14-5-32)Canon EOS 5D(64x48)", true},
      {"pillow_le.tif", u"(7-3-2009 14-5-32)EOS 5D(48x32)", true},
      {"magick.jpg", u"(120x80)", false},
      {"magick_progressive.jpg", u"(120x80)", false},
      {"magick_be_strips.tif", u"(50x40)", false},
      {"pillow.gif", u"(40x30)", false},
      {"pillow.bmp", u"(37x21)", false},
      {"magick_core.bmp", u"(29x13)", false},
      {"plain.zip", u"", false},
  };
  const std::uint64_t dos = std::uint64_t((2009 - 1980) << 9 | 7 << 5 | 3) << 32 | (14 << 11 | 5 << 5 | 31 / 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const MemorySource src = plantWithFollower(readFile(carveCorpus() + "/" + c.file), Follower::Zeros, {});
    const auto m = Dispatcher(src).match(kAt);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->name, c.name);
    EXPECT_EQ(m->modified.has_value(), c.dated);
    if (c.dated) {
      EXPECT_EQ(*m->modified, dos);
    }
  }
}

TEST(LengthFindersCorpus, ZipBasedDocumentsAreLeftByTheZipTypeToTheOfficeTypes) {
  for (const char* name : {"word.docx", "sheet.xlsx", "slides.pptx", "word_descriptors.docx"}) {
    SCOPED_TRACE(name);
    const MemorySource src = plantWithFollower(readFile(carveCorpus() + "/" + name), Follower::Random, {});
    EXPECT_FALSE(runFinder(GetZipFileSize, src, kAt));
    const OFFICE_SIZE_RESULT office = runFinder(GetOfficeFileSize, src, kAt);
    EXPECT_TRUE(office.zipFamily);
    EXPECT_EQ(office.flag, 1u);
  }
  // A plain archive is a zip file to the Office finder: kind 5, named by the record.
  const MemorySource plain = plantWithFollower(readFile(carveCorpus() + "/plain.zip"), Follower::Zeros, {});
  EXPECT_EQ(runFinder(GetOfficeFileSize, plain, kAt).kind, kOfficePlainZip);
  const auto m = Dispatcher(plain, {kTypeDocx}).match(kAt);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->typeText, u"docx");
  EXPECT_EQ(m->size, readFile(carveCorpus() + "/plain.zip").size());
}

TEST(LengthFindersFixtures, SoundOfUnknownLengthIsMeasuredUpToTheNextFile) {
  const Bytes au = readFile(fixture("piped.au"));
  ASSERT_EQ(au.size(), 1644u);
  const Bytes png = readFile(carveCorpus() + "/pillow_named.png");
  const MemorySource src = plantedSource({{kAt, au}, {kAt + 6, png}}, 64);
  const auto m = Dispatcher(src).match(kAt);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size, 6u * 512);  // one unit, and one more for each sector up to the picture
  EXPECT_TRUE(m->skipCovered);
  EXPECT_EQ(m->typeText, u"au");
}

}  // namespace
}  // namespace qelda::carve::test
