#include <algorithm>
#include <cstring>

#include "app/qelda_app.h"
#include "disk/mounted_image.h"
#include "disk/virtual_disk.h"

namespace qelda::disk {

CVirtualDisk::CVirtualDisk(app::CQELDAApp& app) : app_(app) {}

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

std::uint32_t ReadSourceSectors(app::CQELDAApp& app, std::uint8_t* buffer, std::uint64_t firstSector,
                                std::uint32_t byteCount, ReadReport* report) {
  CVirtualDisk reader(app);
  return reader.ReadSectors(firstSector, buffer, byteCount, report);
}

std::uint32_t CVirtualDisk::ReadSectors(std::uint64_t firstSector, std::uint8_t* buffer, std::uint32_t byteCount,
                                        ReadReport* report) {
  if (report) *report = {};
  if (byteCount == 0 || buffer == nullptr) return 0;
  image_ = app_.mountedImage();
  report_ = report;
  // The snapshot already knows which of the image's readers applies (extent list, one flat
  // file, VDI or VHD), so every kind goes through the same run loop.
  const std::uint32_t result = readMapped(firstSector, buffer, byteCount);
  image_.reset();
  report_ = nullptr;
  return result;
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

// Serves the request run by run: each run the snapshot maps to one place in one file is
// read with one pread; holes are zeros. The result is that of the last sector, as callers
// expect; the report counts every sector that could not be read.
std::uint32_t CVirtualDisk::readMapped(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
  const std::uint64_t totalSectors = (std::uint64_t(count) + kSectorSize - 1) / kSectorSize;
  std::uint64_t done = 0;  // sectors handled
  bool lastOk = false;
  std::uint64_t failed = 0;
  while (done < totalSectors) {
    const std::uint64_t at = sector + done;
    const std::uint64_t left = totalSectors - done;
    MappedRun run;
    if (image_ && at >= sector) run = image_->map(at, left);  // at < sector: the number wrapped
    else run = {nullptr, 0, left, false};
    run.sectors = std::clamp<std::uint64_t>(run.sectors, 1, left);

    std::uint8_t* out = buffer + done * kSectorSize;
    const std::uint64_t bytes = std::min<std::uint64_t>(run.sectors * kSectorSize, count - done * kSectorSize);
    if (run.file) {
      const std::size_t got = run.file->readAt(run.offset, {out, std::size_t(bytes)});
      const std::uint64_t whole = got / kSectorSize;  // sectors read completely
      lastOk = got == bytes;
      if (!lastOk) failed += run.sectors - std::min(whole, run.sectors);
    } else {
      std::memset(out, 0, std::size_t(bytes));
      lastOk = run.readable;
      if (!lastOk) failed += run.sectors;
    }
    done += run.sectors;
  }
  if (report_) report_->failedSectors = failed;
  return lastOk ? 1 : 0;
}

}  // namespace qelda::disk
