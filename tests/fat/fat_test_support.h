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
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "fat/fat_engine.h"
#include "platform/found_item.h"
#include "platform/sinks.h"
#include "platform/text.h"
#include "support/image_dir.h"
#include "support/recording_notifier.h"
#include "support/test_images.h"

namespace qelda::fat::test {

struct FoundEntry {
  FOUND_ITEM item;
  std::u16string name;
};

class RecordingSink final : public platform::IFoundItemSink {
 public:
  void ResetFoundTree() override { ++resets; }
  FOUND_ITEM* AddFoundItem(const FOUND_ITEM& item, std::u16string_view name) override {
    items.push_back({item, std::u16string(name)});
    return &items.back().item;
  }
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
    auto e = std::make_unique<CFatEngine>(app_, log_, notifier_);
    e->m_pConsole = &sink_;
    e->m_pScanDlg = &progress_;
    FatVolumeSource source;
    source.sectorCount = sectors_;
    e->initializeVolume(0, source);
    return e;
  }
  // Reads an item's data as saving does: its cluster list, cut at its size.
  static std::vector<std::uint8_t> readItem(CFatEngine& e, const FOUND_ITEM& item, std::uint32_t mode) {
    std::uint32_t byteCount = 0;
    const auto clusters = e.GetClusterList(std::uint32_t(item.m_nRecordKey), item.m_nSize, mode, byteCount);
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> cluster(std::size_t(e.m_nSectorsPerCluster) * 512);
    for (const auto c : clusters) {
      e.ReadClusterSectors(c, 0, cluster.data(), e.m_nSectorsPerCluster);
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

// The volumes, made once by the image script (a CTest fixture runs it; a test binary run
// on its own makes them here). Empty when the script could not run.
inline std::string fatImages() {
  static const std::string dir = [] {
    const std::string out = qelda::test::testImagesDir() + "-fat";
    if (!std::filesystem::exists(out + "/.fat_images_stamp")) {
      const auto script = std::filesystem::path(__FILE__).parent_path() / "make_fat_images.sh";
      const std::string cmd = "bash '" + script.string() + "' '" + out + "'";
      if (std::system(cmd.c_str()) != 0) return std::string();
    }
    return out;
  }();
  return dir;
}

inline std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace qelda::fat::test
