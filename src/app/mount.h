// The mount step: opens the picked image on the application's reader, publishes the
// snapshot every read goes through, and tells the user when the image cannot be used.
#pragma once

#include <cstdint>
#include <string>

#include "app/qelda_app.h"
#include "platform/sinks.h"

namespace qelda::app {

enum class MountOutcome : std::uint8_t {
  Mounted,       // the image opened
  Invalid,       // message 592: nothing usable was found
  CorruptLayout  // message 593: the layout could not be confirmed; whole disk only
};

// The image type the user picks by the file's extension (.vmdk, .vdi, .vhd); 0 for none.
std::uint32_t imageTypeFromPath(const std::string& path);

class CDataRecovery {
 public:
  CDataRecovery(CQELDAApp& app, platform::IUserNotifier& notifier) : app_(app), notifier_(notifier) {}

  // Mounts `path` as an image of `imageType` (1 VMDK, 2 VDI, 3 VHD).
  MountOutcome OnBnClickedMountVirtualDisk(std::uint32_t imageType, const std::string& path);

 private:
  std::uint64_t diskSectorsOfImage() const;

  CQELDAApp& app_;
  platform::IUserNotifier& notifier_;
};

}  // namespace qelda::app
