// A test whose images could not be made (no root, FUSE, loop device or tool on this machine)
// skips on a developer's machine, but fails where the CI variable is set: a machine that cannot
// make the images must not pass the engine tests silently.
//
//   if (dir.empty()) QELDA_SKIP_WITHOUT_IMAGES() << "the FAT volumes could not be made";
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

namespace qelda::test {

// True when running in CI (the variable CI is set and not empty).
inline bool imagesRequired() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0';
}

inline ::testing::TestPartResult::Type missingImagesResult() {
  return imagesRequired() ? ::testing::TestPartResult::kFatalFailure : ::testing::TestPartResult::kSkip;
}

inline const char* missingImagesNote() {
  return imagesRequired() ? "a test image is missing and CI is set" : "";
}

}  // namespace qelda::test

// Returns from the test (or SetUp) as GTEST_SKIP does; the message streams after it.
#define QELDA_SKIP_WITHOUT_IMAGES()                                                      \
  return GTEST_MESSAGE_AT_(__FILE__, __LINE__, ::qelda::test::missingImagesNote(), \
                           ::qelda::test::missingImagesResult())
