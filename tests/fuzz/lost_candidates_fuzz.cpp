// Fuzz entry point for the lost-volume search's candidate checks: the bytes are a disk held
// in memory, mounted as an image is and searched quick and then deep. That runs every
// boot-sector test with its second structure and backups, the $MFT rebuild and the FAT
// rebuild from directory clusters on whatever the bytes hold.
//
// Built by the fuzz preset; run with -dict=tests/fuzz/lost_candidates.dict and the seeds in
// tests/fuzz/corpus/lost_candidates/.
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "fuzz/fuzz_support.h"
#include "lost/search_volume.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A disk of up to 4 MiB: room for volumes whose second structure lies well in.
  if (size > (std::size_t(4) << 20)) return 0;
  qelda::app::CQELDAApp app;
  if (!qelda::fuzz::mountMemory(app, qelda::fuzz::memoryDisk({data, size}))) return 0;
  qelda::platform::TextLog log{[] { return std::time_t(0); }};
  qelda::platform::NullScanProgress silent;
  for (const bool deep : {false, true}) {
    qelda::lost::CThreadForSearchVolume search(app, silent, log, {});
    search.m_nSearchKind = 0;  // the mounted disk, through its whole-disk entry
    search.m_bDeepSearch = deep ? 1 : 0;
    search.Run();
  }
  return 0;
}
