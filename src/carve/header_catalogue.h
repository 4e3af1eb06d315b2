// The catalogue of file types: the default records (one per type a length finder knows) and
// the catalogue file "HeaderFile.cfg" in the configuration folder, where users add types.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "carve/header_record.h"

namespace qelda::carve {

inline constexpr char kHeaderFileName[] = "HeaderFile.cfg";

// Groups the catalogue lists its types under.
inline constexpr std::uint16_t kGroupPictures = 1;
inline constexpr std::uint16_t kGroupDocuments = 2;
inline constexpr std::uint16_t kGroupArchives = 3;
inline constexpr std::uint16_t kGroupSound = 4;
inline constexpr std::uint16_t kGroupVideo = 5;
inline constexpr std::uint16_t kGroupInternet = 6;

// maxSizeUnit values.
inline constexpr std::uint32_t kUnitBytes = 0;
inline constexpr std::uint32_t kUnitKilobytes = 1;
inline constexpr std::uint32_t kUnitMegabytes = 2;

std::vector<HEADER_RECORD> defaultHeaderCatalogue();

struct HeaderFileContents {
  std::vector<HEADER_RECORD> records;  // in file order
  std::size_t refused = 0;             // records whose signature could not be compared
  bool trailingBytes = false;          // the file ends inside a record
  std::uint64_t bytes = 0;             // the file's length
};

// Why a catalogue file read whole gives no type to search for ("it is empty", ...), or an
// empty text when it holds at least one record that can be read.
std::string unusableCatalogue(const HeaderFileContents& contents);

// Reads configFolder/HeaderFile.cfg; nothing when it cannot be opened or is absurdly large.
std::optional<HeaderFileContents> readHeaderFile(const std::filesystem::path& configFolder);
// Writes the records to configFolder/HeaderFile.cfg (through a temporary file, then renamed).
bool writeHeaderFile(const std::filesystem::path& configFolder, std::span<const HEADER_RECORD> records);
// The catalogue file's records; when there is no such file, the default catalogue, which is
// then written there. A file the user has is never written over: when it gives no type,
// `unusable` (when given) says why, and no record comes back.
std::vector<HEADER_RECORD> loadHeaderCatalogue(const std::filesystem::path& configFolder,
                                               std::string* unusable = nullptr);

}  // namespace qelda::carve
