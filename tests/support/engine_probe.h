// EngineProbe: the tests' one way into the volume engines' internals. The engines keep
// their passes and fields private and name this class their friend; each forwarder below
// carries the name of the member it reaches and takes the engine first, so
// `e.FatVerifyFats()` reads `EngineProbe::FatVerifyFats(e)` and `e.m_pFat` reads `EngineProbe::m_pFat(e)`.
// What a test can check through an engine's public face it checks there instead.
#pragma once

#include <utility>

namespace qelda::test {

// A member function: called with the arguments given, its result passed on as it is.
#define QELDA_PROBE_CALL(name)                                  \
  template <class Engine, class... Args>                        \
  static decltype(auto) name(Engine& engine, Args&&... args) {  \
    return engine.name(std::forward<Args>(args)...);            \
  }
// A field: a reference to it, so that a test may set up the state it checks.
#define QELDA_PROBE_FIELD(name)            \
  template <class Engine>                  \
  static auto& name(Engine& engine) {      \
    return engine.name;                    \
  }

class EngineProbe {
 public:
  // Set-up and reading.
  QELDA_PROBE_CALL(initializeVolume)
  QELDA_PROBE_CALL(setWorkRoot)
  QELDA_PROBE_CALL(setWorkInMemoryUpTo)
  QELDA_PROBE_CALL(workFolder)
  QELDA_PROBE_CALL(ReadBootSector)
  QELDA_PROBE_CALL(LoadBootSectorAndFat)
  QELDA_PROBE_CALL(ReadClusterSectors)
  QELDA_PROBE_CALL(GetClusterList)
  QELDA_PROBE_CALL(FollowClusterChain)
  QELDA_PROBE_CALL(ReadCompressedFile)

  // FAT copies and the cluster map.
  QELDA_PROBE_CALL(FatCopyBootParams)
  QELDA_PROBE_CALL(FatCheckFatSignatures)
  QELDA_PROBE_CALL(FatVerifyFat)
  QELDA_PROBE_CALL(FatVerifyFats)
  QELDA_PROBE_CALL(FatMarkUsedClusters)
  QELDA_PROBE_CALL(VerifyFat)
  QELDA_PROBE_CALL(BuildClusterMap)
  QELDA_PROBE_CALL(MarkClusterMap)
  QELDA_PROBE_CALL(clusterMapByte)

  // $MFT.
  QELDA_PROBE_CALL(LoadMft)
  QELDA_PROBE_CALL(GetRecordSector)
  QELDA_PROBE_CALL(readRecord)
  QELDA_PROBE_CALL(mftRecordCount)
  QELDA_PROBE_CALL(runRecords)
  QELDA_PROBE_CALL(advancedScan)

  // Passes and what they leave.
  QELDA_PROBE_CALL(SearchDirectoryClusters)
  QELDA_PROBE_CALL(PushPendingItem)
  QELDA_PROBE_CALL(pendingItemCount)
  QELDA_PROBE_CALL(failure)
  QELDA_PROBE_CALL(walkStats)

  // The raw search.
  QELDA_PROBE_CALL(BuildFreeClusterList)
  QELDA_PROBE_CALL(isFreeCluster)
  QELDA_PROBE_CALL(AddRawFoundItem)
  QELDA_PROBE_CALL(AddRawFoundFile)

  // Fields.
  QELDA_PROBE_FIELD(m_bAbsoluteSectors)
  QELDA_PROBE_FIELD(m_bClusterSearch)
  QELDA_PROBE_FIELD(m_hClusterMapFile)
  QELDA_PROBE_FIELD(m_hFatFile)
  QELDA_PROBE_FIELD(m_nBitmapCluster)
  QELDA_PROBE_FIELD(m_nClusterCount)
  QELDA_PROBE_FIELD(m_nClusterMapLength)
  QELDA_PROBE_FIELD(m_nClusterMapSize)
  QELDA_PROBE_FIELD(m_nFileCount)
  QELDA_PROBE_FIELD(m_nFolderCount)
  QELDA_PROBE_FIELD(m_nLastSector)
  QELDA_PROBE_FIELD(m_nMaxCluster)
  QELDA_PROBE_FIELD(m_nNextItemId)
  QELDA_PROBE_FIELD(m_nPartitionStart)
  QELDA_PROBE_FIELD(m_nReservedSectors)
  QELDA_PROBE_FIELD(m_nRootDirSectors)
  QELDA_PROBE_FIELD(m_nSectorCount)
  QELDA_PROBE_FIELD(m_nSectorsPerCluster)
  QELDA_PROBE_FIELD(m_nSectorsPerFat)
  QELDA_PROBE_FIELD(m_nTotalSectors)
  QELDA_PROBE_FIELD(m_nTotalSize)
  QELDA_PROBE_FIELD(m_nVolumeLength)
  QELDA_PROBE_FIELD(m_pClusterMap)
  QELDA_PROBE_FIELD(m_pFat)
  QELDA_PROBE_FIELD(m_pFreeExtents)
  QELDA_PROBE_FIELD(m_szImagePath)
};

#undef QELDA_PROBE_CALL
#undef QELDA_PROBE_FIELD

}  // namespace qelda::test
