#include "app/scan_worker.h"

#include "app/scan_info.h"

#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "exfat/exfat_volume_engine.h"
#include "fat/fat_volume_engine.h"
#include "lost/search_volume.h"
#include "ntfs/ntfs_volume_engine.h"
#include "volume/volume_records.h"

namespace qelda::app {

namespace {

// The engine that reads a listed volume of this file-system code; nothing for a code no
// engine reads.
std::optional<engine::EngineKind> engineKindOfCode(std::uint8_t code) {
  switch (code) {
    case volume::kFsFat12:
    case volume::kFsFat16:
    case volume::kFsFat32: return engine::EngineKind::Fat;
    case volume::kFsExFat: return engine::EngineKind::ExFat;
    case volume::kFsNtfs: return engine::EngineKind::Ntfs;
    default: return std::nullopt;
  }
}

}  // namespace

void judgeAgainstListedVolumes(CQELDAApp& app, std::uint64_t start, std::uint64_t count,
                               std::optional<engine::EngineKind> engineKind) {
  if (!app.currentEngine || count == 0) return;
  std::vector<std::shared_ptr<const engine::ClusterMap>> maps;
  const volume::DEVICE_ENTRY* selected = app.m_pSelectedSource;
  for (const volume::DEVICE_ENTRY* entry = app.m_pSourceList; entry; entry = entry->m_pNext) {
    const volume::VOLUME_RECORD* record = entry->m_pDetail.volume();
    if (entry->m_byKind != volume::kKindPartition || !record || record->m_nSectorCount == 0) continue;
    const std::optional<engine::EngineKind> kind = engineKindOfCode(record->m_byFileSystem);
    if (!kind) continue;
    // The volume itself, listed: its own map is no other volume's.
    if (record->m_nStartSector == start && kind == engineKind) continue;
    if (record->m_nStartSector >= start + count || start >= record->m_nStartSector + record->m_nSectorCount) continue;
    // The listed volume's engine, made and set up as a scan of it would be, tells nothing to
    // anyone: it only reads the volume's map.
    app.m_pSelectedSource = const_cast<volume::DEVICE_ENTRY*>(entry);
    std::unique_ptr<engine::IVolumeEngine> listed = engine::CreateVolumeEngineOfKind(installedEngines(), *kind, app, {});
    if (listed) {
      listed->Initialize(entry->m_szName.size() > 1 ? 1 : 0);
      if (auto map = listed->dataMap()) maps.push_back(std::move(map));
      listed->FreeAll();
    }
  }
  app.m_pSelectedSource = const_cast<volume::DEVICE_ENTRY*>(selected);
  if (!maps.empty()) app.currentEngine->judgeByListedMaps(std::move(maps));
}

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
    // A volume the lost-volume search found on this disk may lie under volumes listed since.
    const volume::VOLUME_RECORD* record = source->m_pDetail.volume();
    if (record && (source->m_byKind == lost::kKindFoundOnDisk || source->m_byKind == lost::kKindRebuiltOnDisk) &&
        result_.status != engine::ScanStatus::Failed)
      judgeAgainstListedVolumes(app_, record->m_nStartSector, record->m_nSectorCount,
                                engineKindOfCode(record->m_byFileSystem));
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
