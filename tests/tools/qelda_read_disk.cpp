// qelda_read_disk IMAGE: mounts IMAGE and writes the whole virtual disk to stdout through
// the sector-read entry point, 1 MiB per call, so that it can be compared with another
// tool's raw conversion of the same image. When stdout is a regular file it is written as
// an image converter writes a raw file: holes where the disk reads as zeros.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "cli/stderr_notifier.h"
#include "image/virtual_disk.h"

namespace {

bool writeAllAt(const std::uint8_t* p, std::size_t n, bool seekable, off_t at) {
  while (n > 0) {
    const ssize_t w = seekable ? ::pwrite(1, p, n, at) : ::write(1, p, n);
    if (w <= 0) return false;
    p += w;
    at += w;
    n -= std::size_t(w);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: qelda_read_disk IMAGE\n", stderr);
    return 1;
  }
  qelda::app::CQELDAApp app;
  qelda::cli::StderrNotifier notifier;
  qelda::app::CDataRecovery mount(app, notifier);
  if (mount.OnBnClickedMountVirtualDisk(qelda::app::imageTypeFromPath(argv[1]), argv[1]) ==
      qelda::app::MountOutcome::Invalid)
    return 2;
  struct stat st {};
  const bool regular = ::fstat(1, &st) == 0 && S_ISREG(st.st_mode);
  constexpr std::uint32_t kChunk = 1u << 20;
  // Page-aligned, as the file data it receives.
  std::unique_ptr<std::uint8_t, decltype(&std::free)> buffer(
      static_cast<std::uint8_t*>(std::aligned_alloc(4096, kChunk)), &std::free);
  if (!buffer) return 3;
  const std::uint64_t total = app.m_nDiskSectors * 512;
  std::uint64_t failed = 0;
  for (std::uint64_t at = 0; at < total; at += kChunk) {
    const std::uint32_t bytes = std::uint32_t(std::min<std::uint64_t>(kChunk, total - at));
    qelda::image::ReadReport report;
    qelda::image::ReadSourceSectors(app, buffer.get(), at / 512, bytes, &report);
    failed += report.failedSectors;
    // All zeros when the first byte is and every byte equals the next (memcmp is vectorised).
    const std::uint8_t* p = buffer.get();
    const bool zeros = regular && p[0] == 0 && std::memcmp(p, p + 1, bytes - 1) == 0;
    if (!zeros && !writeAllAt(p, bytes, regular, off_t(at))) return 3;
  }
  if (regular && ::ftruncate(1, off_t(total)) != 0) return 3;
  if (failed) std::fprintf(stderr, "%llu sectors could not be read\n", static_cast<unsigned long long>(failed));
  return 0;
}
