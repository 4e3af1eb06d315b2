#include "engine/volume_engine.h"

#include "engine/scan_state.h"
#include "volume/volume_records.h"

namespace qelda::engine {
namespace {

bool isNtfsCode(std::uint8_t code) { return code == 0x07 || code == 0x86 || code == 0x87 || code == 0x42; }

}  // namespace

ScanOutcome failScan(platform::IUserNotifier* notifier, std::u16string message, std::u16string cause) {
  if (notifier) notifier->Show(message, kBitmapWarning, kButtonsOk);
  return {ScanStatus::Failed, std::move(message), std::move(cause)};
}

ScanOutcome scanNotAvailable(platform::IUserNotifier* notifier) {
  return failScan(notifier, std::u16string(kScanNotAvailable));
}

EngineKind engineKindFor(const ScanState& state) {
  const std::uint32_t kind = state.m_nScanKind;
  if (kind == kScanAdvanced || kind == kScanAdvancedAgain) {
    switch (state.m_nAdvancedFileSystem) {
      case kAdvancedFat: return EngineKind::Fat;
      case kAdvancedNtfs: return EngineKind::Ntfs;
      case kAdvancedExFat: return EngineKind::ExFat;
      default: break;  // no choice made: the volume's own file system decides
    }
  }
  // The search of a range of sectors is the FAT engine's, also over a volume of another kind.
  if (kind == kScanRaw && state.m_bRawRangeFromVolume) return EngineKind::Fat;
  const volume::DEVICE_ENTRY* source = state.m_pSelectedSource;
  if (!source || source->m_byKind == volume::kKindWholeDisk) return EngineKind::Fat;
  const volume::VOLUME_RECORD* volume = source->m_pDetail.volume();
  if (!volume) return EngineKind::Fat;
  if (isNtfsCode(volume->m_byFileSystem)) return EngineKind::Ntfs;
  if (volume->m_byFileSystem == volume::kFsExFat) return EngineKind::ExFat;
  return EngineKind::Fat;
}

EngineKind engineKindOf(SavedEngine saved) {
  switch (saved) {
    case SavedEngine::Fat: return EngineKind::Fat;
    case SavedEngine::ExFat: return EngineKind::ExFat;
    case SavedEngine::Ntfs: break;
  }
  return EngineKind::Ntfs;
}

std::unique_ptr<IVolumeEngine> CreateVolumeEngine(const EngineCreators& creators, ScanState& state,
                                                  const EngineSinks& sinks) {
  return CreateVolumeEngineOfKind(creators, engineKindFor(state), state, sinks);
}

std::unique_ptr<IVolumeEngine> CreateVolumeEngineOfKind(const EngineCreators& creators, EngineKind kind,
                                                        ScanState& state, const EngineSinks& sinks) {
  EngineCreator create = nullptr;
  switch (kind) {
    case EngineKind::Fat: create = creators.fat; break;
    case EngineKind::Ntfs: create = creators.ntfs; break;
    case EngineKind::ExFat: create = creators.exfat; break;
  }
  return create ? create(state, sinks) : nullptr;
}

}  // namespace qelda::engine
