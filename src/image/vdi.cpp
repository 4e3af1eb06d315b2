// VDI images: recognition at mount, and the block map loaded once per mount.
#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "image/block_map_entries.h"
#include "image/image_state.h"
#include "image/mounted_image.h"
#include "image/vdi_layout.h"
#include "image/virtual_disk.h"
#include "platform/byte_view.h"
#include "platform/parsed.h"
#include "platform/text.h"

namespace qelda::image {
namespace {

using blockmap::kSector;

struct VdiHeader {
  std::uint32_t imageType = 0;
  std::string parentUuid;  // a differencing image's parent, as text; empty when not given
  std::uint64_t blockMapOffset = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t diskBytes = 0;
  std::uint64_t blockBytes = 0;
  std::uint64_t blockCount = 0;
};

// A UUID as VirtualBox writes it: its first three fields little-endian. Empty when all zeros.
std::string uuidText(platform::ByteView h, std::size_t at) {
  std::array<std::uint8_t, 16> b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = h.u8(at + i).value_or(0);
  if (std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; })) return {};
  static constexpr std::array<std::uint8_t, 16> kOrder = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text;
  for (std::size_t i = 0; i < kOrder.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    static constexpr char kHex[] = "0123456789abcdef";
    text += kHex[b[kOrder[i]] >> 4];
    text += kHex[b[kOrder[i]] & 15];
  }
  return text;
}

// A VDI is known by its signature and a header that makes sense; the text in front of
// it differs between writers and is not looked at.
platform::Parsed<VdiHeader> parseVdiHeader(platform::ByteView h) {
  if (h.le32(vdi::kSignature) != vdi::kSignatureValue) return platform::ParseError::NotThisFormat;
  if (h.le16(vdi::kVersionMajor) != 1) return platform::ParseError::NotThisFormat;
  const auto headerSize = h.le32(vdi::kHeaderSize);
  if (!headerSize || *headerSize < vdi::kMinHeaderSize) return platform::ParseError::Truncated;
  VdiHeader v;
  v.imageType = h.le32(vdi::kImageType).value_or(0);
  v.blockMapOffset = h.le32(vdi::kBlockMapOffset).value_or(0);
  v.dataOffset = h.le32(vdi::kDataOffset).value_or(0);
  v.diskBytes = h.le64(vdi::kDiskSize).value_or(0);
  v.blockBytes = h.le32(vdi::kBlockSize).value_or(0);
  v.blockCount = h.le32(vdi::kBlocksInDisk).value_or(0);
  if (!blockmap::validBlockSize(v.blockBytes)) return platform::ParseError::OutOfRange;
  if (*headerSize >= vdi::kParentUuid + 16 - vdi::kHeaderSize) v.parentUuid = uuidText(h, vdi::kParentUuid);
  // Metadata in front of every block would shift all data; no writer we know adds any.
  if (h.le32(vdi::kBlockExtra).value_or(1) != 0) return platform::ParseError::OutOfRange;
  return v;
}

}  // namespace

// --- mount-time recognition ----------------------------------------------------------------

std::uint32_t CVirtualDisk::OpenVdi(const std::string& path) {
  app_.m_nVdiImageType = 0;
  g_VdiHeader.fill(0);
  const auto file = app_.imageFiles.open(path);
  if (!file || !file->readExact(0, g_VdiHeader)) return 0;
  const auto header = parseVdiHeader(platform::ByteView(g_VdiHeader));
  if (!header) return 0;
  app_.m_nVdiImageType = header->imageType;
  return 1;
}

std::uint32_t CVirtualDisk::ReadVdiSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
  if (app_.m_nImageType != kImageVdi) return 0;
  return ReadSectors(sector, buffer, count, nullptr);
}

// --- the snapshot's part -------------------------------------------------------------------

namespace {

bool holdsData(std::uint32_t entry) { return entry != vdi::kBlockFree && entry != vdi::kBlockZero; }

// Data block numbers one pass over the map tells apart: a bit each, 32 MiB at the most. A map
// naming data blocks further apart takes a pass for each window its entries fall in.
constexpr std::uint64_t kWindowBlocks = std::uint64_t(1) << 28;

// Marks in map.repeated every block among the first `blocks` whose entry names a data block
// an earlier block already names. Memory stays a bit per block and a bounded window of data
// block numbers, whatever the entries name; each window's pass also finds where the next
// one starts, so windows no entry falls in cost nothing.
void markRepeatedBlocks(VdiBlockMap& map, std::uint64_t blocks) {
  const std::uint32_t* entries = map.entries.data();
  std::uint64_t lowest = UINT64_MAX;
  std::uint64_t highest = 0;
  for (std::uint64_t b = 0; b < blocks; ++b) {
    if (!holdsData(entries[b])) continue;
    lowest = std::min<std::uint64_t>(lowest, entries[b]);
    highest = std::max<std::uint64_t>(highest, entries[b]);
  }
  BlockBits seen;
  bool anyRepeated = false;
  while (lowest <= highest) {
    const std::uint64_t end = lowest + std::min(kWindowBlocks, highest - lowest + 1);
    seen.clear(end - lowest);
    std::uint64_t next = UINT64_MAX;
    for (std::uint64_t b = 0; b < blocks; ++b) {
      const std::uint32_t entry = entries[b];
      if (!holdsData(entry) || entry < lowest) continue;
      if (entry >= end) {
        next = std::min<std::uint64_t>(next, entry);
      } else if (seen.test(entry - lowest)) {
        if (!anyRepeated) map.repeated.clear(blocks);
        anyRepeated = true;
        map.repeated.set(b);
      } else {
        seen.set(entry - lowest);
      }
    }
    lowest = next;
  }
}

// The block that first names each data block named by one of `repeats`, as pairs (data
// block, first block); one pass, however long the map.
std::vector<std::pair<std::uint32_t, std::uint32_t>> firstNamers(const VdiBlockMap& map, std::uint64_t blocks,
                                                                 const std::vector<std::uint32_t>& repeats) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> owners;
  for (const std::uint32_t b : repeats) owners.emplace_back(map.entries[b], UINT32_MAX);
  std::size_t left = owners.size();
  for (std::uint64_t b = 0; b < blocks && left > 0; ++b) {
    for (auto& [entry, owner] : owners) {
      if (owner != UINT32_MAX || entry != map.entries[b]) continue;
      owner = std::uint32_t(b);
      --left;
    }
  }
  return owners;
}

// Finds the blocks the file cannot give: an entry that names a data block an earlier block
// already names (read as it stands, both blocks would show the same bytes), and an entry whose
// data lies past the end of the file. The repeats are made unreadable; reads past the end fail
// already. The user is told of both.
void checkBlockMap(VdiBlockMap& map, std::uint64_t fileBytes, MountedImage& image) {
  const std::uint64_t blocks = std::min<std::uint64_t>({map.blockCount, map.entries.size(),
                                                        (image.diskSectors + map.blockSectors - 1) / map.blockSectors});
  markRepeatedBlocks(map, blocks);
  // Only the repeats the notes list are put into words, with the block first naming their data.
  std::vector<std::uint32_t> listed;
  for (std::uint64_t b = 0; !map.repeated.empty() && b < blocks && listed.size() < UnreadableBlockNotes::kListed; ++b)
    if (map.repeated.test(b)) listed.push_back(std::uint32_t(b));
  const auto owners = firstNamers(map, blocks, listed);

  UnreadableBlockNotes notes("VDI block", map.blockSectors, 0, image.diskSectors);
  const std::uint64_t blockBytes = map.blockSectors * kSector;
  std::size_t r = 0;
  const std::uint32_t* entries = map.entries.data();
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const std::uint32_t entry = entries[b];
    if (!holdsData(entry)) continue;
    if (map.repeated.test(b)) {
      if (notes.full() || r >= owners.size()) {
        notes.addUnlisted(1);
      } else {
        notes.add(b, "its map entry names data block " + std::to_string(entry) + ", as block " +
                         std::to_string(owners[r++].second) + "'s does; its sectors cannot be read");
      }
      continue;
    }
    const std::uint64_t data = map.dataOffset + std::uint64_t(entry) * blockBytes;  // < 2^63
    if (data >= fileBytes) notes.add(b, kEntryPastEnd);
    else if (data + blockBytes > fileBytes) notes.add(b, kDataCutAtEnd);
  }
  notes.appendTo(image.notes);
}

}  // namespace

void buildVdiImage(const ImageState&, MountedImage& image) {
  std::array<std::uint8_t, vdi::kHeaderBytes> bytes{};
  image.image->readAt(0, bytes);
  const auto header = parseVdiHeader(platform::ByteView(bytes));
  if (!header) return;
  image.layout = ImageLayout::Vdi;
  image.diskSectors = std::min(header->diskBytes / kSector, kMaxDiskSectors);
  image.vdi.blockSectors = header->blockBytes / kSector;
  image.vdi.dataOffset = header->dataOffset;
  image.vdi.blockCount = header->blockCount;
  image.vdi.entries = blockmap::loadEntries(*image.image, header->blockMapOffset, header->blockCount, false);
  noteDiskCutToMap(image, "the VDI header", header->diskBytes,
                   std::min<std::uint64_t>(header->blockCount, image.vdi.entries.size()) * image.vdi.blockSectors);
  // A differencing image's free blocks are its parent's data, which we do not have.
  image.vdi.freeIsUnreadable = header->imageType != vdi::kImageDynamic && header->imageType != vdi::kImageStatic;
  if (header->imageType == vdi::kImageDifferencing)
    noteParentNotRead(image, "a differencing VDI", platform::widenLatin1(header->parentUuid), false);
  checkBlockMap(image.vdi, image.image->size(), image);
}

MappedRun VdiBlockMap::map(const platform::ReadOnlyFile* file, std::uint64_t sector, std::uint64_t maxSectors) const {
  if (blockSectors == 0) return failedRun(maxSectors);
  const std::uint64_t firstBlock = sector / blockSectors;
  const std::uint64_t inBlock = sector % blockSectors;
  std::uint64_t run = std::min(maxSectors, blockSectors - inBlock);
  // An index the disk does not have would read the data area as map entries.
  const std::uint64_t blocks = std::min<std::uint64_t>(blockCount, entries.size());
  if (firstBlock >= blocks) return failedRun(run);
  // What a block holds: 0 zeros, 1 nothing we can read, 2 data.
  const auto kindOf = [&](std::uint64_t block) {
    const std::uint32_t entry = entries[block];
    if (entry == vdi::kBlockZero) return 0;
    if (entry == vdi::kBlockFree) return freeIsUnreadable ? 1 : 0;
    return repeated.test(block) ? 1 : 2;
  };
  const std::uint32_t entry = entries[firstBlock];
  const int kind = kindOf(firstBlock);
  // Following blocks join the run while they continue it: data must follow in the file.
  for (std::uint64_t block = firstBlock + 1; run < maxSectors && block < blocks; ++block) {
    const std::uint32_t next = entries[block];
    if (kindOf(block) != kind) break;
    if (kind == 2 && std::uint64_t(next) != std::uint64_t(entry) + (block - firstBlock)) break;
    run += std::min(blockSectors, maxSectors - run);
  }
  if (kind == 0) return zeroRun(run);
  if (kind == 1 || !file) return failedRun(run);
  // entry < 2^32 and a block is at most 2^30 bytes: the sum stays below 2^63.
  return {file, dataOffset + std::uint64_t(entry) * blockSectors * kSector + inBlock * kSector, run, true};
}

}  // namespace qelda::image
