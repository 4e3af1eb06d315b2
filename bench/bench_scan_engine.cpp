// Runs the quick scan of one source of an image straight through its engine (NTFS, FAT or exFAT,
// picked by the source's file system), the way the `qelda scan` command drives it but
// without the command around it. The scan scripts time this beside fls when the command
// is not there, and profilers run it to see the engine alone.
//
//   bench_scan_engine IMAGE SOURCE [--store|--list]
//
//   (default)  found items are counted and dropped
//   --store    found items are kept in the found-items store, as the command keeps them
//   --list     as --store, then one line per item on stdout, as `qelda scan --list` writes
//              them: "d|f<TAB>flags<TAB>size<TAB>path"
//
// Prints the item count and the time taken by mount and scan on stderr.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "volume/volume_records.h"
#include "exfat/exfat_engine.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "platform/found_item.h"
#include "platform/sinks.h"
#include "platform/text.h"
#include "results/file_folder_tree.h"
#include "results/found_listing.h"

namespace {

class QuietNotifier final : public qelda::platform::IUserNotifier {
 public:
  void Show(std::u16string_view, std::uint32_t, std::uint32_t) override {}
};

class QuietLog final : public qelda::platform::ILog {
 public:
  void AddLogEntry(std::u16string, bool) override {}
};

// Counts what the engine reports and keeps only the last item, which it hands back.
class DiscardingSink final : public qelda::platform::IFoundItemSink {
 public:
  void ResetFoundTree() override {}
  std::uint32_t AddFoundItem(const qelda::FOUND_ITEM& item, std::u16string_view name) override {
    last_ = item;
    ++count;
    nameBytes += name.size();
    return std::uint32_t(count - 1);
  }
  void SetFoundItemSize(std::uint32_t, std::uint64_t, std::uint8_t) override {}
  void SetFoundItemParent(std::uint32_t, std::uint32_t) override {}
  void UpdateStatusCounts() override {}
  void CollapseRootChildren() override {}
  void QueueItemRename(const qelda::FOUND_ITEM&, std::u16string_view) override {}
  void ApplyQueuedRenames() override {}

  std::uint64_t count = 0;
  std::uint64_t nameBytes = 0;

 private:
  qelda::FOUND_ITEM last_;
};

double secondsSince(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: bench_scan_engine IMAGE SOURCE [--store|--list]\n", stderr);
    return 1;
  }
  const std::string image = argv[1];
  const long source = std::strtol(argv[2], nullptr, 10);
  const bool list = argc > 3 && std::strcmp(argv[3], "--list") == 0;
  const bool store = list || (argc > 3 && std::strcmp(argv[3], "--store") == 0);

  const auto start = std::chrono::steady_clock::now();
  qelda::app::CQELDAApp app;
  QuietNotifier notifier;
  QuietLog log;
  const std::uint32_t type = qelda::app::imageTypeFromPath(image);
  if (qelda::app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(type, image) !=
      qelda::app::MountOutcome::Mounted) {
    std::fprintf(stderr, "%s: could not be mounted\n", image.c_str());
    return 2;
  }
  qelda::volume::DEVICE_ENTRY* entry = app.m_pSourceList;
  for (long i = 0; entry && i < source; ++i) entry = entry->m_pNext;
  const qelda::volume::VOLUME_RECORD* volume = entry ? entry->m_pDetail.volume() : nullptr;
  if (!volume) {
    std::fprintf(stderr, "source %ld is not a volume\n", source);
    return 1;
  }
  app.m_pSelectedSource = entry;
  const double mounted = secondsSince(start);

  DiscardingSink discard;
  qelda::results::CFileFolderTree tree;
  qelda::platform::IFoundItemSink* sink = store ? static_cast<qelda::platform::IFoundItemSink*>(&tree) : &discard;
  qelda::platform::NullScanProgress progress;
  const std::string fileSystem = qelda::platform::toUtf8(volume->m_szFileSystem);
  const auto scanStart = std::chrono::steady_clock::now();
  if (fileSystem == "NTFS") {
    qelda::ntfs::CNtfsEngine engine(app, sink, &progress, &log);
    engine.Initialize(0);
    engine.ScanVolume(0);
  } else if (fileSystem.rfind("FAT", 0) == 0) {
    qelda::fat::CFatEngine engine(app, log, notifier);
    engine.m_pConsole = sink;
    engine.m_pScanDlg = &progress;
    engine.Initialize(0);
    engine.ScanVolume(0);
  } else if (fileSystem == "exFAT") {
    qelda::exfat::CExFatEngine engine(app, log, notifier);
    engine.m_pConsole = sink;
    engine.m_pScanDlg = &progress;
    engine.Initialize(0);
    engine.ScanVolume(0);
  } else {
    std::fprintf(stderr, "source %ld holds %s, which this bench does not scan\n", source, fileSystem.c_str());
    return 1;
  }
  const double scanned = secondsSince(scanStart);

  std::uint64_t items = store ? tree.size() : discard.count;
  if (list) qelda::results::writeFoundListing(tree, stdout);
  std::fprintf(stderr, "%s source %ld: %llu items; mount %.3f s, scan %.3f s, total %.3f s\n", fileSystem.c_str(),
               source, static_cast<unsigned long long>(items), mounted, scanned, secondsSince(start));
  return 0;
}
