// Saving found files to a local folder: the found tree's folders (made-up ones included)
// become folders under the destination, each chosen file is written from its engine, and
// nothing that already exists is ever overwritten or followed: a symlink, a FIFO or a file
// already under the destination is a name taken, and the next numbered name is used. A file
// is written under a short hidden name of its own and takes its found name only once all
// its bytes are written: a run ended half-way leaves no cut file under a found name.
#pragma once

#include <atomic>
#include <cstddef>
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

// The bytes a name may hold on the usual Linux file systems (ext4, xfs, btrfs, tmpfs).
inline constexpr std::size_t kNameMaxBytes = 255;

// The Linux file name a found name is saved under: UTF-8, '/' and NUL replaced by '_',
// "", "." and ".." made harmless, and cut (at a character, keeping a short extension) only
// when it is longer than `maxBytes`, what the output file system takes.
std::string safeFileName(std::u16string_view name, std::size_t maxBytes = kNameMaxBytes);

// The n-th candidate for a name that is taken: n = 1 is the name itself, n >= 2 puts
// " (n)" before the extension ("a.txt" -> "a (2).txt", ".profile" -> ".profile (2)"); the
// part before the number is cut (at a character) when the whole would pass `maxBytes`.
std::string numberedName(const std::string& name, std::uint32_t n, std::size_t maxBytes = kNameMaxBytes);

struct SaveRequest {
  std::string destination;  // created when missing
  std::string mask;         // shell pattern on file names, case aside (see NameMask); empty: every file
  // A stop (the scan state's flag) lets the file being written be finished; this flag, set
  // by a second stop, gives that file up at once: its part file is removed, it is skipped.
  const std::atomic<std::uint32_t>* stopAtOnce = nullptr;
};

// What a stop does to the file being written when it comes: Finishing, said once per save,
// when a stop finds a file with bytes still to write; NotSaved when a second stop gave it up.
enum class StopNotice : std::uint8_t { Finishing, NotSaved };

struct SaveTotals {
  std::uint32_t recovered = 0;
  std::uint32_t partial = 0;
  std::uint32_t skipped = 0;
  std::uint32_t folders = 0;  // folders made (or found already there) under the destination
  std::uint32_t noSpace = 0;  // of the skipped files, those the destination had no room for
  // Of the skipped files, those the destination refused for another cause (read-only, not
  // writable by this user, an I/O error): the cause of the first of them in `unwritableError`.
  std::uint32_t unwritable = 0;
  int unwritableError = 0;
  bool stopped = false;       // the stop flag ended the save early
  bool destinationMissing = false;  // the destination could not be made: nothing was saved
  int destinationError = 0;         // why (an errno)
};

// The file-saving worker: reads each chosen file of the found tree through the current
// engine and writes it under the destination.
class CThreadForSavingFiles {
 public:
  // Called once per file, with its path under the destination as written (the log gets
  // the same line with the path escaped for printing).
  using FileReport = std::function<void(SaveStatus, const std::string& path)>;
  // Called when a stop meets a file being written, with its path under the destination.
  using StopReport = std::function<void(StopNotice, const std::string& path)>;

  CThreadForSavingFiles(const engine::ScanState& state, engine::IVolumeEngine* engine,
                        const results::CFileFolderTree& tree, platform::ILog& log, SaveRequest request,
                        FileReport report = {}, StopReport stopReport = {})
      : state_(state), engine_(engine), tree_(tree), log_(log), request_(std::move(request)),
        report_(std::move(report)), stopReport_(std::move(stopReport)) {}

  SaveTotals Run();

 private:
  void finishFile(SaveStatus status, const std::string& path, SaveTotals& totals);
  // Tells the engine where the found files start, before any is read.
  void learnFileStarts();

  const engine::ScanState& state_;
  engine::IVolumeEngine* engine_;
  const results::CFileFolderTree& tree_;
  platform::ILog& log_;
  SaveRequest request_;
  FileReport report_;
  StopReport stopReport_;
};

}  // namespace qelda::save
