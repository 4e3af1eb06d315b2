#include "app/qelda_app.h"

namespace qelda::app {

CQELDAApp::~CQELDAApp() { FreeEngines(); }

void CQELDAApp::OnOperationFinished() {
  m_bBusy = 0;
  m_bStopRequested = 0;
  // The first report of a scan also counts the root, so any find leaves a count above 0.
  m_bHasResults = currentEngine && currentEngine->foundCount() != 0 ? 1 : 0;
}

void CQELDAApp::FreeEngines() {
  if (currentEngine) currentEngine->FreeAll();
  currentEngine.reset();
}

}  // namespace qelda::app
