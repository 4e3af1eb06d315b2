#include "app/scan_worker.h"

#include <memory>
#include <thread>

#include "disk/volume_records.h"
#include "fat/fat_engine.h"
#include "fat/fat_texts.h"
#include "ntfs/ntfs_engine.h"
#include "platform/string_table.h"

namespace qelda::app {
namespace {

// Texts of the volumes and scans this build cannot scan yet.
constexpr std::u16string_view kNoExFatEngine = u"The volume could not be scanned: exFAT volumes are not supported yet.";
constexpr std::u16string_view kNoScanKind = u"The volume could not be scanned: this kind of scan is not available yet.";

// Partition types that hold NTFS besides the file-system code 7 itself.
bool isNtfsCode(std::uint8_t code) { return code == 0x07 || code == 0x86 || code == 0x87 || code == 0x42; }

// Passes the engine's messages on, remembering the warning that ended a scan (the FAT
// engine says "not a valid volume" this way and has no other result).
class WatchingNotifier final : public platform::IUserNotifier {
 public:
  explicit WatchingNotifier(platform::IUserNotifier& next) : next_(next) {}
  void Show(std::u16string_view text, std::uint32_t bitmapId, std::uint32_t buttonSetId) override {
    if (bitmapId == fat::kBitmapWarning) warning = text;
    next_.Show(text, bitmapId, buttonSetId);
  }
  std::u16string warning;

 private:
  platform::IUserNotifier& next_;
};

}  // namespace

ScanResult CScanProcess::run() {
  std::thread worker([this] { ScanThreadProc(); });
  worker.join();
  return result_;
}

void CScanProcess::fail(std::u16string message) {
  result_.outcome = ScanOutcome::Failed;
  notifier_.Show(message, fat::kBitmapWarning, fat::kButtonsOk);
  result_.message = std::move(message);
}

void CScanProcess::ScanThreadProc() {
  result_ = {};
  app_.FreeEngines();
  app_.m_bBusy = 1;
  app_.m_bStopRequested = 0;
  app_.m_bNoScanProgress = 0;
  app_.m_bTreeBuilding = 0;
  app_.m_bSearchingCriticalInfo = 0;
  app_.m_bHasResults = 0;

  const disk::DEVICE_ENTRY* source = app_.m_pSelectedSource;
  const std::uint32_t kind = app_.m_nScanKind;
  const bool quick = kind == kScanQuick || kind == kScanQuickAgain;
  const bool deleted = kind == kScanDeleted || kind == kScanDeletedAgain;
  // Only the quick scan and the quick branch of the deleted-files scan have engine entries
  // in this build; the others end here instead of running half an engine.
  if (!source || !(quick || (deleted && app_.m_nScanType == 1))) {
    fail(std::u16string(kNoScanKind));
  } else {
    // The source is read from a file of its own only when its name is a path; the entries
    // of a mounted image have no name and are read through the image.
    const std::uint8_t bImageFile = source->m_szName.size() > 1 ? 1 : 0;
    const disk::VOLUME_RECORD* volume = source->m_pDetail.volume();
    const bool wholeDisk = source->m_byKind == disk::kKindWholeDisk || !volume;
    const std::uint32_t bDeleted = deleted ? 1 : 0;
    if (!wholeDisk && volume->m_byFileSystem == disk::kFsExFat) {
      fail(std::u16string(kNoExFatEngine));
    } else if (!wholeDisk && isNtfsCode(volume->m_byFileSystem)) {
      runNtfs(bImageFile, bDeleted);
    } else {
      runFat(bImageFile, bDeleted);
    }
  }

  if (result_.outcome == ScanOutcome::Done && app_.m_bStopRequested.load(std::memory_order_relaxed) != 0)
    result_.outcome = ScanOutcome::Stopped;
  app_.OnOperationFinished();
  console_.UpdateStatusCounts();
  if (!logPath_.empty()) log_.flushTo(logPath_);
}

void CScanProcess::runFat(std::uint8_t bImageFile, std::uint32_t bDeleted) {
  WatchingNotifier watch(notifier_);
  app_.m_pFatEngine = std::make_unique<fat::CFatEngine>(app_, log_, watch);
  fat::CFatEngine& engine = *app_.m_pFatEngine;
  engine.m_pConsole = &console_;
  engine.m_pScanDlg = &progress_;
  engine.Initialize(bImageFile);
  engine.ScanVolume(bDeleted);
  if (!watch.warning.empty()) {
    result_.outcome = ScanOutcome::Failed;
    result_.message = watch.warning;
  }
}

void CScanProcess::runNtfs(std::uint8_t bImageFile, std::uint32_t bDeleted) {
  // The NTFS engine has no deleted-files pass yet: saying "nothing deleted" would be a lie.
  if (bDeleted) {
    fail(std::u16string(kNoScanKind));
    return;
  }
  app_.m_pNtfsEngine = std::make_unique<ntfs::CNtfsEngine>(app_, &console_, &progress_, &log_);
  ntfs::CNtfsEngine& engine = *app_.m_pNtfsEngine;
  engine.Initialize(bImageFile);
  engine.ScanVolume(bDeleted);
  // The engine stays silent when the volume has no usable boot sector or $MFT; its record
  // count is then still 0.
  if (engine.mftRecordCount() == 0 && app_.m_bStopRequested.load(std::memory_order_relaxed) == 0)
    fail(platform::StringTable::load(platform::strings::kNotValidVolume));
}

bool applyFatLinkingMode(CQELDAApp& app, std::uint8_t mode) {
  if (!app.m_pFatEngine) return false;
  app.m_pFatEngine->m_nLinkingMode = mode;
  app.m_pFatEngine->LoadFat();
  return true;
}

}  // namespace qelda::app
