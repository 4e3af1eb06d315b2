// Recognising a VMDK by its text descriptor and reading the extent list from it.
#include <algorithm>
#include <charconv>
#include <optional>

#include "image/image_state.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"
#include "image/vmdk_layout.h"
#include "platform/byte_view.h"
#include "platform/text.h"

namespace qelda::image {
namespace {

constexpr std::string_view kDescriptorText = "# Disk DescriptorFile";
constexpr std::size_t kMaxNameUnits = 259;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view nextToken(std::string_view& s) {
  s = trimLeft(s);
  std::size_t n = 0;
  while (n < s.size() && !isBlank(s[n])) ++n;
  const std::string_view token = s.substr(0, n);
  s.remove_prefix(n);
  return token;
}

// A size or offset token: a non-negative decimal number that fits 63 bits, or nothing.
std::optional<std::uint64_t> parseCount(std::string_view token) {
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
  if (token.empty() || ec != std::errc() || end != token.data() + token.size() || v < 0) return std::nullopt;
  return std::uint64_t(v);
}

// A token kept to be shown in a note: long enough to recognise, never a whole line of junk.
std::string shownToken(std::string_view token) {
  constexpr std::size_t kShown = 40;
  return token.size() <= kShown ? std::string(token) : std::string(token.substr(0, kShown)) + "...";
}

// The value of a `key=value` line (blanks around '=' allowed, one pair of quotes dropped);
// nothing when the line sets another key.
std::optional<std::string_view> valueOf(std::string_view line, std::string_view key) {
  if (!line.starts_with(key)) return std::nullopt;
  std::string_view rest = trimLeft(line.substr(key.size()));
  if (!rest.starts_with('=')) return std::nullopt;
  rest = trimLeft(rest.substr(1));
  while (!rest.empty() && isBlank(rest.back())) rest.remove_suffix(1);
  if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
  return rest;
}

std::u16string boundedText(std::string_view bytes) {
  std::u16string text = platform::fromUtf8(bytes);
  if (text.size() > kMaxNameUnits) text.resize(kMaxNameUnits);
  return text;
}

}  // namespace

std::size_t CVirtualDisk::parseDescriptorText(std::string_view text, std::u16string& createType,
                                              std::vector<DISK_DESCRIPTOR_EXTENT>& extents) {
  std::size_t found = 0;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    // Descriptors written on Windows end their lines with CR LF.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (line.starts_with("createType")) {
      const std::size_t open = line.find('"');
      if (open == std::string_view::npos) continue;
      std::string_view value = line.substr(open + 1);
      const std::size_t close = value.find('"');
      value = close == std::string_view::npos ? value : value.substr(0, close);
      createType = platform::widenLatin1(value);
      continue;
    }
    if (!line.starts_with("RW") && !line.starts_with("RDONLY") && !line.starts_with("NOACCESS")) continue;

    // RW <sectors> <type> "<file name>" [<start offset>]
    std::string_view rest = line;
    nextToken(rest);  // access word
    DISK_DESCRIPTOR_EXTENT e;
    const std::string_view size = nextToken(rest);
    if (const auto sectors = parseCount(size)) e.m_nSectors = *sectors;
    else e.sizeNotNumber = shownToken(size);
    e.m_szType = boundedText(nextToken(rest));
    // The name runs from the line's first to its last double quote, so names may hold blanks.
    const std::size_t open = line.find('"');
    const std::size_t close = line.rfind('"');
    if (open != std::string_view::npos && close > open) {
      e.fileNameBytes = std::string(line.substr(open + 1, close - open - 1));
      // No offset at all is offset 0; one that is no number leaves the extent unreadable.
      const std::string_view offset = nextToken(rest = line.substr(close + 1));
      if (const auto start = parseCount(offset)) e.flatStartSector = *start;
      else if (!offset.empty()) e.offsetNotNumber = shownToken(offset);
    } else if (open != std::string_view::npos) {
      e.fileNameBytes = std::string(line.substr(open + 1));
    }
    e.m_szFileName = boundedText(e.fileNameBytes);
    extents.push_back(std::move(e));
    ++found;
  }
  return found;
}

std::optional<std::string> CVirtualDisk::parentOfDescriptor(std::string_view text) {
  bool parent = false;
  std::string hint;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // A disk of its own writes ffffffff as its parent's content id.
    if (const auto cid = valueOf(line, "parentCID"))
      parent = !platform::equalsIgnoreCaseAscii(platform::widenLatin1(*cid), u"ffffffff");
    else if (const auto name = valueOf(line, "parentFileNameHint"))
      hint = std::string(name->substr(0, kMaxNameUnits));
  }
  if (!parent) return std::nullopt;
  return hint;
}

std::uint32_t CVirtualDisk::IsSparseExtentHeader() {
  if (!platform::ByteView(m_abySector.data(), m_abySector.size()).matches(0, vmdk::kSparseMagicText)) return 0;
  m_SparseHeader.fill(0);
  if (m_hFile) m_hFile->readAt(0, m_SparseHeader);
  return 1;
}

std::uint32_t CVirtualDisk::IsVmdkFile(const std::string& path) {
  m_bEmbeddedDescriptor = 0;
  m_hFile = app_.imageFiles.open(path);
  if (!m_hFile) return 0;
  m_abySector.fill(0);
  m_hFile->readAt(0, m_abySector);
  if (IsSparseExtentHeader()) {
    std::array<std::uint8_t, kSectorSize> second{};
    m_hFile->readAt(kSectorSize, second);
    if (!platform::ByteView(second.data(), second.size()).matches(0, kDescriptorText)) return 0;
    m_bEmbeddedDescriptor = 1;
    return 1;
  }
  return platform::ByteView(m_abySector.data(), m_abySector.size()).matches(0, kDescriptorText) ? 1 : 0;
}

std::uint32_t CVirtualDisk::ParseVmdkDescriptor(const std::string& path) {
  m_arrExtents.clear();
  if (!m_hFile) m_hFile = app_.imageFiles.open(path);
  if (!m_hFile) return 0;
  const std::uint64_t fileBytes = m_hFile->size();

  std::uint64_t offset = 0;
  std::uint64_t length = fileBytes;
  if (m_bEmbeddedDescriptor) {
    const platform::ByteView header(m_SparseHeader.data(), m_SparseHeader.size());
    const std::uint64_t sectorOffset = header.le64(vmdk::kDescriptorOffset).value_or(0);
    const std::uint64_t sectorCount = header.le64(vmdk::kDescriptorSize).value_or(0);
    if (sectorOffset > fileBytes / kSectorSize) return 0;
    offset = sectorOffset * kSectorSize;
    length = std::min(sectorCount, kMaxDescriptorBytes / kSectorSize) * kSectorSize;
  }
  // The descriptor is text of a few KiB; never read more than a bounded amount of it.
  length = std::min({length, kMaxDescriptorBytes, fileBytes - std::min(offset, fileBytes)});
  std::string text(std::size_t(length), '\0');
  const std::size_t got = m_hFile->readAt(offset, {reinterpret_cast<std::uint8_t*>(text.data()), text.size()});
  text.resize(got);
  // A descriptor embedded in a sparse extent is padded with zero bytes.
  if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);

  std::u16string createType;
  if (parseDescriptorText(text, createType, m_arrExtents) == 0) return 0;
  if (const auto parent = parentOfDescriptor(text)) app_.vmdkParent = platform::fromUtf8(*parent);
  app_.m_strCreateType = createType;
  app_.m_arrExtents = m_arrExtents;
  app_.m_bVmdkDescriptor = 1;
  // Compressed grains are not read: such an image is described and listed as a whole disk,
  // never read as if its grains were plain sectors.
  const auto flags = platform::ByteView(m_SparseHeader.data(), m_SparseHeader.size()).le32(vmdk::kFlags);
  if (createType == u"streamOptimized" || (m_bEmbeddedDescriptor && flags && (*flags & vmdk::kFlagCompressedGrains))) {
    app_.m_bImageCorrupt = 1;
    return 0;
  }
  return 1;
}

std::uint32_t CVirtualDisk::CheckExtentFiles(const std::string& path) {
  const bool pickedIsExtent = pickedFileIsTheExtent(app_);
  for (DISK_DESCRIPTOR_EXTENT& e : app_.m_arrExtents) {
    if (e.m_szType == u"ZERO") continue;  // a zero extent has no file
    if (e.m_szFileName.ends_with(u" (Missing)")) continue;
    // Shown as it is read: from the picked file, whatever name its descriptor gives.
    if (pickedIsExtent) e.m_szFileName = boundedText(path.substr(path.rfind('/') + 1));
    else if (!app_.imageFiles.open(extentPath(path, e.fileNameBytes))) e.m_szFileName += u" (Missing)";
  }
  return 1;
}

}  // namespace qelda::image
