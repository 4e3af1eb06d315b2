#include "fat/fat_volume_engine.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "engine/scan_state.h"
#include "engine/volume_reader.h"
#include "fat/fat_engine.h"
#include "volume/volume_records.h"

namespace qelda::fat {
namespace {

class FatVolumeEngine final : public engine::IVolumeEngine {
 public:
  FatVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks)
      : state_(state), engine_(state, sinks) {}

  void Initialize(std::uint8_t bImageFile) override {
    claims_.forget();
    engine_.Initialize(bImageFile);
  }
  void FreeAll() override { engine_.FreeAll(); }

  engine::ScanOutcome scanVolume(bool deleted) override { return engine_.ScanVolume(deleted ? 1 : 0); }
  engine::ScanOutcome scanAdvanced() override { return engine_.ScanAdvanced(0); }
  // The search of the data area for directory clusters.
  engine::ScanOutcome scanDeletedDeep() override { return engine_.ScanAdvanced(1); }
  engine::ScanOutcome scanRaw() override {
    const volume::DEVICE_ENTRY* entry = state_.m_pSelectedSource;
    const volume::DRIVE_RECORD* drive = entry ? entry->m_pDetail.drive() : nullptr;
    if (drive || state_.m_bRawRangeFromVolume) {
      // A whole disk or image, or a volume's sectors: searched sector by sector over the
      // range the user set, which ends at the disk's last sector at most.
      if (state_.m_bRawRangeFromVolume)
        engine_.SetRawSearchRange(engine_.imageFile(), 0, 0);  // the volume record gives the range
      else if (drive->m_nSizeSectors != 0)
        engine_.SetRawSearchRange(engine_.imageFile(), state_.m_nRawStartSector,
                                  std::min(state_.m_nRawEndSector, drive->m_nSizeSectors - 1));
      engine_.SearchDriveForKnownTypes();
      return engine_.scanOutcome();
    }
    return engine_.ScanRaw();
  }

  engine::ReadOutcome readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) override;
  std::uint32_t foundCount() const override { return engine_.foundCount(); }
  engine::ReadTally readTally() const override { return engine_.readTally(); }

  bool applyLinkingMode(std::uint8_t mode, std::u16string& whyNot) override {
    // Without a second copy the FAT in use stays as it is.
    if (mode == fs::fat::kLinkFat2 && !engine_.hasSecondFat()) {
      whyNot = u"the volume has one FAT copy";
      return false;
    }
    engine_.setLinkingMode(mode);
    engine_.LoadFat();
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
  engine::ScanState& state_;
  CFatEngine engine_;
  engine::ClusterClaims claims_;
};

// The volume's clusters as the file streamer reads them: a cluster outside the volume holds
// nothing of a file, which ends there short of its size rather than go on as zeros.
struct FatClusterReader {
  CFatEngine& engine;
  std::uint64_t clusterBytes() const { return std::uint64_t(engine.sectorsPerCluster()) * 512; }
  bool hasCluster(std::uint64_t cluster) const { return engine.clusterInVolume(cluster); }
  bool readClusters(std::uint64_t first, std::uint64_t count, std::uint8_t* out) {
    return engine.ReadClusterSectors(first, 0, out, std::uint16_t(count * engine.sectorsPerCluster())) != 0;
  }
};

engine::ReadOutcome FatVolumeEngine::readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) {
  using engine::ReadOutcome;
  if (item.m_nSize == 0) return ReadOutcome::Complete;
  FatClusterReader reader{engine_};
  const std::uint64_t clusterBytes = reader.clusterBytes();
  if (clusterBytes == 0) return ReadOutcome::Unreadable;
  // A deleted file, or one found by its signature, has no chain left to follow: its data is
  // taken as contiguous from its first cluster (after a search by sectors, its 64-bit start
  // sector). Live files follow the FAT copy in use; a chain shorter than the size leaves the
  // rest of the file unknown.
  // A deleted file is whole only where the FAT as it is now has left its clusters free.
  std::optional<engine::OwnershipCheck> check;
  if (claims_.judges(item.m_byFlags)) {
    if (!claims_.ownMapKnown()) claims_.setOwnMap(engine_.allocationMap());
    check = engine::OwnershipCheck{&claims_, engine::ClusterClaims::of(item.m_nRecordKey, item.m_nSize, item.m_byFlags)};
  }
  const engine::OwnershipCheck* owner = check ? &*check : nullptr;
  const bool noChain = (item.m_byFlags & (kItemDeleted | kItemBySignature)) != 0;
  if (noChain || engine_.linkingMode() == fs::fat::kLinkContiguous) {
    const std::uint64_t clusterCount = (item.m_nSize + clusterBytes - 1) / clusterBytes;
    return engine::streamClusters(reader, engine::ClusterList::run(item.m_nRecordKey, clusterCount), item.m_nSize, sink,
                                  owner)
        .outcome();
  }
  std::uint32_t byteCount = 0;
  const std::vector<std::uint32_t> chain =
      engine_.GetClusterList(std::uint32_t(item.m_nRecordKey), item.m_nSize, 0, byteCount);
  if (chain.empty()) return ReadOutcome::Unreadable;
  return engine::streamClusters(reader, engine::ClusterList(chain), item.m_nSize, sink, owner).outcome();
}

}  // namespace

std::unique_ptr<engine::IVolumeEngine> createFatVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks) {
  return std::make_unique<FatVolumeEngine>(state, sinks);
}

}  // namespace qelda::fat
