#include "app/lost_search.h"

#include "lost/lost_volume.h"

namespace qelda::app {

std::vector<const volume::DEVICE_ENTRY*> runLostVolumeSearch(CQELDAApp& app, bool deep, bool imageFile,
                                                           platform::IScanProgress& progress, platform::TextLog& log) {
  // The dialog reads the scan type the options panel holds; the scan's own choice comes back.
  const std::uint32_t scanType = app.m_nScanType;
  app.m_nScanType = deep ? 0 : 1;
  lost::SearchHost host;
  host.releaseEngine = [&app] { app.FreeEngines(); };
  host.onOperationFinished = [&app] { app.OnOperationFinished(); };
  lost::CLostVolume dialog(app, progress, log, host);
  dialog.m_nSourceKind = imageFile ? 1 : 0;
  dialog.OnInitDialog();
  dialog.waitForSearch();
  app.m_nScanType = scanType;
  return dialog.rows();
}

}  // namespace qelda::app
