#include "exfat/exfat_volume_engine.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "exfat/exfat_engine.h"
#include "fs/fat_layout.h"

namespace qelda::exfat {
namespace {

class ExFatVolumeEngine final : public engine::IVolumeEngine {
 public:
  ExFatVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks)
      : engine_(state, sinks) {}

  void Initialize(std::uint8_t bImageFile) override {
    claims_.forget();
    engine_.Initialize(bImageFile);
  }
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
    claims_.forgetOwnMap();
    return true;
  }

  bool saveScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) override {
    return engine_.writeScanInfo(header, write);
  }
  std::uint32_t restoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                    std::u16string& cause) override {
    claims_.forget();
    return engine_.RestoreFromScanInfo(header, read, cause);
  }

  engine::ClusterClaims* clusterClaims() override { return &claims_; }
  std::optional<std::uint64_t> firstClusterOf(const FOUND_ITEM& item) override {
    return engine::firstClusterByKey(item);
  }
  std::shared_ptr<const engine::ClusterMap> dataMap() override { return engine_.loadAllocationMap(); }
  void judgeByListedMaps(std::vector<std::shared_ptr<const engine::ClusterMap>> maps) override {
    claims_.setListedMaps(std::move(maps), 2, engine_.firstClusterSector(), engine_.sectorsPerCluster());
  }

 private:
  CExFatEngine engine_;
  engine::ClusterClaims claims_;
};

engine::ReadOutcome ExFatVolumeEngine::readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) {
  using engine::ReadOutcome;
  if (item.m_nSize == 0) return ReadOutcome::Complete;
  std::vector<std::uint32_t> clusters = engine_.itemClusters(item);
  ExFatClusterReader reader{engine_};
  if (clusters.empty() || reader.clusterBytes() == 0) return ReadOutcome::Unreadable;
  // A deleted file is whole only where the allocation bitmap as it is now has left its
  // clusters free.
  std::optional<engine::OwnershipCheck> check;
  bool guessed = false;
  if (claims_.judges(item.m_byFlags)) {
    if (!claims_.ownMapKnown()) claims_.setOwnMap(engine_.allocationMap());
    check = engine::OwnershipCheck{&claims_, engine::ClusterClaims::of(item.m_nRecordKey, item.m_nSize, item.m_byFlags)};
    // A deleted file whose data followed the chain: along the chain the FAT still holds
    // where that is still the file's; else as one run, a guess that is never called whole.
    if (check->file.byOwnMap && (item.m_byFlags & kItemCompressed)) {
      if (auto chain = engine_.chainOfDeleted(item, claims_.ownMap().get())) clusters = std::move(*chain);
      else guessed = true;
    }
  }
  // A chain (or a heap) that ends before the size leaves the rest unknown.
  const ReadOutcome outcome =
      engine::streamClusters(reader, engine::ClusterList(clusters), item.m_nSize, sink, check ? &*check : nullptr)
          .outcome();
  return guessed && outcome == ReadOutcome::Complete ? ReadOutcome::Partial : outcome;
}

}  // namespace

std::unique_ptr<engine::IVolumeEngine> createExFatVolumeEngine(engine::ScanState& state,
                                                               const engine::EngineSinks& sinks) {
  return std::make_unique<ExFatVolumeEngine>(state, sinks);
}

}  // namespace qelda::exfat
