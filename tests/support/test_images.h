// Where the corpus of images made by real tools lies (built by tests/images/make_images.sh).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qelda::test {

inline std::string testImagesDir() {
  if (const char* env = std::getenv("QELDA_TEST_IMAGES")) return env;
  return QELDA_TEST_IMAGES;
}

inline std::string testImage(const std::string& name) { return testImagesDir() + "/" + name; }

}  // namespace qelda::test
