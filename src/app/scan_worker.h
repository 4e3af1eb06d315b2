// The scan worker: frees the previous engine, creates the one the selected source needs,
// runs the entry of the scan kind on its own thread, and tidies up after it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/qelda_app.h"
#include "platform/log.h"
#include "platform/sinks.h"

namespace qelda::app {

using engine::kScanAdvanced;
using engine::kScanAdvancedAgain;
using engine::kScanDeleted;
using engine::kScanDeletedAgain;
using engine::kScanFromScanInfo;
using engine::kScanLostVolumes;
using engine::kScanQuick;
using engine::kScanQuickAgain;
using engine::kScanRaw;

// The cause of a scan that could read no sector of its source.
inline constexpr std::u16string_view kNothingReadable =
    u"no sector the scan asked for could be read from the image, so nothing could be found on it";

// The engines this program has, for the factory.
const engine::EngineCreators& installedEngines();

// The current engine reads a volume at sectors start..start+count-1 (read by the engine of
// engineKind) that the partition table may not list as such: it judges its files against
// what the listed volumes over those sectors, other than itself, give to data now.
void judgeAgainstListedVolumes(CQELDAApp& app, std::uint64_t start, std::uint64_t count,
                               std::optional<engine::EngineKind> engineKind);

class CScanProcess {
 public:
  // `logPath` empty: logging is off and the entries stay in `log`.
  CScanProcess(CQELDAApp& app, platform::IFoundItemSink& console, platform::IScanProgress& progress,
               platform::TextLog& log, platform::IUserNotifier& notifier, std::string logPath = {})
      : app_(app), console_(console), progress_(progress), log_(log), notifier_(notifier),
        logPath_(std::move(logPath)) {}

  // The scan-information file the scan kind kScanFromScanInfo loads.
  void setScanInfoPath(std::string path) { scanInfoPath_ = std::move(path); }
  // The index the loaded file is looked up in; none when empty.
  void setScanInfoIndex(std::string path) { scanInfoIndex_ = std::move(path); }

  // Starts ScanThreadProc on its own thread, waits for it and returns what it came to.
  engine::ScanOutcome run();

  // The worker's body: scans CQELDAApp::m_pSelectedSource with CQELDAApp::m_nScanKind.
  void ScanThreadProc();

  const engine::ScanOutcome& result() const { return result_; }

 private:
  engine::ScanOutcome runEngine(engine::IVolumeEngine& engine);
  // Puts what the engine could not read into the outcome.
  void takeReadTally(const engine::ReadTally& read);

  CQELDAApp& app_;
  platform::IFoundItemSink& console_;
  platform::IScanProgress& progress_;
  platform::TextLog& log_;
  platform::IUserNotifier& notifier_;
  std::string logPath_;
  std::string scanInfoPath_;
  std::string scanInfoIndex_;
  engine::ScanOutcome result_;
};

// Whether the scan the application is set to (kind, deleted-files branch, the engine the
// selected source or the chosen file system gives) searches file types by their signatures
// besides its own search: the NTFS and FAT advanced scans, and NTFS's deep deleted-files
// scan, which is its advanced scan. The raw scan is nothing but that search.
bool scanSearchesSignatures(const CQELDAApp& app);

// What the settings dialog does when the user picks another FAT linking mode (0 "FAT1",
// 1 "FAT2", 2 "Contiguous"): the current engine takes the mode and reloads its FAT.
// False when the current engine follows no FAT, or when the volume has nothing to link by in
// that mode (a second copy, say): then whyNot, when given, says why.
bool applyFatLinkingMode(CQELDAApp& app, std::uint8_t mode, std::u16string* whyNot = nullptr);

}  // namespace qelda::app
