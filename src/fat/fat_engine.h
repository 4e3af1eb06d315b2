// CFatEngine: the recovery engine of FAT12, FAT16 and FAT32 volumes. It reads the volume
// through one volume-relative reader, loads the FAT copy it trusts, walks the directory
// tree and reports what it finds through the platform sinks.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs/fat_boot.h"
#include "fs/fat_dir_entry.h"
#include "fs/fat_geometry.h"
#include "carve/raw_match.h"
#include "carve/raw_sweep.h"
#include "engine/chains.h"
#include "engine/cluster_chain.h"
#include "engine/held_folders.h"
#include "engine/item_ids.h"
#include "fat/fat_dir_nodes.h"
#include "fs/fat_layout.h"
#include "fs/fat_table.h"
#include "fs/walk_stats.h"
#include "engine/item_reporter.h"
#include "engine/raw_data_folders.h"
#include "platform/byte_view.h"
#include "platform/found_item.h"
#include "platform/read_only_file.h"
#include "platform/sinks.h"
#include "engine/scan_state.h"
#include "engine/volume_engine.h"
#include "engine/volume_reader.h"
#include "image/mounted_image.h"

namespace qelda::test {
// Reaches the engines' internals for the tests.
class EngineProbe;
}

namespace qelda::fat {

using engine::IndexedChain;
using engine::ItemReporter;
using engine::VisitedClusters;

// What Initialize copies from the selected source: the volume's place and size on the
// source, where its sectors are read from and, for a volume the lost-volume search rebuilt
// from directory clusters, its parameters and the directory clusters it was found from.
using FatVolumeSource = engine::VolumeGeometry;

// Source kinds of volumes the lost-volume search rebuilt from directory clusters (on the
// mounted image, and on an image file); both carry their parameters in their records.
inline constexpr std::uint8_t kSourceRebuiltVolume = 3;
inline constexpr std::uint8_t kSourceRebuiltImageVolume = 12;

class CFatEngine : private engine::HeldSinks {
 public:
  CFatEngine(engine::ScanState& app, const engine::EngineSinks& sinks);

  // Copies the volume's geometry from the selected source entry and its volume record.
  void Initialize(std::uint8_t bImageFile);
  void FreeAll();
  engine::ScanOutcome ScanVolume(std::uint32_t bDeleted);
  // The advanced scan (bDeleted 0) and the deleted-files scan's search of the data area for
  // directory clusters (bDeleted 1).
  engine::ScanOutcome ScanAdvanced(std::uint32_t bDeleted);
  // How the last scan ended: failed when it found the volume unusable, else stopped or done.
  engine::ScanOutcome scanOutcome() const { return engine::scanEnded(app_, failure_); }
  // A volume's raw scan: over its free clusters when its geometry is usable, else over its
  // sectors. Nothing for a volume the list names NTFS.
  engine::ScanOutcome ScanRaw();
  // The sector range of a search by sectors (inclusive end). A reversed range searches nothing.
  void SetRawSearchRange(std::uint8_t bImageFile, std::uint64_t start, std::uint64_t end);
  void SearchDriveForKnownTypes();
  std::uint32_t LoadFat();
  // The cluster exists and lies wholly inside the volume (always, when reading absolute
  // sectors): what ReadClusterSectors reads rather than refuses.
  bool clusterInVolume(std::uint64_t cluster) const { return sectorsInVolume(cluster, 0, m_nSectorsPerCluster); }
  std::uint32_t ReadClusterSectors(std::uint64_t cluster, std::uint16_t sectorInCluster, std::uint8_t* buffer,
                                   std::uint16_t sectorCount);
  std::vector<std::uint32_t> GetClusterList(std::uint32_t first, std::uint64_t size, std::uint32_t mode,
                                            std::uint32_t& byteCount);
  // Scan information: the header's FAT fields and the tables after it (false: no cluster
  // size, so nothing found could be read back), and the restore instead of a scan.
  bool writeScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) const;
  std::uint32_t RestoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                    std::u16string& cause);
  // Items reported by the last scan.
  std::uint32_t foundCount() const { return m_nFoundCount; }
  engine::ReadTally readTally() const { return reader_.tally(); }
  std::uint8_t imageFile() const { return m_bImageFile; }
  std::uint8_t sectorsPerCluster() const { return m_nSectorsPerCluster; }
  std::uint8_t linkingMode() const { return m_nLinkingMode; }
  // Takes effect with the next LoadFat.
  void setLinkingMode(std::uint8_t mode) { m_nLinkingMode = mode; }
  // The FAT as it is now as a map of the clusters it gives to files, placed on the disk;
  // null when no FAT is held.
  std::shared_ptr<const engine::ClusterMap> allocationMap() const;
  // The same of a volume not scanned: its boot sector and FAT read first. Null for a volume
  // the lost-volume search rebuilt, or one whose boot sector or FAT cannot be read.
  std::shared_ptr<const engine::ClusterMap> loadAllocationMap();
  // The absolute sector cluster 2 starts at.
  std::uint64_t firstClusterSector() const { return m_nPartitionStart + systemSectorCount(); }
  // A volume of one FAT copy has no second one to link by.
  bool hasSecondFat() const { return m_nFatCount == 2; }

 private:
  friend class ::qelda::test::EngineProbe;

  // --- set-up and reading ----------------------------------------------------------------------
  // What Initialize does, from values given directly.
  void initializeVolume(std::uint8_t bImageFile, const FatVolumeSource& source);
  bool sectorsInVolume(std::uint64_t cluster, std::uint64_t sectorInCluster, std::uint64_t sectorCount) const;
  std::vector<std::uint32_t> FollowClusterChain(std::uint32_t first, std::uint32_t& byteCount);

  // --- geometry, chains and the cluster map ---------------------------------------------------
  void FatCopyBootParams(const fs::fat::FatBootParams& info);
  std::uint32_t FatIsListedFolder(std::uint64_t key) const { return listedFolders_.contains(key) ? 1 : 0; }
  std::uint32_t FatIsPendingDir(std::uint64_t key) const { return pendingDirs_.contains(key) ? 1 : 0; }
  std::uint32_t FatRemovePendingDir(std::uint64_t key) { return pendingDirs_.removeFirst(key) ? 1 : 0; }
  std::uint32_t FatRemoveOrphanDir(std::uint64_t key) { return orphanDirs_.removeFirst(key) ? 1 : 0; }
  const std::uint8_t* FatBuildClusterMap();
  const std::uint8_t* FatMarkUsedClusters();
  void MarkItemClusters(std::uint32_t first, const FOUND_ITEM* record, std::uint8_t bFirstOnly);
  void FatMarkClusterListed(std::uint32_t cluster);

  // --- FAT copies ------------------------------------------------------------------------------
  std::uint32_t FatCheckFatSignatures();
  // Compares the copies as they are read, FAT1 landing in `fat1` (the FAT to use when they
  // agree); 1 when identical, else 0 with the first sector that differs.
  std::uint32_t FatCompareFats(std::vector<std::uint8_t>& fat1, std::uint32_t& firstMismatch);
  std::uint32_t FatVerifyFat(std::uint32_t startOffset, std::uint8_t copy);
  void FatVerifyFats();

  // --- directory entries -----------------------------------------------------------------------
  // `site`: whether the entry lies in a folder or in a cluster being judged as one.
  std::uint8_t FatValidateDirEntry(std::uint32_t* repairedCluster, platform::ByteView entry, std::uint32_t maxCluster,
                                   fs::fat::EntrySite site);
  // Judges the entry as unknown data: it decides where a folder's entries begin.
  std::uint8_t FatCheckDirEntry(platform::ByteView entry, std::uint32_t maxCluster);
  // emptyFiles: the entry of an empty file (no cluster, size 0) that passes the checks makes an
  // item too, its key 0.
  std::uint32_t FatMakeEntryName(std::size_t entryOffset, fs::fat::EntryName& nameOut, platform::ByteView buffer,
                                 FOUND_ITEM& item, std::uint32_t previousCluster, std::uint32_t clusterHint,
                                 std::uint8_t strict, bool emptyFiles = false);
  // An entry of a folder that the checks accept; with emptyFiles, also the entry of an empty
  // file that passes them but for its missing cluster.
  bool entryTaken(platform::ByteView entry, bool emptyFiles);
  bool isCheckedEmptyFile(platform::ByteView entry) const;

  // --- the raw search: files found by their signatures --------------------------------------------
  void ScanRawVolume();
  void FatRawSearch();
  void SearchClustersForKnownTypes();
  // Reports a file found by its signature (start: its sector or first cluster) in the folder of
  // its type.
  void AddRawFoundFile(std::u16string_view finderName, std::u16string_view typeText, std::uint64_t start,
                       std::uint64_t size, std::uint64_t modified);
  // The signature search inside the advanced scan: on when the user chose file types for it.
  bool rawSearchInsideScan() const;
  // Sets it up (or, when off, leaves it off) before the clusters are swept.
  void startRawSearchInsideScan();
  // Matches the cluster whose first sector is given (clusters come in ascending order) and
  // keeps what it finds for AddRawDataFolders; nothing inside a file kept before is matched.
  void keepRawMatch(std::uint32_t c, std::span<const std::uint8_t, 512> firstSector);
  // The cluster after the last one the files kept so far cover.
  std::uint64_t rawCoveredUntil() const { return rawFinds_ ? rawFinds_->skipUntil() : 0; }
  // Reports what the signature search inside the advanced scan kept, under a folder "Raw Data
  // Folder(s)" at the root, one folder per type below it.
  void AddRawDataFolders();
  // Reports a found file (named by its key, or by a finder's name) in the folder of its type
  // under parentId, a new folder first.
  void reportRawFile(std::u16string_view typeText, std::uint64_t key, std::uint64_t size, std::uint64_t modified,
                     std::u16string_view finderName, std::uint32_t parentId, std::uint64_t itemRange);

  // --- volume parameters when the boot sector cannot give them ----------------------------------
  // Collects sectors that start directory clusters and rebuilds the geometry from them;
  // nonzero when parameters were found.
  std::uint32_t FatSearchCriticalInfo();
  std::uint32_t FatRebuildParameters();
  // The sectors that start directory clusters, from the volume start, into m_pDirCandidates:
  // up to 50, or 2 once past the first quarter of the volume.
  void collectDirFinds();
  // When most directory clusters found lie where another geometry than the one in use puts
  // the clusters their "." entries name (the volume was formatted again with other clusters,
  // say), and the volume in use holds nothing of its own, the volume is read with the
  // cluster size and data start they agree on, each file as one run from its first cluster:
  // the FAT of the volume they belong to is gone. When the volume in use holds files or
  // folders too, its geometry stays, and the files found outside its tree are not read
  // unless their folder lies where only that geometry puts it (geometryUnknownAt).
  void takeGeometryOfDirectoryFinds();
  // The FAT in use holds a cluster of a file or folder (a FAT32 root's first cluster aside).
  bool fatHoldsFiles() const;
  // Whether records of the volume in use fit its geometry where they would not fit the other
  // one (its data start and cluster size given): a folder found where the geometry in use
  // puts the cluster its "." entry names and the other does not, or a root directory that
  // holds entries of files or folders, live or deleted. Such a volume keeps its geometry.
  bool ownRecordsFit(std::uint64_t otherDataStart, std::uint32_t otherClusterSectors);
  bool rootHoldsEntries();
  // The boot sector's own layout (or its backup's), read beside whatever geometry is in use:
  // which clusters its FAT gives to files, FAT sectors read as the finds ask for them.
  struct BootClaims {
    fs::fat::FatBootParams params;
    std::uint64_t dataStart = 0;
    std::uint64_t bound = 0;  // one past its last data cluster
    std::uint64_t blockFirst = UINT64_MAX;  // the FAT block held, in blocks from the FAT's start
    std::vector<std::uint8_t> block;
  };
  // Nothing for a rebuilt volume, or when neither boot sector is usable or the FAT it gives
  // has no media signature.
  std::optional<BootClaims> readBootClaims();
  // The directory-start sector at `sector` lies in a cluster the boot sector's FAT gives to a
  // file or folder, and is not the start of the folder its "." entry names: it is file data.
  bool liesInFileData(BootClaims& boot, std::uint64_t sector, platform::ByteView bytes);
  // Whether the files of a directory found at `cluster`, whose "." entry names it, have a
  // geometry that cannot be told: the other geometry found puts that cluster at the same
  // sector. False outside the passes that mark files.
  bool geometryUnknownAt(std::uint32_t cluster) const;
  std::uint32_t PrepareVolumeParameters();
  void FatScanAdvancedBody();

  // --- tree walks and passes ---------------------------------------------------------------------
  void BuildDirectoryTree();
  void FatBuildTree();
  void FatRunTreePasses();
  void FatWalkAdvancedRoot();
  void FatSearchDirClusters();
  void FatAddLostFolders();
  void FatBuildTreeFromDirList();
  void WalkFixedRootDirectory();
  void WalkRootDirectoryChain(std::uint32_t rootCluster);
  void AddDeletedDirectories();
  void FatAddDeletedEntries(std::uint32_t mode);
  // depth: of the folder walked (1 for a folder of the root).
  void FatWalkDirectory(std::uint32_t parentId, std::uint32_t firstCluster, std::uint8_t bDeleted, std::uint32_t mode,
                        std::uint32_t depth = 1);
  void FatWalkDeletedDirectory(std::uint32_t parentId, std::uint32_t cluster, std::uint32_t mode);
  // Files of FAT chains no reported item owns, and free clusters that hold directory entries.
  void AddRootAndBrokenEntries();
  void AddFixedRootFiles();
  void AddOrphanRootChains();
  bool FatLooksLikeRoot(std::uint32_t cluster);
  void AddOrphanRootChain(std::uint32_t cluster, std::uint8_t bDeleted);
  std::uint32_t AddClusterDirectory(std::uint32_t cluster, std::uint32_t bound, std::uint8_t bBroken,
                                    std::uint8_t bDeleted);
  void AddBrokenEntries();
  // The deleted-files scan's search of the data area for directory clusters.
  void SearchDirectoryClusters();
  void BuildDeletedTree();
  void PlaceFoundDirectories();
  void AddFoundDirectoryFiles(platform::ByteView buffer, FOUND_ITEM record);

  void PushPendingItem(const FOUND_ITEM& record, std::u16string_view name);
  void DropPendingItem();
  void FlushPendingItems();
  std::size_t pendingItemCount() const { return pendingItems_.size(); }
  // Why the last scan found the volume unusable; empty when it did not.
  const std::u16string& failure() const { return failure_; }
  // What the walks of the last scan did.
  const fs::WalkStats& walkStats() const { return walkStats_; }

  // --- fields -------------------------------------------------------------------------------------
  std::uint32_t m_nClusterMapSize = 0;
  std::vector<fs::fat::DirFind> m_pDirCandidates;  // sectors that start directory clusters (parameter rebuild)
  bool dirFindsCollected_ = false;                 // this scan collected m_pDirCandidates
  std::vector<std::uint8_t> m_pClusterMap;  // 0 free, 1 used in the FAT, 2 owned by a reported item; empty: none
  std::uint32_t m_nMaxCluster = 0;
  std::uint8_t m_nDriveNumber = 0;
  std::uint8_t m_nSectorsPerCluster = 0;
  std::uint8_t m_nFatType = 0;
  std::vector<std::uint8_t> m_pFat;  // m_nSectorsPerFat * 512 bytes; empty: no FAT loaded
  std::uint32_t m_nNextItemId = 0;
  std::uint32_t m_nSectorsPerFat = 0;
  std::uint8_t m_nFatCount = 2;  // FAT copies in front of the data area: 1 or 2
  std::uint32_t m_nRootCluster = 0;
  std::uint64_t m_nPartitionStart = 0;
  std::uint64_t m_nLastSector = 0;
  std::uint64_t m_nTotalSectors = 0;
  std::uint32_t m_nRootDirSectors = 0;
  std::uint32_t m_nReservedSectors = 0;
  DirNode* m_pListedFolders = nullptr;
  DirNode* m_pListedFoldersTail = nullptr;
  PENDING_DIR_NODE* m_pPendingDirs = nullptr;
  PENDING_DIR_NODE* m_pPendingDirsTail = nullptr;
  DirNode* m_pOrphanDirs = nullptr;
  DirNode* m_pOrphanDirsTail = nullptr;
  std::uint8_t m_bAdvanced = 0;
  std::uint32_t m_bLostPass = 0;
  std::uint32_t m_bDeleted = 0;
  std::uint32_t m_nFoundCount = 0;
  std::uint32_t m_nFolderCount = 0;
  std::uint32_t m_nFileCount = 0;
  std::u16string m_szImagePath;
  std::uint64_t m_nTotalSize = 0;
  std::uint8_t m_nLinkingMode = 0;
  std::uint8_t m_bImageFile = 0;
  std::uint32_t m_bAbsoluteSectors = 0;
  std::unique_ptr<carve::RAW_READ_CONTEXT> m_pRawSearch;  // the raw search's reading context
  platform::IFoundItemSink* m_pConsole = nullptr;

  // One directory being walked: the explicit stack keeps the order a recursive walk has.
  struct WalkFrame {
    // Where the directory goes on: the next cluster to read, if any. A frame holds its
    // place in the chain, never the chain, so that deep trees over long chains cost one
    // cluster of memory per level.
    std::optional<std::uint32_t> nextCluster;
    bool followsChain = false;       // the directory's clusters follow the FAT (a live directory's)
    std::uint32_t clustersRead = 0;
    std::uint32_t depth = 1;         // of the directory: 1 for a folder of the root
    std::vector<std::uint8_t> data;  // the directory data being parsed
    std::size_t nextEntry = 0;
    bool active = false;     // data holds a buffer being parsed
    bool singleBuffer = false;  // a deleted directory's one cluster: parsed once, from nextEntry
    FOUND_ITEM record;       // parent id and the parent's deleted bit
    std::uint32_t previousCluster = 0xFFFFFFFF;
    std::uint32_t bufferCluster = 0;
    std::uint8_t noClusterMarks = 0;
    std::uint32_t foundBefore = 0;  // items reported when the current cluster was started
  };

  // Volume-relative reads: the one place the partition start is added.
  bool readVolumeSectors(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t sector);
  bool readFirstSector(std::uint32_t cluster, std::uint8_t* sector512);
  std::uint64_t systemSectorCount() const;
  // Where the fixed root directory starts: after the reserved sectors and the FAT copies.
  std::uint64_t fixedRootStart() const;
  std::uint64_t dataSectorCount() const;
  std::uint64_t dataBound() const;
  bool fatInUse() const { return m_nLinkingMode != fs::fat::kLinkContiguous && !m_pFat.empty(); }
  fs::fat::FatTable fatTable() const { return fs::fat::FatTable(m_pFat, m_nFatType); }
  std::uint32_t bytesPerCluster() const { return std::uint32_t(m_nSectorsPerCluster) * 512; }
  // Asked of every directory entry: kept inline.
  bool stopRequested() const { return app_.m_bStopRequested.load(std::memory_order_relaxed) != 0; }
  void setClusterBoundFromFat();

  // Reporting, as every engine reports; with a flush the held-back folders go first.
  engine::ItemReporter reporter() const;
  // The reporter of every found item: built again only when the sinks change, not per item.
  engine::ItemReporter& itemReporter();
  void reportItem(const FOUND_ITEM& record, std::u16string_view name, bool withFlush,
                  std::uint64_t itemRange = engine::kDefaultItemRange);

  // Log lines.
  void logSection(std::u16string_view text);
  void logItem(std::u16string_view text);
  void logStarted(std::u16string_view section);
  void logFinished();

  // The walk machine.
  // held: the folder was held in the pending-items queue for this walk (let go when it
  // cannot be walked).
  bool pushDirectoryFrame(std::uint32_t parentId, std::uint32_t firstCluster, bool deleted, std::uint32_t mode,
                          bool held, std::uint32_t depth);
  // The depth of a folder met by the walk under way (1 outside any walk: a root folder's).
  std::uint32_t childDepth() const { return walkStack_.empty() ? 1 : walkStack_.back().depth + 1; }
  // The depth a listed folder was placed at; 1 when it is not known.
  std::uint32_t listedDepth(std::uint64_t key) const;
  void runWalks();
  bool loadNextBuffer(WalkFrame& f);
  void popFrame();
  void processDirectoryEntry(std::size_t frameIndex, std::size_t offset);
  // The entry rules: report, hold back or queue an entry; may push a walk of a folder.
  // Returns true when the item was reported.
  bool applyEntryRules(FOUND_ITEM& record, std::u16string_view name, std::uint32_t entryOffset,
                       std::uint32_t bufferCluster, std::uint32_t previousCluster, std::uint8_t walkMarks,
                       bool parentDeleted);
  void endWithInvalidVolume(std::u16string_view why);
  // Ends the scan as one of an invalid volume when the boot sector gives sectors that make
  // its clusters larger than a cluster read here can be (true then). A rebuilt volume's
  // record is read as it stands.
  bool refusesSectorSize();
  void runVolumeScan(std::uint32_t bDeleted);
  // Per-scan state: flags, chains and queues emptied.
  void beginScan(std::uint32_t bDeleted, std::uint8_t advanced);
  bool isRebuiltVolume() const {
    return sourceKind_ == kSourceRebuiltVolume || sourceKind_ == kSourceRebuiltImageVolume;
  }
  // The boot sector, then the backup at sector 6, judged as the scans judge them; the
  // geometry of the last one read is taken. False when neither passes.
  // rawScan: the raw scan's judgement, which does not weigh the FAT's size against the volume.
  bool takeBootParameters(bool rawScan = false);
  // The FAT copies the boot sector (or its backup) gives when it agrees with the geometry in
  // use: scan information keeps no count of them. Two when none agrees.
  std::uint8_t bootSectorFatCount();
  // The parameters a rebuilt volume's record carries; false when they describe no FAT volume.
  bool takeRebuiltVolumeParameters();
  void setClusterBound();
  // After a rebuild: the fields of a usable boot sector that puts the data area at the
  // rebuilt place with the rebuilt cluster size replace the rebuilt ones.
  void adoptAgreeingBootSector();
  void walkRoot();
  // The fixed root's entries up to its end that pass the checks and make an item (with
  // emptyFiles, empty files too, as the tree walks take them).
  void forEachFixedRootItem(
      const std::function<void(FOUND_ITEM& record, std::u16string_view name, std::size_t offset)>& take,
      bool emptyFiles = false);
  // The entries of a chain's clusters that pass the checks and make an item, handed to a
  // taker that says whether it reported the item. isRoot: the root's chain, which a
  // sub-directory's cluster or an end mark ends (elsewhere they end one cluster only), and
  // whose clusters step the item bar, and whose empty files are taken as the walks take
  // them. deleted: the items are marked deleted.
  using ChainItemTaker = std::function<bool(FOUND_ITEM& record, std::u16string_view name, std::uint32_t offset,
                                            std::uint32_t cluster, std::uint32_t previousCluster)>;
  void forEachChainItem(std::uint32_t first, bool isRoot, std::uint8_t deleted, const ChainItemTaker& take);
  // The tree passes' second half: deleted folders, folders whose parent is unknown, deleted
  // folders met meanwhile; then the root's files and the free clusters that hold entries.
  void runFolderPasses();
  void finishTree();
  // Folders the engine names itself: by a cluster number, "Lost folder(s)".
  void reportMadeUpFolder(std::uint64_t key, std::uint32_t id, std::uint32_t parentId, std::u16string_view name,
                          bool deleted);
  std::uint32_t lostFolderId();  // reports "Lost folder(s)" the first time
  // A folder found by its cluster is deleted when the FAT holds that cluster free.
  bool fatSaysFree(std::uint32_t cluster) const;
  // Listed folders: the chain, and the id of the first folder listed under each key.
  void listFolder(std::uint64_t key, std::uint32_t id, std::uint32_t flag = 0, std::uint32_t depth = 0);
  void clearListedFolders();
  // A directory cluster whose ".." names the root, found by a sweep or listed in a rebuilt
  // volume's record: reported under the root, named by its cluster, and walked.
  void placeRootChild(std::uint32_t cluster, bool deleted);
  // A directory whose parent folder has not been reported: under the folder listed for its
  // parent, else under a folder made up for the parent in "Lost folder(s)", or (a circle of
  // lost folders) right in "Lost folder(s)".
  void placeOrphan(std::uint32_t cluster, std::uint32_t parentCluster, bool underLostFolder);
  // False when the sweep of the data area saw that cluster c cannot hold directory entries.
  bool mayHoldEntries(std::uint32_t c) const;
  // A directory found by the directory-cluster search, reported under parentId.
  void placeFoundDirectory(PENDING_DIR_NODE& node, std::uint32_t parentId);

  // Sequential reading of the data area: blocks of whole clusters, 1 MiB at a time, never
  // past the data area's end.
  struct ClusterBlock {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> bytes;
  };
  std::uint32_t clustersPerBlock() const;
  void readClusterBlock(ClusterBlock& block, std::uint32_t first);
  // Cluster c from the block, reading the block that starts at c when c is not in it.
  platform::ByteView heldCluster(ClusterBlock& block, std::uint32_t c);

  std::vector<std::uint8_t> readDirectoryTail(std::uint32_t previousCluster);
  // The fixed root directory's sectors that lie inside the volume.
  std::vector<std::uint8_t> readFixedRoot();
  // FAT copies: the sectors of one copy that lie inside the volume (at most the FAT's size),
  // and a block of a copy read with each sector's success (sectors outside the volume fail).
  std::uint64_t fatSectorsInVolume() const;
  void readFatSectors(std::uint8_t copy, std::uint64_t first, std::uint32_t count, std::uint8_t* out,
                      std::vector<std::uint8_t>* ok);
  bool copyIsSigned(std::uint8_t copy);
  std::optional<std::uint32_t> fatEntry(std::uint32_t cluster) const;

  // The members the volume's place is kept in.
  engine::VolumePlaceSlots volumePlace();

  engine::ScanState& app_;
  // The mounted image or the image file the volume is read from, taken when the engine is
  // initialised.
  engine::VolumeReader reader_;
  engine::ItemReporter itemReporter_;
  std::uint8_t sourceKind_ = 1;
  FatVolumeSource rebuilt_;  // the rebuilt volume's parameters and listed clusters
  bool lostFolderReported_ = false;
  bool fixedRootWalked_ = false;  // this scan walked the fixed root directory
  // Directory clusters of another geometry than the one in use were found beside the
  // volume's own (the data start and cluster size they agree on): files reported while
  // outsideTree_ is set are reported with no cluster.
  bool otherGeometryFound_ = false;
  std::uint64_t otherDataStart_ = 0;
  std::uint32_t otherClusterSectors_ = 0;
  bool outsideTree_ = false;
  // Clusters below the data area's end that may hold directory entries, as the sweep of
  // the data area saw them (empty when no sweep ran): later passes read only these.
  std::vector<bool> entryClusters_;
  std::unordered_map<std::uint64_t, std::uint32_t> listedIds_;
  std::unordered_map<std::uint64_t, std::uint32_t> listedDepths_;  // where known
  ClusterBlock passBlock_;  // the block the passes over every cluster read through
  std::vector<std::uint8_t> zeroCluster_;
  // Raw search: the folders of the found types (2501 files each, named by at most 15
  // characters of the type text); what it reports takes made-up ids, counting down from -16.
  engine::RawDataFolders rawFolders_{2501, 15};
  // Ids of found items (kept in m_nNextItemId) and of made-up folders.
  engine::ItemIds itemIds_{m_nNextItemId};
  // What the signature search inside the advanced scan found, reported under "Raw Data
  // Folder(s)" once the tree is built.
  struct NameNode {
    std::u16string typeText;
    std::uint64_t key = 0;  // the file's first cluster
    std::uint64_t size = 0;
  };
  std::vector<NameNode> nameNodes_;
  // Orders the finds into nameNodes_: a find of unknown end ends where the next one starts.
  std::unique_ptr<carve::RawFindOrder> rawFinds_;
  std::unique_ptr<carve::IRawUnitRule> rawUnitRule_;
  std::atomic<std::uint32_t> rawReadFailures_{0};
  // Reads absolute sectors of the source (the image file when m_bImageFile); false when any
  // could not be read (zeros there).
  bool readAbsoluteSectors(std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count);
  void makeRawContext(std::unique_ptr<carve::IRawUnitRule> rule);
  void reportRawHit(carve::RawHit&& hit);
  std::u16string failure_;

  IndexedChain<DirNode> listedFolders_{m_pListedFolders, m_pListedFoldersTail};
  IndexedChain<PENDING_DIR_NODE> pendingDirs_{m_pPendingDirs, m_pPendingDirsTail};
  IndexedChain<DirNode> orphanDirs_{m_pOrphanDirs, m_pOrphanDirsTail};
  engine::HeldFolders pendingItems_;
  std::vector<WalkFrame> walkStack_;
  VisitedClusters visited_;
  // Clusters of live directories the walks of this scan have read: each is read once, so
  // that a chain that runs into itself, or chains that share clusters, cost no more than
  // the clusters they hold.
  VisitedClusters directoryClustersRead_;
  // Clusters of the cluster map whose whole chain, from them to its end, is marked owned by
  // a reported item: a later mark stops at them. Valid while the map and the FAT are.
  VisitedClusters markedToEnd_;
  fs::WalkStats walkStats_;
};

using engine::kBlockBar;
using engine::kItemBar;

// The id of "Lost folder(s)", which is also its record key.
inline constexpr std::uint32_t kLostFolderId = 1;
// The sweeps read the data area this many sectors (1 MiB) at a time.
inline constexpr std::uint32_t kSweepBlockSectors = 2048;
// Volumes of fewer sectors are swept one cluster per read.
inline constexpr std::uint64_t kSmallVolumeSectors = 3000;

inline bool isAdvancedScanKind(std::uint32_t kind) {
  return kind == engine::kScanAdvanced || kind == engine::kScanAdvancedAgain;
}

// Directory walks deeper than this report their folders without walking them.
inline constexpr std::size_t kMaxWalkDepth = 2048;

}  // namespace qelda::fat
