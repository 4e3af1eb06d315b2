// Where files found by their signatures are reported: one folder per file type, named by the
// type text; once a folder holds its capacity, the next file of that type opens a folder named
// with the type text and a number ("jpg", "jpg1", "jpg2", ...). And the stems of those files'
// names, with the running number that a finder-named file carries.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace qelda::engine {

// The folder the searches inside the advanced scans report their finds under.
inline constexpr std::u16string_view kRawDataFoldersName = u"Raw Data Folder(s)";  // 293

class RawDataFolders {
 public:
  // capacity: the files one folder takes; typeChars: how much of a type text is kept.
  RawDataFolders(std::uint32_t capacity, std::size_t typeChars) : capacity_(capacity), typeChars_(typeChars) {}

  struct Placement {
    std::uint32_t folderId = 0;
    bool opened = false;      // a new folder: the caller reports it, named folderName
    std::u16string folderName;
    std::u16string typeText;  // the type text as kept (cut to typeChars)
  };
  // The folder of one more file of this type: the first of its folders with room, else a new
  // one, whose id newId gives.
  Placement place(std::u16string_view typeText, const std::function<std::uint32_t()>& newId);

  // The stem of a found file's name: with a finder-given name, the running number of found
  // files, "_" and that name; else the file's key (its cluster or sector) in decimal. Every
  // call counts one more found file.
  std::u16string fileStem(std::uint64_t key, std::u16string_view finderName);

  // A new search: no folders. The running number goes on.
  void clear() { folders_.clear(); }
  bool empty() const { return folders_.empty(); }

 private:
  struct Folder {
    std::u16string name;
    std::uint32_t id = 0;
    std::uint32_t files = 0;
  };
  std::deque<Folder> folders_;
  std::uint32_t capacity_;
  std::size_t typeChars_;
  std::uint64_t fileNumber_ = 0;
};

}  // namespace qelda::engine
