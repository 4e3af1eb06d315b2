// qelda info IMAGE: the image description, then one line per source.
#include <cstdio>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "cli/commands.h"
#include "cli/stderr_log.h"
#include "cli/stderr_notifier.h"
#include "platform/text.h"
#include "ui/format_size.h"

namespace qelda::cli {
namespace {

std::string u8(std::u16string_view s) { return platform::toUtf8(s); }
std::string shown(std::u16string_view s) { return platform::printableText(platform::toUtf8(s)); }

const char* subtypeText(const app::CQELDAApp& app) {
  if (app.m_nImageType == image::kImageVdi) {
    switch (app.m_nVdiImageType) {
      case 1: return "Dynamic";
      case 2: return "Static";
      case 4: return "Differencing";
      default: return "Unknown";
    }
  }
  if (app.m_nImageType == image::kImageVhd) {
    switch (app.m_nVhdDiskType) {
      case 2: return "Fixed";
      case 3: return "Dynamic";
      case 4: return "Differencing";
      default: return "Unknown";
    }
  }
  return "";
}

void printDescription(const app::CQELDAApp& app) {
  std::printf("Image: %s\n", app.m_strImagePath.c_str());
  switch (app.m_nImageType) {
    case image::kImageVmdk:
      // Every word here comes from the descriptor: printed so that it cannot reach the terminal raw.
      std::printf("Format: VMDK %s\n", shown(app.m_strCreateType).c_str());
      for (std::size_t i = 0; i < app.m_arrExtents.size(); ++i) {
        const auto& e = app.m_arrExtents[i];
        std::printf("Extent %zu: %s %llu sectors %s\n", i + 1, shown(e.m_szType).c_str(),
                    static_cast<unsigned long long>(e.m_nSectors), shown(e.m_szFileName).c_str());
      }
      break;
    case image::kImageVdi:
      std::printf("Format: VDI %s\n", subtypeText(app));
      break;
    case image::kImageVhd:
      std::printf("Format: VHD %s\n", subtypeText(app));
      break;
    default:
      break;
  }
  std::printf("Disk length: %llu sectors (%s)\n", static_cast<unsigned long long>(app.m_nDiskSectors),
              u8(ui::FormatVolumeSize(app.m_nDiskSectors)).c_str());
  // What the mount step found damaged, as it said it on stderr.
  for (const std::u16string& note : app.diskNotes_) std::printf("Note: %s\n", shown(note).c_str());
}

// Empty texts print as "-", so that every line has seven non-empty tab-separated fields.
std::string field(std::u16string_view text) { return text.empty() ? std::string("-") : shown(text); }

void printSources(const app::CQELDAApp& app) {
  std::size_t index = 0;
  for (const volume::DEVICE_ENTRY* e = app.m_pSourceList; e; e = e->m_pNext, ++index) printSourceLine(index, *e);
}

}  // namespace

// One line per source: index, kind, name, file system, start, sector count, size text.
void printSourceLine(std::size_t index, const volume::DEVICE_ENTRY& e) {
  std::u16string name = e.m_szName;
  std::u16string fileSystem;
  std::u16string sizeText;
  std::uint64_t start = 0;
  std::uint64_t count = 0;
  if (const volume::VOLUME_RECORD* v = e.m_pDetail.volume()) {
    // The volume's own name is what the volume list shows; the entry's name, when it
    // has one, is the file the volume was found in.
    if (!v->m_szName.empty()) name = v->m_szName;
    fileSystem = v->m_szFileSystem;
    start = v->m_nStartSector;
    // The count the partition table gives, even past the end of the disk (the mount step
    // has said so on stderr).
    count = v->claimedSectorCount.value_or(v->m_nSectorCount);
    sizeText = v->m_szSizeText;
  } else if (const volume::DRIVE_RECORD* d = e.m_pDetail.drive()) {
    count = d->m_nSizeSectors;
    sizeText = d->m_szSizeText;
  }
  std::printf("%zu\t%u\t%s\t%s\t%llu\t%llu\t%s\n", index, unsigned(e.m_byKind), field(name).c_str(),
              field(fileSystem).c_str(), static_cast<unsigned long long>(start),
              static_cast<unsigned long long>(count), field(sizeText).c_str());
}

int runInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    const std::string wrong = args.empty() ? std::string("no IMAGE given") : extraArgument(args[1], args[0], "the image");
    std::fprintf(stderr, "qelda: %s\nusage: qelda info IMAGE\n", wrong.c_str());
    return kExitUsage;
  }
  const std::string& path = args[0];
  app::CQELDAApp app;
  StderrNotifier notifier;
  NoteLog notes;
  app.layoutLog_ = &notes;
  app::CDataRecovery mount(app, notifier);
  const auto outcome = mount.OnBnClickedMountVirtualDisk(app::imageTypeFromPath(path), path);
  sayMountCause(mount.cause());
  if (outcome == app::MountOutcome::Invalid) return kExitMountFailed;
  app.g_VirtualDisk.CheckExtentFiles(path);
  printDescription(app);
  printSources(app);
  return finishOutput(kExitOk);
}

}  // namespace qelda::cli
