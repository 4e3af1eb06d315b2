#include "engine/scan_info_tables.h"

#include "engine/source_drive.h"
#include "platform/read_only_file.h"
#include "platform/text.h"

namespace qelda::engine {

std::uint8_t keptImageFileFlag(const SCAN_IMAGE_HEADER& header) {
  if (header.imageFile == 0 || header.m_szSourcePath.empty()) return 0;
  return platform::ReadOnlyFile::open(platform::toUtf8(header.m_szSourcePath)) ? 1 : 0;
}

bool readTable(const TableReader& read, std::uint64_t bytes, std::vector<std::uint8_t>& out, std::u16string& cause) {
  out.clear();
  if (bytes == 0) return true;
  // The loader has checked the tables' length against the file before any restore runs, so
  // the size asked for is bounded by what the file holds.
  out.resize(std::size_t(bytes));
  if (read(out)) return true;
  out.clear();
  cause = u"the engine tables end before the " + platform::widenLatin1(std::to_string(bytes)) + u" bytes they should hold";
  return false;
}

std::uint32_t findSourceAgain(SCAN_IMAGE_HEADER& header, platform::IUserNotifier& notifier, std::u16string& cause) {
  if (locateSourceDrive(header, notifier)) return 1;
  cause = u"the source drive of the saved scan is not attached";
  return 0;
}

std::u16string tablesDoNotFit(std::u16string_view what) {
  return u"the saved " + std::u16string(what) + u" does not fit the saved volume";
}

}  // namespace qelda::engine
