// What the scan worker, the file reader and the application see of a volume engine. Each
// engine keeps its own operations under their own names; this is the one face they share,
// so that nothing outside the factory needs to know which engine is current.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cluster_claims.h"
#include "engine/item_reporter.h"
#include "engine/scan_image_header.h"
#include "engine/scan_progress.h"
#include "platform/found_item.h"
#include "platform/log.h"
#include "platform/sinks.h"

namespace qelda::engine {

class ScanState;

// Said where an engine has no entry for the scan kind asked of it.
inline constexpr std::u16string_view kScanNotAvailable =
    u"The volume could not be scanned: this kind of scan is not available yet.";
// Message-box look of the engines' warnings.
inline constexpr std::uint32_t kBitmapWarning = 223;
inline constexpr std::uint32_t kBitmapNotice = 225;
inline constexpr std::uint32_t kButtonsOk = 401;

// How a scan call ended.
enum class ScanStatus : std::uint8_t {
  Done,     // ran to its end (it may have found nothing)
  Stopped,  // the stop flag ended it early
  Failed    // the volume could not be scanned; the user has been told why
};

struct ScanOutcome {
  ScanStatus status = ScanStatus::Done;
  std::u16string message;  // the text shown for a failure
  std::u16string cause;    // what exactly went wrong, for a line of its own (may be empty)
  std::uint64_t unreadSectors = 0;  // sectors the scan asked for and got as zeros
};

// What an engine's reads came to: the sectors it could not read, each counted once however
// often it was asked for, and whether any sector was read at all.
struct ReadTally {
  std::uint64_t unreadSectors = 0;
  bool anyRead = false;
};

// How much of a found file could be read back.
enum class ReadOutcome : std::uint8_t {
  Complete,    // every byte up to the size was read
  Partial,     // some of it could not be read (delivered as zeros) or the data ends early
  Unreadable   // nothing of it could be found
};

// Takes the next piece of a file; false stops the read.
using ContentSink = std::function<bool(std::span<const std::uint8_t>)>;

// Scan information: an engine's tables go out as pieces in order (false: the write failed)
// and come back by exact reads in the same order (false: the file holds no more).
using TableWriter = std::function<bool(std::span<const std::uint8_t>)>;
using TableReader = std::function<bool(std::span<std::uint8_t>)>;

// Said where an engine keeps no scan information.
inline constexpr std::u16string_view kScanInfoNotSupported =
    u"Scan information cannot be saved or loaded for this file system: not supported.";

// The sinks an engine reports to; any may be null where there is nothing to tell.
struct EngineSinks {
  platform::IFoundItemSink* console = nullptr;
  platform::IScanProgress* scanDlg = nullptr;
  platform::ILog* log = nullptr;
  platform::IUserNotifier* notifier = nullptr;
};

// What an engine reports to, fixed when the engine is made: the sinks given, and where one
// was not given, one that takes everything and keeps nothing. Each engine is made from
// (ScanState&, const EngineSinks&) and holds these as its base; an engine is never copied.
class HeldSinks {
 public:
  HeldSinks(const HeldSinks&) = delete;
  HeldSinks& operator=(const HeldSinks&) = delete;

 protected:
  explicit HeldSinks(const EngineSinks& sinks);
  ~HeldSinks() = default;

  platform::ILog& log_;
  platform::IUserNotifier& notifier_;
  platform::IScanProgress& progress_;
  BlockBar blockBar_{progress_};
  // Judged once: a reporter made for every item must not ask again.
  const bool progressShown_ = showsProgress(&progress_);

  ItemReporter reporterFor(platform::IFoundItemSink* console) const {
    return ItemReporter(console, &progress_, progressShown_, &log_);
  }
};

class IVolumeEngine {
 public:
  virtual ~IVolumeEngine() = default;

  // Copies the selected source's geometry into the engine; bImageFile: the source is read
  // from the file its entry names rather than through the mounted image.
  virtual void Initialize(std::uint8_t bImageFile) = 0;
  virtual void FreeAll() = 0;

  // One call per scan kind.
  virtual ScanOutcome scanVolume(bool deleted) = 0;
  virtual ScanOutcome scanAdvanced() = 0;
  // The deleted-files scan's deep branch: each engine's search for what the deleted walk misses.
  virtual ScanOutcome scanDeletedDeep() = 0;
  virtual ScanOutcome scanRaw() = 0;

  // Streams a found item's data to `sink` in file order, contiguous clusters in one piece,
  // to its end whatever the stop flag says (only the sink ends it early): a stop falls
  // between files, where the save looks at it, so that no file comes out cut by it.
  virtual ReadOutcome readItem(const FOUND_ITEM& item, const ContentSink& sink) = 0;

  // What the engine's reads judge a file's clusters by (null: an engine that judges none).
  // Before files are read back, the save tells it where the found files start.
  virtual ClusterClaims* clusterClaims() { return nullptr; }
  // The first cluster a found file is read from, as the claims count it; nothing for a
  // folder, a file found by its signature, or one that names no cluster.
  virtual std::optional<std::uint64_t> firstClusterOf(const FOUND_ITEM& /*item*/) { return std::nullopt; }
  // The volume's allocation map as it is now, placed on the disk (absolute sectors); null
  // where it cannot be read whole. Another volume over the same sectors is judged by it.
  virtual std::shared_ptr<const ClusterMap> dataMap() { return nullptr; }
  // The maps of the volumes the partition table lists over this volume's sectors (this one
  // found by the lost-volume search): a file read from sectors they give to data is not
  // whole.
  virtual void judgeByListedMaps(std::vector<std::shared_ptr<const ClusterMap>> /*maps*/) {}

  // Items reported by the last scan (the root the console made counts as one).
  virtual std::uint32_t foundCount() const = 0;

  // What the engine's reads of its volume or disk came to so far.
  virtual ReadTally readTally() const { return {}; }

  // The FAT linking mode the settings change (0 "FAT1", 1 "FAT2", 2 "Contiguous"): an
  // engine that follows FAT chains takes it and reloads its FAT. False: not such an engine,
  // or (with the reason in whyNot) a mode this volume has nothing to link by.
  virtual bool applyLinkingMode(std::uint8_t /*mode*/, std::u16string& /*whyNot*/) { return false; }

  // After a scan: fills the header's engine fields (geometry, lengths of the tables, the
  // image-file flag and path) and hands its tables to `write`. False: nothing to save.
  virtual bool saveScanInfo(SCAN_IMAGE_HEADER& /*header*/, const TableWriter& /*write*/) { return false; }
  // Instead of a scan: takes the saved geometry and tables back, ready to read found files.
  // 1 when usable; 0 when not (the source drive is missing, which the user has been told,
  // or the tables do not fit the volume), with `cause` saying why. The header's drive byte
  // may be replaced by the drive found again.
  virtual std::uint32_t restoreFromScanInfo(SCAN_IMAGE_HEADER& /*header*/, const TableReader& /*read*/,
                                            std::u16string& cause) {
    cause = kScanInfoNotSupported;
    return 0;
  }
};

// Shows `message` as a warning (when there is a notifier) and returns the failure.
ScanOutcome failScan(platform::IUserNotifier* notifier, std::u16string message, std::u16string cause = {});
// The failure of a scan kind an engine does not have.
ScanOutcome scanNotAvailable(platform::IUserNotifier* notifier);
// How a scan of a volume ended. A failure (`failure` gives its cause) is Failed, with the
// "not a valid volume" message, even when stop was pressed too: the user is shown that
// message. `notifier` shows it; null where the engine has shown it already. Then a stop.
ScanOutcome scanEnded(const ScanState& state, const std::u16string& failure,
                      platform::IUserNotifier* notifier = nullptr);

// The engines the program has, one creator each; a null creator: no such engine here.
using EngineCreator = std::unique_ptr<IVolumeEngine> (*)(ScanState& state, const EngineSinks& sinks);
struct EngineCreators {
  EngineCreator fat = nullptr;
  EngineCreator ntfs = nullptr;
  EngineCreator exfat = nullptr;
};

enum class EngineKind : std::uint8_t { Fat, Ntfs, ExFat };

// Which engine scans the selected source with the scan kind in `state`: a whole disk is
// FAT's; a volume's file-system code picks NTFS (7, 0x86, 0x87, 0x42), exFAT (3) or FAT;
// an advanced scan takes the user's choice of file system when one is made.
EngineKind engineKindFor(const ScanState& state);

// The engine a saved scan restores into.
EngineKind engineKindOf(SavedEngine saved);

// Makes the engine of `kind`; null when the program has none for it.
std::unique_ptr<IVolumeEngine> CreateVolumeEngineOfKind(const EngineCreators& creators, EngineKind kind,
                                                        ScanState& state, const EngineSinks& sinks);
// Makes the engine `engineKindFor` names; null when the program has none for it.
std::unique_ptr<IVolumeEngine> CreateVolumeEngine(const EngineCreators& creators, ScanState& state,
                                                  const EngineSinks& sinks);

}  // namespace qelda::engine
