// Fuzz entry point for the lost-volume search's candidate checks: the bytes are a disk
// image file, searched quick and then deep as the resume page's image file. That runs
// every boot-sector test with its second structure and backups, the $MFT rebuild and the
// FAT rebuild from directory clusters on whatever the bytes hold.
//
// Build (the search and the layers below it, instrumented), in one line:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc -Itests
//     tests/fuzz/lost_candidates_fuzz.cpp src/{platform,ui,fs,image,volume,engine,lost}/*.cpp
// Run with TMPDIR=/dev/shm and the seeds in tests/fuzz/corpus/lost_candidates/.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "lost/search_volume.h"
#include "platform/log.h"
#include "support/image_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A disk of up to 4 MiB: room for volumes whose second structure lies well in.
  if (size > (std::size_t(4) << 20)) return 0;
  qelda::test::ImageDir dir;
  const std::string path = dir.putAt("disk.img", 0, {data, size});
  if (path.empty()) return 0;
  qelda::lost::LostState state;
  state.m_strResumeFilePath = path;
  qelda::platform::TextLog log{[] { return std::time_t(0); }};
  qelda::platform::NullScanProgress silent;
  for (const bool deep : {false, true}) {
    qelda::lost::CThreadForSearchVolume search(state, silent, log, {});
    search.m_nSearchKind = 1;
    search.m_bDeepSearch = deep ? 1 : 0;
    search.Run();
  }
  return 0;
}
