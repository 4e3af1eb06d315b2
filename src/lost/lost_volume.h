// The lost-volume dialog as the search sees it: it starts the search thread, learns when
// the search is done, and lists every volume the search adds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "lost/search_volume.h"

namespace qelda::lost {

class CLostVolume {
 public:
  CLostVolume(LostState& app, platform::IScanProgress& progress, platform::ILog& log, SearchHost host,
              CThreadForSearchVolume::Clock clock = {});
  ~CLostVolume();

  // 0: search the current source; 1: search the image file of the resume page.
  std::uint32_t m_nSourceKind = 0;
  std::atomic<std::uint32_t> m_bSearchDone{0};
  std::uint32_t m_nRowCount = 0;

  // Starts the search thread: deep when the scan type is "Deep" (0), quick otherwise.
  void OnInitDialog();
  // Waits until the search thread has finished.
  void waitForSearch();

  // A row for a volume a search found (entries of kinds 2, 3, 11 and 12 only).
  void AddVolumeRow(volume::DEVICE_ENTRY& entry, std::u16string_view text, std::uint8_t flag);

  // The entries of the rows, in the order they were added.
  const std::vector<const volume::DEVICE_ENTRY*>& rows() const { return rows_; }

 private:
  LostState& app_;
  platform::IScanProgress& progress_;
  platform::ILog& log_;
  SearchHost host_;
  CThreadForSearchVolume::Clock clock_;
  std::unique_ptr<CThreadForSearchVolume> thread_;
  std::vector<const volume::DEVICE_ENTRY*> rows_;
};

}  // namespace qelda::lost
