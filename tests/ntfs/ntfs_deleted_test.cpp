// Deleted files and folders of a volume that ntfs-3g filled, partly emptied and partly
// refilled, inside VMDK, VDI and VHD disks: both the quick scan's deleted-files pass and the
// deleted-files scan, held against what The Sleuth Kit lists and reads of the same volume.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/missing_images.h"
#include "ntfs/ntfs_image_support.h"

namespace qelda::ntfs {
namespace {

using namespace qelda::ntfs::test;

// One line of an `fls -l` listing.
struct FlsEntry {
  bool folder = false;
  std::uint32_t record = 0;
  std::string path;
  std::uint64_t size = 0;
};

std::vector<FlsEntry> readFls(const std::string& path) {
  std::vector<FlsEntry> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = splitTabs(line);
    if (f.size() < 7 || f[1].find(':') != std::string::npos) continue;
    FlsEntry e;
    e.folder = f[0].size() > 2 && f[0][2] == 'd';
    const std::size_t number = f[0].find_first_of("0123456789", 3);
    if (number == std::string::npos) continue;
    e.record = std::uint32_t(std::stoul(f[0].substr(number)));
    e.path = f[1];
    e.size = std::stoull(f[6]);
    out.push_back(e);
  }
  return out;
}

constexpr char kOrphans[] = "$OrphanFiles/";

class NtfsDeletedFiles : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
    base_ = ntfsImagesDir() + "/ntfs-deleted";
    ASSERT_TRUE(scan_.mount(ntfsImagesDir() + "/" + GetParam()));
    for (const FlsEntry& e : readFls(base_ + ".fls-d")) {
      // Records that never had a name (the reserved 16 to 23) are not files anyone lost.
      if (e.path.rfind(std::string(kOrphans) + "OrphanFile-", 0) == 0) continue;
      deleted_.emplace(e.record, e);
    }
    for (const FlsEntry& e : readFls(base_ + ".fls"))
      if (!isSystemPath(e.path)) live_.emplace(e.record, e);
    ASSERT_GT(deleted_.size(), 50u);
    // Records not in use, as `ils -A` lists them ("number|f|...").
    std::istringstream ils(run("ils -A '" + base_ + ".img'"));
    std::string line;
    while (std::getline(ils, line))
      if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) unallocated_.insert(std::uint32_t(std::stoul(line)));
  }

  std::string istat(std::uint32_t record) { return run("istat '" + base_ + ".img' " + std::to_string(record)); }
  std::string icat(std::uint32_t record) { return run("icat '" + base_ + ".img' " + std::to_string(record)); }
  // The index still names some records that are no longer in use (entries left in index
  // blocks the folder freed, or kept by the index's own tree); fls lists them as live.
  bool unallocated(std::uint32_t record) const { return unallocated_.count(record) != 0; }

  // Every deleted entry of fls is found under its path, or under a placeholder for the
  // parent fls could not name; every deleted item found is one of those or a record that
  // the index still names but that is no longer in use; sizes and bytes are icat's.
  void checkDeletedItems(const std::string& lostFolders) {
    std::map<std::uint32_t, results::FoundItemRef> found;
    for (const auto i : scan_.tree->items())
      if (i->m_byFlags & kItemDeleted) found.emplace(i->m_nId, i);
    for (const auto& [record, e] : deleted_) {
      SCOPED_TRACE(e.path);
      const auto it = found.find(record);
      ASSERT_NE(it, found.end());
      const std::string path = platform::toUtf8(scan_.tree->pathOf(it->second));
      if (e.path.rfind(kOrphans, 0) == 0) {
        const std::string rest = e.path.substr(sizeof kOrphans - 1);
        EXPECT_EQ(path.rfind(lostFolders + "/Folder ", 0), 0u) << path;
        EXPECT_EQ(path.substr(path.size() - std::min(path.size(), rest.size())), rest);
      } else {
        EXPECT_EQ(path, e.path);
      }
      EXPECT_EQ(it->second->isFolder(), e.folder);
      if (!e.folder) checkContent(*it->second, e);
    }
    for (const auto& [record, item] : found) {
      if (deleted_.count(record)) continue;
      SCOPED_TRACE(platform::toUtf8(scan_.tree->pathOf(item)));
      ASSERT_TRUE(live_.count(record));
      EXPECT_EQ(platform::toUtf8(scan_.tree->pathOf(item)), live_.at(record).path);
      EXPECT_TRUE(unallocated(record));
    }
  }

  void checkContent(const FOUND_ITEM& item, const FlsEntry& e) {
    const std::string theirs = icat(e.record);
    ASSERT_EQ(theirs.size(), e.size);
    std::string ours;
    EXPECT_EQ(scan_.read(item, ours), engine::ReadOutcome::Complete);
    if (item.m_nSize == e.size) {
      EXPECT_TRUE(ours == theirs);
      return;
    }
    // The record's initialized size, short of the data size that fls shows: what lies
    // past it reads as zeros anyway.
    EXPECT_NE(istat(e.record).find("init_size: " + std::to_string(item.m_nSize)), std::string::npos);
    EXPECT_TRUE(ours == theirs.substr(0, ours.size()));
    EXPECT_EQ(theirs.find_first_not_of('\0', ours.size()), std::string::npos);
  }

  std::string base_;
  DiskScan scan_;
  std::map<std::uint32_t, FlsEntry> deleted_;
  std::map<std::uint32_t, FlsEntry> live_;
  std::set<std::uint32_t> unallocated_;
};

TEST_P(NtfsDeletedFiles, DeletedFilesScanListsWhatFlsListsAsDeleted) {
  ASSERT_EQ(scan_.scan(app::kScanDeleted).status, engine::ScanStatus::Done);
  checkDeletedItems("Lost Folder(s)");
  // Besides them, only the folders on their paths: in use, and where fls has them.
  for (const auto i : scan_.tree->items()) {
    const std::string path = platform::toUtf8(scan_.tree->pathOf(i));
    if ((i->m_byFlags & kItemDeleted) || path.rfind("Lost Folder(s)", 0) == 0) continue;
    SCOPED_TRACE(path);
    EXPECT_TRUE(i->isFolder());
    ASSERT_TRUE(live_.count(i->m_nId));
    EXPECT_EQ(live_.at(i->m_nId).path, path);
  }
  EXPECT_TRUE(scan_.tree->rootCollapsed());
}

TEST_P(NtfsDeletedFiles, QuickScanAddsTheDeletedAfterTheLiveTree) {
  ASSERT_EQ(scan_.scan(app::kScanQuick).status, engine::ScanStatus::Done);
  checkDeletedItems("Lost folder(s)");
  // The live items are fls's, less the index entries whose records are no longer in use:
  // those come as deleted (checked above).
  Listing got;
  for (const auto i : scan_.tree->items()) {
    const std::string path = platform::toUtf8(scan_.tree->pathOf(i));
    if ((i->m_byFlags & kItemDeleted) || isSystemPath(path) || path.rfind("Lost folder(s)", 0) == 0) continue;
    got.insert(i->isFolder() ? "d " + path : "f " + path + " " + std::to_string(i->m_nSize));
  }
  Listing want;
  std::size_t stale = 0;
  for (const auto& [record, e] : live_) {
    if (unallocated(record)) ++stale;
    else want.insert(e.folder ? "d " + e.path : "f " + e.path + " " + std::to_string(e.size));
  }
  EXPECT_GT(stale, 50u);  // the freed blocks of shrink/ among them
  EXPECT_EQ(got, want) << "only ours:\n" << difference(got, want) << "only fls:\n" << difference(want, got);
}

INSTANTIATE_TEST_SUITE_P(DiskFormats, NtfsDeletedFiles,
                         ::testing::Values("ntfs-deleted-disk.vmdk", "ntfs-deleted-disk.vdi", "ntfs-deleted-disk.vhd"));

}  // namespace
}  // namespace qelda::ntfs

namespace qelda::ntfs {
namespace {

using namespace qelda::ntfs::test;

// Hostile records in a copy of the volume: each scan still ends, and what can be placed is.
class NtfsHostileRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!imagesReady()) QELDA_SKIP_WITHOUT_IMAGES() << "the NTFS volumes could not be made";
    base_ = ntfsImagesDir() + "/ntfs-deleted";
    copy_ = std::make_unique<VolumeCopy>(base_ + ".img");
    probe_.mount(copy_->volumeImage(), copy_->volume());
    probe_.engine->ScanVolume(1);
    ASSERT_GT(probe_.engine->mftRecordCount(), 600u);
  }
  std::uint32_t recordOf(const std::string& path) { return flsRecordOf(base_ + ".fls-d", path); }

  // Applies `change` to the fixed-up record and writes it back.
  template <class Change>
  void patchRecord(std::uint32_t record, Change change) {
    const std::uint64_t at = probe_.engine->GetRecordSector(record) * 512;
    std::vector<std::uint8_t> bytes = copy_->bytesAt(at, 1024);
    ASSERT_TRUE(qelda::fs::ntfs::ApplyRecordFixup(bytes));
    change(bytes);
    copy_->patchRecord(at, bytes);
  }
  void setParent(std::uint32_t record, std::uint32_t parent) {
    patchRecord(record, [&](std::vector<std::uint8_t>& bytes) {
      const platform::ByteView view(bytes);
      for (const qelda::fs::ntfs::AttributeRef& a : qelda::fs::ntfs::walkAttributes(view, 30).attributes) {
        if (a.type != 0x30) continue;
        const std::size_t value = a.offset + view.le16(a.offset + 0x14).value_or(0);
        platform::putLe32(&bytes[value], parent);
      }
    });
  }

  std::string base_;
  std::unique_ptr<VolumeCopy> copy_;
  MountedVolume probe_;
};

TEST_F(NtfsHostileRecords, CyclesSelfParentsBrokenAttributesAndLoopingRunsEndCleanly) {
  const std::uint32_t inner = recordOf("$OrphanFiles/inner"), deeper = recordOf("$OrphanFiles/inner/deeper");
  const std::uint32_t child = recordOf("$OrphanFiles/child");
  ASSERT_NE(inner * deeper * child, 0u);
  // Two deleted folders each other's parent, and one its own.
  setParent(inner, deeper);
  setParent(deeper, inner);
  setParent(child, child);
  // An attribute whose length runs past the record.
  patchRecord(recordOf("root-dead.txt"), [](std::vector<std::uint8_t>& bytes) {
    const auto data = qelda::fs::ntfs::FindRecordData(platform::ByteView(bytes), false);
    ASSERT_TRUE(data);
    platform::putLe32(&bytes[data->attributeOffset + 4], 0x1000);
  });
  // Mapping pairs that come back to the same clusters again and again.
  patchRecord(recordOf("mixed/dead.txt"), [](std::vector<std::uint8_t>& bytes) {
    const auto data = qelda::fs::ntfs::FindRecordData(platform::ByteView(bytes), false);
    ASSERT_TRUE(data && !data->resident);
    const std::size_t end = data->attributeOffset + platform::ByteView(bytes).le32(data->attributeOffset + 4).value_or(0);
    std::size_t at = data->offset;
    const std::uint8_t first[] = {0x11, 0x10, 0x40};
    std::copy(std::begin(first), std::end(first), bytes.begin() + std::ptrdiff_t(at));
    for (at += 3; at + 4 < end; at += 3) {
      const std::uint8_t again[] = {0x11, 0x10, 0x00};
      std::copy(std::begin(again), std::end(again), bytes.begin() + std::ptrdiff_t(at));
    }
    std::fill(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(end), 0);
  });

  for (const std::uint32_t kind : {app::kScanDeleted, app::kScanQuick}) {
    SCOPED_TRACE(kind);
    DiskScan s;
    ASSERT_TRUE(s.mount(copy_->diskImage()));
    ASSERT_EQ(s.scan(kind).status, engine::ScanStatus::Done);
    // Nothing deleted stays hidden: the folders of the cycle, the self-parented one and
    // their files are listed once each, under a placeholder.
    for (const char* name : {"inner", "deeper", "child", "g2.bin", "g3.txt", "ch.txt"}) {
      SCOPED_TRACE(name);
      int seen = 0;
      for (const auto i : s.tree->items()) {
        if (platform::toUtf8(s.tree->nameOf(i)) != name) continue;
        ++seen;
        EXPECT_EQ(platform::toUtf8(s.tree->pathOf(i)).rfind("Lost ", 0), 0u) << platform::toUtf8(s.tree->pathOf(i));
      }
      EXPECT_EQ(seen, 1);
    }
    results::FoundItemRef looping = s.find("mixed/dead.txt");
    ASSERT_NE(looping, nullptr);
    std::string content;
    s.read(*looping, content);
    EXPECT_LE(content.size(), looping->m_nSize);
    EXPECT_LT(s.tree->size(), 5000u);
  }
}

}  // namespace
}  // namespace qelda::ntfs
