// The GUID partition table: header checks, entry roles, and the walk over hand-made tables
// mounted through the real mount step.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "volume/gpt.h"
#include "volume/gpt_layout.h"
#include "platform/log.h"
#include "volume/volume_records.h"
#include "support/boot_sectors.h"
#include "support/flat_disk.h"
#include "support/mounted_image.h"

namespace qelda::volume {
namespace {

using platform::ByteView;
using platform::ParseError;
using Sector = std::array<std::uint8_t, 512>;

using test::putLe;

Sector gptHeader(std::uint64_t arrayLba, std::uint32_t count, std::uint32_t size) {
  Sector s{};
  std::memcpy(&s[0], "EFI PART", 8);
  putLe(&s[0x48], arrayLba, 8);
  putLe(&s[0x50], count, 4);
  putLe(&s[0x54], size, 4);
  return s;
}

// Linux filesystem data: 0FC63DAF-8483-4772-8E79-3D69D8477DE4.
constexpr std::array<std::uint8_t, 16> kLinuxType = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                                     0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
constexpr std::array<std::uint8_t, 16> kNoType{};

std::vector<std::uint8_t> gptEntry(const std::array<std::uint8_t, 16>& type, std::uint64_t first, std::uint64_t last,
                                   std::u16string_view name, std::size_t size = 128) {
  std::vector<std::uint8_t> e(size);
  std::copy(type.begin(), type.end(), e.begin());
  e[16] = 0x11;  // a unique partition GUID, not looked at
  putLe(&e[0x20], first, 8);
  putLe(&e[0x28], last, 8);
  for (std::size_t i = 0; i < name.size() && i < 36; ++i) putLe(&e[0x38 + 2 * i], name[i], 2);
  return e;
}

TEST(GptHeader, AcceptsOnlyWholeEntriesOfAtLeast128Bytes) {
  struct Case {
    const char* what;
    Sector sector;
    std::optional<ParseError> error;
  } cases[] = {
      {"128-byte entries", gptHeader(2, 128, 128), std::nullopt},
      {"256-byte entries", gptHeader(2, 128, 256), std::nullopt},
      {"512-byte entries", gptHeader(2, 128, 512), std::nullopt},
      {"entry size 0", gptHeader(2, 128, 0), ParseError::OutOfRange},
      {"entry size 200", gptHeader(2, 128, 200), ParseError::OutOfRange},
      {"entry size 64", gptHeader(2, 128, 64), ParseError::OutOfRange},
      {"entry size 1024", gptHeader(2, 128, 1024), ParseError::OutOfRange},
      {"no signature", [] { auto s = gptHeader(2, 128, 128); s[0] = 'X'; return s; }(), ParseError::NotThisFormat},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto h = parseGptHeader(ByteView(c.sector));
    if (!c.error) {
      ASSERT_TRUE(h);
      EXPECT_EQ(h->entryArrayLba, 2u);
      EXPECT_EQ(h->entryCount, 128u);
    } else {
      ASSERT_FALSE(h);
      EXPECT_EQ(h.error(), *c.error);
    }
  }
  const Sector full = gptHeader(2, 128, 128);
  EXPECT_FALSE(parseGptHeader(ByteView(full.data(), 0x50)));
}

TEST(GptEntry, RecognisedByNameOrByTypeGuid) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> entry;
    GptEntryRole role;
  } cases[] = {
      {"named basic data, no type", gptEntry(kNoType, 2048, 4095, u"Basic data partition"), GptEntryRole::BasicData},
      {"basic data type, no name", gptEntry(gpt::kBasicDataType, 2048, 4095, u""), GptEntryRole::BasicData},
      {"named LDM metadata", gptEntry(kNoType, 34, 2081, u"LDM metadata partition"), GptEntryRole::LdmMetadata},
      {"LDM metadata type, no name", gptEntry(gpt::kLdmMetadataType, 34, 2081, u""), GptEntryRole::LdmMetadata},
      {"Linux type, no name", gptEntry(kLinuxType, 2048, 4095, u""), GptEntryRole::Ignored},
      {"Linux type, other name", gptEntry(kLinuxType, 2048, 4095, u"Basic data"), GptEntryRole::Ignored},
      {"name with more after it", gptEntry(kNoType, 2048, 4095, u"Basic data partition 2"), GptEntryRole::Ignored},
      {"LDM data partition", gptEntry(kNoType, 2048, 4095, u"LDM data partition"), GptEntryRole::Ignored},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(gptEntryRole(ByteView(c.entry)), c.role);
  }
}

// A disk with a protective MBR, a GPT header at sector 1 and boot sectors where the cases
// put volumes, mounted as a flat VMDK. (Tables sgdisk wrote: check_source_list.sh.)
class GptDisk : public test::FlatDisk {
 public:
  static constexpr std::uint64_t kSectors = 210'000;

  GptDisk() : FlatDisk(kSectors) {
    put(0, test::partitionTable({{0xEE, 1, std::uint32_t(kSectors - 1)}}));
    for (std::uint64_t at : {2048u, 4096u, 12'288u}) put(at, test::ntfsBoot(8, 4, 2));
    put(8192, test::exFatBoot(128, 64, 1000, 100));
  }
  // Entries written one after the other from `lba`.
  void putEntries(std::uint64_t lba, const std::vector<std::vector<std::uint8_t>>& entries) {
    std::vector<std::uint8_t> all;
    for (const auto& e : entries) all.insert(all.end(), e.begin(), e.end());
    put(lba, all);
  }
  std::vector<std::uint64_t> mountAndListStarts() {
    EXPECT_NE(mount(), app::MountOutcome::Invalid);
    return starts();
  }
};

TEST(GptWalk, AnEntryPastTheDiskIsReadToItsEndOnly) {
  for (const std::uint64_t last : {std::uint64_t(1) << 40, UINT64_MAX}) {
    SCOPED_TRACE(last);
    GptDisk disk;
    platform::TextLog log;
    disk.app.layoutLog_ = &log;
    disk.put(1, gptHeader(2, 128, 128));
    disk.putEntries(2, {gptEntry(gpt::kBasicDataType, 2048, last, u"")});
    EXPECT_EQ(disk.mountAndListStarts(), (std::vector<std::uint64_t>{2048}));
    const VOLUME_RECORD* v = disk.volumeAt(2048);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->claimedSectorCount, last - 2048 + 1);
    EXPECT_EQ(v->m_nSectorCount, GptDisk::kSectors - 2048);
    EXPECT_EQ(v->m_nLastSector, GptDisk::kSectors);
    EXPECT_EQ(log.entries().size(), 1u);
  }
}

TEST(GptWalk, DamagedTablesListNothingOrOnlyWhatIsSound) {
  struct Case {
    const char* what;
    Sector header;
    std::vector<std::vector<std::uint8_t>> entries;
    std::vector<std::uint64_t> starts;
  } cases[] = {
      {"entry size 0", gptHeader(2, 128, 0), {gptEntry(gpt::kBasicDataType, 2048, 4095, u"")}, {}},
      {"entry size 200", gptHeader(2, 128, 200),
       {gptEntry(gpt::kBasicDataType, 2048, 4095, u"", 200), gptEntry(gpt::kBasicDataType, 8192, 9000, u"", 200),
        gptEntry(gpt::kBasicDataType, 12'288, 13'000, u"", 200)},
       {}},
      {"no signature", [] { auto h = gptHeader(2, 128, 128); h[1] = 'x'; return h; }(),
       {gptEntry(gpt::kBasicDataType, 2048, 4095, u"")}, {}},
      {"entry array past the disk", gptHeader(GptDisk::kSectors, 128, 128), {}, {}},
      {"count of 2^32 - 1", gptHeader(2, 0xFFFFFFFFu, 128),
       {gptEntry(gpt::kBasicDataType, 2048, 4095, u""), gptEntry(gpt::kBasicDataType, 8192, 9000, u"")},
       {2048, 8192}},
      {"last before first", gptHeader(2, 128, 128),
       {gptEntry(gpt::kBasicDataType, 4095, 2048, u""), gptEntry(gpt::kBasicDataType, 8192, 9000, u"")}, {8192}},
      {"first LBA 0", gptHeader(2, 128, 128), {gptEntry(gpt::kBasicDataType, 0, 4095, u"")}, {}},
      {"only the counted entries", gptHeader(2, 1, 128),
       {gptEntry(gpt::kBasicDataType, 2048, 4095, u""), gptEntry(gpt::kBasicDataType, 8192, 9000, u"")}, {2048}},
      {"a fifth entry in the second sector of the array", gptHeader(2, 5, 128),
       {gptEntry(kNoType, 0, 0, u""), gptEntry(kNoType, 0, 0, u""), gptEntry(kNoType, 0, 0, u""),
        gptEntry(kNoType, 0, 0, u""), gptEntry(gpt::kBasicDataType, 8192, 9000, u"")},
       {8192}},
      {"256-byte entries", gptHeader(2, 4, 256),
       {gptEntry(gpt::kBasicDataType, 2048, 4095, u"", 256), gptEntry(gpt::kBasicDataType, 8192, 9000, u"", 256)},
       {2048, 8192}},
      {"Linux partitions are not listed", gptHeader(2, 128, 128),
       {gptEntry(kLinuxType, 2048, 4095, u""), gptEntry(gpt::kBasicDataType, 8192, 9000, u"")}, {8192}},
      {"a basic data partition known by its name alone", gptHeader(2, 128, 128),
       {gptEntry(kNoType, 2048, 206'847, u"Basic data partition")}, {2048}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GptDisk disk;
    disk.put(1, c.header);
    if (!c.entries.empty()) disk.putEntries(2, c.entries);
    EXPECT_EQ(disk.mountAndListStarts(), c.starts);
  }
}

TEST(GptWalk, LdmMetadataWithoutPrivateHeaderMarksTheDiskAndSkipsTheRestOfItsSector) {
  GptDisk disk;
  disk.put(1, gptHeader(2, 8, 128));
  disk.putEntries(2, {gptEntry(kNoType, 34, 2081, u"LDM metadata partition"),
                      gptEntry(gpt::kBasicDataType, 4096, 5000, u""),
                 gptEntry(kNoType, 0, 0, u""), gptEntry(kNoType, 0, 0, u""),
                 gptEntry(gpt::kBasicDataType, 8192, 9000, u"")});
  EXPECT_EQ(disk.mountAndListStarts(), (std::vector<std::uint64_t>{8192}));
  EXPECT_EQ(disk.app.m_bDynamicDisk.load(), 1u);
  EXPECT_EQ(disk.app.m_bImageNoLayout.load(), 1u);
  EXPECT_TRUE(disk.notifier.shown.empty()) << "only the MBR path reports a missing private header";
}

}  // namespace
}  // namespace qelda::volume
