// What the engines read and write of the application state: the mounted disk with its
// selected source, and the run flags that the worker threads share without locks.
#pragma once

#include <atomic>
#include <cstdint>

#include "volume/disk_state.h"

namespace qelda::carve {
struct HEADER_RECORD;
}

namespace qelda::engine {

// Scan kinds kept in m_nScanKind.
inline constexpr std::uint32_t kScanRaw = 502;
inline constexpr std::uint32_t kScanQuick = 504;
inline constexpr std::uint32_t kScanDeleted = 505;
inline constexpr std::uint32_t kScanAdvanced = 506;
inline constexpr std::uint32_t kScanLostVolumes = 507;
inline constexpr std::uint32_t kScanFromScanInfo = 511;
inline constexpr std::uint32_t kScanQuickAgain = 517;
inline constexpr std::uint32_t kScanDeletedAgain = 518;
inline constexpr std::uint32_t kScanAdvancedAgain = 519;

// m_nAdvancedFileSystem: the user's choice for an advanced scan.
inline constexpr std::uint8_t kAdvancedFat = 1;
inline constexpr std::uint8_t kAdvancedNtfs = 2;
inline constexpr std::uint8_t kAdvancedExFat = 3;

class ScanState : public volume::DiskState {
 public:
  std::atomic<std::uint32_t> m_bStopRequested{0};
  std::atomic<std::uint32_t> m_bBusy{0};
  std::atomic<std::uint32_t> m_bHasResults{0};
  std::atomic<std::uint32_t> m_bSearchingCriticalInfo{0};
  std::atomic<std::uint32_t> m_bNoScanProgress{0};
  std::atomic<std::uint32_t> m_bTreeBuilding{0};
  std::atomic<std::uint8_t> m_bVolumeOpened{0};
  std::uint32_t m_nScanKind = 0;
  std::uint32_t m_nScanType = 1;  // 1 quick, 0 deep
  std::uint8_t m_nAdvancedFileSystem = 0;
  std::uint32_t m_nSetRaw = 1;
  // The sectors a raw scan of a whole disk or image covers, first and last inclusive; a last
  // sector past the disk's end stands for the disk's end.
  std::uint64_t m_nRawStartSector = 0;
  std::uint64_t m_nRawEndSector = UINT64_MAX;
  // Set: the raw scan covers the sectors of the selected volume, searched as a whole disk's
  // are (every sector, whatever the file system says of it).
  std::uint8_t m_bRawRangeFromVolume = 0;
  // The file types a raw scan looks for, linked through their m_pNext; owned by the
  // application, which chooses them from the catalogue.
  const carve::HEADER_RECORD* m_pSelectedHeaders = nullptr;

  bool stopRequested() const { return m_bStopRequested.load(std::memory_order_relaxed) != 0; }
};

}  // namespace qelda::engine
