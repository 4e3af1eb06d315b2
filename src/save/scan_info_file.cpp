#include "save/scan_info_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "save/parent_cycles.h"

namespace qelda::save {

using platform::ByteView;
using platform::Checked;
using platform::Refusal;

namespace {

constexpr std::size_t kHeaderBytes = engine::SCAN_IMAGE_HEADER::kStoredSize;
constexpr std::size_t kWriteBuffer = 1 << 16;
constexpr std::size_t kTableChunk = 1 << 20;
constexpr std::size_t kItemsPerRead = 128;

std::size_t detailBytes(std::uint8_t kind) {
  return volume::DEVICE_ENTRY::carriesDriveRecord(kind) ? volume::DRIVE_RECORD::kStoredSize
                                                      : volume::VOLUME_RECORD::kStoredSize;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= std::size_t(n);
    offset += n;
  }
  return true;
}

}  // namespace

// --- writer --------------------------------------------------------------------------------

Checked<ScanInfoWriter> ScanInfoWriter::create(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Refusal{path + ": " + std::strerror(errno)};
  ScanInfoWriter writer(fd, path);
  const std::array<std::uint8_t, kHeaderBytes> placeholder{};  // sectors per cluster 0: never loads
  if (!writer.append(placeholder)) return Refusal{writer.cause()};
  return writer;
}

ScanInfoWriter::ScanInfoWriter(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
  buffer_.reserve(kWriteBuffer);
}

ScanInfoWriter::ScanInfoWriter(ScanInfoWriter&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      path_(std::move(o.path_)),
      part_(o.part_),
      buffer_(std::move(o.buffer_)),
      engineTableBytes_(o.engineTableBytes_),
      sourceEntryCount_(o.sourceEntryCount_),
      foundItemCount_(o.foundItemCount_),
      cause_(std::move(o.cause_)) {}

ScanInfoWriter::~ScanInfoWriter() {
  if (fd_ < 0) return;
  ::close(fd_);
  if (part_ != Part::Finished) ::unlink(path_.c_str());
}

bool ScanInfoWriter::fail(std::string cause) {
  cause_ = path_ + ": " + std::move(cause);
  part_ = Part::Failed;
  return false;
}

bool ScanInfoWriter::enter(Part part, const char* what) {
  if (part_ == Part::Failed) return false;
  if (part < part_ || part_ == Part::Finished) return fail(std::string(what) + " written out of order");
  part_ = part;
  return true;
}

bool ScanInfoWriter::flush() {
  if (buffer_.empty()) return true;
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end < 0 || !writeAll(fd_, buffer_.data(), buffer_.size(), end)) return fail(std::strerror(errno ? errno : EIO));
  buffer_.clear();
  return true;
}

bool ScanInfoWriter::append(std::span<const std::uint8_t> bytes) {
  if (buffer_.size() + bytes.size() > kWriteBuffer && !flush()) return false;
  if (bytes.size() >= kWriteBuffer) {
    buffer_.assign(bytes.begin(), bytes.end());
    return flush();
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return true;
}

bool ScanInfoWriter::writeEngineTables(std::span<const std::uint8_t> bytes) {
  if (!enter(Part::Tables, "engine tables")) return false;
  engineTableBytes_ += bytes.size();
  return append(bytes);
}

bool ScanInfoWriter::writeSourceEntry(const volume::DEVICE_ENTRY& entry) {
  if (!enter(Part::Entries, "a source entry")) return false;
  if (sourceEntryCount_ == UINT32_MAX) return fail("too many source entries");
  ++sourceEntryCount_;
  if (!append(entry.encode())) return false;
  if (volume::DEVICE_ENTRY::carriesDriveRecord(entry.m_byKind)) {
    const volume::DRIVE_RECORD* d = entry.m_pDetail.drive();
    return append(d ? d->encode() : volume::DRIVE_RECORD{}.encode());
  }
  const volume::VOLUME_RECORD* v = entry.m_pDetail.volume();
  return append(v ? v->encode() : volume::VOLUME_RECORD{}.encode());
}

bool ScanInfoWriter::writeFoundItem(const FOUND_ITEM& item, std::u16string_view name) {
  if (!enter(Part::Items, "a found item")) return false;
  if (foundItemCount_ == UINT32_MAX) return fail("too many found items");
  ++foundItemCount_;
  return append(encodeStoredItem(item, name));
}

bool ScanInfoWriter::finish(engine::SCAN_IMAGE_HEADER header, const SCAN_INFO_DESCRIPTOR& descriptor) {
  if (!enter(Part::Items, "the trailer")) return false;
  header.engineTableBytes = engineTableBytes_;
  header.sourceEntryCount = sourceEntryCount_;
  header.foundItemCount = foundItemCount_;
  header.noDriveSearch = 1;
  const auto headerBytes = header.encode();
  if (auto check = engine::SCAN_IMAGE_HEADER::decode(ByteView(headerBytes)); !check) return fail(check.cause());

  std::array<std::uint8_t, kTrailerBytes> trailer{};
  const auto d = descriptor.encode();
  std::copy(d.begin(), d.end(), trailer.begin());
  if (!append(trailer) || !flush()) return false;
  if (!writeAll(fd_, headerBytes.data(), headerBytes.size(), 0) || ::fsync(fd_) != 0)
    return fail(std::strerror(errno ? errno : EIO));
  part_ = Part::Finished;
  return true;
}

// --- loader --------------------------------------------------------------------------------

Checked<ScanInfoLoader> ScanInfoLoader::open(const std::string& path, ItemCheck items) {
  auto file = platform::ReadOnlyFile::open(path);
  if (!file) return Refusal{"cannot open " + path + ": " + platform::whyNotOpened(path)};
  ScanInfoLoader loader(std::move(*file), path);
  if (auto refused = loader.check(items)) return Refusal{path + ": " + refused->cause};
  return loader;
}

std::optional<Refusal> ScanInfoLoader::check(ItemCheck items) {
  const std::uint64_t size = file_.size();
  if (size < kHeaderBytes + kTrailerBytes)
    return Refusal{std::to_string(size) + " bytes is shorter than a header and a trailer"};
  std::array<std::uint8_t, kHeaderBytes> headerBytes{};
  if (!file_.readExact(0, headerBytes)) return Refusal{"the header could not be read"};
  auto header = engine::SCAN_IMAGE_HEADER::decode(ByteView(headerBytes));
  if (!header) return Refusal{header.cause()};
  header_ = std::move(*header);

  // Every part's length against what the file holds, before anything is read from it.
  std::uint64_t left = size - kHeaderBytes - kTrailerBytes;
  if (header_.engineTableBytes > left)
    return Refusal{"header: engine tables of " + std::to_string(header_.engineTableBytes) + " bytes pass the end of the file"};
  left -= header_.engineTableBytes;
  const std::uint64_t itemBytes = std::uint64_t(header_.foundItemCount) * stored_item::kBytes;
  if (itemBytes > left)
    return Refusal{"header: " + std::to_string(header_.foundItemCount) + " found items pass the end of the file"};
  const std::uint64_t entriesOffset = kHeaderBytes + header_.engineTableBytes;
  const std::uint64_t entryBytes = left - itemBytes;
  if (auto refused = readSourceEntries(entriesOffset, entryBytes)) return refused;
  itemsOffset_ = entriesOffset + entryBytes;

  std::array<std::uint8_t, kTrailerBytes> trailer{};
  if (!file_.readExact(size - kTrailerBytes, trailer)) return Refusal{"the trailer could not be read"};
  auto descriptor = SCAN_INFO_DESCRIPTOR::decode(ByteView(trailer));
  if (!descriptor) return Refusal{"trailer: " + descriptor.cause()};
  descriptor_ = std::move(*descriptor);
  return items == ItemCheck::OnOpen ? walkItems(nullptr) : std::nullopt;
}

std::optional<Refusal> ScanInfoLoader::readSourceEntries(std::uint64_t offset, std::uint64_t bytes) {
  const std::uint64_t end = offset + bytes;
  // Each entry takes at least an entry and the smaller detail record, so the count is
  // bounded by the bytes the file has for them.
  constexpr std::uint64_t kLeast = volume::DEVICE_ENTRY::kStoredSize + volume::DRIVE_RECORD::kStoredSize;
  if (header_.sourceEntryCount > bytes / kLeast)
    return Refusal{"header: " + std::to_string(header_.sourceEntryCount) + " source entries do not fit in the file"};
  entries_.reserve(header_.sourceEntryCount);
  std::array<std::uint8_t, volume::DEVICE_ENTRY::kStoredSize> entryBytes{};
  std::array<std::uint8_t, volume::VOLUME_RECORD::kStoredSize> detail{};
  for (std::uint32_t i = 0; i < header_.sourceEntryCount; ++i) {
    const std::string which = "source entry " + std::to_string(i + 1) + ": ";
    if (end - offset < entryBytes.size() || !file_.readExact(offset, entryBytes))
      return Refusal{which + "passes the end of its part"};
    auto decoded = volume::DEVICE_ENTRY::decode(ByteView(entryBytes));
    if (!decoded) return Refusal{which + "could not be read"};
    volume::DEVICE_ENTRY entry = std::move(*decoded);
    if (entry.m_byKind > engine::kMaxSourceKind)
      return Refusal{which + "kind " + std::to_string(entry.m_byKind) + " is above 12"};
    offset += entryBytes.size();
    const std::size_t n = detailBytes(entry.m_byKind);
    const std::span<std::uint8_t> record(detail.data(), n);
    if (end - offset < n || !file_.readExact(offset, record)) return Refusal{which + "its record passes the end of its part"};
    offset += n;
    if (volume::DEVICE_ENTRY::carriesDriveRecord(entry.m_byKind)) {
      auto d = volume::DRIVE_RECORD::decode(ByteView(record));
      if (!d) return Refusal{which + "drive record could not be read"};
      entry.m_pDetail.makeDrive() = std::move(*d);
    } else {
      auto v = volume::VOLUME_RECORD::decode(ByteView(record));
      if (!v) return Refusal{which + "volume record could not be read"};
      entry.m_pDetail.makeVolume() = std::move(*v);
    }
    entries_.push_back(std::move(entry));
  }
  if (offset != end)
    return Refusal{std::to_string(end - offset) + " bytes after the source entries belong to no part"};
  return std::nullopt;
}

std::optional<Refusal> ScanInfoLoader::walkItems(
    const std::function<bool(const FOUND_ITEM&, std::u16string_view)>* visit) {
  std::vector<std::uint8_t> chunk(kItemsPerRead * stored_item::kBytes);
  StoredItem stored;  // one name buffer for every item
  std::uint32_t index = 0;
  while (index < header_.foundItemCount) {
    const std::uint32_t n = std::min<std::uint32_t>(kItemsPerRead, header_.foundItemCount - index);
    const std::span<std::uint8_t> bytes(chunk.data(), std::size_t(n) * stored_item::kBytes);
    if (!file_.readExact(itemsOffset_ + std::uint64_t(index) * stored_item::kBytes, bytes))
      return Refusal{"found item " + std::to_string(index + 1) + " could not be read"};
    for (std::uint32_t k = 0; k < n; ++k, ++index) {
      const std::string_view cause =
          decodeStoredItemInto(ByteView(bytes.subspan(std::size_t(k) * stored_item::kBytes, stored_item::kBytes)), stored);
      if (!cause.empty()) return Refusal{"found item " + std::to_string(index + 1) + ": " + std::string(cause)};
      if (visit && !(*visit)(stored.item, stored.name)) return std::nullopt;
    }
  }
  return std::nullopt;
}

bool ScanInfoLoader::readEngineTables(const std::function<bool(std::span<const std::uint8_t>)>& sink) {
  std::vector<std::uint8_t> chunk(std::min<std::uint64_t>(kTableChunk, header_.engineTableBytes));
  for (std::uint64_t done = 0; done < header_.engineTableBytes;) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(chunk.size(), header_.engineTableBytes - done));
    const std::span<std::uint8_t> bytes(chunk.data(), n);
    if (!file_.readExact(kHeaderBytes + done, bytes)) {
      cause_ = path_ + ": the engine tables could not be read at byte " + std::to_string(kHeaderBytes + done);
      return false;
    }
    if (!sink(bytes)) return true;
    done += n;
  }
  return true;
}

bool ScanInfoLoader::readEngineTableBytes(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (offset > header_.engineTableBytes || out.size() > header_.engineTableBytes - offset) {
    cause_ = path_ + ": the engine tables end before byte " + std::to_string(offset + out.size());
    return false;
  }
  if (!file_.readExact(kHeaderBytes + offset, out)) {
    cause_ = path_ + ": the engine tables could not be read at byte " + std::to_string(kHeaderBytes + offset);
    return false;
  }
  return true;
}

bool ScanInfoLoader::forEachFoundItem(const std::function<bool(const FOUND_ITEM&, std::u16string_view)>& visit) {
  if (auto refused = walkItems(&visit)) {
    cause_ = path_ + ": " + refused->cause;
    return false;
  }
  return true;
}

bool replayFoundItems(ScanInfoLoader& loader, platform::IFoundItemSink& console) {
  console.ResetFoundTree();
  ParentCycleBreaker cycles;
  const bool read = loader.forEachFoundItem([&](const FOUND_ITEM& item, std::u16string_view name) {
    cycles.note(item, name, console.AddFoundItem(item, name));
    console.UpdateStatusCounts();
    return true;
  });
  if (!read) return false;
  cycles.breakCycles(console);
  return true;
}

}  // namespace qelda::save
