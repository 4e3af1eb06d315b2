// Matching sectors against the selected file types and sizing what matched: the one
// MatchRawSignatures every engine uses. An engine takes part through RAW_READ_CONTEXT: the
// reader of its source, the source's range, and its own rule for the unit that follows a unit
// in the forward search.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "carve/header_record.h"
#include "engine/byte_window.h"

namespace qelda::carve {

// A unit the forward search steps to: a cluster (or a sector) and where its first sector lies.
struct RawUnit {
  std::uint64_t unit = 0;
  std::uint64_t firstSector = 0;  // absolute, as the source reader counts sectors
};

// The engine's rule for the forward search. Called from several threads at once: it must only
// read the engine's tables.
class IRawUnitRule {
 public:
  virtual ~IRawUnitRule() = default;
  // Bytes of one step: a cluster's bytes when stepping clusters, 512 when stepping sectors.
  virtual std::uint32_t unitBytes() const = 0;
  // A cluster's bytes: where the Office path's forward search starts in both stepping modes.
  virtual std::uint32_t clusterBytes() const = 0;
  // The unit the search takes after `unit`; nothing when none is left.
  virtual std::optional<RawUnit> nextUnit(std::uint64_t unit) const = 0;
};

// Stepping sector by sector, as every engine does when it searches a whole drive or range:
// the unit is the absolute sector itself, and the search ends at the source's end.
class SectorUnitRule final : public IRawUnitRule {
 public:
  explicit SectorUnitRule(std::uint64_t endSector, std::uint32_t clusterBytes = engine::kSectorBytes)
      : endSector_(endSector), clusterBytes_(clusterBytes) {}
  std::uint32_t unitBytes() const override { return engine::kSectorBytes; }
  std::uint32_t clusterBytes() const override { return clusterBytes_; }
  std::optional<RawUnit> nextUnit(std::uint64_t unit) const override {
    if (unit + 1 >= endSector_) return std::nullopt;
    return RawUnit{unit + 1, unit + 1};
  }

 private:
  std::uint64_t endSector_;
  std::uint32_t clusterBytes_;
};

struct RAW_READ_CONTEXT {
  engine::SectorReader reader;              // the image file or the source: every finder reads through it
  std::uint64_t sourceFirstSector = 0;      // the range the scan covers, absolute sectors: the forward
  std::uint64_t sourceEndSector = 0;        // search stays inside it, and no finder reads at or past its end
  const IRawUnitRule* unitRule = nullptr;   // the engine's next-unit rule
  const HEADER_RECORD* selectedHeaders = nullptr;   // head of the selected chain, walked by m_pNext
  const std::atomic<std::uint32_t>* stop = nullptr;  // the stop flag

  bool stopRequested() const { return stop && stop->load(std::memory_order_relaxed) != 0; }
};

// What a match found and how it was sized.
struct RawMatch {
  const HEADER_RECORD* record = nullptr;  // the selected record that matched
  std::u16string typeText;                // "DOC", "XLS", "PPT", "BAD" or the record's m_szExtension
  std::uint64_t size = 0;
  std::u16string name;                    // a finder-given name, cleaned; empty when none
  std::optional<std::uint64_t> modified;  // DOS time low, DOS date high
  bool skipCovered = false;               // the caller may pass over the units the file covers
  // The file's own structure says where it ends, inside the source: not the type's limit, not
  // cut at the source's end, not where the next signature stands.
  bool endKnown = false;
};

class FinderMemory;

// Compares the sector's bytes with each selected record's signature, in list order. Without
// `match` it only says whether some signature starts here (no finder runs). With it, the first
// record whose finder accepts the data (or that has no finder) sizes the file into `match`.
// `absoluteSector` is where the sector lies; `unit` is the cluster (or sector) the forward
// search starts after. `memory`, when given, is what the finders of one sweep share.
bool MatchRawSignatures(const RAW_READ_CONTEXT& context, std::span<const std::uint8_t, 512> sector,
                        std::uint64_t absoluteSector, std::uint64_t unit, RawMatch* match,
                        FinderMemory* memory = nullptr);

// The forward search: from a counter of startBytes, one unit more for every following unit
// (by the engine's rule) whose first sector starts no selected signature, while the counter is
// below maxSize.
std::uint64_t measureForward(const RAW_READ_CONTEXT& context, std::uint64_t unit, std::uint64_t startBytes,
                             std::uint32_t maxSize);

}  // namespace qelda::carve
