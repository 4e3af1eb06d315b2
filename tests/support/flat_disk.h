// A disk of hand-placed sectors (or a raw disk of the corpus), mounted as the current source
// through a monolithicFlat descriptor beside it: the real mount step and partition walk run
// on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "support/image_dir.h"
#include "support/recording_notifier.h"
#include "volume/volume_records.h"

namespace qelda::test {

class FlatDisk {
 public:
  // A sparse disk of `sectors` zeros.
  explicit FlatDisk(std::uint64_t sectors) : sectors_(sectors) { dir_.truncate("disk.flat", sectors * 512); }
  // The raw disk at `path`, linked; no disk at all when there is no such file.
  explicit FlatDisk(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return;
    std::filesystem::create_symlink(path, dir_.file("disk.flat"), ec);
    sectors_ = std::filesystem::file_size(path, ec) / 512;
  }
  bool exists() const { return sectors_ != 0; }

  void put(std::uint64_t sector, std::span<const std::uint8_t> bytes) { dir_.put("disk.flat", sector, bytes); }
  app::MountOutcome mount() {
    const std::string descriptor =
        dir_.putText("disk.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " +
                                      std::to_string(sectors_) + " FLAT \"disk.flat\" 0\n");
    return app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(app::kImageVmdk, descriptor);
  }

  // The volumes of the source list, in its order.
  std::vector<const volume::VOLUME_RECORD*> volumes() const {
    std::vector<const volume::VOLUME_RECORD*> out;
    for (const volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext)
      if (e->m_pDetail.volume()) out.push_back(e->m_pDetail.volume());
    return out;
  }
  std::vector<std::uint64_t> starts() const {
    std::vector<std::uint64_t> out;
    for (const auto* v : volumes()) out.push_back(v->m_nStartSector);
    return out;
  }
  const volume::VOLUME_RECORD* volumeAt(std::uint64_t start) const {
    for (const auto* v : volumes())
      if (v->m_nStartSector == start) return v;
    return nullptr;
  }

  app::CQELDAApp app;
  RecordingNotifier notifier;

 private:
  ImageDir dir_;
  std::uint64_t sectors_ = 0;
};

}  // namespace qelda::test
