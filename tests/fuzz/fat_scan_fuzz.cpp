// A FAT volume on a disk, the whole road: the partition walk lists it, the scan worker runs
// the FAT engine's quick and deleted-files scans (boot sector or its backup, the FAT copies
// compared, the directory walk with long names, the deleted entries and their clusters),
// and every file found is read back under one of the three linking modes. The input is the
// volume from its boot sector on; sectors its boot sector claims beyond the input read as
// zeros.
#include <cstdint>

#include "fs/fat_layout.h"
#include "fs/partition_boot.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  const platform::ByteView boot(data, size);
  const std::uint64_t claimed = std::max<std::uint64_t>(boot.le16(qelda::fs::fat::boot::kTotalSectors16).value_or(0),
                                                        boot.le32(qelda::fs::fat::boot::kTotalSectors32).value_or(0));
  const fuzz::Bytes volume(data, size);
  // The partition type a formatter writes for what the boot sector says it is.
  const std::uint8_t type = std::uint8_t(qelda::fs::volumeTypeFromBootSector(boot).value_or(qelda::fs::kTypeFat16));
  // Which FAT copy (or none) the files are read through: any of the three, by the length.
  const std::uint8_t linking = std::uint8_t(size % 3);
  for (const fuzz::Scans scans : fuzz::scanChoices(size))
    fuzz::scanVolumeOnDisk(volume, type, fuzz::volumeSectors(volume, claimed), linking, scans);
  return 0;
}
