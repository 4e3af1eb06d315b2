// A disk held in memory, mounted from its snapshot, gives the source list and the bytes the
// same disk gives when mounted from its image file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"
#include "platform/read_only_file.h"
#include "support/recording_notifier.h"
#include "support/test_images.h"

namespace qelda::app {
namespace {

struct Listed {
  std::uint8_t kind;
  std::uint64_t start, sectors;
  std::u16string fileSystem, sizeText;
  bool operator==(const Listed&) const = default;
};

std::vector<Listed> sources(const CQELDAApp& app) {
  std::vector<Listed> out;
  for (const volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext) {
    Listed l{e->m_byKind, 0, 0, {}, {}};
    if (const volume::VOLUME_RECORD* v = e->m_pDetail.volume())
      l = {e->m_byKind, v->m_nStartSector, v->m_nSectorCount, v->m_szFileSystem, v->m_szSizeText};
    out.push_back(l);
  }
  return out;
}

TEST(MountSnapshot, DiskInMemoryListsAndReadsAsItsImageFileDoes) {
  const std::string raw = test::testImage("mbr.raw");
  const std::string vmdk = test::testImage("mbr-monoflat.vmdk");
  if (!std::filesystem::exists(raw) || !std::filesystem::exists(vmdk))
    GTEST_SKIP() << "no test images at " << test::testImagesDir();
  std::ifstream in(raw, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size() % 512, 0u);

  test::RecordingNotifier notifier;
  CQELDAApp fromFile;
  ASSERT_EQ(CDataRecovery(fromFile, notifier).OnBnClickedMountVirtualDisk(kImageVmdk, vmdk), MountOutcome::Mounted);

  auto snapshot = std::make_shared<image::MountedImage>();
  snapshot->layout = image::ImageLayout::FlatFile;
  snapshot->diskSectors = snapshot->flatSectors = bytes.size() / 512;
  snapshot->image = std::make_shared<const platform::ReadOnlyFile>(platform::ReadOnlyFile::overMemory(bytes, bytes.size()));
  CQELDAApp inMemory;
  ASSERT_EQ(CDataRecovery(inMemory, notifier).mountSnapshot(snapshot), MountOutcome::Mounted);

  EXPECT_EQ(inMemory.m_nDiskSectors, fromFile.m_nDiskSectors);
  const std::vector<Listed> listed = sources(fromFile);
  EXPECT_GE(listed.size(), 5u);  // the disk and its FAT16, NTFS, FAT12, FAT32 and exFAT volumes
  EXPECT_EQ(sources(inMemory), listed);

  // The same bytes through the one reading door, the disk's end and past it included.
  const std::uint64_t last = fromFile.m_nDiskSectors - 1;
  for (const std::uint64_t sector : {std::uint64_t(0), std::uint64_t(2048), last / 2, last - 3, last + 1}) {
    SCOPED_TRACE(sector);
    std::vector<std::uint8_t> a(8 * 512, 0xEE), b(8 * 512, 0xEE);
    image::ReadReport ra, rb;
    EXPECT_EQ(image::ReadSourceSectors(inMemory, a.data(), sector, 8 * 512, &ra),
              image::ReadSourceSectors(fromFile, b.data(), sector, 8 * 512, &rb));
    EXPECT_EQ(ra.failedSectors, rb.failedSectors);
    EXPECT_EQ(a, b);
  }
}

TEST(MountSnapshot, NoSnapshotIsRefusedAndLeavesNothingMounted) {
  test::RecordingNotifier notifier;
  CQELDAApp app;
  EXPECT_EQ(CDataRecovery(app, notifier).mountSnapshot(nullptr), MountOutcome::Invalid);
  EXPECT_EQ(app.m_pSourceList, nullptr);
  EXPECT_EQ(app.mountedImage(), nullptr);
}

}  // namespace
}  // namespace qelda::app
