#include "volume/gpt.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "volume/disk_state.h"
#include "volume/gpt_layout.h"
#include "volume/ldm.h"
#include "volume/ldm_layout.h"
#include "volume/partition_list.h"
#include "platform/text.h"

namespace qelda::volume {

using platform::ByteView;
using platform::ParseError;

platform::Parsed<GptHeader> parseGptHeader(ByteView sector) {
  if (!sector.matches(gpt::kSignature, "EFI PART")) return ParseError::NotThisFormat;
  GptHeader h;
  const auto lba = sector.le64(gpt::kEntryArrayLba);
  const auto count = sector.le32(gpt::kEntryCount);
  const auto size = sector.le32(gpt::kEntrySize);
  if (!lba || !count || !size) return ParseError::Truncated;
  h.entryArrayLba = *lba;
  h.entryCount = *count;
  h.entrySize = *size;
  if (h.entrySize != 128 && h.entrySize != 256 && h.entrySize != 512) return ParseError::OutOfRange;
  return h;
}

namespace {

bool nameIs(ByteView entry, std::u16string_view wanted) {
  const auto name = entry.utf16le(gpt::kName, gpt::kNameUnits);
  if (!name) return false;
  const std::u16string_view text(name->data(), std::min(name->size(), name->find(u'\0')));
  return text == wanted;
}

bool typeIs(ByteView entry, const std::array<std::uint8_t, 16>& guid) {
  const auto type = entry.sub(gpt::kTypeGuid, guid.size());
  return type && std::equal(guid.begin(), guid.end(), type->data());
}

}  // namespace

std::uint32_t gptCrc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

namespace {

bool headerCrcRight(std::array<std::uint8_t, 512> sector, std::uint64_t at) {
  const ByteView view(sector);
  const std::uint32_t size = view.le32(gpt::kHeaderSize).value_or(0);
  if (size < gpt::kMinHeaderSize || size > gpt::kMaxHeaderSize || view.le64(gpt::kMyLba) != at) return false;
  const std::uint32_t stored = *view.le32(gpt::kHeaderCrc);
  platform::putLe32(sector.data() + gpt::kHeaderCrc, 0);
  return gptCrc32(std::span(sector).first(size)) == stored;
}

bool entriesCrcRight(DiskState& app, const GptHeader& h, std::uint32_t stored) {
  if (h.entryCount == 0 || h.entryCount > gpt::kMaxEntries || h.entryArrayLba >= app.m_nDiskSectors) return false;
  const std::size_t bytes = std::size_t(h.entryCount) * h.entrySize;  // at most 8 MiB
  const std::size_t sectors = (bytes + 511) / 512;
  if (sectors > app.m_nDiskSectors - h.entryArrayLba) return false;
  std::vector<std::uint8_t> array(sectors * 512);
  image::ReadReport report;
  image::ReadSourceSectors(app, array.data(), h.entryArrayLba, std::uint32_t(array.size()), &report);
  return report.failedSectors == 0 && gptCrc32(std::span(array).first(bytes)) == stored;
}

// Which entries of an array start inside another entry (mmls lists both): the entries sorted
// by first sector, with the entry reaching furthest among those before each.
class GptOverlaps {
 public:
  struct Range {
    std::uint64_t first;
    std::uint64_t last;
    std::uint32_t index;
  };
  template <class RangeOf>
  GptOverlaps(std::uint32_t entries, RangeOf rangeOf) {
    for (std::uint32_t i = 0; i < entries; ++i) {
      const auto [first, last] = rangeOf(i);
      if (first != 0 && last >= first) sorted_.push_back({first, last, i});
    }
    std::sort(sorted_.begin(), sorted_.end(),
              [](const Range& a, const Range& b) { return a.first != b.first ? a.first < b.first : a.index < b.index; });
    reach_.reserve(sorted_.size());
    position_.assign(entries, kNone);
    for (std::size_t k = 0; k < sorted_.size(); ++k) {
      reach_.push_back(k == 0 || sorted_[k].last > sorted_[reach_[k - 1]].last ? k : reach_[k - 1]);
      position_[sorted_[k].index] = k;
    }
  }

  // The entry that entry `index` starts inside (at or after its first sector, at or before
  // its last), when there is one.
  std::optional<Range> startsInside(std::uint32_t index) const {
    const std::size_t at = index < position_.size() ? position_[index] : kNone;
    if (at == kNone || at == 0) return std::nullopt;
    const Range& outer = sorted_[reach_[at - 1]];
    if (outer.last < sorted_[at].first) return std::nullopt;
    return outer;
  }

 private:
  static constexpr std::size_t kNone = SIZE_MAX;
  std::vector<Range> sorted_;
  std::vector<std::size_t> reach_;     // per position: the position of the furthest-reaching entry up to it
  std::vector<std::size_t> position_;  // per entry: its position in sorted_, or kNone
};

// Entries said not to be listed one by one; the rest are counted.
constexpr std::size_t kListedOverlaps = 8;

// A header as read from `at`, with what its CRCs say of it.
struct CheckedGpt {
  GptHeader header;
  std::uint64_t alternate = 0;
  bool headerSound = false;
  bool entriesSound = false;
};

std::optional<CheckedGpt> readGptHeader(DiskState& app, std::uint64_t at) {
  if (at >= app.m_nDiskSectors) return std::nullopt;
  std::array<std::uint8_t, 512> sector{};
  image::ReadSourceSectors(app, sector.data(), at, std::uint32_t(sector.size()));
  const ByteView view(sector);
  const auto header = parseGptHeader(view);
  if (!header) return std::nullopt;
  CheckedGpt c{*header, view.le64(gpt::kAlternateLba).value_or(0), headerCrcRight(sector, at), false};
  c.entriesSound = c.headerSound && entriesCrcRight(app, *header, view.le32(gpt::kEntryArrayCrc).value_or(0));
  return c;
}

// The header the walk reads the entries by: the primary when both its CRCs hold; else the
// backup (where the primary says it is, or in the disk's last sector) when both of its hold,
// and the user is told; else the primary as it stands.
std::optional<GptHeader> chooseGptHeader(DiskState& app, std::uint64_t primaryAt) {
  const auto primary = readGptHeader(app, primaryAt);
  if (primary && primary->entriesSound) return primary->header;
  const std::string what = !primary                ? "there is no GPT header at sector " + std::to_string(primaryAt)
                           : !primary->headerSound ? "the GPT header at sector " + std::to_string(primaryAt) +
                                                         " fails its CRC check"
                                                   : "the GPT entries of the header at sector " +
                                                         std::to_string(primaryAt) + " fail their CRC check";
  std::vector<std::uint64_t> places;
  // A damaged header may give a wrong place: the backup then fails its own checks there.
  if (primary) places.push_back(primary->alternate);
  if (app.m_nDiskSectors > 0) places.push_back(app.m_nDiskSectors - 1);
  for (const std::uint64_t at : places) {
    if (at == primaryAt) continue;
    const auto backup = readGptHeader(app, at);
    if (!backup || !backup->entriesSound) continue;
    noteDisk(app, platform::widenLatin1(what + "; the partition table is read from its backup header at sector " +
                                        std::to_string(at)));
    return backup->header;
  }
  // Without a sound backup the primary is all there is: read as it stands, as tables that
  // carry no CRCs at all are.
  if (!primary) return std::nullopt;
  return primary->header;
}

}  // namespace

GptEntryRole gptEntryRole(ByteView entry) {
  if (nameIs(entry, u"Basic data partition") || typeIs(entry, gpt::kBasicDataType)) return GptEntryRole::BasicData;
  if (nameIs(entry, u"LDM metadata partition") || typeIs(entry, gpt::kLdmMetadataType))
    return GptEntryRole::LdmMetadata;
  return GptEntryRole::Ignored;
}

void ScanGptPartitionEntries(DiskState& app, LdmDatabase& database, std::uint32_t headerSector) {
  const auto header = chooseGptHeader(app, headerSector);
  if (!header) return;

  // Only the entries the header counts are looked at, and only those inside the disk.
  const std::uint64_t diskSectors = app.m_nDiskSectors;
  const std::uint32_t count = std::min(header->entryCount, gpt::kMaxEntries);
  const std::uint32_t perSector = 512 / header->entrySize;
  std::uint64_t arraySectors = (count + perSector - 1) / perSector;
  if (header->entryArrayLba >= diskSectors) return;
  arraySectors = std::min<std::uint64_t>(arraySectors, diskSectors - header->entryArrayLba);
  std::vector<std::uint8_t> array(std::size_t(arraySectors) * 512);  // at most 8 MiB
  if (array.empty()) return;
  image::ReadSourceSectors(app, array.data(), header->entryArrayLba, std::uint32_t(array.size()));
  const auto entryAt = [&](std::uint32_t i) {
    std::array<std::uint8_t, gpt::kWorkAreaSize> work{};
    std::copy_n(array.begin() + std::ptrdiff_t(std::size_t(i) * header->entrySize), work.size(), work.begin());
    return work;
  };
  const std::uint32_t entries = std::uint32_t(std::min<std::uint64_t>(count, arraySectors * perSector));
  const GptOverlaps overlaps(entries, [&](std::uint32_t i) {
    const auto work = entryAt(i);
    const ByteView entry(work);
    return std::pair(*entry.le64(gpt::kFirstLba), *entry.le64(gpt::kLastLba));
  });

  std::size_t unlisted = 0;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const auto work = entryAt(i);
    const ByteView entry(work);
    const std::uint64_t first = *entry.le64(gpt::kFirstLba);
    if (first == 0) continue;
    const GptEntryRole role = gptEntryRole(entry);
    if (role == GptEntryRole::BasicData) {
      if (DetectVolumeFileSystem(app, work)) continue;
      // An entry starting inside another is listed when it holds a volume of its own; when
      // not, the user is told why it is missing from the list.
      const auto outer = overlaps.startsInside(i);
      if (!outer) continue;
      if (++unlisted > kListedOverlaps) continue;
      noteDisk(app, platform::widenLatin1(
                        "GPT entry " + std::to_string(i + 1) + " (sectors " + std::to_string(first) + "-" +
                        std::to_string(*entry.le64(gpt::kLastLba)) + ") starts inside entry " +
                        std::to_string(outer->index + 1) + " (sectors " + std::to_string(outer->first) + "-" +
                        std::to_string(outer->last) + "), and its first sector names no file system: it is not listed"));
    } else if (role == GptEntryRole::LdmMetadata) {
      app.m_bDynamicDisk = 1;
      if (FindLdmPrivateHeader(app, database, ldm::kGptPrivHeadSector)) FindLdmDatabase(app, database, first);
      else app.m_bImageNoLayout = 1;
      // The rest of this sector's entries belong to the dynamic disk.
      i = (i / perSector + 1) * perSector - 1;
    }
  }
  if (unlisted > kListedOverlaps)
    noteDisk(app, platform::widenLatin1("and " + std::to_string(unlisted - kListedOverlaps) +
                                        " more GPT entries start inside another and name no file system"));
}

}  // namespace qelda::volume
