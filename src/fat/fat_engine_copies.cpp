// The two FAT copies: which of them carries a media signature, whether they agree, how many
// implausible entries each holds where they differ, and loading the one chosen. Every copy
// is read in blocks, and only as far as it lies inside the volume: a boot sector may claim a
// FAT far larger than the disk that holds it.
#include <algorithm>
#include <array>
#include <new>
#include <string>

#include "engine/scan_state.h"
#include "fat/fat_engine.h"
#include "fs/fat_layout.h"
#include "fat/fat_texts.h"
#include "platform/text.h"

namespace qelda::fat {

using fs::fat::kSectorBytes;

namespace {

// The comparison's progress counts blocks of this many sectors.
constexpr std::uint32_t kCompareStepSectors = 64;
// Copies are read this many sectors (1 MiB) at a time.
constexpr std::uint32_t kFatBlockSectors = 2048;

// A buffer for one block of a pass over `sectors` sectors: no larger than what the pass reads,
// so that a small FAT is not read through a megabyte of zeroed memory.
std::vector<std::uint8_t> blockBuffer(std::uint64_t sectors) {
  return std::vector<std::uint8_t>(std::size_t(std::min<std::uint64_t>(kFatBlockSectors, sectors)) * kSectorBytes);
}

std::u16string numberText(std::uint64_t n, std::string_view suffix) {
  return platform::fromUtf8(std::to_string(n) + std::string(suffix));
}

bool allRead(const std::vector<std::uint8_t>& ok) {
  return std::all_of(ok.begin(), ok.end(), [](std::uint8_t v) { return v != 0; });
}

}  // namespace

std::uint64_t CFatEngine::fatSectorsInVolume() const {
  const std::uint64_t start = m_nReservedSectors;
  if (m_nTotalSectors <= start) return 0;
  return std::min<std::uint64_t>(m_nSectorsPerFat, m_nTotalSectors - start);
}

void CFatEngine::readFatSectors(std::uint8_t copy, std::uint64_t first, std::uint32_t count, std::uint8_t* out,
                                std::vector<std::uint8_t>* ok) {
  std::fill(out, out + std::size_t(count) * kSectorBytes, std::uint8_t{0});
  if (ok) ok->assign(count, 0);
  // A volume of one copy has no second: nothing of it reads.
  if (copy != 0 && !hasSecondFat()) return;
  const std::uint64_t start = std::uint64_t(m_nReservedSectors) + (copy ? std::uint64_t(m_nSectorsPerFat) : 0) + first;
  // Only what lies inside the volume is read; the rest counts as unreadable.
  const std::uint64_t inside = start >= m_nTotalSectors ? 0 : std::min<std::uint64_t>(count, m_nTotalSectors - start);
  if (inside == 0) return;
  if (readVolumeSectors(out, std::uint32_t(inside) * kSectorBytes, start)) {
    if (ok) std::fill(ok->begin(), ok->begin() + std::ptrdiff_t(inside), std::uint8_t{1});
    return;
  }
  if (!ok) return;
  // Some sector of the block failed: find which, one by one.
  for (std::uint64_t i = 0; i < inside; ++i)
    (*ok)[i] = readVolumeSectors(out + i * kSectorBytes, kSectorBytes, start + i) ? 1 : 0;
}

bool CFatEngine::copyIsSigned(std::uint8_t copy) {
  std::array<std::uint8_t, kSectorBytes> sector{};
  std::vector<std::uint8_t> ok;
  readFatSectors(copy, 0, 1, sector.data(), &ok);
  return ok[0] && fs::fat::hasMediaSignature(sector);
}

std::uint32_t CFatEngine::FatCheckFatSignatures() {
  if (copyIsSigned(0)) return 0;
  return copyIsSigned(1) ? 1 : 2;
}

std::uint32_t CFatEngine::FatCompareFats(std::vector<std::uint8_t>& fat1, std::uint32_t& firstMismatch) {
  // FAT1 is read into what becomes the loaded FAT when the copies agree; FAT2 streams
  // through one block, and the reading stops at the first sector that differs.
  const std::uint64_t held = fatSectorsInVolume();
  fat1.assign(std::size_t(held) * kSectorBytes, 0);
  std::vector<std::uint8_t> block1 = blockBuffer(m_nSectorsPerFat);
  std::vector<std::uint8_t> block2(block1.size());
  progress_.SetStatusText(text::kComparingCopies);
  progress_.setRange(kItemBar, 0, m_nSectorsPerFat / kCompareStepSectors + 1);
  progress_.setStep(kItemBar, 1);
  for (std::uint64_t done = 0; done < m_nSectorsPerFat;) {
    // Past the volume's end both copies read as zeros alike.
    if (std::uint64_t(m_nReservedSectors) + done >= m_nTotalSectors) break;
    const std::uint32_t count = std::uint32_t(std::min<std::uint64_t>(kFatBlockSectors, m_nSectorsPerFat - done));
    readFatSectors(0, done, count, block1.data(), nullptr);
    readFatSectors(1, done, count, block2.data(), nullptr);
    for (std::uint32_t s = 0; s < count; ++s) {
      const std::size_t at = std::size_t(s) * kSectorBytes;
      if (!std::equal(block1.begin() + std::ptrdiff_t(at), block1.begin() + std::ptrdiff_t(at + kSectorBytes),
                      block2.begin() + std::ptrdiff_t(at))) {
        firstMismatch = std::uint32_t(done + s);
        return 0;
      }
    }
    if (done < held)
      std::copy_n(block1.begin(), std::size_t(std::min<std::uint64_t>(count, held - done)) * kSectorBytes,
                  fat1.begin() + std::ptrdiff_t(done * kSectorBytes));
    done += count;
    progress_.setPos(kItemBar, done / kCompareStepSectors + (done == m_nSectorsPerFat ? 1 : 0));
  }
  firstMismatch = m_nSectorsPerFat;
  return 1;
}

std::uint32_t CFatEngine::FatVerifyFat(std::uint32_t startOffset, std::uint8_t copy) {
  progress_.SetStatusText(std::u16string(engine::texts::kVerifyingFat) + numberText(copy + 1u, ""));
  progress_.setRange(kItemBar, 0, m_nSectorsPerFat);
  progress_.setStep(kItemBar, 1);
  const std::uint64_t highest = dataBound();
  const std::uint64_t firstOfCopy = std::uint64_t(m_nReservedSectors) + (copy ? std::uint64_t(m_nSectorsPerFat) : 0);
  std::vector<std::uint8_t> block = blockBuffer(m_nSectorsPerFat);
  std::vector<std::uint8_t> ok;
  std::uint32_t errors = 0;
  for (std::uint64_t s = startOffset; s < m_nSectorsPerFat;) {
    const std::uint32_t count = std::uint32_t(std::min<std::uint64_t>(kFatBlockSectors, m_nSectorsPerFat - s));
    if (firstOfCopy + s >= m_nTotalSectors) {  // the rest lies past the volume: nothing reads
      errors += std::uint32_t(std::min<std::uint64_t>(m_nSectorsPerFat - s, UINT32_MAX - errors));
      break;
    }
    readFatSectors(copy, s, count, block.data(), &ok);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!ok[i]) ++errors;
      else errors += fs::fat::countImplausibleEntries({block.data() + std::size_t(i) * kSectorBytes, kSectorBytes}, s + i,
                                             m_nFatType, highest);
    }
    s += count;
    progress_.setPos(kItemBar, s);
  }
  return errors;
}

void CFatEngine::FatVerifyFats() {
  bool good1 = copyIsSigned(0);
  const bool good2 = hasSecondFat() && copyIsSigned(1);
  if (good1 && good2) {
    std::vector<std::uint8_t> fat1;
    logStarted(text::kComparingCopies);
    app_.m_bSearchingCriticalInfo = 1;
    progress_.SetStopEnabled(false);
    std::uint32_t firstMismatch = 0;
    bool identical = false;
    try {
      identical = FatCompareFats(fat1, firstMismatch) != 0;
    } catch (const std::bad_alloc&) {
      firstMismatch = 0;  // copies that cannot be held are judged sector by sector instead
    }
    if (identical) {
      logItem(engine::texts::kProcessCompleted);
      logItem(text::kIdenticalCopies);
      m_pFat = std::move(fat1);
      m_nLinkingMode = fs::fat::kLinkFat1;
      progress_.SetStopEnabled(true);
      app_.m_bSearchingCriticalInfo = 0;
      return;
    }
    fat1 = {};
    logItem(engine::texts::kProcessCompleted);
    logItem(text::kMismatch);
    const std::uint32_t errors1 = FatVerifyFat(firstMismatch, 0);
    if (errors1 != 0) {
      logItem(engine::texts::kFat1Verified);
      logItem(numberText(errors1, " ") + std::u16string(engine::texts::kErrorFound));
    }
    const std::uint32_t errors2 = FatVerifyFat(firstMismatch, 1);
    if (errors2 != 0) {
      logItem(text::kFat2Verified);
      logItem(numberText(errors2, " ") + std::u16string(engine::texts::kErrorFound));
    }
    if (errors1 > errors2) good1 = false;
  }
  progress_.SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
  m_nLinkingMode = good1 ? fs::fat::kLinkFat1 : good2 ? fs::fat::kLinkFat2 : fs::fat::kLinkContiguous;
  LoadFat();
}

std::uint32_t CFatEngine::LoadFat() {
  m_pFat.clear();
  m_pFat.shrink_to_fit();
  if (m_nLinkingMode == fs::fat::kLinkContiguous) return 0;
  app_.m_bSearchingCriticalInfo = 1;
  progress_.SetStopEnabled(false);
  const auto finish = [&](std::uint32_t result) {
    progress_.SetStopEnabled(true);
    app_.m_bSearchingCriticalInfo = 0;
    return result;
  };
  // The part of the FAT that lies inside the volume; entries past it are never met.
  const std::uint64_t held = fatSectorsInVolume();
  try {
    m_pFat.assign(std::size_t(held) * kSectorBytes, 0);
  } catch (const std::bad_alloc&) {
    m_pFat.clear();
    return finish(0);  // a FAT that cannot be held is read as runs of clusters
  }
  const std::uint8_t chosen = m_nLinkingMode == fs::fat::kLinkFat2 ? 1 : 0;
  const std::uint8_t other = chosen ^ 1;
  progress_.SetStatusText(engine::texts::kLoadingFat);
  progress_.setRange(kItemBar, 0, m_nSectorsPerFat);
  progress_.setStep(kItemBar, 1);
  logSection(engine::texts::kLinkingMode);
  logItem(std::u16string(engine::texts::kLoadingFat) + u" " + numberText(m_nLinkingMode + 1u, ""));
  logItem(engine::texts::kProcessStarted);

  std::vector<std::uint8_t> spare = blockBuffer(held);
  std::vector<std::uint8_t> ok, otherOk;
  for (std::uint64_t s = 0; s < held;) {
    const std::uint32_t count = std::uint32_t(std::min<std::uint64_t>(kFatBlockSectors, held - s));
    std::uint8_t* block = m_pFat.data() + s * kSectorBytes;
    readFatSectors(chosen, s, count, block, &ok);
    // A sector that cannot be read, or (FAT16/FAT32) one of a single repeated entry, all
    // zero say, is likely wiped: the other copy's is taken where that one reads.
    bool needOther = !allRead(ok);
    for (std::uint32_t i = 0; i < count && !needOther; ++i)
      needOther = m_nFatType != fs::fat::kFat12 && fs::fat::isUniformSector({block + std::size_t(i) * kSectorBytes, kSectorBytes}, m_nFatType);
    if (needOther) {
      readFatSectors(other, s, count, spare.data(), &otherOk);
      for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t* sector = block + std::size_t(i) * kSectorBytes;
        const bool take = !ok[i] || (otherOk[i] && m_nFatType != fs::fat::kFat12 && fs::fat::isUniformSector({sector, kSectorBytes}, m_nFatType));
        if (take) std::copy_n(spare.begin() + std::ptrdiff_t(std::size_t(i) * kSectorBytes), kSectorBytes, sector);
      }
    }
    s += count;
    progress_.setPos(kItemBar, s);
  }
  return finish(1);
}

}  // namespace qelda::fat
