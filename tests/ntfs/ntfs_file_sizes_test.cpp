// A 64 MiB volume made by mkntfs and ntfs-3g that holds files longer than itself (sparse, and
// compressed), live and deleted: every scan lists them with the sizes The Sleuth Kit gives
// and reads them as icat reads them, in pieces of bounded size. The advanced scan lists each
// record once, and every item at a size that reads whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "engine/scan_state.h"
#include "fs/md5.h"
#include "support/missing_images.h"
#include "ntfs/ntfs_image_support.h"

namespace qelda::ntfs::test {
namespace {

std::string sizesDir() {
  if (const char* env = std::getenv("QELDA_NTFS_SIZE_IMAGES")) return env;
  return std::string(QELDA_TEST_IMAGES) + "-ntfs-sizes";
}

bool sizesReady() {
  static const bool ready = [] {
    const fs::path script = fs::path(QELDA_NTFS_IMAGE_SCRIPT).parent_path() / "make_ntfs_size_images.sh";
    const std::string command = "bash '" + script.string() + "' '" + sizesDir() + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }();
  return ready;
}

struct Expected {
  std::string md5;
  std::uint64_t size = 0;
};

// "MD5 SIZE PATH" lines of the script, by path.
std::map<std::string, Expected> expectedFiles() {
  std::map<std::string, Expected> out;
  std::ifstream in(sizesDir() + "/ntfs-sizes.md5");
  Expected e;
  std::string path;
  while (in >> e.md5 >> e.size >> path) out[path] = e;
  return out;
}

bool isDeletedPath(const std::string& path) { return path.find("gone") != std::string::npos; }

engine::ScanOutcome scanKind(DiskScan& s, VolumeCopy& copy, std::uint32_t kind) {
  if (!s.mount(copy.diskImage())) return {engine::ScanStatus::Failed, u"not mounted", {}};
  s.app.m_nAdvancedFileSystem = engine::kAdvancedNtfs;
  return s.scan(kind, s.partitionAt(VolumeCopy::kVolumeStart));
}

// The item's bytes, and the largest piece the engine handed over at once.
engine::ReadOutcome readPieces(DiskScan& s, const FOUND_ITEM& item, std::vector<std::uint8_t>& out,
                               std::size_t& largest) {
  out.clear();
  largest = 0;
  return s.app.currentEngine->readItem(item, [&](std::span<const std::uint8_t> bytes) {
    largest = std::max(largest, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  });
}

struct ScanCase {
  const char* name;
  std::uint32_t kind;
  bool deletedOnly;  // the deleted-files scan lists the deleted files alone
};

class NtfsFilesLongerThanVolume : public ::testing::TestWithParam<ScanCase> {};

TEST_P(NtfsFilesLongerThanVolume, AreListedWithTheirSizesAndReadAsIcatReadsThem) {
  if (!sizesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volume could not be made";
  const std::map<std::string, Expected> expected = expectedFiles();
  ASSERT_EQ(expected.size(), 5u);
  VolumeCopy copy(sizesDir() + "/ntfs-sizes.img");
  DiskScan s;
  const engine::ScanOutcome outcome = scanKind(s, copy, GetParam().kind);
  ASSERT_EQ(outcome.status, engine::ScanStatus::Done) << platform::toUtf8(outcome.message + u" " + outcome.cause);
  std::size_t checked = 0;
  for (const auto& [path, want] : expected) {
    if (GetParam().deletedOnly && !isDeletedPath(path)) continue;
    SCOPED_TRACE(path);
    const results::FoundItemRef item = s.find(path);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(bool(item->m_byFlags & kItemDeleted), isDeletedPath(path));
    EXPECT_EQ(item->m_nSize, want.size);
    std::vector<std::uint8_t> bytes;
    std::size_t largest = 0;
    EXPECT_EQ(readPieces(s, *item, bytes, largest), engine::ReadOutcome::Complete);
    EXPECT_EQ(bytes.size(), want.size);
    EXPECT_EQ(qelda::test::md5Hex(bytes), want.md5);
    // Holes and compression units come in pieces, never as one buffer of the file's size.
    EXPECT_LE(largest, std::size_t(1) << 20);
    ++checked;
  }
  EXPECT_EQ(checked, GetParam().deletedOnly ? 2u : 5u);
}

INSTANTIATE_TEST_SUITE_P(Scans, NtfsFilesLongerThanVolume,
                         ::testing::Values(ScanCase{"Quick", app::kScanQuick, false},
                                           ScanCase{"Deleted", app::kScanDeleted, true},
                                           ScanCase{"Advanced", engine::kScanAdvanced, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every path the advanced scan lists more than once, the volume's own files included.
std::vector<std::string> pathsListedTwice(const results::CFileFolderTree& tree) {
  std::map<std::string, int> seen;
  for (const auto i : tree.items()) ++seen[platform::toUtf8(tree.pathOf(i))];
  std::vector<std::string> out;
  for (const auto& [path, n] : seen)
    if (n > 1) out.push_back(path);
  return out;
}

std::string joined(const std::vector<std::string>& paths) {
  std::string out;
  for (const std::string& p : paths) out += "  " + p + "\n";
  return out;
}

// $MFTMirr's copies of $MFT's first records are those records again: listed once.
TEST(NtfsAdvancedScanOfSoundVolume, ListsEachRecordOnce) {
  if (!sizesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volume could not be made";
  VolumeCopy copy(sizesDir() + "/ntfs-sizes.img");
  DiskScan s;
  ASSERT_EQ(scanKind(s, copy, engine::kScanAdvanced).status, engine::ScanStatus::Done);
  EXPECT_TRUE(pathsListedTwice(*s.tree).empty()) << joined(pathsListedTwice(*s.tree));
  for (const char* system : {"$MFT", "$MFTMirr", "$LogFile", "$Volume"}) EXPECT_NE(s.find(system), nullptr) << system;
}

// Every item, $Secure and the files of $Extend among them, reads whole at the size it is
// listed with.
TEST(NtfsAdvancedScanOfSoundVolume, ListsEveryItemAtASizeThatReadsWhole) {
  if (!sizesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volume could not be made";
  VolumeCopy copy(sizesDir() + "/ntfs-sizes.img");
  DiskScan s;
  ASSERT_EQ(scanKind(s, copy, engine::kScanAdvanced).status, engine::ScanStatus::Done);
  for (const char* system : {"$MFT", "$MFTMirr", "$LogFile", "$Volume", "$Secure", "$Extend/$Quota"})
    EXPECT_NE(s.find(system), nullptr) << system;
  std::size_t files = 0;
  for (const auto i : s.tree->items()) {
    if (i->isFolder()) continue;
    SCOPED_TRACE(platform::toUtf8(s.tree->pathOf(i)));
    std::vector<std::uint8_t> bytes;
    std::size_t largest = 0;
    EXPECT_EQ(readPieces(s, *i, bytes, largest), engine::ReadOutcome::Complete);
    EXPECT_EQ(bytes.size(), i->m_nSize);
    ++files;
  }
  EXPECT_GE(files, 15u);
}

// A copy of a deleted file's record from before its deletion (marked in use) left in a free
// cluster, as an older copy of $MFT's cluster would be: the file is listed once, as deleted;
// a copy that names another file is a file of its own.
TEST(NtfsAdvancedScanOfSoundVolume, AnOlderCopyOfADeletedRecordIsThatRecord) {
  if (!sizesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volume could not be made";
  VolumeCopy copy(sizesDir() + "/ntfs-sizes.img");
  const std::vector<std::uint8_t> boot = copy.bytesAt(0, 512);
  const platform::ByteView b(boot);
  const std::uint64_t clusterBytes = std::uint64_t(b.le16(0x0B).value_or(0)) * b.u8(0x0D).value_or(0);
  ASSERT_EQ(clusterBytes, 4096u);
  const std::uint64_t mft = b.le64(0x30).value_or(0) * clusterBytes;
  const std::uint32_t record = flsRecordOf(sizesDir() + "/ntfs-sizes.fls", "gone-1.txt");
  ASSERT_NE(record, 0u);
  std::vector<std::uint8_t> raw = copy.bytesAt(mft + std::uint64_t(record) * 1024, 1024);
  ASSERT_EQ(raw[0x16] & 1, 0) << "the record is not deleted";
  raw[0x16] |= 1;
  // Free clusters near the volume's end, all zeros before.
  const std::uint64_t at = 16000 * clusterBytes, other = 16002 * clusterBytes;
  ASSERT_EQ(copy.bytesAt(at, 3 * 4096), std::vector<std::uint8_t>(3 * 4096, 0));
  copy.patch(at, raw);
  // Another file under that record's number: a name of the same length, one letter changed.
  const std::string name = "gone-1.txt";
  std::vector<std::uint8_t> utf16;
  for (const char c : name) utf16.insert(utf16.end(), {std::uint8_t(c), 0});
  std::vector<std::uint8_t> renamed = raw;
  const auto found = std::search(renamed.begin(), renamed.end(), utf16.begin(), utf16.end());
  ASSERT_NE(found, renamed.end());
  found[2] = 'u';  // "gune-1.txt"
  ASSERT_NE(renamed, raw);
  copy.patch(other, renamed);

  DiskScan s;
  ASSERT_EQ(scanKind(s, copy, engine::kScanAdvanced).status, engine::ScanStatus::Done);
  EXPECT_TRUE(pathsListedTwice(*s.tree).empty()) << joined(pathsListedTwice(*s.tree));
  const results::FoundItemRef gone = s.find("gone-1.txt");
  ASSERT_NE(gone, nullptr);
  EXPECT_TRUE(gone->m_byFlags & kItemDeleted);
  const results::FoundItemRef renamedItem = s.find("gune-1.txt");
  ASSERT_NE(renamedItem, nullptr);
  EXPECT_FALSE(renamedItem->m_byFlags & kItemDeleted);
}

}  // namespace
}  // namespace qelda::ntfs::test
