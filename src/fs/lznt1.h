// LZNT1, the compression NTFS uses for compressed attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qelda::fs::ntfs {

// Decodes chunks of `input` into `output`, each chunk owning a 4096-byte window of the
// output. Stops with success at a zero chunk header, at the end of the input or when the
// output is full. `outputLength` receives the bytes produced; a compressed chunk that
// yields fewer than 4096 bytes leaves the rest of its window zero and uncounted, so the
// next chunk still starts at its own window. False at the first malformed chunk; what was
// produced before stays in `output`. Never reads past a chunk nor writes past `output`.
bool Lznt1Decompress(std::span<const std::uint8_t> input, std::span<std::uint8_t> output, std::size_t& outputLength);

}  // namespace qelda::fs::ntfs
