// A VMDK without a descriptor: the layout is guessed from the picked file's size, its name,
// its first sectors and the numbered files beside it.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>

#include "image/image_state.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"
#include "image/vmdk_layout.h"
#include "platform/byte_view.h"
#include "platform/text.h"

namespace qelda::image {
namespace {

constexpr std::uint64_t kTwoGiB = 0x80000000;
constexpr std::int32_t kMaxSplitNumber = 476;
// The extent sizes a split image's writer is taken to use when no file tells the size.
constexpr std::uint64_t kSplitFlatSectors = 0x3FFE00;
constexpr std::uint64_t kSplitSparseSectors = 0x3FF800;
constexpr std::size_t kMaxNameUnits = 259;

std::string fileNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isVmdkExtension(std::string_view ext) { return platform::equalsIgnoreCaseAscii(platform::widenLatin1(ext), u".vmdk"); }

bool hasBootSignature(std::span<const std::uint8_t> sector) {
  return sector.size() >= 512 && sector[510] == 0x55 && sector[511] == 0xAA;
}

std::u16string displayName(const std::string& name) {
  std::u16string text = platform::fromUtf8(name);
  if (text.size() > kMaxNameUnits) text.resize(kMaxNameUnits);
  return text;
}

DISK_DESCRIPTOR_EXTENT makeExtent(std::uint64_t sectors, std::u16string_view type, const std::string& name) {
  DISK_DESCRIPTOR_EXTENT e;
  e.m_nSectors = sectors;
  e.m_szType = type;
  e.m_szFileName = displayName(name);
  e.fileNameBytes = name;
  return e;
}

// A split image's file name: <base>-<letter><digits><.vmdk>, the base being the name up to
// its last '-'.
struct SplitName {
  std::string base;
  char letter = 0;
  std::int32_t number = 0;
  std::string extension;
};

std::optional<SplitName> parseSplitName(const std::string& name) {
  const auto dash = name.rfind('-');
  if (dash == std::string::npos || dash + 2 >= name.size()) return std::nullopt;
  const char letter = name[dash + 1];
  if (letter != 'f' && letter != 's') return std::nullopt;
  const std::size_t digits = dash + 2;
  std::size_t end = digits;
  while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
  if (end == digits || end - digits > 9) return std::nullopt;
  const std::string_view extension = std::string_view(name).substr(end);
  if (!isVmdkExtension(extension)) return std::nullopt;
  SplitName s;
  s.base = name.substr(0, dash);
  s.letter = letter;
  std::from_chars(name.data() + digits, name.data() + end, s.number);
  s.extension = std::string(extension);
  return s;
}

// The size of a split extent as its file tells it: a flat file's length, a sparse file's
// header capacity; nothing when the file is missing or tells nothing.
std::optional<std::uint64_t> splitExtentSectors(const std::string& path, bool flat) {
  const auto file = platform::ReadOnlyFile::open(path);
  if (!file) return std::nullopt;
  if (flat) {
    const std::uint64_t sectors = file->size() / kSectorSize;
    return sectors ? std::optional(sectors) : std::nullopt;
  }
  std::array<std::uint8_t, kSectorSize> sector0{};
  if (!file->readExact(0, sector0)) return std::nullopt;
  const SparseExtentHeader h = parseSparseExtentHeader(platform::ByteView(sector0), SparseDefaults::Split, 0);
  if (!h.fromMagic || h.capacity == 0 || h.capacity > kMaxDiskSectors) return std::nullopt;
  return h.capacity;
}

}  // namespace

std::uint64_t GetFileSize64(const std::string& path) { return platform::fileSize(path); }

bool CVirtualDisk::probeBootSector() {
  // The probe reads the virtual disk the way every later read will, so the layout set up
  // so far has to be the published one.
  app_.publishMountedImage();
  std::array<std::uint8_t, kSectorSize> sector{};
  ReadSourceSectors(app_, sector.data(), 0, kSectorSize);
  return hasBootSignature(sector);
}

bool CVirtualDisk::sector1IsDescriptor() {
  std::array<std::uint8_t, kSectorSize> sector{};
  if (m_hFile) m_hFile->readAt(kSectorSize, sector);
  return platform::ByteView(sector).matches(0, vmdk::kDescriptorFileText);
}

std::uint32_t CVirtualDisk::refuseLayout(bool noLayout) {
  // Nothing guessed is kept: the whole disk offered for raw recovery is the picked file's
  // own bytes, which is all that is sure about it.
  app_.m_arrExtents.clear();
  app_.m_strCreateType.clear();
  app_.m_bVmdkDescriptor = 0;
  app_.m_bSplitSparseAsSingle = 0;
  (noLayout ? app_.m_bImageNoLayout : app_.m_bImageCorrupt) = 1;
  return 0;
}

std::uint32_t CVirtualDisk::addSparseFromHeader(const std::string& path) {
  const SparseExtentHeader h =
      parseSparseExtentHeader(platform::ByteView(m_SparseHeader), SparseDefaults::Monolithic, 0);
  // Compressed grains are not read: the image is listed as a whole disk only.
  if (h.flags & vmdk::kFlagCompressedGrains) return refuseLayout(false);
  AddSingleExtent(u"monolithicSparse", path, std::min(h.capacity, kMaxDiskSectors), 0);
  return 1;
}

std::uint32_t CVirtualDisk::openEmbeddedDescriptor(const std::string& path, std::uint64_t fileBytes) {
  // The header is damaged but the descriptor behind it is not: take it where the header
  // would have said it is.
  m_bEmbeddedDescriptor = 1;
  m_SparseHeader.fill(0);
  platform::putLe64(m_SparseHeader.data() + vmdk::kDescriptorOffset, vmdk::kDefaultDescriptorOffset);
  platform::putLe64(m_SparseHeader.data() + vmdk::kDescriptorSize, vmdk::kDefaultDescriptorSize);
  const std::uint32_t parsed = ParseVmdkDescriptor(path);
  if (app_.m_bImageCorrupt) return refuseLayout(false);  // a descriptor we refuse to read
  AddSingleExtent(u"monolithicSparse", path, fileBytes / kSectorSize, parsed);
  return 1;
}

std::uint32_t CVirtualDisk::OpenVmdk(const std::string& path) {
  m_abySector.fill(0);
  m_bEmbeddedDescriptor = 0;
  m_arrFolderFiles.clear();
  splitFiles_.clear();
  m_hFile = platform::ReadOnlyFile::open(path);
  if (!m_hFile) return 0;
  const std::uint64_t fileBytes = m_hFile->size();
  if (fileBytes == 0) return 0;
  m_hFile->readAt(0, m_abySector);
  const bool bootSector = hasBootSignature(m_abySector);
  const std::string name = fileNameOf(path);

  if (fileBytes > kTwoGiB) {
    if (bootSector) {
      AddSingleExtent(u"monolithicFlat", path, fileBytes, 0);
      return 1;
    }
    if (IsSparseExtentHeader()) return addSparseFromHeader(path);
    if (sector1IsDescriptor()) return openEmbeddedDescriptor(path, fileBytes);
    // A sparse extent whose header is lost: the default geometry may still find its data.
    AddSingleExtent(u"monolithicSparse", path, fileBytes / kSectorSize, 0);
    if (probeBootSector()) {
      app_.m_bVmdkLayoutGuessed = 1;
      return 1;
    }
    app_.m_arrExtents.clear();
    BuildSplitExtents(u"twoGbMaxExtentSparse");
    if (!app_.m_arrExtents.empty() && probeBootSector()) {
      app_.m_bSplitSparseAsSingle = 1;
      return 1;
    }
    app_.m_bVmdkLayoutGuessed = 1;
    return refuseLayout(false);
  }

  // The flat extent of a monolithic flat image.
  if (const auto flat = name.find("-flat"); flat != std::string::npos && isVmdkExtension(name.substr(flat + 5))) {
    if (bootSector) {
      AddSingleExtent(u"monolithicFlat", path, fileBytes, 0);
      return 1;
    }
    app_.m_bVmdkLayoutGuessed = 1;
    return refuseLayout(false);
  }
  // One numbered file of a split image.
  if (const auto split = parseSplitName(name)) {
    BuildSplitExtents(split->letter == 'f' ? u"twoGbMaxExtentFlat" : u"twoGbMaxExtentSparse");
    if (!app_.m_arrExtents.empty()) return 1;
  }
  if (IsSparseExtentHeader()) return addSparseFromHeader(path);
  if (bootSector) {
    AddSingleExtent(u"monolithicFlat", path, fileBytes, 0);
    return 1;
  }
  app_.m_bVmdkLayoutGuessed = 1;
  if (sector1IsDescriptor()) return openEmbeddedDescriptor(path, fileBytes);
  AddSingleExtent(u"monolithicSparse", path, fileBytes / kSectorSize, 0);
  if (probeBootSector()) return 1;
  return refuseLayout(true);
}

void CVirtualDisk::AddSingleExtent(std::u16string_view createType, const std::string& path, std::uint64_t size,
                                   std::uint32_t descriptorParsed) {
  app_.m_strCreateType = createType;
  if (createType == u"monolithicFlat") {
    app_.m_arrExtents.push_back(makeExtent(size / kSectorSize, u"FLAT", fileNameOf(path)));
  } else if (!descriptorParsed || app_.m_arrExtents.empty()) {
    // A descriptor without extents leaves the picked file as the only one.
    app_.m_arrExtents.push_back(makeExtent(size, u"SPARSE", fileNameOf(path)));
  }
  app_.m_bVmdkDescriptor = 1;
}

void CVirtualDisk::FindVmdkFilesInFolder() {
  m_arrFolderFiles.clear();
  const std::string picked = fileNameOf(app_.m_strImagePath);
  const auto dash = picked.rfind('-');
  if (dash == std::string::npos) return;  // not a numbered name: no siblings
  const std::string_view base = std::string_view(picked).substr(0, dash);
  std::error_code ec;
  for (std::filesystem::directory_iterator it(imageFolder(app_.m_strImagePath), ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code typeError;
    if (it->is_directory(typeError)) continue;
    const std::string name = it->path().filename().string();
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || !isVmdkExtension(std::string_view(name).substr(dot))) continue;
    if (name.size() != picked.size() || !name.starts_with(base)) continue;
    m_arrFolderFiles.push_back(name);
  }
  std::sort(m_arrFolderFiles.begin(), m_arrFolderFiles.end());
}

void CVirtualDisk::BuildSplitExtents(std::u16string_view createType) {
  const bool flat = createType == u"twoGbMaxExtentFlat";
  const char letter = flat ? 'f' : 's';
  splitFiles_.clear();
  const std::string pickedName = fileNameOf(app_.m_strImagePath);
  const auto picked = parseSplitName(pickedName);
  const std::string base = picked ? picked->base : pickedName.substr(0, pickedName.rfind('-'));
  FindVmdkFilesInFolder();
  const std::string folder = imageFolder(app_.m_strImagePath);
  for (const std::string& name : m_arrFolderFiles) {
    // The same base as the picked file, cut at the same '-', then the letter and a number.
    const auto split = parseSplitName(name);
    if (!split || split->base != base || split->letter != letter) continue;
    if (split->number < 1 || split->number > kMaxSplitNumber) continue;
    SPLIT_FILE_NODE node;
    node.m_nNumber = split->number;
    node.m_szFileName = displayName(name);
    node.m_nFileSize = GetFileSize64(folder + "/" + name);
    node.fileNameBytes = name;
    splitFiles_.push_back(std::move(node));
  }
  std::stable_sort(splitFiles_.begin(), splitFiles_.end(),
                   [](const SPLIT_FILE_NODE& a, const SPLIT_FILE_NODE& b) { return a.m_nNumber < b.m_nNumber; });
  splitFiles_.erase(std::unique(splitFiles_.begin(), splitFiles_.end(),
                                [](const SPLIT_FILE_NODE& a, const SPLIT_FILE_NODE& b) { return a.m_nNumber == b.m_nNumber; }),
                    splitFiles_.end());
  if (splitFiles_.empty() || app_.m_bSplitSparseAsSingle) return;

  // Every extent but the last has the same size, so a file that tells nothing about its
  // size (missing, or a sparse file without header) takes that of another full extent;
  // only when none tells it, the usual size of the writer.
  std::vector<std::optional<std::uint64_t>> sizes;
  for (const SPLIT_FILE_NODE& node : splitFiles_) sizes.push_back(splitExtentSectors(folder + "/" + node.fileNameBytes, flat));
  std::uint64_t fullSize = flat ? kSplitFlatSectors : kSplitSparseSectors;
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) {
    if (sizes[i]) {
      fullSize = *sizes[i];
      break;
    }
  }
  const std::string extension = picked ? picked->extension : std::string(".vmdk");
  std::size_t next = 0;
  for (std::int32_t i = 1; next < splitFiles_.size(); ++i) {
    if (splitFiles_[next].m_nNumber == i) {
      app_.m_arrExtents.push_back(
          makeExtent(sizes[next].value_or(fullSize), flat ? u"FLAT" : u"SPARSE", splitFiles_[next].fileNameBytes));
      ++next;
      continue;
    }
    char number[16];
    std::snprintf(number, sizeof number, "%03d", int(i));
    app_.m_arrExtents.push_back(makeExtent(fullSize, flat ? u"FLAT" : u"SPARSE", base + "-" + letter + number + extension));
  }
  app_.m_strCreateType = createType;
  app_.m_bVmdkDescriptor = 1;
}

}  // namespace qelda::image
