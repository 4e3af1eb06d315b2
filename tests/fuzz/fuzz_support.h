// What the fuzz targets share: disks held in memory (no file is written per input), a scratch
// folder on /dev/shm kept for the whole process for what must be a file, and the road a
// user's image takes (mount, every volume, the scans, reading every found file) with sinks
// that keep nothing but the found tree.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "app/scan_worker.h"
#include "carve/header_catalogue.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"
#include "platform/byte_view.h"
#include "platform/found_item.h"
#include "platform/log.h"
#include "platform/read_only_file.h"
#include "platform/sinks.h"
#include "results/file_folder_tree.h"
#include "support/image_dir.h"
#include "volume/volume_records.h"

namespace qelda::fuzz {

using Bytes = std::span<const std::uint8_t>;

// One folder per process, made at the first run and reused by every later one; on tmpfs
// when the machine has it, so that writing the input costs no disk I/O.
inline test::ImageDir& scratch() {
  static test::ImageDir dir(::access("/dev/shm", W_OK) == 0 ? std::filesystem::path("/dev/shm")
                                                              : std::filesystem::temp_directory_path());
  return dir;
}

class NullNotifier final : public platform::IUserNotifier {
 public:
  void Show(std::u16string_view, std::uint32_t, std::uint32_t) override {}
};

// A found file is read as a user's save would read it, but no file read here needs more than
// this: past it the bytes are zeros of a size the image claims, which tells nothing new.
inline constexpr std::uint64_t kMaxReadPerItem = std::uint64_t(16) << 20;

// Reads every found item through the engine, dropping the bytes.
inline void readEveryItem(app::CQELDAApp& app, const results::CFileFolderTree& tree) {
  if (!app.currentEngine) return;
  for (const auto item : tree.items()) {
    if (item->isFolder()) continue;
    std::uint64_t taken = 0;
    app.currentEngine->readItem(*item, [&](std::span<const std::uint8_t> bytes) {
      taken += bytes.size();
      return taken < kMaxReadPerItem;
    });
  }
}

// Mounts `path` as an image of `imageType`; false when the mount step refused it.
inline bool mount(app::CQELDAApp& app, std::uint32_t imageType, const std::string& path) {
  NullNotifier notifier;
  app::CDataRecovery step(app, notifier);
  return step.OnBnClickedMountVirtualDisk(imageType, path) != app::MountOutcome::Invalid;
}

// Which scans an input runs. All of them on every input cost several milliseconds under the
// sanitizers, most of it the advanced scan's sweep; one scan an input, picked by the
// input's length (which the fuzzer keeps and mutates as it does the bytes), runs each several
// times as often, and one input in four still runs them all on one engine, one after
// another, as a user does.
enum class Scans : std::uint8_t { Quick, Deleted, Advanced, All };
inline Scans scansFor(std::size_t size) { return Scans(size / 3 % 4); }
// The scans an input is run with: under libFuzzer its own; in the replay of saved inputs its
// own and then all of them, on a new application each time, since the seeds were kept for
// what all the scans together reached.
inline std::vector<Scans> scanChoices(std::size_t size) {
#ifdef QELDA_FUZZ_REPLAY
  if (scansFor(size) != Scans::All) return {scansFor(size), Scans::All};
#endif
  return {scansFor(size)};
}

// Every volume of the mounted image through the scan worker's body, run on this thread:
// quick and deleted-files scans, then every file found read back. `linking` picks the FAT
// linking mode for the reads.
inline void scanEveryVolume(app::CQELDAApp& app, std::uint8_t linking, Scans scans = Scans::All) {
  NullNotifier notifier;
  platform::NullScanProgress progress;
  const auto runs = [scans](Scans one) { return scans == Scans::All || scans == one; };
  for (volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext) {
    if (!e->m_pDetail.volume()) continue;
    app.m_pSelectedSource = e;
    for (const auto& [kind, one] : {std::pair{app::kScanQuick, Scans::Quick}, std::pair{app::kScanDeleted, Scans::Deleted}}) {
      if (!runs(one)) continue;
      results::CFileFolderTree tree;
      platform::TextLog log([] { return std::time_t(0); });
      app.m_nScanKind = kind;
      app.m_nScanType = 1;  // the deleted-files scan's quick branch
      app::CScanProcess worker(app, tree, progress, log, notifier);
      worker.ScanThreadProc();
      if (worker.result().status != engine::ScanStatus::Done) continue;
      if (linking != 0) app::applyFatLinkingMode(app, linking);
      readEveryItem(app, tree);
    }
    if (!runs(Scans::Advanced)) continue;
    // The advanced scan of the volume's own file system, which also searches every catalogued
    // type by its signature (the NTFS deep search over free clusters, the FAT sweep).
    results::CFileFolderTree tree;
    platform::TextLog log([] { return std::time_t(0); });
    app.m_nScanKind = app::kScanAdvanced;
    app.m_nAdvancedFileSystem = 0;
    app.m_nSetRaw = 0;
    if (app.selectedHeaders.empty())
      for (const carve::HEADER_RECORD& r : carve::defaultHeaderCatalogue()) app.selectedHeaders.append(r);
    app.m_pSelectedHeaders = app.selectedHeaders.head();
    app::CScanProcess worker(app, tree, progress, log, notifier);
    worker.ScanThreadProc();
    app.m_nSetRaw = 1;
    if (worker.result().status == engine::ScanStatus::Done) readEveryItem(app, tree);
  }
  app.FreeEngines();
}

// Sectors a volume handed to an engine has: what the input holds, or more when its boot
// sector claims more (the rest reads as zeros), within a bound that keeps a run short. What
// the engines allocate and sweep grows with the volume, and a buffer past 128 KiB is fresh
// pages at every run (the sanitizers' allocator maps and unmaps it): so most inputs get up to
// 128 KiB, and one in eight, picked by its length, up to 4 MiB, which shows whether the
// engines' work follows the claim or the bytes.
inline constexpr std::uint64_t kShortVolumeSectors = std::uint64_t(1) << 8;  // 128 KiB
inline constexpr std::uint64_t kMaxVolumeSectors = std::uint64_t(1) << 13;   // 4 MiB
inline std::uint64_t volumeSectors(Bytes volume, std::uint64_t claimed) {
  const std::uint64_t held = (volume.size() + 511) / 512;
  const std::uint64_t bound = volume.size() / 12 % 8 == 0 ? kMaxVolumeSectors : kShortVolumeSectors;
  return std::max<std::uint64_t>({held, std::min(claimed, bound), 1});
}

// A disk held in memory, as the mount step publishes a flat VMDK's: `pieces` one after
// another from sector 0, each a run of `sectors` whose first bytes are `bytes` and whose rest
// reads as zeros. Nothing is copied: the bytes must outlive the snapshot.
struct MemoryPiece {
  Bytes bytes;
  std::uint64_t sectors = 0;
};
inline std::shared_ptr<const image::MountedImage> memoryDisk(std::initializer_list<MemoryPiece> pieces) {
  auto image = std::make_shared<image::MountedImage>();
  image->layout = image::ImageLayout::VmdkExtents;
  for (const MemoryPiece& piece : pieces) {
    image::MountedExtent extent;
    extent.firstSector = image->diskSectors;
    extent.sectors = piece.sectors;
    extent.file = std::make_shared<const platform::ReadOnlyFile>(platform::ReadOnlyFile::overMemory(piece.bytes, piece.sectors * 512));
    image->extents.push_back(std::move(extent));
    image->diskSectors += piece.sectors;
  }
  return image;
}

// The bytes as a whole disk, its last sector padded with zeros.
inline std::shared_ptr<const image::MountedImage> memoryDisk(Bytes bytes) {
  return memoryDisk({{bytes, (bytes.size() + 511) / 512}});
}

// Mounts a disk held in memory through the partition walk; false when the mount refused it.
inline bool mountMemory(app::CQELDAApp& app, std::shared_ptr<const image::MountedImage> image) {
  NullNotifier notifier;
  return app::CDataRecovery(app, notifier).mountSnapshot(std::move(image)) != app::MountOutcome::Invalid;
}

// A disk holding `volume` as the one primary partition of type `type` at sector 2048, held in
// memory; the volume scanned and every found file read.
inline void scanVolumeOnDisk(Bytes volume, std::uint8_t type, std::uint64_t sectors, std::uint8_t linking,
                             Scans scans = Scans::All) {
  constexpr std::uint64_t kStart = 2048;
  std::array<std::uint8_t, 512> mbr{};
  std::uint8_t* entry = &mbr[446];
  entry[4] = type;
  platform::putLe32(entry + 8, std::uint32_t(kStart));
  platform::putLe32(entry + 12, std::uint32_t(sectors));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  app::CQELDAApp app;
  if (!mountMemory(app, memoryDisk({{mbr, kStart}, {volume, sectors}}))) return;
  scanEveryVolume(app, linking, scans);
}

// Reads sectors all over the mounted disk through the one reading door: its start, its end,
// and places between, in reads of several sizes.
inline void readAcrossDisk(const app::CQELDAApp& app) {
  const auto image = app.mountedImage();
  const std::uint64_t sectors = app.m_nDiskSectors;
  // One buffer for every run of the process: what a read leaves in it is never looked at.
  static std::vector<std::uint8_t> buffer(64 * 1024);
  const auto read = [&](std::uint64_t sector, std::uint32_t bytes) {
    image::ReadSourceSectors(image.get(), buffer.data(), sector, bytes);
  };
  read(0, 64 * 1024);
  for (std::uint64_t i = 1; i < 16; ++i) read(sectors / 16 * i, i % 2 ? 512 : 64 * 1024);
  if (sectors > 0) read(sectors - 1, 512);
  read(sectors, 512);
}

// The bytes as an image file of `imageType` named `fileName`, the one file of its folder,
// held in memory: through the mount step, then read all over.
inline void mountAndReadImage(Bytes image, std::uint32_t imageType, const std::string& fileName) {
  const std::string path = "/fuzz/" + fileName;
  app::CQELDAApp app;
  app.imageFiles.holdInMemory(path, image);
  if (mount(app, imageType, path)) readAcrossDisk(app);
}

}  // namespace qelda::fuzz
