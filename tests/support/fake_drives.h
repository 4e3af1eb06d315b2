// A fake /sys/block and /dev under a private folder: each disk with its removable flag, its
// size and the kernel's texts, and a device node that is a plain file (so pass-through and
// the kernel's IDENTIFY copy are refused).
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/image_dir.h"
#include "volume/drives.h"

namespace qelda::test {

class FakeDrives {
 public:
  FakeDrives() {
    system.sysBlock = dir.file("sys/block");
    system.devDir = dir.file("dev");
    std::filesystem::create_directories(system.devDir);
  }
  // `files`: paths under /sys/block/NAME (device/model, serial ...) and their texts.
  void add(const std::string& name, int removable, std::uint64_t size,
           const std::vector<std::pair<std::string, std::string>>& files = {}) {
    const std::string block = system.sysBlock + "/" + name;
    std::filesystem::create_directories(block + "/device");
    std::ofstream(block + "/removable") << removable << "\n";
    std::ofstream(block + "/size") << size << "\n";
    std::ofstream(system.devDir + "/" + name) << "device " << name;
    for (const auto& [file, text] : files) std::ofstream(block + "/" + file) << text;
  }

  ImageDir dir;
  volume::DriveSystem system;
};

}  // namespace qelda::test
