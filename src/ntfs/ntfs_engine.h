// The NTFS volume engine: reads one NTFS volume of the mounted source, reports its files
// and folders, and serves the contents of what it found.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "carve/raw_match.h"
#include "carve/raw_sweep.h"
#include "fs/data_runs.h"
#include "engine/item_ids.h"
#include "engine/item_reporter.h"
#include "engine/raw_data_folders.h"
#include "engine/volume_engine.h"
#include "engine/volume_reader.h"
#include "fs/index_entry.h"
#include "fs/mft_record.h"
#include "fs/ntfs_boot.h"
#include "fs/ntfs_run_record.h"
#include "platform/found_item.h"
#include "platform/read_only_file.h"
#include "platform/sinks.h"
#include "engine/scan_state.h"

namespace qelda::volume {
struct VOLUME_RECORD;
}
namespace qelda::image {
class MountedImage;
}

namespace qelda::test {
// Reaches the engines' internals for the tests.
class EngineProbe;
}

namespace qelda::ntfs {

using engine::ItemReporter;
using engine::ReportTotals;
namespace texts = engine::texts;

// A cluster-list entry that stands for a hole: it reads as zeros and is never read from disk.
inline constexpr std::uint32_t kHoleCluster = 0xFFFFFFFF;
// An $ATTRIBUTE_LIST read from clusters is never longer than this.
inline constexpr std::uint64_t kMaxAttributeListBytes = 256 * 1024;


// What the engine needs to know of the volume it scans: its place on the source, where it is
// read from, and what its record gives of the cluster size (0 or invalid: learnt from the
// boot sector) and of the $MFT (volume-relative sectors).
using VolumeGeometry = engine::VolumeGeometry;

// Free clusters known to the raw searches.
struct FREE_EXTENT {
  std::uint32_t firstCluster = 0;
  std::uint32_t clusterCount = 0;
  FREE_EXTENT* next = nullptr;
};

// A file found by its signature, as the searches hand it on.
struct RAW_HIT {
  std::u16string typeText;     // at most 14 characters
  std::uint64_t number = 0;    // the cluster (cluster search) or the volume-relative sector (drive search)
  std::uint64_t size = 0;      // bytes
};

// A file the deep scan found by its signature in a free cluster, reported once the tree is built.
struct DEEP_RAW_HIT {
  std::u16string typeText;     // at most 8 characters
  std::uint64_t cluster = 0;
  std::uint64_t size = 0;      // bytes
};

// What the content readers need beside the runs.
struct DataStreamInfo {
  bool compressed = false;              // stored in LZNT1 compression units
  std::uint64_t initializedSize = ~0ull;  // bytes from here on read as zeros
  std::uint64_t dataSize = ~0ull;       // the stream's length as its first piece gives it; ~0: not known
};

class CNtfsEngine : private engine::HeldSinks {
 public:
  CNtfsEngine(engine::ScanState& app, const engine::EngineSinks& sinks);

  // Takes the geometry of the source the user selected (a volume record); drive entries
  // carry no volume and leave the engine as it is.
  void Initialize(std::uint8_t bImageFile);
  void FreeAll();
  // 0: quick scan; 1: deleted-files scan.
  engine::ScanOutcome ScanVolume(std::uint32_t bDeleted);
  // Finds every MFT record the volume holds, in $MFT and everywhere else, and builds the tree
  // from them; the files found by their signatures in free clusters go under "Raw Data Folder(s)".
  engine::ScanOutcome ScanAdvanced();
  engine::ScanOutcome ScanRaw();
  // Streams the file's bytes unit by unit to `sink` (which may stop by returning false);
  // resident, plain, sparse and compressed data alike. False when something could not be
  // read or decoded.
  bool readFileContent(FOUND_ITEM& item, const std::function<bool(std::span<const std::uint8_t>)>& sink);
  // Streams a file found by its signature: its clusters from the record key on (free ones
  // only after a cluster search). False when not all of it could be read.
  bool readFoundBySignature(const FOUND_ITEM& item, const std::function<bool(std::span<const std::uint8_t>)>& sink);
  // Scan information: the header's NTFS fields, the $MFT's runs and the deep scan's run
  // records (false: neither was found), and the restore instead of a scan.
  bool writeScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableWriter& write) const;
  std::uint32_t RestoreFromScanInfo(engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                                    platform::IUserNotifier& notifier, std::u16string& cause);
  // What reads of found files judge their clusters by.
  engine::ClusterClaims& claims() { return claims_; }
  // $Bitmap as it is now, placed on the disk; null when it could not be read whole.
  std::shared_ptr<const engine::ClusterMap> allocationMap();
  // Where this volume's clusters lie, for the maps of the volumes listed over it.
  void judgeByListedMaps(std::vector<std::shared_ptr<const engine::ClusterMap>> maps) {
    claims_.setListedMaps(std::move(maps), 0, m_nPartitionStart, m_nSectorsPerCluster);
  }
  // The first cluster of a deleted file's data as its record gives it; nothing for a file
  // without runs.
  std::optional<std::uint64_t> firstDataCluster(const FOUND_ITEM& item);
  // Entries reported by the last scan.
  std::uint32_t foundCount() const { return m_nEntryCount; }
  engine::ReadTally readTally() const { return reader_.tally(); }

 private:
  friend class ::qelda::test::EngineProbe;

  // --- set-up ----------------------------------------------------------------------------
  // Copies the volume's geometry into the engine (what Initialize takes from the selected
  // volume record).
  void initializeVolume(const VolumeGeometry& volume, std::uint8_t bImageFile);

  // --- scans ---------------------------------------------------------------------------------
  std::uint32_t ReadBootSector();
  std::uint32_t LoadMft();
  void RunQuickScan();
  // Reports the folder's whole branch, depth first, each folder's entries before the next
  // entry of its parent.
  std::uint32_t WalkFolderIndex(std::uint32_t record);

  // --- deleted files, after the quick walk ---------------------------------------------------
  // Reports every record from 16 on that the walk did not reach, under its parent folder or
  // a placeholder for it.
  void AddDeletedFiles();
  void AttachDeletedFolders();
  void AttachDeletedFileRecords();
  // Reads record R and reports it under parent P; the stored item, or null when the record
  // is not reported.
  std::uint32_t ReportDeletedRecord(std::uint32_t record, std::uint32_t parent);
  // Reports a record already read into `item` (whose id, key and parent are set); 1 when reported.
  std::uint32_t ReportRecordItem(const fs::ntfs::RecordBuffer& record, FOUND_ITEM& item);
  // When the root index gave nothing: the records whose parent is the root.
  void SearchRootOrphans();

  // --- the deleted-files scan ------------------------------------------------------------------
  void CollectDeletedRecords();
  void BuildDeletedTree();

  // --- $LogFile ------------------------------------------------------------------------------
  // Finds the journal's runs (once per engine); 1 when it has some.
  std::uint32_t ReadLogFile();

  // --- volume I/O ------------------------------------------------------------------------
  std::uint32_t ReadVolumeSectors(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t sector);
  // kHoleCluster reads as zeros.
  std::uint32_t ReadClusterSectors(std::uint32_t cluster, std::uint16_t sectorInCluster, std::uint8_t* buffer,
                                   std::uint16_t sectorCount);
  // Volume-relative first sector of an MFT record; 0 when it cannot be placed.
  std::uint64_t GetRecordSector(std::uint32_t record);
  // Reads an MFT record (each of its sectors, wherever it lies) and applies its fixup.
  bool readRecord(std::uint32_t record, fs::ntfs::RecordBuffer& buffer);

  // --- file content --------------------------------------------------------------------------
  // The runs of the item's data (or folder index). Resident data go to `residentData` and
  // the result is empty. Updates the item's compressed and encrypted flags from the records.
  std::vector<fs::ntfs::RunEntry> GetDataRuns(FOUND_ITEM& item, std::uint32_t& clusterCount,
                                    std::vector<std::uint8_t>* residentData, DataStreamInfo* info = nullptr);
  // One cluster number per cluster of the file in file order, holes as kHoleCluster.
  std::vector<std::uint32_t> GetClusterList(FOUND_ITEM& item, std::uint32_t folderClusters,
                                            std::vector<std::uint8_t>* residentData);
  std::vector<std::uint64_t> GetContiguousClusterList(std::uint64_t firstCluster, std::uint64_t size);
  // The file's bytes (cut to its size), compressed units decoded. 1 when every unit decoded.
  std::uint32_t ReadCompressedFile(FOUND_ITEM& item, std::vector<std::uint8_t>& out);

  // Free clusters for the raw searches, in cluster order.
  void addFreeExtent(std::uint32_t firstCluster, std::uint32_t clusterCount);
  bool isFreeCluster(std::uint64_t cluster) const;
  // The first free cluster after `cluster`; nothing when none is left.
  std::optional<std::uint64_t> nextFreeCluster(std::uint64_t cluster) const;

  // --- raw search ----------------------------------------------------------------------------
  void RunRawSearch();
  // Reads $Bitmap into m_pFreeExtents (replacing what it held); false when $Bitmap could not
  // be found or read. quiet: nothing logged or shown (a read of the map for the save).
  bool BuildFreeClusterList(bool quiet = false);
  void SearchClustersForKnownTypes();
  // The sweep of the free clusters (the raw sweep), each file found given to `report`.
  void sweepFreeClusters(const std::function<void(carve::RawHit&&)>& report);
  // Searches the sectors first..last (absolute, both included) one by one.
  void SearchDriveForKnownTypes(std::uint8_t bImageFile, std::uint64_t firstSector, std::uint64_t lastSector);
  void SearchDriveBlocks();
  void AddRawFoundItem(const RAW_HIT& hit, const std::u16string* name);

  // --- advanced (deep) scan -------------------------------------------------------------------
  // The sectors per cluster the volume's file records agree on; 0 when none.
  std::uint16_t FindSectorsPerCluster();
  void SearchMetadata();
  // Without a boot sector: the sector of $MFT's record 0, found by its first run starting at
  // the record itself; and the free-cluster list built from it, for the signature search alone.
  std::optional<std::uint64_t> findMftRecordZero();
  bool freeListFromRecordZero();
  void SearchMftRuns();
  void SearchVolumeRecords(bool bSingleMftRun);
  // The order the deep scan's finds in free clusters up to `endCluster` are kept in for
  // SendRawHits: a find of unknown end ends where the next begins.
  carve::RawFindOrder deepRawFinds(std::uint64_t endCluster);
  void keepDeepRawHit(carve::RawHit&& hit);
  // A signature match at the first sector of a free cluster, handed to `finds`; the bytes the
  // file covers (its end known), 0 when nothing matched or its end is not known.
  std::uint64_t MatchRawDocument(std::span<const std::uint8_t, 512> sector, std::uint64_t cluster,
                                 carve::RawFindOrder& finds);
  // Without $Bitmap: every cluster that no file record the search found in use claims is taken
  // for free, and those clusters are swept for the chosen types.
  void SearchUnclaimedClusters();
  void SendRawHits();
  void BuildRecordTree();
  // Reports, depth first, the files and then the folders below folder record R (item id I).
  void ReportChildRecords(std::uint32_t record, std::uint32_t itemId);
  void AttachLostFolders();
  void AttachLostFileRecords();
  // The records found, in the order found.
  const std::vector<fs::ntfs::RunRecord>& runRecords() const { return runRecords_; }
  // The last scan was the deep one: items are found again by their record's sector.
  bool advancedScan() const { return advanced_; }

  // --- fields the passes share ---------------------------------------------------------------
  std::uint32_t m_bClusterSearch = 0;
  std::uint32_t m_nNextItemId = 0;
  std::uint16_t m_nSectorsPerCluster = 0;
  std::uint64_t m_nPartitionStart = 0;
  std::uint64_t m_nLastSector = 0;
  std::uint64_t m_nSectorCount = 0;
  std::uint32_t m_nEntryCount = 0;
  std::uint32_t m_nFolderCount = 0;
  std::uint32_t m_nFileCount = 0;
  platform::IFoundItemSink* m_pConsole = nullptr;
  std::uint8_t m_bImageFile = 0;
  std::uint64_t m_nTotalSize = 0;
  FREE_EXTENT* m_pFreeExtents = nullptr;
  std::unique_ptr<carve::RAW_READ_CONTEXT> m_pRawContext;

  std::uint64_t mftSector() const { return mftSector_; }
  std::uint64_t mftMirrSector() const { return mftMirrSector_; }
  std::uint64_t mftRecordCount() const { return mftSectorCount_ / recordSectors(); }
  // Sectors of one record of $MFT: 2, or 4 or 8 where the boot sector (or, without one,
  // $MFT's own first record) gives records of 2048 or 4096 bytes.
  std::uint32_t recordSectors() const { return recordBytes_ / 512; }
  // Takes the record size of the boot sector or its backup, where one is usable; without one
  // it is learnt from $MFT's first record when $MFT is loaded.
  void settleRecordSize();
  // The sectors of $MFT that hold whole records, at most kMaxMftRecords of them.
  void setMftSectors(std::uint64_t sectors);
  // Records no larger $MFT can number: its record map and record loops never go past this.
  static constexpr std::uint64_t kMaxMftRecords = std::uint64_t(1) << 32;
  const std::vector<fs::ntfs::RunEntry>& mftRuns() const { return mftRuns_; }
  // A deleted file whose record lost its size and runs: what the journal may give back.
  struct LargeFileNode {
    std::uint32_t record = 0;
    std::uint32_t recordCluster = 0;     // the cluster holding the record
    std::uint32_t clusterIndex = 0;      // that cluster's index within $MFT
    std::uint16_t sectorInCluster = 0;   // the record's sector within it
    std::uint16_t dataOffset = 0;        // of the $DATA attribute in the record
    std::uint16_t runListOffset = 0;     // of the mapping pairs in that attribute
    std::uint8_t contentFlag = 0;
    std::uint64_t size = 0;              // from the journal
    std::vector<fs::ntfs::RunEntry> runs;          // rebuilt from the journal; empty: none found
    std::uint32_t item = platform::kNoFoundItem;  // the stored item's number (quick scan)
  };
  const std::vector<LargeFileNode>& largeFiles() const { return largeFiles_; }

  bool deletedScan() const { return deletedScan_; }
  // Why the last scan could not read the volume; empty when it could.
  const std::u16string& failure() const { return failure_; }

  // The restore's two tables, in file order; false with `cause` set when they do not fit.
  bool restoreMftRuns(const engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read, std::u16string& cause);
  bool restoreRunRecords(const engine::SCAN_IMAGE_HEADER& header, const engine::TableReader& read,
                         std::u16string& cause);

  struct IndexFrame {
    std::uint32_t folder = 0;
    std::vector<fs::ntfs::IndexEntryInfo> entries;
    std::size_t next = 0;
  };
  using Record = fs::ntfs::RecordBuffer;

  // What the single sweep over $MFT keeps of each signed record.
  struct RecordHeader {
    std::uint32_t record = 0;
    std::uint32_t parent = 0;
    std::uint16_t sequence = 0;
    std::uint8_t flags = 0;
  };
  // What a record reports as: its item (id, key and parent left to the caller) and name.
  struct RecordItem {
    FOUND_ITEM item;
    std::u16string name;
    bool nonResident = false;
    std::uint16_t dataOffset = 0;
    std::uint16_t runListOffset = 0;
    std::uint8_t contentFlag = 0;
  };
  // Deleted-folder and deleted-file chains of the quick scan's pass.
  struct DeletedNode {
    std::uint32_t record = 0;
    std::uint32_t parent = 0;
    bool done = false;
  };
  // Chains of the deleted-files scan.
  struct CollectedFile {
    std::uint32_t record = 0;
    std::uint32_t parent = 0;
    std::u16string name;
    FOUND_ITEM item;  // size, times and flags as collected
  };
  struct CollectedFolder {
    std::uint32_t record = 0;
    std::uint32_t parent = 0;
    std::u16string name;
    std::uint64_t modified = 0;
    std::uint64_t created = 0;
    std::uint8_t flags = 0;
  };

  bool stopRequested() const;
  // A record at a volume-relative sector, as large as its own header says, fixed up; false
  // when it is no file record.
  bool readRecordAt(std::uint64_t sector, Record& buffer);
  // Reads the record at `sector` in the size its header gives (see fs::ntfs::recordSizeOf);
  // false when not all of it could be read.
  bool readOwnSizedRecord(std::uint64_t sector, Record& buffer);
  std::uint32_t recordNumberAtSector(std::uint64_t sector) const;
  // Every record of $MFT from `first` on, in order, read in blocks of 1 MiB; `visit` gets the
  // signed ones (fixed up) with their numbers from their positions, and may stop the sweep.
  // `onBlock`, when given, hears the number of records of each block before it is read, and
  // may stop the sweep.
  using RecordSpan = std::span<std::uint8_t>;
  void sweepMft(std::uint32_t first, const std::function<bool(std::uint32_t, RecordSpan)>& visit,
                const std::function<bool(std::uint64_t)>& onBlock = {});
  void loadRecordHeaders();
  const RecordHeader* headerOf(std::uint32_t record) const;
  // Name, times, flags and size of record `number` (kUnknownRecordNumber: the number the
  // record gives itself); nothing when it is not one to report.
  // longNameOnly: the deleted-files scan takes no DOS name.
  std::optional<RecordItem> describeRecord(const Record& record, bool longNameOnly, std::uint32_t number);
  // The name and parent a record's attribute list places in another record, when the record
  // itself holds no $FILE_NAME.
  struct ListedName {
    std::u16string name;
    std::uint32_t parent = 0;
  };
  std::optional<ListedName> listedFileName(const Record& record, bool longNameOnly, std::uint32_t number);
  // The parent that deleted base record `number`'s name in another record gives; 0 when none does.
  std::uint32_t listedParentOf(const Record& record, std::uint32_t number);
  // The records that still hold attributes of the deleted base record `number`: those its
  // attribute list names and those that name it as their base (a driver may cut the list as
  // it frees them), each once, the list's first; each checked to name this base.
  std::vector<Record> deletedExtensions(const Record& base, std::uint32_t number);
  // Extension records of $MFT by the base record they name, swept once per scan on first need.
  void indexExtensionRecords();
  // `key` finds the record again (its number, or its sector after the deep scan).
  std::uint64_t recordDataSize(const Record& record, std::uint32_t number, std::uint64_t key, const fs::ntfs::RecordData& data,
                               RecordItem& out);
  // The bytes a stream's runs give back on this volume: holes as zeros, and the clusters
  // that lie inside the volume.
  std::uint64_t heldBytes(const std::vector<fs::ntfs::RunEntry>& runs) const;
  // Whether the data runs of record R hold `size` bytes (a sparse or compressed file may be
  // longer than its volume).
  bool runsHold(std::uint32_t record, std::uint64_t size);
  LargeFileNode largeFileNodeFor(std::uint32_t record, const RecordItem& described) const;
  // The id of the item that stands for folder record P: P itself, or its placeholder's.
  std::uint32_t parentIdFor(std::uint32_t parent) const;
  std::uint32_t placeholderId(std::uint32_t wanted) const;
  // Reports a made-up folder; returns its id.
  std::uint32_t reportPlaceholder(std::uint32_t wanted, std::uint32_t parent, std::u16string_view name);
  // "Lost folder(s)" once per pass, then the placeholder for missing parent P (once).
  void placeMissingParent(std::uint32_t parent, bool deletedScan);
  void AddMissingParents(const CollectedFile& file);
  void resetFoundTreeIfEmpty();
  // The journal step shared by both passes: rebuilds what it can of largeFiles_. False when
  // there is no journal or it holds no record pages.
  bool runLogAnalysis();
  // Walks the journal's record pages and keeps, per large file, the newest mapping pairs
  // and sizes that name its record; true when a record page was found.
  bool CollectLogRecords(std::vector<struct LogFinding>& findings);
  void RebuildFromLog(const std::vector<struct LogFinding>& findings);
  ReportTotals totals() { return {m_nEntryCount, m_nFolderCount, m_nFileCount, m_nTotalSize}; }
  std::uint32_t readAbsolute(std::uint8_t* buffer, std::uint32_t byteCount, std::uint64_t absoluteSector);
  std::uint64_t clusterBytes() const { return std::uint64_t(m_nSectorsPerCluster) * 512; }
  std::uint64_t volumeClusters() const;
  std::optional<fs::ntfs::NtfsBootParams> bootSectorAt(std::uint64_t absoluteSector);
  // The first usable of the boot sector and its backups; nothing when none is.
  std::optional<fs::ntfs::NtfsBootParams> findBootSector();
  void adoptBootSector(const fs::ntfs::NtfsBootParams& boot);
  // Takes the boot sector's geometry over the volume record's where they differ; false when
  // neither gives a usable one.
  bool settleGeometry();
  std::optional<std::uint64_t> sectorOfMftOffset(const std::vector<fs::ntfs::Extent>& extents, std::uint64_t mftSectorOffset) const;
  bool readRecordThrough(const std::vector<fs::ntfs::Extent>& extents, std::uint32_t record, Record& buffer);
  // `dataBytes`, when given, takes $MFT's data size as its first record gives it (0: none).
  bool collectMftRuns(std::uint64_t recordZeroSector, bool strictChain, std::vector<fs::ntfs::RunEntry>& runs,
                      std::uint64_t& sectors, std::uint64_t* dataBytes = nullptr);
  // $MFT's record at the boot sector's place, else at the mirror's: its runs; false when neither gives any.
  bool collectMftRunsOrMirror(std::vector<fs::ntfs::RunEntry>& runs, std::uint64_t& sectors, std::uint64_t& dataBytes);
  // Counts the records of $MFT: those of its clusters inside the volume (`sectors`), and no
  // more than its data size names; the records past it are left from an earlier format,
  // never the volume's own files.
  void countMftRecords(std::uint64_t sectors, std::uint64_t dataBytes);
  // The clusters of a non-resident attribute as its runs place them; nothing when they cannot.
  std::optional<std::vector<fs::ntfs::Extent>> attributeExtents(platform::ByteView record,
                                                                const fs::ntfs::AttributeRef& attribute) const;
  std::vector<std::uint8_t> readAttributeListContent(const Record& record);
  // Bytes of a stream through its extents; holes and what no extent covers read as zeros, and
  // so do what lies past the volume's end and what the disk could not give (then `incomplete`
  // is set). Returns the bytes taken from the volume.
  std::uint64_t readExtentBytes(const std::vector<fs::ntfs::Extent>& extents, std::uint64_t byteOffset,
                                std::span<std::uint8_t> out, bool* incomplete = nullptr);
  bool readClusters(std::uint64_t lcn, std::uint64_t count, std::uint8_t* buffer);

  // Index walk.
  void markRecord(std::uint32_t record);
  bool isMarked(std::uint32_t record) const;
  bool inFolderQueue(std::uint32_t record) const;
  void appendFolderQueue(std::uint32_t record);
  std::vector<fs::ntfs::IndexEntryInfo> readFolderEntries(std::uint32_t record);
  // `inUse`: the folder's $BITMAP, one bit per block; empty when it has none (every block counts).
  std::vector<fs::ntfs::IndexEntryInfo> ReportIndexBlocks(const std::vector<fs::ntfs::RunEntry>& runs, std::uint32_t blockSize,
                                                std::uint64_t allocatedBytes, const std::vector<std::uint8_t>& inUse);
  // The value of the record's first attribute of `type`, resident or read from its clusters
  // (at most `maxBytes`); empty when it has none.
  std::vector<std::uint8_t> readAttributeValue(const Record& record, std::uint8_t type, std::uint64_t maxBytes);
  // Reports one index entry; true when it is a folder to walk next.
  bool reportIndexEntry(const fs::ntfs::IndexEntryInfo& entry, std::uint32_t walkedFolder);
  std::uint32_t reportItem(const FOUND_ITEM& item, std::u16string_view name);

  // The cluster size a deep-scan item's record is read with: the one its own $DATA gives;
  // where it gives none, the volume's for a record of $MFT (or one that cannot be read), 0
  // for any other. A record that gives another than the volume's, in $MFT or outside it, is
  // left from an earlier format of the volume with other clusters, and its runs count those.
  std::uint16_t clusterSectorsOfRecordAt(std::uint64_t sector);
  // Whether any record found outside $MFT gives another cluster size than the volume's: then
  // a record there that gives none cannot be read with certainty. Learnt while searching, or
  // on first need after a restore.
  bool earlierFormatSeen();
  // Whether the sector holds one of $MFT's records (up to its data size), or, with
  // `allocated`, lies in any of its clusters.
  bool inMftArea(std::uint64_t sector, bool allocated = false) const;
  // $MFT's sectors as inMftArea counts them, one area per run, in sector order.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mftAreas(bool allocated) const;
  // The sectors of one run of $MFT so counted; none for a hole or a run past its data size.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> mftArea(const fs::ntfs::Extent& e, bool allocated) const;
  // The cluster size a found record gives (see fs::ntfs::recordClusterSectors); 0 for an
  // extension record, whose first piece of a stream may not map all the stream sizes.
  static std::uint32_t ownClusterSectors(platform::ByteView record);
  // Whether a found record's own cluster size tells an earlier format of the volume.
  bool ofEarlierFormat(platform::ByteView record) const;
  // Whether the sector lies in a cluster the runs of a live file other than $MFT hold: what
  // lies there is that file's data (a disk image, a backup), never a record of this volume.
  bool inLiveFile(std::uint64_t sector) const;
  // The sectors [first, end) of an NTFS volume inside this one whose $MFT record `record`
  // (found at `sector`) is: its first run leads to where it lies only when counted from a
  // later start, where that volume's boot sector stands. Nothing for any other record.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> nestedVolumeOf(platform::ByteView record, std::uint64_t sector);
  // Whether a found record lies inside such a volume: its runs count that volume's clusters,
  // never this one's. Learnt from the found records on first need.
  bool inNestedVolume(std::uint64_t sector);
  // Keeps the clusters of a live record of $MFT in liveFileClusters_.
  void noteLiveClusters(platform::ByteView record);
  // Whether the volume as it is now ($Bitmap, clusters of volumeSpc sectors) leaves free every
  // cluster the extents name in clusters of ownSpc sectors; false without a free list.
  bool clustersFreeNow(const std::vector<fs::ntfs::Extent>& extents, std::uint16_t ownSpc, std::uint16_t volumeSpc) const;
  // The free list a restored scan builds on first need.
  void buildPendingFreeList();

  // The deep scan without its verdict: the quick scan falls back on it.
  void runAdvancedScan();

  engine::ScanState& app_;
  ItemReporter reporter_;

  std::uint8_t fileSystemCode_ = 0;
  std::uint8_t biosDrive_ = 0;
  std::uint8_t rootRecord_ = 5;
  bool deletedScan_ = false;
  std::u16string failure_;
  std::u16string imagePath_;

  std::uint64_t mftSector_ = 0;
  std::uint64_t mftMirrSector_ = 0;
  std::uint64_t mftSectorCount_ = 0;
  // $MFT's sectors up to its data size, counted as its runs number them (holes included);
  // all of them when its first record gives no data size.
  std::uint64_t mftDataSectors_ = ~std::uint64_t{0};
  std::uint32_t recordBytes_ = 1024;
  bool recordBytesFromBoot_ = false;
  std::vector<fs::ntfs::RunEntry> mftRuns_;
  std::vector<fs::ntfs::Extent> mftExtents_;
  // Records already reported or looked at, one bit each; grows as records are marked, never
  // past the $MFT's record count.
  std::vector<bool> recordMap_;
  // Volume byte positions of the index blocks already reported: a block that several
  // folders' runs reach is reported for the first of them only.
  std::unordered_set<std::uint64_t> reportedIndexBlocks_;
  // The mounted image or the image file the volume is read from, held for the whole scan.
  engine::VolumeReader reader_;

  // The folder queue: each folder record reported so far, and each missing parent given a
  // placeholder, with the id of the item that stands for it.
  std::unordered_map<std::uint32_t, std::uint32_t> folderIds_;
  std::unordered_set<std::uint32_t> walkedFolders_;
  // Ids of every item reported, so that a placeholder never takes one of them: record
  // numbers as bits, the few others (placeholders' own) in a set.
  std::vector<bool> reportedRecordIds_;
  std::unordered_set<std::uint32_t> reportedOtherIds_;
  void noteReportedId(std::uint32_t id);
  bool isReportedId(std::uint32_t id) const;
  // Signed records in record order (the quick scan's sweep).
  std::vector<RecordHeader> recordHeaders_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> extensionIndex_;
  bool extensionIndexBuilt_ = false;

  std::vector<DeletedNode> deletedFolders_;
  std::vector<DeletedNode> deletedFiles_;
  std::unordered_map<std::uint32_t, std::size_t> deletedFolderIndex_;
  std::vector<CollectedFile> collectedFiles_;
  std::vector<CollectedFolder> collectedFolders_;
  std::unordered_map<std::uint32_t, std::size_t> collectedFolderIndex_;
  std::vector<LargeFileNode> largeFiles_;
  std::uint32_t lostFoldersId_ = 0;  // id of this pass's "Lost folder(s)"; 0: not reported yet

  // $LogFile: looked for once per engine.
  std::uint8_t logState_ = 0;
  std::vector<fs::ntfs::Extent> logExtents_;  // the journal's runs, holes left out
  // Rebuilt from the journal, by record (index into largeFiles_): the record itself no
  // longer has its runs.
  std::unordered_map<std::uint32_t, std::size_t> logRuns_;

  std::deque<FREE_EXTENT> freeExtentPool_;  // in cluster order: searched by halves
  FREE_EXTENT* freeExtentsTail_ = nullptr;

  // Raw search.
  class FreeClusterRule;
  void clearFreeExtents();
  void resetRawTotals();
  // The raw read context over this volume: the engine's reader and the selected types.
  std::unique_ptr<carve::RAW_READ_CONTEXT> makeRawContext();
  // Reports a file found by its signature in its type's folder under `parentId` (a new folder
  // reported first, with the id `takeId` gives); the file's id comes from `takeId` too.
  void reportRawFile(std::u16string_view typeText, std::uint64_t key, std::uint64_t size,
                     std::u16string_view finderName, std::uint32_t parentId,
                     const std::function<std::uint32_t()>& takeId, std::uint64_t itemRange);
  // Deep scan.
  struct FoundFolder {
    std::uint32_t itemId = 0;
    std::uint32_t parent = 0;   // parent record number
    std::uint64_t sector = 0;   // volume-relative sector of the record
    bool done = false;
    std::uint32_t record = 0;   // kUnknownRecordNumber when not known
  };
  void clearDeepScan();
  // Keeps one record the search found: `inMft` when found by its place in $MFT's runs.
  void addFoundRecord(platform::ByteView record, std::uint64_t sector, std::uint32_t number, bool inMft);
  // Whether a record found outside $MFT is a copy of the record $MFT holds under its number.
  bool copiesMftRecord(platform::ByteView copy, std::uint32_t number);
  // Searches sectors [from, to) of the volume for records (and signatures in free clusters).
  void searchSectorRange(std::uint64_t from, std::uint64_t to, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& mftAreas);
  void showSectorsSearched();
  // Reads and reports the record at `sector`; true when reported.
  bool reportFoundRecord(std::uint64_t sector, std::uint32_t itemId, std::uint32_t parentId);
  // Whether the record at `sector` would be reported (it has a name and a usable size).
  bool reportableAt(std::uint64_t sector);
  // "Lost folder(s)" once, then a made-up folder for missing parent P; the made-up folder's id.
  std::uint32_t placeLostParent(std::uint32_t parent);
  // Marks a folder node done, reports it under `parentId` and walks its branch; a folder that
  // cannot be reported lends `walkId` (when not 0) to its children.
  void attachFoundFolder(FoundFolder& folder, std::uint32_t parentId, std::uint32_t walkId);
  void reportChildFiles(std::uint32_t record, std::uint32_t itemId);
  std::vector<fs::ntfs::RunRecord> runRecords_;
  std::unordered_map<std::uint32_t, std::size_t> runRecordIndex_;    // record number -> first entry
  std::unordered_map<std::uint64_t, std::size_t> runRecordAtSector_; // sector -> entry
  std::vector<FoundFolder> foundFolders_;
  std::unordered_map<std::uint32_t, std::size_t> foundFolderIndex_;  // record number -> node
  // The tree's indexes, built once: parent record -> file entries, parent -> folder nodes,
  // each in the order found.
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> childFiles_;
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> childFolders_;
  std::optional<std::uint32_t> firstRunRecord_;
  std::uint64_t sectorsSearched_ = 0;
  // The free list was read from the whole of $Bitmap: no piece of it was unreadable or
  // missing.
  bool freeListWhole_ = false;
  bool quietListTried_ = false;  // allocationMap has built the free list once
  void forgetClaims() {
    claims_.forget();
    quietListTried_ = false;
  }
  engine::ClusterClaims claims_;
  // Whether the clusters a file reads of `extents` (as many as `bytes` need, in file order)
  // are its own as `file` claims.
  bool clustersOwn(const std::vector<fs::ntfs::Extent>& extents, std::uint64_t bytes, const engine::ClusterClaims& claims,
                   const engine::FileClaim& file) const;
  // The first cluster the extents hold data in.
  static std::optional<std::uint64_t> firstRunCluster(const std::vector<fs::ntfs::Extent>& extents) {
    for (const fs::ntfs::Extent& e : extents)
      if (!e.hole && e.length != 0) return e.lcn;
    return std::nullopt;
  }
  bool freeListPending_ = false;  // restored from scan information: the free list is built on first need
  std::optional<bool> earlierFormat_;  // see earlierFormatSeen; nothing: not known yet
  // The clusters the live records of $MFT hold, as [first, end) ranges; in cluster order and
  // merged once $MFT was searched.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> liveFileClusters_;
  // See inNestedVolume; nothing: not known yet.
  std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>> nestedVolumes_;
  bool runRecordIndexesPending_ = false;  // restored run records: their lookups are built on first need
  void indexRunRecords();
  bool advanced_ = false;
  bool rawSearch_ = false;  // signatures are tried on free clusters while searching
  // Ids of found items (kept in m_nNextItemId) and the made-up ids of the raw hits' folders
  // and files, counted down.
  engine::ItemIds itemIds_{m_nNextItemId};
  std::vector<DEEP_RAW_HIT> deepRawHits_;
  // The type folders of the raw search and of the deep scan's hits: 10000 files each, named by
  // at most 14 characters of the type text.
  engine::RawDataFolders rawFolders_{10000, 14};
  std::u16string fileSystemName_;
};

}  // namespace qelda::ntfs
