#include "volume/gpt.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "volume/disk_state.h"
#include "volume/gpt_layout.h"
#include "volume/ldm.h"
#include "volume/ldm_layout.h"
#include "volume/partition_list.h"

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

GptEntryRole gptEntryRole(ByteView entry) {
  if (nameIs(entry, u"Basic data partition") || typeIs(entry, gpt::kBasicDataType)) return GptEntryRole::BasicData;
  if (nameIs(entry, u"LDM metadata partition") || typeIs(entry, gpt::kLdmMetadataType))
    return GptEntryRole::LdmMetadata;
  return GptEntryRole::Ignored;
}

void ScanGptPartitionEntries(DiskState& app, LdmDatabase& database, std::uint32_t headerSector) {
  std::array<std::uint8_t, 512> sector{};
  image::ReadSourceSectors(app, sector.data(), headerSector, std::uint32_t(sector.size()));
  const auto header = parseGptHeader(ByteView(sector));
  if (!header) return;

  // Only the entries the header counts are looked at, and only those inside the disk.
  const std::uint64_t diskSectors = app.m_nDiskSectors;
  const std::uint32_t count = std::min(header->entryCount, gpt::kMaxEntries);
  const std::uint32_t perSector = 512 / header->entrySize;
  std::uint64_t arraySectors = (count + perSector - 1) / perSector;
  if (header->entryArrayLba >= diskSectors) return;
  arraySectors = std::min<std::uint64_t>(arraySectors, diskSectors - header->entryArrayLba);

  std::uint32_t examined = 0;
  for (std::uint64_t s = 0; s < arraySectors; ++s) {
    image::ReadSourceSectors(app, sector.data(), header->entryArrayLba + s, std::uint32_t(sector.size()));
    for (std::size_t pos = 0; pos < sector.size() && examined < count; pos += header->entrySize, ++examined) {
      std::array<std::uint8_t, gpt::kWorkAreaSize> work{};
      std::copy_n(sector.begin() + std::ptrdiff_t(pos), work.size(), work.begin());
      const ByteView entry(work);
      const std::uint64_t first = *entry.le64(gpt::kFirstLba);
      if (first == 0) continue;
      const GptEntryRole role = gptEntryRole(entry);
      if (role == GptEntryRole::BasicData) {
        DetectVolumeFileSystem(app, work);
      } else if (role == GptEntryRole::LdmMetadata) {
        app.m_bDynamicDisk = 1;
        if (FindLdmPrivateHeader(app, database, ldm::kGptPrivHeadSector)) FindLdmDatabase(app, database, first);
        else app.m_bImageNoLayout = 1;
        // The rest of this sector's entries belong to the dynamic disk.
        examined = std::uint32_t((s + 1) * perSector);
        break;
      }
    }
  }
}

}  // namespace qelda::volume
