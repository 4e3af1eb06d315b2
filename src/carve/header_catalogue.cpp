#include "carve/header_catalogue.h"

#include <fstream>
#include <initializer_list>
#include <string>
#include <system_error>

#include "carve/header_record_layout.h"
#include "carve/raw_types.h"
#include "platform/read_only_file.h"

namespace qelda::carve {

namespace {

constexpr std::uint32_t kMiB = 1024 * 1024;
// A catalogue of more records than this is not a catalogue.
constexpr std::uint64_t kMaxCatalogueRecords = 65536;

HEADER_RECORD builtIn(std::uint16_t typeId, std::u16string software, std::u16string extension, std::uint16_t group,
                      std::uint32_t maxMiB, std::uint32_t offset, std::initializer_list<std::uint8_t> signature) {
  HEADER_RECORD r;
  r.m_wTypeId = typeId;
  r.softwareName = std::move(software);
  r.m_szExtension = std::move(extension);
  r.group = group;
  r.m_nMaxSize = maxMiB * kMiB;
  r.maxSizeUnit = kUnitMegabytes;
  r.m_nOffset = offset;
  r.m_nHeaderLen = std::uint8_t(signature.size());
  std::size_t i = 0;
  for (std::uint8_t b : signature) r.m_abyHeader[i++] = b;
  r.selected = 1;
  r.builtIn = 1;
  return r;
}

}  // namespace

std::vector<HEADER_RECORD> defaultHeaderCatalogue() {
  const std::initializer_list<std::uint8_t> ole2 = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  const std::initializer_list<std::uint8_t> zip = {'P', 'K', 0x03, 0x04};
  // List order is match order: the ZIP type comes before the zip-based documents, whose
  // archives the ZIP finder leaves to them.
  return {
      builtIn(kTypeJpeg, u"JPEG picture", u"jpg", kGroupPictures, 30, 0, {0xFF, 0xD8, 0xFF}),
      builtIn(kTypeTiffIntel, u"TIFF picture (little-endian)", u"tif", kGroupPictures, 50, 0, {'I', 'I', 0x2A, 0x00}),
      builtIn(kTypeTiffMotorola, u"TIFF picture (big-endian)", u"tif", kGroupPictures, 50, 0, {'M', 'M', 0x00, 0x2A}),
      builtIn(kTypeBmp, u"Bitmap picture", u"bmp", kGroupPictures, 50, 0, {'B', 'M'}),
      builtIn(kTypeGif, u"GIF picture", u"gif", kGroupPictures, 10, 0, {'G', 'I', 'F', '8'}),
      builtIn(kTypePng, u"PNG picture", u"png", kGroupPictures, 20, 0, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}),
      builtIn(kTypeRar, u"RAR archive", u"rar", kGroupArchives, 1024, 0, {'R', 'a', 'r', '!', 0x1A, 0x07}),
      builtIn(kTypeZip, u"ZIP archive", u"zip", kGroupArchives, 100, 0, zip),
      builtIn(kTypeAu, u"AU sound", u"au", kGroupSound, 100, 0, {'.', 's', 'n', 'd'}),
      builtIn(kTypeDoc, u"Word-processing document", u"doc", kGroupDocuments, 50, 0, ole2),
      builtIn(kTypeXls, u"Spreadsheet", u"xls", kGroupDocuments, 50, 0, ole2),
      builtIn(kTypePpt, u"Presentation", u"ppt", kGroupDocuments, 50, 0, ole2),
      builtIn(kTypeDocx, u"Word-processing document (XML)", u"docx", kGroupDocuments, 50, 0, zip),
      builtIn(kTypeXlsx, u"Spreadsheet (XML)", u"xlsx", kGroupDocuments, 50, 0, zip),
      builtIn(kTypePptx, u"Presentation (XML)", u"pptx", kGroupDocuments, 50, 0, zip),
      builtIn(kTypePub, u"Desktop publishing document", u"pub", kGroupDocuments, 50, 0, ole2),
      builtIn(kTypeVsd, u"Drawing", u"vsd", kGroupDocuments, 50, 0, ole2),
      builtIn(kTypeMsg, u"Mail message", u"msg", kGroupDocuments, 50, 0, ole2),
      builtIn(kTypeDot, u"Word-processing template", u"dot", kGroupDocuments, 50, 0, ole2),
      builtIn(kTypeHtmlDoctypeUpper, u"HTML page", u"html", kGroupInternet, 2, 0, {'<', '!', 'D', 'O', 'C', 'T', 'Y', 'P'}),
      builtIn(kTypeHtmlDoctypeLower, u"HTML page", u"html", kGroupInternet, 2, 0, {'<', '!', 'd', 'o', 'c', 't', 'y', 'p'}),
      builtIn(kTypeHtmlLower, u"HTML page", u"html", kGroupInternet, 2, 0, {'<', 'h', 't', 'm', 'l'}),
      builtIn(kTypeHtmlUpper, u"HTML page", u"html", kGroupInternet, 2, 0, {'<', 'H', 'T', 'M', 'L'}),
      builtIn(kTypeAvi, u"AVI video", u"avi", kGroupVideo, 1024, 8, {'A', 'V', 'I', ' '}),
  };
}

std::optional<HeaderFileContents> readHeaderFile(const std::filesystem::path& configFolder) {
  const auto file = platform::ReadOnlyFile::open((configFolder / kHeaderFileName).string());
  if (!file) return std::nullopt;
  const std::uint64_t bytes = file->size();
  if (bytes > kMaxCatalogueRecords * header_layout::kRecordBytes) return std::nullopt;
  HeaderFileContents out;
  out.bytes = bytes;
  out.trailingBytes = bytes % header_layout::kRecordBytes != 0;
  std::array<std::uint8_t, header_layout::kRecordBytes> raw{};
  for (std::uint64_t at = 0; at + raw.size() <= bytes; at += raw.size()) {
    if (!file->readExact(at, raw)) return std::nullopt;
    auto record = decodeHeaderRecord(ByteView(raw));
    if (record) out.records.push_back(std::move(*record));
    else ++out.refused;
  }
  return out;
}

bool writeHeaderFile(const std::filesystem::path& configFolder, std::span<const HEADER_RECORD> records) {
  const std::filesystem::path target = configFolder / kHeaderFileName;
  const std::filesystem::path temporary = configFolder / (std::string(kHeaderFileName) + ".new");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (const HEADER_RECORD& r : records) {
      const auto raw = encodeHeaderRecord(r);
      out.write(reinterpret_cast<const char*>(raw.data()), std::streamsize(raw.size()));
    }
    out.flush();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::error_code renamed;
  std::filesystem::rename(temporary, target, renamed);
  if (renamed) {
    std::error_code ec;
    std::filesystem::remove(temporary, ec);
  }
  return !renamed;
}

std::string unusableCatalogue(const HeaderFileContents& contents) {
  if (!contents.records.empty()) return {};
  const std::string record = std::to_string(header_layout::kRecordBytes) + " bytes";
  if (contents.bytes == 0) return "it is empty (each file type is a record of " + record + ")";
  if (contents.refused == 0)
    return "it is " + std::to_string(contents.bytes) + " bytes long, shorter than one record of " + record;
  return "none of its " + std::to_string(contents.refused) + " records of " + record + " gives a signature to look for";
}

std::vector<HEADER_RECORD> loadHeaderCatalogue(const std::filesystem::path& configFolder, std::string* unusable) {
  if (unusable) unusable->clear();
  if (auto contents = readHeaderFile(configFolder)) {
    if (unusable) *unusable = unusableCatalogue(*contents);
    return std::move(contents->records);
  }
  std::vector<HEADER_RECORD> records = defaultHeaderCatalogue();
  std::error_code ec;
  if (!std::filesystem::exists(configFolder / kHeaderFileName, ec) && !ec) writeHeaderFile(configFolder, records);
  return records;
}

}  // namespace qelda::carve
