// The two FAT copies: which of them carries a media signature, whether they agree, how many
// implausible entries each holds where they differ, and loading the one chosen.
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

namespace {

constexpr std::uint32_t kCompareBlockSectors = 64;

std::u16string numberText(std::uint64_t n, std::string_view suffix) {
  return platform::fromUtf8(std::to_string(n) + std::string(suffix));
}

}  // namespace

std::uint32_t CFatEngine::FatCheckFatSignatures() {
  std::array<std::uint8_t, kSectorBytes> sector{};
  const bool good1 = readVolumeSectors(sector.data(), kSectorBytes, m_nReservedSectors) && hasMediaSignature(sector);
  if (good1) return 0;
  const bool good2 = readVolumeSectors(sector.data(), kSectorBytes, std::uint64_t(m_nReservedSectors) + m_nSectorsPerFat) &&
                     hasMediaSignature(sector);
  return good2 ? 1 : 2;
}

std::uint32_t CFatEngine::FatCompareFats(std::vector<std::uint8_t>& buffer1, std::vector<std::uint8_t>& buffer2,
                                         std::uint32_t& firstMismatch) {
  const std::size_t bytes = std::size_t(m_nSectorsPerFat) * kSectorBytes;
  buffer1.assign(bytes, 0);
  buffer2.assign(bytes, 0);
  if (m_pScanDlg) {
    m_pScanDlg->SetStatusText(text::kComparingCopies);
    m_pScanDlg->setRange(kItemBar, 0, m_nSectorsPerFat / kCompareBlockSectors + 1);
    m_pScanDlg->setStep(kItemBar, 1);
  }
  const std::uint64_t fat1 = m_nReservedSectors;
  const std::uint64_t fat2 = fat1 + m_nSectorsPerFat;
  for (std::uint32_t done = 0; done < m_nSectorsPerFat;) {
    const std::uint32_t count = std::min(kCompareBlockSectors, m_nSectorsPerFat - done);
    const std::size_t at = std::size_t(done) * kSectorBytes;
    readVolumeSectors(buffer1.data() + at, count * kSectorBytes, fat1 + done);
    readVolumeSectors(buffer2.data() + at, count * kSectorBytes, fat2 + done);
    if (m_pScanDlg) m_pScanDlg->stepIt(kItemBar);
    done += count;
  }
  for (std::uint32_t s = 0; s < m_nSectorsPerFat; ++s) {
    const std::size_t at = std::size_t(s) * kSectorBytes;
    if (!std::equal(buffer1.begin() + std::ptrdiff_t(at), buffer1.begin() + std::ptrdiff_t(at + kSectorBytes),
                    buffer2.begin() + std::ptrdiff_t(at))) {
      firstMismatch = s;
      return 0;
    }
  }
  firstMismatch = m_nSectorsPerFat;
  return 1;
}

std::uint32_t CFatEngine::FatVerifyFat(std::uint32_t startOffset, std::uint8_t copy) {
  if (m_pScanDlg) {
    m_pScanDlg->SetStatusText(std::u16string(text::kVerifyingFat) + numberText(copy + 1u, ""));
    m_pScanDlg->setRange(kItemBar, 0, m_nSectorsPerFat);
    m_pScanDlg->setStep(kItemBar, 1);
  }
  const std::uint64_t start = std::uint64_t(m_nReservedSectors) + (copy ? m_nSectorsPerFat : 0);
  const std::uint64_t highest = dataBound();
  std::array<std::uint8_t, kSectorBytes> sector{};
  std::uint32_t errors = 0;
  for (std::uint64_t s = startOffset; s < m_nSectorsPerFat; ++s) {
    if (!readVolumeSectors(sector.data(), kSectorBytes, start + s)) ++errors;
    else errors += countImplausibleEntries(sector, s, m_nFatType, highest);
    if (m_pScanDlg) m_pScanDlg->stepIt(kItemBar);
  }
  return errors;
}

void CFatEngine::FatVerifyFats() {
  std::array<std::uint8_t, kSectorBytes> sector{};
  bool good1 = readVolumeSectors(sector.data(), kSectorBytes, m_nReservedSectors) && hasMediaSignature(sector);
  const bool good2 = readVolumeSectors(sector.data(), kSectorBytes, std::uint64_t(m_nReservedSectors) + m_nSectorsPerFat) &&
                     hasMediaSignature(sector);
  if (good1 && good2) {
    std::vector<std::uint8_t> buffer1, buffer2;
    logStarted(text::kComparingCopies);
    app_.m_bSearchingCriticalInfo = 1;
    if (m_pScanDlg) m_pScanDlg->SetStopEnabled(false);
    std::uint32_t firstMismatch = 0;
    bool identical = false;
    try {
      identical = FatCompareFats(buffer1, buffer2, firstMismatch) != 0;
    } catch (const std::bad_alloc&) {
      firstMismatch = 0;  // copies that cannot be held are judged sector by sector instead
    }
    if (identical) {
      logItem(engine::texts::kProcessCompleted);
      logItem(text::kIdenticalCopies);
      m_pFat = std::move(buffer1);
      m_nLinkingMode = kLinkFat1;
      if (m_pScanDlg) m_pScanDlg->SetStopEnabled(true);
      app_.m_bSearchingCriticalInfo = 0;
      return;
    }
    buffer1 = {};
    buffer2 = {};
    logItem(engine::texts::kProcessCompleted);
    logItem(text::kMismatch);
    const std::uint32_t errors1 = FatVerifyFat(firstMismatch, 0);
    if (errors1 != 0) {
      logItem(text::kFat1Verified);
      logItem(numberText(errors1, " ") + std::u16string(text::kErrorFound));
    }
    const std::uint32_t errors2 = FatVerifyFat(firstMismatch, 1);
    if (errors2 != 0) {
      logItem(text::kFat2Verified);
      logItem(numberText(errors2, " ") + std::u16string(text::kErrorFound));
    }
    if (errors1 > errors2) good1 = false;
  }
  if (m_pScanDlg) m_pScanDlg->SetStopEnabled(true);
  app_.m_bSearchingCriticalInfo = 0;
  m_nLinkingMode = good1 ? kLinkFat1 : good2 ? kLinkFat2 : kLinkContiguous;
  LoadFat();
}

std::uint32_t CFatEngine::LoadFat() {
  m_pFat.clear();
  m_pFat.shrink_to_fit();
  if (m_nLinkingMode == kLinkContiguous) return 0;
  app_.m_bSearchingCriticalInfo = 1;
  if (m_pScanDlg) m_pScanDlg->SetStopEnabled(false);
  const auto finish = [&](std::uint32_t result) {
    if (m_pScanDlg) m_pScanDlg->SetStopEnabled(true);
    app_.m_bSearchingCriticalInfo = 0;
    return result;
  };
  try {
    m_pFat.assign(std::size_t(m_nSectorsPerFat) * kSectorBytes, 0);
  } catch (const std::bad_alloc&) {
    m_pFat.clear();
    return finish(0);  // a FAT that cannot be held is read as runs of clusters
  }
  const std::uint64_t fat1 = m_nReservedSectors;
  const std::uint64_t fat2 = fat1 + m_nSectorsPerFat;
  const std::uint64_t chosen = m_nLinkingMode == kLinkFat2 ? fat2 : fat1;
  const std::uint64_t other = m_nLinkingMode == kLinkFat2 ? fat1 : fat2;
  const bool showProgress = m_pScanDlg && app_.m_bNoScanProgress == 0;
  if (showProgress) {
    m_pScanDlg->SetStatusText(text::kLoadingFat);
    m_pScanDlg->setRange(kItemBar, 0, m_nSectorsPerFat);
    m_pScanDlg->setStep(kItemBar, 1);
  }
  logSection(text::kLinkingMode);
  logItem(std::u16string(text::kLoadingFat) + u" " + numberText(m_nLinkingMode + 1u, ""));
  logItem(engine::texts::kProcessStarted);

  std::array<std::uint8_t, kSectorBytes> sector{};
  std::array<std::uint8_t, kSectorBytes> spare{};
  for (std::uint32_t s = 0; s < m_nSectorsPerFat; ++s) {
    if (!readVolumeSectors(sector.data(), kSectorBytes, chosen + s)) {
      readVolumeSectors(sector.data(), kSectorBytes, other + s);  // zeros when neither copy reads
    } else if (m_nFatType != kFat12 && isUniformSector(sector, m_nFatType)) {
      // A sector of one repeated entry (all zero, say) is likely wiped: prefer the other copy's.
      if (readVolumeSectors(spare.data(), kSectorBytes, other + s)) sector = spare;
    }
    std::copy(sector.begin(), sector.end(), m_pFat.begin() + std::ptrdiff_t(std::size_t(s) * kSectorBytes));
    if (showProgress) m_pScanDlg->stepIt(kItemBar);
  }
  return finish(1);
}

}  // namespace qelda::fat
