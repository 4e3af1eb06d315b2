// qelda_read_disk IMAGE: mounts IMAGE and writes the whole virtual disk to stdout through
// the sector-read entry point, 1 MiB per call, so that it can be compared with another
// tool's raw conversion of the same image.
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "cli/stderr_notifier.h"
#include "disk/virtual_disk.h"

namespace {

bool writeAll(const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(1, p, n);
    if (w <= 0) return false;
    p += w;
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
  constexpr std::uint32_t kChunk = 1u << 20;
  std::vector<std::uint8_t> buffer(kChunk);
  std::uint64_t failed = 0;
  for (std::uint64_t sector = 0; sector < app.m_nDiskSectors; sector += kChunk / 512) {
    const std::uint64_t left = (app.m_nDiskSectors - sector) * 512;
    const std::uint32_t bytes = left < kChunk ? std::uint32_t(left) : kChunk;
    qelda::disk::ReadReport report;
    qelda::disk::ReadSourceSectors(app, buffer.data(), sector, bytes, &report);
    failed += report.failedSectors;
    if (!writeAll(buffer.data(), bytes)) return 3;
  }
  if (failed) std::fprintf(stderr, "%llu sectors could not be read\n", static_cast<unsigned long long>(failed));
  return 0;
}
