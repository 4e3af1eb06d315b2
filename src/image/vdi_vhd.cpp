// VDI and VHD images: recognition at mount, and the block maps loaded once per mount.
#include <algorithm>

#include "image/image_state.h"
#include "image/mounted_image.h"
#include "image/vdi_layout.h"
#include "image/vhd_layout.h"
#include "image/virtual_disk.h"
#include "platform/byte_view.h"
#include "platform/parsed.h"

namespace qelda::disk {
namespace {

constexpr std::uint64_t kSector = 512;
// Blocks beyond 1 GiB exist in no image; the bound keeps entry × block size below 2^62.
constexpr std::uint64_t kMaxBlockBytes = std::uint64_t(1) << 30;
// Block map entries we are prepared to hold (256 MiB of map; 64 PiB at 1 MiB blocks).
constexpr std::uint64_t kMaxBlockEntries = std::uint64_t(1) << 26;

bool validBlockSize(std::uint64_t bytes) { return bytes >= kSector && bytes % kSector == 0 && bytes <= kMaxBlockBytes; }

// Reads up to `count` u32 entries at `offset`, as many as the file holds.
std::vector<std::uint32_t> loadEntries(const platform::ReadOnlyFile& file, std::uint64_t offset, std::uint64_t count,
                                       bool bigEndian) {
  const std::uint64_t fileBytes = file.size();
  if (offset >= fileBytes) return {};
  count = std::min({count, (fileBytes - offset) / 4, kMaxBlockEntries});
  std::vector<std::uint8_t> raw(std::size_t(count) * 4);
  raw.resize(file.readAt(offset, raw) / 4 * 4);
  const platform::ByteView bytes(raw);
  std::vector<std::uint32_t> entries(raw.size() / 4);
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = bigEndian ? *bytes.be32(i * 4) : *bytes.le32(i * 4);
  return entries;
}

struct VdiHeader {
  std::uint32_t imageType = 0;
  std::uint64_t blockMapOffset = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t diskBytes = 0;
  std::uint64_t blockBytes = 0;
  std::uint64_t blockCount = 0;
};

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
  if (!validBlockSize(v.blockBytes)) return platform::ParseError::OutOfRange;
  // Metadata in front of every block would shift all data; no writer we know adds any.
  if (h.le32(vdi::kBlockExtra).value_or(1) != 0) return platform::ParseError::OutOfRange;
  return v;
}

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
  if (!validBlockSize(d.blockBytes)) return platform::ParseError::OutOfRange;
  return d;
}

bool hasBootSignature(platform::ByteView sector) {
  return sector.u8(vhd::kBootSignature) == 0x55 && sector.u8(vhd::kBootSignature + 1) == 0xAA;
}

}  // namespace

// --- mount-time recognition ----------------------------------------------------------------

std::uint32_t CVirtualDisk::OpenVdi(const std::string& path) {
  app_.m_nVdiImageType = 0;
  g_VdiHeader.fill(0);
  const auto file = platform::ReadOnlyFile::open(path);
  if (!file || !file->readExact(0, g_VdiHeader)) return 0;
  const auto header = parseVdiHeader(platform::ByteView(g_VdiHeader));
  if (!header) return 0;
  app_.m_nVdiImageType = header->imageType;
  return 1;
}

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

std::uint32_t CVirtualDisk::ReadVdiSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
  if (app_.m_nImageType != image::kImageVdi) return 0;
  return ReadSectors(sector, buffer, count, nullptr);
}

std::uint32_t CVirtualDisk::ReadVhdSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
  if (app_.m_nImageType != image::kImageVhd) return 0;
  return ReadSectors(sector, buffer, count, nullptr);
}

// --- the snapshot's part -------------------------------------------------------------------

void buildVdiImage(const image::ImageState&, MountedImage& image) {
  std::array<std::uint8_t, vdi::kHeaderBytes> bytes{};
  image.image->readAt(0, bytes);
  const auto header = parseVdiHeader(platform::ByteView(bytes));
  if (!header) return;
  image.layout = ImageLayout::Vdi;
  image.diskSectors = std::min(header->diskBytes / kSector, kMaxDiskSectors);
  image.vdi.blockSectors = header->blockBytes / kSector;
  image.vdi.dataOffset = header->dataOffset;
  image.vdi.blockCount = header->blockCount;
  image.vdi.entries = loadEntries(*image.image, header->blockMapOffset, header->blockCount, false);
  // A differencing image's free blocks are its parent's data, which we do not have.
  image.vdi.freeIsUnreadable = header->imageType != vdi::kImageDynamic && header->imageType != vdi::kImageStatic;
}

void buildVhdImage(const image::ImageState& app, MountedImage& image) {
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
  map.entries = loadEntries(*image.image, header->tableOffset, header->maxEntries, true);
  image.vhd = std::move(map);
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
  const auto kindOf = [&](std::uint32_t entry) {
    if (entry == vdi::kBlockZero) return 0;
    if (entry == vdi::kBlockFree) return freeIsUnreadable ? 1 : 0;
    return 2;
  };
  const std::uint32_t entry = entries[firstBlock];
  const int kind = kindOf(entry);
  // Following blocks join the run while they continue it: data must follow in the file.
  for (std::uint64_t block = firstBlock + 1; run < maxSectors && block < blocks; ++block) {
    const std::uint32_t next = entries[block];
    if (kindOf(next) != kind) break;
    if (kind == 2 && std::uint64_t(next) != std::uint64_t(entry) + (block - firstBlock)) break;
    run += std::min(blockSectors, maxSectors - run);
  }
  if (kind == 0) return zeroRun(run);
  if (kind == 1 || !file) return failedRun(run);
  // entry < 2^32 and a block is at most 2^30 bytes: the sum stays below 2^63.
  return {file, dataOffset + std::uint64_t(entry) * blockSectors * kSector + inBlock * kSector, run, true};
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

}  // namespace qelda::disk
