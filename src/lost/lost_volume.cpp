#include "lost/lost_volume.h"

#include "volume/volume_records.h"

namespace qelda::lost {

CLostVolume::CLostVolume(LostState& app, platform::IScanProgress& progress, platform::ILog& log, SearchHost host,
                         CThreadForSearchVolume::Clock clock)
    : app_(app), progress_(progress), log_(log), host_(std::move(host)), clock_(std::move(clock)) {}

CLostVolume::~CLostVolume() { waitForSearch(); }

void CLostVolume::OnInitDialog() {
  waitForSearch();
  m_bSearchDone = 0;
  thread_ = std::make_unique<CThreadForSearchVolume>(app_, progress_, log_, host_, clock_);
  thread_->m_nSearchKind = std::uint8_t(m_nSourceKind);
  thread_->m_bDeepSearch = app_.m_nScanType == 0 ? 1 : 0;
  thread_->m_pDialog = this;
  thread_->start();
}

void CLostVolume::waitForSearch() {
  if (thread_) thread_->join();
}

void CLostVolume::AddVolumeRow(volume::DEVICE_ENTRY& entry, std::u16string_view, std::uint8_t flag) {
  switch (entry.m_byKind) {
    case kKindFoundOnDisk:
    case kKindRebuiltOnDisk:
      app_.m_bLostVolumesOnDisk = 1;
      break;
    case kKindFoundInImage:
    case kKindRebuiltInImage:
      app_.m_bLostVolumesInImage = 1;
      break;
    default:
      return;
  }
  // The high nibble marks a row of the found-volume list; the low nibble is the entry's own.
  entry.m_byRowState = std::uint8_t(0x10 | (entry.m_byRowState & 0x0F));
  rows_.push_back(&entry);
  ++m_nRowCount;
  app_.m_byLostVolumeDrive = flag;
}

}  // namespace qelda::lost
