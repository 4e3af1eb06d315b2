// The lost-volume search: looks through a whole disk (the mounted image, or an image file
// read as a flat run of sectors) for volumes whose partition entries are gone, and appends
// every volume it finds to the source list so that it can be scanned like a listed one.
//
// The quick search probes single sectors around cylinder boundaries for boot sectors; the
// deep search reads every sector once, in large sequential blocks, and besides boot sectors
// rebuilds NTFS volumes from their $MFT record and FAT volumes from their directory
// clusters.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fs/data_runs.h"
#include "fs/mft_record.h"
#include "engine/volume_reader.h"
#include "lost/lost_state.h"
#include "platform/byte_view.h"
#include "platform/read_only_file.h"
#include "platform/sinks.h"

namespace qelda::image {
class MountedImage;
}  // namespace qelda::image
namespace qelda::volume {
struct DEVICE_ENTRY;
struct VOLUME_RECORD;
}  // namespace qelda::volume

namespace qelda::lost {

class CLostVolume;

// Kinds of the source entries a search adds.
inline constexpr std::uint8_t kKindFoundOnDisk = 2;      // by its boot sector, on the mounted disk
inline constexpr std::uint8_t kKindRebuiltOnDisk = 3;    // rebuilt from $MFT or directory clusters
inline constexpr std::uint8_t kKindFoundInImage = 11;    // the same two, in an image file
inline constexpr std::uint8_t kKindRebuiltInImage = 12;

// The progress bar the search drives: the block bar of the scan dialog.
inline constexpr int kSearchBar = 1;

// What the search asks of the application around it.
struct SearchHost {
  std::function<void()> releaseEngine;        // the current engine's FreeAll, then the engine
  std::function<void()> freeUserLists;
  std::function<void()> onOperationFinished;  // the run flags drop; the results flag is set
};

// One sector that holds the start of a FAT directory ("." then "..").
struct DIR_CLUSTER_HIT {
  std::uint64_t sector = 0;
  std::uint32_t firstCluster = 0;  // the cluster the "." entry names
  std::uint8_t clusterVote = 0;    // sectors per cluster this hit's distances point to
  bool valid = false;              // not yet taken into a group
  bool impossible = false;         // no data start fits it for the cluster size tried
  std::uint64_t dataStart = 0;     // where the data area begins if the cluster size is right
};

// A data start (with a cluster size) and how many directory clusters point to it.
struct START_CANDIDATE {
  std::uint64_t dataStart = 0;
  std::uint32_t count = 0;
  std::uint32_t sectorsPerCluster = 0;
};

// A FAT volume rebuilt from the data start its directory clusters agree on.
struct REBUILT_FAT {
  std::uint8_t fileSystem = 0;  // the FAT12, FAT16 or FAT32 code of a volume record
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;
  std::uint32_t fatSectors = 0;
  std::uint32_t reservedSectors = 0;
  std::uint16_t rootSectors = 0;
};

class CThreadForSearchVolume {
 public:
  using Clock = std::function<std::time_t()>;

  // The image path is taken from the application's resume file, as far as a source name holds.
  CThreadForSearchVolume(LostState& app, platform::IScanProgress& progress, platform::ILog& log, SearchHost host,
                         Clock clock = {});
  ~CThreadForSearchVolume();
  CThreadForSearchVolume(const CThreadForSearchVolume&) = delete;
  CThreadForSearchVolume& operator=(const CThreadForSearchVolume&) = delete;

  // Runs Run on a thread of its own; join() waits for it.
  void start();
  void join();

  // --- the search -------------------------------------------------------------------------
  void Run();
  void GetImageFileSize();

  void QuickSearch();
  void ScanForBootSectors();
  // Each test appends one entry of `kind` and returns 1 when it accepts a volume.
  std::uint32_t CheckFatBootSectorAt(platform::ByteView data, std::uint64_t s, std::uint8_t kind);
  std::uint32_t CheckNtfsBootSectorAt(platform::ByteView data, std::uint64_t s, std::uint8_t kind);
  std::uint32_t CheckExFatBootSectorAt(platform::ByteView data, std::uint64_t s, std::uint8_t kind);
  bool IsVolumeListed(std::uint8_t fileSystem, std::uint64_t start);

  void DeepSearch();
  // Fixes up `record` (a copy) and finds its data; sets m_bHasAttributeList.
  bool FindRecordDataAttribute(std::span<std::uint8_t> record, fs::ntfs::RecordData& info);
  // Clusters of the run list and the first cluster it names; 0 for a list that is not whole.
  std::uint64_t SumDataRunClusters(platform::ByteView record, const fs::ntfs::RecordData& info,
                                   std::uint64_t& firstCluster) const;
  std::uint64_t GetDataAllocatedSize(platform::ByteView record) const;
  bool ResolveFragmentedMft(std::span<const std::uint8_t> record, const fs::ntfs::RecordData& info,
                            std::uint64_t recordSector, std::uint64_t allocatedSize);
  std::vector<std::uint32_t> GetAttributeListRecords(platform::ByteView record);
  std::vector<fs::ntfs::Extent> DecodeRunList(platform::ByteView record, const fs::ntfs::AttributeRef& list) const;
  std::vector<std::uint32_t> ParseAttributeListBlock(platform::ByteView block) const;
  std::uint64_t AppendDataRuns(platform::ByteView record, const fs::ntfs::RecordData& info,
                               std::vector<fs::ntfs::RunEntry>& table) const;
  // The sector (from the volume start) of MFT record n, and in `second` where its second
  // half lies when the record straddles two runs (0 when it does not); nothing when the
  // runs do not reach it.
  std::optional<std::uint64_t> MapMftRecordToSector(std::uint32_t n, std::uint64_t& second) const;
  // The sector (from the volume start) of $MFT's sector `target`; nothing in a hole or past
  // the runs. `second`, when given, takes where the sector after it lies when `target` is
  // the last sector of its run (left as it is otherwise).
  std::optional<std::uint64_t> mftSectorOnVolume(std::uint64_t target, std::uint64_t* second) const;

  std::uint8_t EstimateClusterSize(std::size_t count);
  void FindFatVolumesFromDirectories(std::uint64_t totalSectors, std::uint32_t& counter, std::uint8_t kind);

  // --- the thread's fields ----------------------------------------------------------------
  CLostVolume* m_pDialog = nullptr;
  std::uint8_t m_byDrive = 0;
  std::uint8_t m_bDeepSearch = 0;
  std::uint64_t m_nTotalSectors = 0;
  std::uint8_t m_nSearchKind = 0;                       // 0 the mounted disk, else the image file
  std::u16string m_szImagePath;
  std::uint8_t m_byClusterVote = 0;
  std::uint8_t m_bHasAttributeList = 0;
  std::vector<DIR_CLUSTER_HIT> m_pGroupTable;
  std::uint16_t m_wSectorsPerCluster = 0;
  std::uint64_t m_nVolumeStart = 0;
  std::uint64_t m_nMftSectors = 0;
  std::vector<fs::ntfs::RunEntry> m_pRunTable;

 private:
  // --- reading, reporting, progress (search_volume.cpp) --------------------------------
  // Reads through the mounted disk or the image file; always leaves the buffer filled
  // (zeros where nothing could be read).
  void readSectors(std::uint8_t* buffer, std::uint64_t sector, std::uint32_t count);
  void beginSearch();
  // "Process completed" or, after a stop, "Process aborted" with the time.
  void logSearchEnd();
  // The bar at its end; the bar, the label and the Stop button hidden.
  void hideSearchProgress(std::uint64_t progressMax);
  // The label and the bar for one step of a search loop; true when the user asked to stop.
  bool progressStep(std::uint64_t sector);
  bool stopRequested() const { return app_.stopRequested(); }
  std::uint8_t kindFound() const { return m_nSearchKind == 0 ? kKindFoundOnDisk : kKindFoundInImage; }
  std::uint8_t kindRebuilt() const { return m_nSearchKind == 0 ? kKindRebuiltOnDisk : kKindRebuiltInImage; }
  // A new entry of `kind` at the end of the source list, with its volume record.
  volume::VOLUME_RECORD& appendVolume(std::uint8_t kind);
  // Counts, logs, names and shows the volume just appended.
  void reportVolume(bool rebuilt);
  // A volume cannot reach past the disk's end. lastPastEnd: the record's last sector is one
  // past its count (NTFS keeps its backup boot sector there). A cut is said when the volume
  // is reported.
  void clampToDisk(volume::VOLUME_RECORD& record, bool lastPastEnd);
  // True when an entry of a search at `start`, on the disk searched now, satisfies `match`.
  bool anyListedAt(std::uint64_t start,
                   const std::function<bool(const volume::DEVICE_ENTRY&, const volume::VOLUME_RECORD&)>& match);
  // Takes the entries appended since the last call into the indexes below. Each entry is
  // looked at once, so a search that finds thousands of volumes stays linear.
  void indexListedVolumes();
  // The FAT copies in front of a listed FAT volume's data area: one when the volume's boot
  // sector says so and gives the record's geometry, else two.
  std::uint64_t listedFatCopies(const volume::VOLUME_RECORD& v);
  // True when a FAT volume of a search on this disk has its data area at `dataStart` with
  // clusters of `sectorsPerCluster` sectors.
  bool fatDataAreaListed(std::uint64_t dataStart, std::uint32_t sectorsPerCluster);

  // --- the candidate tests (quick_search.cpp) ------------------------------------------
  // Picks the test by the OEM name; withNtfs false leaves only FAT and exFAT.
  std::uint32_t testCandidate(platform::ByteView data, std::uint64_t s, bool withNtfs = true);
  // Sector x holds $MFT's own record.
  bool isMftRecordAt(std::uint64_t x);
  bool sectorStartsFat(std::uint64_t sector);
  bool probePass(std::uint64_t first, std::uint64_t step, std::uint8_t* a, std::uint8_t* b, std::uint8_t* c);

  // --- the deep search (deep_search.cpp) -----------------------------------------------
  void examineSector(const std::uint8_t* chunk, std::size_t i, std::uint64_t sector);
  // `nextRecord`: the record after it, as long, read from the same block.
  void rebuildFromMftRecord(std::span<const std::uint8_t> recordBytes, std::span<const std::uint8_t> nextRecord,
                            std::uint64_t r);
  // The first cluster of the data of a record named `name`; nothing for another record, a
  // resident one or one whose runs are not whole.
  std::optional<std::uint64_t> firstDataCluster(std::span<const std::uint8_t> recordBytes, std::u16string_view name) const;
  // True when the $MFT record at sector r, which places its volume at v with clusters of spc
  // sectors, is $MFTMirr's copy of it.
  bool isMirrorCopy(std::span<const std::uint8_t> nextRecord, std::uint64_t r, std::uint64_t v, std::uint64_t spc);
  void readMftRecord(std::uint64_t sector, std::uint64_t second, std::span<std::uint8_t> out);
  // Record n of a $MFT whose records are out.size() (2048 or 4096) bytes, each sector where
  // the runs place it; false when one of them has no place.
  bool readLargeMftRecord(std::uint32_t n, std::span<std::uint8_t> out);

  // --- FAT volumes from directory clusters (fat_rebuild.cpp) ---------------------------
  void analyseDirectoryClusters();
  // The nearest sector at or below `from`, at most `limit` sectors down and never below
  // sector 0, that starts with the FAT signature.
  std::optional<std::uint64_t> findFatBackward(std::uint64_t from, std::uint64_t limit);
  bool hasFatSignature(std::uint64_t sector);
  bool rebuiltVolumeListed(std::uint8_t kind, std::uint64_t start, std::uint8_t code, std::uint32_t fatSectors);
  // The nearest FAT signature in front of `dataStart`, with the bar and the label of
  // verifying volume number `counter` shown meanwhile.
  std::optional<std::uint64_t> findFatInFrontOf(std::uint64_t dataStart, std::uint32_t counter);
  // Appends, clamps and reports `volume` with the directory clusters of the group.
  void appendRebuiltFat(std::uint8_t kind, const REBUILT_FAT& volume, const std::vector<std::uint32_t>& clusters);

  LostState& app_;
  platform::IScanProgress& progress_;
  platform::ILog& log_;
  SearchHost host_;
  Clock clock_;
  engine::VolumeReader reader_;  // the snapshot or the image file, read for the whole search
  std::vector<DIR_CLUSTER_HIT> hits_;
  // Sectors of the deep pass that start with the FAT signature, in disk order; the
  // backward FAT search looks here instead of reading again. Capped: past the cap the
  // search reads the disk.
  std::vector<std::uint64_t> fatSignatures_;
  std::uint64_t fatSignaturesUpTo_ = 0;  // the index holds every such sector below this
  bool fatSignaturesCapped_ = false;
  // The search's volumes on this disk, by start, and where the FAT ones keep their data
  // (data start, sectors per cluster). Rebuilt at every search from the source list.
  std::unordered_multimap<std::uint64_t, const volume::DEVICE_ENTRY*> listedByStart_;
  std::set<std::pair<std::uint64_t, std::uint32_t>> listedFatDataAreas_;
  const volume::DEVICE_ENTRY* indexedUpTo_ = nullptr;  // the last entry indexed; null: none yet
  // The sectors the volume being appended claimed before clampToDisk cut it to the disk.
  std::optional<std::uint64_t> claimedPastEnd_;
  std::thread thread_;
};

}  // namespace qelda::lost
