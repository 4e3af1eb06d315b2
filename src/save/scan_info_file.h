// A scan-information file: what a scan found, saved so that it can be browsed and saved
// from later without scanning again. In file order:
//
//   header        1024 bytes, engine::SCAN_IMAGE_HEADER
//   engine tables header.engineTableBytes bytes, the engine's own (opaque here)
//   source list   header.sourceEntryCount × (DEVICE_ENTRY, then its DRIVE_RECORD or VOLUME_RECORD)
//   found items   header.foundItemCount × 593 bytes (stored FOUND_ITEM and its name)
//   trailer       1024 bytes: SCAN_INFO_DESCRIPTOR, then zeros
//
// The parts must add up to the file's size exactly. The writer streams; the loader checks
// the whole file before it hands anything out and holds only the header, the descriptor
// and the source list in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scan_image_header.h"
#include "platform/checked.h"
#include "platform/found_item.h"
#include "platform/read_only_file.h"
#include "platform/sinks.h"
#include "save/scan_info_format.h"
#include "volume/volume_records.h"

namespace qelda::save {

inline constexpr std::size_t kTrailerBytes = 1024;

class ScanInfoWriter {
 public:
  // Creates `path`, never replacing an existing file, and reserves room for the header.
  static platform::Checked<ScanInfoWriter> create(const std::string& path);

  ScanInfoWriter(ScanInfoWriter&& other) noexcept;
  ScanInfoWriter& operator=(ScanInfoWriter&&) = delete;
  ScanInfoWriter(const ScanInfoWriter&) = delete;
  ScanInfoWriter& operator=(const ScanInfoWriter&) = delete;
  // A file that was not finished is removed: no half-written file is left to be loaded.
  ~ScanInfoWriter();

  // The parts in file order: tables (in as many pieces as the engine likes), then source
  // entries, then found items. Each returns false, with cause() set, when the write failed
  // or a part comes out of order.
  bool writeEngineTables(std::span<const std::uint8_t> bytes);
  bool writeSourceEntry(const volume::DEVICE_ENTRY& entry);
  bool writeFoundItem(const FOUND_ITEM& item, std::u16string_view name);

  // Writes the trailer with `descriptor`, then `header` with the lengths and counts of what
  // was written and the "needs no drive search" flag set (every source this program scans
  // is an image or a file in one). Refused when the header would not load back.
  bool finish(engine::SCAN_IMAGE_HEADER header, const SCAN_INFO_DESCRIPTOR& descriptor);

  const std::string& cause() const { return cause_; }

 private:
  enum class Part : std::uint8_t { Tables, Entries, Items, Finished, Failed };
  ScanInfoWriter(int fd, std::string path);
  bool enter(Part part, const char* what);
  bool append(std::span<const std::uint8_t> bytes);
  bool flush();
  bool fail(std::string cause);

  int fd_ = -1;
  std::string path_;
  Part part_ = Part::Tables;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t engineTableBytes_ = 0;
  std::uint32_t sourceEntryCount_ = 0;
  std::uint32_t foundItemCount_ = 0;
  std::string cause_;
};

class ScanInfoLoader {
 public:
  // When the found items are checked: by open(), or as forEachFoundItem hands them out (one
  // read and one decoding of each; the caller drops what it took from a walk that fails).
  enum class ItemCheck : std::uint8_t { OnOpen, OnWalk };

  // Opens `path` and checks all of it: the header's fields, the length of every part against
  // the file's size, each source entry, each found item's name (unless `items` defers
  // that), the trailer. A file that fails is refused whole, with the cause naming the file
  // and the part at fault.
  static platform::Checked<ScanInfoLoader> open(const std::string& path, ItemCheck items = ItemCheck::OnOpen);

  const engine::SCAN_IMAGE_HEADER& header() const { return header_; }
  engine::SCAN_IMAGE_HEADER& header() { return header_; }  // the restores write the drive found
  const SCAN_INFO_DESCRIPTOR& descriptor() const { return descriptor_; }
  // The source list as saved; each entry owns its detail record, m_pNext is left null.
  std::vector<volume::DEVICE_ENTRY>& sourceEntries() { return entries_; }
  const std::vector<volume::DEVICE_ENTRY>& sourceEntries() const { return entries_; }

  // Hands the engine tables to `sink` in pieces of at most 1 MiB, in file order; the sink
  // returns false to stop. False when the file could not be read (cause()).
  bool readEngineTables(const std::function<bool(std::span<const std::uint8_t>)>& sink);
  // Reads out.size() bytes of the engine tables from `offset` on (counted from the tables'
  // start); false when they pass the tables' end or could not be read (cause()).
  bool readEngineTableBytes(std::uint64_t offset, std::span<std::uint8_t> out);
  // Every found item in file order, with its name; `visit` returns false to stop. False when
  // the file could not be read or changed since it was checked (cause()).
  bool forEachFoundItem(const std::function<bool(const FOUND_ITEM&, std::u16string_view)>& visit);

  const std::string& cause() const { return cause_; }

 private:
  ScanInfoLoader(platform::ReadOnlyFile file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  std::optional<platform::Refusal> check(ItemCheck items);
  std::optional<platform::Refusal> readSourceEntries(std::uint64_t offset, std::uint64_t bytes);
  // Walks the stored items from offset; with `visit` null only checks them.
  std::optional<platform::Refusal> walkItems(const std::function<bool(const FOUND_ITEM&, std::u16string_view)>* visit);

  platform::ReadOnlyFile file_;
  std::string path_;
  engine::SCAN_IMAGE_HEADER header_;
  SCAN_INFO_DESCRIPTOR descriptor_;
  std::vector<volume::DEVICE_ENTRY> entries_;
  std::uint64_t itemsOffset_ = 0;
  std::string cause_;
};

// Replays the saved items to the console as a scan reports them: the tree is reset, then
// each item is added and the counts updated; folders that are each other's parents are
// then broken out under made-up folders (ParentCycleBreaker). False when the file could not be read or an
// item is refused (the console then holds part of the items: the caller resets it).
bool replayFoundItems(ScanInfoLoader& loader, platform::IFoundItemSink& console);

}  // namespace qelda::save
