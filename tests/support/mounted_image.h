// Hand-made images mounted through the real mount step, and their sectors read back through
// the sector-read entry point.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "image/virtual_disk.h"
#include "support/recording_notifier.h"

namespace qelda::test {

struct Mounted {
  app::MountOutcome outcome;
  std::vector<std::u16string> shown;  // what the user was told
};

// Mounts `path` as `type` (by default the type its extension names).
inline Mounted mountImage(app::CQELDAApp& app, const std::string& path, std::uint32_t type = 0) {
  RecordingNotifier notifier;
  const auto outcome = app::CDataRecovery(app, notifier)
                           .OnBnClickedMountVirtualDisk(type ? type : app::imageTypeFromPath(path), path);
  return {outcome, notifier.shown};
}

struct SectorRead {
  std::vector<std::uint8_t> bytes;
  std::uint32_t result = 0;
  std::uint64_t failed = 0;  // sectors that could not be read
};

// Reads `count` sectors at `first` into a buffer filled with 0xEE beforehand.
inline SectorRead readSectors(const app::CQELDAApp& app, std::uint64_t first, std::uint64_t count) {
  SectorRead r;
  r.bytes.assign(count * 512, 0xEE);
  image::ReadReport report;
  r.result = image::ReadSourceSectors(app, r.bytes.data(), first, std::uint32_t(r.bytes.size()), &report);
  r.failed = report.failedSectors;
  return r;
}

inline bool allZero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Little- and big-endian fields of `bytes` width at `p`.
inline void putLe(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void putBe(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = std::uint8_t(v >> (8 * (bytes - 1 - i)));
}

}  // namespace qelda::test
