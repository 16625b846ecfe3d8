#pragma once

// The record store's compressed stream: one chunk per 32768 input bytes, each a 16-bit
// little-endian length L and L bytes whose first byte says 0x80 (stored) or 0x40
// (compressed). A compressed chunk is a series of groups: a big-endian 16-bit control word
// and up to 16 items, one per bit from the most significant down. A 0 bit is a literal; a 1
// bit an item b0 b1: distance = b0 * 16 + (b1 >> 4); distance 0 is a run of
// ((b1 & 15) * 256 + b2) + 16 copies of b3, otherwise (b1 & 15) + 3 bytes are copied from
// `distance` bytes back. Pure functions, no global state, callable from any thread.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillon::records {

inline constexpr size_t kCompressChunk = 32768;
inline constexpr uint8_t kChunkStored = 0x80;
inline constexpr uint8_t kChunkCompressed = 0x40;
// The expander refuses to produce more than this many bytes from one block.
inline constexpr size_t kMaxExpandedSize = size_t{256} << 20;

std::vector<uint8_t> CompressBlock(const uint8_t *data, size_t size);

// Expands a compressed block into `out`. Returns 0, or -1 when the stream is malformed
// (a chunk that runs past the block, an item past its chunk, a copy from before the start,
// a chunk that expands past 32768 bytes, an unknown chunk type, or a total past
// kMaxExpandedSize). `out` holds what was expanded so far on failure.
[[nodiscard]] int ExpandBlock(const uint8_t *data, size_t size, std::vector<uint8_t> &out);

} // namespace quillon::records
