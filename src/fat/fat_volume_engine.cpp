#include "fat/fat_volume_engine.h"

#include <algorithm>
#include <vector>

#include "engine/scan_state.h"
#include "fat/fat_engine.h"
#include "platform/string_table.h"
#include "volume/volume_records.h"

namespace qelda::fat {
namespace {

// Contiguous clusters are read together, up to this much at a time.
constexpr std::uint64_t kMaxReadBytes = 1u << 20;

class FatVolumeEngine final : public engine::IVolumeEngine {
 public:
  FatVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks)
      : state_(state), notifier_(sinks.notifier), engine_(state, sinks.log ? *sinks.log : nullLog_, sinks.notifier ? *sinks.notifier : nullNotifier_) {
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
    // The deleted-files scan reaches this for its deep branch: the search for directory clusters.
    const bool deleted = state_.m_nScanKind == engine::kScanDeleted || state_.m_nScanKind == engine::kScanDeletedAgain;
    engine_.ScanAdvanced(deleted ? 1 : 0);
    return outcome();
  }
  engine::ScanOutcome scanRaw() override {
    const volume::DEVICE_ENTRY* entry = state_.m_pSelectedSource;
    const volume::DRIVE_RECORD* drive = entry ? entry->m_pDetail.drive() : nullptr;
    if (drive || state_.m_bRawRangeFromVolume) {
      // A whole disk or image, or a volume's sectors: searched sector by sector over the
      // range the user set, which ends at the disk's last sector at most.
      if (state_.m_bRawRangeFromVolume)
        engine_.SetRawSearchRange(engine_.m_bImageFile, 0, 0);  // the volume record gives the range
      else if (drive->m_nSizeSectors != 0)
        engine_.SetRawSearchRange(engine_.m_bImageFile, state_.m_nRawStartSector,
                                  std::min(state_.m_nRawEndSector, drive->m_nSizeSectors - 1));
      engine_.SearchDriveForKnownTypes();
    } else {
      engine_.ScanRaw();
    }
    return outcome();
  }

  engine::ReadOutcome readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) override;
  std::uint32_t foundCount() const override { return engine_.m_nFoundCount; }

  bool applyLinkingMode(std::uint8_t mode) override {
    engine_.m_nLinkingMode = mode;
    engine_.LoadFat();
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
    if (!engine_.failure().empty())
      return {engine::ScanStatus::Failed, platform::StringTable::load(platform::strings::kNotValidVolume),
              engine_.failure()};
    return {state_.stopRequested() ? engine::ScanStatus::Stopped : engine::ScanStatus::Done, {}, {}};
  }
  engine::ScanOutcome notAvailable() {
    return engine::scanNotAvailable(notifier_);
  }

  class NullLog final : public platform::ILog {
   public:
    void AddLogEntry(std::u16string, bool) override {}
  };
  class NullNotifier final : public platform::IUserNotifier {
   public:
    void Show(std::u16string_view, std::uint32_t, std::uint32_t) override {}
  };

  engine::ScanState& state_;
  platform::IUserNotifier* notifier_;
  NullLog nullLog_;
  NullNotifier nullNotifier_;
  CFatEngine engine_;
};

engine::ReadOutcome FatVolumeEngine::readItem(const FOUND_ITEM& item, const engine::ContentSink& sink) {
  using engine::ReadOutcome;
  if (item.m_nSize == 0) return ReadOutcome::Complete;
  const std::uint64_t clusterBytes = std::uint64_t(engine_.m_nSectorsPerCluster) * 512;
  if (clusterBytes == 0) return ReadOutcome::Unreadable;
  // A deleted file, or one found by its signature, has no chain left to follow: its data is
  // taken as contiguous from its first cluster (after a search by sectors, its 64-bit start
  // sector). Live files follow the FAT copy in use.
  const bool noChain = (item.m_byFlags & (kItemDeleted | kItemBySignature)) != 0;
  const bool contiguous = noChain || engine_.m_nLinkingMode == fs::fat::kLinkContiguous;
  const std::uint64_t clusterCount = (item.m_nSize + clusterBytes - 1) / clusterBytes;
  std::vector<std::uint32_t> chain;
  if (!contiguous) {
    std::uint32_t byteCount = 0;
    chain = engine_.GetClusterList(std::uint32_t(item.m_nRecordKey), item.m_nSize, 0, byteCount);
    if (chain.empty()) return ReadOutcome::Unreadable;
  }
  const auto clusterAt = [&](std::size_t i) -> std::uint64_t { return contiguous ? item.m_nRecordKey + i : chain[i]; };
  const std::size_t count = contiguous ? std::size_t(clusterCount) : chain.size();

  const std::size_t perRead = std::size_t(std::max<std::uint64_t>(1, kMaxReadBytes / clusterBytes));
  std::vector<std::uint8_t> buffer(perRead * clusterBytes);
  std::uint64_t remaining = item.m_nSize;
  std::size_t read = 0;
  std::size_t unreadable = 0;  // clusters delivered as zeros
  for (std::size_t i = 0; i < count && remaining != 0;) {
    // A cluster outside the volume holds nothing of it: the file ends there, short of its
    // size, rather than go on as zeros.
    if (!engine_.clusterInVolume(clusterAt(i))) break;
    // The run of clusters that follow each other on disk, from cluster i on.
    std::size_t n = 1;
    while (i + n < count && n < perRead && clusterAt(i + n) == clusterAt(i) + n &&
           engine_.clusterInVolume(clusterAt(i + n)))
      ++n;
    const std::uint16_t sectors = std::uint16_t(n * engine_.m_nSectorsPerCluster);
    if (engine_.ReadClusterSectors(clusterAt(i), 0, buffer.data(), sectors)) {
      read += n;
    } else {
      // Some cluster of the run cannot be read (it may lie past the volume's end): the
      // others are still the file's, so they are read one by one.
      for (std::size_t k = 0; k < n; ++k) {
        if (engine_.ReadClusterSectors(clusterAt(i + k), 0, buffer.data() + k * clusterBytes,
                                       engine_.m_nSectorsPerCluster)) ++read;
        else ++unreadable;
      }
    }
    const std::size_t bytes = std::size_t(std::min<std::uint64_t>(remaining, n * clusterBytes));
    if (!sink(std::span<const std::uint8_t>(buffer.data(), bytes))) return ReadOutcome::Partial;
    remaining -= bytes;
    i += n;
  }
  if (read == 0) return ReadOutcome::Unreadable;
  // A chain shorter than the size leaves the rest of the file unknown.
  return unreadable != 0 || remaining != 0 ? ReadOutcome::Partial : ReadOutcome::Complete;
}

}  // namespace

std::unique_ptr<engine::IVolumeEngine> createFatVolumeEngine(engine::ScanState& state, const engine::EngineSinks& sinks) {
  return std::make_unique<FatVolumeEngine>(state, sinks);
}

}  // namespace qelda::fat
