// Dynamic disks: the private header, the VBLK records, and simple volumes found through the
// real mount step on hand-made disks and on disks Windows wrote.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "volume/ldm.h"
#include "volume/volume_records.h"
#include "platform/log.h"
#include "platform/string_table.h"
#include "support/boot_sectors.h"
#include "support/flat_disk.h"
#include "support/mounted_image.h"

namespace qelda::volume {
namespace {

using platform::ByteView;
using platform::ParseError;
using Bytes = std::vector<std::uint8_t>;
using Sector = std::array<std::uint8_t, 512>;

constexpr const char* kThisDisk = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
constexpr const char* kOtherDisk = "11111111-2222-3333-4444-555555555555";

using test::putBe;

// --- VBLK record builders ------------------------------------------------------------------

Bytes var(const Bytes& bytes) {
  Bytes out(bytes.size() + 1);
  out[0] = std::uint8_t(bytes.size());
  std::copy(bytes.begin(), bytes.end(), out.begin() + 1);
  return out;
}
Bytes varText(const std::string& text) { return var(Bytes(text.begin(), text.end())); }
Bytes varNumber(std::uint64_t v) {
  Bytes b;
  do {
    b.insert(b.begin(), std::uint8_t(v));
    v >>= 8;
  } while (v);
  return var(b);
}
Bytes zeros(std::size_t n) { return Bytes(n, 0); }
Bytes be64(std::uint64_t v) {
  Bytes b(8);
  putBe(b.data(), v, 8);
  return b;
}

Bytes vblk(std::uint8_t type, std::initializer_list<Bytes> fields, std::uint16_t fragment = 0) {
  Bytes r(128, 0);
  std::memcpy(r.data(), "VBLK", 4);
  putBe(&r[0x0C], fragment, 2);
  putBe(&r[0x0E], 1, 2);
  r[0x13] = type;
  std::size_t pos = 0x18;
  for (const Bytes& f : fields) {
    for (std::uint8_t b : f) {
      if (pos < r.size()) r[pos] = b;
      ++pos;
    }
  }
  return r;
}

Bytes volumeRecord(std::uint8_t id, const std::string& type = "gen") {
  return vblk(0x51, {varNumber(id), varText("Volume" + std::to_string(id)), varText(type), zeros(20)});
}
Bytes componentRecord(std::uint8_t id, std::uint8_t volume, std::uint8_t kind = 2) {
  Bytes kindAndGap = {kind, 0, 0, 0, 0};
  return vblk(0x32, {varNumber(id), varText("Volume-01"), varText("ACTIVE"), kindAndGap, varNumber(1), zeros(16),
                     varNumber(volume)});
}
Bytes partitionRecord(std::uint8_t id, std::uint8_t component, std::uint8_t disk, std::uint64_t start,
                      std::uint64_t size, std::uint64_t volumeOffset = 0) {
  return vblk(0x33, {varNumber(id), varText("Disk1-01"), zeros(12), be64(start), be64(volumeOffset), varNumber(size),
                     varNumber(component), varNumber(disk)});
}
Bytes diskRecord(std::uint8_t id, const std::string& name, const std::string& guid) {
  return vblk(0x34, {varNumber(id), varText(name), varText(guid)});
}
Bytes diskRecordRev4(std::uint8_t id, const std::string& name, const std::string& guid) {
  const auto g = parseGuidText(guid);
  return vblk(0x44, {varNumber(id), varText(name), Bytes(g->begin(), g->end())});
}

Sector privateHeader(std::uint64_t logicalStart, std::uint64_t configStart, std::uint64_t configSectors,
                     const char* guid = kThisDisk) {
  Sector s{};
  std::memcpy(s.data(), "PRIVHEAD", 8);
  std::memcpy(&s[0x30], guid, std::strlen(guid));
  putBe(&s[0x11B], logicalStart, 8);
  putBe(&s[0x12B], configStart, 8);
  putBe(&s[0x133], configSectors, 8);
  return s;
}

Sector ntfsBoot() { return test::ntfsBoot(8, 4, 2); }

// --- parsing ---------------------------------------------------------------------------------

TEST(LdmParse, ReverseBytesAndGuidText) {
  const std::uint8_t in[5] = {1, 2, 3, 4, 5};
  std::uint8_t out[5] = {};
  ReverseBytes(in, out, 5);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{5, 4, 3, 2, 1}));
  const auto g = parseGuidText("D17C2C04-6afc-46c3-84b7-cdc2f3956c5c");
  ASSERT_TRUE(g);
  EXPECT_EQ((*g)[0], 0xD1);
  EXPECT_EQ((*g)[15], 0x5C);
  EXPECT_FALSE(parseGuidText("d17c2c04-6afc-46c3-84b7-cdc2f3956c5"));
  EXPECT_FALSE(parseGuidText("d17c2c04x6afc-46c3-84b7-cdc2f3956c5c"));
  EXPECT_FALSE(parseGuidText("g17c2c04-6afc-46c3-84b7-cdc2f3956c5c"));
}

TEST(LdmParse, PrivateHeaderKeepsAll64BitsOfItsStarts) {
  const Sector s = privateHeader(0x100000003Full, 0x200000000ull, 2048);
  const auto h = parseLdmPrivateHeader(ByteView(s));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->logicalDiskStart, 0x100000003Full);
  EXPECT_EQ(h->configStart, 0x200000000ull);
  EXPECT_EQ(h->configBytes, 2048u * 512);
  EXPECT_EQ(h->diskGuid, parseGuidText(kThisDisk));
  Sector other = s;
  other[0] = 'p';
  EXPECT_EQ(parseLdmPrivateHeader(ByteView(other)).error(), ParseError::NotThisFormat);
  EXPECT_EQ(parseLdmPrivateHeader(ByteView(s.data(), 0x130)).error(), ParseError::Truncated);
}

TEST(LdmParse, RecordsKeepTheirFields) {
  const auto v = parseVblkRecord(ByteView(volumeRecord(0x10)));
  ASSERT_TRUE(v);
  ASSERT_TRUE(std::holds_alternative<LdmVolumeRecord>(*v));
  EXPECT_EQ(std::get<LdmVolumeRecord>(*v).name, "Volume16");
  EXPECT_EQ(std::get<LdmVolumeRecord>(*v).volumeType, "gen");

  const auto c = parseVblkRecord(ByteView(componentRecord(0x11, 0x10, 1)));
  ASSERT_TRUE(c);
  EXPECT_EQ(std::get<LdmComponentRecord>(*c).kind, 1);
  EXPECT_EQ(std::get<LdmComponentRecord>(*c).parentVolumeId, std::get<LdmVolumeRecord>(*v).id);

  const auto p = parseVblkRecord(ByteView(partitionRecord(0x12, 0x11, 0x13, 0x1'0000'0005ull, 0x1'0000'0000ull, 77)));
  ASSERT_TRUE(p);
  const auto& part = std::get<LdmPartitionRecord>(*p);
  EXPECT_EQ(part.start, 0x1'0000'0005ull);
  EXPECT_EQ(part.size, 0x1'0000'0000ull);
  EXPECT_EQ(part.volumeOffset, 77u);
  EXPECT_EQ(part.parentComponentId, std::get<LdmComponentRecord>(*c).id);

  for (const Bytes& d : {diskRecord(0x13, "Disk12", kThisDisk), diskRecordRev4(0x13, "Disk12", kThisDisk)}) {
    const auto disk = parseVblkRecord(ByteView(d));
    ASSERT_TRUE(disk);
    EXPECT_EQ(std::get<LdmDiskRecord>(*disk).number, 12u);
    EXPECT_EQ(std::get<LdmDiskRecord>(*disk).guid, parseGuidText(kThisDisk));
    EXPECT_EQ(std::get<LdmDiskRecord>(*disk).id, part.diskId);
  }
}

TEST(LdmParse, DamagedRecordsAreRefusedWithoutReadingPastThem) {
  Bytes nameTooLong = vblk(0x51, {varNumber(1), Bytes{200}});
  Bytes idTooLong = vblk(0x33, {var(Bytes(9, 1))});
  Bytes partitionCut = vblk(0x33, {varNumber(1), varText(std::string(90, 'n')), zeros(12), be64(1), be64(0)});
  Bytes notVblk = volumeRecord(1);
  notVblk[0] = 'X';
  struct Case {
    const char* what;
    Bytes record;
    std::optional<ParseError> error;  // nothing: decoded to "not kept"
  } cases[] = {
      {"a field longer than the record", nameTooLong, ParseError::OutOfRange},
      {"an id of 9 bytes", idTooLong, ParseError::OutOfRange},
      {"fields running out at the record end", partitionCut, ParseError::OutOfRange},
      {"no magic: the end of the records", notVblk, ParseError::NotThisFormat},
      {"a continuation fragment", vblk(0x33, {varNumber(1)}, 1), std::nullopt},
      {"a type not kept", vblk(0x35, {varNumber(1)}), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = parseVblkRecord(ByteView(c.record));
    if (c.error) {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), *c.error);
    } else {
      ASSERT_TRUE(r);
      EXPECT_TRUE(std::holds_alternative<std::monostate>(*r));
    }
  }
}

// --- hand-made dynamic disks -------------------------------------------------------------------

// An MBR dynamic disk: partition 0x42 at 63, logical disk start 63, the database in the
// last 2048 sectors, mounted as a flat VMDK.
class LdmDisk : public test::FlatDisk {
 public:
  explicit LdmDisk(std::uint64_t sectors = 8192, std::uint64_t configStart = 8192 - 2048)
      : FlatDisk(sectors), configStart_(configStart) {
    put(0, test::partitionTable({{0x42, 63, std::uint32_t(sectors - 63)}}));
  }
  void putPrivateHeader(std::uint64_t sector = 6) { put(sector, privateHeader(63, configStart_, 2048)); }
  // The database header and the records after it, four to a sector.
  void putDatabase(const std::vector<Bytes>& records, std::uint64_t vmdbSector = 0) {
    if (vmdbSector == 0) vmdbSector = configStart_ + 17;
    Sector vmdb{};
    std::memcpy(vmdb.data(), "VMDB", 4);
    put(vmdbSector, vmdb);
    Bytes all;
    for (const Bytes& r : records) all.insert(all.end(), r.begin(), r.end());
    put(vmdbSector + 1, all);
  }
  // "start:count:filesystem" of every listed volume.
  std::vector<std::string> listed() const {
    std::vector<std::string> out;
    for (const auto* v : volumes())
      out.push_back(std::to_string(v->m_nStartSector) + ":" + std::to_string(v->m_nSectorCount) + ":" +
                    std::string(v->m_szFileSystem.begin(), v->m_szFileSystem.end()));
    return out;
  }

 private:
  std::uint64_t configStart_;
};

std::vector<Bytes> simpleVolume(std::uint64_t start, std::uint64_t size) {
  return {volumeRecord(0x10), componentRecord(0x11, 0x10), partitionRecord(0x12, 0x11, 0x13, start, size),
          diskRecord(0x13, "Disk1", kThisDisk)};
}

// Mounts a dynamic disk without its private header: message 593 once, the image marked
// corrupt and not dynamic, the whole disk first in the source list.
void mountWithoutPrivateHeader(LdmDisk& disk) {
  EXPECT_EQ(disk.mount(), app::MountOutcome::CorruptLayout);
  ASSERT_EQ(disk.notifier.shown.size(), 1u);
  EXPECT_EQ(disk.notifier.shown[0], platform::StringTable::load(593));
  EXPECT_EQ(disk.app.m_bImageCorrupt.load(), 1u);
  EXPECT_EQ(disk.app.m_bDynamicDisk.load(), 0u);
  ASSERT_NE(disk.app.m_pSourceList, nullptr);
  EXPECT_EQ(disk.app.m_pSourceList->m_byKind, kKindWholeDisk);
}

TEST(LdmDisk, MissingPrivateHeaderIsReportedAndOnlyTheWholeDiskListed) {
  LdmDisk disk;
  disk.putDatabase(simpleVolume(63, 1000));
  disk.put(126, ntfsBoot());
  ASSERT_NO_FATAL_FAILURE(mountWithoutPrivateHeader(disk));
  EXPECT_EQ(disk.app.m_pSourceList->m_pNext, nullptr);
}

// A table that lists ordinary partitions before its dynamic-disk entry keeps them when the
// private header is gone: the walk stops at that entry, so what follows it is not listed, nor
// what the database (still on the disk) describes.
TEST(LdmDisk, WithoutPrivateHeaderThePartitionsBeforeTheDynamicEntryAreKept) {
  struct Case {
    const char* what;
    Sector table;
    std::vector<std::string> listed;
  } cases[] = {
      {"NTFS before, FAT32 after", test::partitionTable({{0x07, 2048, 1000}, {0x42, 3048, 4000}, {0x0C, 7048, 1000}}),
       {"2048:1000:NTFS"}},
      {"FAT32 and FAT16 before", test::partitionTable({{0x0C, 100, 1000}, {0x06, 1100, 900}, {0x42, 3048, 5000}}),
       {"100:1000:FAT32", "1100:900:FAT"}},
      {"an empty entry before", test::partitionTable({{0x07, 2048, 0}, {0x42, 63, 8000}, {0x07, 4096, 1000}}), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LdmDisk disk;
    disk.put(0, c.table);
    disk.putDatabase(simpleVolume(63, 1000));
    disk.put(100, test::fatBoot(1, 32, 0, 0, 1000, 2));
    disk.put(1100, test::fatBoot(4, 1, 512, 300));
    for (const std::uint64_t s : {126, 2048, 4096, 7048}) disk.put(s, ntfsBoot());
    ASSERT_NO_FATAL_FAILURE(mountWithoutPrivateHeader(disk));
    EXPECT_EQ(disk.listed(), c.listed);
  }
}

TEST(LdmDisk, WhichVolumesAreListed) {
  struct Case {
    const char* what;
    std::vector<Bytes> records;
    std::vector<std::string> listed;
  } cases[] = {
      {"a partition on another disk of the group is not read from this one",
       {volumeRecord(0x20), componentRecord(0x21, 0x20), partitionRecord(0x22, 0x21, 0x23, 500, 700),
        diskRecord(0x23, "Disk2", kOtherDisk), volumeRecord(0x10), componentRecord(0x11, 0x10),
        partitionRecord(0x12, 0x11, 0x13, 63, 1000), diskRecord(0x13, "Disk1", kThisDisk)},
       {"126:1000:NTFS"}},
      {"striped data is not assembled",
       {volumeRecord(0x10), componentRecord(0x11, 0x10, 1), partitionRecord(0x12, 0x11, 0x13, 63, 1000),
        diskRecord(0x13, "Disk1", kThisDisk)},
       {}},
      {"RAID-5 volumes are not assembled",
       {volumeRecord(0x10, "raid5"), componentRecord(0x11, 0x10, 3), partitionRecord(0x12, 0x11, 0x13, 63, 1000),
        diskRecord(0x13, "Disk1", kThisDisk)},
       {}},
      {"a revision-4 disk record",
       {volumeRecord(0x10), componentRecord(0x11, 0x10), partitionRecord(0x12, 0x11, 0x13, 63, 1000),
        diskRecordRev4(0x13, "Disk1", kThisDisk)},
       {"126:1000:NTFS"}},
      {"spanned pieces on this disk join the node of the piece at the volume's start",
       {volumeRecord(0x10), componentRecord(0x11, 0x10), partitionRecord(0x14, 0x11, 0x13, 3000, 400, 1000),
        partitionRecord(0x12, 0x11, 0x13, 63, 1000, 0), diskRecord(0x13, "Disk1", kThisDisk)},
       {"126:1400:NTFS"}},
      {"a volume whose first sector names no file system",
       {volumeRecord(0x10), componentRecord(0x11, 0x10), partitionRecord(0x12, 0x11, 0x13, 2000, 1000),
        diskRecord(0x13, "Disk1", kThisDisk)},
       {}},
      {"two volumes at one start are listed once",
       {volumeRecord(0x10), componentRecord(0x11, 0x10), partitionRecord(0x12, 0x11, 0x13, 63, 1000),
        volumeRecord(0x20), componentRecord(0x21, 0x20), partitionRecord(0x22, 0x21, 0x13, 63, 500),
        diskRecord(0x13, "Disk1", kThisDisk)},
       {"126:1000:NTFS"}},
      {"a damaged record is skipped, the stream goes on",
       {volumeRecord(0x10), vblk(0x32, {varNumber(0x11), Bytes{250}}), componentRecord(0x11, 0x10),
        partitionRecord(0x12, 0x11, 0x13, 63, 1000), diskRecord(0x13, "Disk1", kThisDisk)},
       {"126:1000:NTFS"}},
      {"the records end at the first block without the magic",
       {volumeRecord(0x10), componentRecord(0x11, 0x10), Bytes(128, 0), partitionRecord(0x12, 0x11, 0x13, 63, 1000),
        diskRecord(0x13, "Disk1", kThisDisk)},
       {}},
      {"without a disk record for this disk, every piece is tried",
       {volumeRecord(0x10), componentRecord(0x11, 0x10), partitionRecord(0x12, 0x11, 0x13, 63, 1000),
        diskRecord(0x13, "Disk1", kOtherDisk)},
       {"126:1000:NTFS"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LdmDisk disk;
    disk.putPrivateHeader();
    disk.putDatabase(c.records);
    disk.put(126, ntfsBoot());
    disk.put(563, ntfsBoot());
    EXPECT_EQ(disk.mount(), app::MountOutcome::Mounted);
    EXPECT_EQ(disk.listed(), c.listed);
  }
}

// The database the walk reads from a mounted hand-made disk, parsed again for a look inside.
LdmDatabase parsedDatabase(LdmDisk& disk) {
  LdmDatabase database;
  EXPECT_EQ(FindLdmPrivateHeader(disk.app, database, 6), 1u);
  FindLdmDatabase(disk.app, database, disk.app.m_nDiskSectors - 2048);
  ParseLdmRecords(disk.app, database);
  return database;
}

// Mounts `disk` with a database of `records` and an NTFS boot sector at 126; the walk's
// notes go to `log`.
void mountWithRecords(LdmDisk& disk, const std::vector<Bytes>& records, platform::TextLog& log) {
  disk.putPrivateHeader();
  disk.putDatabase(records);
  disk.put(126, ntfsBoot());
  disk.app.layoutLog_ = &log;
  EXPECT_EQ(disk.mount(), app::MountOutcome::Mounted);
}

TEST(LdmDisk, RecordsRepeatedWithTheSameIdCountOnce) {
  // 200 copies of the component, partition and disk records: joined blindly, 8,000,000
  // pieces and a volume of 8,000,000,000 sectors. The first copy of a record is the one kept.
  std::vector<Bytes> records = {volumeRecord(0x10)};
  for (int i = 0; i < 200; ++i) {
    records.push_back(componentRecord(0x11, 0x10));
    records.push_back(partitionRecord(0x12, 0x11, 0x13, 63, i == 0 ? 1000 : 5000));
    records.push_back(diskRecord(0x13, "Disk1", kThisDisk));
  }
  LdmDisk disk;
  platform::TextLog log;
  mountWithRecords(disk, records, log);
  EXPECT_EQ(disk.listed(), (std::vector<std::string>{"126:1000:NTFS"}));
  EXPECT_TRUE(log.entries().empty());

  LdmDatabase database = parsedDatabase(disk);
  EXPECT_EQ(database.components.size(), 1u);
  EXPECT_EQ(database.partitions.size(), 1u);
  EXPECT_EQ(database.disks.size(), 1u);
}

TEST(LdmDisk, AVolumeHasAtMostItsPartitionRecordsAndIsCutAtTheDiskEnd) {
  // 300 partition records with distinct ids, all at the volume's start, each claiming 2^62
  // sectors: their sum passes 2^64 and is held at the largest count.
  std::vector<Bytes> records = {volumeRecord(0x10), componentRecord(0x11, 0x10), diskRecord(0x13, "Disk1", kThisDisk)};
  for (std::uint64_t id = 1000; id < 1300; ++id)
    records.push_back(vblk(0x33, {varNumber(id), varText("Disk1-01"), zeros(12), be64(63), be64(0),
                                  varNumber(std::uint64_t(1) << 62), varNumber(0x11), varNumber(0x13)}));
  LdmDisk disk;
  platform::TextLog log;
  mountWithRecords(disk, records, log);
  EXPECT_EQ(disk.listed(), (std::vector<std::string>{"126:" + std::to_string(8192 - 126) + ":NTFS"}));
  const VOLUME_RECORD* v = disk.app.m_pSourceList->m_pNext->m_pDetail.volume();
  EXPECT_EQ(v->claimedSectorCount, UINT64_MAX);
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_NE(log.entries()[0].find(u"past the end of the disk at sector 8192"), std::u16string::npos);

  LdmDatabase database = parsedDatabase(disk);
  ASSERT_EQ(database.partitions.size(), 300u);
  AssembleLdmVolumes(disk.app, database);
  ASSERT_EQ(database.assembled.size(), 1u);
  EXPECT_EQ(database.assembled[0].pieces.size(), database.partitions.size());
}

TEST(LdmDisk, HeaderAndDatabaseAreFoundWhereTheyAre) {
  struct Case {
    const char* what;
    std::uint64_t sectors;
    std::uint64_t configStart;
    std::uint64_t headerSector;
    std::uint64_t vmdbSector;  // 0: configStart + 17
    std::vector<std::string> listed;
  } cases[] = {
      {"header at sector 6", 8192, 8192 - 2048, 6, 0, {"126:1000:NTFS"}},
      {"header elsewhere, found by the search", 8192, 8192 - 2048, 300, 0, {"126:1000:NTFS"}},
      {"database before the last 2048 sectors of a longer image", 16384, 4096, 6, 0, {"126:1000:NTFS"}},
      {"no database header on the disk", 8192, 8192 - 2048, 6, 1'000'000, {}},
      {"the records end with the database area", 16384, 4096, 6, 4096 + 2047, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LdmDisk disk(c.sectors, c.configStart);
    disk.putPrivateHeader(c.headerSector);
    if (c.vmdbSector < c.sectors) disk.putDatabase(simpleVolume(63, 1000), c.vmdbSector);
    disk.put(126, ntfsBoot());
    EXPECT_EQ(disk.mount(), app::MountOutcome::Mounted);
    EXPECT_EQ(disk.listed(), c.listed);  // the logical disk's start plus the partition's
    EXPECT_EQ(disk.app.m_bDynamicDisk.load(), 1u);
    EXPECT_EQ(disk.app.m_bImageCorrupt.load(), 0u);
    EXPECT_TRUE(disk.notifier.shown.empty());
  }
}

// Disks Windows wrote (simple, mirrored, spanned, striped and RAID-5 volumes on MBR and GPT
// dynamic disks) are listed against ldmtool by check_source_list.sh.

}  // namespace
}  // namespace qelda::volume
