#include "fs/fat_dir_entry.h"

#include <array>

#include "fs/fat_layout.h"

namespace qelda::fs::fat {

using platform::ByteView;

std::uint32_t entryFirstCluster(ByteView e) {
  return std::uint32_t(e.le16(dirent::kClusterHigh).value_or(0)) << 16 | e.le16(dirent::kClusterLow).value_or(0);
}
std::uint8_t entryAttributes(ByteView e) { return e.u8(dirent::kAttributes).value_or(0); }
bool entryIsDeleted(ByteView e) { return e.u8(dirent::kName).value_or(0) == dirent::kDeletedMark; }

char16_t cp437ToUnicode(std::uint8_t byte) {
  static constexpr std::array<char16_t, 128> kHigh = {
      0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
      0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
      0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
      0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
      0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
      0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
      0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
      0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
      0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
      0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};
  return byte < 0x80 ? char16_t(byte) : kHigh[byte - 0x80];
}

namespace {

// Widens the `length` bytes at `offset` into `out` without the blanks that pad their end; the
// count. Blanks inside are kept: they belong to the name, as systems that read such volumes
// show it ("PAD 0000. NG"). With `lower`, the letters A to Z are given in lower case.
std::size_t widenPart(ByteView e, std::size_t offset, std::size_t length, char16_t* out, bool lower = false) {
  std::size_t count = length;
  while (count > 0 && e.u8(offset + count - 1).value_or(' ') == ' ') --count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = *e.u8(offset + i);
    out[i] = lower && b >= 'A' && b <= 'Z' ? char16_t(b + ('a' - 'A')) : cp437ToUnicode(b);
  }
  return count;
}

// Appends an entry's characters up to its first 0x0000, `ended` telling whether one was met;
// false when the cap would be passed. `e` holds the entry's 32 bytes.
bool appendLongEntry(ByteView e, EntryName& name, bool& ended) {
  // Where each of the 13 characters lies: 5 in the first piece, 6 in the second, 2 in the third.
  static constexpr std::array<std::uint8_t, 13> kUnitAt = {
      dirent::kLongPiece1,      dirent::kLongPiece1 + 2,  dirent::kLongPiece1 + 4,  dirent::kLongPiece1 + 6,
      dirent::kLongPiece1 + 8,  dirent::kLongPiece2,      dirent::kLongPiece2 + 2,  dirent::kLongPiece2 + 4,
      dirent::kLongPiece2 + 6,  dirent::kLongPiece2 + 8,  dirent::kLongPiece2 + 10, dirent::kLongPiece3,
      dirent::kLongPiece3 + 2};
  // Written straight after the name while all 13 fit; near the cap through a spare array,
  // since fewer characters may still fit.
  std::array<char16_t, 13> spare;
  char16_t* const direct = name.room(kUnitAt.size());
  char16_t* const to = direct ? direct : spare.data();
  std::size_t count = 0;
  const std::uint8_t* p = e.data();
  for (; count < kUnitAt.size(); ++count) {
    const char16_t ch = char16_t(p[kUnitAt[count]] | p[kUnitAt[count] + 1] << 8);
    if (ch == 0) break;
    to[count] = ch;
  }
  ended = count < kUnitAt.size();
  if (!direct) return name.append(spare.data(), count);
  name.commit(count);
  return true;
}

bool equalsIgnoreCase(char16_t a, char16_t b) {
  const auto lower = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; };
  return lower(a) == lower(b);
}

}  // namespace

void shortEntryName(ByteView e, bool deleted, EntryName& out) {
  out.clear();
  // A blank never begins a name: such bytes are no entry's.
  if (e.u8(dirent::kName).value_or(' ') == ' ') return;
  std::array<char16_t, 12> units;  // 8 + "." + 3
  // The case flags of byte 12, as the systems that write `readme.txt` as README   TXT set them.
  const std::uint8_t caseFlags = e.u8(dirent::kCaseFlags).value_or(0);
  const std::size_t base = widenPart(e, dirent::kName, 8, units.data(), caseFlags & dirent::kLowerCaseBase);
  if (deleted) units[0] = u'X';
  // A name whose first byte really is 0xE5 (a lead byte in some code pages) is stored with
  // 0x05 so as not to read as deleted.
  else if (e.u8(dirent::kName) == dirent::kStoredE5) units[0] = cp437ToUnicode(dirent::kDeletedMark);
  std::size_t count = base;
  const std::size_t ext =
      widenPart(e, dirent::kExtension, 3, units.data() + base + 1, caseFlags & dirent::kLowerCaseExtension);
  if (ext > 0) {
    units[base] = u'.';
    count += 1 + ext;
  }
  out.append(units.data(), count);
}

std::u16string shortEntryExtension(ByteView e) {
  std::array<char16_t, 3> units;
  return std::u16string(units.data(), widenPart(e, dirent::kExtension, 3, units.data()));
}

namespace {

// The checksum every entry of a long name carries of its short entry's 11 name bytes.
std::uint8_t shortNameChecksum(ByteView e) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i) sum = std::uint8_t(((sum & 1) << 7) + (sum >> 1) + e.u8(i).value_or(0));
  return sum;
}

// Whether a deleted long name whose last piece is full could end there: a short entry made
// for it takes its extension from the text after the name's last ".", blanks left out, so a
// name cut short before that text no longer gives the short extension.
bool endsInShortExtension(std::u16string_view name, ByteView shortEntry) {
  std::array<char16_t, 3> ext;
  const std::size_t length = widenPart(shortEntry, dirent::kExtension, 3, ext.data());
  if (length == 0) return true;  // the name had no extension: nothing tells
  const auto dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0) return false;
  std::size_t matched = 0;
  for (const char16_t unit : name.substr(dot + 1)) {
    if (matched == length) break;
    if (unit == u' ') continue;
    // Characters a code page cannot hold, or a short name may not, are replaced there.
    const bool plain = (unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
    if (plain && !equalsIgnoreCase(unit, ext[matched])) return false;
    ++matched;
  }
  return matched == length;
}

}  // namespace

LongName collectLongName(ByteView buffer, std::size_t entryOffset, ByteView previousTail) {
  LongName result;
  const auto shortEntry = buffer.sub(entryOffset, dirent::kSize);
  if (!shortEntry) return result;
  // A live entry's pieces are live, numbered from 1 and carry its checksum. Deleting a name
  // overwrites each piece's number, and the short entry's first byte the checksum is of: a
  // deleted entry's pieces need only carry one checksum, and the last one is told by the
  // name's end within it.
  const bool deleted = entryIsDeleted(*shortEntry);
  std::optional<std::uint8_t> checksum;
  if (!deleted) checksum = shortNameChecksum(*shortEntry);
  std::uint8_t number = 1;
  bool lastFullAndDeleted = false;  // the farthest piece taken is a deleted one without the name's end
  ByteView area = buffer;
  std::size_t offset = entryOffset;
  bool stopped = false;  // by an entry that is no piece of this name
  for (int round = 0; round < 2 && !stopped; ++round) {
    while (offset >= dirent::kSize) {
      offset -= dirent::kSize;
      const auto e = area.sub(offset, dirent::kSize);
      stopped = true;
      if (!e || entryAttributes(*e) != dirent::kAttrLongName) break;
      const std::uint8_t order = *e->u8(dirent::kLongOrder);
      const bool pieceDeleted = order == dirent::kDeletedMark;
      if (pieceDeleted ? !deleted
                       : (order & ~(dirent::kLongNumber | dirent::kLongLast)) != 0 || (order & dirent::kLongNumber) != number)
        break;  // another name's piece, or a gap in this one's
      const std::uint8_t sum = *e->u8(dirent::kLongChecksum);
      if (checksum && sum != *checksum) break;
      checksum = sum;
      bool ended = false;
      if (!appendLongEntry(*e, result.name, ended)) {
        result.tooLong = true;
        return result;
      }
      ++number;
      if (pieceDeleted ? ended : (order & dirent::kLongLast) != 0) {
        result.found = !result.name.empty();
        return result;
      }
      lastFullAndDeleted = pieceDeleted;
      stopped = false;
    }
    if (stopped) break;
    // The walk reached the start of this buffer: go on in the previous cluster's end.
    if (round == 0) result.reachedStart = true;
    area = previousTail;
    offset = previousTail.size() - previousTail.size() % dirent::kSize;
  }
  // The pieces end without the last one: no name, unless a deleted name filled its last piece.
  result.found = lastFullAndDeleted && endsInShortExtension(result.name.view(), *shortEntry);
  return result;
}

std::u16string_view longNameExtension(std::u16string_view name) {
  const auto dot = name.rfind(u'.');
  const std::u16string_view ext = dot == std::u16string_view::npos ? name : name.substr(dot + 1);
  return ext.substr(0, 4);
}

std::optional<bool> deletedFileSignatureMatches(std::u16string_view extension, ByteView sector) {
  enum class Rule { Ole, Zip4, Pdf, Mp4, Mpg, Avi, Jpeg, Zip, Mp3 };
  static constexpr std::array<std::pair<std::u16string_view, Rule>, 15> kKeywords = {{
      {u"doc", Rule::Ole},   {u"xls", Rule::Ole},   {u"ppt", Rule::Ole},   {u"docx", Rule::Zip4},
      {u"xlsx", Rule::Zip4}, {u"pptx", Rule::Zip4}, {u"pdf", Rule::Pdf},   {u"mp4", Rule::Mp4},
      {u"mov", Rule::Mp4},   {u"mpg", Rule::Mpg},   {u"avi", Rule::Avi},   {u"jpg", Rule::Jpeg},
      {u"jpeg", Rule::Jpeg}, {u"zip", Rule::Zip},   {u"mp3", Rule::Mp3}}};
  if (extension.empty()) return std::nullopt;
  const Rule* rule = nullptr;
  for (const auto& [keyword, r] : kKeywords) {
    if (extension.size() > keyword.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < extension.size() && same; ++i) same = equalsIgnoreCase(extension[i], keyword[i]);
    if (same) {
      rule = &r;
      break;
    }
  }
  if (!rule) return std::nullopt;
  switch (*rule) {
    case Rule::Ole: return sector.matches(0, "\xD0\xCF\x11\xE0");
    case Rule::Zip4: return sector.matches(0, "PK\x03\x04");
    case Rule::Pdf: return sector.matches(0, "%PDF-1.");
    case Rule::Mp4:
      for (const char* atom : {"moov", "pdin", "moof", "mfra", "free", "skip", "junk", "wide", "pnot", "pict", "meta",
                               "meco", "uuid", "mdat", "ftyp"})
        if (sector.matches(4, atom)) return true;
      return false;
    case Rule::Mpg: return false;
    case Rule::Avi: return sector.matches(0, "RIFF");
    case Rule::Jpeg: return sector.matches(0, "\xFF\xD8");
    case Rule::Zip: return sector.matches(0, "PK");
    case Rule::Mp3:
      return sector.matches(0, std::string_view("\x00\x00\x01\xBA", 4)) || sector.matches(0, "ID3") ||
             sector.matches(0, "\xFF\xFA") || sector.matches(0, "\xFF\xFB") || sector.matches(0, "\xFF\xE3");
  }
  return std::nullopt;
}

bool startsWithDotEntries(ByteView sector) {
  return sector.u8(0).value_or(0) == dirent::kDot && sector.u8(dirent::kSize).value_or(0) == dirent::kDot;
}

namespace {
constexpr std::array<std::uint8_t, 9> kForbiddenNameBytes = {'\\', '/', ':', '*', '?', '"', '<', '>', '|'};
}  // namespace

EntryVerdict entryVerdictWithoutReads(ByteView e, std::uint32_t maxCluster, std::uint64_t dataSectors, EntrySite site) {
  if (!e.has(0, dirent::kSize)) return EntryVerdict::Refused;
  const std::uint8_t attr = entryAttributes(e);
  if (attr == dirent::kAttrLongName) return EntryVerdict::Skipped;
  if (attr > dirent::kAttrHighest) return EntryVerdict::Refused;
  const std::uint32_t first = entryFirstCluster(e);
  if (first > maxCluster) return EntryVerdict::Refused;
  if (e.le32(dirent::kFileSize).value_or(0) / kSectorBytes > dataSectors) return EntryVerdict::Refused;
  for (std::size_t i = 0; i < 11; ++i)
    if (e.u8(i).value_or(0) == 0) return EntryVerdict::Refused;
  const std::uint16_t date = e.le16(dirent::kWriteDate).value_or(0);
  const unsigned month = (date >> 5) & 0x0F;
  const unsigned day = date & 0x1F;
  if (date == 0 || month < 1 || month > 12 || day < 1) return EntryVerdict::Refused;
  if (attr < dirent::kAttrLabel && site == EntrySite::UnknownData) return EntryVerdict::Refused;
  if (attr & dirent::kAttrArchive) {
    for (std::size_t i = 0; i < 8; ++i)
      for (const std::uint8_t bad : kForbiddenNameBytes)
        if (e.u8(i).value_or(0) == bad) return EntryVerdict::Refused;
  }
  if (!(attr & dirent::kAttrArchive) && (attr & dirent::kAttrDirectory)) return EntryVerdict::DirectoryToConfirm;
  return entryIsPassedOver(e) ? EntryVerdict::Skipped : EntryVerdict::Usable;
}

bool entryIsPassedOver(ByteView e) {
  const std::uint32_t first = entryFirstCluster(e);
  return ((first & 0xFFFF) < 2 && (first >> 16) == 0) || (entryAttributes(e) & dirent::kAttrLabel);
}

bool mayHoldDirectoryEntries(ByteView cluster, std::uint32_t maxCluster, std::uint64_t dataSectors) {
  for (std::size_t o = 0; o + dirent::kSize <= cluster.size(); o += dirent::kSize) {
    const ByteView e = *cluster.sub(o, dirent::kSize);
    if (e.u8(0) == dirent::kEndMark) return false;
    switch (entryVerdictWithoutReads(e, maxCluster, dataSectors, EntrySite::UnknownData)) {
      case EntryVerdict::Skipped: continue;
      case EntryVerdict::Refused: return false;
      case EntryVerdict::Usable:
      case EntryVerdict::DirectoryToConfirm: return true;
    }
  }
  return false;
}

}  // namespace qelda::fs::fat
