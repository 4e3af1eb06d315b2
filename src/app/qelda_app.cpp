#include "app/qelda_app.h"

namespace qelda::app {

CQELDAApp::CQELDAApp() : g_VirtualDisk(*this) {}

CQELDAApp::~CQELDAApp() = default;

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
