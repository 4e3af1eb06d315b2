// The application object: every layer's state in one, and the current engine.
#pragma once

#include <memory>

#include "carve/header_record.h"
#include "engine/scan_state.h"
#include "engine/volume_engine.h"
#include "lost/lost_state.h"

namespace qelda::app {

using image::kImageVdi;
using image::kImageVhd;
using image::kImageVmdk;

// The application's state: the mounted image, its volumes and sources, the run flags, and
// the one current engine. Each layer below is handed only the part of it that it owns.
class CQELDAApp : public lost::LostState {
 public:
  CQELDAApp() = default;
  CQELDAApp(const CQELDAApp&) = delete;
  CQELDAApp& operator=(const CQELDAApp&) = delete;
  ~CQELDAApp();

  // The current engine: replaced at every scan, kept afterwards for reading found files.
  std::unique_ptr<engine::IVolumeEngine> currentEngine;

  // The copies of the catalogue records chosen for a raw scan; m_pSelectedHeaders links them.
  carve::SelectedHeaders selectedHeaders;

  // The end of a scan or search: the run flags drop, and the results flag tells whether
  // the engine left holds anything found.
  void OnOperationFinished();
  // Releases the current engine (its FreeAll, then the object).
  void FreeEngines();
};

}  // namespace qelda::app
