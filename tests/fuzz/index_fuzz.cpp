// Directory index entries: as an $INDEX_ROOT holds them inside a record (bounded by the
// attribute and by the record's entry limit), and as an "INDX" block holds them after its
// update sequence is applied, at every block size an index may have.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fs/index_entry.h"
#include "fs/ntfs_layout.h"
#include "platform/byte_view.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  const platform::ByteView input(data, size);

  // Resident: entries from the start of the input, and from its second half, within a record.
  const std::size_t record = std::min<std::size_t>(size, qelda::fs::ntfs::layout::kRecordSize);
  qelda::fs::ntfs::parseIndexEntries(input, 0, size, size);
  qelda::fs::ntfs::parseIndexEntries(input, record / 2, record, qelda::fs::ntfs::layout::kRecordEntryLimit);

  // A block the size of the input rounded up to a power of two, as the index's own size.
  std::size_t blockSize = 512;
  while (blockSize < size && blockSize < 65536) blockSize *= 2;
  std::vector<std::uint8_t> block(blockSize, 0);
  std::copy_n(data, std::min(size, blockSize), block.begin());
  // The fixed-up block as the walk reads it; a block whose fixup fails is parsed as it lies.
  qelda::fs::ntfs::applyIndexBlockFixup(block);
  qelda::fs::ntfs::parseIndexBlock(platform::ByteView(block));
  return 0;
}
