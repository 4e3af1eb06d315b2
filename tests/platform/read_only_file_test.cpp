// A file held in memory reads as a file on disk of the same length would: its bytes, zeros
// up to its length, nothing past it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "platform/read_only_file.h"
#include "support/image_dir.h"

namespace qelda::platform {
namespace {

TEST(ReadOnlyFile, MemoryFileReadsAsTheSparseFileOfTheSameLengthDoes) {
  std::vector<std::uint8_t> bytes(700);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i * 7 + 1);
  constexpr std::uint64_t kLength = 2048;
  test::ImageDir dir;
  dir.putAt("f", 0, bytes);
  dir.truncate("f", kLength);
  const auto onDisk = ReadOnlyFile::open(dir.file("f"));
  ASSERT_TRUE(onDisk);
  const ReadOnlyFile inMemory = ReadOnlyFile::overMemory(bytes, kLength);
  EXPECT_EQ(inMemory.size(), kLength);

  struct Case {
    std::uint64_t offset;
    std::size_t length;
    std::size_t read;  // bytes the file gives
  };
  const Case cases[] = {
      {0, 512, 512},       {600, 512, 512},   {700, 100, 100},  {1536, 600, 512},
      {2047, 4, 1},        {2048, 16, 0},     {UINT64_MAX - 3, 8, 0}, {0, 4096, 2048},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    std::vector<std::uint8_t> a(c.length, 0xEE), b(c.length, 0xEE);
    EXPECT_EQ(inMemory.readAt(c.offset, a), c.read);
    EXPECT_EQ(onDisk->readAt(c.offset, b), c.read);
    EXPECT_EQ(a, b);
  }
}

TEST(ReadOnlyFile, MemoryFileShorterThanItsBytesAndMovedFrom) {
  const std::array<std::uint8_t, 8> bytes{1, 2, 3, 4, 5, 6, 7, 8};
  ReadOnlyFile cut = ReadOnlyFile::overMemory(bytes, 4);
  std::array<std::uint8_t, 8> out{};
  EXPECT_EQ(cut.readAt(2, out), 2u);
  EXPECT_EQ(out, (std::array<std::uint8_t, 8>{3, 4, 0, 0, 0, 0, 0, 0}));

  const ReadOnlyFile moved = std::move(cut);
  EXPECT_EQ(moved.size(), 4u);
  EXPECT_TRUE(moved.readExact(0, std::span(out).first(4)));
  EXPECT_EQ(out[3], 4);
  EXPECT_EQ(cut.size(), 0u);  // NOLINT(bugprone-use-after-move): a moved-from file is empty
  out.fill(9);
  EXPECT_EQ(cut.readAt(0, out), 0u);
  EXPECT_EQ(out, (std::array<std::uint8_t, 8>{}));
}

}  // namespace
}  // namespace qelda::platform
