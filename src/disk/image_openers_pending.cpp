// Openers of the image formats whose readers are not built yet: they recognise nothing.
#include "disk/virtual_disk.h"

namespace qelda::disk {

std::uint32_t CVirtualDisk::OpenVmdk(const std::string&) { return 0; }
std::uint32_t CVirtualDisk::OpenVdi(const std::string&) { return 0; }
std::uint32_t CVirtualDisk::OpenVhd(const std::string&) { return 0; }

}  // namespace qelda::disk
