// The quick search and the three boot-sector tests that the deep search shares.
#include <algorithm>
#include <array>
#include <cstring>

#include "fs/boot_layout.h"
#include "fs/exfat_boot.h"
#include "fs/exfat_layout.h"
#include "fs/fat_boot.h"
#include "fs/mft_record.h"
#include "fs/ntfs_boot.h"
#include "fs/ntfs_layout.h"
#include "fs/partition_boot.h"
#include "lost/lost_layout.h"
#include "lost/search_volume.h"
#include "lost/sector_tests.h"
#include "ui/format_size.h"
#include "volume/volume_records.h"

namespace qelda::lost {

using platform::ByteView;
namespace L = layout;

namespace {

constexpr std::size_t kSector = 512;
using Sector = std::array<std::uint8_t, kSector>;

// Cylinders of 255 heads and 63 sectors, of 16 heads and 63 sectors, and the first track.
constexpr std::uint64_t kCylinder255 = 16065;
constexpr std::uint64_t kCylinder16 = 1008;
constexpr std::uint64_t kTrack = 63;
constexpr std::uint64_t kFirstPass16 = kCylinder255 + kTrack;  // 16128
constexpr std::uint64_t kFirstPassSteps = 255;                 // sectors 0, 63, ... below 16065
// The usual start of a volume on a disk laid out in mebibytes.
constexpr std::uint64_t kMebibyteStart = 2048;
// Entry kind of a removable drive: its volume may begin right after sector 0.
constexpr std::uint8_t kKindRemovable = 4;

// Volumes smaller than this are not taken for real ones.
constexpr std::uint64_t kMinVolumeSectors = 4096;

// a + b, or nothing when it does not fit in 64 bits.
std::optional<std::uint64_t> add(std::uint64_t a, std::uint64_t b) {
  if (b > UINT64_MAX - a) return std::nullopt;
  return a + b;
}
std::optional<std::uint64_t> mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}

// True when the boot sector gives a total whose data clusters all have an entry in its FAT
// (12, 16 or 32 bits each): a length the volume can really have.
bool fatMapsTotal(const fs::FAT_BOOT_INFO& info) {
  const std::uint64_t entryBits = info.m_byFatType == fs::kFatType12   ? 12
                                  : info.m_byFatType == fs::kFatType16 ? 16
                                                                         : 32;
  const std::uint64_t entries = std::uint64_t(info.m_nSectorsPerFat) * kSector * 8 / entryBits;
  const std::uint64_t system = fs::fat::systemSectors(std::uint32_t(info.m_nReservedSectors), info.m_nSectorsPerFat,
                                                      info.m_wRootDirSectors, info.m_byFatCopies);
  const std::uint64_t bound = fs::fat::dataClusterBound(info.m_nTotalSectors, system, info.m_bySectorsPerCluster);
  return bound > 2 && bound <= entries;
}

}  // namespace

void CThreadForSearchVolume::QuickSearch() {
  beginSearch();
  const std::uint64_t n = m_nTotalSectors;
  const std::uint64_t progressMax = n / kCylinder16 + n / kCylinder255 + kFirstPassSteps;
  progress_.showBar(kSearchBar, true);
  progress_.setRange(kSearchBar, 0, progressMax);
  progress_.setStep(kSearchBar, 1);
  ScanForBootSectors();
  logSearchEnd();
  hideSearchProgress(progressMax);
  app_.m_bBusy = 0;
  app_.m_bStopRequested = 0;
}

std::uint32_t CThreadForSearchVolume::testCandidate(ByteView data, std::uint64_t s, bool withNtfs) {
  if (withNtfs && isNtfsOem(data)) return CheckNtfsBootSectorAt(data, s, kindFound());
  if (isExFatOem(data)) return CheckExFatBootSectorAt(data, s, kindFound());
  return CheckFatBootSectorAt(data, s, kindFound());
}

void CThreadForSearchVolume::ScanForBootSectors() {
  // Each buffer keeps the sector last read into it: a pass that does not read one tests
  // what it held before.
  Sector a{}, b{}, c{};

  // Pass 1: the first track of every head of the first cylinder.
  for (std::uint64_t s = 0; s < kCylinder255; s += kTrack) {
    if (progressStep(s)) return;
    readSectors(a.data(), s, 1);
    if (s == 0) {
      // Sector 0 has lost its table; a volume may start at 2048 or, on a removable drive,
      // at sector 1. Either may have lost its boot mark as well.
      const volume::DEVICE_ENTRY* selected = app_.m_pSelectedSource;
      if (selected && selected->m_byKind == kKindRemovable) readSectors(c.data(), 1, 1);
      else readSectors(b.data(), kMebibyteStart, 1);
      forceBootMark(b.data());
      if (testCandidate(ByteView(b), kMebibyteStart)) {
        reportVolume(false);
      } else {
        forceBootMark(c.data());
        if (testCandidate(ByteView(c), 1)) reportVolume(false);
      }
    }
    if (s == kTrack) forceBootMark(a.data());
    if (!hasBootMark(a.data())) continue;
    const ByteView data(a);
    std::uint32_t found = testCandidate(data, s);
    if (!found && !isNtfsOem(data)) {
      // A FAT or exFAT volume may begin one sector later.
      readSectors(c.data(), s + 1, 1);
      found = testCandidate(ByteView(c), s + 1, false);
    }
    if (found) reportVolume(false);
  }
  if (stopRequested()) return;

  // Pass 2 at every 255-head cylinder; pass 3 at every 16-head one when pass 2 found nothing.
  if (probePass(kCylinder255, kCylinder255, a.data(), b.data(), c.data())) return;
  probePass(kFirstPass16, kCylinder16, a.data(), b.data(), c.data());
}

bool CThreadForSearchVolume::probePass(std::uint64_t first, std::uint64_t step, std::uint8_t* a, std::uint8_t* b,
                                       std::uint8_t* c) {
  bool found = false;
  for (std::uint64_t s = first; s < m_nTotalSectors; s += step) {
    if (progressStep(s)) return true;
    readSectors(b, s, 1);
    readSectors(c, s - 1, 1);
    readSectors(a, s + kTrack, 1);
    // The volume one track into the cylinder, one at the cylinder, and the backup boot
    // sector of an NTFS volume that ends right before it. All three are tried: a volume
    // starting one track in does not mean that the one before it kept its boot sector.
    const auto report = [&](std::uint32_t hit) {
      if (!hit) return;
      reportVolume(false);
      found = true;
    };
    if (hasBootMark(a)) report(testCandidate(ByteView(a, kSector), s + kTrack));
    if (hasBootMark(b)) report(testCandidate(ByteView(b, kSector), s));
    if (hasBootMark(c) && isNtfsOem(ByteView(c, kSector)))
      report(CheckNtfsBootSectorAt(ByteView(c, kSector), s - 1, kindFound()));
    if (step > UINT64_MAX - s) break;
  }
  return found || stopRequested();
}

bool CThreadForSearchVolume::sectorStartsFat(std::uint64_t sector) {
  Sector fat{};
  readSectors(fat.data(), sector, 1);
  return startsWithFatSignature(fat.data());
}

std::uint32_t CThreadForSearchVolume::CheckFatBootSectorAt(ByteView data, std::uint64_t s, std::uint8_t kind) {
  fs::FAT_BOOT_INFO info;
  if (!fs::CheckFatBootSector(info, data) || info.m_nReservedSectors < 0) return 0;
  // The first FAT right after the reserved sectors confirms the boot sector.
  const auto fatSector = add(s, std::uint64_t(info.m_nReservedSectors));
  if (!fatSector || !sectorStartsFat(*fatSector)) return 0;
  if (IsVolumeListed(info.m_byFatType, s)) return 0;
  // What the FAT can address: entries per FAT sector times FAT sectors times cluster size.
  const std::uint64_t perSector = info.m_byFatType == fs::kFatType12   ? 341
                                  : info.m_byFatType == fs::kFatType16 ? 256
                                                                         : 128;
  const std::uint64_t estimate = std::uint64_t(info.m_bySectorsPerCluster) * info.m_nSectorsPerFat * perSector;
  if (estimate <= kMinVolumeSectors) return 0;
  // The estimate falls short of a FAT32 whose reserved sectors and FATs it leaves out, and
  // passes the end of a volume whose FAT has room to spare: the boot sector's own total is
  // the length wherever the FAT maps it. The clamp cuts either to the disk.
  const std::uint64_t length = fatMapsTotal(info) ? info.m_nTotalSectors : estimate;

  volume::VOLUME_RECORD& v = appendVolume(kind);
  v.m_bySectorsPerCluster = info.m_bySectorsPerCluster;
  v.m_byFileSystem = info.m_byFatType;
  v.m_nStartSector = s;
  v.m_nSectorCount = length;
  v.m_nLastSector = s + length - 1;
  v.m_nFatSectors = info.m_nSectorsPerFat;
  v.m_nReservedSectors = std::uint32_t(info.m_nReservedSectors);
  v.m_wRootDirSectors = info.m_wRootDirSectors;
  v.m_nRootCluster = info.m_nRootCluster;
  clampToDisk(v, false);
  // The size the list shows is that of what the disk holds, like the count beside it.
  v.m_szSizeText = ui::FormatVolumeSize(v.m_nSectorCount);
  v.m_szFileSystem = info.m_nRootCluster == 0 ? u"FAT" : u"FAT32";
  return 1;
}

bool CThreadForSearchVolume::isMftRecordAt(std::uint64_t x) {
  fs::ntfs::RecordBuffer record;
  record.resize(L::kRecordBytes);
  readSectors(record.data(), x, 2);
  // A record that says it is larger (a volume of sectors as large) is read whole.
  const std::size_t own = fs::ntfs::recordSizeOf(ByteView(record));
  if (own > record.size() && x + 2 > x) {
    record.resize(own);
    readSectors(record.data() + L::kRecordBytes, x + 2, std::uint32_t((own - L::kRecordBytes) / kSector));
  }
  if (!fs::ntfs::ApplyRecordFixup(record)) return false;
  const auto name = fs::ntfs::GetRecordFileName(ByteView(record));
  return name && *name == u"$MFT";
}

std::uint32_t CThreadForSearchVolume::CheckNtfsBootSectorAt(ByteView data, std::uint64_t s, std::uint8_t kind) {
  // The boot sector counts the volume's own sectors; the disk is searched in 512-byte ones.
  const auto own = mul(data.le64(fs::ntfs::layout::kBootTotalSectors).value_or(0), fs::ntfs::sectorUnitsOf(data));
  if (!own) return 0;
  const std::uint64_t t = *own;
  const auto boot = fs::ntfs::parseNtfsBoot(data, t);
  if (!boot) return 0;
  const std::uint64_t spc = boot->sectorsPerCluster;

  // The volume start the tests below settle on; nothing when a test decides against it.
  std::optional<std::uint64_t> start;
  bool decided = false;
  const auto recordTest = [&](std::uint64_t v, std::uint64_t cluster) {
    if (decided) return;
    const auto relative = mul(spc, cluster);
    const auto x = relative ? add(v, *relative) : std::nullopt;
    if (!x || !isMftRecordAt(*x)) return;
    decided = true;
    if (!IsVolumeListed(volume::kFsNtfs, v)) start = v;
  };

  // The same sector at the volume's end is its backup boot sector.
  if (t != 0) {
    if (const auto backupAt = add(s, t)) {
      Sector backup{};
      readSectors(backup.data(), *backupAt, 1);
      if (data.size() >= kSector && std::memcmp(backup.data(), data.data(), kSector) == 0) {
        decided = true;
        if (!IsVolumeListed(volume::kFsNtfs, s)) start = s;
      }
    }
  }
  recordTest(s, boot->mftCluster);
  recordTest(s, boot->mftMirrCluster);
  // Past the volume's length, the candidate may be that backup itself.
  if (s > t) {
    recordTest(s - t, boot->mftCluster);
    recordTest(s - t, boot->mftMirrCluster);
  }
  if (!start) return 0;

  const std::uint64_t v = *start;
  volume::VOLUME_RECORD& record = appendVolume(kind);
  record.m_wNtfsSectorsPerCluster = std::uint16_t(spc);
  record.m_byFileSystem = volume::kFsNtfs;
  record.m_nMftSector = boot->mftSector();
  record.m_nMftMirrSector = boot->mftMirrSector();
  record.m_nStartSector = v;
  record.m_nSectorCount = t;
  record.m_nLastSector = v + t;
  clampToDisk(record, true);
  record.m_szSizeText = ui::FormatVolumeSize(record.m_nSectorCount);
  record.m_szFileSystem = u"NTFS";
  return 1;
}

std::uint32_t CThreadForSearchVolume::CheckExFatBootSectorAt(ByteView data, std::uint64_t s, std::uint8_t kind) {
  // The fields count the volume's own sectors; the search counts 512-byte ones. A sector
  // size outside 512 bytes .. 4 KiB is taken as damaged, the fields as they stand.
  const std::uint64_t scale =
      fs::exfat::exFatSectorScale(data.u8(fs::exfat::boot::kBytesPerSectorShift).value_or(0)).value_or(1);
  const std::uint64_t fatOffset = scale * data.le32(fs::boot::kExFatFatOffset).value_or(0);
  const std::uint64_t fatLength = scale * data.le32(fs::boot::kExFatFatLength).value_or(0);
  const std::uint64_t storedLength = data.le64(L::kExFatVolumeLength).value_or(0);
  const std::uint32_t clusterCount = data.le32(L::kExFatClusterCount).value_or(0);
  const std::uint32_t rootCluster = data.le32(fs::boot::kExFatRootCluster).value_or(0);
  if (clusterCount == 0 || fatOffset > UINT32_MAX || fatLength > UINT32_MAX || storedLength > UINT64_MAX / scale)
    return 0;
  const std::uint64_t volumeLength = storedLength * scale;

  // The FAT behind the candidate: the main boot sector at s, or the backup boot region's
  // first sector, 12 of the volume's sectors in.
  const std::uint64_t kBackupRegion = fs::exfat::boot::kBackupBootSector * scale;
  std::uint64_t v = 0;
  if (sectorStartsFat(s + fatOffset)) v = s;
  else if (s >= kBackupRegion && sectorStartsFat(s - kBackupRegion + fatOffset)) v = s - kBackupRegion;
  else return 0;
  if (IsVolumeListed(volume::kFsExFat, v)) return 0;
  const std::uint64_t perCluster = volumeLength / clusterCount;
  const std::uint64_t size = std::uint64_t(clusterCount) * perCluster;
  if (size <= kMinVolumeSectors) return 0;

  volume::VOLUME_RECORD& record = appendVolume(kind);
  record.m_bySectorsPerCluster = std::uint8_t(perCluster);
  record.m_byFileSystem = volume::kFsExFat;
  record.m_nStartSector = v;
  record.m_nSectorCount = volumeLength;
  record.m_nLastSector = v + volumeLength - 1;
  record.m_nFatSectors = std::uint32_t(fatLength);
  record.m_nReservedSectors = std::uint32_t(fatOffset);
  record.m_wRootDirSectors = 0;
  record.m_nRootCluster = rootCluster;
  clampToDisk(record, false);
  // The size the clusters give, but never more than the disk holds of the volume.
  record.m_szSizeText = ui::FormatVolumeSize(std::min(size, record.m_nSectorCount));
  record.m_szFileSystem = u"exFAT";
  return 1;
}

}  // namespace qelda::lost
