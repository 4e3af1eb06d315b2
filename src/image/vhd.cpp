// VHD images: recognition at mount, and the block map loaded once per mount.
#include <algorithm>
#include <array>
#include <string>

#include "image/block_map_entries.h"
#include "image/image_state.h"
#include "image/mounted_image.h"
#include "image/vhd_layout.h"
#include "image/virtual_disk.h"
#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::image {
namespace {

using blockmap::kSector;

struct VhdDynamicHeader {
  std::uint64_t tableOffset = 0;
  std::uint64_t maxEntries = 0;
  std::uint64_t blockBytes = 0;
};

platform::Parsed<VhdDynamicHeader> parseVhdDynamicHeader(platform::ByteView h) {
  if (!h.matches(vhd::kDynamicCookie, vhd::kDynamicCookieText)) return platform::ParseError::NotThisFormat;
  VhdDynamicHeader d;
  d.tableOffset = h.be64(vhd::kTableOffset).value_or(0);
  d.maxEntries = h.be32(vhd::kMaxTableEntries).value_or(0);
  d.blockBytes = h.be32(vhd::kBlockSize).value_or(0);
  if (!blockmap::validBlockSize(d.blockBytes)) return platform::ParseError::OutOfRange;
  return d;
}

// The checksum a dynamic header carries is the one's complement of the sum of its bytes,
// the checksum's own four counted as zeros.
bool checksumRight(platform::ByteView h) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < h.size(); ++i)
    if (i < vhd::kHeaderChecksum || i >= vhd::kHeaderChecksum + 4) sum += h.u8(i).value_or(0);
  return h.be32(vhd::kHeaderChecksum) == ~sum;
}

// A dynamic header whose checksum vouches for it but whose block size no disk has: the
// header is as its writer left it, and guessing another size would read foreign data.
std::string impossibleBlockSize(platform::ByteView h) {
  if (!h.matches(vhd::kDynamicCookie, vhd::kDynamicCookieText) || !checksumRight(h)) return {};
  const std::uint64_t blockBytes = h.be32(vhd::kBlockSize).value_or(0);
  if (blockmap::validBlockSize(blockBytes)) return {};
  return "the dynamic header (checksum right) gives a block size of " + std::to_string(blockBytes) +
         " bytes, which no disk has (whole sectors, up to 1 GiB)";
}

bool hasBootSignature(platform::ByteView sector) {
  return sector.u8(vhd::kBootSignature) == 0x55 && sector.u8(vhd::kBootSignature + 1) == 0xAA;
}

}  // namespace

// --- mount-time recognition ----------------------------------------------------------------

std::uint32_t CVirtualDisk::OpenVhd(const std::string& path) {
  app_.m_nVhdDiskType = 0;
  m_nVhdDiskSize = 0;
  m_abyVhdFooter.fill(0);
  m_abyVhdHeader.fill(0);
  const auto file = app_.imageFiles.open(path);
  if (!file) return 0;
  const std::uint64_t size = file->size();
  if (size < vhd::kFooterBytes) return 0;  // not even a footer

  // The footer at the end: every complete VHD has one.
  m_abySector.fill(0);
  file->readAt(size - vhd::kFooterBytes, m_abySector);
  const platform::ByteView footer(m_abySector);
  std::copy_n(m_abySector.begin(), vhd::kFooterCookieText.size(), m_abyVhdFooter.begin());
  if (footer.matches(vhd::kFooterCookie, vhd::kFooterCookieText)) {
    m_abyVhdFooter = m_abySector;
    app_.m_nVhdDiskType = footer.be32(vhd::kDiskType).value_or(0);
    m_nVhdDiskSize = footer.be64(vhd::kCurrentSize).value_or(0);
    return refuseImpossibleBlocks(*file);
  }
  // The footer is lost. A partition table in sector 0: a fixed disk whose data is the file.
  m_abySector.fill(0);
  file->readAt(0, m_abySector);
  const platform::ByteView first(m_abySector);
  if (hasBootSignature(first)) {
    app_.m_nVhdDiskType = vhd::kDiskFixed;
    m_nVhdDiskSize = size;
    return 1;
  }
  // A dynamic disk keeps a copy of its footer at byte 0.
  if (first.matches(vhd::kFooterCookie, vhd::kFooterCookieText)) {
    m_abyVhdFooter = m_abySector;
    app_.m_nVhdDiskType = vhd::kDiskDynamic;
    m_nVhdDiskSize = first.be64(vhd::kCurrentSize).value_or(0);
    return refuseImpossibleBlocks(*file);
  }
  // Only the dynamic header is left: the disk is as long as its blocks.
  file->readAt(vhd::kDynamicHeaderAt, m_abyVhdHeader);
  const auto dynamic = parseVhdDynamicHeader(platform::ByteView(m_abyVhdHeader));
  if (!dynamic) {
    app_.refusedBecause = impossibleBlockSize(platform::ByteView(m_abyVhdHeader));
    return 0;
  }
  app_.m_nVhdDiskType = vhd::kDiskDynamic;
  m_nVhdDiskSize = dynamic->maxEntries * dynamic->blockBytes;  // < 2^32 * 2^30
  return 1;
}

std::uint32_t CVirtualDisk::refuseImpossibleBlocks(const platform::ReadOnlyFile& file) {
  if (app_.m_nVhdDiskType != vhd::kDiskDynamic && app_.m_nVhdDiskType != vhd::kDiskDifferencing) return 1;
  file.readAt(vhd::kDynamicHeaderAt, m_abyVhdHeader);
  app_.refusedBecause = impossibleBlockSize(platform::ByteView(m_abyVhdHeader));
  return app_.refusedBecause.empty() ? 1 : 0;
}

std::uint32_t CVirtualDisk::ReadVhdSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
  if (app_.m_nImageType != kImageVhd) return 0;
  return ReadSectors(sector, buffer, count, nullptr);
}

// --- the snapshot's part -------------------------------------------------------------------

namespace {

// Blocks of the disk whose data the file does not hold: a damaged table entry, or a file
// cut short. Their reads fail already; the user is told which they are.
void noteBlocksPastEnd(const VhdBlockMap& map, std::uint64_t fileBytes, MountedImage& image) {
  UnreadableBlockNotes notes("VHD block", map.blockSectors, 0, image.diskSectors);
  const std::uint64_t blocks = std::min<std::uint64_t>({map.blockCount, map.entries.size(),
                                                        (image.diskSectors + map.blockSectors - 1) / map.blockSectors});
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const std::uint32_t entry = map.entries[b];
    if (entry == vhd::kBlockUnused) continue;
    const std::uint64_t data = (std::uint64_t(entry) + map.bitmapSectors) * kSector;  // < 2^42
    if (data >= fileBytes) notes.add(b, kEntryPastEnd);
    else if (data + map.blockSectors * kSector > fileBytes) notes.add(b, kDataCutAtEnd);
  }
  notes.appendTo(image.notes);
}

}  // namespace

void buildVhdImage(const ImageState& app, MountedImage& image) {
  const std::uint64_t fileBytes = image.image->size();
  image.diskSectors = std::min(app.g_VirtualDisk.m_nVhdDiskSize / kSector, kMaxDiskSectors);
  if (app.m_nVhdDiskType == vhd::kDiskFixed) {
    // The data is the file up to its footer; the footer itself is never data.
    std::array<std::uint8_t, vhd::kFooterBytes> tail{};
    const bool footerAtEnd = fileBytes >= vhd::kFooterBytes &&
                             image.image->readExact(fileBytes - vhd::kFooterBytes, tail) &&
                             platform::ByteView(tail).matches(vhd::kFooterCookie, vhd::kFooterCookieText);
    image.layout = ImageLayout::FlatFile;
    image.flatSectors = std::min(image.diskSectors, (fileBytes - (footerAtEnd ? vhd::kFooterBytes : 0)) / kSector);
    return;
  }
  image.layout = ImageLayout::Vhd;
  const bool differencing = app.m_nVhdDiskType == vhd::kDiskDifferencing;
  if (differencing) noteParentNotRead(image, "a differencing VHD", {}, true);
  if (app.m_nVhdDiskType != vhd::kDiskDynamic && !differencing) return;
  std::array<std::uint8_t, vhd::kDynamicHeaderBytes> bytes{};
  image.image->readAt(vhd::kDynamicHeaderAt, bytes);
  const auto header = parseVhdDynamicHeader(platform::ByteView(bytes));
  if (!header) return;
  VhdBlockMap map;
  map.blockSectors = header->blockBytes / kSector;
  const std::uint64_t bitmapBytes = (map.blockSectors + 7) / 8;
  map.bitmapSectors = (bitmapBytes + kSector - 1) / kSector;
  map.blockCount = header->maxEntries;
  map.entries = blockmap::loadEntries(*image.image, header->tableOffset, header->maxEntries, true);
  noteDiskCutToMap(image, "the VHD footer", app.g_VirtualDisk.m_nVhdDiskSize,
                   std::min<std::uint64_t>(map.blockCount, map.entries.size()) * map.blockSectors);
  if (differencing) return;  // the parent holds the rest: nothing is read through the map
  noteBlocksPastEnd(map, fileBytes, image);
  image.vhd = std::move(map);
}

MappedRun VhdBlockMap::map(const platform::ReadOnlyFile* file, std::uint64_t sector, std::uint64_t maxSectors) const {
  if (blockSectors == 0) return failedRun(maxSectors);
  std::uint64_t block = sector / blockSectors;
  const std::uint64_t inBlock = sector % blockSectors;
  std::uint64_t run = std::min(maxSectors, blockSectors - inBlock);
  if (block >= blockCount || block >= entries.size()) return failedRun(run);
  const std::uint32_t entry = entries[block];
  if (entry == vhd::kBlockUnused) {
    while (run < maxSectors && ++block < std::min<std::uint64_t>(blockCount, entries.size()) &&
           entries[block] == vhd::kBlockUnused)
      run += std::min(blockSectors, maxSectors - run);
    return zeroRun(run);
  }
  // Each block's data follows its own bitmap, so a run never spans two blocks.
  if (!file) return failedRun(run);
  return {file, (std::uint64_t(entry) + bitmapSectors + inBlock) * kSector, run, true};
}

}  // namespace qelda::image
