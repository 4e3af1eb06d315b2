// The lost-volume dialog's road through the application: the search runs on its own
// thread while the caller waits, and the volumes it finds stay in the source list.
#pragma once

#include <vector>

#include "app/qelda_app.h"
#include "platform/log.h"
#include "platform/sinks.h"

namespace qelda::app {

// Searches the mounted disk, or with `imageFile` the file named by m_strResumeFilePath;
// deep or quick. Returns the entries the search added, in the order it found them.
std::vector<const volume::DEVICE_ENTRY*> runLostVolumeSearch(CQELDAApp& app, bool deep, bool imageFile,
                                                           platform::IScanProgress& progress, platform::TextLog& log);

}  // namespace qelda::app
