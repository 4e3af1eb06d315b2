// The scan worker on the MBR test disk: which engine it builds for which source, the flags
// it leaves, how it ends on what it cannot scan, and how a stop ends a scan.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/scan_info.h"
#include "app/scan_worker.h"
#include "fs/fat_layout.h"
#include "platform/log.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "save/scan_info_file.h"
#include "support/image_dir.h"
#include "support/missing_images.h"
#include "support/recording_notifier.h"
#include "support/test_images.h"

namespace qelda::app {
namespace {

// The MBR disk as a sparse VMDK, mounted; sources 1 FAT16, 2 NTFS, 3 FAT12, 4 FAT32, 5 exFAT.
class ScanWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image = test::testImage("mbr-monosparse.vmdk");
    if (!std::filesystem::exists(image)) QELDA_SKIP_WITHOUT_IMAGES() << "no test images at " << test::testImagesDir();
    ASSERT_EQ(CDataRecovery(app_, notifier_).OnBnClickedMountVirtualDisk(kImageVmdk, image), MountOutcome::Mounted);
  }

  volume::DEVICE_ENTRY* source(std::size_t index) {
    volume::DEVICE_ENTRY* e = app_.m_pSourceList;
    for (std::size_t i = 0; e && i < index; ++i) e = e->m_pNext;
    return e;
  }

  engine::ScanOutcome scan(std::size_t index, std::uint32_t kind, platform::IFoundItemSink* sink = nullptr,
                  const std::string& logPath = {}) {
    app_.m_pSelectedSource = source(index);
    app_.m_nScanKind = kind;
    tree_ = std::make_unique<results::CFileFolderTree>();
    CScanProcess worker(app_, sink ? *sink : *tree_, progress_, log_, notifier_, logPath);
    return worker.run();
  }

  bool logged(std::u16string_view text) const {
    for (const auto& e : log_.entries())
      if (e == text) return true;
    return false;
  }

  CQELDAApp app_;
  test::RecordingNotifier notifier_;
  platform::NullScanProgress progress_;
  platform::TextLog log_;
  std::unique_ptr<results::CFileFolderTree> tree_;
};

TEST_F(ScanWorkerTest, EachVolumeGetsTheEngineOfItsFileSystemAndTheRunFlagsDrop) {
  struct Case {
    std::size_t source;
    bool ntfs;
  };
  for (const Case c : {Case{1, false}, Case{2, true}, Case{3, false}, Case{4, false}, Case{5, false}}) {
    SCOPED_TRACE(c.source);
    const engine::ScanOutcome r = scan(c.source, kScanQuick);
    EXPECT_EQ(r.status, engine::ScanStatus::Done);
    ASSERT_TRUE(app_.currentEngine);
    EXPECT_EQ(engine::engineKindFor(app_) == engine::EngineKind::Ntfs, c.ntfs);
    EXPECT_EQ(app_.m_bBusy, 0u);
    EXPECT_EQ(app_.m_bStopRequested, 0u);
    EXPECT_EQ(app_.m_bHasResults, 1u);
    EXPECT_GT(tree_->fileCount(), 5u);
    EXPECT_TRUE(tree_->statusUpdates() > 0);
    EXPECT_TRUE(logged(u"Process completed"));
    EXPECT_TRUE(notifier_.shown.empty());
  }
}

TEST_F(ScanWorkerTest, TheDeletedScanOfAFatVolumeListsOnlyWhatLeadsToDeletedFiles) {
  ASSERT_EQ(scan(1, kScanDeletedAgain).status, engine::ScanStatus::Done);
  std::size_t deleted = 0;
  for (const auto i : tree_->items())
    if (!i->isFolder()) {
      EXPECT_TRUE(i->m_byFlags & kItemDeleted) << platform::toUtf8(tree_->pathOf(i));
      ++deleted;
    }
  EXPECT_GE(deleted, 2u);
}

TEST_F(ScanWorkerTest, WhatCannotBeScannedEndsAsAFailureWithItsMessage) {
  struct Case {
    const char* what;
    std::size_t source;
    std::uint32_t kind;
    std::uint32_t scanType;
  };
  const Case cases[] = {
      {"whole disk, quick scan", 0, kScanQuick, 1},
      {"lost-volume search", 1, kScanLostVolumes, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    notifier_.shown.clear();
    app_.m_nScanType = c.scanType;
    const engine::ScanOutcome r = scan(c.source, c.kind);
    EXPECT_EQ(r.status, engine::ScanStatus::Failed);
    EXPECT_FALSE(r.message.empty());
    ASSERT_FALSE(notifier_.shown.empty());  // said once, through the message box
    EXPECT_EQ(notifier_.shown.back(), r.message);
    EXPECT_EQ(app_.m_bBusy, 0u);
    EXPECT_EQ(app_.m_bHasResults, 0u);
    EXPECT_EQ(tree_->size(), 0u);
  }
}

// Asks for a stop as soon as the scan reports its first item.
class StoppingSink final : public platform::IFoundItemSink {
 public:
  StoppingSink(CQELDAApp& app, results::CFileFolderTree& tree) : app_(app), tree_(tree) {}
  void ResetFoundTree() override { tree_.ResetFoundTree(); }
  void SetFoundItemParent(std::uint32_t i, std::uint32_t parentId) override { tree_.SetFoundItemParent(i, parentId); }
  void SetFoundItemSize(std::uint32_t i, std::uint64_t size, std::uint8_t lastFlags) override {
    tree_.SetFoundItemSize(i, size, lastFlags);
  }
  std::uint32_t AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override {
    app_.m_bStopRequested = 1;
    return tree_.AddFoundItem(item, name);
  }
  void UpdateStatusCounts() override {}
  void CollapseRootChildren() override {}
  void QueueItemRename(const FOUND_ITEM& item, std::u16string_view name) override { tree_.QueueItemRename(item, name); }
  void ApplyQueuedRenames() override { tree_.ApplyQueuedRenames(); }

 private:
  CQELDAApp& app_;
  results::CFileFolderTree& tree_;
};

TEST_F(ScanWorkerTest, AStopEndsTheScanEarlyWithTheAbortedLines) {
  for (const std::size_t index : {std::size_t{1}, std::size_t{2}}) {
    SCOPED_TRACE(index);
    results::CFileFolderTree stopped;
    StoppingSink sink(app_, stopped);
    const engine::ScanOutcome r = scan(index, kScanQuick, &sink);
    EXPECT_EQ(r.status, engine::ScanStatus::Stopped);
    EXPECT_TRUE(logged(u"Process aborted. User intervention"));
    EXPECT_EQ(app_.m_bStopRequested, 0u);  // cleared for the next operation
    EXPECT_LT(stopped.size(), 10u);
  }
}

TEST_F(ScanWorkerTest, TheLogIsFlushedToItsFileAtTheEnd) {
  test::ImageDir dir;
  const std::string path = dir.file("run.log");
  ASSERT_EQ(scan(2, kScanQuick, nullptr, path).status, engine::ScanStatus::Done);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("[Creating directory tree]"), std::string::npos);
  EXPECT_NE(text.str().find("Process completed"), std::string::npos);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(ScanWorkerTest, TheLinkingModeIsTakenAndTheFatReloadedOnlyWithAFatEngine) {
  EXPECT_FALSE(applyFatLinkingMode(app_, fs::fat::kLinkFat2));
  ASSERT_EQ(scan(4, kScanQuick).status, engine::ScanStatus::Done);
  ASSERT_TRUE(applyFatLinkingMode(app_, fs::fat::kLinkContiguous));
  ASSERT_TRUE(applyFatLinkingMode(app_, fs::fat::kLinkFat2));
  ASSERT_EQ(scan(2, kScanQuick).status, engine::ScanStatus::Done);
  EXPECT_FALSE(applyFatLinkingMode(app_, fs::fat::kLinkFat1));
}

// Saving records each file in the index (path and time as its trailer has them), loading
// looks it up: a file the index does not list, or a damaged index, is logged and loaded
// anyway, and a damaged index is never appended to.
TEST_F(ScanWorkerTest, SavedScansAreRecordedInTheIndexAndLookedUpOnLoading) {
  test::ImageDir dir;
  const std::string index = dir.file("config/qelda/vhInfo");  // its folders made on saving
  ASSERT_EQ(scan(1, kScanQuick).status, engine::ScanStatus::Done);
  std::vector<std::string> saved;
  for (const char* name : {"a.qsi", "b.qsi"}) {
    std::string cause = "unset";
    ASSERT_EQ(SaveScanImage(app_, *tree_, dir.file(name), index, &cause), "");
    EXPECT_EQ(cause, "");
    saved.push_back(dir.file(name));
  }
  const std::string unlisted = dir.file("c.qsi");
  ASSERT_EQ(SaveScanImage(app_, *tree_, unlisted), "");

  const auto records = save::readScanInfoIndex(index);
  ASSERT_TRUE(records) << records.cause();
  ASSERT_EQ(records->size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    auto loader = save::ScanInfoLoader::open(saved[i]);
    ASSERT_TRUE(loader);
    EXPECT_EQ((*records)[i].scanInfoPath, platform::fromUtf8(saved[i]));
    EXPECT_EQ((*records)[i].savedAt, loader->descriptor().savedAt);
    EXPECT_EQ((*records)[i].sourceKind, source(1)->m_byKind);
  }

  const auto load = [&](const std::string& path) {
    log_.flushTo(dir.file("earlier.log"));  // only this load's entries stay
    app_.m_nScanKind = kScanFromScanInfo;
    tree_ = std::make_unique<results::CFileFolderTree>();
    CScanProcess worker(app_, *tree_, progress_, log_, notifier_);
    worker.setScanInfoPath(path);
    worker.setScanInfoIndex(index);
    return worker.run().status;
  };
  const std::u16string unreadable(kScanInfoIndexUnreadable);
  const auto loggedUnreadable = [&] {
    for (const auto& e : log_.entries())
      if (e.starts_with(unreadable)) return true;
    return false;
  };
  EXPECT_EQ(load(saved[1]), engine::ScanStatus::Done);
  EXPECT_FALSE(logged(kScanInfoNotIndexed));
  EXPECT_EQ(load(unlisted), engine::ScanStatus::Done);
  EXPECT_TRUE(logged(kScanInfoNotIndexed));
  EXPECT_GT(tree_->size(), 0u);

  // A torn index: the save succeeds, the index is left as it was and the loader says so.
  dir.putAt("config/qelda/vhInfo", 2 * 589, std::vector<std::uint8_t>(10, 0));
  std::string cause;
  ASSERT_EQ(SaveScanImage(app_, *tree_, dir.file("d.qsi"), index, &cause), "");
  EXPECT_NE(cause, "");
  EXPECT_EQ(std::filesystem::file_size(index), 2u * 589u + 10u);
  EXPECT_EQ(load(dir.file("d.qsi")), engine::ScanStatus::Done);
  EXPECT_TRUE(loggedUnreadable());
}

// The items are checked as they are replayed, each read once: a file whose last item's name
// has no terminator is refused with that item named, and leaves neither items nor an engine.
TEST_F(ScanWorkerTest, AnItemRefusedDuringTheReplayLeavesNoTreeAndNoEngine) {
  test::ImageDir dir;
  ASSERT_EQ(scan(1, kScanQuick).status, engine::ScanStatus::Done);
  const std::string path = dir.file("scan.qsi");
  ASSERT_EQ(SaveScanImage(app_, *tree_, path), "");
  const std::uint64_t items = tree_->size();
  ASSERT_GT(items, 2u);
  // The last item's name field: just before the 1024-byte trailer.
  const std::uint64_t nameAt = std::filesystem::file_size(path) - 1024 - 593 + 73;
  dir.putAt("scan.qsi", nameAt, std::vector<std::uint8_t>(520, 'A'));

  app_.m_nScanKind = kScanFromScanInfo;
  tree_ = std::make_unique<results::CFileFolderTree>();
  CScanProcess worker(app_, *tree_, progress_, log_, notifier_);
  worker.setScanInfoPath(path);
  const engine::ScanOutcome outcome = worker.run();
  EXPECT_EQ(outcome.status, engine::ScanStatus::Failed);
  const std::string cause = platform::toUtf8(outcome.cause);
  EXPECT_NE(cause.find("found item " + std::to_string(items) + ": "), std::string::npos) << cause;
  EXPECT_NE(cause.find("without terminator"), std::string::npos) << cause;
  EXPECT_EQ(tree_->size(), 0u);
  EXPECT_EQ(app_.currentEngine, nullptr);
}

}  // namespace
}  // namespace qelda::app
