#include "ntfs/ntfs_volume_engine.h"

#include "engine/scan_state.h"
#include "ntfs/ntfs_engine.h"
#include "platform/string_table.h"

namespace qelda::ntfs {
namespace {

class NtfsVolumeEngine final : public engine::IVolumeEngine {
 public:
  NtfsVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks)
      : state_(state), notifier_(sinks.notifier), engine_(state, sinks.console, sinks.scanDlg, sinks.log) {}

  void Initialize(std::uint8_t bImageFile) override { engine_.Initialize(bImageFile); }
  void FreeAll() override { engine_.FreeAll(); }

  engine::ScanOutcome scanVolume(bool deleted) override {
    engine_.ScanVolume(deleted ? 1 : 0);
    // The engine stays silent when the volume has no usable boot sector or $MFT. The quick
    // scan then ran the deep scan, which fails only without a cluster size; the deleted-files
    // scan has nothing to work on.
    if (state_.stopRequested()) return {engine::ScanStatus::Stopped, {}, {}};
    const bool failed = deleted ? engine_.mftRecordCount() == 0 : !engine_.advancedScan() ? false
                                                                                          : !engine_.failure().empty();
    if (failed) return notValidVolume();
    return {};
  }
  engine::ScanOutcome scanAdvanced() override {
    // The advanced scan, and the deleted-files scan's deep branch.
    engine_.ScanAdvanced();
    if (!engine_.failure().empty()) return notValidVolume();
    if (state_.stopRequested()) return {engine::ScanStatus::Stopped, {}, {}};
    return {};
  }
  engine::ScanOutcome scanRaw() override {
    engine_.ScanRaw();
    if (state_.stopRequested()) return {engine::ScanStatus::Stopped, {}, {}};
    return {};
  }

  engine::ReadOutcome readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) override {
    FOUND_ITEM copy = item;  // the engine refreshes the flags of the item it is given
    std::uint64_t delivered = 0;
    const auto counted = [&](std::span<const std::uint8_t> bytes) {
      delivered += bytes.size();
      return sink(bytes);
    };
    // A file found by its signature has no record: its clusters follow from where it starts.
    const bool ok = (item.m_byFlags & kItemBySignature) ? engine_.readFoundBySignature(item, counted)
                                                        : engine_.readFileContent(copy, counted);
    if (ok) return engine::ReadOutcome::Complete;
    return delivered == 0 && item.m_nSize != 0 ? engine::ReadOutcome::Unreadable : engine::ReadOutcome::Partial;
  }

  std::uint32_t foundCount() const override { return engine_.m_nEntryCount; }

  bool saveScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) override {
    return engine_.writeScanInfo(header, write);
  }
  std::uint32_t restoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                    std::u16string& cause) override {
    return engine_.RestoreFromScanInfo(header, read, notifier_ ? *notifier_ : silent_, cause);
  }

 private:
  engine::ScanOutcome notValidVolume() {
    return engine::failScan(notifier_, platform::StringTable::load(platform::strings::kNotValidVolume),
                            engine_.failure());
  }

  engine::ScanState& state_;
  platform::IUserNotifier* notifier_;
  CNtfsEngine engine_;
  class Silent final : public platform::IUserNotifier {
   public:
    void Show(std::u16string_view, std::uint32_t, std::uint32_t) override {}
  } silent_;
};

}  // namespace

std::unique_ptr<engine::IVolumeEngine> createNtfsVolumeEngine(engine::ScanState& state,
                                                              const engine::EngineSinks& sinks) {
  return std::make_unique<NtfsVolumeEngine>(state, sinks);
}

}  // namespace qelda::ntfs
