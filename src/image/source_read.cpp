#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "image/image_state.h"
#include "image/mounted_image.h"
#include "image/virtual_disk.h"

namespace qelda::image {

CVirtualDisk::CVirtualDisk(ImageState& app) : app_(app) {}

void CVirtualDisk::reset() {
  m_arrFolderFiles.clear();
  m_hFile.reset();
  m_abySector.fill(0);
  m_bEmbeddedDescriptor = 0;
  m_SparseHeader.fill(0);
  m_arrExtents.clear();
  m_abyVhdFooter.fill(0);
  m_abyVhdHeader.fill(0);
  m_nVhdDiskSize = 0;
}

std::uint32_t ReadSourceSectors(const ImageState& app, std::uint8_t* buffer, std::uint64_t firstSector,
                                std::uint32_t byteCount, ReadReport* report) {
  const std::shared_ptr<const MountedImage> image = app.mountedImage();
  return ReadSourceSectors(image.get(), buffer, firstSector, byteCount, report);
}

std::uint32_t CVirtualDisk::ReadSectors(std::uint64_t firstSector, std::uint8_t* buffer, std::uint32_t byteCount,
                                        ReadReport* report) {
  const std::shared_ptr<const MountedImage> image = app_.mountedImage();
  return ReadSourceSectors(image.get(), buffer, firstSector, byteCount, report);
}

std::uint32_t CVirtualDisk::ReadVmdkSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
  if (!app_.m_bVmdkDescriptor) return 0;
  return ReadSectors(sector, buffer, count, nullptr);
}

std::uint32_t CVirtualDisk::ReadFlatFile(std::uint64_t byteOffset, std::uint8_t* buffer, std::uint32_t count) {
  if (app_.m_bVmdkDescriptor) return 0;
  return ReadSectors(byteOffset / kSectorSize, buffer, count, nullptr);
}

std::uint32_t CVirtualDisk::ReadFileAt(const platform::ReadOnlyFile& file, std::uint64_t byteOffset,
                                       std::uint8_t* buffer, std::uint32_t count) {
  return file.readExact(byteOffset, {buffer, count}) ? 1 : 0;
}

namespace {

// The kernel copies the file's cached pages into the caller's buffer. When the buffer sits
// 1 to 63 bytes past the file offset's place in a page (a large malloc'd buffer is 16 bytes
// past a page boundary, and grains and flat data start on one), that copy runs about five
// times slower. Such long runs go through a page-aligned buffer and one memcpy instead.
constexpr std::uint64_t kPage = 4096;
constexpr std::size_t kBounceBytes = 1u << 20;
constexpr std::size_t kMinBounceRun = 64 * 1024;

std::size_t readRun(const platform::ReadOnlyFile& file, std::uint64_t offset, std::uint8_t* out, std::size_t bytes) {
  const std::uint64_t skew = (reinterpret_cast<std::uintptr_t>(out) - offset) % kPage;
  if (bytes < kMinBounceRun || skew == 0 || skew >= 64) return file.readAt(offset, {out, bytes});
  struct AlignedFree {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  thread_local std::unique_ptr<std::uint8_t, AlignedFree> bounce(
      static_cast<std::uint8_t*>(std::aligned_alloc(kPage, kBounceBytes)));
  if (!bounce) return file.readAt(offset, {out, bytes});
  std::size_t done = 0;
  while (done < bytes) {
    const std::size_t n = std::min(kBounceBytes, bytes - done);
    const std::size_t got = file.readAt(offset + done, {bounce.get(), n});  // zero-fills what it lacks
    std::memcpy(out + done, bounce.get(), n);
    if (got < n) {
      std::memset(out + done + n, 0, bytes - done - n);
      return done + got;
    }
    done += n;
  }
  return done;
}

}  // namespace

// Serves the request run by run: each run the snapshot maps to one place in one file is
// read with one pread; holes are zeros. The result is that of the last sector, as callers
// expect; the report counts every sector that could not be read.
// The snapshot already knows which of the image's readers applies (extent list, one flat
// file, VDI or VHD), so every kind goes through the same run loop.
std::uint32_t ReadSourceSectors(const MountedImage* image, std::uint8_t* buffer, std::uint64_t sector,
                                std::uint32_t count, ReadReport* report) {
  if (report) report->failedSectors = 0;
  if (count == 0 || buffer == nullptr) return 0;
  const std::uint64_t totalSectors = (std::uint64_t(count) + kSectorSize - 1) / kSectorSize;
  std::uint64_t done = 0;  // sectors handled
  bool lastOk = false;
  std::uint64_t failed = 0;
  const auto failRun = [&](std::uint64_t first, std::uint64_t sectors) {
    failed += sectors;
    if (sectors != 0 && report && report->failedRuns) report->failedRuns->failedRun(first, sectors);
  };
  while (done < totalSectors) {
    const std::uint64_t at = sector + done;
    const std::uint64_t left = totalSectors - done;
    MappedRun run;
    if (image && at >= sector) run = image->map(at, left);  // at < sector: the number wrapped
    else run = {nullptr, 0, left, false};
    run.sectors = std::clamp<std::uint64_t>(run.sectors, 1, left);

    std::uint8_t* out = buffer + done * kSectorSize;
    const std::uint64_t bytes = std::min<std::uint64_t>(run.sectors * kSectorSize, count - done * kSectorSize);
    if (run.file) {
      const std::size_t got = readRun(*run.file, run.offset, out, std::size_t(bytes));
      const std::uint64_t whole = got / kSectorSize;  // sectors read completely
      lastOk = got == bytes;
      if (!lastOk) failRun(at + std::min(whole, run.sectors), run.sectors - std::min(whole, run.sectors));
    } else {
      std::memset(out, 0, std::size_t(bytes));
      lastOk = run.readable;
      if (!lastOk) failRun(at, run.sectors);
    }
    done += run.sectors;
  }
  if (report) report->failedSectors = failed;
  return lastOk ? 1 : 0;
}

}  // namespace qelda::image
