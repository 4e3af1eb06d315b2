#include "engine/raw_data_folders.h"

namespace qelda::engine {

namespace {

std::u16string decimal(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

RawDataFolders::Placement RawDataFolders::place(std::u16string_view typeText,
                                                const std::function<std::uint32_t()>& newId) {
  Placement out;
  out.typeText = std::u16string(typeText.substr(0, typeChars_));
  std::u16string wanted = out.typeText;
  std::uint32_t further = 0;
  for (Folder& f : folders_) {
    if (f.name != wanted) continue;
    if (f.files < capacity_) {
      ++f.files;
      out.folderId = f.id;
      out.folderName = f.name;
      return out;
    }
    // Full: the type's next folder, by the number after its text.
    wanted = out.typeText + decimal(++further);
  }
  Folder& f = folders_.emplace_back();
  f.name = wanted;
  f.id = newId();
  f.files = 1;  // the file it is opened for
  out.folderId = f.id;
  out.folderName = f.name;
  out.opened = true;
  return out;
}

std::u16string RawDataFolders::fileStem(std::uint64_t key, std::u16string_view finderName) {
  ++fileNumber_;
  if (finderName.empty()) return decimal(key);
  return decimal(fileNumber_) + u"_" + std::u16string(finderName);
}

}  // namespace qelda::engine
