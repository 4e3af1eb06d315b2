// Saving found files to a local folder: the found tree's folders (made-up ones included)
// become folders under the destination, each chosen file is written from its engine, and
// nothing that already exists is ever overwritten or followed: a symlink, a FIFO or a file
// already under the destination is a name taken, and the next numbered name is used.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/sinks.h"

namespace qelda::engine {
class IVolumeEngine;
class ScanState;
}
namespace qelda::results {
class CFileFolderTree;
}

namespace qelda::save {

enum class SaveStatus : std::uint8_t { Recovered, PartiallyRecovered, Skipped };

// "[Recovered]", "[Partially Recovered]" or "[Skipped]".
std::u16string_view statusText(SaveStatus status);

// The Linux file name a found name is saved under: UTF-8, '/' and NUL replaced by '_',
// "", "." and ".." made harmless, and cut (at a character, keeping the extension) so that
// a " (n)" suffix still fits in a file name.
std::string safeFileName(std::u16string_view name);

// The n-th candidate for a name that is taken: n = 1 is the name itself, n >= 2 puts
// " (n)" before the extension ("a.txt" -> "a (2).txt", ".profile" -> ".profile (2)").
std::string numberedName(const std::string& name, std::uint32_t n);

struct SaveRequest {
  std::string destination;  // created when missing
  std::string mask;         // shell pattern on file names; empty: every file
};

struct SaveTotals {
  std::uint32_t recovered = 0;
  std::uint32_t partial = 0;
  std::uint32_t skipped = 0;
  std::uint32_t folders = 0;  // folders made (or found already there) under the destination
  bool stopped = false;       // the stop flag ended the save early
  bool destinationMissing = false;  // the destination could not be made: nothing was saved
};

// The file-saving worker: reads each chosen file of the found tree through the current
// engine and writes it under the destination.
class CThreadForSavingFiles {
 public:
  // Called once per file, with its path under the destination as written (the log gets
  // the same line with the path escaped for printing).
  using FileReport = std::function<void(SaveStatus, const std::string& path)>;

  CThreadForSavingFiles(const engine::ScanState& state, engine::IVolumeEngine* engine,
                        const results::CFileFolderTree& tree, platform::ILog& log, SaveRequest request,
                        FileReport report = {})
      : state_(state), engine_(engine), tree_(tree), log_(log), request_(std::move(request)),
        report_(std::move(report)) {}

  SaveTotals Run();

 private:
  void finishFile(SaveStatus status, const std::string& path, SaveTotals& totals);

  const engine::ScanState& state_;
  engine::IVolumeEngine* engine_;
  const results::CFileFolderTree& tree_;
  platform::ILog& log_;
  SaveRequest request_;
  FileReport report_;
};

}  // namespace qelda::save
