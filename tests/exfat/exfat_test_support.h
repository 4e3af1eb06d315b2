// What the exFAT tests share: the volumes the image script makes (with The Sleuth Kit's
// answers beside them), and those answers read back.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_images.h"

namespace qelda::test::exfat {

// The folder the exFAT image script fills, made here when a test binary runs without the
// CTest fixture; empty when it cannot be made (no root, FUSE or loop device).
inline std::string exfatImages() {
  static const std::string dir = [] {
    const std::string out = testImagesDir() + "-exfat";
    if (!std::filesystem::exists(out + "/.stamp")) {
      const auto script = std::filesystem::path(QELDA_TEST_SOURCES_DIR) / "exfat" / "make_exfat_images.sh";
      const std::string cmd = "bash '" + script.string() + "' '" + out + "'";
      if (std::system(cmd.c_str()) != 0) return std::string();
    }
    return out;
  }();
  return dir;
}

inline const std::vector<std::string> kVolumes = {"exfat-8m",    "exfat-c512",  "exfat-c4k",
                                                  "exfat-c128k", "exfat-b4096", "exfat-pack"};

// "-" in a volume's name cannot stand in a test name.
inline std::string testName(std::string name) {
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

struct Entry {
  std::string path;
  bool folder = false;
  bool deleted = false;
  auto operator<=>(const Entry&) const = default;
  friend void PrintTo(const Entry& e, std::ostream* os) {
    *os << (e.folder ? "d " : "f ") << (e.deleted ? "* " : "") << e.path;
  }
};

// fls -r -p: "TYPE [*] INODE:<TAB>path". The system files TSK shows ($...) and the label
// are left out. Deleted entries in clusters no directory holds any more are listed under
// $OrphanFiles/: with `orphans` only those (the prefix removed), else all but those.
inline std::vector<Entry> readFls(const std::string& path, bool orphans = false) {
  std::vector<Entry> entries;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string head = line.substr(0, tab);
    std::string name = line.substr(tab + 1);
    const std::string orphanDir = "$OrphanFiles/";
    const bool orphan = name.rfind(orphanDir, 0) == 0;
    if (orphan != orphans) continue;
    if (orphan) name = name.substr(orphanDir.size());
    if (name.empty() || name[0] == '$' || name.ends_with("(Volume Label Entry)")) continue;
    entries.push_back({name, head.size() > 2 && head[2] == 'd', head.find(" * ") != std::string::npos});
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// NAME.md5: "md5<TAB>D|-<TAB>inode<TAB>path" of icat of every regular file.
struct IcatDigest {
  std::string md5;
  bool deleted = false;
  std::string inode;
};
inline std::map<std::string, IcatDigest> readMd5(const std::string& path) {
  std::map<std::string, IcatDigest> digests;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string digest, mark, inode, file;
    std::getline(fields, digest, '\t');
    std::getline(fields, mark, '\t');
    std::getline(fields, inode, '\t');
    std::getline(fields, file);
    digests[file] = {digest, mark == "D", inode};
  }
  return digests;
}

}  // namespace qelda::test::exfat
