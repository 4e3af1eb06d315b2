// Fuzz target: the bytes as a scan-information file, loaded as a resume loads it (header,
// engine tables, source list, every found item), restored into the engine it names with no
// image mounted, and as a "vhInfo" index.
#include <cstdint>
#include <span>
#include <string>

#include "app/qelda_app.h"
#include "app/scan_info.h"
#include "results/file_folder_tree.h"
#include "save/scan_info_file.h"
#include "save/scan_info_format.h"
#include "support/image_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelda;
  static test::ImageDir dir;  // one folder per process; TMPDIR on tmpfs keeps this fast
  dir.truncate("scan.img", 0);
  const std::string path = dir.putAt("scan.img", 0, std::span<const std::uint8_t>(data, size));
  if (path.empty()) return 0;

  if (auto loader = save::ScanInfoLoader::open(path)) {
    std::uint64_t tableBytes = 0;
    loader->readEngineTables([&](std::span<const std::uint8_t> piece) {
      tableBytes += piece.size();
      return true;
    });
    std::uint32_t items = 0;
    loader->forEachFoundItem([&](const FOUND_ITEM&, std::u16string_view name) {
      ++items;
      return name.size() <= kMaxItemNameLength;
    });
  }
  {
    app::CQELDAApp app;
    results::CFileFolderTree tree;
    (void)app::LoadScanImage(app, {&tree, nullptr, nullptr, nullptr}, path);
    app.FreeEngines();
  }
  (void)save::readScanInfoIndex(path);
  return 0;
}
