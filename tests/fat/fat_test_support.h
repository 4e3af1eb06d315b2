// What the FAT engine tests share: recording sinks, a volume file mounted as a flat VMDK,
// and the found items turned into paths.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <span>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/scan_worker.h"
#include "results/file_folder_tree.h"
#include "volume/volume_records.h"
#include "fat/fat_engine.h"
#include "platform/found_item.h"
#include "platform/sinks.h"
#include "platform/text.h"
#include "support/image_dir.h"
#include "support/recording_notifier.h"
#include "support/test_images.h"
#include "support/engine_probe.h"

namespace qelda::fat::test {

struct FoundEntry {
  FOUND_ITEM item;
  std::u16string name;
};

class RecordingSink final : public platform::IFoundItemSink {
 public:
  void ResetFoundTree() override { ++resets; }
  std::uint32_t AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override {
    items.push_back({item, std::u16string(name)});
    return std::uint32_t(items.size() - 1);
  }
  void SetFoundItemParent(std::uint32_t, std::uint32_t) override {}
  void SetFoundItemSize(std::uint32_t, std::uint64_t, std::uint8_t) override {}
  void UpdateStatusCounts() override {}
  void CollapseRootChildren() override { ++collapses; }
  void QueueItemRename(const FOUND_ITEM&, std::u16string_view) override {}
  void ApplyQueuedRenames() override {}

  std::deque<FoundEntry> items;
  int resets = 0;
  int collapses = 0;
};

class RecordingLog final : public platform::ILog {
 public:
  void AddLogEntry(std::u16string text, bool) override { entries.push_back(platform::toUtf8(text)); }
  bool has(const std::string& text) const {
    for (const auto& e : entries)
      if (e == text) return true;
    return false;
  }
  std::vector<std::string> entries;
};

// Lower-cases ASCII letters, so that names compare as the volume's short names do.
inline std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// Paths of the found items, joined from the root by their parent ids.
struct FoundPaths {
  explicit FoundPaths(const RecordingSink& sink) {
    std::map<std::uint32_t, const FoundEntry*> byId;
    for (const auto& e : sink.items) byId[e.item.m_nId] = &e;
    for (const auto& e : sink.items) {
      std::string path = platform::toUtf8(e.name);
      std::uint32_t parent = e.item.m_nParentId;
      for (int guard = 0; parent != 0 && guard < 10000; ++guard) {
        const auto it = byId.find(parent);
        if (it == byId.end()) {
          path = "?/" + path;
          break;
        }
        path = platform::toUtf8(it->second->name) + "/" + path;
        parent = it->second->item.m_nParentId;
      }
      all.push_back({path, &e});
    }
  }
  std::vector<std::pair<std::string, const FoundEntry*>> all;
};

// A volume file behind a monolithicFlat VMDK descriptor, mounted in its own application.
class MountedVolume {
 public:
  explicit MountedVolume(const std::string& volumeFile, bool copy = false) {
    std::error_code ec;
    const std::string target = dir_.file("volume.img");
    if (copy) std::filesystem::copy_file(volumeFile, target, ec);
    else std::filesystem::create_symlink(volumeFile, target, ec);
    sectors_ = std::filesystem::file_size(volumeFile, ec) / 512;
    descriptor_ = dir_.putText("volume.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " +
                                                  std::to_string(sectors_) + " FLAT \"volume.img\" 0\n");
    remount();
  }
  void remount() {
    app::CDataRecovery(app_, notifier_).OnBnClickedMountVirtualDisk(app::kImageVmdk, descriptor_);
    notifier_.shown.clear();
  }
  // Patches bytes of the (copied) volume file.
  void patch(std::uint64_t offset, std::span<const std::uint8_t> bytes) { dir_.putAt("volume.img", offset, bytes); }

  std::unique_ptr<CFatEngine> engine() {
    sink_ = RecordingSink();
    log_ = RecordingLog();
    auto e = std::make_unique<CFatEngine>(
        app_, engine::EngineSinks{.console = &sink_, .scanDlg = &progress_, .log = &log_, .notifier = &notifier_});
    FatVolumeSource source;
    source.sectorCount = sectors_;
    source.lastSector = sectors_;
    ::qelda::test::EngineProbe::initializeVolume(*e, 0, source);
    return e;
  }
  // Reads an item's data as saving does: its cluster list, cut at its size.
  static std::vector<std::uint8_t> readItem(CFatEngine& e, const FOUND_ITEM& item, std::uint32_t mode) {
    std::uint32_t byteCount = 0;
    const auto clusters = e.GetClusterList(std::uint32_t(item.m_nRecordKey), item.m_nSize, mode, byteCount);
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> cluster(std::size_t(e.sectorsPerCluster()) * 512);
    for (const auto c : clusters) {
      e.ReadClusterSectors(c, 0, cluster.data(), e.sectorsPerCluster());
      out.insert(out.end(), cluster.begin(), cluster.end());
      if (out.size() >= item.m_nSize) break;
    }
    out.resize(std::min<std::size_t>(out.size(), item.m_nSize));
    return out;
  }

  app::CQELDAApp app_;
  qelda::test::RecordingNotifier notifier_;
  RecordingLog log_;
  RecordingSink sink_;
  platform::NullScanProgress progress_;

 private:
  qelda::test::ImageDir dir_;
  std::uint64_t sectors_ = 0;
  std::string descriptor_;
};

// An entry of the independent reader's listing (fls -r -p), its own virtual entries left out.
struct FlsEntry {
  bool folder = false;
  bool deleted = false;
  std::string inode;
  std::string path;
};

inline std::vector<FlsEntry> readFls(const std::string& file) {
  std::vector<FlsEntry> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string head = line.substr(0, tab);
    FlsEntry e;
    e.path = line.substr(tab + 1);
    if (e.path.empty() || e.path[0] == '$') continue;  // the reader's own virtual entries
    if (head.compare(0, 3, "r/r") != 0 && head.compare(0, 3, "d/d") != 0) continue;
    e.folder = head[0] == 'd';
    e.deleted = head.find('*') != std::string::npos;
    const auto colon = head.rfind(':');
    const auto blank = head.rfind(' ', colon);
    e.inode = head.substr(blank + 1, colon - blank - 1);
    out.push_back(e);
  }
  return out;
}

// The reader writes "_" for the lost first character of a deleted short name; we write "X".
inline std::string deletedNameForm(std::string path) {
  for (std::size_t i = 0; i < path.size(); ++i)
    if (path[i] == '_' && (i == 0 || path[i - 1] == '/')) path[i] = 'X';
  return lower(path);
}

// A line of NAME.chains: how many runs of consecutive clusters a live file or folder had
// before the volume was damaged, and its first cluster.
struct ChainEntry {
  unsigned runs = 0;
  std::uint32_t first = 0;
  std::string path;
};

inline std::vector<ChainEntry> readChains(const std::string& file) {
  std::vector<ChainEntry> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab1 = line.find('\t');
    const auto tab2 = line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos) continue;
    out.push_back({unsigned(std::stoul(line.substr(0, tab1))), std::uint32_t(std::stoul(line.substr(tab1 + 1, tab2 - tab1 - 1))),
                   line.substr(tab2 + 1)});
  }
  return out;
}

// The volumes, made once by the image script (a CTest fixture runs it; a test binary run
// on its own makes them here). Empty when the script could not run.
inline std::string fatImages() {
  static const std::string dir = [] {
    const std::string out = qelda::test::testImagesDir() + "-fat";
    if (!std::filesystem::exists(out + "/.stamp")) {
      const auto script = std::filesystem::path(QELDA_TEST_SOURCES_DIR) / "fat" / "make_fat_images.sh";
      const std::string cmd = "bash '" + script.string() + "' '" + out + "'";
      if (std::system(cmd.c_str()) != 0) return std::string();
    }
    return out;
  }();
  return dir;
}

// The file-system code a volume of the image script gets as a partition, by its name.
inline std::uint8_t fileSystemOf(const std::string& name) {
  if (name.rfind("fat32", 0) == 0) return volume::kFsFat32;
  if (name.rfind("fat12", 0) == 0) return volume::kFsFat12;
  return volume::kFsFat16;
}

// A volume file mounted as a flat VMDK and scanned as `qelda scan` scans it: the volume
// selected as a partition of the image (or as another kind of source), the scan worker, the
// engine the factory makes, and the found-items store.
class WorkerScan {
 public:
  // copy: the volume is copied (sparse) so that a test may damage it further with patch().
  WorkerScan(const std::string& volumeFile, std::uint8_t fileSystem, std::uint8_t sourceKind = volume::kKindPartition,
             bool copy = false) {
    std::error_code ec;
    if (copy) {
      const std::string cmd = "cp --sparse=always '" + volumeFile + "' '" + dir_.file("volume.img") + "'";
      if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot copy " << volumeFile;
    } else {
      std::filesystem::create_symlink(volumeFile, dir_.file("volume.img"), ec);
    }
    const std::uint64_t sectors = std::filesystem::file_size(volumeFile, ec) / 512;
    const std::string descriptor = dir_.putText(
        "volume.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " + std::to_string(sectors) +
                           " FLAT \"volume.img\" 0\n");
    app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(app::kImageVmdk, descriptor);
    notifier.shown.clear();
    entry_.m_byKind = sourceKind;
    volume::VOLUME_RECORD& volume = entry_.m_pDetail.makeVolume();
    volume.m_nSectorCount = sectors;
    volume.m_nLastSector = sectors;
    volume.m_byFileSystem = fileSystem;
    volume.m_byDrive = 0xFF;
    app.m_pSelectedSource = &entry_;
  }
  volume::VOLUME_RECORD& record() { return *entry_.m_pDetail.volume(); }
  void patch(std::uint64_t offset, std::span<const std::uint8_t> bytes) { dir_.putAt("volume.img", offset, bytes); }

  engine::ScanOutcome run(std::uint32_t scanKind, std::uint32_t scanType = 1) {
    app.m_nScanKind = scanKind;
    app.m_nScanType = scanType;
    app.m_bStopRequested = 0;
    notifier.shown.clear();
    tree = std::make_unique<results::CFileFolderTree>();
    log = std::make_unique<platform::TextLog>();
    return app::CScanProcess(app, *tree, progress, *log, notifier).run();
  }

  struct Found {
    std::string path;
    results::FoundItemRef item;
  };
  std::vector<Found> found() const {
    std::vector<Found> out;
    for (const auto i : tree->items()) out.push_back({platform::toUtf8(tree->pathOf(i)), i});
    return out;
  }
  // The item's content through the engine's own reader, as saving reads it.
  std::vector<std::uint8_t> read(const FOUND_ITEM& item, engine::ReadOutcome* outcome = nullptr) {
    std::vector<std::uint8_t> out;
    const auto result = app.currentEngine->readItem(item, [&](std::span<const std::uint8_t> piece) {
      out.insert(out.end(), piece.begin(), piece.end());
      return true;
    });
    if (outcome) *outcome = result;
    return out;
  }
  bool logged(const std::string& text) const {
    for (const auto& e : log->entries())
      if (platform::toUtf8(e) == text) return true;
    return false;
  }

  app::CQELDAApp app;
  qelda::test::RecordingNotifier notifier;
  platform::NullScanProgress progress;
  std::unique_ptr<platform::TextLog> log;
  std::unique_ptr<results::CFileFolderTree> tree;

 private:
  qelda::test::ImageDir dir_;
  volume::DEVICE_ENTRY entry_;
};

inline std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace qelda::fat::test
