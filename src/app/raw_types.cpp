#include "app/raw_types.h"

#include <cstdlib>

#include "carve/header_catalogue.h"
#include "platform/text.h"

namespace qelda::app {

std::filesystem::path configFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return std::filesystem::path(xdg) / "qelda";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : ".") / ".config" / "qelda";
}

bool selectRawTypes(CQELDAApp& app, const std::filesystem::path& folder, const std::vector<std::string>& wanted,
                    std::vector<std::string>& unknown, std::string* unusable) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);  // the catalogue is written there when missing
  std::string why;
  const std::vector<carve::HEADER_RECORD> catalogue = carve::loadHeaderCatalogue(folder, &why);
  app.selectedHeaders.clear();
  app.m_pSelectedHeaders = nullptr;
  if (!why.empty()) {
    if (unusable) *unusable = why;
    return false;
  }
  std::vector<bool> named(wanted.size(), false);
  for (const carve::HEADER_RECORD& record : catalogue) {
    bool take = wanted.empty() && record.selected != 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      if (platform::equalsIgnoreCaseAscii(record.m_szExtension, platform::widenLatin1(wanted[i]))) {
        take = true;
        named[i] = true;
      }
    }
    if (take) app.selectedHeaders.append(record);
  }
  for (std::size_t i = 0; i < wanted.size(); ++i)
    if (!named[i]) unknown.push_back(wanted[i]);
  app.m_pSelectedHeaders = app.selectedHeaders.head();
  if (!app.m_pSelectedHeaders && wanted.empty() && unusable)
    *unusable = "it marks no file type as selected (name the types with --types)";
  return app.m_pSelectedHeaders != nullptr;
}

}  // namespace qelda::app
