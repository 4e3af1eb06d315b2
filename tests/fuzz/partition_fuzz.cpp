// A whole disk held in memory, mounted as a flat image is, through the partition walk: the
// MBR and its chain of extended boot records, GPT headers and entries, the dynamic-disk
// private header and its database, each volume's first sector, and the source list made
// from them.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  app::CQELDAApp app;
  fuzz::mountMemory(app, fuzz::memoryDisk(fuzz::Bytes(data, size)));
  // The texts `qelda info` prints of each source, made at the edge as it makes them.
  for (const qelda::volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext) {
    platform::toUtf8(e->m_szName);
    if (const qelda::volume::VOLUME_RECORD* v = e->m_pDetail.volume()) {
      platform::toUtf8(v->m_szName);
      platform::toUtf8(v->m_szFileSystem);
      platform::toUtf8(v->m_szSizeText);
    }
  }
  return 0;
}
