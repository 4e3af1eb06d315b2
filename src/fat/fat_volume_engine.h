// The FAT engine as the rest of the program sees it.
#pragma once

#include <memory>

#include "engine/volume_engine.h"

namespace qelda::fat {

std::unique_ptr<engine::IVolumeEngine> createFatVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks);

}  // namespace qelda::fat
