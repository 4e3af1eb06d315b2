#include "ui/format_size.h"

#include <cstdio>

#include "platform/text.h"

namespace qelda::ui {

std::u16string FormatVolumeSize(std::uint64_t sectorCount) {
  const long double bytes = static_cast<long double>(sectorCount) * 512.0L;
  char text[64];
  if (bytes >= 1073741824.0L) std::snprintf(text, sizeof text, "%.2f GB", double(bytes / 1073741824.0L));
  else if (bytes >= 1048576.0L) std::snprintf(text, sizeof text, "%.2f MB", double(bytes / 1048576.0L));
  else std::snprintf(text, sizeof text, "%.2f KB", double(bytes / 1024.0L));
  return platform::widenLatin1(text);
}

}  // namespace qelda::ui
