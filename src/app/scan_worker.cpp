#include "app/scan_worker.h"

#include "app/scan_info.h"

#include <thread>

#include "exfat/exfat_volume_engine.h"
#include "fat/fat_volume_engine.h"
#include "ntfs/ntfs_volume_engine.h"
#include "volume/volume_records.h"

namespace qelda::app {

const engine::EngineCreators& installedEngines() {
  static const engine::EngineCreators creators{fat::createFatVolumeEngine, ntfs::createNtfsVolumeEngine,
                                               exfat::createExFatVolumeEngine};
  return creators;
}

engine::ScanOutcome CScanProcess::run() {
  std::thread worker([this] { ScanThreadProc(); });
  worker.join();
  return result_;
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

  const volume::DEVICE_ENTRY* source = app_.m_pSelectedSource;
  if (app_.m_nScanKind == kScanFromScanInfo) {
    result_ = LoadScanImage(app_, {&console_, &progress_, &log_, &notifier_}, scanInfoPath_, scanInfoIndex_);
  } else if (!source) {
    result_ = engine::scanNotAvailable(&notifier_);
  } else {
    app_.currentEngine = engine::CreateVolumeEngine(installedEngines(), app_, {&console_, &progress_, &log_, &notifier_});
    if (!app_.currentEngine) result_ = engine::scanNotAvailable(&notifier_);
    else result_ = runEngine(*app_.currentEngine);
    if (app_.currentEngine) takeReadTally(app_.currentEngine->readTally());
  }

  if (result_.status == engine::ScanStatus::Done && app_.stopRequested()) result_.status = engine::ScanStatus::Stopped;
  app_.OnOperationFinished();
  console_.UpdateStatusCounts();
  if (!logPath_.empty()) log_.flushTo(logPath_);
}

void CScanProcess::takeReadTally(const engine::ReadTally& read) {
  result_.unreadSectors = read.unreadSectors;
  // Nothing could be read (an image whose data this program cannot decode, a disk whose
  // every extent is missing): the scan found nothing because of that, not because the disk
  // holds nothing, and ends as a failure with that cause, whatever else the engine made of
  // the zeros it was given.
  if (result_.status != engine::ScanStatus::Stopped && read.unreadSectors != 0 && !read.anyRead) {
    result_.status = engine::ScanStatus::Failed;
    result_.cause = std::u16string(kNothingReadable);
    log_.AddLogEntry(result_.cause, false);
  }
}

engine::ScanOutcome CScanProcess::runEngine(engine::IVolumeEngine& engine) {
  // The source is read from a file of its own only when its name is a path; the entries
  // of a mounted image have no name and are read through the image.
  const std::uint8_t bImageFile = app_.m_pSelectedSource->m_szName.size() > 1 ? 1 : 0;
  engine.Initialize(bImageFile);
  switch (app_.m_nScanKind) {
    case kScanQuick:
    case kScanQuickAgain: return engine.scanVolume(false);
    case kScanDeleted:
    case kScanDeletedAgain:
      return app_.m_nScanType == 1 ? engine.scanVolume(true) : engine.scanDeletedDeep();
    case kScanAdvanced:
    case kScanAdvancedAgain: return engine.scanAdvanced();
    case kScanRaw: return engine.scanRaw();
    default: return engine::scanNotAvailable(&notifier_);
  }
}

bool scanSearchesSignatures(const CQELDAApp& app) {
  const engine::EngineKind engine = engine::engineKindFor(app);
  switch (app.m_nScanKind) {
    case kScanRaw: return true;
    case kScanAdvanced:
    case kScanAdvancedAgain: return engine != engine::EngineKind::ExFat;
    case kScanDeleted:
    case kScanDeletedAgain: return app.m_nScanType == 0 && engine == engine::EngineKind::Ntfs;
    default: return false;
  }
}

bool applyFatLinkingMode(CQELDAApp& app, std::uint8_t mode, std::u16string* whyNot) {
  std::u16string why;
  const bool applied = app.currentEngine && app.currentEngine->applyLinkingMode(mode, why);
  if (whyNot) *whyNot = std::move(why);
  return applied;
}

}  // namespace qelda::app
