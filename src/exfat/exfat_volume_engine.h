// The exFAT engine as the rest of the program sees it.
#pragma once

#include <memory>

#include "engine/volume_engine.h"

namespace qelda::exfat {

std::unique_ptr<engine::IVolumeEngine> createExFatVolumeEngine(engine::ScanState& state,
                                                               const engine::EngineSinks& sinks);

}  // namespace qelda::exfat
