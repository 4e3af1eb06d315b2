// The scan worker: frees the previous engine, creates the one the selected source needs,
// runs the entry of the scan kind on its own thread, and tidies up after it.
#pragma once

#include <cstdint>
#include <string>

#include "app/qelda_app.h"
#include "platform/log.h"
#include "platform/sinks.h"

namespace qelda::app {

// Scan kinds kept in CQELDAApp::m_nScanKind.
inline constexpr std::uint32_t kScanRaw = 502;
inline constexpr std::uint32_t kScanQuick = 504;
inline constexpr std::uint32_t kScanDeleted = 505;
inline constexpr std::uint32_t kScanAdvanced = 506;
inline constexpr std::uint32_t kScanLostVolumes = 507;
inline constexpr std::uint32_t kScanFromScanInfo = 511;
inline constexpr std::uint32_t kScanQuickAgain = 517;
inline constexpr std::uint32_t kScanDeletedAgain = 518;
inline constexpr std::uint32_t kScanAdvancedAgain = 519;

enum class ScanOutcome : std::uint8_t {
  Done,     // the scan ran to its end (it may have found nothing)
  Stopped,  // the stop flag ended it early
  Failed    // the volume could not be scanned; the reason went to the notifier
};

struct ScanResult {
  ScanOutcome outcome = ScanOutcome::Done;
  std::u16string message;  // the reason of a failure, as shown
};

class CScanProcess {
 public:
  // `logPath` empty: logging is off and the entries stay in `log`.
  CScanProcess(CQELDAApp& app, platform::IFoundItemSink& console, platform::IScanProgress& progress,
               platform::TextLog& log, platform::IUserNotifier& notifier, std::string logPath = {})
      : app_(app), console_(console), progress_(progress), log_(log), notifier_(notifier),
        logPath_(std::move(logPath)) {}

  // Starts ScanThreadProc on its own thread, waits for it and returns what it came to.
  ScanResult run();

  // The worker's body: scans CQELDAApp::m_pSelectedSource with CQELDAApp::m_nScanKind.
  void ScanThreadProc();

  const ScanResult& result() const { return result_; }

 private:
  void fail(std::u16string message);
  void runFat(std::uint8_t bImageFile, std::uint32_t bDeleted);
  void runNtfs(std::uint8_t bImageFile, std::uint32_t bDeleted);

  CQELDAApp& app_;
  platform::IFoundItemSink& console_;
  platform::IScanProgress& progress_;
  platform::TextLog& log_;
  platform::IUserNotifier& notifier_;
  std::string logPath_;
  ScanResult result_;
};

// What the settings dialog does when the user picks another FAT linking mode (0 "FAT1",
// 1 "FAT2", 2 "Contiguous"): with a FAT engine set, it takes the mode and reloads the FAT.
// False when there is no FAT engine.
bool applyFatLinkingMode(CQELDAApp& app, std::uint8_t mode);

}  // namespace qelda::app
