#include "exfat/exfat_volume_engine.h"

#include <algorithm>
#include <vector>

#include "engine/scan_state.h"
#include "exfat/exfat_engine.h"
#include "platform/string_table.h"

namespace qelda::exfat {
namespace {

class NullLog final : public platform::ILog {
 public:
  void AddLogEntry(std::u16string, bool) override {}
};
class NullNotifier final : public platform::IUserNotifier {
 public:
  void Show(std::u16string_view, std::uint32_t, std::uint32_t) override {}
};

class ExFatVolumeEngine final : public engine::IVolumeEngine {
 public:
  ExFatVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks)
      : state_(state),
        notifier_(sinks.notifier),
        engine_(state, sinks.log ? *sinks.log : nullLog_, sinks.notifier ? *sinks.notifier : nullNotifier_) {
    engine_.m_pConsole = sinks.console;
    engine_.m_pScanDlg = sinks.scanDlg;
  }

  void Initialize(std::uint8_t bImageFile) override { engine_.Initialize(bImageFile); }
  void FreeAll() override { engine_.FreeAll(); }

  engine::ScanOutcome scanVolume(bool deleted) override {
    engine_.ScanVolume(deleted ? 1 : 0);
    return outcome();
  }
  engine::ScanOutcome scanAdvanced() override {
    // The deep deleted-files scan searches the free clusters after a deleted-files walk;
    // the advanced scan searches every cluster.
    const std::uint32_t kind = state_.m_nScanKind;
    if (kind == engine::kScanDeleted || kind == engine::kScanDeletedAgain) {
      engine_.m_bDeleted = 1;
      engine_.m_bAdvanced = 1;
      engine_.SearchDirectoryClusters();
    } else {
      engine_.ScanAdvanced(0);
    }
    return outcome();
  }
  engine::ScanOutcome scanRaw() override {
    engine_.ScanRaw();
    return outcome();
  }

  engine::ReadOutcome readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) override;
  std::uint32_t foundCount() const override { return engine_.m_nFoundCount; }

  bool applyLinkingMode(std::uint8_t mode) override {
    // exFAT has one FAT: "Contiguous" reads every file from its first cluster on, the
    // others follow the chains.
    engine_.m_nLinkingMode = mode == kLinkContiguous ? kLinkContiguous : kLinkChain;
    return true;
  }

  bool saveScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) override {
    return engine_.writeScanInfo(header, write);
  }
  std::uint32_t restoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                    std::u16string& cause) override {
    return engine_.RestoreFromScanInfo(header, read, cause);
  }

 private:
  engine::ScanOutcome outcome() const {
    // The engine has shown its message already.
    if (!engine_.failure().empty())
      return {engine::ScanStatus::Failed, platform::StringTable::load(platform::strings::kNotValidVolume),
              engine_.failure()};
    return {state_.stopRequested() ? engine::ScanStatus::Stopped : engine::ScanStatus::Done, {}, {}};
  }

  engine::ScanState& state_;
  platform::IUserNotifier* notifier_;
  NullLog nullLog_;
  NullNotifier nullNotifier_;
  CExFatEngine engine_;
};

engine::ReadOutcome ExFatVolumeEngine::readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) {
  using engine::ReadOutcome;
  if (item.m_nSize == 0) return ReadOutcome::Complete;
  const std::vector<std::uint32_t> clusters = engine_.itemClusters(item);
  ExFatClusterReader reader{engine_};
  if (clusters.empty() || reader.clusterBytes() == 0) return ReadOutcome::Unreadable;
  // A chain (or a heap) that ends before the size leaves the rest unknown.
  return engine::streamClusters(reader, engine::ClusterList(clusters), item.m_nSize, sink).outcome();
}

}  // namespace

std::unique_ptr<engine::IVolumeEngine> createExFatVolumeEngine(engine::ScanState& state,
                                                               const engine::EngineSinks& sinks) {
  return std::make_unique<ExFatVolumeEngine>(state, sinks);
}

}  // namespace qelda::exfat
