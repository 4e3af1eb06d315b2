// The FAT raw search: files found by their signatures in a volume's free clusters and across a
// bare disk, through the scan worker, read back as saving reads them. The pictures are the
// carving corpus's (made by Pillow and ImageMagick at test time).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "app/raw_types.h"
#include "carve/carve_test_support.h"
#include "carve/raw_types.h"
#include "fat/fat_test_support.h"
#include "support/missing_images.h"
#include "fs/fat_layout.h"

namespace qelda::fat::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The corpus's JPEG and PNG pictures, largest first.
std::vector<Bytes> pictures() {
  std::vector<Bytes> out;
  for (const auto& f : carve::test::corpusManifest())
    if (f.typeId == carve::kTypeJpeg || f.typeId == carve::kTypePng)
      out.push_back(carve::test::readFile(carve::test::carveCorpus() + "/" + f.name));
  std::sort(out.begin(), out.end(), [](const Bytes& a, const Bytes& b) { return a.size() > b.size(); });
  return out;
}

void selectPictures(app::CQELDAApp& app, const qelda::test::ImageDir& dir) {
  std::vector<std::string> unknown;
  ASSERT_TRUE(app::selectRawTypes(app, dir.file("config"), {"jpg", "png"}, unknown));
  ASSERT_TRUE(unknown.empty());
}

// Files found by signature: start (cluster or sector) -> item.
std::map<std::uint64_t, results::FoundItemRef> rawFinds(const WorkerScan& scan) {
  std::map<std::uint64_t, results::FoundItemRef> out;
  for (const auto& [path, item] : scan.found()) {
    EXPECT_TRUE(item->m_byFlags & kItemBySignature) << path;
    EXPECT_GE(std::int32_t(item->m_nId), std::numeric_limits<std::int32_t>::min());
    EXPECT_LE(std::int32_t(item->m_nId), -16) << path;  // never an id a tree gives
    if (!item->isFolder()) out[item->m_nRecordKey] = item;
  }
  return out;
}

// The file disk.flat of `dir`, of `sectors` sectors, mounted as a flat VMDK, its whole disk selected.
void mountBareDisk(qelda::test::ImageDir& dir, std::uint64_t sectors, app::CQELDAApp& app,
                   qelda::test::RecordingNotifier& notifier) {
  const std::string descriptor = dir.putText(
      "disk.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " + std::to_string(sectors) +
                       " FLAT \"disk.flat\" 0\n");
  ASSERT_EQ(app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(app::kImageVmdk, descriptor),
            app::MountOutcome::Mounted);
  app.m_pSelectedSource = app.m_pSourceList;
}

class FatRawSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (fatImages().empty() || carve::test::carveCorpus().empty()) QELDA_SKIP_WITHOUT_IMAGES() << "no corpus";
    pictures_ = pictures();
    ASSERT_GE(pictures_.size(), 3u);
  }
  std::vector<Bytes> pictures_;
  qelda::test::ImageDir config_;
};

// Pictures planted in free clusters of a FAT32 volume are found at their clusters and read back
// whole; one planted over a live file's first sector is not looked at (its cluster is in use).
TEST_F(FatRawSearch, VolumeFreeClustersAreSearchedByCluster) {
  const std::string image = fatImages() + "/fat32_s8.img";
  WorkerScan scan(image, volume::kFsFat32, volume::kKindPartition, true);
  const auto boot = readFile(image);
  const auto p = fs::fat::parseFatBootSector(platform::ByteView(boot.data(), 512));
  ASSERT_TRUE(p);
  const std::uint64_t dataStart = fs::fat::systemSectors(p->reservedSectors, p->sectorsPerFat, 0);
  const auto offsetOf = [&](std::uint64_t c) { return (dataStart + (c - 2) * p->sectorsPerCluster) * 512; };
  std::map<std::uint64_t, std::size_t> planted;  // cluster -> picture
  std::uint64_t cluster = 40000;
  for (std::size_t i = 0; i < pictures_.size() && i < 6; ++i) {
    scan.patch(offsetOf(cluster), pictures_[i]);
    planted[cluster] = i;
    cluster += pictures_[i].size() / (p->sectorsPerCluster * 512) + 3;
  }
  // The root directory's first cluster is in use: a picture written over it is not looked at.
  scan.patch(offsetOf(2), pictures_[1]);
  selectPictures(scan.app, config_);
  ASSERT_EQ(scan.run(engine::kScanRaw).status, engine::ScanStatus::Done);
  const auto finds = rawFinds(scan);
  for (const auto& [at, which] : planted) {
    const auto it = finds.find(at);
    ASSERT_NE(it, finds.end()) << "cluster " << at;
    EXPECT_EQ(scan.read(*it->second), pictures_[which]) << "cluster " << at;
  }
  EXPECT_EQ(finds.count(2), 0u) << "a cluster in use was searched";
  EXPECT_EQ(finds.size(), planted.size());
  EXPECT_TRUE(scan.logged("[Comparing FAT copies]"));
}

// Across a bare disk (no partition table): the whole disk is searched by sectors, each picture
// found at its sector and read back whole; nothing is matched past the disk's end.
TEST_F(FatRawSearch, WholeDiskIsSearchedBySector) {
  qelda::test::ImageDir dir;
  const std::uint64_t sectors = 16384;
  dir.truncate("disk.flat", sectors * 512);
  std::map<std::uint64_t, std::size_t> planted;
  std::uint64_t at = 100;
  for (std::size_t i = 0; i < pictures_.size() && i < 6; ++i) {
    dir.put("disk.flat", at, pictures_[i]);
    planted[at] = i;
    at += pictures_[i].size() / 512 + 7;
  }
  ASSERT_LT(at, sectors);
  app::CQELDAApp app;
  qelda::test::RecordingNotifier notifier;
  mountBareDisk(dir, sectors, app, notifier);  // the whole disk
  ASSERT_NE(app.m_pSelectedSource->m_pDetail.drive(), nullptr);
  selectPictures(app, config_);
  app.m_nScanKind = engine::kScanRaw;
  results::CFileFolderTree tree;
  platform::NullScanProgress progress;
  platform::TextLog log;
  ASSERT_EQ(app::CScanProcess(app, tree, progress, log, notifier).run().status, engine::ScanStatus::Done);
  std::map<std::uint64_t, results::FoundItemRef> finds;
  for (const auto i : tree.items())
    if (!i->isFolder()) finds[i->m_nRecordKey] = i;
  for (const auto& [sector, which] : planted) {
    const auto it = finds.find(sector);
    ASSERT_NE(it, finds.end()) << "sector " << sector;
    Bytes content;
    app.currentEngine->readItem(*it->second, [&](std::span<const std::uint8_t> piece) {
      content.insert(content.end(), piece.begin(), piece.end());
      return true;
    });
    EXPECT_EQ(content, pictures_[which]) << "sector " << sector;
  }
  EXPECT_EQ(finds.size(), planted.size());
  const auto entries = log.entries();
  EXPECT_NE(std::find(entries.begin(), entries.end(), u"[Searching physical drive for known file types]"), entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(), u"[Process completed]"), entries.end());
}

// A picture past sector 2^32 of a large (sparse) disk reads back from its own sector. The
// search is stopped after its first block; the engine keeps the sector geometry it set.
TEST_F(FatRawSearch, FindsPastSector2To32ReadBackFromTheirSector) {
  qelda::test::ImageDir dir;
  const std::uint64_t sectors = (std::uint64_t(1) << 32) + 4096;
  const std::uint64_t at = (std::uint64_t(1) << 32) + 100;
  dir.truncate("disk.flat", sectors * 512);
  dir.put("disk.flat", at, pictures_[0]);
  dir.put("disk.flat", at - (std::uint64_t(1) << 32), Bytes(pictures_[0].size(), 0x5A));  // where a 32-bit sector would read
  app::CQELDAApp app;
  qelda::test::RecordingNotifier notifier;
  mountBareDisk(dir, sectors, app, notifier);
  selectPictures(app, config_);
  app.m_nScanKind = engine::kScanRaw;
  struct StopAtFirstBlock final : platform::IScanProgress {
    app::CQELDAApp* app = nullptr;
    void setRange(int, std::uint64_t, std::uint64_t) override {}
    void setStep(int, std::uint64_t) override {}
    void setPos(int, std::uint64_t) override {}
    void stepIt(int) override { app->m_bStopRequested = 1; }
    std::uint64_t getPos(int) const override { return 0; }
    void showBar(int, bool) override {}
    void SetFoundText(std::u16string_view) override {}
    void SetStatusText(std::u16string_view) override {}
    void SetStopEnabled(bool) override {}
  } progress;
  progress.app = &app;
  results::CFileFolderTree tree;
  platform::TextLog log;
  EXPECT_EQ(app::CScanProcess(app, tree, progress, log, notifier).run().status, engine::ScanStatus::Stopped);
  FOUND_ITEM item;
  item.m_byAttributes = kItemFile;
  item.m_byFlags = kItemBySignature;
  item.m_nRecordKey = at;
  item.m_nSize = pictures_[0].size();
  Bytes content;
  EXPECT_EQ(app.currentEngine->readItem(item,
                                        [&](std::span<const std::uint8_t> piece) {
                                          content.insert(content.end(), piece.begin(), piece.end());
                                          return true;
                                        }),
            engine::ReadOutcome::Complete);
  EXPECT_EQ(content, pictures_[0]);
}

// The range of a search by sectors: the arguments, inclusive; nothing for a reversed one and
// no wrap for one that ends at the last 64-bit sector; with the range-from-volume flag, the
// selected volume's sectors whatever the arguments say (none when a whole disk is selected).
TEST(FatRawRange, SetRawSearchRangeTakesTheArgumentsOrTheSelectedVolume) {
  volume::DEVICE_ENTRY volumeSource, diskSource;
  volume::VOLUME_RECORD& v = volumeSource.m_pDetail.makeVolume();
  v.m_nStartSector = 2048;
  v.m_nSectorCount = 1000;
  v.m_nLastSector = 3048;  // the partition walk's value: one past the end
  diskSource.m_pDetail.makeDrive().m_nSizeSectors = 5000;
  struct Case {
    const char* what;
    volume::DEVICE_ENTRY* source;
    bool fromVolume;
    std::uint64_t start, end;
    std::uint64_t wantStart, wantTotal, wantLast;
  } cases[] = {
      {"a range", &diskSource, false, 100, 199, 100, 100, 199},
      {"one sector", &diskSource, false, 7, 7, 7, 1, 7},
      {"reversed", &diskSource, false, 200, 100, 200, 0, 200},
      {"up to the last 64-bit sector", &diskSource, false, 0, UINT64_MAX, 0, UINT64_MAX, UINT64_MAX - 1},
      {"from the volume", &volumeSource, true, 0, 99, 2048, 1000, 3047},
      {"from a volume, a whole disk selected", &diskSource, true, 0, 99, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    app::CQELDAApp app;
    qelda::test::RecordingNotifier notifier;
    RecordingLog log;
    app.m_pSelectedSource = c.source;
    app.m_bRawRangeFromVolume = c.fromVolume ? 1 : 0;
    CFatEngine e(app, log, notifier);
    e.SetRawSearchRange(0, c.start, c.end);
    EXPECT_EQ(e.m_nPartitionStart, c.wantStart);
    EXPECT_EQ(e.m_nTotalSectors, c.wantTotal);
    EXPECT_EQ(e.m_nLastSector, c.wantLast);
    EXPECT_EQ(e.m_bAbsoluteSectors, 1u);
    app.m_pSelectedSource = nullptr;
  }
}

// One type's folder holds 2501 files; the 2502nd goes to a second folder, the type text and 1.
TEST(FatRawFolders, TheFileAfterAFullFolderStartsTheNextOne) {
  app::CQELDAApp app;
  qelda::test::RecordingNotifier notifier;
  RecordingLog log;
  RecordingSink sink;
  CFatEngine e(app, log, notifier);
  e.m_pConsole = &sink;
  e.SetRawSearchRange(0, 0, 100000);
  for (std::uint64_t i = 0; i < 2502; ++i) e.AddRawFoundFile(u"", u"jpg", 100 + i, 1000, 0);
  e.AddRawFoundFile(u"holiday", u"jpg", 9000, 1000, 0);
  std::map<std::uint32_t, std::u16string> folders;
  std::map<std::uint32_t, std::size_t> filesIn;
  for (const auto& entry : sink.items) {
    if (entry.item.isFolder()) folders[entry.item.m_nId] = entry.name;
    else ++filesIn[entry.item.m_nParentId];
  }
  ASSERT_EQ(folders.size(), 2u);
  std::map<std::u16string, std::size_t> byName;
  for (const auto& [id, name] : folders) byName[name] = filesIn[id];
  EXPECT_EQ(byName[u"jpg"], 2501u);
  EXPECT_EQ(byName[u"jpg1"], 2u);
  EXPECT_EQ(sink.items.front().name, u"jpg");
  EXPECT_EQ(sink.items[1].name, u"100.jpg");
  EXPECT_EQ(sink.items.back().name, u"2503_holiday.jpg");  // the running number of found files
}

}  // namespace
}  // namespace qelda::fat::test
