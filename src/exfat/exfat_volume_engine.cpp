#include "exfat/exfat_volume_engine.h"

#include <algorithm>
#include <vector>

#include "exfat/exfat_engine.h"

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

  bool applyLinkingMode(std::uint8_t mode) override {
    // exFAT has one FAT: "Contiguous" reads every file from its first cluster on, the
    // others follow the chains.
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
  const std::uint64_t clusterBytes = engine_.params().clusterBytes();
  if (clusters.empty() || clusterBytes == 0) return ReadOutcome::Unreadable;

  // Neighbouring clusters are read in one call, up to a block at a time.
  const std::uint32_t spc = engine_.sectorsPerCluster();
  const std::size_t perRead = std::max<std::size_t>(1, kBlockSectors / spc);
  std::vector<std::uint8_t> buffer(perRead * clusterBytes);
  std::uint64_t left = item.m_nSize;
  std::size_t good = 0, bad = 0;
  std::size_t i = 0;
  while (i < clusters.size() && left != 0) {
    std::size_t run = 1;
    for (; i + run < clusters.size() && run < perRead; ++run)
      if (clusters[i + run] != clusters[i] + run) break;
    if (engine_.ReadClusterSectors(std::uint32_t(run * spc), clusters[i], 0, buffer.data())) {
      good += run;
    } else {
      // One bad cluster in the run: the rest are still the file's, taken one at a time.
      for (std::size_t k = 0; k < run; ++k) {
        const bool ok = engine_.ReadClusterSectors(spc, clusters[i + k], 0, buffer.data() + k * clusterBytes);
        ok ? ++good : ++bad;
      }
    }
    const std::uint64_t take = std::min<std::uint64_t>(left, run * clusterBytes);
    if (!sink({buffer.data(), std::size_t(take)})) return ReadOutcome::Partial;
    left -= take;
    i += run;
  }
  if (good == 0) return ReadOutcome::Unreadable;
  // A chain (or a heap) that ends before the size leaves the rest unknown.
  return bad != 0 || left != 0 ? ReadOutcome::Partial : ReadOutcome::Complete;
}

}  // namespace

std::unique_ptr<engine::IVolumeEngine> createExFatVolumeEngine(engine::ScanState& state,
                                                               const engine::EngineSinks& sinks) {
  return std::make_unique<ExFatVolumeEngine>(state, sinks);
}

}  // namespace qelda::exfat
