// The mounted disk as the partition walk leaves it: the image's description and, on top of
// it, the volumes found and the source list the user picks from. The part of the
// application state that the volume layer owns.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "image/image_state.h"
#include "platform/sinks.h"
#include "volume/volume_records.h"

namespace qelda::volume {

class DiskState : public image::ImageState {
 public:
  VOLUME_NODE* m_pVolumeList = nullptr;       // volumes in walk order
  VOLUME_NODE* m_pVolumeListTail = nullptr;   // the last node: the append point
  DEVICE_ENTRY* m_pSourceList = nullptr;      // whole disk first, then the volumes
  DEVICE_ENTRY* m_pSourceCursor = nullptr;    // the walking pointer; on the last entry after an append
  DEVICE_ENTRY* m_pSelectedSource = nullptr;  // the entry the user chose
  // Where the partition walk notes what it would not take as the disk gives it (a volume
  // reaching past the end of the disk); null: nowhere.
  platform::ILog* layoutLog_ = nullptr;
  // What the mount step said about the disk beyond its volumes (damaged image maps, a
  // partition table read from its backup), kept for the image description.
  std::vector<std::u16string> diskNotes_;
  // The pools that own the nodes and entries linked above; addresses stay put as they grow.
  std::deque<VOLUME_NODE> volumeNodes_;
  std::deque<DEVICE_ENTRY> sourceEntries_;
};

}  // namespace qelda::volume
