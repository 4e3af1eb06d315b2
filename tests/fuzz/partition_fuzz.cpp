// A whole disk, mounted as a flat image through the mount step: the MBR and its chain of
// extended boot records, GPT headers and entries, the dynamic-disk private header and its
// database, each volume's first sector, and the source list made from them.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  test::ImageDir& dir = fuzz::scratch();
  if (dir.replace("disk.flat", fuzz::Bytes(data, size)).empty()) return 0;
  const std::uint64_t sectors = size / 512 + (size % 512 != 0);
  const std::string descriptor = dir.putText(
      "disk.vmdk", "# Disk DescriptorFile\ncreateType=\"monolithicFlat\"\nRW " + std::to_string(sectors) +
                       " FLAT \"disk.flat\" 0\n");
  app::CQELDAApp app;
  fuzz::mount(app, app::kImageVmdk, descriptor);
  // The texts `qelda info` prints of each source, made at the edge as it makes them.
  for (const disk::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext) {
    platform::toUtf8(e->m_szName);
    if (const disk::VOLUME_RECORD* v = e->m_pDetail.volume()) {
      platform::toUtf8(v->m_szName);
      platform::toUtf8(v->m_szFileSystem);
      platform::toUtf8(v->m_szSizeText);
    }
  }
  return 0;
}
