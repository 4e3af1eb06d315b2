// What the NTFS tests share: the volumes made by mkntfs and ntfs-3g, the listings The Sleuth
// Kit gives of them, a mounted engine over a volume file, and a partitioned disk built
// around a (possibly damaged) copy of a volume so that the scan worker finds it as a source.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/scan_worker.h"
#include "ntfs/ntfs_engine.h"
#include "platform/byte_view.h"
#include "platform/log.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "support/image_dir.h"
#include "support/recording_notifier.h"

namespace qelda::ntfs::test {

namespace fs = std::filesystem;

inline std::string ntfsImagesDir() {
  if (const char* env = std::getenv("QELDA_NTFS_IMAGES")) return env;
  return QELDA_NTFS_IMAGES;
}

// Makes the volumes once per test program (the script returns at once when its stamp matches).
inline bool imagesReady() {
  static const bool ready = [] {
    const std::string command =
        std::string("bash '") + QELDA_NTFS_IMAGE_SCRIPT + "' '" + ntfsImagesDir() + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }();
  return ready;
}

inline std::string run(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

inline std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> f;
  std::stringstream ss(line);
  std::string field;
  while (std::getline(ss, field, '\t')) f.push_back(field);
  return f;
}

// One line per user file or folder: "d path" or "f path size".
using Listing = std::set<std::string>;

inline bool isSystemPath(const std::string& path) { return path.empty() || path[0] == '$'; }

// The user items of `fls -r -p -u -l` output, each as "d path" or "f path size" beside its
// record number (as text).
inline std::vector<std::pair<std::string, std::string>> flsEntries(const std::string& flsPath) {
  std::vector<std::pair<std::string, std::string>> out;
  std::ifstream in(flsPath);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = splitTabs(line);
    if (f.size() < 7) continue;
    const std::string& path = f[1];
    // Named streams are not items of their own.
    if (isSystemPath(path) || path.find(':') != std::string::npos) continue;
    const bool folder = f[0].rfind("d/d", 0) == 0;
    // "r/r 82-128-2:", or "-/r * 79-128-2:" for a deleted entry.
    const std::size_t number = f[0].find_first_of("0123456789", 3);
    const std::string record = number == std::string::npos ? path : f[0].substr(number, f[0].find('-', number) - number);
    out.emplace_back(record, folder ? "d " + path : "f " + path + " " + f[6]);
  }
  return out;
}

// `fls -r -p -u -l` output as a listing of the live user items.
inline Listing flsListing(const std::string& flsPath) {
  Listing out;
  for (auto& [record, entry] : flsEntries(flsPath)) out.insert(std::move(entry));
  return out;
}

// The entries of an `fls -r -p -u -l` listing (as flsListing gives them) that `got` lacks. A
// record with several names (hard links) counts as listed when one of them is: a scan that
// reads records rather than folder indexes finds it once.
inline std::vector<std::string> missingByRecord(const std::string& flsPath, const Listing& got) {
  std::map<std::string, std::vector<std::string>> namesOfRecord;
  for (auto& [record, entry] : flsEntries(flsPath)) namesOfRecord[record].push_back(std::move(entry));
  std::vector<std::string> missing;
  for (const auto& [record, names] : namesOfRecord) {
    if (std::any_of(names.begin(), names.end(), [&got](const std::string& n) { return got.count(n) != 0; })) continue;
    missing.insert(missing.end(), names.begin(), names.end());
  }
  return missing;
}

// The record number of a path in an `fls -r -p` listing.
inline std::uint32_t flsRecordOf(const std::string& flsPath, const std::string& wanted) {
  std::ifstream in(flsPath);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = splitTabs(line);
    if (f.size() < 2 || f[1] != wanted) continue;
    // "r/r 82-128-2:", or "-/r * 79-128-2:" for a deleted entry.
    const std::size_t number = f[0].find_first_of("0123456789", 3);
    return number == std::string::npos ? 0 : std::uint32_t(std::stoul(f[0].substr(number)));
  }
  return 0;
}

inline Listing engineListing(const results::CFileFolderTree& tree) {
  Listing out;
  for (const auto i : tree.items()) {
    const std::string path = platform::toUtf8(tree.pathOf(i));
    if (isSystemPath(path)) continue;
    out.insert(i->isFolder() ? "d " + path : "f " + path + " " + std::to_string(i->m_nSize));
  }
  return out;
}

inline std::string difference(const Listing& a, const Listing& b) {
  std::string out;
  int shown = 0;
  for (const auto& s : a)
    if (!b.count(s) && shown++ < 20) out += "  " + s + "\n";
  return out;
}

class RecordingLog final : public platform::ILog {
 public:
  void AddLogEntry(std::u16string text, bool) override { lines.push_back(platform::toUtf8(text)); }
  std::vector<std::string> lines;
};

// A mounted volume with an engine over it.
struct MountedVolume {
  app::CQELDAApp app;
  qelda::test::RecordingNotifier notifier;
  results::CFileFolderTree tree;
  RecordingLog log;
  std::unique_ptr<CNtfsEngine> engine;

  bool mount(const std::string& vmdk, const std::string& volumeFile, platform::IFoundItemSink* sink = nullptr) {
    if (app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(app::kImageVmdk, vmdk) !=
        app::MountOutcome::Mounted)
      return false;
    engine = std::make_unique<CNtfsEngine>(app, sink ? sink : &tree, nullptr, &log);
    VolumeGeometry g;
    g.startSector = 0;
    g.sectorCount = fs::file_size(volumeFile) / 512;
    engine->initializeVolume(g, 0);
    return true;
  }
};

// A copy of one of the made volumes in a private folder, to damage at will, and a disk
// around it: an MBR naming it as partition 1 at sector 2048, then the volume, then a tail
// of 'X' bytes that no read of the volume may ever return.
class VolumeCopy {
 public:
  static constexpr std::uint64_t kVolumeStart = 2048;
  static constexpr std::uint64_t kTailSectors = 2048;

  explicit VolumeCopy(const std::string& source) {
    fs::copy_file(source, dir_.file("ntfs.img"));
    sectors_ = fs::file_size(source) / 512;
  }
  std::string volume() const { return dir_.file("ntfs.img"); }
  std::uint64_t sectors() const { return sectors_; }

  void patch(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) { dir_.putAt("ntfs.img", offset, bytes); }
  // Writes a fixed-up record back in its on-disk form: each sector's last word into the
  // update sequence array, the sequence number in its place.
  void patchRecord(std::uint64_t offset, std::vector<std::uint8_t> record) {
    const std::size_t usa = platform::ByteView(record).le16(0x04).value_or(0x30);
    for (std::size_t k = 0; k < 2; ++k) {
      record[usa + 2 + 2 * k] = record[k * 512 + 510];
      record[usa + 3 + 2 * k] = record[k * 512 + 511];
      record[k * 512 + 510] = record[usa];
      record[k * 512 + 511] = record[usa + 1];
    }
    patch(offset, record);
  }
  std::vector<std::uint8_t> bytesAt(std::uint64_t offset, std::size_t count) const {
    std::vector<std::uint8_t> out(count);
    std::ifstream in(volume(), std::ios::binary);
    in.seekg(std::streamoff(offset));
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(count));
    return out;
  }

  // The bare volume as an image of its own.
  std::string volumeImage() {
    dir_.putText("volume.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " + std::to_string(sectors_) +
                                    " FLAT \"ntfs.img\" 0\n");
    return dir_.file("volume.vmdk");
  }

  // The partitioned disk as a flat VMDK of three extents.
  std::string diskImage() {
    std::vector<std::uint8_t> mbr(512, 0);
    std::uint8_t* e = &mbr[0x1BE];
    e[4] = 0x07;
    platform::putLe32(e + 8, std::uint32_t(kVolumeStart));
    platform::putLe32(e + 12, std::uint32_t(sectors_));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    dir_.putAt("mbr.bin", 0, mbr);
    dir_.truncate("mbr.bin", kVolumeStart * 512);
    dir_.putAt("tail.bin", 0, std::vector<std::uint8_t>(kTailSectors * 512, 'X'));
    dir_.putText("disk.vmdk", "# Disk DescriptorFile\ncreateType=\"twoGbMaxExtentFlat\"\n"
                              "RW " + std::to_string(kVolumeStart) + " FLAT \"mbr.bin\" 0\n"
                              "RW " + std::to_string(sectors_) + " FLAT \"ntfs.img\" 0\n"
                              "RW " + std::to_string(kTailSectors) + " FLAT \"tail.bin\" 0\n");
    return dir_.file("disk.vmdk");
  }

 private:
  qelda::test::ImageDir dir_;
  std::uint64_t sectors_ = 0;
};

// The scan worker over the disk of a VolumeCopy: mounts it, selects the NTFS volume and runs
// one scan kind, keeping the found tree and the engine for reads.
struct DiskScan {
  app::CQELDAApp app;
  qelda::test::RecordingNotifier notifier;
  platform::NullScanProgress progress;
  platform::TextLog log;
  std::unique_ptr<results::CFileFolderTree> tree;

  // A VMDK, or a VDI or VHD by its name's ending.
  bool mount(const std::string& disk) {
    const std::uint32_t type = disk.ends_with(".vdi") ? image::kImageVdi
                               : disk.ends_with(".vhd") ? image::kImageVhd
                                                        : image::kImageVmdk;
    return app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(type, disk) == app::MountOutcome::Mounted;
  }
  // The first source entry that carries a volume record of an NTFS volume.
  volume::DEVICE_ENTRY* ntfsSource() {
    for (volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext) {
      const volume::VOLUME_RECORD* v = volume::DEVICE_ENTRY::carriesDriveRecord(e->m_byKind) ? nullptr : e->m_pDetail.volume();
      if (v && v->m_szFileSystem == u"NTFS") return e;
    }
    return nullptr;
  }
  // The entry of the partition that starts at `start`, whatever its file system (a volume
  // whose boot sectors are gone is not known as NTFS).
  volume::DEVICE_ENTRY* partitionAt(std::uint64_t start) {
    for (volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext) {
      const volume::VOLUME_RECORD* v = volume::DEVICE_ENTRY::carriesDriveRecord(e->m_byKind) ? nullptr : e->m_pDetail.volume();
      if (v && v->m_nStartSector == start) return e;
    }
    return nullptr;
  }
  engine::ScanOutcome scan(std::uint32_t kind) { return scan(kind, ntfsSource()); }
  engine::ScanOutcome scan(std::uint32_t kind, volume::DEVICE_ENTRY* source) {
    app.m_pSelectedSource = source;
    app.m_nScanKind = kind;
    tree = std::make_unique<results::CFileFolderTree>();
    app::CScanProcess worker(app, *tree, progress, log, notifier);
    return worker.run();
  }
  // Loads saved scan information instead of scanning, as `qelda resume` does.
  engine::ScanOutcome resume(const std::string& scanInfo) {
    app.m_nScanKind = app::kScanFromScanInfo;
    tree = std::make_unique<results::CFileFolderTree>();
    app::CScanProcess worker(app, *tree, progress, log, notifier);
    worker.setScanInfoPath(scanInfo);
    return worker.run();
  }
  results::FoundItemRef find(const std::string& path) const {
    for (const auto i : tree->items())
      if (platform::toUtf8(tree->pathOf(i)) == path) return i;
    return nullptr;
  }
  // The item's bytes through the engine the worker left, and how the read ended.
  engine::ReadOutcome read(const FOUND_ITEM& item, std::string& out) {
    out.clear();
    return app.currentEngine->readItem(item, [&out](std::span<const std::uint8_t> bytes) {
      out.append(bytes.begin(), bytes.end());
      return true;
    });
  }
};

}  // namespace qelda::ntfs::test
