// The engines show the rest of the program what their adapters call and nothing more: their
// passes and fields are reached from the tests through EngineProbe alone.
#include <gtest/gtest.h>

#include "engine/scan_state.h"
#include "exfat/exfat_engine.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "support/engine_probe.h"

namespace qelda::test {
namespace {

// Each holds when the member can be named from outside the engine.
template <class E> concept ShowsLastSector = requires(E& e) { e.m_nLastSector; };
template <class E> concept ShowsNextItemId = requires(E& e) { e.m_nNextItemId; };
template <class E> concept ShowsInitializeVolume = requires(E& e) { &E::initializeVolume; };
template <class E> concept ShowsFat = requires(E& e) { e.m_pFat; };
template <class E> concept ShowsFatVerifyFats = requires(E& e) { e.FatVerifyFats(); };
template <class E> concept ShowsWorkFiles = requires(E& e) { e.m_hFatFile; };
template <class E> concept ShowsLoadBootSectorAndFat = requires(E& e) { e.LoadBootSectorAndFat(); };
template <class E> concept ShowsFreeExtents = requires(E& e) { e.m_pFreeExtents; };
template <class E> concept ShowsRecordSector = requires(E& e) { e.GetRecordSector(0u); };
// What the adapters call.
template <class E> concept ShowsScans = requires(E& e) {
  e.Initialize(std::uint8_t(0));
  e.FreeAll();
  e.ScanRaw();
  e.foundCount();
};

template <class E> constexpr bool kInternalsHidden =
    !ShowsLastSector<E> && !ShowsNextItemId<E> && !ShowsInitializeVolume<E>;

static_assert(ShowsScans<ntfs::CNtfsEngine> && kInternalsHidden<ntfs::CNtfsEngine>);
static_assert(!ShowsFreeExtents<ntfs::CNtfsEngine> && !ShowsRecordSector<ntfs::CNtfsEngine>);
static_assert(ShowsScans<fat::CFatEngine> && kInternalsHidden<fat::CFatEngine>);
static_assert(!ShowsFat<fat::CFatEngine> && !ShowsFatVerifyFats<fat::CFatEngine>);
static_assert(ShowsScans<exfat::CExFatEngine> && kInternalsHidden<exfat::CExFatEngine>);
static_assert(!ShowsWorkFiles<exfat::CExFatEngine> && !ShowsLoadBootSectorAndFat<exfat::CExFatEngine>);

// The probe hands out the engine's own fields, not copies: what a test sets there is what
// the engine's public face reports.
TEST(EngineProbe, FieldsAreTheEnginesOwn) {
  engine::ScanState state;
  fat::CFatEngine fatEngine(state, {});
  EngineProbe::m_nSectorsPerCluster(fatEngine) = 16;
  EXPECT_EQ(fatEngine.sectorsPerCluster(), 16u);
  exfat::CExFatEngine exfatEngine(state, {});
  EngineProbe::m_nSectorsPerCluster(exfatEngine) = 64;
  EXPECT_EQ(exfatEngine.sectorsPerCluster(), 64u);
  ntfs::CNtfsEngine ntfsEngine(state, {});
  EngineProbe::m_nFileCount(ntfsEngine) = 3;
  EngineProbe::m_nFolderCount(ntfsEngine) = 2;
  EXPECT_EQ(EngineProbe::m_nFileCount(ntfsEngine) + EngineProbe::m_nFolderCount(ntfsEngine), 5u);
}

}  // namespace
}  // namespace qelda::test
