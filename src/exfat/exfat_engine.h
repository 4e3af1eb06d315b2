// CExFatEngine: the recovery engine of exFAT volumes. It reads the volume through one
// volume-relative reader, keeps the FAT and the cluster map in work files of its own,
// walks the directory tree (or searches the heap for directory clusters) and reports what
// it finds through the platform sinks.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "carve/raw_match.h"
#include "carve/raw_sweep.h"
#include "engine/chains.h"
#include "engine/cluster_chain.h"
#include "engine/held_folders.h"
#include "engine/item_ids.h"
#include "engine/item_reporter.h"
#include "engine/raw_data_folders.h"
#include "engine/scan_state.h"
#include "engine/volume_engine.h"
#include "engine/volume_reader.h"
#include "exfat/exfat_work_files.h"
#include "fs/exfat_boot.h"
#include "fs/exfat_entries.h"
#include "fs/walk_stats.h"
#include "platform/byte_view.h"
#include "platform/found_item.h"
#include "platform/read_only_file.h"
#include "platform/sinks.h"

namespace qelda::image {
class MountedImage;
}

namespace qelda::test {
// Reaches the engines' internals for the tests.
class EngineProbe;
}

namespace qelda::exfat {

// A folder already reported: its first cluster and the id it was reported with.
struct EXFAT_FOLDER_NODE {
  EXFAT_FOLDER_NODE* next = nullptr;
  std::uint64_t key = 0;  // first cluster (the folder's m_nRecordKey)
  std::uint32_t id = 0;
  std::uint32_t reserved = 0;
  // Kept by the chain.
  EXFAT_FOLDER_NODE* prev = nullptr;
  bool removed = false;
  EXFAT_FOLDER_NODE* sameKey = nullptr;
};

// A deleted folder met by a walk, or a directory cluster found by the cluster search,
// waiting for a later pass.
struct EXFAT_DELETED_DIR_NODE {
  EXFAT_DELETED_DIR_NODE* next = nullptr;
  std::uint64_t key = 0;  // first cluster of the folder, or the cluster found
  std::uint32_t parentId = 0;
  std::uint32_t reserved1 = 0;
  std::uint32_t id = 0;
  std::uint32_t reserved2 = 0;
  std::uint32_t entryOffset = 0;  // of the folder's file entry, from the start of the directory holding it
  std::uint32_t dirCluster = 0;   // first cluster of that directory; 0 for a found cluster
  // The folder's directory length, and where the engine keeps a copy of its entry set (an
  // index into its list of such copies).
  std::uint64_t dataLength = 0;
  std::uint32_t holdingStream = 0;
  // Kept by the chain.
  EXFAT_DELETED_DIR_NODE* prev = nullptr;
  bool removed = false;
  EXFAT_DELETED_DIR_NODE* sameKey = nullptr;
};

// What Initialize takes from the selected source.
using ExFatVolumeSource = engine::VolumeGeometry;

using engine::kItemBar;
// m_nLinkingMode: chains through the FAT copy, or every file contiguous.
inline constexpr std::uint8_t kLinkChain = 0;
inline constexpr std::uint8_t kLinkContiguous = 2;
// Directories nested deeper than this are reported without being walked.
inline constexpr std::size_t kMaxWalkDepth = 2048;
// Heap searches and file reads take this much at a time (or one cluster, when larger).
inline constexpr std::uint32_t kBlockSectors = 2048;
// A walk reads its directory at most this many sectors at a time (and no further than the
// cluster), and its window holds at most a set's span and one such read.
inline constexpr std::uint32_t kWindowChunkSectors = 16;
inline constexpr std::size_t kWindowCapacity = fs::exfat::ExFatDirectoryWalk::kSetSpan + kWindowChunkSectors * 512;

class CExFatEngine : private engine::HeldSinks {
 public:
  CExFatEngine(engine::ScanState& app, const engine::EngineSinks& sinks);
  ~CExFatEngine();

  // Copies the volume's place from the selected source entry and its volume record.
  void Initialize(std::uint8_t bImageFile);
  void FreeAll();
  engine::ScanOutcome ScanVolume(std::uint32_t bDeleted);
  // The advanced scan (bDeleted 0) and the deleted-files scan's search of the free clusters
  // after a deleted-files walk (bDeleted 1).
  engine::ScanOutcome ScanAdvanced(std::uint32_t bDeleted);
  engine::ScanOutcome ScanRaw();
  // Reads sectorCount sectors from sectorInCluster of `cluster` on; refuses (0, buffer
  // zeroed) a cluster outside the heap or a run that ends past it.
  std::uint32_t ReadClusterSectors(std::uint32_t sectorCount, std::uint32_t cluster, std::uint16_t sectorInCluster,
                                   std::uint8_t* buffer);
  // The clusters of a found item as the save and preview paths take them: contiguous for
  // deleted items, items found by signature and items without a chain; otherwise as the
  // linking mode says.
  std::vector<std::uint32_t> itemClusters(const FOUND_ITEM& item);
  // A deleted file whose data followed the FAT chain: the chain the FAT still holds, when it
  // runs through clusters `map` leaves free and holds just what the size needs; else nothing.
  std::optional<std::vector<std::uint32_t>> chainOfDeleted(const FOUND_ITEM& item, const engine::ClusterMap* map);
  // The allocation bitmap as it is now, placed on the disk; null when it cannot be read whole.
  std::shared_ptr<const engine::ClusterMap> allocationMap();
  // The same of a volume not scanned: its boot sector and FAT read first.
  std::shared_ptr<const engine::ClusterMap> loadAllocationMap();
  // The absolute sector cluster 2 starts at.
  std::uint64_t firstClusterSector() const { return absoluteSectorOf(2); }
  const fs::exfat::ExFatBootParams& params() const { return params_; }
  // Scan information: the header's exFAT fields and copies of the two work files (false:
  // a cluster size the header cannot hold), and the restore instead of a scan.
  bool writeScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) const;
  std::uint32_t RestoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                    std::u16string& cause);
  // Items reported by the last scan.
  std::uint32_t foundCount() const { return m_nFoundCount; }
  engine::ReadTally readTally() const { return reader_.tally(); }
  std::uint32_t sectorsPerCluster() const { return m_nSectorsPerCluster; }
  // kLinkChain or kLinkContiguous: how the clusters of found files are taken from here on.
  void setLinkingMode(std::uint8_t mode) { m_nLinkingMode = mode; }

 private:
  friend class ::qelda::test::EngineProbe;

  // --- object, boot sector and reading ------------------------------------------------------
  // What Initialize does, from values given directly.
  void initializeVolume(std::uint8_t bImageFile, const ExFatVolumeSource& source);
  // Takes the geometry from a boot sector; 1 when it is usable (see fs::exfat::parseExFatBoot),
  // cut to the volume record's sector count.
  std::uint32_t ParseBootSector(platform::ByteView sector);
  std::uint32_t GetClusterHeapStart() const { return params_.clusterHeapOffset; }
  std::uint32_t LoadBootSectorAndFat();
  // How the last scan ended: failed when it found the volume unusable, else stopped or done.
  engine::ScanOutcome scanOutcome() const { return engine::scanEnded(app_, failure_); }

  // --- the FAT and cluster chains -------------------------------------------------------------
  void LoadFat();
  std::uint32_t VerifyFat();
  std::vector<std::uint32_t> FollowClusterChain(std::uint32_t first, std::uint32_t& byteCount);
  std::vector<std::uint32_t> GetClusterList(std::uint32_t& byteCount, std::uint32_t first, std::uint64_t size,
                                            std::uint32_t bContiguous);

  // --- the tree walk from the root ---------------------------------------------------------------
  void BuildTreeFromRoot();
  void WalkRootDirectory(std::uint32_t firstCluster);
  // A folder's directory: dataLength bytes, by its chain or (bNoChain) contiguous.
  void WalkFolder(std::uint8_t bNoChain, std::uint32_t parentId, std::uint32_t firstCluster,
                  std::uint8_t bInsideDeleted, std::uint64_t dataLength);
  // The set whose file entry lies at `offset` of a directory stream, as a found item with
  // the next id; 1 when it is a file entry set with a name.
  std::uint32_t ParseEntrySetAt(FOUND_ITEM& item, std::uint32_t offset, platform::ByteView stream,
                                std::u16string& name);
  void AddDeletedFolders();
  void WalkDeletedFolders();
  std::uint8_t IsListedFolder(std::uint64_t cluster) const { return listedFolders_.contains(cluster) ? 1 : 0; }
  std::uint8_t IsDeletedFolderQueued(std::uint64_t cluster) const { return deletedFolders_.contains(cluster) ? 1 : 0; }
  std::uint8_t RemoveDeletedFolder(std::uint64_t cluster) { return deletedFolders_.removeFirst(cluster) ? 1 : 0; }
  void ExFatPushPendingItem(const FOUND_ITEM& item, std::u16string_view name);
  void ExFatPopPendingItem();
  void FlushPendingItems();

  // --- directory-cluster search and lost folders ---------------------------------------------------
  void BuildTreeFromClusterSearch();
  void SearchDirectoryClusters();
  void FindDirectoryClusters();
  void WalkRootForDeletedSearch();
  void AddLostFolders(std::uint32_t bAsFound);
  void WalkLostFolder(std::uint32_t parentId, std::uint32_t cluster, std::uint32_t bDeleted, bool otherGeometry);
  // The found directory clusters, free in the allocation bitmap, that were written with
  // another geometry than the boot sector's (a volume formatted again with other clusters):
  // the live subfolders they name lie where this geometry puts no directory more often
  // than where it puts one, a set after the end-of-directory entry counting as one more
  // such. A cluster that tells neither way goes with the others.
  std::unordered_set<std::uint32_t> foundFoldersOfAnotherGeometry();
  // Marks in liveFileClusters_ the clusters of every live file the tree from the root
  // reaches, where the cluster map has them in use.
  void findLiveFileClusters();
  void handleLiveFileSet(const fs::exfat::ExFatEntrySet& s);

  // --- the raw scan ----------------------------------------------------------------------------
  void SearchClustersForKnownTypes();
  // Reports one file found by its signature (and its type folder when it is the first of
  // that folder); `name` is the name a length finder gave it, or null.
  void AddRawFoundFile(const std::u16string* name, const carve::RawHit& hit);

  // --- work files and the cluster map -----------------------------------------------------------
  std::uint32_t WriteFatWorkFile();
  std::uint32_t BuildClusterMap();
  // The clusters of the allocation bitmap, as many as the heap's bits need.
  std::vector<std::uint32_t> allocationBitmapClusters();
  // Streams the allocation bitmap to `take`, a bit per heap cluster in order (k: cluster
  // k + 2); `start` learns how many bitmap clusters there are, `step` how many were read.
  // False when the bitmap could not be read whole.
  bool readAllocationBitmap(const std::function<void(std::uint64_t k, bool inUse)>& take,
                            const std::function<void(std::uint64_t)>& start = {},
                            const std::function<void(std::uint64_t)>& step = {});
  void MarkClusterMap(const FOUND_ITEM& item, std::uint32_t firstCluster);
  // The cluster map's byte for a heap cluster: non-zero when allocated; 0 without a map.
  std::uint8_t clusterMapByte(std::uint32_t cluster) const;
  // Where the work files go (tests); empty: the default.
  void setWorkRoot(std::string root) { workFolder_.setRoot(std::move(root)); }
  // Tables up to this many bytes are held in memory (kWorkInMemoryBytes unless set).
  void setWorkInMemoryUpTo(std::uint64_t bytes) { workFolder_.setInMemoryUpTo(bytes); }
  const std::string& workFolder() const { return workFolder_.path(); }

  // What the walks of the last scan did.
  const fs::WalkStats& walkStats() const { return walkStats_; }
  // Why the last scan found the volume unusable; empty when it did not.
  const std::u16string& failure() const { return failure_; }

  // --- fields -------------------------------------------------------------------------------------
  std::uint8_t m_nDriveNumber = 0;
  std::uint8_t m_byFsCode = 0;
  std::uint32_t m_nNextItemId = 0;
  std::uint32_t m_nFatLength = 0;
  std::uint64_t m_nPartitionStart = 0;
  std::uint64_t m_nLastSector = 0;
  std::uint64_t m_nVolumeLength = 0;
  std::uint32_t m_nFatOffset = 0;
  std::uint32_t m_nClusterCount = 0;
  std::uint32_t m_nRootCluster = 0;
  std::uint32_t m_nClusterMapLength = 0;
  std::uint32_t m_nSectorsPerCluster = 0;
  std::uint8_t m_bAdvanced = 0;
  EXFAT_FOLDER_NODE* m_pListedFolders = nullptr;
  EXFAT_FOLDER_NODE* m_pListedFoldersTail = nullptr;
  EXFAT_DELETED_DIR_NODE* m_pDeletedFolders = nullptr;
  EXFAT_DELETED_DIR_NODE* m_pDeletedFoldersTail = nullptr;
  std::uint32_t m_nBitmapCluster = 0;
  std::uint32_t m_bClusterSearch = 0;
  WorkFile m_hFatFile;         // "exFat.dat"
  WorkFile m_hClusterMapFile;  // "ClusterMap.dat"
  std::uint8_t m_nLinkingMode = kLinkChain;
  std::uint32_t m_bDeleted = 0;
  std::uint32_t m_nFoundCount = 0;
  std::uint32_t m_nFolderCount = 0;
  std::uint32_t m_nFileCount = 0;
  std::u16string m_szImagePath;
  std::uint64_t m_nTotalSize = 0;
  std::uint8_t m_bImageFile = 0;
  std::uint32_t m_bAbsoluteSectors = 0;
  platform::IFoundItemSink* m_pConsole = nullptr;

  // How a directory's clusters are taken.
  enum class DirRead : std::uint8_t {
    Chain,       // along the FAT chain, as far as the length (or the largest directory) goes
    Contiguous,  // ceil(length / cluster bytes) clusters from the first
    Single       // the first cluster alone
  };
  // LiveFiles: the live tree read for where its files' data lies, nothing reported.
  enum class WalkRules : std::uint8_t { Root, Folder, Lost, LiveFiles };

  // One directory being walked; the stack of them walks folders in the order recursion
  // would, without putting the depth of the volume's tree on the call stack.
  struct WalkFrame {
    DirRead how = DirRead::Single;
    std::uint32_t firstCluster = 0;
    std::uint32_t cluster = 0;          // the cluster being read
    std::uint32_t sectorInCluster = 0;  // its next sector to read
    std::uint32_t clustersLeft = 0;     // clusters the directory may take after this one
    bool readAll = false;               // no bytes of the directory are left to read
    // The bytes of the directory from stream offset windowStart on: a window, never the
    // whole directory, however long it claims to be.
    std::vector<std::uint8_t> window;
    std::uint32_t windowStart = 0;
    std::optional<fs::exfat::ExFatDirectoryWalk> walk;
    std::uint32_t id = 0;           // the folder's id: the parent id of what it holds
    bool insideDeleted = false;     // everything in it counts as deleted
    // Written with another geometry: its files' data is not where this one puts it, and its
    // subfolders are not where their entries say.
    bool otherGeometry = false;
    WalkRules rules = WalkRules::Folder;
  };

  // Reading.
  bool readVolumeSectors(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t sector,
                         std::uint64_t* failedSectors = nullptr);
  bool isHeapCluster(std::uint64_t c) const { return fs::exfat::isHeapCluster(params_, c); }
  std::uint64_t clusterBytes() const { return params_.clusterBytes(); }
  // Clusters one heap-search block holds.
  std::uint32_t clustersPerBlock() const;
  std::vector<std::uint32_t> directoryClusters(std::uint32_t first, std::uint64_t dataLength, DirRead how);
  // The most clusters a directory from `first` may take: its length's, the heap's and the
  // format's bound, at least 1.
  std::uint32_t directoryClusterLimit(std::uint32_t first, std::uint64_t dataLength) const;
  // Reads the clusters into one buffer, runs of neighbours in one call each.
  std::vector<std::uint8_t> readClusters(const std::vector<std::uint32_t>& clusters, bool stepBar);
  std::optional<std::uint32_t> fatEntry(std::uint32_t cluster) const;
  // Chains through the FAT copy, and runs of neighbours in the heap.
  engine::ExFatChainSource chainSource() const { return {platform::ByteView(m_hFatFile.bytes()), params_}; }
  auto heapRun() const {
    return engine::ContiguousRun{[this](std::uint32_t c) { return isHeapCluster(c); }};
  }
  bool bootSectorTest(bool showMessage);
  // The first sector of the backup boot region when its checksum holds and the main
  // region's does not: a main boot sector whose fields were altered may still look sound.
  std::optional<std::uint64_t> backupRegionStandingIn();
  void resetScan();
  bool stopRequested() const { return app_.stopRequested(); }

  // Reporting, the one way for every path.
  engine::ItemReporter reporter() const { return reporterFor(m_pConsole); }
  void reportItem(const FOUND_ITEM& item, std::u16string_view name, bool addSize);
  // Ids 0 (the found tree's root) and 1 ("Lost folder(s)") are never given to an entry.
  std::uint32_t takeItemId() { return itemIds_.take(); }
  // The ids from here on start at `first`, never below ids already given in this scan.
  void startItemIds(std::uint32_t first) { itemIds_.startAbove(first); }
  void logItem(std::u16string_view text) { log_.AddLogEntry(std::u16string(text), false); }
  void collapseRoot();

  // Walks.
  FOUND_ITEM itemFromSet(const fs::exfat::ExFatEntrySet& s, std::uint32_t parentId, bool deleted) const;
  // popPending: the folder was pushed to the pending queue for this walk (popped again when
  // it cannot be walked).
  bool pushWalk(WalkRules rules, std::uint32_t id, std::uint32_t first, std::uint64_t dataLength, DirRead how,
                bool insideDeleted, bool popPending);
  void runWalks();
  void popFrame();
  void handleTreeSet(std::size_t frame, const fs::exfat::ExFatEntrySet& s);
  void handleLostSet(std::size_t frame, const fs::exfat::ExFatEntrySet& s);
  void queueDeletedFolder(std::size_t frame, const fs::exfat::ExFatEntrySet& s, const FOUND_ITEM& item);
  // The walk's reading of a directory: the cluster it enters (false: none, or one a walk of
  // this pass has read), the next one along its chain or run, and the next window.
  bool enterDirectoryCluster(WalkFrame& f, std::uint64_t c);
  bool nextDirectoryCluster(WalkFrame& f);
  void refillWindow(WalkFrame& f);
  void clearWalkState();

  // The raw scan's next-unit rule: the next free cluster of the heap.
  class FreeClusterRule final : public carve::IRawUnitRule {
   public:
    explicit FreeClusterRule(const CExFatEngine& engine) : engine_(engine) {}
    std::uint32_t unitBytes() const override { return std::uint32_t(engine_.clusterBytes()); }
    std::uint32_t clusterBytes() const override { return std::uint32_t(engine_.clusterBytes()); }
    std::optional<carve::RawUnit> nextUnit(std::uint64_t unit) const override;

   private:
    const CExFatEngine& engine_;
  };
  std::uint64_t absoluteSectorOf(std::uint64_t cluster) const;

  // The heap searches.
  void searchBlocks(std::uint32_t firstCluster, bool freeOnly);
  void showReadingCluster(std::uint32_t cluster);

  // The members the volume's place is kept in.
  engine::VolumePlaceSlots volumePlace();

  engine::ScanState& app_;
  engine::VolumeReader reader_;
  std::uint8_t sourceKind_ = 1;
  std::uint64_t recordSectors_ = 0;  // the volume record's sector count; 0 unknown
  std::u16string fileSystemText_;
  fs::exfat::ExFatBootParams params_;
  std::u16string failure_;

  WorkFolder workFolder_;
  engine::IndexedChain<EXFAT_FOLDER_NODE> listedFolders_{m_pListedFolders, m_pListedFoldersTail};
  engine::IndexedChain<EXFAT_DELETED_DIR_NODE> deletedFolders_{m_pDeletedFolders, m_pDeletedFoldersTail};
  std::vector<std::vector<std::uint8_t>> heldSets_;  // the entry sets of queued deleted folders
  engine::VisitedClusters directoryClustersRead_;   // clusters the walks of this pass have read
  fs::WalkStats walkStats_;
  engine::HeldFolders pendingItems_;
  std::deque<WalkFrame> walkStack_;  // a deque: frames stay put while others are pushed
  engine::VisitedClusters visited_;
  // The clusters of the live files, while the advanced scan searches the heap.
  engine::VisitedClusters liveFileClusters_;
  engine::ItemIds itemIds_{m_nNextItemId};
  // The type folders of the raw scan: 2501 files each, named by at most 15 characters of the
  // type text.
  engine::RawDataFolders rawFolders_{2501, 15};
};

// The heap's clusters as the file streamer reads them; a cluster outside the heap reads as
// a failed one.
struct ExFatClusterReader {
  CExFatEngine& engine;
  std::uint64_t clusterBytes() const { return engine.params().clusterBytes(); }
  bool hasCluster(std::uint64_t) const { return true; }
  bool readClusters(std::uint64_t first, std::uint64_t count, std::uint8_t* out) {
    return engine.ReadClusterSectors(std::uint32_t(count * engine.sectorsPerCluster()), std::uint32_t(first), 0,
                                     out) != 0;
  }
};

}  // namespace qelda::exfat
