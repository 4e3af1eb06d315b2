// The virtual disk image reader: recognises and parses an image at mount time (on the
// application's reader) and serves sector reads (a fresh reader per read, over the
// mounted snapshot).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/disk_records.h"
#include "platform/read_only_file.h"

namespace qelda::image {
class ImageState;
}

namespace qelda::image {

class MountedImage;

// Told, run by run and in order, which sectors a read could not read.
class FailedRunSink {
 public:
  virtual void failedRun(std::uint64_t firstSector, std::uint64_t sectors) = 0;

 protected:
  ~FailedRunSink() = default;
};

// Optional detail of a read beyond its result.
struct ReadReport {
  std::uint64_t failedSectors = 0;       // sectors delivered as zeros because they could not be read
  FailedRunSink* failedRuns = nullptr;   // when set, told which sectors those were
};

inline constexpr std::uint32_t kSectorSize = 512;
// The descriptor text we are prepared to read: real descriptors are a few KiB.
inline constexpr std::uint64_t kMaxDescriptorBytes = 1u << 20;

// One numbered file of a split image found beside the picked one.
struct SPLIT_FILE_NODE {
  std::int32_t m_nNumber = 0;      // the number in the file name, 1 to 476
  std::u16string m_szFileName;     // without folder
  std::uint64_t m_nFileSize = 0;   // bytes
  std::string fileNameBytes;       // the name as the folder holds it, used to open the file
};

// Size of a file in bytes; 0 when it cannot be opened.
std::uint64_t GetFileSize64(const std::string& path);

class CVirtualDisk {
 public:
  explicit CVirtualDisk(ImageState& app);
  // Forgets everything a previous mount left in the reader.
  void reset();

  // --- recognition and parsing (mount time) ----------------------------------------------
  std::uint32_t IsVmdkFile(const std::string& path);
  std::uint32_t ParseVmdkDescriptor(const std::string& path);
  std::uint32_t CheckExtentFiles(const std::string& path);
  // 1 when m_abySector begins with the sparse extent magic; the header is then read again
  // from m_hFile into m_SparseHeader.
  std::uint32_t IsSparseExtentHeader();

  // Image openers: 1 when the file was taken as an image of that kind. They fill the
  // application's image description, from which the mount step publishes the snapshot.
  std::uint32_t OpenVmdk(const std::string& path);
  std::uint32_t OpenVdi(const std::string& path);
  std::uint32_t OpenVhd(const std::string& path);

  // --- a VMDK without descriptor: the layout guessed from the file, its name and its folder
  // Records a one-extent layout. `size`: bytes for "monolithicFlat", sectors for
  // "monolithicSparse"; with descriptorParsed set the descriptor's extents stand.
  void AddSingleExtent(std::u16string_view createType, const std::string& path, std::uint64_t size,
                       std::uint32_t descriptorParsed);
  // Records the extents of a split image from the numbered files beside the picked one.
  void BuildSplitExtents(std::u16string_view createType);
  // Fills m_arrFolderFiles with the names that may belong to the picked file's split image.
  void FindVmdkFilesInFolder();
  // The numbered files the last BuildSplitExtents took, by number.
  const std::vector<SPLIT_FILE_NODE>& splitFiles() const { return splitFiles_; }

  // --- reads over the mounted snapshot -----------------------------------------------------
  // Reads byteCount bytes from firstSector on; unreadable sectors are zeros. Result: that of
  // the last sector (nonzero = read), 0 when nothing was read.
  std::uint32_t ReadSectors(std::uint64_t firstSector, std::uint8_t* buffer, std::uint32_t byteCount,
                            ReadReport* report = nullptr);
  std::uint32_t ReadVmdkSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count);
  std::uint32_t ReadFlatFile(std::uint64_t byteOffset, std::uint8_t* buffer, std::uint32_t count);
  std::uint32_t ReadVdiSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count);
  std::uint32_t ReadVhdSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count);
  // Reads count bytes at byteOffset of an open file; nonzero when all were read.
  static std::uint32_t ReadFileAt(const platform::ReadOnlyFile& file, std::uint64_t byteOffset,
                                  std::uint8_t* buffer, std::uint32_t count);

  // Splits descriptor text into createType and extent lines; no file access. Returns the
  // number of extents found.
  // The parent a snapshot's descriptor names: its file name hint (empty when it gives none);
  // nothing for a disk of its own.
  static std::optional<std::string> parentOfDescriptor(std::string_view text);
  static std::size_t parseDescriptorText(std::string_view text, std::u16string& createType,
                                         std::vector<DISK_DESCRIPTOR_EXTENT>& extents);

  // --- the reader's fields ---------------------------------------------------------------
  std::vector<std::string> m_arrFolderFiles;
  std::optional<platform::ReadOnlyFile> m_hFile;
  std::array<std::uint8_t, kSectorSize> m_abySector{};
  std::uint32_t m_bEmbeddedDescriptor = 0;
  std::array<std::uint8_t, kSectorSize> m_SparseHeader{};
  std::vector<DISK_DESCRIPTOR_EXTENT> m_arrExtents;
  std::array<std::uint8_t, kSectorSize> m_abyVhdFooter{};
  std::array<std::uint8_t, 1024> m_abyVhdHeader{};
  std::uint64_t m_nVhdDiskSize = 0;
  // The VDI header as OpenVdi found it.
  std::array<std::uint8_t, kSectorSize> g_VdiHeader{};

 private:
  // Layout guessing helpers (vmdk_guess.cpp).
  bool probeBootSector();
  std::uint32_t addSparseFromHeader(const std::string& path);
  std::uint32_t openEmbeddedDescriptor(const std::string& path, std::uint64_t fileBytes);
  bool sector1IsDescriptor();
  std::uint32_t refuseLayout(bool noLayout);
  // 0, with the reason kept, when a dynamic VHD's header vouches for a block size no disk
  // has; else 1.
  std::uint32_t refuseImpossibleBlocks(const platform::ReadOnlyFile& file);

  std::vector<SPLIT_FILE_NODE> splitFiles_;

  ImageState& app_;
};

// The one door every reader of the mounted disk goes through. Any thread may call it.
// Readers that read much (the engines, the searches) hold the snapshot themselves and use
// the first form; null reads as a disk that cannot be read.
std::uint32_t ReadSourceSectors(const MountedImage* image, std::uint8_t* buffer, std::uint64_t firstSector,
                                std::uint32_t byteCount, ReadReport* report = nullptr);
std::uint32_t ReadSourceSectors(const ImageState& app, std::uint8_t* buffer, std::uint64_t firstSector,
                                std::uint32_t byteCount, ReadReport* report = nullptr);

}  // namespace qelda::image
