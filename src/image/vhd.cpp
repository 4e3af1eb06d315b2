// VHD images: recognition at mount, and the block map loaded once per mount.
#include <algorithm>
#include <array>

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
  const auto file = platform::ReadOnlyFile::open(path);
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
    return 1;
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
    return 1;
  }
  // Only the dynamic header is left: the disk is as long as its blocks.
  file->readAt(vhd::kDynamicHeaderAt, m_abyVhdHeader);
  const auto dynamic = parseVhdDynamicHeader(platform::ByteView(m_abyVhdHeader));
  if (!dynamic) return 0;
  app_.m_nVhdDiskType = vhd::kDiskDynamic;
  m_nVhdDiskSize = dynamic->maxEntries * dynamic->blockBytes;  // < 2^32 * 2^30
  return 1;
}

std::uint32_t CVirtualDisk::ReadVhdSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
  if (app_.m_nImageType != kImageVhd) return 0;
  return ReadSectors(sector, buffer, count, nullptr);
}

// --- the snapshot's part -------------------------------------------------------------------

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
  if (app.m_nVhdDiskType != vhd::kDiskDynamic) return;  // differencing: the parent holds the rest
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
