#include "ntfs/ntfs_volume_engine.h"

#include "ntfs/ntfs_engine.h"

namespace qelda::ntfs {
namespace {

class NtfsVolumeEngine final : public engine::IVolumeEngine {
 public:
  NtfsVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks)
      : notifier_(sinks.notifier), engine_(state, sinks) {}

  void Initialize(std::uint8_t bImageFile) override { engine_.Initialize(bImageFile); }
  void FreeAll() override { engine_.FreeAll(); }

  engine::ScanOutcome scanVolume(bool deleted) override { return engine_.ScanVolume(deleted ? 1 : 0); }
  engine::ScanOutcome scanAdvanced() override { return engine_.ScanAdvanced(); }
  // The deleted-files scan's deep branch is the advanced scan itself.
  engine::ScanOutcome scanDeletedDeep() override { return engine_.ScanAdvanced(); }
  engine::ScanOutcome scanRaw() override { return engine_.ScanRaw(); }

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

  engine::ClusterClaims* clusterClaims() override { return &engine_.claims(); }
  // Only deleted files are counted: a live file's clusters are in use in $Bitmap, and its
  // runs would cost a read of its record.
  std::optional<std::uint64_t> firstClusterOf(const FOUND_ITEM& item) override {
    if (!(item.m_byFlags & kItemDeleted)) return std::nullopt;
    return engine_.firstDataCluster(item);
  }
  std::shared_ptr<const engine::ClusterMap> dataMap() override { return engine_.allocationMap(); }
  void judgeByListedMaps(std::vector<std::shared_ptr<const engine::ClusterMap>> maps) override {
    engine_.judgeByListedMaps(std::move(maps));
  }

  std::uint32_t foundCount() const override { return engine_.foundCount(); }
  engine::ReadTally readTally() const override { return engine_.readTally(); }

  bool saveScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) override {
    return engine_.writeScanInfo(header, write);
  }
  std::uint32_t restoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                    std::u16string& cause) override {
    return engine_.RestoreFromScanInfo(header, read, notifier_ ? *notifier_ : silent_, cause);
  }

 private:
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
