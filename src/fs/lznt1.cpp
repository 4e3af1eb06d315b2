#include "fs/lznt1.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "fs/ntfs_layout.h"

namespace qelda::fs::ntfs {

namespace {

constexpr std::size_t kWindow = layout::kLznt1ChunkBytes;
constexpr std::uint16_t kChunkCompressed = 0x8000;
constexpr std::uint16_t kChunkSizeMask = 0x0FFF;

// Decodes one compressed chunk body into window (which is zero beforehand). Returns the
// bytes produced, or nothing when the body is malformed.
std::optional<std::size_t> decodeChunk(std::span<const std::uint8_t> body, std::span<std::uint8_t> window) {
  std::size_t in = 0;
  std::size_t out = 0;
  while (in < body.size()) {
    const std::uint8_t flags = body[in++];
    for (int bit = 0; bit < 8 && in < body.size(); ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (out >= window.size()) return std::nullopt;
        window[out++] = body[in++];
        continue;
      }
      if (body.size() - in < 2) return std::nullopt;
      const std::uint16_t token = std::uint16_t(body[in] | (body[in + 1] << 8));
      in += 2;
      if (out == 0) return std::nullopt;  // nothing to refer back to
      // The further into the chunk, the more bits the offset needs and the fewer remain
      // for the length.
      unsigned lengthBits = 12;
      for (std::size_t p = out - 1; p >= 0x10; p >>= 1) --lengthBits;
      const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3;
      const std::size_t back = (token >> lengthBits) + 1;
      if (back > out || length > window.size() - out) return std::nullopt;
      // Byte by byte: the source may overlap what is being written.
      for (std::size_t i = 0; i < length; ++i, ++out) window[out] = window[out - back];
    }
  }
  return out;
}

}  // namespace

bool Lznt1Decompress(std::span<const std::uint8_t> input, std::span<std::uint8_t> output, std::size_t& outputLength) {
  outputLength = 0;
  std::size_t in = 0;
  std::size_t windowStart = 0;
  while (windowStart < output.size()) {
    // Fewer than two bytes cannot hold a header: the stream has ended.
    if (input.size() - in < 2) return true;
    const std::uint16_t header = std::uint16_t(input[in] | (input[in + 1] << 8));
    if (header == 0) return true;
    const std::size_t stored = std::size_t(header & kChunkSizeMask) + 1;
    if (kWindow > output.size() - windowStart) return false;
    if (stored > input.size() - in - 2) return false;
    const std::span<const std::uint8_t> body = input.subspan(in + 2, stored);
    const std::span<std::uint8_t> window = output.subspan(windowStart, kWindow);
    if (header & kChunkCompressed) {
      std::fill(window.begin(), window.end(), std::uint8_t{0});
      const auto produced = decodeChunk(body, window);
      if (!produced) return false;
      outputLength = windowStart + *produced;
    } else {
      if (stored != kWindow) return false;
      std::memcpy(window.data(), body.data(), kWindow);
      outputLength = windowStart + kWindow;
    }
    in += 2 + stored;
    windowStart += kWindow;
  }
  return true;
}

}  // namespace qelda::fs::ntfs
