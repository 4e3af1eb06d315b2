#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "image/virtual_disk.h"
#include "image/vmdk_layout.h"
#include "platform/byte_view.h"
#include "platform/text.h"
#include "support/image_dir.h"
#include "support/mounted_image.h"
#include "support/patterns.h"

namespace qelda::image {
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

using test::allZero;

test::SectorRead readWhole(const app::CQELDAApp& app, std::uint64_t sectors) {
  return test::readSectors(app, 0, sectors);
}

app::MountOutcome mount(app::CQELDAApp& app, const std::string& path, test::Mounted* mounted = nullptr) {
  test::Mounted m = test::mountImage(app, path, app::kImageVmdk);
  if (mounted) *mounted = m;
  return m.outcome;
}

// Sparse extents qemu-img wrote (monolithic with an embedded descriptor, split with and
// without their descriptor) are read whole by check_image_reads.sh: grains in default
// geometry across many tables, holes, runs of grains side by side. Here, what no tool writes:
// grains out of order in the file (1 after 2; a run may not join them), a whole table
// unallocated (grains 4-7), and either grain directory.
TEST(VmdkSparse, GrainsOutOfOrderThroughEitherDirectory) {
  for (const bool redundant : {true, false}) {
    SCOPED_TRACE(redundant ? "redundant directory named" : "redundant directory 0");
    ImageDir dir;
    SparseShape shape;
    shape.redundantDirectory = redundant ? 1 : 0;
    shape.directory = redundant ? 0 : 1;
    const SparseFile f = writeSparse(dir, "x.vmdk", shape, {0, 2, 1, 9}, 4);
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
    const test::SectorRead whole = readWhole(app, 128);
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
    const test::SectorRead whole = readWhole(app, 128);
    EXPECT_TRUE(allZero(whole.bytes));
    const test::SectorRead grain0 = test::readSectors(app, 3, 1);
    EXPECT_TRUE(allZero(grain0.bytes));
    EXPECT_EQ(grain0.result, c.allocated == Expect::Fail ? 0u : 1u);
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
  EXPECT_EQ(test::readSectors(app, 63, 1).bytes, taggedSectors(6, 63, 1));  // inside the last grain
  const test::SectorRead past = test::readSectors(app, 64, 1);
  EXPECT_EQ(past.result, 0u);
  EXPECT_EQ(past.failed, 1u);
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
  const test::SectorRead whole = readWhole(app, shape.capacity);
  EXPECT_EQ(whole.result, 1u);
  EXPECT_EQ(whole.bytes, f.disk);
}

// A split sparse image of three extent files whose sizes their headers give, the middle
// one missing.
TEST(VmdkSparse, MissingMiddleExtentReadsAsZerosAndLaterExtentsStayInPlace) {
  ImageDir dir;
  SparseShape shape;
  shape.capacity = 64;
  const SparseFile first = writeSparse(dir, "vm disk-s001.vmdk", shape, {0, 3, 7}, 1);
  shape.capacity = 24;
  const SparseFile last = writeSparse(dir, "vm disk-s003.vmdk", shape, {2}, 3);
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, dir.file("vm disk-s003.vmdk")), app::MountOutcome::Mounted);
  ASSERT_EQ(app.m_arrExtents.size(), 3u);
  EXPECT_EQ(app.m_arrExtents[1].m_szFileName, u"vm disk-s002.vmdk");  // the name built for it
  EXPECT_EQ(app.m_arrExtents[1].m_nSectors, 64u);                     // as its full sibling
  const test::SectorRead whole = readWhole(app, 152);
  EXPECT_EQ(whole.failed, 64u);
  EXPECT_TRUE(allZero(std::span(whole.bytes).subspan(64 * 512, 64 * 512)));
  EXPECT_EQ(0, std::memcmp(whole.bytes.data(), first.disk.data(), 64 * 512));
  EXPECT_EQ(0, std::memcmp(whole.bytes.data() + 128 * 512, last.disk.data(), 24 * 512));
}

// A description that names the same files over and over: each file is opened once and each
// sparse one's tables loaded once for each extent size, yet every extent reads as its file.
TEST(VmdkSparse, AFileNamedByManyExtentsIsOpenedAndItsTablesLoadedOnce) {
  ImageDir dir;
  SparseShape shape;
  shape.capacity = 64;
  const SparseFile f = writeSparse(dir, "x.vmdk", shape, {0, 3, 7}, 5);
  std::vector<std::pair<std::uint64_t, std::string>> extents(300, {64, "x.vmdk"});
  extents[150].first = 32;  // one of another size: its own tables
  const std::string d = dir.putText("d.vmdk", descriptorFor("twoGbMaxExtentSparse", extents));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
  const auto image = app.mountedImage();
  ASSERT_EQ(image->extents.size(), 300u);
  for (const MountedExtent& e : image->extents) {
    ASSERT_TRUE(e.file && e.grains);
    EXPECT_EQ(e.file, image->extents[0].file);
    EXPECT_EQ(e.grains == image->extents[0].grains, e.sectors == 64);
  }
  const std::uint64_t sectors = 299 * 64 + 32;
  const test::SectorRead whole = readWhole(app, sectors);
  EXPECT_EQ(whole.failed, 0u);
  for (std::uint64_t at = 0, i = 0; i < extents.size(); at += extents[i].first, ++i)
    ASSERT_EQ(0, std::memcmp(whole.bytes.data() + at * 512, f.disk.data(), extents[i].first * 512)) << "extent " << i;
}

// A monolithic extent whose header points at the descriptor `text` in sector 1.
SparseFile writeWithDescriptor(ImageDir& dir, const std::string& name, const std::string& text, std::uint32_t flags = 3,
                               std::uint64_t offset = 1, std::uint64_t size = 20) {
  SparseShape shape;
  shape.redundantDirectory = 21;
  shape.flags = flags;
  const SparseFile f = writeSparse(dir, name, shape, {0, 2}, 8);
  patchLe64(f.path, vmdk::kDescriptorOffset, offset);
  patchLe64(f.path, vmdk::kDescriptorSize, size);
  dir.putAt(name, 512, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  return f;
}

TEST(VmdkSparse, EmbeddedDescriptorFieldsAndNamesNoToolWrites) {
  // Descriptor offset or size fields far beyond the file: the text read is bounded, and
  // what it holds decides; nothing is read past the file and nothing crashes. A renamed
  // file is the extent its descriptor names under its old name.
  const struct {
    const char* what;
    std::uint64_t offset, size;
    const char* named;  // the extent file the descriptor names
    bool mounts;
  } cases[] = {
      {"size of 2^60 sectors", 1, std::uint64_t(1) << 60, "h.vmdk", true},
      {"size of all ones", 1, ~std::uint64_t(0), "h.vmdk", true},
      {"offset beyond the file", std::uint64_t(1) << 40, 20, "h.vmdk", false},
      {"offset whose byte value wraps", ~std::uint64_t(0) / 256, 20, "h.vmdk", false},
      {"renamed from original.vmdk", 1, 20, "original.vmdk", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ImageDir dir;
    const SparseFile f =
        writeWithDescriptor(dir, "h.vmdk", descriptorFor("monolithicSparse", {{128, c.named}}), 3, c.offset, c.size);
    app::CQELDAApp app;
    EXPECT_EQ(mount(app, f.path) == app::MountOutcome::Mounted, c.mounts);
    if (c.mounts) {
      const test::SectorRead whole = readWhole(app, 128);
      EXPECT_EQ(whole.result, 1u);
      EXPECT_EQ(whole.bytes, f.disk);
    }
  }
}

// `info` shows the renamed file's extent as it is read: from the picked file, not missing.
TEST(VmdkSparse, ARenamedFileShowsItsExtentAsTheFileItIsReadFrom) {
  ImageDir dir;
  const SparseFile f =
      writeWithDescriptor(dir, "now.vmdk", descriptorFor("monolithicSparse", {{128, "original.vmdk"}}), 3, 1, 20);
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, f.path), app::MountOutcome::Mounted);
  app.g_VirtualDisk.CheckExtentFiles(f.path);
  ASSERT_EQ(app.m_arrExtents.size(), 1u);
  EXPECT_EQ(app.m_arrExtents[0].m_szFileName, u"now.vmdk");
  // A file that is not a sparse extent does not stand in: the named one is missing.
  ImageDir flat;
  const std::string d = flat.putText("d.vmdk", descriptorFor("monolithicSparse", {{128, "gone.vmdk"}}));
  app::CQELDAApp other;
  mount(other, d);
  other.g_VirtualDisk.CheckExtentFiles(d);
  ASSERT_EQ(other.m_arrExtents.size(), 1u);
  EXPECT_EQ(other.m_arrExtents[0].m_szFileName, u"gone.vmdk (Missing)");
}

// Grains whose table entry points past the end of the file read as unreadable (a cut file
// does the same); the user is told which grains and disk sectors they are.
TEST(VmdkSparse, GrainsPastTheEndOfTheFileAreNamedWithTheirDiskSectors) {
  ImageDir dir;
  const SparseFile f = writeSparse(dir, "x.vmdk", {}, {0, 2, 1, 9}, 4);
  patchLe32(f.path, f.tableSector[0] * 512 + 2 * 4, 0xFFFFFF00u);
  // Grain 9's data starts in the file's last sector: the file ends inside it.
  patchLe32(f.path, f.tableSector[2] * 512 + 1 * 4, std::uint32_t(f.grainSector.at(9) + 7));
  const std::string d =
      dir.putText("d.vmdk", "# Disk DescriptorFile\ncreateType=\"twoGbMaxExtentSparse\"\nRW 64 SPARSE \"y.vmdk\"\n"
                            "RW 128 SPARSE \"x.vmdk\"\n");
  dir.putAt("y.vmdk", 0, std::vector<std::uint8_t>(512, 0));  // a first extent of holes
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, d), app::MountOutcome::Mounted);
  std::string notes;
  for (const std::u16string& n : app.diskNotes_) notes += platform::toUtf8(n) + "\n";
  EXPECT_EQ(notes,
            "VMDK grain 2 (sectors 80-87): its entry points past the end of the file; its sectors cannot be read\n"
            "VMDK grain 9 (sectors 136-143): the file ends inside its data; the sectors past the end cannot be read\n");
  EXPECT_EQ(test::readSectors(app, 80, 8).failed, 8u);
  EXPECT_EQ(test::readSectors(app, 136, 8).failed, 7u);
  EXPECT_EQ(test::readSectors(app, 64 + 8, 8).bytes, taggedSectors(4, 8, 8));  // grain 1 is sound
}

// check_image_reads.sh refuses a stream-optimized image qemu-img wrote (its createType says
// so); a compressed-grains flag alone is refused the same way.
TEST(VmdkSparse, CompressedGrainsAreRefusedWith593AndNeverRead) {
  ImageDir dir;
  const SparseFile f =
      writeWithDescriptor(dir, "s.vmdk", descriptorFor("monolithicSparse", {{128, "s.vmdk"}}), 0x10003);
  app::CQELDAApp app;
  test::Mounted m;
  ASSERT_EQ(mount(app, f.path, &m), app::MountOutcome::CorruptLayout);
  EXPECT_EQ(m.shown, std::vector<std::u16string>{
                         u"Virtual machine image is corrupt. Use 'Raw Recovery' option to recover data."});
  EXPECT_EQ(app.m_nDiskSectors, 128u);  // listed as a whole disk of its declared length
  const test::SectorRead whole = readWhole(app, 128);
  EXPECT_EQ(whole.result, 0u);
  EXPECT_TRUE(allZero(whole.bytes));
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
  EXPECT_EQ(test::readSectors(app, 0, 1).bytes, boot);
  EXPECT_EQ(test::readSectors(app, 600 * 128 + 5, 1).bytes, taggedSectors(10, 600 * 128 + 5, 1));
}

}  // namespace
}  // namespace qelda::image
