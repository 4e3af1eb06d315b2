// Judging directory entries and turning a usable one into a found item with its name,
// including the search for a deleted file's or folder's real first cluster.
#include <array>
#include <cstring>

#include "fs/fat_dir_entry.h"
#include "fat/fat_engine.h"
#include "fs/fat_layout.h"

namespace qelda::fat {

using fs::fat::EntryVerdict;
namespace dirent = fs::fat::dirent;

using platform::ByteView;

namespace {

constexpr int kRepairCandidates = 15;

bool startsWithDotAndDotDot(ByteView sector) {
  return sector.matches(0, ".") && sector.matches(dirent::kSize, "..");
}

// A file entry without data: no first cluster and size 0 (the entry of an empty file).
bool isEmptyFileEntry(ByteView e) {
  const std::uint8_t attr = fs::fat::entryAttributes(e);
  return attr != dirent::kAttrLongName && (attr & (dirent::kAttrDirectory | dirent::kAttrLabel)) == 0 &&
         fs::fat::entryFirstCluster(e) == 0 && e.le32(dirent::kFileSize).value_or(1) == 0;
}

}  // namespace

std::uint64_t CFatEngine::dataSectorCount() const {
  return m_nTotalSectors > systemSectorCount() ? m_nTotalSectors - systemSectorCount() : 0;
}

std::uint8_t CFatEngine::FatValidateDirEntry(std::uint32_t* repairedCluster, ByteView entry, std::uint32_t maxCluster,
                                             fs::fat::EntrySite site) {
  if (repairedCluster) *repairedCluster = 0;
  const EntryVerdict verdict = fs::fat::entryVerdictWithoutReads(entry, maxCluster, dataSectorCount(), site);
  if (verdict == EntryVerdict::Refused) return 0;
  if (verdict == EntryVerdict::DirectoryToConfirm) {
    const std::uint32_t first = fs::fat::entryFirstCluster(entry);
    std::array<std::uint8_t, fs::fat::kSectorBytes> sector{};
    readFirstSector(first, sector.data());
    if (!fs::fat::startsWithDotEntries(ByteView(sector))) {
      if (m_nFatType != fs::fat::kFat32 || !fs::fat::entryIsDeleted(entry)) return 0;
      // A deleted FAT32 directory may have lost the high word of its cluster: try the
      // neighbouring values of the third byte.
      std::uint32_t candidate = first;
      for (int k = 0; k < kRepairCandidates; ++k) {
        candidate = (candidate & 0xFF00FFFF) | ((((candidate >> 16) & 0xFF) + 1) & 0xFF) << 16;
        if (candidate >= maxCluster) break;
        readFirstSector(candidate, sector.data());
        if (fs::fat::startsWithDotEntries(ByteView(sector))) {
          if (repairedCluster) *repairedCluster = candidate;
          break;
        }
      }
    }
  }
  return fs::fat::entryIsPassedOver(entry) ? 2 : 1;
}

bool CFatEngine::isCheckedEmptyFile(ByteView entry) const {
  return isEmptyFileEntry(entry) &&
         fs::fat::entryVerdictWithoutReads(entry, m_nMaxCluster, dataSectorCount(), fs::fat::EntrySite::Folder) ==
             EntryVerdict::Skipped;
}

bool CFatEngine::entryTaken(ByteView entry, bool emptyFiles) {
  const std::uint8_t verdict = FatValidateDirEntry(nullptr, entry, m_nMaxCluster, fs::fat::EntrySite::Folder);
  return verdict == 1 || (emptyFiles && verdict == 2 && isEmptyFileEntry(entry));
}

std::uint8_t CFatEngine::FatCheckDirEntry(ByteView entry, std::uint32_t maxCluster) {
  const EntryVerdict verdict =
      fs::fat::entryVerdictWithoutReads(entry, maxCluster, dataSectorCount(), fs::fat::EntrySite::UnknownData);
  if (verdict == EntryVerdict::Refused) return 0;
  if (verdict == EntryVerdict::DirectoryToConfirm) {
    std::array<std::uint8_t, fs::fat::kSectorBytes> sector{};
    readFirstSector(fs::fat::entryFirstCluster(entry), sector.data());
    if (!fs::fat::startsWithDotEntries(ByteView(sector))) return 0;
  }
  return fs::fat::entryIsPassedOver(entry) ? 2 : 1;
}

std::vector<std::uint8_t> CFatEngine::readDirectoryTail(std::uint32_t previousCluster) {
  // The last two sectors of the previous cluster, or its one sector when clusters are that small.
  const std::uint16_t count = m_nSectorsPerCluster >= 2 ? 2 : m_nSectorsPerCluster;
  std::vector<std::uint8_t> tail(std::size_t(count) * fs::fat::kSectorBytes);
  if (count == 0 || !ReadClusterSectors(previousCluster, std::uint16_t(m_nSectorsPerCluster - count), tail.data(), count))
    tail.clear();
  return tail;
}

std::uint32_t CFatEngine::FatMakeEntryName(std::size_t entryOffset, fs::fat::EntryName& nameOut, ByteView buffer,
                                           FOUND_ITEM& item, std::uint32_t previousCluster, std::uint32_t clusterHint,
                                           std::uint8_t strict, bool emptyFiles) {
  const auto entryView = buffer.sub(entryOffset, dirent::kSize);
  if (!entryView) return 0;
  const ByteView e = *entryView;
  if (fs::fat::entryNamesNoItem(e)) return 0;
  const std::uint8_t firstByte = *e.u8(0);
  const std::uint8_t attr = fs::fat::entryAttributes(e);

  const std::uint32_t first = fs::fat::entryFirstCluster(e);
  item.m_byAttributes = attr;
  item.m_nRecordKey = first;
  const bool emptyFile = emptyFiles && isCheckedEmptyFile(e);
  if (!emptyFile && (first >= m_nMaxCluster || first < 2)) return 0;
  item.m_nId = itemIds_.take();
  const std::uint64_t writeTime = *e.le16(dirent::kWriteTime);
  const std::uint64_t writeDate = *e.le16(dirent::kWriteDate);
  item.m_ftModified = writeTime | writeDate << 32;
  if (m_nFatType == fs::fat::kFat32)
    item.m_ftCreated = std::uint64_t(*e.le16(dirent::kCreateTime)) | std::uint64_t(*e.le16(dirent::kCreateDate)) << 32;
  else
    item.m_ftCreated = item.m_ftModified;
  const std::uint64_t dataBytes = dataSectorCount() * fs::fat::kSectorBytes;
  item.m_nSize = *e.le32(dirent::kFileSize);
  if (item.m_nSize > dataBytes) return 0;
  const bool directory = (attr & dirent::kAttrDirectory) != 0;
  if (directory) item.m_nSize = 0;

  // The long name, read on into the previous cluster's end when it starts there.
  fs::fat::LongName ln = fs::fat::collectLongName(buffer, entryOffset, {});
  if (ln.reachedStart && !ln.tooLong && previousCluster != 0xFFFFFFFF && previousCluster >= 2) {
    const auto tail = readDirectoryTail(previousCluster);
    ln = fs::fat::collectLongName(buffer, entryOffset, ByteView(tail));
  }
  if (ln.tooLong) return 0;
  const bool entryDeleted = firstByte == dirent::kDeletedMark;
  if (ln.found) {
    nameOut = ln.name;
  } else {
    fs::fat::shortEntryName(e, entryDeleted, nameOut);
    if (nameOut.empty()) return 0;
  }

  if (!entryDeleted && !(item.m_byFlags & kItemDeleted)) {
    item.m_nAltParentId = 0;
    item.m_byViewFlags = 0;
    return 1;
  }
  item.m_byFlags |= kItemDeleted;
  if (emptyFile) return 1;  // no cluster to look for: it held no data

  // The deleted entry's cluster may have lost its high word: try the directory's high
  // word, then the third byte counted up, each confirmed by what its first sector holds.
  std::optional<bool> (*confirm)(std::u16string_view, ByteView) = nullptr;
  std::u16string extension;
  if (!directory) {
    extension = ln.found ? std::u16string(fs::fat::longNameExtension(ln.name.view())) : fs::fat::shortEntryExtension(e);
    if (extension.empty() || !fs::fat::deletedFileSignatureMatches(extension, ByteView()).has_value()) return 1;
    item.m_byAttributes = dirent::kAttrArchive;
    confirm = fs::fat::deletedFileSignatureMatches;
  } else {
    item.m_byAttributes = dirent::kAttrDirectory;
  }
  std::array<std::uint8_t, fs::fat::kSectorBytes> sector{};
  for (int k = 0; k < kRepairCandidates; ++k) {
    std::uint32_t candidate;
    if (k == 0) candidate = first;
    else if (k == 1) candidate = clusterHint == 0 ? first : (first & 0xFFFF) | (clusterHint & 0xFFFF0000);
    else candidate = (first & 0xFFFF) | std::uint32_t(k - 1) << 16 | (first & 0xFF000000);
    if (candidate >= m_nMaxCluster) {
      if (k >= 2) break;  // later candidates only grow
      continue;
    }
    readFirstSector(candidate, sector.data());
    const bool ok = directory ? startsWithDotAndDotDot(ByteView(sector)) : confirm(extension, ByteView(sector)).value_or(false);
    if (ok) {
      item.m_nRecordKey = candidate;
      return 1;
    }
  }
  if (directory && strict) {
    item.m_nRecordKey = 0;
    return 0;
  }
  item.m_nRecordKey = first;
  return 1;
}

}  // namespace qelda::fat
