// Every length finder, MatchRawSignatures and the sweep over one input taken as a source.
// Shared by the libFuzzer entry point and the test that replays the seed corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "carve/header_catalogue.h"
#include "carve/length_finders.h"
#include "carve/raw_match.h"
#include "carve/raw_sweep.h"

namespace qelda::carve::fuzz {

inline void runEveryCarveFinder(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> disk(data, data + size);
  disk.resize((disk.size() + 511) / 512 * 512);
  const std::uint64_t sectors = disk.size() / 512;
  const engine::SectorReader reader = [&disk, sectors](std::uint64_t sector, std::uint8_t* buffer, std::uint32_t count) {
    bool ok = true;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint8_t* out = buffer + std::size_t(i) * 512;
      if (sector + i < sectors) {
        std::copy(disk.begin() + std::ptrdiff_t((sector + i) * 512), disk.begin() + std::ptrdiff_t((sector + i + 1) * 512), out);
      } else {
        std::fill(out, out + 512, std::uint8_t{0});
        ok = false;
      }
    }
    return ok;
  };

  // Each finder from the first byte, with a limit taken from the input so that it varies.
  const std::uint32_t limit = size >= 4 ? (std::uint32_t(data[size - 1]) << 16 | std::uint32_t(data[size - 2]) << 8) : 4096;
  using Finder = FinderOutcome (*)(FinderRun&);
  for (Finder finder : {GetJpegFileSize, GetTiffFileSize, GetBmpFileSize, GetGifFileSize, GetPngFileSize,
                        GetAuFileSize, GetAviFileSize, GetRarFileSize, GetZipFileSize, GetHtmlFileSize}) {
    engine::ByteWindow window(reader, 0, sectors, 4096);
    FinderRun run{window, nullptr, limit};
    (void)finder(run);
  }
  {
    engine::ByteWindow window(reader, 0, sectors, 4096);
    FinderRun run{window, nullptr, limit};
    (void)GetOfficeFileSize(run);
  }

  // The whole dispatch over every sector, with a type no finder claims beside the catalogue.
  SelectedHeaders headers;
  for (const HEADER_RECORD& r : defaultHeaderCatalogue()) headers.append(r);
  HEADER_RECORD unclaimed;
  unclaimed.m_wTypeId = 9;
  unclaimed.m_nHeaderLen = 2;
  unclaimed.m_abyHeader = {'Q', 'Z'};
  unclaimed.m_nMaxSize = limit;
  headers.append(unclaimed);
  const SectorUnitRule rule(sectors);
  const RAW_READ_CONTEXT context{reader, 0, sectors, &rule, headers.head(), nullptr};
  RawSweep sweep;
  sweep.endUnit = sectors;
  sweep.unitsPerBlock = 16;
  sweep.firstSectorOf = [](std::uint64_t unit) { return unit; };
  sweep.report = [](RawHit&&) {};
  sweepForKnownTypes(context, sweep);
}

}  // namespace qelda::carve::fuzz
