// Saving found files: the name rules, and saves no real volume gives (made-up folders,
// clashing names, data past the volume's end) from an engine that scanned the MBR test disk.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/scan_worker.h"
#include "fat/fat_engine.h"
#include "platform/log.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "save/save_files.h"
#include "support/image_dir.h"
#include "support/missing_images.h"
#include "support/recording_notifier.h"
#include "support/test_images.h"
#include "support/engine_probe.h"

using qelda::test::EngineProbe;

namespace qelda::save {
namespace {

namespace fs = std::filesystem;

TEST(SafeFileName, MakesEveryFoundNameALinuxFileName) {
  struct Case {
    std::u16string name;
    std::string expected;
  };
  const Case cases[] = {
      {u"notes.txt", "notes.txt"},
      {u"a/b\\c", "a_b\\c"},
      {std::u16string(u"x\0y", 3), "x_y"},
      {u"", "_"},
      {u".", "_."},
      {u"..", "_.."},
      {u"../up", ".._up"},
      {u"\u65E5\u672C.txt", "\xE6\x97\xA5\xE6\x9C\xAC.txt"},
      {u"bad\xD800half", "bad\xEF\xBF\xBDhalf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(safeFileName(c.name), c.expected);
  }
}

TEST(SafeFileName, CutsLongNamesAtACharacterKeepingTheExtension) {
  // 255 three-byte characters: 765 bytes, three times what a Linux name may hold.
  const std::u16string longName = std::u16string(251, u'\u00E9') + u".txt";
  const std::string cut = safeFileName(longName);
  EXPECT_LE(cut.size(), 255u);
  EXPECT_GE(cut.size(), 253u);
  EXPECT_EQ(cut.substr(cut.size() - 4), ".txt");
  EXPECT_EQ(platform::fromUtf8(cut).find(u'\uFFFD'), std::u16string::npos);  // no character split
  // Up to what the output file system takes, a name is kept whole.
  EXPECT_EQ(safeFileName(std::u16string(255, u'a')), std::string(255, 'a'));
  EXPECT_EQ(safeFileName(std::u16string(300, u'a')), std::string(255, 'a'));
  EXPECT_EQ(safeFileName(std::u16string(300, u'a'), 143), std::string(143, 'a'));
}

TEST(NumberedName, PutsTheNumberBeforeTheExtension) {
  EXPECT_EQ(numberedName("a.txt", 2), "a (2).txt");
  EXPECT_EQ(numberedName("archive.tar.gz", 3), "archive.tar (3).gz");
  EXPECT_EQ(numberedName("README", 2), "README (2)");
  EXPECT_EQ(numberedName(".profile", 2), ".profile (2)");
}

TEST(NumberedName, ANameAsLongAsTheFileSystemTakesIsCutBeforeItsNumber) {
  const std::string full = std::string(251, 'n') + ".txt";
  EXPECT_EQ(numberedName(full, 1), full);
  EXPECT_EQ(numberedName(full, 12345), std::string(255 - 4 - 8, 'n') + " (12345).txt");
  EXPECT_EQ(numberedName(std::string(255, 'n'), 2), std::string(251, 'n') + " (2)");
  // Never inside a character: two-byte characters leave one byte unused.
  const std::string wide = [] {
    std::string s;
    for (int i = 0; i < 127; ++i) s += "\xC3\xA9";
    return s;
  }();
  EXPECT_EQ(numberedName(wide, 2), wide.substr(0, 250) + " (2)");
  // An extension too long for a number before it gets the number after it.
  const std::string longExtension = "a." + std::string(250, 'x');
  EXPECT_EQ(numberedName(longExtension, 2).size(), 255u);
  EXPECT_EQ(numberedName(longExtension, 2).substr(251), " (2)");
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One volume of the MBR disk, scanned by the real worker.
class SaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image = test::testImage("mbr-monosparse.vmdk");
    if (!fs::exists(image)) QELDA_SKIP_WITHOUT_IMAGES() << "no test images at " << test::testImagesDir();
    ASSERT_EQ(app::CDataRecovery(app_, notifier_).OnBnClickedMountVirtualDisk(app::kImageVmdk, image),
              app::MountOutcome::Mounted);
  }

  void scan(std::size_t index) {
    volume::DEVICE_ENTRY* e = app_.m_pSourceList;
    for (std::size_t i = 0; e && i < index; ++i) e = e->m_pNext;
    app_.m_pSelectedSource = e;
    app_.m_nScanKind = app::kScanQuick;
    ASSERT_EQ(app::CScanProcess(app_, tree_, progress_, log_, notifier_).run().status, engine::ScanStatus::Done);
  }

  SaveTotals save(const results::CFileFolderTree& tree, const std::string& out, const std::string& mask = {}) {
    reports_.clear();
    CThreadForSavingFiles saver(app_, app_.currentEngine.get(), tree, log_, {out, mask}, [this](SaveStatus status, const std::string& path) {
      reports_[path] = status;
    });
    return saver.Run();
  }

  results::FoundItemRef find(std::u16string_view path) const {
    for (const auto i : tree_.items())
      if (tree_.pathOf(i) == path) return i;
    return nullptr;
  }

  app::CQELDAApp app_;
  test::RecordingNotifier notifier_;
  platform::NullScanProgress progress_;
  platform::TextLog log_;
  results::CFileFolderTree tree_;
  std::map<std::string, SaveStatus> reports_;
  test::ImageDir dir_;
};

// Whole volumes saved as they were written, a second save beside the first and --mask are
// held against the corpus end to end by check_recover.sh.

// A hand-made tree over the scanned FAT16 volume's clusters: a made-up folder, names that
// clash or are not Linux names, and data that runs off the end of the volume.
TEST_F(SaveTest, MadeUpFoldersClashingNamesAndUnreadableDataAreSavedAsTheyCan) {
  scan(1);
  results::FoundItemRef readme = find(u"readme.txt");  // as its case flags name it
  ASSERT_NE(readme, nullptr);
  // An engine of our own over the same volume tells where the volume's clusters end.
  platform::TextLog probeLog;
  fat::CFatEngine engine(app_, {.log = &probeLog, .notifier = &notifier_});
  engine.Initialize(0);
  engine.ScanVolume(0);
  // The last cluster the volume holds: reading it works, reading past it does not.
  std::vector<std::uint8_t> buffer(std::size_t(engine.sectorsPerCluster()) * 512);
  std::uint32_t last = std::uint32_t(EngineProbe::m_nTotalSectors(engine) / engine.sectorsPerCluster()) + 2;
  while (last > 2 && !engine.ReadClusterSectors(last, 0, buffer.data(), engine.sectorsPerCluster())) --last;
  ASSERT_GT(last, 2u);

  results::CFileFolderTree tree;
  tree.ResetFoundTree();
  FOUND_ITEM folder;
  folder.m_byAttributes = kItemFolder;
  folder.m_nId = 0xFFFFFFF0;  // a made-up folder's id
  tree.AddFoundItem(folder, u"Lost Folder 1");
  FOUND_ITEM file = *readme;
  file.m_nParentId = folder.m_nId;
  tree.AddFoundItem(file, u"same.txt");
  tree.AddFoundItem(file, u"same.txt");
  tree.AddFoundItem(file, u"../escape");
  FOUND_ITEM tail = file;  // three clusters from the last one: two lie past the volume
  tail.m_byFlags = kItemDeleted;
  tail.m_nRecordKey = last;
  tail.m_nSize = 3 * buffer.size();
  tree.AddFoundItem(tail, u"tail.bin");
  FOUND_ITEM gone = tail;
  gone.m_nRecordKey = 0x0FFFFFF0;
  tree.AddFoundItem(gone, u"gone.bin");
  FOUND_ITEM empty = file;
  empty.m_nSize = 0;
  tree.AddFoundItem(empty, u"empty");

  const std::string out = dir_.file("hand");
  fs::create_directories(out);
  std::ofstream(out + "/Lost Folder 1") << "a file where the folder would go";
  const SaveTotals totals = save(tree, out);
  const std::string folderPath = "Lost Folder 1 (2)/";
  const std::map<std::string, SaveStatus> expected = {
      {folderPath + "same.txt", SaveStatus::Recovered},     {folderPath + "same (2).txt", SaveStatus::Recovered},
      {folderPath + ".._escape", SaveStatus::Recovered},    {folderPath + "tail.bin", SaveStatus::PartiallyRecovered},
      {folderPath + "gone.bin", SaveStatus::Skipped},       {folderPath + "empty", SaveStatus::Recovered},
  };
  EXPECT_EQ(reports_, expected);
  EXPECT_EQ(totals.recovered, 4u);
  EXPECT_EQ(totals.partial, 1u);
  EXPECT_EQ(totals.skipped, 1u);
  const std::string readmeBytes = readFile(test::testImagesDir() + "/content/mbr-p1/readme.txt");
  EXPECT_EQ(readFile(out + "/" + folderPath + "same (2).txt"), readmeBytes);
  EXPECT_EQ(readFile(out + "/" + folderPath + ".._escape"), readmeBytes);
  // What the volume holds of it, its one cluster: the two past the end are not made up of zeros.
  EXPECT_EQ(fs::file_size(out + "/" + folderPath + "tail.bin"), buffer.size());
  EXPECT_EQ(fs::file_size(out + "/" + folderPath + "empty"), 0u);
  EXPECT_FALSE(fs::exists(out + "/" + folderPath + "gone.bin"));  // nothing readable: no file left behind
  EXPECT_EQ(readFile(out + "/Lost Folder 1"), "a file where the folder would go");
}

TEST_F(SaveTest, AStopOrADestinationThatCannotBeMadeEndsTheSave) {
  scan(1);
  const std::string blocker = dir_.putText("plain file", "x");
  const SaveTotals nowhere = save(tree_, blocker + "/out");
  EXPECT_TRUE(nowhere.destinationMissing);
  EXPECT_TRUE(reports_.empty());

  app_.m_bStopRequested = 1;
  const SaveTotals stopped = save(tree_, dir_.file("stopped"));
  EXPECT_TRUE(stopped.stopped);
  EXPECT_TRUE(reports_.empty());
  app_.m_bStopRequested = 0;
}

}  // namespace
}  // namespace qelda::save
