// An NTFS volume on a disk, the whole road: the partition walk lists it, the scan worker
// runs the NTFS engine's scans over it ($MFT from record 0 or its mirror, the folder index
// walk through resident roots and "INDX" blocks, attribute lists), and every file found is
// read back (runs, holes, compressed units). The input is the volume from its boot sector
// on; sectors its boot sector claims beyond the input read as zeros.
#include <cstdint>

#include "fs/ntfs_layout.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  const fuzz::Bytes volume(data, size);
  // The boot sector counts one sector less than the volume: the backup sits after it.
  const auto claimed = platform::ByteView(data, size).le64(qelda::fs::ntfs::layout::kBootTotalSectors);
  const std::uint64_t sectors = fuzz::volumeSectors(volume, claimed && *claimed < UINT64_MAX ? *claimed + 1 : 0);
  for (const fuzz::Scans scans : fuzz::scanChoices(size)) fuzz::scanVolumeOnDisk(volume, 0x07, sectors, 0, scans);
  return 0;
}
