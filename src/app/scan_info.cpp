#include "app/scan_info.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "app/raw_types.h"
#include "app/scan_worker.h"
#include "engine/scan_info_tables.h"
#include "platform/text.h"
#include "save/scan_info_file.h"
#include "volume/volume_records.h"

namespace qelda::app {

namespace {

constexpr std::size_t kMaxPathUnits = 259;

std::u16string cutPath(std::u16string path) {
  if (path.size() > kMaxPathUnits) path.resize(kMaxPathUnits);
  return path;
}

engine::ScanOutcome refuse(platform::IUserNotifier* notifier, std::u16string cause) {
  return engine::failScan(notifier, std::u16string(kScanInfoNotLoaded), std::move(cause));
}

// The path a descriptor names a file by: absolute, so that it means the same file from any
// working folder.
std::u16string descriptorPath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return cutPath(platform::fromUtf8(ec ? path : absolute.lexically_normal().string()));
}

std::string recordInIndex(const std::string& indexPath, const save::SCAN_INFO_DESCRIPTOR& descriptor) {
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::path(indexPath).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  // A damaged index is left as it is: a record appended to it would not read back either.
  if (auto existing = save::readScanInfoIndex(indexPath); !existing) return existing.cause();
  return save::appendScanInfoIndex(indexPath, descriptor);
}

void checkIndex(const std::string& indexPath, const save::SCAN_INFO_DESCRIPTOR& descriptor,
                const std::string& path, platform::ILog* log) {
  if (!log) return;
  const auto records = save::readScanInfoIndex(indexPath);
  if (!records) {
    log->AddLogEntry(std::u16string(kScanInfoIndexUnreadable) + platform::fromUtf8(records.cause()), false);
    return;
  }
  const std::u16string name = descriptorPath(path);
  for (const save::SCAN_INFO_DESCRIPTOR& r : *records)
    if (r.scanInfoPath == name && r.savedAt == descriptor.savedAt) return;
  log->AddLogEntry(std::u16string(kScanInfoNotIndexed), false);
}

}  // namespace

std::string scanInfoIndexPath() { return (configFolder() / std::string(save::kScanInfoIndexName)).string(); }

std::string SaveScanImage(const CQELDAApp& app, const results::CFileFolderTree& tree, const std::string& path,
                          const std::string& indexPath, std::string* indexCause) {
  if (!app.currentEngine || !app.m_pSelectedSource) return path + ": no scan to save";
  auto writer = save::ScanInfoWriter::create(path);
  if (!writer) return writer.cause();
  engine::SCAN_IMAGE_HEADER header;
  const bool tables = app.currentEngine->saveScanInfo(
      header, [&](std::span<const std::uint8_t> bytes) { return writer->writeEngineTables(bytes); });
  if (!tables) return writer->cause().empty() ? path + ": the scanned volume has nothing that could be read back" : writer->cause();
  const volume::DEVICE_ENTRY& source = *app.m_pSelectedSource;
  header.m_bySourceKind = source.m_byKind;
  header.m_szSourcePath = cutPath(header.m_szSourcePath);
  if (!writer->writeSourceEntry(source)) return writer->cause();
  for (results::CFileFolderTree::Index i = 0; i < tree.size(); ++i)
    if (!writer->writeFoundItem(tree.item(i), tree.nameOf(i))) return writer->cause();
  save::SCAN_INFO_DESCRIPTOR descriptor;
  descriptor.savedAt = save::SavedTime::fromLocalTime(std::time(nullptr));
  descriptor.scanInfoPath = descriptorPath(path);
  descriptor.sourceKind = source.m_byKind;
  if (!writer->finish(header, descriptor)) return writer->cause();
  if (!indexPath.empty()) {
    std::string cause = recordInIndex(indexPath, descriptor);
    if (indexCause) *indexCause = std::move(cause);
  }
  return {};
}

engine::ScanOutcome LoadScanImage(CQELDAApp& app, const engine::EngineSinks& sinks, const std::string& path,
                                  const std::string& indexPath) {
  app.FreeEngines();
  // The items are checked as they are replayed: each is read and decoded once, and a file
  // with a bad item still leaves no tree behind (see the replay below).
  auto loader = save::ScanInfoLoader::open(path, save::ScanInfoLoader::ItemCheck::OnWalk);
  if (!loader) return refuse(sinks.notifier, platform::fromUtf8(loader.cause()));
  if (!indexPath.empty()) checkIndex(indexPath, loader->descriptor(), path, sinks.log);
  engine::SCAN_IMAGE_HEADER& header = loader->header();

  // A volume read through the image must lie inside it: the file may come from another disk.
  const auto image = app.mountedImage();
  if (!engine::keptImageFileFlag(header) && image && image->diskSectors != 0 &&
      (header.startSector > image->diskSectors || header.sectorCount > image->diskSectors - header.startSector))
    return refuse(sinks.notifier, platform::fromUtf8(path + ": the saved volume (sectors " +
                                                     std::to_string(header.startSector) + " to " +
                                                     std::to_string(header.startSector + header.sectorCount) +
                                                     ") lies past the end of the image"));

  const engine::EngineKind kind = engine::engineKindOf(engine::savedEngineOf(header));
  std::unique_ptr<engine::IVolumeEngine> restored = engine::CreateVolumeEngineOfKind(installedEngines(), kind, app, sinks);
  if (!restored) return refuse(sinks.notifier, std::u16string(engine::kScanInfoNotSupported));
  std::uint64_t offset = 0;
  const engine::TableReader read = [&](std::span<std::uint8_t> out) {
    if (!loader->readEngineTableBytes(offset, out)) return false;
    offset += out.size();
    return true;
  };
  std::u16string cause;
  if (!restored->restoreFromScanInfo(header, read, cause)) {
    restored->FreeAll();
    return refuse(sinks.notifier, platform::fromUtf8(path) + u": " + cause);
  }
  app.currentEngine = std::move(restored);
  if (sinks.console && !save::replayFoundItems(*loader, *sinks.console)) {
    // An item refused, or the file changed under us: no half tree is left behind.
    sinks.console->ResetFoundTree();
    app.FreeEngines();
    return refuse(sinks.notifier, platform::fromUtf8(loader->cause()));
  }
  // A volume read through the image where its partition table now lists others (a whole
  // disk, from sector 0, lies under every volume and is not judged by them).
  if (!engine::keptImageFileFlag(header) && header.startSector != 0)
    judgeAgainstListedVolumes(app, header.startSector, header.sectorCount, kind);
  return {};
}

}  // namespace qelda::app
