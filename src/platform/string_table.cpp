#include "platform/string_table.h"

#include <unordered_map>

namespace qelda::platform {

std::u16string StringTable::load(std::uint32_t id) {
  static const std::unordered_map<std::uint32_t, std::u16string> kTexts = {
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
