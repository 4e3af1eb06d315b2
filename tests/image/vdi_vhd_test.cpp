#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "image/vdi_layout.h"
#include "image/vhd_layout.h"
#include "image/virtual_disk.h"
#include "platform/byte_view.h"
#include "platform/text.h"
#include "support/image_dir.h"
#include "support/mounted_image.h"
#include "support/patterns.h"

namespace qelda::image {
namespace {

using platform::putLe32;
using platform::putLe64;
using test::allZero;
using test::ImageDir;
using test::readSectors;
using test::taggedSectors;

void putBe32(std::uint8_t* p, std::uint32_t v) { test::putBe(p, v, 4); }
void putBe64(std::uint8_t* p, std::uint64_t v) { test::putBe(p, v, 8); }

app::MountOutcome mount(app::CQELDAApp& app, std::uint32_t type, const std::string& path) {
  return test::mountImage(app, path, type).outcome;
}

// What the mount step said of the disk, one note a line.
std::string notesOf(const app::CQELDAApp& app) {
  std::string all;
  for (const std::u16string& n : app.diskNotes_) all += platform::toUtf8(n) + "\n";
  return all;
}

// ---------------------------------------------------------------------------------- VDI

struct VdiSpec {
  std::string text = "<<< QEMU VM Virtual Disk Image >>>\n";
  std::uint32_t type = vdi::kImageDynamic;
  std::uint32_t blockBytes = 4096;  // 8 sectors
  std::uint32_t blocks = 6;
  std::uint64_t diskBytes = 6 * 4096;
  std::uint32_t mapOffset = 0x200;
  std::uint32_t dataOffset = 0x400;
};

std::vector<std::uint8_t> vdiHeader(const VdiSpec& s) {
  std::vector<std::uint8_t> h(512, 0);
  std::copy(s.text.begin(), s.text.end(), h.begin());
  putLe32(h.data() + vdi::kSignature, vdi::kSignatureValue);
  putLe32(h.data() + vdi::kVersionMinor, 0x00010001);
  putLe32(h.data() + vdi::kHeaderSize, 0x180);
  putLe32(h.data() + vdi::kImageType, s.type);
  putLe32(h.data() + vdi::kBlockMapOffset, s.mapOffset);
  putLe32(h.data() + vdi::kDataOffset, s.dataOffset);
  putLe64(h.data() + vdi::kDiskSize, s.diskBytes);
  putLe32(h.data() + vdi::kBlockSize, s.blockBytes);
  putLe32(h.data() + vdi::kBlocksInDisk, s.blocks);
  return h;
}

// Writes a VDI whose block map is `map`; allocated blocks hold the tagged sectors of their
// virtual place. Returns the disk it should read as.
std::vector<std::uint8_t> writeVdi(ImageDir& dir, const std::string& name, const VdiSpec& s,
                                   const std::vector<std::uint32_t>& map) {
  dir.put(name, 0, vdiHeader(s));
  std::vector<std::uint8_t> bytes(map.size() * 4);
  for (std::size_t i = 0; i < map.size(); ++i) putLe32(bytes.data() + 4 * i, map[i]);
  dir.putAt(name, s.mapOffset, bytes);
  const std::uint64_t blockSectors = s.blockBytes / 512;
  std::vector<std::uint8_t> disk(s.diskBytes, 0);
  for (std::size_t b = 0; b < map.size(); ++b) {
    if (map[b] == vdi::kBlockFree || map[b] == vdi::kBlockZero) continue;
    const auto data = taggedSectors(1, b * blockSectors, blockSectors);
    dir.putAt(name, s.dataOffset + std::uint64_t(map[b]) * s.blockBytes, data);
    if ((b + 1) * s.blockBytes <= disk.size()) std::copy(data.begin(), data.end(), disk.begin() + std::ptrdiff_t(b * s.blockBytes));
  }
  return disk;
}

// Static and dynamic images qemu-img wrote (1 MiB blocks in order, behind their data
// offset) are read whole by check_image_reads.sh, always from a block's start; here, blocks
// stored out of order, a zero block, and single sectors inside a block.
TEST(Vdi, BlocksInAnyOrderFreeBlocksAsZerosAndSectorsInsideABlock) {
  ImageDir dir;
  const auto disk = writeVdi(dir, "d.vdi", {}, {2, vdi::kBlockFree, 0, 1, vdi::kBlockZero, 3});
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVdi, dir.file("d.vdi")), app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_nDiskSectors, 48u);
  const test::SectorRead whole = readSectors(app, 0, 48);
  EXPECT_EQ(whole.result, 1u);
  EXPECT_EQ(whole.failed, 0u);
  EXPECT_EQ(whole.bytes, disk);
  for (std::uint64_t s : {3u, 21u, 45u}) EXPECT_EQ(readSectors(app, s, 1).bytes, taggedSectors(1, s, 1)) << s;
}

TEST(Vdi, RecognisedBySignatureAndASaneHeaderWhateverTheText) {
  struct Case {
    const char* what;
    void (*patch)(std::vector<std::uint8_t>&);
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"qemu's text", [](std::vector<std::uint8_t>&) {}, 1},
      {"VirtualBox's text",
       [](std::vector<std::uint8_t>& h) {
         std::fill_n(h.begin(), 64, 0);
         std::copy(vdi::kVirtualBoxText.begin(), vdi::kVirtualBoxText.end(), h.begin());
       },
       1},
      {"no text at all", [](std::vector<std::uint8_t>& h) { std::fill_n(h.begin(), 64, 0); }, 1},
      {"signature wrong", [](std::vector<std::uint8_t>& h) { h[vdi::kSignature] ^= 1; }, 0},
      {"version 0", [](std::vector<std::uint8_t>& h) { putLe32(h.data() + vdi::kVersionMinor, 0); }, 0},
      {"header too short for the block count", [](std::vector<std::uint8_t>& h) { putLe32(h.data() + vdi::kHeaderSize, 0x100); }, 0},
      {"block size 0", [](std::vector<std::uint8_t>& h) { putLe32(h.data() + vdi::kBlockSize, 0); }, 0},
      {"block size 1000", [](std::vector<std::uint8_t>& h) { putLe32(h.data() + vdi::kBlockSize, 1000); }, 0},
      {"block size 2 GiB", [](std::vector<std::uint8_t>& h) { putLe32(h.data() + vdi::kBlockSize, 0x80000000); }, 0},
      {"extra bytes before each block", [](std::vector<std::uint8_t>& h) { putLe32(h.data() + vdi::kBlockExtra, 512); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageDir dir;
    auto header = vdiHeader({});
    c.patch(header);
    dir.put("x.vdi", 0, header);
    dir.truncate("x.vdi", 64 * 1024);
    app::CQELDAApp app;
    EXPECT_EQ(app.g_VirtualDisk.OpenVdi(dir.file("x.vdi")), c.expected);
  }
  app::CQELDAApp app;
  ImageDir dir;
  dir.put("short.vdi", 0, std::vector<std::uint8_t>(100, 0));
  EXPECT_EQ(app.g_VirtualDisk.OpenVdi(dir.file("short.vdi")), 0u);
  EXPECT_EQ(app.g_VirtualDisk.OpenVdi(dir.file("absent.vdi")), 0u);
}

TEST(Vdi, BlockIndexesPastTheBlockCountOrTheMapFailWithoutReadingForeignData) {
  ImageDir dir;
  VdiSpec s;
  s.blocks = 2;                 // the disk claims 6 blocks of data ...
  s.diskBytes = 6 * 4096;
  s.dataOffset = 0x208;         // ... and the data area follows the 2-entry map
  // The map's 4 extra entries would point at valid blocks if they were read.
  const auto disk = writeVdi(dir, "d.vdi", s, {0, 1, 2, 3, 4, 5});
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVdi, dir.file("d.vdi")), app::MountOutcome::Mounted);
  const test::SectorRead whole = readSectors(app, 0, 48);
  EXPECT_EQ(whole.result, 0u);
  EXPECT_EQ(whole.failed, 32u);
  EXPECT_EQ(0, std::memcmp(whole.bytes.data(), disk.data(), 16 * 512));
  EXPECT_TRUE(allZero(std::span(whole.bytes).subspan(16 * 512)));

  // A map cut short by the end of the file: the entries it lacks are unreadable.
  ImageDir cut;
  VdiSpec c;
  c.blocks = 1000;
  c.mapOffset = 0x200;
  c.dataOffset = 0x200;  // data blocks overlap the map; entries read there are garbage
  cut.put("c.vdi", 0, vdiHeader(c));
  std::vector<std::uint8_t> map(8);
  putLe32(map.data(), vdi::kBlockFree);
  putLe32(map.data() + 4, vdi::kBlockFree);
  cut.putAt("c.vdi", 0x200, map);
  app::CQELDAApp app2;
  ASSERT_EQ(mount(app2, app::kImageVdi, cut.file("c.vdi")), app::MountOutcome::Mounted);
  EXPECT_EQ(readSectors(app2, 0, 16).result, 1u);  // two free blocks: zeros
  EXPECT_EQ(readSectors(app2, 16, 8).result, 0u);  // beyond the map the file holds
}

TEST(Vdi, DifferencingImageFreeBlocksAreTheParentsAndUnreadable) {
  ImageDir dir;
  VdiSpec s;
  s.type = 4;
  writeVdi(dir, "diff.vdi", s, {0, vdi::kBlockFree, vdi::kBlockZero, 1, 2, 3});
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVdi, dir.file("diff.vdi")), app::MountOutcome::Mounted);
  EXPECT_EQ(readSectors(app, 0, 8).result, 1u);
  EXPECT_EQ(readSectors(app, 8, 8).result, 0u);
  EXPECT_EQ(readSectors(app, 16, 8).result, 1u);
}

// A map entry naming a data block an earlier block already names would show that block's
// bytes twice; an entry past the end of the file reads nothing. Both are named, with their
// sectors, and the repeat reads as unreadable.
TEST(Vdi, RepeatedAndPastTheEndEntriesAreNamedAndTheRepeatIsUnreadable) {
  ImageDir dir;
  const auto disk = writeVdi(dir, "d.vdi", {}, {0, 1, 2, 3, 4, 5});
  std::vector<std::uint8_t> damaged(12);
  putLe32(damaged.data(), 1);           // block 3 names block 1's data block
  putLe32(damaged.data() + 4, 0xFFFF);  // block 4's data lies far past the end
  putLe32(damaged.data() + 8, 1);       // and so does block 5 name it
  dir.putAt("d.vdi", 0x200 + 3 * 4, damaged);
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVdi, dir.file("d.vdi")), app::MountOutcome::Mounted);
  const test::SectorRead whole = readSectors(app, 0, 48);
  EXPECT_EQ(whole.failed, 24u);
  EXPECT_EQ(0, std::memcmp(whole.bytes.data(), disk.data(), 24 * 512));
  EXPECT_TRUE(allZero(std::span(whole.bytes).subspan(24 * 512)));
  EXPECT_EQ(notesOf(app),
            "VDI block 3 (sectors 24-31): its map entry names data block 1, as block 1's does; its sectors "
            "cannot be read\n"
            "VDI block 4 (sectors 32-39): its entry points past the end of the file; its sectors cannot be read\n"
            "VDI block 5 (sectors 40-47): its map entry names data block 1, as block 1's does; its sectors "
            "cannot be read\n");
  // A sound map says nothing.
  ImageDir sound;
  writeVdi(sound, "s.vdi", {}, {2, vdi::kBlockFree, 0, 1, vdi::kBlockZero, 3});
  app::CQELDAApp soundApp;
  ASSERT_EQ(mount(soundApp, app::kImageVdi, sound.file("s.vdi")), app::MountOutcome::Mounted);
  EXPECT_EQ(notesOf(soundApp), "");
}

// ---------------------------------------------------------------------------------- VHD

std::vector<std::uint8_t> vhdFooter(std::uint32_t type, std::uint64_t currentSize, std::uint64_t originalSize) {
  std::vector<std::uint8_t> f(512, 0);
  std::copy(vhd::kFooterCookieText.begin(), vhd::kFooterCookieText.end(), f.begin());
  putBe64(f.data() + vhd::kOriginalSize, originalSize);
  putBe64(f.data() + vhd::kCurrentSize, currentSize);
  putBe32(f.data() + vhd::kDiskType, type);
  return f;
}

std::vector<std::uint8_t> vhdDynamicHeader(std::uint64_t tableOffset, std::uint32_t maxEntries, std::uint32_t blockBytes) {
  std::vector<std::uint8_t> h(1024, 0);
  std::copy(vhd::kDynamicCookieText.begin(), vhd::kDynamicCookieText.end(), h.begin());
  putBe64(h.data() + vhd::kTableOffset, tableOffset);
  putBe32(h.data() + vhd::kMaxTableEntries, maxEntries);
  putBe32(h.data() + vhd::kBlockSize, blockBytes);
  return h;
}

// A dynamic VHD of 4 KiB blocks (one bitmap sector each): footer copy, dynamic header,
// BAT at 1536, blocks, footer. Allocated blocks hold the tagged sectors of their place.
struct DynamicVhd {
  std::string path;
  std::vector<std::uint8_t> disk;
};
DynamicVhd writeDynamicVhd(ImageDir& dir, const std::string& name, const std::vector<bool>& allocated,
                           std::uint32_t blockBytes = 4096) {
  const std::uint64_t blockSectors = blockBytes / 512;
  const std::uint64_t bytes = allocated.size() * std::uint64_t(blockBytes);
  DynamicVhd v;
  v.disk.assign(bytes, 0);
  dir.put(name, 0, vhdFooter(vhd::kDiskDynamic, bytes, bytes));
  dir.put(name, 1, vhdDynamicHeader(1536, std::uint32_t(allocated.size()), blockBytes));
  std::vector<std::uint8_t> bat(((allocated.size() * 4 + 511) / 512) * 512, 0xFF);
  std::uint64_t next = 3 + bat.size() / 512;
  for (std::size_t b = 0; b < allocated.size(); ++b) {
    if (!allocated[b]) continue;
    putBe32(bat.data() + 4 * b, std::uint32_t(next));
    dir.put(name, next, std::vector<std::uint8_t>(512, 0xFF));  // the block's bitmap
    const auto data = taggedSectors(2, b * blockSectors, blockSectors);
    dir.put(name, next + 1, data);
    std::copy(data.begin(), data.end(), v.disk.begin() + std::ptrdiff_t(b * blockBytes));
    next += 1 + blockSectors;
  }
  dir.put(name, 3, bat);
  v.path = dir.put(name, next, vhdFooter(vhd::kDiskDynamic, bytes, bytes));
  return v;
}

// Dynamic and fixed disks qemu-img wrote, 2 MiB blocks behind their bitmaps and unused blocks,
// are read whole by check_image_reads.sh; here, the tables no tool writes.
TEST(Vhd, ProbeOrderAndTheDiskLengthEachWayGives) {
  struct Case {
    const char* what;
    void (*build)(ImageDir&);
    std::uint32_t opened;
    std::uint32_t type;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"footer at the end: current size, not the original one",
       [](ImageDir& d) {
         d.put("x.vhd", 0, std::vector<std::uint8_t>(8192, 1));
         d.put("x.vhd", 16, vhdFooter(vhd::kDiskFixed, 8192, 4096));
       },
       1, 2, 8192},
      {"footer cut off, partition table in sector 0: fixed of the file's size",
       [](ImageDir& d) {
         std::vector<std::uint8_t> s(3 * 512, 0);
         s[510] = 0x55;
         s[511] = 0xAA;
         d.put("x.vhd", 0, s);
       },
       1, 2, 3 * 512},
      {"footer cut off, its copy at byte 0: dynamic of the copy's current size",
       [](ImageDir& d) {
         d.put("x.vhd", 0, vhdFooter(vhd::kDiskDynamic, 1 << 20, 512));
         d.put("x.vhd", 1, vhdDynamicHeader(1536, 1, 1 << 20));
       },
       1, 3, 1 << 20},
      {"only the dynamic header: as long as its blocks",
       [](ImageDir& d) { d.put("x.vhd", 1, vhdDynamicHeader(1536, 7, 1 << 21)); }, 1, 3, 7ull << 21},
      {"only a dynamic header with 256-byte blocks", [](ImageDir& d) { d.put("x.vhd", 1, vhdDynamicHeader(1536, 7, 256)); },
       0, 0, 0},
      {"nothing a VHD has", [](ImageDir& d) { d.put("x.vhd", 0, std::vector<std::uint8_t>(4096, 7)); }, 0, 0, 0},
      {"shorter than a footer", [](ImageDir& d) { d.put("x.vhd", 0, std::vector<std::uint8_t>(300, 0)); }, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageDir dir;
    c.build(dir);
    app::CQELDAApp app;
    // A previous probe's footer must not leak into this one.
    app.g_VirtualDisk.m_abySector.fill(0);
    std::copy(vhd::kFooterCookieText.begin(), vhd::kFooterCookieText.end(), app.g_VirtualDisk.m_abySector.begin());
    EXPECT_EQ(app.g_VirtualDisk.OpenVhd(dir.file("x.vhd")), c.opened);
    EXPECT_EQ(app.m_nVhdDiskType, c.type);
    EXPECT_EQ(app.g_VirtualDisk.m_nVhdDiskSize, c.size);
  }
}

TEST(Vhd, StaleProbeBytesOfAnEarlierMountAreNotReused) {
  ImageDir dir;
  const DynamicVhd v = writeDynamicVhd(dir, "good.vhd", {true});
  dir.put("tiny.vhd", 0, std::vector<std::uint8_t>(100, 0));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVhd, v.path), app::MountOutcome::Mounted);
  EXPECT_EQ(mount(app, app::kImageVhd, dir.file("tiny.vhd")), app::MountOutcome::Invalid);
  EXPECT_EQ(readSectors(app, 0, 1).result, 0u);
}

TEST(Vhd, FixedDiskNeverServesItsFooterAsData) {
  ImageDir dir;
  dir.put("f.vhd", 0, taggedSectors(5, 0, 8));
  // The footer claims one sector more than the file holds in front of it.
  dir.put("f.vhd", 8, vhdFooter(vhd::kDiskFixed, 9 * 512, 9 * 512));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVhd, dir.file("f.vhd")), app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_nDiskSectors, 9u);
  const test::SectorRead whole = readSectors(app, 0, 9);
  EXPECT_EQ(whole.result, 0u);
  EXPECT_EQ(whole.failed, 1u);
  EXPECT_EQ(0, std::memcmp(whole.bytes.data(), taggedSectors(5, 0, 8).data(), 8 * 512));
  EXPECT_TRUE(allZero(std::span(whole.bytes).subspan(8 * 512)));
}

TEST(Vhd, DamagedTablesFailCleanly) {
  struct Case {
    const char* what;
    void (*damage)(ImageDir&, const std::string&);
    std::uint64_t failedOfBlock0;  // sectors of block 0 that cannot be read
  };
  const Case cases[] = {
      {"BAT entry beyond the file",
       [](ImageDir& d, const std::string&) {
         std::vector<std::uint8_t> e(4);
         putBe32(e.data(), 0x7FFFFFF0);
         d.putAt("d.vhd", 1536, e);
       },
       8},
      {"BAT beyond the file",
       [](ImageDir& d, const std::string&) { d.put("d.vhd", 1, vhdDynamicHeader(1ull << 40, 2, 4096)); }, 8},
      {"block size 0", [](ImageDir& d, const std::string&) { d.put("d.vhd", 1, vhdDynamicHeader(1536, 2, 0)); }, 8},
      {"block size 4000", [](ImageDir& d, const std::string&) { d.put("d.vhd", 1, vhdDynamicHeader(1536, 2, 4000)); }, 8},
      {"dynamic header lost", [](ImageDir& d, const std::string&) { d.put("d.vhd", 1, std::vector<std::uint8_t>(1024, 0)); },
       8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageDir dir;
    const DynamicVhd v = writeDynamicVhd(dir, "d.vhd", {true, true});
    c.damage(dir, v.path);
    app::CQELDAApp app;
    ASSERT_EQ(mount(app, app::kImageVhd, v.path), app::MountOutcome::Mounted);
    const test::SectorRead block0 = readSectors(app, 0, 8);
    EXPECT_EQ(block0.failed, c.failedOfBlock0);
    EXPECT_TRUE(allZero(block0.bytes));
  }
}

TEST(Vhd, BlockIndexPastMaxTableEntriesFails) {
  ImageDir dir;
  // The footer declares 4 blocks of disk, the dynamic header only 2 table entries; the BAT
  // sector holds entries for 4 blocks, two of which the disk does not have.
  const DynamicVhd v = writeDynamicVhd(dir, "d.vhd", {true, true, true, true});
  dir.put("d.vhd", 1, vhdDynamicHeader(1536, 2, 4096));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVhd, v.path), app::MountOutcome::Mounted);
  // The disk is as long as the table addresses, and the footer's claim is said.
  EXPECT_EQ(app.m_nDiskSectors, 16u);
  ASSERT_EQ(app.mountedImage()->notes.size(), 1u);
  EXPECT_NE(app.mountedImage()->notes[0].find(u"claims a disk of 16384 bytes"), std::u16string::npos);
  const test::SectorRead whole = readSectors(app, 0, 32);
  EXPECT_EQ(whole.failed, 16u);
  EXPECT_EQ(0, std::memcmp(whole.bytes.data(), v.disk.data(), 16 * 512));
}

// The header's checksum: the one's complement of its byte sum, the checksum counted as zero.
void putVhdChecksum(std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::fill_n(bytes.begin() + std::ptrdiff_t(at), 4, 0);
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  putBe32(bytes.data() + at, ~sum);
}

TEST(Vhd, ABlockSizeNoDiskHasIsRefusedWhenTheChecksumVouchesForIt) {
  for (const bool viaFooter : {true, false}) {
    SCOPED_TRACE(viaFooter ? "footer at the end" : "only the dynamic header");
    ImageDir dir;
    const DynamicVhd v = writeDynamicVhd(dir, "d.vhd", {true, true});
    auto header = vhdDynamicHeader(1536, 2, 0x80000000u);
    putVhdChecksum(header, vhd::kHeaderChecksum);
    dir.put("d.vhd", 1, header);
    if (!viaFooter) {
      dir.put("d.vhd", 0, std::vector<std::uint8_t>(512, 0));
      dir.truncate("d.vhd", 3 * 512);
    }
    app::CQELDAApp app;
    test::RecordingNotifier notifier;
    app::CDataRecovery mount(app, notifier);
    EXPECT_EQ(mount.OnBnClickedMountVirtualDisk(app::kImageVhd, v.path), app::MountOutcome::Invalid);
    EXPECT_EQ(mount.cause(), v.path + ": the dynamic header (checksum right) gives a block size of 2147483648 bytes, "
                                      "which no disk has (whole sectors, up to 1 GiB)");
  }
  // The same size under a checksum that fails: a damaged header, mounted with its blocks
  // unreadable as before.
  ImageDir dir;
  const DynamicVhd v = writeDynamicVhd(dir, "d.vhd", {true, true});
  dir.put("d.vhd", 1, vhdDynamicHeader(1536, 2, 0x80000000u));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVhd, v.path), app::MountOutcome::Mounted);
  EXPECT_EQ(readSectors(app, 0, 8).failed, 8u);
}

TEST(Vhd, BlocksPastTheEndOfTheFileAreNamedTheFirstFewOneByOne) {
  ImageDir dir;
  const DynamicVhd v = writeDynamicVhd(dir, "d.vhd", std::vector<bool>(12, true));
  std::vector<std::uint8_t> bat(11 * 4);
  for (std::size_t b = 0; b < 10; ++b) putBe32(bat.data() + 4 * b, 0x7FFFFF00);
  // Block 10's data starts in the file's last sector: the file ends inside it.
  putBe32(bat.data() + 40, std::uint32_t(std::filesystem::file_size(v.path) / 512 - 2));
  dir.putAt("d.vhd", 1536, bat);
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVhd, v.path), app::MountOutcome::Mounted);
  std::string expected;
  for (int b = 0; b < 8; ++b)
    expected += "VHD block " + std::to_string(b) + " (sectors " + std::to_string(8 * b) + "-" + std::to_string(8 * b + 7) +
                "): its entry points past the end of the file; its sectors cannot be read\n";
  expected += "and 3 more of the VHD blocks cannot be read for the same reasons\n";
  EXPECT_EQ(notesOf(app), expected);
  EXPECT_EQ(readSectors(app, 80, 8).failed, 7u);  // only its first sector is in the file
  EXPECT_EQ(readSectors(app, 88, 8).failed, 0u);  // block 11 is sound
  // With the file ending inside its data alone, block 10 gets a line of its own.
  dir.putAt("d.vhd", 1536, std::vector<std::uint8_t>(40, 0xFF));
  app::CQELDAApp cut;
  ASSERT_EQ(mount(cut, app::kImageVhd, v.path), app::MountOutcome::Mounted);
  EXPECT_EQ(notesOf(cut), "VHD block 10 (sectors 80-87): the file ends inside its data; the sectors past the end "
                          "cannot be read\n");
}

TEST(Vhd, DifferencingDiskIsRecognisedAndReadsFail) {
  ImageDir dir;
  dir.put("c.vhd", 0, std::vector<std::uint8_t>(4096, 3));
  dir.put("c.vhd", 8, vhdFooter(vhd::kDiskDifferencing, 1 << 20, 1 << 20));
  app::CQELDAApp app;
  ASSERT_EQ(mount(app, app::kImageVhd, dir.file("c.vhd")), app::MountOutcome::Mounted);
  EXPECT_EQ(app.m_nVhdDiskType, 4u);
  EXPECT_EQ(app.m_nDiskSectors, 2048u);
  const test::SectorRead r = readSectors(app, 0, 4);
  EXPECT_EQ(r.result, 0u);
  EXPECT_TRUE(allZero(r.bytes));
  EXPECT_EQ(notesOf(app),
            "a differencing VHD: its parent disk is not read, and without it no sector can be read: the whole disk "
            "reads as zeros, counted as unreadable\n");
}

}  // namespace
}  // namespace qelda::image
