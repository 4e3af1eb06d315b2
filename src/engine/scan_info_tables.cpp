#include "engine/scan_info_tables.h"

#include <array>

#include "engine/source_drive.h"
#include "fs/boot_layout.h"
#include "fs/exfat_boot.h"
#include "fs/fat_boot.h"
#include "fs/ntfs_boot.h"
#include "platform/read_only_file.h"
#include "platform/text.h"

namespace qelda::engine {

std::uint8_t keptImageFileFlag(const SCAN_IMAGE_HEADER& header) {
  if (header.imageFile == 0 || header.m_szSourcePath.empty()) return 0;
  return platform::ReadOnlyFile::open(platform::toUtf8(header.m_szSourcePath)) ? 1 : 0;
}

bool readTable(const TableReader& read, std::uint64_t bytes, std::vector<std::uint8_t>& out, std::u16string& cause) {
  out.clear();
  if (bytes == 0) return true;
  // The loader has checked the tables' length against the file before any restore runs, so
  // the size asked for is bounded by what the file holds.
  out.resize(std::size_t(bytes));
  if (read(out)) return true;
  out.clear();
  cause = u"the engine tables end before the " + platform::widenLatin1(std::to_string(bytes)) + u" bytes they should hold";
  return false;
}

std::uint32_t findSourceAgain(SCAN_IMAGE_HEADER& header, platform::IUserNotifier& notifier, std::u16string& cause) {
  if (locateSourceDrive(header, notifier)) return 1;
  cause = u"the source drive of the saved scan is not attached";
  return 0;
}

std::u16string tablesDoNotFit(std::u16string_view what) {
  return u"the saved " + std::u16string(what) + u" does not fit the saved volume";
}

SavedVolumeCheck checkOfOtherBootSector(platform::ByteView sector, SavedEngine own) {
  if (own != SavedEngine::Ntfs && fs::ntfs::parseNtfsBoot(sector, 0)) return SavedVolumeCheck::Other;
  if (own != SavedEngine::ExFat && sector.matches(fs::boot::kOemName, "EXFAT") && fs::exfat::parseExFatBoot(sector))
    return SavedVolumeCheck::Other;
  // The FAT test is loose: only a sector with the boot mark counts.
  const bool marked = sector.u8(fs::boot::kEndMark) == 0x55 && sector.u8(fs::boot::kEndMark + 1) == 0xAA;
  if (own != SavedEngine::Fat && marked && fs::fat::parseFatBootSector(sector)) return SavedVolumeCheck::Other;
  return SavedVolumeCheck::Unchecked;
}

SavedVolumeCheck checkSavedVolume(std::span<const std::uint64_t> sectors, const SectorRead& read, const BootJudge& judge,
                                  SavedEngine own) {
  SavedVolumeCheck check = SavedVolumeCheck::Unchecked;
  std::array<std::uint8_t, 512> sector{};
  for (const std::uint64_t at : sectors) {
    sector.fill(0);
    if (!read(at, sector)) continue;
    const platform::ByteView view(sector);
    SavedVolumeCheck judged = judge(at, view);
    if (judged == SavedVolumeCheck::Same) return judged;
    if (judged == SavedVolumeCheck::Unchecked) judged = checkOfOtherBootSector(view, own);
    if (judged == SavedVolumeCheck::Other) check = judged;
  }
  return check;
}

bool acceptSavedVolume(SavedVolumeCheck check, const ScanState& app, platform::ILog& runLog, std::u16string& cause) {
  switch (check) {
    case SavedVolumeCheck::Same: return true;
    case SavedVolumeCheck::Other:
      cause = u"the volume's boot sector does not describe the volume of the saved scan";
      return false;
    case SavedVolumeCheck::Unchecked: break;
  }
  platform::ILog& notes = app.layoutLog_ ? *app.layoutLog_ : runLog;
  notes.AddLogEntry(u"the saved volume has no boot sector to compare: the image could not be checked against "
                       u"the saved scan",
                       false);
  return true;
}

}  // namespace qelda::engine
