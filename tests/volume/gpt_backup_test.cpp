// The GPT walk's checks of a table against its CRCs, the fall-back to the backup header, and
// entries that start inside another. (Tables sgdisk and sfdisk wrote, damaged:
// check_damaged_maps.sh.)
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/mount.h"
#include "platform/log.h"
#include "platform/text.h"
#include "support/boot_sectors.h"
#include "support/flat_disk.h"
#include "support/mounted_image.h"
#include "volume/gpt.h"
#include "volume/gpt_layout.h"

namespace qelda::volume {
namespace {

using test::putLe;

constexpr std::uint64_t kSectors = 40'000;
constexpr std::uint64_t kBackupAt = kSectors - 1;
constexpr std::uint64_t kBackupArray = kSectors - 33;

std::vector<std::uint8_t> entry(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint8_t> e(128);
  std::copy(gpt::kBasicDataType.begin(), gpt::kBasicDataType.end(), e.begin());
  e[16] = std::uint8_t(first);  // a unique partition GUID, not looked at
  putLe(&e[0x20], first, 8);
  putLe(&e[0x28], last, 8);
  return e;
}

// 128 entries of 128 bytes: the given ones first, the rest empty.
std::vector<std::uint8_t> entryArray(const std::vector<std::vector<std::uint8_t>>& entries) {
  std::vector<std::uint8_t> all(128 * 128);
  for (std::size_t i = 0; i < entries.size(); ++i) std::copy(entries[i].begin(), entries[i].end(), all.begin() + 128 * i);
  return all;
}

std::array<std::uint8_t, 512> header(std::uint64_t at, std::uint64_t alternate, std::uint64_t arrayLba,
                                     const std::vector<std::uint8_t>& array) {
  std::array<std::uint8_t, 512> h{};
  std::memcpy(h.data(), "EFI PART", 8);
  putLe(&h[0x08], 0x00010000, 4);
  putLe(&h[gpt::kHeaderSize], 92, 4);
  putLe(&h[gpt::kMyLba], at, 8);
  putLe(&h[gpt::kAlternateLba], alternate, 8);
  putLe(&h[gpt::kEntryArrayLba], arrayLba, 8);
  putLe(&h[gpt::kEntryCount], 128, 4);
  putLe(&h[gpt::kEntrySize], 128, 4);
  putLe(&h[gpt::kEntryArrayCrc], gptCrc32(array), 4);
  putLe(&h[gpt::kHeaderCrc], gptCrc32(std::span(h).first(92)), 4);
  return h;
}

// A protective MBR, NTFS boot sectors at 2048, 4096 and 12288, and a primary and a backup
// table as a partitioning tool writes them: the primary's entries at 2048 and 12288, the
// backup's at 2048, 4096 and 12288 (so that a table read from the backup shows).
struct TwoTables : test::FlatDisk {
  std::vector<std::uint8_t> primaryArray = entryArray({entry(2048, 4095), entry(12'288, 14'000)});
  std::vector<std::uint8_t> backupArray = entryArray({entry(2048, 4095), entry(4096, 8191), entry(12'288, 14'000)});
  platform::TextLog log;

  TwoTables() : FlatDisk(kSectors) {
    put(0, test::partitionTable({{0xEE, 1, std::uint32_t(kSectors - 1)}}));
    for (std::uint64_t at : {2048u, 4096u, 12'288u}) put(at, test::ntfsBoot(8, 4, 2));
    put(1, header(1, kBackupAt, 2, primaryArray));
    put(2, primaryArray);
    put(kBackupAt, header(kBackupAt, 1, kBackupArray, backupArray));
    put(kBackupArray, backupArray);
    app.layoutLog_ = &log;
  }
  std::vector<std::uint64_t> listed() {
    EXPECT_EQ(mount(), app::MountOutcome::Mounted);
    return starts();
  }
  std::string notes() const {
    std::string all;
    for (const std::u16string& n : app.diskNotes_) all += platform::toUtf8(n) + "\n";
    return all;
  }
};

TEST(GptCrc, IsTheCrcOfTheStandardCheckString) {
  constexpr std::string_view check = "123456789";
  EXPECT_EQ(gptCrc32({reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}), 0xCBF43926u);
}

TEST(GptBackup, ASoundPrimaryIsReadAndNothingIsSaid) {
  TwoTables disk;
  EXPECT_EQ(disk.listed(), (std::vector<std::uint64_t>{2048, 12'288}));
  EXPECT_EQ(disk.notes(), "");
  EXPECT_TRUE(disk.log.entries().empty());
}

TEST(GptBackup, APrimaryFailingItsCrcGivesWayToASoundBackupAndTheUserIsTold) {
  struct Case {
    const char* what;
    void (*damage)(TwoTables&);
    const char* note;
  } cases[] = {
      {"header CRC",
       [](TwoTables& d) {
         auto h = header(1, kBackupAt, 2, d.primaryArray);
         putLe(&h[gpt::kEntryCount], 1, 4);  // the CRC left as it was
         d.put(1, h);
       },
       "the GPT header at sector 1 fails its CRC check; the partition table is read from its backup header at "
       "sector 39999\n"},
      {"entry array CRC",
       [](TwoTables& d) {
         d.primaryArray[128 + 0x20] ^= 1;
         d.put(2, d.primaryArray);
       },
       "the GPT entries of the header at sector 1 fail their CRC check; the partition table is read from its backup "
       "header at sector 39999\n"},
      {"no header at all",
       [](TwoTables& d) { d.put(1, std::vector<std::uint8_t>(512, 0)); },
       "there is no GPT header at sector 1; the partition table is read from its backup header at sector 39999\n"},
      {"the primary names a wrong place for its backup, which is in the last sector",
       [](TwoTables& d) {
         auto h = header(1, 5, 2, d.primaryArray);
         h[gpt::kHeaderCrc] ^= 1;
         d.put(1, h);
       },
       "the GPT header at sector 1 fails its CRC check; the partition table is read from its backup header at "
       "sector 39999\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TwoTables disk;
    c.damage(disk);
    EXPECT_EQ(disk.listed(), (std::vector<std::uint64_t>{2048, 4096, 12'288}));
    EXPECT_EQ(disk.notes(), c.note);
    EXPECT_EQ(disk.log.entries().size(), 1u);
  }
}

TEST(GptBackup, WithoutASoundBackupThePrimaryIsReadAsItStands) {
  struct Case {
    const char* what;
    void (*damage)(TwoTables&);
  } cases[] = {
      {"backup header lost", [](TwoTables& d) { d.put(kBackupAt, std::vector<std::uint8_t>(1, 0x78)); }},
      {"backup entry array CRC",
       [](TwoTables& d) {
         d.backupArray[0x20] ^= 1;
         d.put(kBackupArray, d.backupArray);
       }},
      {"backup found in another sector than it says",
       [](TwoTables& d) { d.put(kBackupAt, header(kBackupAt - 1, 1, kBackupArray, d.backupArray)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TwoTables disk;
    auto h = header(1, kBackupAt, 2, disk.primaryArray);
    h[gpt::kHeaderCrc] ^= 1;
    disk.put(1, h);
    c.damage(disk);
    EXPECT_EQ(disk.listed(), (std::vector<std::uint64_t>{2048, 12'288}));
  }
}

TEST(GptNested, AnEntryInsideAnotherIsListedWithAVolumeAndSaidWithout) {
  TwoTables disk;
  // Entry 2 lies inside entry 1 and holds a volume; entry 4 starts inside entry 3 where
  // that volume's data lies; entry 5 starts inside entry 1 where no volume begins, entry 6 inside no other.
  disk.primaryArray = entryArray({entry(2048, 14'000), entry(4096, 8191), entry(12'288, 16'000),
                                  entry(13'000, 20'000), entry(2100, 3000), entry(30'000, 31'000)});
  disk.put(1, header(1, kBackupAt, 2, disk.primaryArray));
  disk.put(2, disk.primaryArray);
  EXPECT_EQ(disk.listed(), (std::vector<std::uint64_t>{2048, 4096, 12'288}));
  EXPECT_EQ(disk.notes(),
            "GPT entry 4 (sectors 13000-20000) starts inside entry 3 (sectors 12288-16000), and its first sector "
            "names no file system: it is not listed\n"
            "GPT entry 5 (sectors 2100-3000) starts inside entry 1 (sectors 2048-14000), and its first sector "
            "names no file system: it is not listed\n");
}

}  // namespace
}  // namespace qelda::volume
