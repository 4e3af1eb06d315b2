#include "platform/string_table.h"

#include <unordered_map>

namespace qelda::platform {

std::u16string StringTable::load(std::uint32_t id) {
  static const std::unordered_map<std::uint32_t, std::u16string> kTexts = {
      // Names of the drives' SMART attributes.
      {156, u"Raw Read Error Rate"},
      {157, u"Throughput Performance"},
      {158, u"Spin Up Time"},
      {159, u"Start/Stop Count"},
      {160, u"Reallocated Sector Count"},
      {161, u"Read Channel Margin"},
      {162, u"Seek Error Rate"},
      {163, u"Seek Time Performance"},
      {164, u"Power On Hours Count"},
      {165, u"Spin Retry Count"},
      {166, u"Calibration Retry Count"},
      {167, u"Power Cycle Count"},
      {168, u"Gsence Error Rate"},
      {169, u"Power Off React Count"},
      {170, u"Load/Unload Cycle Count"},
      {171, u"Temperature"},
      {172, u"(Unknown Attribute)"},
      {173, u"Reallocation Event Count"},
      {174, u"Current Pending Sector Count"},
      {175, u"Offline Scan Incorrect Sector Count"},
      {176, u"Ultra ATA CRC Error Count"},
      {177, u"Write Error Count"},
      {178, u"Detected TA Count"},
      {179, u"Direct Address Mark Error Rate"},
      {180, u"Error Correction Code Errors"},
      {181, u"Raw Read Error Rate"},
      {182, u"Thermal Asperity Rate"},
      {183, u"(Unknown Attribute)"},
      {184, u"Spin High Current"},
      {185, u"Spin Buzz"},
      {186, u"Offline Seek Performance"},
      {187, u"(Unknown Attribute)"},
      {285, u"Source hard drive not found.\nAttach source hard drive before loading scan information."},
      {304, u"Drive not found"},
      {305, u"Not a valid volume, or critical data structure of volume badly corrupt."},
      {360, u"Can't exit while searching critical information.\nPlease wait..."},
      {592, u"Invalid or corrupted virtual machine image. Select a valid image to recover data."},
      {593, u"Virtual machine image is corrupt. Use 'Raw Recovery' option to recover data."},
  };
  const auto it = kTexts.find(id);
  return it == kTexts.end() ? std::u16string{} : it->second;
}

}  // namespace qelda::platform
