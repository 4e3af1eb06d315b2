#include "exfat/exfat_volume_engine.h"

#include <algorithm>
#include <vector>

#include "exfat/exfat_engine.h"
#include "fs/fat_layout.h"

namespace qelda::exfat {
namespace {

class ExFatVolumeEngine final : public engine::IVolumeEngine {
 public:
  ExFatVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks)
      : engine_(state, sinks) {}

  void Initialize(std::uint8_t bImageFile) override { engine_.Initialize(bImageFile); }
  void FreeAll() override { engine_.FreeAll(); }

  engine::ScanOutcome scanVolume(bool deleted) override { return engine_.ScanVolume(deleted ? 1 : 0); }
  // The advanced scan searches every cluster; the deep deleted-files scan, the free clusters
  // after a deleted-files walk.
  engine::ScanOutcome scanAdvanced() override { return engine_.ScanAdvanced(0); }
  engine::ScanOutcome scanDeletedDeep() override { return engine_.ScanAdvanced(1); }
  engine::ScanOutcome scanRaw() override { return engine_.ScanRaw(); }

  engine::ReadOutcome readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) override;
  std::uint32_t foundCount() const override { return engine_.foundCount(); }
  engine::ReadTally readTally() const override { return engine_.readTally(); }

  bool applyLinkingMode(std::uint8_t mode, std::u16string& whyNot) override {
    // Chains are followed through the first FAT only: "Contiguous" reads every file from its
    // first cluster on, "FAT1" follows the chains, and there is no second copy to take.
    if (mode == fs::fat::kLinkFat2) {
      whyNot = u"exFAT chains are followed through the first FAT only";
      return false;
    }
    engine_.setLinkingMode(mode == kLinkContiguous ? kLinkContiguous : kLinkChain);
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
