#include "app/qelda_app.h"

#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"

namespace qelda::app {

CQELDAApp::CQELDAApp() : g_VirtualDisk(*this) {}

CQELDAApp::~CQELDAApp() { FreeEngines(); }

void CQELDAApp::OnOperationFinished() {
  m_bBusy = 0;
  m_bStopRequested = 0;
  // The first report of a scan also counts the root, so any find leaves a count above 0.
  const bool found = (m_pFatEngine && m_pFatEngine->m_nFoundCount != 0) ||
                     (m_pNtfsEngine && m_pNtfsEngine->m_nEntryCount != 0);
  m_bHasResults = found ? 1 : 0;
}

void CQELDAApp::FreeEngines() {
  if (m_pFatEngine) m_pFatEngine->FreeAll();
  if (m_pNtfsEngine) m_pNtfsEngine->FreeAll();
  m_pFatEngine.reset();
  m_pNtfsEngine.reset();
}

void CQELDAApp::publishMountedImage() { mountedImage_.store(disk::buildMountedImage(*this)); }

void CQELDAApp::clearImage() {
  m_arrExtents.clear();
  m_strCreateType.clear();
  m_bVmdkDescriptor = 0;
  m_bVmdkLayoutGuessed = 0;
  m_bSplitSparseAsSingle = 0;
  m_bImageCorrupt = 0;
  m_bImageNoLayout = 0;
  m_bDynamicDisk = 0;
  m_nVdiImageType = 0;
  m_nVhdDiskType = 0;
  m_nDiskSectors = 0;
  mountedImage_.store(nullptr);
}

}  // namespace qelda::app
