#include "volume/ldm.h"

#include <algorithm>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "volume/disk_state.h"
#include "volume/ldm_layout.h"
#include "fs/partition_boot.h"
#include "volume/partition_list.h"
#include "image/virtual_disk.h"

namespace qelda::volume {

using platform::ByteView;
using platform::ParseError;
using platform::Parsed;

std::size_t LdmIdHash::operator()(const LdmId& id) const {
  std::uint64_t h = id.size;
  for (std::uint8_t b : id.bytes) h = h * 0x100000001B3ull ^ b;
  return std::size_t(h);
}

void ReverseBytes(const std::uint8_t* source, std::uint8_t* destination, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) destination[i] = source[count - 1 - i];
}

std::optional<LdmGuid> parseGuidText(std::string_view text) {
  static constexpr std::size_t kDashes[] = {8, 13, 18, 23};
  if (text.size() < 36) return std::nullopt;
  LdmGuid guid{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < 36; ++i) {
    const char c = text[i];
    if (std::find(std::begin(kDashes), std::end(kDashes), i) != std::end(kDashes)) {
      if (c != '-') return std::nullopt;
      continue;
    }
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) return std::nullopt;
    guid[nibble / 2] = std::uint8_t(guid[nibble / 2] | (nibble % 2 ? v : v << 4));
    ++nibble;
  }
  return guid;
}

Parsed<LdmPrivateHeader> parseLdmPrivateHeader(ByteView sector) {
  if (!sector.matches(ldm::kPrivHeadMagic, "PRIVHEAD")) return ParseError::NotThisFormat;
  const auto start = sector.be64(ldm::kLogicalDiskStart);
  const auto configStart = sector.be64(ldm::kConfigStart);
  const auto configSize = sector.be64(ldm::kConfigSize);
  const auto guidText = sector.sub(ldm::kPrivHeadDiskGuid, ldm::kPrivHeadGuidBytes);
  if (!start || !configStart || !configSize || !guidText) return ParseError::Truncated;
  LdmPrivateHeader h;
  h.logicalDiskStart = *start;
  h.configStart = *configStart;
  // A size that cannot be a byte count is no size at all.
  h.configBytes = *configSize <= (UINT64_MAX >> 9) ? *configSize * 512 : 0;
  h.diskGuid = parseGuidText({reinterpret_cast<const char*>(guidText->data()), guidText->size()});
  return h;
}

namespace {

// Walks the variable-length fields of one record; every field must end inside it.
class VblkFields {
 public:
  VblkFields(ByteView record, std::size_t position) : record_(record), pos_(position) {}

  // The next field's bytes (after its length byte).
  std::optional<ByteView> next() {
    const auto length = record_.u8(pos_);
    if (!length) return fail();
    const auto bytes = record_.sub(pos_ + 1, *length);
    if (!bytes) return fail();
    pos_ += 1 + *length;
    return bytes;
  }
  std::optional<LdmId> id() {
    const auto f = next();
    if (!f || f->size() > 8) return failId();
    LdmId out;
    std::copy_n(f->data(), f->size(), out.bytes.begin());
    out.size = std::uint8_t(f->size());
    return out;
  }
  // A big-endian number of up to 8 bytes.
  std::optional<std::uint64_t> number() {
    const auto f = next();
    if (!f || f->size() > 8) {
      ok_ = false;
      return std::nullopt;
    }
    std::array<std::uint8_t, 8> little{};
    ReverseBytes(f->data(), little.data(), f->size());
    return ByteView(little).le64(0);
  }
  std::optional<std::string> text() {
    const auto f = next();
    if (!f) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(f->data()), f->size());
  }
  std::optional<ByteView> fixed(std::size_t length) {
    const auto bytes = record_.sub(pos_, length);
    if (!bytes) return fail();
    pos_ += length;
    return bytes;
  }
  bool ok() const { return ok_; }

 private:
  std::optional<ByteView> fail() {
    ok_ = false;
    return std::nullopt;
  }
  std::optional<LdmId> failId() {
    ok_ = false;
    return std::nullopt;
  }
  ByteView record_;
  std::size_t pos_;
  bool ok_ = true;
};

std::uint32_t diskNumberFromName(std::string_view name) {
  std::uint64_t n = 0;
  for (std::size_t i = 4; i < name.size() && name[i] >= '0' && name[i] <= '9' && n <= UINT32_MAX; ++i)
    n = n * 10 + std::uint64_t(name[i] - '0');
  return n <= UINT32_MAX ? std::uint32_t(n) : 0;
}

}  // namespace

Parsed<LdmRecord> parseVblkRecord(ByteView record) {
  if (!record.matches(ldm::kVblkMagic, "VBLK")) return ParseError::NotThisFormat;
  const auto fragment = record.be16(ldm::kVblkFragment);
  const auto type = record.u8(ldm::kVblkType);
  if (!fragment || !type) return ParseError::Truncated;
  // A record longer than one block continues in further fragments; only the first one
  // carries the type and the leading fields.
  if (*fragment != 0) return LdmRecord{};

  VblkFields f(record, ldm::kVblkBody);
  switch (*type) {
    case ldm::kTypeVolume: {
      LdmVolumeRecord v;
      const auto id = f.id();
      const auto name = f.text();
      const auto kind = f.text();
      if (!f.ok() || !id || !name || !kind) return ParseError::OutOfRange;
      v.id = *id;
      v.name = *name;
      v.volumeType = *kind;
      return LdmRecord{v};
    }
    case ldm::kTypeComponent: {
      LdmComponentRecord c;
      const auto id = f.id();
      f.next();  // name
      f.next();  // state text
      const auto gap = f.fixed(ldm::kComponentGapAfterState);
      f.next();  // child count
      f.fixed(ldm::kComponentGapAfterChildren);
      const auto parent = f.id();
      if (!f.ok() || !id || !gap || !parent) return ParseError::OutOfRange;
      c.id = *id;
      c.kind = *gap->u8(0);
      c.parentVolumeId = *parent;
      return LdmRecord{c};
    }
    case ldm::kTypePartition: {
      LdmPartitionRecord p;
      const auto id = f.id();
      f.next();  // name
      f.fixed(ldm::kPartitionGapAfterName);
      const auto place = f.fixed(16);
      const auto size = f.number();
      const auto parent = f.id();
      const auto disk = f.id();
      if (!f.ok() || !id || !place || !size || !parent || !disk) return ParseError::OutOfRange;
      p.id = *id;
      p.start = *place->be64(0);
      p.volumeOffset = *place->be64(8);
      p.size = *size;
      p.parentComponentId = *parent;
      p.diskId = *disk;
      return LdmRecord{p};
    }
    case ldm::kTypeDisk:
    case ldm::kTypeDiskRev4: {
      LdmDiskRecord d;
      const auto id = f.id();
      const auto name = f.text();
      if (!f.ok() || !id || !name) return ParseError::OutOfRange;
      d.id = *id;
      d.number = diskNumberFromName(*name);
      // The disk's GUID: text in the older revision, 16 bytes in the newer one. A record
      // without a readable GUID still names its disk.
      if (*type == ldm::kTypeDisk) {
        if (const auto text = f.text()) d.guid = parseGuidText(*text);
      } else if (const auto raw = f.fixed(ldm::kDiskRev4GuidBytes)) {
        LdmGuid g{};
        std::copy_n(raw->data(), g.size(), g.begin());
        d.guid = g;
      }
      return LdmRecord{d};
    }
    default:
      return LdmRecord{};
  }
}

namespace {

constexpr std::uint64_t kChunkSectors = 2048;  // 1 MiB per read

// Calls visit(sector, bytes) for the sectors [first, end) in order until it returns false.
template <class Visit>
void forEachSector(DiskState& app, std::uint64_t first, std::uint64_t end, Visit visit) {
  std::vector<std::uint8_t> buffer;
  for (std::uint64_t s = first; s < end;) {
    const std::uint64_t n = std::min(kChunkSectors, end - s);
    buffer.assign(n * 512, 0);
    image::ReadSourceSectors(app, buffer.data(), s, std::uint32_t(buffer.size()));
    for (std::uint64_t i = 0; i < n; ++i)
      if (!visit(s + i, ByteView(buffer.data() + i * 512, 512))) return;
    s += n;
  }
}

}  // namespace

std::uint32_t FindLdmPrivateHeader(DiskState& app, LdmDatabase& database, std::uint64_t sector) {
  database.header = {};
  database.headerFound = false;
  const std::uint64_t diskSectors = app.m_nDiskSectors;
  std::optional<LdmPrivateHeader> found;
  const auto take = [&](std::uint64_t, ByteView bytes) {
    auto h = parseLdmPrivateHeader(bytes);
    if (h) found = *h;
    return !found;
  };
  if (sector < diskSectors) forEachSector(app, sector, sector + 1, take);
  if (!found) forEachSector(app, 0, std::min(ldm::kPrivHeadSearchLast + 1, diskSectors), take);
  if (!found) return 0;
  database.header = *found;
  database.headerFound = true;
  return 1;
}

namespace {

// The end of the database area the private header gives, when `sector` lies in it.
std::optional<std::uint64_t> configEndAround(const LdmDatabase& database, std::uint64_t sector) {
  const LdmPrivateHeader& h = database.header;
  if (!database.headerFound || h.configStart > UINT64_MAX - h.configBytes / 512) return std::nullopt;
  const std::uint64_t configEnd = h.configStart + h.configBytes / 512;
  if (sector < h.configStart || sector >= configEnd) return std::nullopt;
  return configEnd;
}

// Where a look through the database that begins at `from` (inside it or at its header)
// ends: at the end of the database area when `around` lies in it, after at most
// kMaxDatabaseSectors, and at the end of the disk.
std::uint64_t databaseEnd(const DiskState& app, const LdmDatabase& database, std::uint64_t around,
                          std::uint64_t from) {
  const std::uint64_t capped = from <= UINT64_MAX - ldm::kMaxDatabaseSectors ? from + ldm::kMaxDatabaseSectors : UINT64_MAX;
  return std::min({app.m_nDiskSectors, configEndAround(database, around).value_or(UINT64_MAX), capped});
}

// Appends `record` unless a record of its kind with its id came first.
template <class R>
void keepFirstOfId(std::vector<R>& records, std::unordered_set<LdmId, LdmIdHash>& ids, const R& record) {
  if (ids.insert(record.id).second) records.push_back(record);
}

}  // namespace

void FindLdmDatabase(DiskState& app, LdmDatabase& database, std::uint64_t startSector) {
  // The search stays inside the database area when it starts there, and never runs on to
  // the end of a disk: past its end every sector reads as zeros.
  const std::uint64_t end = databaseEnd(app, database, startSector, startSector);
  forEachSector(app, startSector, end, [&](std::uint64_t s, ByteView bytes) {
    if (!bytes.matches(ldm::kVmdbMagic, "VMDB")) return true;
    database.firstVblkSector = s + 1;
    database.databaseFound = true;
    return false;
  });
}

void ParseLdmRecords(DiskState& app, LdmDatabase& database) {
  database.disks.clear();
  database.components.clear();
  database.partitions.clear();
  database.volumes.clear();
  if (!database.databaseFound) return;

  // The records end with the first block that is not one, at the end of the database area
  // the private header gives (when the database header lies in it), and at the end of the disk.
  const std::uint64_t vmdb = database.firstVblkSector - 1;
  const std::uint64_t end = databaseEnd(app, database, vmdb, database.firstVblkSector);
  // A database that repeats a record (thousands of copies of one volume's pieces) must not
  // multiply what it describes.
  std::unordered_set<LdmId, LdmIdHash> diskIds, componentIds, partitionIds, volumeIds;
  forEachSector(app, database.firstVblkSector, end, [&](std::uint64_t, ByteView sector) {
    for (std::size_t i = 0; i < ldm::kVblkPerSector; ++i) {
      const auto parsed = parseVblkRecord(*sector.sub(i * ldm::kVblkSize, ldm::kVblkSize));
      if (!parsed) {
        if (parsed.error() == ParseError::NotThisFormat) return false;
        continue;  // a damaged record is skipped
      }
      std::visit(
          [&](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, LdmDiskRecord>) keepFirstOfId(database.disks, diskIds, r);
            else if constexpr (std::is_same_v<R, LdmComponentRecord>) keepFirstOfId(database.components, componentIds, r);
            else if constexpr (std::is_same_v<R, LdmPartitionRecord>) keepFirstOfId(database.partitions, partitionIds, r);
            else if constexpr (std::is_same_v<R, LdmVolumeRecord>) keepFirstOfId(database.volumes, volumeIds, r);
          },
          *parsed);
    }
    return true;
  });
}

void AssembleLdmVolumes(DiskState& app, LdmDatabase& database) {
  database.assembled.clear();

  // The database describes every disk of the group; only pieces on the disk this header
  // stands on can be read here. When no disk record matches the header, keep all pieces.
  std::unordered_set<LdmId, LdmIdHash> thisDisk;
  if (database.headerFound && database.header.diskGuid) {
    for (const LdmDiskRecord& d : database.disks)
      if (d.guid == database.header.diskGuid) thisDisk.insert(d.id);
  }
  const auto onThisDisk = [&](const LdmId& id) { return thisDisk.empty() || thisDisk.count(id) != 0; };

  // Each record is looked up by the id its child names, so the walk is as long as the
  // database, not the product of its record counts. Ids are unique per kind (the parse
  // keeps the first record of each), so every partition record joins one volume at most.
  std::unordered_map<LdmId, std::vector<const LdmComponentRecord*>, LdmIdHash> componentsOf;
  for (const LdmComponentRecord& c : database.components) componentsOf[c.parentVolumeId].push_back(&c);
  std::unordered_map<LdmId, std::vector<const LdmPartitionRecord*>, LdmIdHash> partitionsOf;
  for (const LdmPartitionRecord& p : database.partitions) partitionsOf[p.parentComponentId].push_back(&p);
  std::unordered_map<LdmId, const LdmDiskRecord*, LdmIdHash> diskById;
  for (const LdmDiskRecord& d : database.disks) diskById.emplace(d.id, &d);

  for (const LdmVolumeRecord& volume : database.volumes) {
    if (volume.volumeType != "gen") continue;
    const auto components = componentsOf.find(volume.id);
    if (components == componentsOf.end()) continue;
    LdmAssembledVolume assembled;
    for (const LdmComponentRecord* component : components->second) {
      // Striped and RAID-5 data cannot be read as one run of sectors.
      if (component->kind == ldm::kComponentStriped || component->kind == ldm::kComponentRaid5) continue;
      const auto found = partitionsOf.find(component->id);
      if (found == partitionsOf.end()) continue;
      std::vector<const LdmPartitionRecord*> members = found->second;
      // The piece at the start of the volume holds its boot sector.
      std::stable_sort(members.begin(), members.end(),
                       [](const auto* a, const auto* b) { return a->volumeOffset < b->volumeOffset; });
      for (const LdmPartitionRecord* p : members) {
        const auto disk = diskById.find(p->diskId);
        if (disk == diskById.end() || !onThisDisk(disk->first)) continue;
        const std::uint64_t bytes = p->size <= (UINT64_MAX >> 9) ? p->size * 512 : 0;
        assembled.pieces.push_back({disk->second->number, p->start, p->size, bytes});
      }
    }
    if (!assembled.pieces.empty()) database.assembled.push_back(std::move(assembled));
  }
  AddLdmVolumes(app, database);
}

void AddLdmVolumes(DiskState& app, LdmDatabase& database) {
  const std::uint64_t base = database.header.logicalDiskStart;
  for (const LdmAssembledVolume& volume : database.assembled) {
    VOLUME_NODE* node = nullptr;
    std::uint32_t nodeDisk = 0;
    for (const LdmPiece& piece : volume.pieces) {
      if (node) {
        // The node covers every piece of its volume on the disk of its first piece.
        // Summed in 64 bits, held at the largest count: the source list cuts what lies
        // past the end of the disk.
        if (piece.diskNumber == nodeDisk)
          node->m_nSectorCount = piece.sectors > UINT64_MAX - node->m_nSectorCount ? UINT64_MAX
                                                                                  : node->m_nSectorCount + piece.sectors;
        continue;
      }
      if (piece.start > UINT64_MAX - base) continue;
      const std::uint64_t start = base + piece.start;
      std::array<std::uint8_t, 512> boot{};
      image::ReadSourceSectors(app, boot.data(), start, std::uint32_t(boot.size()));
      const auto type = fs::volumeTypeFromBootSector(ByteView(boot));
      if (!type || IsLdmVolumeAdded(database, start)) continue;
      node = &appendVolumeNode(app, start, piece.sectors, boot, *type);
      nodeDisk = piece.diskNumber;
      database.addedStarts.insert(start);
    }
  }
}

std::uint32_t IsLdmVolumeAdded(const LdmDatabase& database, std::uint64_t startSector) {
  return database.addedStarts.count(startSector) ? 1 : 0;
}

}  // namespace qelda::volume
