// Where the mount step finds an image's files: it opens them and lists the folder of a split
// image through this, never through the file system directly, so that a disk made of files
// held in memory (a fuzz target's input, a test's image) mounts along the same road.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/read_only_file.h"

namespace qelda::image {

class ImageFiles {
 public:
  // The file at `path`: from the file system, or, once files are held in memory, only
  // among those.
  std::optional<platform::ReadOnlyFile> open(const std::string& path) const;
  std::shared_ptr<const platform::ReadOnlyFile> openShared(const std::string& path) const;
  // The names of the files (not folders) in `folder`.
  std::vector<std::string> namesIn(const std::string& folder) const;

  // From now on the files are these alone: `path` reads as `bytes`, which are not copied
  // and must outlive every mount made through this set.
  void holdInMemory(std::string path, std::span<const std::uint8_t> bytes);

 private:
  std::vector<std::pair<std::string, std::span<const std::uint8_t>>> memory_;
};

}  // namespace qelda::image
