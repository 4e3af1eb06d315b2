// Reads the data of a found file from the engine that found it, piece by piece, so that
// a file of any size passes through a bounded buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "platform/found_item.h"

namespace qelda::app {
class CQELDAApp;
}

namespace qelda::save {

enum class ReadOutcome : std::uint8_t {
  Complete,    // every byte up to the size was read
  Partial,     // some of it could not be read (delivered as zeros) or the data ends early
  Unreadable   // nothing of it could be found
};

// Takes the next piece of the file; false stops the read.
using ContentSink = std::function<bool(std::span<const std::uint8_t>)>;

// Reads `item` through the current engine (FAT, then NTFS, as code outside the engines
// picks it). Unreadable when no engine is set.
ReadOutcome readFoundFile(app::CQELDAApp& app, const FOUND_ITEM& item, const ContentSink& sink);

}  // namespace qelda::save
