// Reads the data of a found file from the engine that found it, piece by piece, so that
// a file of any size passes through a bounded buffer.
#pragma once

#include "engine/volume_engine.h"
#include "platform/found_item.h"

namespace qelda::save {

using engine::ContentSink;
using engine::ReadOutcome;

// Reads `item` through `engine`; Unreadable when there is no engine.
ReadOutcome readFoundFile(engine::IVolumeEngine* engine, const FOUND_ITEM& item, const ContentSink& sink);

}  // namespace qelda::save
