#include "image/image_files.h"

#include <filesystem>
#include <system_error>

#include "image/mounted_image.h"

namespace qelda::image {

std::optional<platform::ReadOnlyFile> ImageFiles::open(const std::string& path) const {
  if (memory_.empty()) return platform::ReadOnlyFile::open(path);
  for (const auto& [name, bytes] : memory_)
    if (name == path) return platform::ReadOnlyFile::overMemory(bytes, bytes.size());
  return std::nullopt;
}

std::shared_ptr<const platform::ReadOnlyFile> ImageFiles::openShared(const std::string& path) const {
  auto f = open(path);
  if (!f) return nullptr;
  return std::make_shared<const platform::ReadOnlyFile>(std::move(*f));
}

std::vector<std::string> ImageFiles::namesIn(const std::string& folder) const {
  std::vector<std::string> names;
  if (!memory_.empty()) {
    for (const auto& entry : memory_) {
      const std::string& path = entry.first;
      const auto slash = path.rfind('/');
      if (slash != std::string::npos && imageFolder(path) == folder) names.push_back(path.substr(slash + 1));
    }
    return names;
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (it->is_directory(typeError)) continue;
    names.push_back(it->path().filename().string());
  }
  return names;
}

void ImageFiles::holdInMemory(std::string path, std::span<const std::uint8_t> bytes) {
  memory_.emplace_back(std::move(path), bytes);
}

}  // namespace qelda::image
