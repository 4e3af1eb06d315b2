// Images whose files are held in memory mount as the same files on disk do: the descriptor
// and the extents it names, the siblings of a split image found by listing its folder; and
// once files are held in memory, nothing on disk is looked at.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "support/image_dir.h"
#include "support/mounted_image.h"
#include "support/patterns.h"

namespace qelda::image {
namespace {

using test::mountImage;
using test::readSectors;
using test::taggedSectors;

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> bootable(std::uint32_t tag, std::uint64_t sectors) {
  auto bytes = taggedSectors(tag, 0, sectors);
  bytes[510] = 0x55;
  bytes[511] = 0xAA;
  return bytes;
}

TEST(ImageFiles, ImagesHeldInMemoryMountAsTheirFilesWould) {
  const auto flat = bootable(1, 40), tail = taggedSectors(2, 0, 24);
  const auto descriptor = bytesOf(
      "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
      "RW 40 FLAT \"disk-flat.vmdk\" 0\n");
  struct File {
    std::string path;
    const std::vector<std::uint8_t>* bytes;
  };
  struct Case {
    const char* what;
    std::vector<File> files;
    std::string picked;
    std::u16string createType;
    std::vector<std::uint8_t> disk;
  } cases[] = {
      {"a descriptor and the extent it names", {{"/vm/disk.vmdk", &descriptor}, {"/vm/disk-flat.vmdk", &flat}},
       "/vm/disk.vmdk", u"monolithicFlat", flat},
      {"a split flat image found through its folder",
       {{"/vm/my-f001.vmdk", &flat}, {"/vm/my-f002.vmdk", &tail}, {"/other/my-f003.vmdk", &tail}},
       "/vm/my-f002.vmdk", u"twoGbMaxExtentFlat", {}},
  };
  cases[1].disk = flat;
  cases[1].disk.insert(cases[1].disk.end(), tail.begin(), tail.end());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    app::CQELDAApp app;
    for (const File& f : c.files) app.imageFiles.holdInMemory(f.path, *f.bytes);
    ASSERT_EQ(mountImage(app, c.picked).outcome, app::MountOutcome::Mounted);
    EXPECT_EQ(app.m_strCreateType, c.createType);
    const std::uint64_t sectors = c.disk.size() / 512;
    EXPECT_EQ(app.m_nDiskSectors, sectors);
    const test::SectorRead all = readSectors(app, 0, sectors);
    EXPECT_EQ(all.failed, 0u);
    EXPECT_EQ(all.bytes, c.disk);
  }
}

TEST(ImageFiles, FilesOnDiskAreNotLookedAtOnceFilesAreHeldInMemory) {
  test::ImageDir dir;
  const auto disk = bootable(3, 16);
  const std::string onDisk = dir.put("disk.vmdk", 0, disk);
  {
    app::CQELDAApp app;
    EXPECT_EQ(mountImage(app, onDisk).outcome, app::MountOutcome::Mounted);
  }
  app::CQELDAApp app;
  app.imageFiles.holdInMemory(dir.file("other.vmdk"), disk);
  EXPECT_EQ(mountImage(app, onDisk).outcome, app::MountOutcome::Invalid);
}

}  // namespace
}  // namespace qelda::image
