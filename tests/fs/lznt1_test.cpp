#include "fs/lznt1.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qelda::fs::ntfs {
namespace {

// Builds one compressed chunk from tokens: a string is a run of literals, a pair is a
// back-reference already packed into its 16-bit token.
struct Token {
  std::string literals;
  std::uint16_t reference = 0;
};

std::vector<std::uint8_t> compressedChunk(const std::vector<Token>& tokens) {
  std::vector<std::uint8_t> body;
  std::vector<std::pair<bool, std::uint16_t>> flat;  // (is reference, byte or token)
  for (const Token& t : tokens) {
    if (t.literals.empty()) flat.push_back({true, t.reference});
    for (char c : t.literals) flat.push_back({false, std::uint8_t(c)});
  }
  for (std::size_t i = 0; i < flat.size(); i += 8) {
    std::uint8_t flags = 0;
    std::vector<std::uint8_t> group;
    for (std::size_t j = 0; j < 8 && i + j < flat.size(); ++j) {
      if (flat[i + j].first) {
        flags |= std::uint8_t(1u << j);
        group.push_back(std::uint8_t(flat[i + j].second));
        group.push_back(std::uint8_t(flat[i + j].second >> 8));
      } else {
        group.push_back(std::uint8_t(flat[i + j].second));
      }
    }
    body.push_back(flags);
    body.insert(body.end(), group.begin(), group.end());
  }
  const std::uint16_t header = std::uint16_t(0xB000 | (body.size() - 1));
  std::vector<std::uint8_t> chunk(2 + body.size());
  chunk[0] = std::uint8_t(header);
  chunk[1] = std::uint8_t(header >> 8);
  std::copy(body.begin(), body.end(), chunk.begin() + 2);
  return chunk;
}

// A back-reference token for an output position: the split of its 16 bits depends on how
// far into the chunk the output is.
std::uint16_t reference(std::size_t position, std::size_t back, std::size_t length) {
  unsigned lengthBits = 12;
  for (std::size_t p = position - 1; p >= 0x10; p >>= 1) --lengthBits;
  return std::uint16_t(((back - 1) << lengthBits) | (length - 3));
}

std::string text(const std::vector<std::uint8_t>& out, std::size_t n) { return std::string(out.begin(), out.begin() + std::ptrdiff_t(n)); }

TEST(NtfsLznt1, DecodesWellFormedStreams) {
  std::vector<std::uint8_t> out(8192, 0xEE);
  std::size_t produced = 99;

  // A zero header: nothing, successfully.
  std::vector<std::uint8_t> zero = {0, 0, 1, 2, 3};
  EXPECT_TRUE(Lznt1Decompress(zero, out, produced));
  EXPECT_EQ(produced, 0u);

  // Literals and an overlapping copy (one back, a hundred long).
  auto chunk = compressedChunk({{"ab"}, {"", reference(2, 1, 100)}});
  ASSERT_TRUE(Lznt1Decompress(chunk, out, produced));
  EXPECT_EQ(produced, 102u);
  EXPECT_EQ(text(out, 4), "abbb");
  EXPECT_EQ(out[101], 'b');
  EXPECT_EQ(out[102], 0);  // the rest of the chunk's window is zero

  // At 16 bytes in, 12 bits of length; at 17, only 11.
  for (std::size_t at : {std::size_t(16), std::size_t(17), std::size_t(32), std::size_t(33)}) {
    SCOPED_TRACE(at);
    std::string lit;
    for (std::size_t i = 0; i < at; ++i) lit += char('a' + i % 26);
    chunk = compressedChunk({{lit}, {"", reference(at, at, 5)}});
    ASSERT_TRUE(Lznt1Decompress(chunk, out, produced));
    EXPECT_EQ(produced, at + 5);
    EXPECT_EQ(text(out, at + 5), lit + lit.substr(0, 5));
  }

  // An uncompressed chunk of 4096 bytes, then a short compressed one that starts at 4096.
  std::vector<std::uint8_t> two = {0xFF, 0x3F};
  for (int i = 0; i < 4096; ++i) two.push_back(std::uint8_t(i * 7));
  const auto second = compressedChunk({{"xyz"}});
  two.insert(two.end(), second.begin(), second.end());
  ASSERT_TRUE(Lznt1Decompress(two, out, produced));
  EXPECT_EQ(produced, 4099u);
  EXPECT_EQ(out[4095], std::uint8_t(4095 * 7));
  EXPECT_EQ(text(std::vector<std::uint8_t>(out.begin() + 4096, out.end()), 3), "xyz");
}

TEST(NtfsLznt1, RefusesMalformedChunksWithoutOverrunning) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> stream;
  };
  std::vector<Case> cases;
  cases.push_back({"reference at the window start", compressedChunk({{"", reference(1, 1, 3)}})});
  cases.push_back({"reference before the window start", compressedChunk({{"abc"}, {"", reference(3, 4, 3)}})});
  cases.push_back({"stored size past the input", {0x10, 0xB0, 0x00, 'a'}});
  auto cut = compressedChunk({{"abc"}, {"", reference(3, 1, 3)}});
  cut.pop_back();  // the token loses its second byte, and the header says so
  cut[0] = std::uint8_t(cut.size() - 3);
  cases.push_back({"token cut in half", cut});
  cases.push_back({"uncompressed chunk shorter than 4096", {0x03, 0x30, 'a', 'b', 'c', 'd'}});
  // A reference that would write past the 4096-byte window: 4090 bytes in, length 10.
  cases.push_back({"copy past the window",
                   compressedChunk({{"q"}, {"", reference(1, 1, 4089)}, {"", reference(4090, 1, 10)}})});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> out(4096 + 64, 0xEE);
    std::size_t produced = 0;
    EXPECT_FALSE(Lznt1Decompress(std::span<const std::uint8_t>(c.stream), std::span<std::uint8_t>(out.data(), 4096), produced));
    for (std::size_t i = 4096; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << "wrote past the output at " << i;
  }
}

TEST(NtfsLznt1, AnOutputSmallerThanAChunkWindowIsRefused) {
  const auto chunk = compressedChunk({{"abc"}});
  std::vector<std::uint8_t> out(1000);
  std::size_t produced = 0;
  EXPECT_FALSE(Lznt1Decompress(chunk, out, produced));
}

}  // namespace
}  // namespace qelda::fs::ntfs
