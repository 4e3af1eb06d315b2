#include "save/found_file_reader.h"

namespace qelda::save {

ReadOutcome readFoundFile(engine::IVolumeEngine* engine, const FOUND_ITEM& item, const ContentSink& sink) {
  return engine ? engine->readItem(item, sink) : ReadOutcome::Unreadable;
}

}  // namespace qelda::save
