// qelda drives: this computer's physical drives, their identity and, where the drive gives
// them, their SMART attributes. One tab-separated line per drive, then one per attribute;
// what a drive does not tell prints as "-".
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "fs/ata_layout.h"
#include "fs/drive_identity.h"
#include "platform/text.h"
#include "ui/format_size.h"
#include "volume/drives.h"

namespace qelda::cli {
namespace {

// Drive texts come from the hardware: anything that would break a line or a field, or is
// not plain ASCII, prints as '?'.
std::string text(std::string_view s) {
  if (s.empty()) return "-";
  std::string out(s);
  for (char& c : out)
    if (std::uint8_t(c) < 0x20 || std::uint8_t(c) > 0x7E) c = '?';
  return out;
}

std::string number(std::uint64_t v, bool present) { return present ? std::to_string(v) : "-"; }

const char* sourceText(fs::IdentitySource source) {
  switch (source) {
    case fs::IdentitySource::AtaPassThrough: return "ata";
    case fs::IdentitySource::HdioIdentity: return "hdio";
    case fs::IdentitySource::Sysfs: return "sysfs";
    case fs::IdentitySource::None: break;
  }
  return "-";
}

bool hasAttribute(const fs::DRIVE_IDENTITY& identity, std::uint8_t id) {
  for (const fs::SMART_ATTRIBUTE* a = identity.m_pAttributes; a; a = a->m_pNext)
    if (a->m_byId == id) return true;
  return false;
}

}  // namespace

int runDrives(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "qelda: %s: drives takes no argument\nusage: qelda drives\n", typed(args[0]).c_str());
    return kExitUsage;
  }
  std::uint8_t fixedCount = 0;
  std::uint8_t removableCount = 0;
  volume::EnumerateDrives(fixedCount, removableCount);
  const auto names = volume::listPhysicalDrives();
  for (std::size_t n = 0; n < names.size(); ++n) {
    const std::uint8_t driveNumber = std::uint8_t(0x80 + n);
    const char* kind = volume::g_abFixedDrive[n] ? "fixed" : volume::g_abRemovableDrive[n] ? "removable" : "-";
    std::uint64_t sectors = 0;
    volume::GetDriveSizeBytes(sectors, driveNumber);
    fs::DRIVE_IDENTITY identity;
    volume::GetDriveIdentity(driveNumber, identity);

    // The fields IDENTIFY alone gives are absent when the identity came from elsewhere.
    const bool fromIdentify = identity.source == fs::IdentitySource::AtaPassThrough ||
                              identity.source == fs::IdentitySource::HdioIdentity;
    const bool hasGeometry = fromIdentify && identity.m_wCylinders != 0;
    const std::string geometry = hasGeometry ? std::to_string(identity.m_wCylinders) + "/" +
                                                   std::to_string(identity.m_wHeads) + "/" +
                                                   std::to_string(identity.m_wSectorsPerTrack)
                                             : "-";
    const char* smart = !fromIdentify ? "-" : identity.m_bSmartEnabled ? "enabled" : "disabled";
    const bool hasAttributes = identity.m_pAttributes != nullptr;
    std::printf("drive\t%u\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", unsigned(driveNumber),
                text(names[n]).c_str(), kind, number(sectors, sectors != 0).c_str(),
                sectors != 0 ? platform::toUtf8(ui::FormatVolumeSize(sectors)).c_str() : "-",
                text(identity.m_szModel).c_str(), text(identity.m_szSerial).c_str(),
                text(identity.m_szFirmware).c_str(), sourceText(identity.source),
                number(identity.m_nTotalSectors, fromIdentify).c_str(), geometry.c_str(), smart,
                number(identity.m_byAttributeStatus, hasAttributes).c_str(),
                number(identity.m_nTemperature, hasAttribute(identity, fs::ata::kSmartTemperatureId)).c_str());
    for (const fs::SMART_ATTRIBUTE* a = identity.m_pAttributes; a; a = a->m_pNext) {
      std::printf("smart\t%u\t%u\t%s\t%u\t%u\t%u\t%u\n", unsigned(driveNumber), unsigned(a->m_byId),
                  platform::toUtf8(a->m_szName).c_str(), unsigned(a->m_nValue), unsigned(a->m_nWorst),
                  unsigned(a->m_nThreshold), unsigned(a->m_byStatus));
    }
  }
  return finishOutput(kExitOk);
}

}  // namespace qelda::cli
