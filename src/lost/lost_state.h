// What the lost-volume search keeps in the application state beyond the run flags: the
// running number of found volumes, the marks it leaves for the rest of the program, and the
// image file it searches when it is not the mounted disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/scan_state.h"

namespace qelda::lost {

class LostState : public engine::ScanState {
 public:
  // Counts every volume any search in this run found; never reset, so a second search goes
  // on numbering where the first stopped.
  std::uint32_t m_nFoundVolumeCount = 0;
  // 0 once a search added a volume: the source list has something new to save.
  std::atomic<std::uint32_t> m_bPartitionScanSaved{0};
  std::atomic<std::uint32_t> m_bLostVolumesOnDisk{0};
  std::atomic<std::uint32_t> m_bLostVolumesInImage{0};
  std::atomic<std::uint8_t> m_byLostVolumeDrive{0};
  // The image file a search reads directly, as a flat run of sectors (native path).
  std::string m_strResumeFilePath;
};

}  // namespace qelda::lost
