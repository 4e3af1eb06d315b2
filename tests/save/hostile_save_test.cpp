// Saving from engines that give too little or too much, and trees no volume of the corpus
// holds: files written on the way back up a chain deeper than a path can be long, names
// taken before and freed again. The engine is a stand-in that serves bytes from memory, so
// every case is exact. (An output folder holding symlinks, FIFOs and taken names, 8000
// files of one name and names holding control characters are saved end to end by
// check_hostile.sh.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/scan_state.h"
#include "engine/volume_engine.h"
#include "platform/log.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "save/save_files.h"
#include "support/image_dir.h"

namespace qelda::save {
namespace {

namespace fs = std::filesystem;
using engine::ReadOutcome;

// Serves each item's bytes (by record key) in pieces of 4 KiB and answers what it is told.
class MemoryEngine final : public engine::IVolumeEngine {
 public:
  struct Content {
    std::string bytes;
    ReadOutcome outcome = ReadOutcome::Complete;
  };
  std::map<std::uint64_t, Content> contents;
  // Called after each piece handed over, while the file is being written.
  std::function<void()> afterPiece;

  void Initialize(std::uint8_t) override {}
  void FreeAll() override {}
  engine::ScanOutcome scanVolume(bool) override { return {}; }
  engine::ScanOutcome scanAdvanced() override { return {}; }
  engine::ScanOutcome scanDeletedDeep() override { return {}; }
  engine::ScanOutcome scanRaw() override { return {}; }
  std::uint32_t foundCount() const override { return 0; }
  ReadOutcome readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) override {
    const auto it = contents.find(item.m_nRecordKey);
    if (it == contents.end()) return ReadOutcome::Unreadable;
    const std::string& b = it->second.bytes;
    for (std::size_t off = 0; off < b.size(); off += 4096) {
      const std::size_t n = std::min<std::size_t>(4096, b.size() - off);
      if (!sink({reinterpret_cast<const std::uint8_t*>(b.data() + off), n})) break;
      if (afterPiece) afterPiece();
    }
    return it->second.outcome;
  }
};

// A found tree built by hand: folders and files under the root or under a folder.
class HandTree {
 public:
  HandTree() { tree.ResetFoundTree(); }
  std::uint32_t folder(std::u16string_view name, std::uint32_t parent = 0) {
    FOUND_ITEM f;
    f.m_byAttributes = kItemFolder;
    f.m_nId = nextId_++;
    f.m_nParentId = parent;
    tree.AddFoundItem(f, name);
    return f.m_nId;
  }
  // A file whose bytes the engine gives as they are, unless told otherwise.
  void file(std::u16string_view name, const std::string& bytes, std::uint32_t parent = 0,
            std::optional<std::uint64_t> size = std::nullopt, ReadOutcome outcome = ReadOutcome::Complete) {
    FOUND_ITEM f;
    f.m_byAttributes = kItemFile;
    f.m_nId = nextId_++;
    f.m_nParentId = parent;
    f.m_nRecordKey = f.m_nId;
    f.m_nSize = size.value_or(bytes.size());
    engine.contents[f.m_nRecordKey] = {bytes, outcome};
    tree.AddFoundItem(f, name);
  }
  // A file the engine cannot read at all.
  void unreadable(std::u16string_view name, std::uint32_t parent = 0) {
    FOUND_ITEM f;
    f.m_byAttributes = kItemFile;
    f.m_nId = nextId_++;
    f.m_nParentId = parent;
    f.m_nRecordKey = f.m_nId;
    f.m_nSize = 100;
    tree.AddFoundItem(f, name);
  }

  results::CFileFolderTree tree;
  MemoryEngine engine;

 private:
  std::uint32_t nextId_ = 100;  // 0 stays the root's
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class HostileSave : public ::testing::Test {
 protected:
  SaveTotals save(HandTree& hand, const std::string& out) {
    reports_.clear();
    CThreadForSavingFiles saver(state_, &hand.engine, hand.tree, log_, {out, {}},
                                [this](SaveStatus status, const std::string& path) { reports_[path] = status; });
    return saver.Run();
  }

  engine::ScanState state_;
  platform::TextLog log_;
  std::map<std::string, SaveStatus> reports_;
  test::ImageDir dir_;
};

// Opens `path` (components joined by '/') below `dir` one folder at a time: paths longer
// than a path may be cannot be opened whole.
std::string readBelow(const std::string& dir, const std::vector<std::string>& folders, const std::string& file) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& f : folders) {
    const int next = ::openat(fd, f.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    if (next < 0) return "(no folder " + f + ")";
    fd = next;
  }
  const int in = ::openat(fd, file.c_str(), O_RDONLY | O_CLOEXEC);
  ::close(fd);
  if (in < 0) return "(no file)";
  std::string bytes(64, '\0');
  const ssize_t n = ::read(in, bytes.data(), bytes.size());
  ::close(in);
  bytes.resize(n > 0 ? std::size_t(n) : 0);
  return bytes;
}

TEST_F(HostileSave, TreesDeeperThanAPathSaveEveryFileOnTheWayDownAndBackUp) {
  // 40 folders of 200-character names (8,040 bytes of path), and beside them a chain of
  // 150 short ones, each holding a file listed after its subfolder: those are written on
  // the way back up, after the walk has passed the folders it keeps open.
  HandTree hand;
  std::vector<std::string> longNames;
  std::uint32_t parent = 0;
  for (int i = 0; i < 40; ++i) {
    std::string name = "long" + std::to_string(i) + "-";
    name.resize(200, 'x');
    longNames.push_back(name);
    parent = hand.folder(platform::fromUtf8(name), parent);
  }
  hand.file(u"deep.txt", "deep", parent);
  std::vector<std::string> shortNames;
  std::vector<std::uint32_t> chain;
  parent = 0;
  for (int i = 0; i < 150; ++i) {
    shortNames.push_back(std::string("s").append(std::to_string(i)));  // not "s" + ...: a false -Wrestrict of GCC 12
    chain.push_back(parent = hand.folder(platform::fromUtf8(shortNames.back()), parent));
  }
  for (int i = 0; i < 150; ++i) hand.file(u"after.txt", "after " + std::to_string(i), chain[std::size_t(i)]);

  const std::string out = dir_.file("out");
  const SaveTotals totals = save(hand, out);
  EXPECT_EQ(totals.recovered, 151u);
  EXPECT_EQ(totals.skipped, 0u);
  EXPECT_EQ(totals.folders, 190u);
  EXPECT_EQ(readBelow(out, longNames, "deep.txt"), "deep");
  for (std::size_t i : {std::size_t(0), std::size_t(20), std::size_t(84), std::size_t(85), std::size_t(149)}) {
    SCOPED_TRACE(i);
    const std::vector<std::string> folders(shortNames.begin(), shortNames.begin() + std::ptrdiff_t(i) + 1);
    EXPECT_EQ(readBelow(out, folders, "after.txt"), "after " + std::to_string(i));
  }
}

TEST_F(HostileSave, ManyFilesOfOneNameTakeTheNextFreeNumbers) {
  const std::string out = dir_.file("out");
  fs::create_directories(out);
  std::ofstream(out + "/same (3).txt") << "there before";
  HandTree hand;
  for (int i = 1; i <= 5; ++i) hand.file(u"same.txt", std::to_string(i));
  // A file that cannot be read leaves its name free for the next one.
  hand.unreadable(u"gone.bin");
  hand.file(u"gone.bin", "second");
  // Folders of one name are one folder.
  hand.file(u"x", "1", hand.folder(u"Docs"));
  hand.file(u"x", "2", hand.folder(u"Docs"));

  const SaveTotals totals = save(hand, out);
  EXPECT_EQ(totals.recovered, 8u);
  EXPECT_EQ(totals.skipped, 1u);
  EXPECT_EQ(readFile(out + "/same.txt"), "1");
  EXPECT_EQ(readFile(out + "/same (2).txt"), "2");
  EXPECT_EQ(readFile(out + "/same (3).txt"), "there before");
  EXPECT_EQ(readFile(out + "/same (4).txt"), "3");
  EXPECT_EQ(readFile(out + "/same (6).txt"), "5");
  EXPECT_FALSE(fs::exists(out + "/same (7).txt"));
  EXPECT_EQ(readFile(out + "/gone.bin"), "second");
  EXPECT_EQ(readFile(out + "/Docs/x"), "1");
  EXPECT_EQ(readFile(out + "/Docs/x (2)"), "2");
}

TEST_F(HostileSave, AFileHoldsWhatTheEngineGaveAndNoMoreThanItsSize) {
  const std::string kib8(8192, 'r');
  struct Case {
    const char* what;
    std::string delivered;
    std::uint64_t size;
    ReadOutcome outcome;
    SaveStatus status;
    std::optional<std::uint64_t> savedBytes;  // nothing: no file left
  } cases[] = {
      {"all of it", std::string(5000, 'a'), 5000, ReadOutcome::Complete, SaveStatus::Recovered, 5000},
      {"a 1 TiB size whose runs hold 8 KiB", kib8, std::uint64_t(1) << 40, ReadOutcome::Partial,
       SaveStatus::PartiallyRecovered, 8192},
      {"less than the size, said to be complete", kib8, 20000, ReadOutcome::Complete, SaveStatus::PartiallyRecovered,
       8192},
      {"more than the size", std::string(9000, 'm'), 5000, ReadOutcome::Complete, SaveStatus::Recovered, 5000},
      {"nothing readable", "", 100, ReadOutcome::Unreadable, SaveStatus::Skipped, std::nullopt},
      {"an empty file", "", 0, ReadOutcome::Complete, SaveStatus::Recovered, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandTree hand;
    hand.file(u"f.bin", c.delivered, 0, c.size, c.outcome);
    const std::string out = dir_.file(std::string("case-") + c.what);
    save(hand, out);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_.begin()->second, c.status);
    const std::string path = out + "/f.bin";
    if (!c.savedBytes) {
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), *c.savedBytes);
    EXPECT_EQ(readFile(path), c.delivered.substr(0, std::size_t(*c.savedBytes)));
  }
}

// The names in `dir`, sorted.
std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A run ended half-way (a stop, a kill) must leave no cut file under a found name: the file is
// written under a hidden name of its own and renamed once whole; a stop still finishes it.
TEST_F(HostileSave, AFileTakesItsFoundNameOnlyOnceWholeAndAStopLeavesNoPartBehind) {
  const std::string out = dir_.file("out");
  HandTree hand;
  hand.file(u"big.bin", std::string(64 * 1024, 'b'));
  hand.file(u"next.bin", "never written");
  std::vector<std::vector<std::string>> seen;
  hand.engine.afterPiece = [&] {
    seen.push_back(namesIn(out));
    state_.m_bStopRequested = 1;  // Ctrl-C, SIGTERM or SIGHUP while the first file is written
  };
  const SaveTotals totals = save(hand, out);
  ASSERT_EQ(seen.size(), 16u);
  for (const auto& names : seen) {
    ASSERT_EQ(names.size(), 1u);
    EXPECT_NE(names[0], "big.bin");
    EXPECT_EQ(names[0][0], '.');  // hidden while it is written
    EXPECT_LE(names[0].size(), 40u);
  }
  EXPECT_TRUE(totals.stopped);
  EXPECT_EQ(totals.recovered, 1u);
  EXPECT_EQ(namesIn(out), std::vector<std::string>{"big.bin"});
  EXPECT_EQ(fs::file_size(out + "/big.bin"), 64u * 1024);
}

// Found names are kept as long as the output file system takes them (255 bytes here), and a
// second file of such a name is cut before its number, not skipped.
TEST_F(HostileSave, NamesAsLongAsTheOutputTakesAreKeptWhole) {
  const std::string out = dir_.file("out");
  HandTree hand;
  const std::u16string longest = std::u16string(251, u'n') + u".txt";
  hand.file(longest, "first");
  hand.file(longest, "second");
  hand.file(std::u16string(300, u'x'), "too long");
  const std::string folderName(255, 'd');
  hand.file(u"inside", "deep", hand.folder(std::u16string(folderName.begin(), folderName.end())));
  const SaveTotals totals = save(hand, out);
  EXPECT_EQ(totals.recovered, 4u);
  EXPECT_EQ(totals.skipped, 0u);
  EXPECT_EQ(readFile(out + "/" + std::string(251, 'n') + ".txt"), "first");
  EXPECT_EQ(readFile(out + "/" + std::string(247, 'n') + " (2).txt"), "second");
  EXPECT_EQ(readFile(out + "/" + std::string(255, 'x')), "too long");
  EXPECT_EQ(readFile(out + "/" + folderName + "/inside"), "deep");
}

}  // namespace
}  // namespace qelda::save
