// A source held in memory for the carving tests, the corpus made by make_carve_corpus.sh, and
// the committed fixtures.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "carve/header_catalogue.h"
#include "carve/length_finders.h"
#include "carve/raw_match.h"
#include "engine/byte_window.h"
#include "support/test_images.h"

namespace qelda::carve::test {

using Bytes = std::vector<std::uint8_t>;

// Sectors in memory, read through the same reader interface the engines give; sectors listed
// as bad, or past the end, make a read fail (and read as zeros).
class MemorySource {
 public:
  MemorySource() = default;
  explicit MemorySource(Bytes bytes) : bytes_(std::move(bytes)) { bytes_.resize((bytes_.size() + 511) / 512 * 512); }

  std::uint64_t sectors() const { return bytes_.size() / 512; }
  const Bytes& bytes() const { return bytes_; }
  Bytes& bytes() { return bytes_; }
  std::set<std::uint64_t> badSectors;
  mutable std::atomic<std::uint64_t> reads{0};

  engine::SectorReader reader() const {
    return [this](std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
      ++reads;
      bool ok = true;
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t s = sector + i;
        std::uint8_t* out = buffer + std::size_t(i) * 512;
        if (s >= sectors() || badSectors.count(s)) {
          std::fill(out, out + 512, std::uint8_t{0});
          ok = false;
        } else {
          std::copy(bytes_.begin() + std::ptrdiff_t(s * 512), bytes_.begin() + std::ptrdiff_t(s * 512 + 512), out);
        }
      }
      return ok;
    };
  }

 private:
  Bytes bytes_;
};

inline Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline Bytes randomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = std::uint8_t(rng());
  return out;
}

// The committed fixtures (tests/data/carve).
inline std::filesystem::path fixture(const std::string& name) {
  return std::filesystem::path(QELDA_TEST_SOURCES_DIR) / "data" / "carve" / name;
}

// The corpus made by real tools at test time, cached beside the image corpus.
inline std::string carveCorpus() {
  static const std::string dir = [] {
    const std::string out = qelda::test::testImagesDir() + "-carve";
    const auto script = std::filesystem::path(QELDA_TEST_SOURCES_DIR) / "carve" / "make_carve_corpus.sh";
    const std::string cmd = "bash '" + script.string() + "' '" + out + "'";
    if (std::system(cmd.c_str()) != 0) return std::string();
    return out;
  }();
  return dir;
}

struct CorpusFile {
  std::string name;
  std::uint16_t typeId = 0;
  std::uint64_t size = 0;
};

inline std::vector<CorpusFile> corpusManifest() {
  std::vector<CorpusFile> out;
  std::ifstream in(carveCorpus() + "/manifest");
  CorpusFile f;
  while (in >> f.name >> f.typeId >> f.size) out.push_back(f);
  return out;
}

// Places each file at its sector in a source of the given length; the rest is `fill`.
struct Planted {
  std::uint64_t sector = 0;
  Bytes bytes;
};
inline MemorySource plantedSource(const std::vector<Planted>& files, std::uint64_t sectors, const Bytes& fill = {}) {
  Bytes disk = fill;
  disk.resize(sectors * 512, 0);
  for (const Planted& f : files) {
    if (disk.size() < f.sector * 512 + f.bytes.size()) disk.resize(f.sector * 512 + f.bytes.size(), 0);
    std::copy(f.bytes.begin(), f.bytes.end(), disk.begin() + std::ptrdiff_t(f.sector * 512));
  }
  return MemorySource(std::move(disk));
}

// Runs one finder over the source from a sector on.
template <class Finder>
auto runFinder(Finder finder, const MemorySource& src, std::uint64_t sector = 0, std::uint32_t maxSize = 0x6400000,
               const std::atomic<std::uint32_t>* stop = nullptr) {
  const engine::SectorReader reader = src.reader();
  engine::ByteWindow window(reader, sector, src.sectors());
  FinderRun run{window, stop, maxSize};
  return finder(run);
}

// MatchRawSignatures over a source, stepping sectors, with the default catalogue's records of
// the given type ids selected in catalogue order (all of them when none are given).
class Dispatcher {
 public:
  explicit Dispatcher(const MemorySource& src, const std::vector<std::uint16_t>& typeIds = {},
                      std::uint32_t clusterBytes = 512)
      : src_(src), reader_(src.reader()), rule_(src.sectors(), clusterBytes) {
    for (const HEADER_RECORD& r : defaultHeaderCatalogue())
      if (typeIds.empty() || std::find(typeIds.begin(), typeIds.end(), r.m_wTypeId) != typeIds.end())
        headers_.append(r);
    context_.reader = reader_;
    context_.sourceEndSector = src.sectors();
    context_.unitRule = &rule_;
    context_.selectedHeaders = headers_.head();
    context_.stop = &stop;
  }
  // Adds a record at the tail of the selected list.
  void select(const HEADER_RECORD& r) {
    headers_.append(r);
    context_.selectedHeaders = headers_.head();
  }
  std::span<const std::uint8_t, 512> sector(std::uint64_t s) const {
    return std::span<const std::uint8_t, 512>(src_.bytes().data() + s * 512, 512);
  }
  std::optional<RawMatch> match(std::uint64_t s) const {
    RawMatch m;
    if (!MatchRawSignatures(context_, sector(s), s, s, &m)) return std::nullopt;
    return m;
  }
  bool test(std::uint64_t s) const { return MatchRawSignatures(context_, sector(s), s, s, nullptr); }
  const RAW_READ_CONTEXT& context() const { return context_; }

  std::atomic<std::uint32_t> stop{0};

 private:
  const MemorySource& src_;
  engine::SectorReader reader_;
  SectorUnitRule rule_;
  SelectedHeaders headers_;
  RAW_READ_CONTEXT context_;
};

}  // namespace qelda::carve::test
