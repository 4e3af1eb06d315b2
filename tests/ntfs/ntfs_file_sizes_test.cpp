// A 64 MiB volume made by mkntfs and ntfs-3g that holds files longer than itself (sparse, and
// compressed), live and deleted: every scan lists them with the sizes The Sleuth Kit gives
// and reads them as icat reads them, in pieces of bounded size. The advanced scan lists every
// item at a size that reads whole.
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

}  // namespace
}  // namespace qelda::ntfs::test
