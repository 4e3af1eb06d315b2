// The NTFS engine as the rest of the program sees it.
#pragma once

#include <memory>

#include "engine/volume_engine.h"

namespace qelda::ntfs {

std::unique_ptr<engine::IVolumeEngine> createNtfsVolumeEngine(engine::ScanState& state,
                                                              const engine::EngineSinks& sinks);

}  // namespace qelda::ntfs
