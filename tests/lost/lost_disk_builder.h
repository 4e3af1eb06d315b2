// Hand-made sectors for the lost-volume search tests: FAT signatures, directory starts and
// MFT records (the boot sectors are those of tests/support), written into a disk file that
// the search reads as an image file.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "lost/lost_volume.h"
#include "platform/byte_view.h"
#include "platform/log.h"
#include "support/boot_sectors.h"
#include "support/image_dir.h"
#include "volume/volume_records.h"

namespace qelda::lost::test {

using qelda::test::bootMarked;
using qelda::test::exFatBoot;
using qelda::test::fatBoot;
using qelda::test::ntfsBoot;
using qelda::test::Sector;
using Record = std::array<std::uint8_t, 1024>;
using platform::putLe16;
using platform::putLe32;
using platform::putLe64;

inline Sector fatSignature() {
  Sector s{};
  s[0] = 0xF8;
  s[1] = s[2] = 0xFF;
  return s;
}

// The first sector of a FAT directory whose "." names `cluster`.
inline Sector directoryStart(std::uint32_t cluster) {
  Sector s{};
  std::memcpy(&s[0], ".          ", 11);
  std::memcpy(&s[32], "..         ", 11);
  s[11] = s[43] = 0x10;
  putLe16(&s[20], std::uint16_t(cluster >> 16));
  putLe16(&s[26], std::uint16_t(cluster));
  return s;
}

// Mapping pairs: (length in clusters, LCN delta) with the widths given.
struct Run {
  std::uint32_t length;
  std::int64_t delta;
  std::uint8_t lengthBytes = 1;
  std::uint8_t offsetBytes = 1;
};
inline std::vector<std::uint8_t> runList(const std::vector<Run>& runs) {
  std::vector<std::uint8_t> out;
  for (const Run& r : runs) {
    out.push_back(std::uint8_t(r.offsetBytes << 4 | r.lengthBytes));
    for (int i = 0; i < r.lengthBytes; ++i) out.push_back(std::uint8_t(r.length >> (8 * i)));
    for (int i = 0; i < r.offsetBytes; ++i) out.push_back(std::uint8_t(std::uint64_t(r.delta) >> (8 * i)));
  }
  out.push_back(0);
  return out;
}

// One attribute-list entry: the attribute's type, its first VCN and the record holding it.
struct ListEntry {
  std::uint32_t type;
  std::uint64_t startVcn;
  std::uint32_t record;
};

// An MFT record (format "FILE0") with $STANDARD_INFORMATION, an optional resident
// $ATTRIBUTE_LIST, a $FILE_NAME (when `name` is not empty) and a $DATA: non-resident with
// `runs` and `allocated`, or resident.
class RecordBuilder {
 public:
  RecordBuilder() {
    std::memcpy(&r_[0], "FILE0", 5);
    putLe16(&r_[4], 0x30);
    putLe16(&r_[6], 3);
    putLe16(&r_[0x14], 0x38);
    putLe16(&r_[0x16], 1);
    putLe32(&r_[0x1C], 1024);
    at_ = 0x38;
  }
  RecordBuilder& standardInformation() { return resident(0x10, std::vector<std::uint8_t>(0x48, 0)); }
  RecordBuilder& attributeList(const std::vector<ListEntry>& entries) {
    std::vector<std::uint8_t> v;
    for (const ListEntry& e : entries) {
      std::array<std::uint8_t, 0x20> b{};
      putLe32(&b[0], e.type);
      putLe16(&b[4], 0x20);
      b[7] = 0x1A;
      putLe64(&b[8], e.startVcn);
      putLe32(&b[0x10], e.record);
      v.insert(v.end(), b.begin(), b.end());
    }
    return resident(0x20, v);
  }
  RecordBuilder& fileName(const std::u16string& name) {
    std::vector<std::uint8_t> v(0x42 + 2 * name.size(), 0);
    v[0x40] = std::uint8_t(name.size());
    v[0x41] = 3;
    for (std::size_t i = 0; i < name.size(); ++i) putLe16(&v[0x42 + 2 * i], name[i]);
    return resident(0x30, v);
  }
  RecordBuilder& residentData(std::size_t bytes) { return resident(0x80, std::vector<std::uint8_t>(bytes, 0x41)); }
  RecordBuilder& nonResidentData(const std::vector<Run>& runs, std::uint64_t allocated, std::uint64_t startVcn = 0) {
    const std::vector<std::uint8_t> list = runList(runs);
    const std::uint32_t length = std::uint32_t((0x40 + list.size() + 7) / 8 * 8);
    putLe32(&r_[at_], 0x80);
    putLe32(&r_[at_ + 4], length);
    r_[at_ + 8] = 1;
    putLe16(&r_[at_ + 0x0A], 0x40);
    putLe64(&r_[at_ + 0x10], startVcn);
    putLe16(&r_[at_ + 0x20], 0x40);
    putLe64(&r_[at_ + 0x28], allocated);
    putLe64(&r_[at_ + 0x30], allocated);
    putLe64(&r_[at_ + 0x38], allocated);
    std::memcpy(&r_[at_ + 0x40], list.data(), list.size());
    at_ += length;
    return *this;
  }
  Record done() {
    putLe32(&r_[at_], 0xFFFFFFFF);
    putLe32(&r_[0x18], at_ + 8);
    return r_;
  }

 private:
  RecordBuilder& resident(std::uint32_t type, const std::vector<std::uint8_t>& value) {
    const std::uint32_t length = std::uint32_t((0x18 + value.size() + 7) / 8 * 8);
    putLe32(&r_[at_], type);
    putLe32(&r_[at_ + 4], length);
    putLe32(&r_[at_ + 0x10], std::uint32_t(value.size()));
    putLe16(&r_[at_ + 0x14], 0x18);
    std::memcpy(&r_[at_ + 0x18], value.data(), value.size());
    at_ += length;
    return *this;
  }
  Record r_{};
  std::uint32_t at_ = 0;
};

// A record that is only there to be a record ("FILE" 8 sectors after a candidate).
inline Record plainRecord() { return RecordBuilder().standardInformation().done(); }

// What a search listed: one line per found entry.
struct Found {
  std::uint8_t kind = 0;
  std::u16string fileSystem;
  std::uint64_t start = 0;
  std::uint64_t count = 0;
  bool operator==(const Found&) const = default;
};

inline std::vector<Found> foundEntries(const LostState& state) {
  std::vector<Found> out;
  for (const volume::DEVICE_ENTRY* e = state.m_pSourceList; e; e = e->m_pNext) {
    const volume::VOLUME_RECORD* v = e->m_pDetail.volume();
    if (v && e->m_byKind != volume::kKindPartition) out.push_back({e->m_byKind, v->m_szFileSystem, v->m_nStartSector, v->m_nSectorCount});
  }
  return out;
}

// A disk file searched as the resume page's image file.
class LostDisk {
 public:
  explicit LostDisk(std::uint64_t sectors, std::string name = "disk.img") : name_(std::move(name)) {
    dir_.truncate(name_, sectors * 512);
    state.m_strResumeFilePath = dir_.file(name_);
  }
  template <class Bytes>
  void put(std::uint64_t sector, const Bytes& bytes) {
    dir_.put(name_, sector, std::span<const std::uint8_t>(bytes.data(), bytes.size()));
  }
  // Runs one search to its end; returns the volumes the source list then holds.
  std::vector<Found> search(bool deep, platform::IScanProgress* progress = nullptr) {
    platform::NullScanProgress silent;
    state.m_nScanType = deep ? 0 : 1;
    CLostVolume dialog(state, progress ? *progress : silent, log, {}, [] { return std::time_t(0); });
    dialog.m_nSourceKind = 1;
    dialog.OnInitDialog();
    dialog.waitForSearch();
    rows = dialog.m_nRowCount;
    return foundEntries(state);
  }
  const volume::VOLUME_RECORD* volume(std::size_t i) const {
    std::size_t k = 0;
    for (const volume::DEVICE_ENTRY* e = state.m_pSourceList; e; e = e->m_pNext, ++k)
      if (k == i) return e->m_pDetail.volume();
    return nullptr;
  }
  std::string path() const { return dir_.file(name_); }

  LostState state;
  platform::TextLog log{[] { return std::time_t(0); }};
  std::uint32_t rows = 0;

 private:
  qelda::test::ImageDir dir_;
  std::string name_;
};

}  // namespace qelda::lost::test
