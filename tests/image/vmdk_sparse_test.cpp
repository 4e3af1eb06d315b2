#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "image/virtual_disk.h"
#include "image/vmdk_layout.h"
#include "platform/byte_view.h"
#include "support/image_dir.h"
#include "support/patterns.h"
#include "support/recording_notifier.h"

namespace qelda::disk {
namespace {

using platform::putLe32;
using platform::putLe64;
using test::ImageDir;
using test::taggedSectors;

// The geometry and header of one hand-made sparse extent.
struct SparseShape {
  std::uint64_t capacity = 128;
  std::uint64_t grain = 8;
  std::uint32_t tableEntries = 4;  // coverage of a table: 32 sectors
  std::uint64_t redundantDirectory = 1;
  std::uint64_t directory = 0;
  std::uint32_t flags = 3;
  bool header = true;  // false: sector 0 stays zero (a lost header)
};

// What was written: where each table and grain went, and the disk it should read as.
struct SparseFile {
  std::string path;
  std::vector<std::uint8_t> disk;                // capacity sectors, holes as zeros (small extents only)
  std::vector<std::uint64_t> tableSector;        // per directory entry; 0: none
  std::map<std::uint64_t, std::uint64_t> grainSector;  // grain index -> file sector
  std::uint64_t directorySector = 0;
};

// Writes a sparse extent: header, directory, one table per used directory entry, then the
// grains in the order given, each holding the tagged sectors of its virtual place.
SparseFile writeSparse(ImageDir& dir, const std::string& name, const SparseShape& shape,
                       const std::vector<std::uint64_t>& grains, std::uint32_t tag) {
  SparseFile f;
  f.path = dir.file(name);
  const std::uint64_t coverage = shape.grain * shape.tableEntries;
  const std::uint64_t entries = (shape.capacity + coverage - 1) / coverage;
  f.directorySector = shape.redundantDirectory ? shape.redundantDirectory : shape.directory;
  const std::uint64_t dirSectors = (entries * 4 + 511) / 512;
  const std::uint64_t tableSectors = (shape.tableEntries * 4 + 511) / 512;
  std::uint64_t next = f.directorySector + dirSectors;
  f.tableSector.assign(entries, 0);
  for (std::uint64_t g : grains) {
    if (f.tableSector[g / shape.tableEntries] == 0) {
      f.tableSector[g / shape.tableEntries] = next;
      next += tableSectors;
    }
  }
  const bool keepDisk = shape.capacity <= (1u << 18);
  if (keepDisk) f.disk.assign(shape.capacity * 512, 0);
  std::vector<std::uint8_t> directory(dirSectors * 512);
  std::map<std::uint64_t, std::vector<std::uint8_t>> tables;
  for (std::uint64_t e = 0; e < entries; ++e) {
    putLe32(directory.data() + e * 4, std::uint32_t(f.tableSector[e]));
    if (f.tableSector[e]) tables[e].assign(tableSectors * 512, 0);
  }
  for (std::uint64_t g : grains) {
    f.grainSector[g] = next;
    putLe32(tables[g / shape.tableEntries].data() + (g % shape.tableEntries) * 4, std::uint32_t(next));
    const auto data = taggedSectors(tag, g * shape.grain, shape.grain);
    dir.put(name, next, data);
    if (keepDisk) std::copy(data.begin(), data.end(), f.disk.begin() + std::ptrdiff_t(g * shape.grain * 512));
    next += shape.grain;
  }
  dir.put(name, f.directorySector, directory);
  for (auto& [e, bytes] : tables) dir.put(name, f.tableSector[e], bytes);
  std::vector<std::uint8_t> header(512, 0);
  if (shape.header) {
    putLe32(header.data(), vmdk::kSparseMagic);
    putLe32(header.data() + 4, 1);
    putLe32(header.data() + vmdk::kFlags, shape.flags);
    putLe64(header.data() + vmdk::kCapacity, shape.capacity);
    putLe64(header.data() + vmdk::kGrainSize, shape.grain);
    putLe32(header.data() + vmdk::kGrainTableEntries, shape.tableEntries);
    putLe64(header.data() + vmdk::kRedundantGrainDirectory, shape.redundantDirectory);
    putLe64(header.data() + vmdk::kGrainDirectory, shape.directory);
  }
  dir.put(name, 0, header);
  dir.truncate(name, std::max<std::uint64_t>(next * 512, 512));
  return f;
}

void patchLe32(const std::string& path, std::uint64_t offset, std::uint32_t value) {
  std::uint8_t b[4];
  putLe32(b, value);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, b, 4, off_t(offset)), 4);
  ::close(fd);
}
void patchLe64(const std::string& path, std::uint64_t offset, std::uint64_t value) {
  patchLe32(path, offset, std::uint32_t(value));
  patchLe32(path, offset + 4, std::uint32_t(value >> 32));
}

std::string descriptorFor(const std::string& createType, const std::vector<std::pair<std::uint64_t, std::string>>& extents) {
  std::string text = "# Disk DescriptorFile\nversion=1\ncreateType=\"" + createType + "\"\n";
  for (const auto& [sectors, name] : extents) text += "RW " + std::to_string(sectors) + " SPARSE \"" + name + "\"\n";
  return text;
}

struct WholeRead {
  std::vector<std::uint8_t> bytes;
  std::uint32_t result = 0;
  std::uint64_t failed = 0;
};

WholeRead readWhole(app::CQELDAApp& app, std::uint64_t sectors) {
  WholeRead r;
  r.bytes.assign(sectors * 512, 0xEE);
  ReadReport report;
  r.result = ReadSourceSectors(app, r.bytes.data(), 0, std::uint32_t(r.bytes.size()), &report);
  r.failed = report.failedSectors;
  return r;
}

app::MountOutcome mount(app::CQELDAApp& app, const std::string& path, test::RecordingNotifier* shown = nullptr) {
  test::RecordingNotifier local;
  return app::CDataRecovery(app, shown ? *shown : local).OnBnClickedMountVirtualDisk(app::kImageVmdk, path);
}

bool allZero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

TEST(VmdkSparse, ReadsGrainsAcrossTablesWithHolesAsZeros) {
  ImageDir dir;
  // Grains out of order in the file, a whole table unallocated (grains 8-11), holes inside tables.
  const SparseFile f = writeSparse(dir, "x.vmdk", {}, {5, 0, 1, 2, 15, 12}, 1);
  const std::string d = dir.putText("d.vmdk", descriptorFor("monolithicSparse", {{128, "x.vmdk"}}));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_nDiskSectors, 128u);
  const WholeRead whole = readWhole(app, 128);
  EXPECT_EQ(whole.result, 1u);
  EXPECT_EQ(whole.failed, 0u);
  EXPECT_EQ(whole.bytes, f.disk);
  // One sector at a time and odd-sized requests across grain edges give the same bytes.
  std::vector<std::uint8_t> part(3 * 512 + 100);
  for (std::uint64_t s = 0; s + 4 <= 128; s += 3) {
    ASSERT_EQ(ReadSourceSectors(app, part.data(), s, std::uint32_t(part.size())), 1u) << s;
    ASSERT_EQ(0, std::memcmp(part.data(), f.disk.data() + s * 512, part.size())) << "sector " << s;
  }
}

TEST(VmdkSparse, GrainsThatFollowEachOtherInTheFileAreOneRun) {
  ImageDir dir;
  const SparseFile f = writeSparse(dir, "x.vmdk", {}, {0, 1, 2, 4, 3}, 1);
  const std::string d = dir.putText("d.vmdk", descriptorFor("monolithicSparse", {{128, "x.vmdk"}}));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
  const auto image = app.mountedImage();
  const MappedRun first = image->map(2, 100);  // grains 0-2 lie side by side; grain 3 is after 4
  ASSERT_NE(first.file, nullptr);
  EXPECT_EQ(first.offset, (f.grainSector.at(0) + 2) * 512);
  EXPECT_EQ(first.sectors, 3 * 8 - 2u);
  const MappedRun hole = image->map(40, 100);  // grains 5-15: one hole up to the end
  EXPECT_EQ(hole.file, nullptr);
  EXPECT_TRUE(hole.readable);
  EXPECT_EQ(hole.sectors, 88u);
}

TEST(VmdkSparse, DefaultGeometryPutsSector70000InTable1Entry34AtSector112) {
  // 128-sector grains and 512 entries: a table covers 65,536 sectors; 70,000 - 65,536 =
  // 4,464 = 34 grains of 128 and 112 sectors.
  ImageDir dir;
  SparseShape shape;
  shape.capacity = 2 * 65536;
  shape.grain = 128;
  shape.tableEntries = 512;
  shape.redundantDirectory = 21;
  const SparseFile f = writeSparse(dir, "x.vmdk", shape, {512 + 34}, 3);
  const std::string d = dir.putText("d.vmdk", descriptorFor("monolithicSparse", {{shape.capacity, "x.vmdk"}}));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
  std::vector<std::uint8_t> got(512);
  EXPECT_EQ(ReadSourceSectors(app, got.data(), 70000, 512), 1u);
  EXPECT_EQ(got, taggedSectors(3, 70000, 1));
  const MappedRun run = app.mountedImage()->map(70000, 1);
  EXPECT_EQ(run.offset, (f.grainSector.at(512 + 34) + 112) * 512);
}

TEST(VmdkSparse, RedundantDirectoryIsPreferredAndTheOtherServesWhenItIsZero) {
  for (const bool redundant : {true, false}) {
    SCOPED_TRACE(redundant ? "redundant directory named" : "redundant directory 0");
    ImageDir dir;
    SparseShape shape;
    shape.redundantDirectory = redundant ? 1 : 0;
    shape.directory = redundant ? 0 : 1;
    const SparseFile f = writeSparse(dir, "x.vmdk", shape, {0, 6}, 4);
    if (redundant) {
      // A stale second directory elsewhere, pointing at the header: never used.
      std::vector<std::uint8_t> stale(512, 0);
      putLe32(stale.data(), 0);
      dir.put("x.vmdk", 100, stale);
      patchLe64(f.path, vmdk::kGrainDirectory, 100);
    }
    const std::string d = dir.putText("d.vmdk", descriptorFor("monolithicSparse", {{128, "x.vmdk"}}));
    app::CQELDAApp app;
    ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
    const WholeRead whole = readWhole(app, 128);
    EXPECT_EQ(whole.result, 1u);
    EXPECT_EQ(whole.bytes, f.disk);
  }
}

TEST(VmdkSparse, DamagedHeadersAndTablesReadAsZerosOrFailCleanly) {
  // Expectation over the whole disk: the data as written, zeros that count as read, or
  // zeros that count as unreadable.
  enum class Expect { Data, Zeros, Fail };
  struct Case {
    const char* what;
    void (*damage)(const SparseFile&);
    Expect allocated;  // what the written grains read as
  };
  const Case cases[] = {
      {"grain size 0", [](const SparseFile& f) { patchLe64(f.path, vmdk::kGrainSize, 0); }, Expect::Fail},
      {"grain table entries 0", [](const SparseFile& f) { patchLe32(f.path, vmdk::kGrainTableEntries, 0); },
       Expect::Fail},
      {"grain size 2^40", [](const SparseFile& f) { patchLe64(f.path, vmdk::kGrainSize, 1ull << 40); },
       Expect::Fail},
      {"2^32-1 entries per table", [](const SparseFile& f) { patchLe32(f.path, vmdk::kGrainTableEntries, ~0u); },
       Expect::Fail},
      {"directory offset past any file",
       [](const SparseFile& f) { patchLe64(f.path, vmdk::kRedundantGrainDirectory, 0xFFFFFFFFFFFFFF00ull); },
       Expect::Zeros},
      {"directory offset whose byte offset wraps",
       [](const SparseFile& f) { patchLe64(f.path, vmdk::kRedundantGrainDirectory, 0x0080000000000001ull); },
       Expect::Zeros},
      {"no directory at all", [](const SparseFile& f) { patchLe64(f.path, vmdk::kRedundantGrainDirectory, 0); },
       Expect::Fail},
      {"table entries beyond the file",
       [](const SparseFile& f) {
         for (std::uint64_t e = 0; e < f.tableSector.size(); ++e)
           patchLe32(f.path, f.directorySector * 512 + e * 4, 0x7FFFFFFF);
       },
       Expect::Zeros},
      {"grain entries beyond the file",
       [](const SparseFile& f) {
         for (const auto& [g, sector] : f.grainSector)
           patchLe32(f.path, f.tableSector[g / 4] * 512 + (g % 4) * 4, 0xFFFFFF00u);
       },
       Expect::Fail},
      {"compressed grains", [](const SparseFile& f) { patchLe32(f.path, vmdk::kFlags, 0x10003); }, Expect::Fail},
      {"zeroed-grain entries", [](const SparseFile& f) {
         patchLe32(f.path, vmdk::kFlags, 0x7);
         for (const auto& [g, sector] : f.grainSector) patchLe32(f.path, f.tableSector[g / 4] * 512 + (g % 4) * 4, 1);
       },
       Expect::Zeros},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageDir dir;
    const SparseFile f = writeSparse(dir, "x.vmdk", {}, {0, 1, 9}, 5);
    c.damage(f);
    const std::string d = dir.putText("d.vmdk", descriptorFor("monolithicSparse", {{128, "x.vmdk"}}));
    app::CQELDAApp app;
    ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
    const WholeRead whole = readWhole(app, 128);
    EXPECT_TRUE(allZero(whole.bytes));
    std::vector<std::uint8_t> one(512, 0xEE);
    const std::uint32_t grain0 = ReadSourceSectors(app, one.data(), 3, 512);
    EXPECT_TRUE(allZero(one));
    EXPECT_EQ(grain0, c.allocated == Expect::Fail ? 0u : 1u);
  }
}

TEST(VmdkSparse, SectorsPastTheHeaderCapacityAreNotData) {
  ImageDir dir;
  SparseShape shape;
  shape.capacity = 64;  // the descriptor says 128
  writeSparse(dir, "x.vmdk", shape, {0, 7}, 6);
  const std::string d = dir.putText("d.vmdk", descriptorFor("monolithicSparse", {{128, "x.vmdk"}}));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
  std::vector<std::uint8_t> got(512);
  EXPECT_EQ(ReadSourceSectors(app, got.data(), 63, 512), 1u);
  EXPECT_EQ(got, taggedSectors(6, 63, 1));
  ReadReport report;
  EXPECT_EQ(ReadSourceSectors(app, got.data(), 64, 512, &report), 0u);
  EXPECT_EQ(report.failedSectors, 1u);
}

TEST(VmdkSparse, ZeroedHeaderFallsBackToTheDefaultGeometry) {
  // A monolithic extent whose sector 0 is lost: 128-sector grains, 512 entries, the
  // directory at sector 21.
  ImageDir dir;
  SparseShape shape;
  shape.header = false;
  shape.capacity = 65536 + 1024;
  shape.grain = 128;
  shape.tableEntries = 512;
  shape.redundantDirectory = 21;
  const SparseFile f = writeSparse(dir, "x.vmdk", shape, {0, 3, 512 + 5}, 7);
  const std::string d = dir.putText("d.vmdk", descriptorFor("monolithicSparse", {{shape.capacity, "x.vmdk"}}));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
  const WholeRead whole = readWhole(app, shape.capacity);
  EXPECT_EQ(whole.result, 1u);
  EXPECT_EQ(whole.bytes, f.disk);
}

// A split sparse image: three extent files whose sizes their headers give.
class SplitSparse : public ::testing::Test {
 protected:
  void SetUp() override {
    SparseShape shape;
    shape.capacity = 64;
    files.push_back(writeSparse(dir, "vm disk-s001.vmdk", shape, {0, 3, 7}, 1));
    files.push_back(writeSparse(dir, "vm disk-s002.vmdk", shape, {1}, 2));
    shape.capacity = 24;
    files.push_back(writeSparse(dir, "vm disk-s003.vmdk", shape, {2}, 3));
    // Tags follow the extent's own sector numbers; the disk is their concatenation.
    for (const auto& f : files) disk.insert(disk.end(), f.disk.begin(), f.disk.end());
  }
  ImageDir dir;
  std::vector<SparseFile> files;
  std::vector<std::uint8_t> disk;
};

TEST_F(SplitSparse, DescriptorExtentsFollowEachOther) {
  const std::string d = dir.putText(
      "vm disk.vmdk", descriptorFor("twoGbMaxExtentSparse",
                                    {{64, "vm disk-s001.vmdk"}, {64, "vm disk-s002.vmdk"}, {24, "vm disk-s003.vmdk"}}));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_nDiskSectors, 152u);
  const WholeRead whole = readWhole(app, 152);
  EXPECT_EQ(whole.result, 1u);
  EXPECT_EQ(whole.bytes, disk);
}

TEST_F(SplitSparse, WithoutDescriptorAnyExtentFileGivesTheWholeImage) {
  for (const char* picked : {"vm disk-s001.vmdk", "vm disk-s002.vmdk", "vm disk-s003.vmdk"}) {
    SCOPED_TRACE(picked);
    app::CQELDAApp app;
    ASSERT_EQ(mount(app, dir.file(picked)), app::MountOutcome::Mounted);
    EXPECT_EQ(app.m_strCreateType, u"twoGbMaxExtentSparse");
    ASSERT_EQ(app.m_arrExtents.size(), 3u);
    EXPECT_EQ(app.m_arrExtents[0].m_nSectors, 64u);  // each file's header capacity
    EXPECT_EQ(app.m_arrExtents[2].m_nSectors, 24u);
    EXPECT_EQ(app.m_arrExtents[1].m_szFileName, u"vm disk-s002.vmdk");
    EXPECT_EQ(readWhole(app, 152).bytes, disk);
  }
}

TEST_F(SplitSparse, MissingMiddleFileReadsAsZerosAndLaterExtentsStayInPlace) {
  std::filesystem::remove(files[1].path);
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, dir.file("vm disk-s003.vmdk")), app::MountOutcome::Mounted);
  ASSERT_EQ(app.m_arrExtents.size(), 3u);
  EXPECT_EQ(app.m_arrExtents[1].m_szFileName, u"vm disk-s002.vmdk");  // the name built for it
  EXPECT_EQ(app.m_arrExtents[1].m_nSectors, 64u);                     // as its full sibling
  const WholeRead whole = readWhole(app, 152);
  EXPECT_EQ(whole.failed, 64u);
  EXPECT_TRUE(allZero(std::span(whole.bytes).subspan(64 * 512, 64 * 512)));
  EXPECT_EQ(0, std::memcmp(whole.bytes.data() + 128 * 512, files[2].disk.data(), 24 * 512));
  EXPECT_EQ(0, std::memcmp(whole.bytes.data(), files[0].disk.data(), 64 * 512));
}

TEST(VmdkSparse, EmbeddedDescriptorOfAMonolithicExtent) {
  ImageDir dir;
  SparseShape shape;
  shape.redundantDirectory = 21;
  const SparseFile f = writeSparse(dir, "one.vmdk", shape, {0, 2}, 8);
  patchLe64(f.path, vmdk::kDescriptorOffset, 1);
  patchLe64(f.path, vmdk::kDescriptorSize, 20);
  const std::string text = descriptorFor("monolithicSparse", {{128, "one.vmdk"}});
  dir.putAt("one.vmdk", 512, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, f.path), app::MountOutcome::Mounted);
  EXPECT_EQ(readWhole(app, 128).bytes, f.disk);
}

TEST(VmdkSparse, HugeEmbeddedDescriptorFieldsEndCleanly) {
  // Descriptor offset or size fields far beyond the file: the text read is bounded, and
  // what it holds decides; nothing is read past the file and nothing crashes.
  const struct {
    const char* what;
    std::uint64_t offset, size;
    bool mounts;
  } cases[] = {
      {"size of 2^60 sectors", 1, std::uint64_t(1) << 60, true},
      {"size of all ones", 1, ~std::uint64_t(0), true},
      {"offset beyond the file", std::uint64_t(1) << 40, 20, false},
      {"offset whose byte value wraps", ~std::uint64_t(0) / 256, 20, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ImageDir dir;
    SparseShape shape;
    shape.redundantDirectory = 21;
    const SparseFile f = writeSparse(dir, "h.vmdk", shape, {0, 2}, 8);
    patchLe64(f.path, vmdk::kDescriptorOffset, c.offset);
    patchLe64(f.path, vmdk::kDescriptorSize, c.size);
    const std::string text = descriptorFor("monolithicSparse", {{128, "h.vmdk"}});
    dir.putAt("h.vmdk", 512, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    app::CQELDAApp app;
    const auto outcome = mount(app, f.path);
    EXPECT_EQ(outcome == app::MountOutcome::Mounted, c.mounts);
    if (c.mounts) {
      EXPECT_EQ(readWhole(app, 128).bytes, f.disk);
    }
  }
}

TEST(VmdkSparse, RenamedMonolithicFileIsTheExtentItsDescriptorNamesUnderItsOldName) {
  ImageDir dir;
  SparseShape shape;
  shape.redundantDirectory = 21;
  const SparseFile f = writeSparse(dir, "renamed.vmdk", shape, {1, 3}, 11);
  patchLe64(f.path, vmdk::kDescriptorOffset, 1);
  patchLe64(f.path, vmdk::kDescriptorSize, 20);
  const std::string text = descriptorFor("monolithicSparse", {{128, "original.vmdk"}});
  dir.putAt("renamed.vmdk", 512, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, f.path), app::MountOutcome::Mounted);
  const WholeRead whole = readWhole(app, 128);
  EXPECT_EQ(whole.result, 1u);
  EXPECT_EQ(whole.bytes, f.disk);
}

TEST(VmdkSparse, StreamOptimizedIsRefusedWith593AndNeverRead) {
  for (const bool byCreateType : {true, false}) {
    SCOPED_TRACE(byCreateType ? "createType streamOptimized" : "compressed flag only");
    ImageDir dir;
    SparseShape shape;
    shape.redundantDirectory = 21;
    shape.flags = byCreateType ? 0x30003 : 0x10003;
    const SparseFile f = writeSparse(dir, "s.vmdk", shape, {0}, 9);
    patchLe64(f.path, vmdk::kDescriptorOffset, 1);
    patchLe64(f.path, vmdk::kDescriptorSize, 20);
    const std::string text = descriptorFor(byCreateType ? "streamOptimized" : "monolithicSparse", {{128, "s.vmdk"}});
    dir.putAt("s.vmdk", 512, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    app::CQELDAApp app;
    test::RecordingNotifier shown;
    ASSERT_EQ(mount(app, f.path, &shown), app::MountOutcome::CorruptLayout);
    ASSERT_EQ(shown.shown.size(), 1u);
    EXPECT_EQ(shown.shown[0], u"Virtual machine image is corrupt. Use 'Raw Recovery' option to recover data.");
    EXPECT_EQ(app.m_nDiskSectors, 128u);  // listed as a whole disk of its declared length
    const WholeRead whole = readWhole(app, 128);
    EXPECT_EQ(whole.result, 0u);
    EXPECT_TRUE(allZero(whole.bytes));
  }
}

TEST(VmdkSparse, SplitLayoutGuessedFromALoneLargeFileReadsItAsTheWholeDisk) {
  // Over 2 GiB, no header, no partition table in sector 0 of the file: the monolithic
  // defaults find nothing (sector 21 is empty), the split defaults (directory at sector 1)
  // find a partition table.
  ImageDir dir;
  SparseShape shape;
  shape.header = false;
  shape.capacity = 0x3FF800;
  shape.grain = 128;
  shape.tableEntries = 512;
  shape.redundantDirectory = 1;
  SparseFile f = writeSparse(dir, "big-s001.vmdk", shape, {0, 600}, 10);
  std::vector<std::uint8_t> boot = taggedSectors(10, 0, 1);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  dir.put("big-s001.vmdk", f.grainSector.at(0), boot);
  dir.truncate("big-s001.vmdk", 0x80000000ull + 4096);
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, f.path), app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_bSplitSparseAsSingle, 1u);
  EXPECT_EQ(app.m_strCreateType, u"twoGbMaxExtentSparse");
  std::vector<std::uint8_t> got(512);
  ASSERT_EQ(ReadSourceSectors(app, got.data(), 0, 512), 1u);
  EXPECT_EQ(got, boot);
  ASSERT_EQ(ReadSourceSectors(app, got.data(), 600 * 128 + 5, 512), 1u);
  EXPECT_EQ(got, taggedSectors(10, 600 * 128 + 5, 1));
}

}  // namespace
}  // namespace qelda::disk
