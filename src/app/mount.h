// The mount step: opens the picked image on the application's reader, publishes the
// snapshot every read goes through, and tells the user when the image cannot be used.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "app/qelda_app.h"
#include "platform/sinks.h"

namespace qelda::volume {
struct LdmDatabase;
}

namespace qelda::app {

enum class MountOutcome : std::uint8_t {
  Mounted,       // the image opened
  Invalid,       // message 592: nothing usable was found
  CorruptLayout  // message 593: the layout could not be confirmed; whole disk only, or with
                 // the volumes read before the damage (a dynamic disk without its header)
};

// The image type the user picks by the file's extension (.vmdk, .vdi, .vhd); 0 for none.
std::uint32_t imageTypeFromPath(const std::string& path);

class CDataRecovery {
 public:
  CDataRecovery(CQELDAApp& app, platform::IUserNotifier& notifier) : app_(app), notifier_(notifier) {}

  // Mounts `path` as an image of `imageType` (1 VMDK, 2 VDI, 3 VHD), walks its partitions
  // and fills the application's source list.
  MountOutcome OnBnClickedMountVirtualDisk(std::uint32_t imageType, const std::string& path);
  // Mounts a disk whose snapshot is already built (one held in memory) as a VMDK, walks its
  // partitions and fills the source list as the step above does.
  MountOutcome mountSnapshot(std::shared_ptr<const image::MountedImage> snapshot);

  // After a mount that failed (or could not confirm the layout): the concrete cause, as one
  // line naming the file or field at fault; empty when there is nothing more to say.
  const std::string& cause() const { return cause_; }

  // The partition walk: builds the application's volume list from the tables from sector 0.
  void StartPartitionScan();
  // Reads the table at `sector` and follows its chain of extended boot records.
  void ScanMbrPartitionTable(std::uint64_t sector);

  // The last extended-partition entry of the table being read.
  struct PendingExtendedEntry {
    std::array<std::uint8_t, 16> entry{};
    std::uint32_t firstSector = 0;
  };

  // --- walk state --------------------------------------------------------------------------
  std::uint32_t m_nExtendedBase = 0;       // first sector of the outermost extended partition
  std::uint32_t m_bExtendedBaseKnown = 0;
  std::unique_ptr<std::array<std::uint8_t, 512>> m_pMbrSector;  // the table being read
  std::unique_ptr<PendingExtendedEntry> m_pPendingExtended;

 private:
  std::uint64_t diskSectorsOfImage() const;
  // The partition walk over the published snapshot, then the source list made from it.
  MountOutcome walkPartitions();
  // Looks at the four entries of the table in m_pMbrSector, read from `sector`.
  void scanTableEntries(std::uint64_t sector, volume::LdmDatabase& database);
  void scanLdmDisk(volume::LdmDatabase& database);

  // Set by the walk when a dynamic disk has no private header: only the whole disk is listed.
  bool ldmHeaderMissing_ = false;
  std::string cause_;
  void findCause(std::uint32_t imageType, const std::string& path);

  CQELDAApp& app_;
  platform::IUserNotifier& notifier_;
};

}  // namespace qelda::app
