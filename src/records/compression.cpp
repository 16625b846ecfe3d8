#include "records/compression.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quillon::records {

namespace {

constexpr size_t kMaxRun = 4095;
constexpr size_t kMinRun = 16;
constexpr size_t kMaxDistance = 4095;
constexpr size_t kMinCopy = 3;
constexpr size_t kMaxCopy = 18;

uint32_t hash3(const uint8_t *s) {
    uint32_t h = ((((uint32_t{s[0]} << 4) ^ s[1]) << 4) ^ s[2]) * 40543u;
    return (h >> 4) & 0xFFFu;
}

// Compresses one chunk of at most 32768 bytes into `out` (items only, no header).
void compressChunk(const uint8_t *in, size_t n, std::vector<uint8_t> &out) {
    std::array<int32_t, 4096> last;
    last.fill(-1);
    size_t i = 0;
    while (i < n) {
        size_t controlAt = out.size();
        out.push_back(0);
        out.push_back(0);
        uint16_t control = 0;
        int bit = 0;
        for (; bit < 16 && i < n; ++bit) {
            size_t run = 1;
            while (i + run < n && run < kMaxRun && in[i + run] == in[i]) {
                ++run;
            }
            if (run >= kMinRun) {
                size_t extra = run - kMinRun;
                control |= static_cast<uint16_t>(0x8000u >> bit);
                out.push_back(0);
                out.push_back(static_cast<uint8_t>((extra >> 8) & 15));
                out.push_back(static_cast<uint8_t>(extra & 0xFF));
                out.push_back(in[i]);
                i += run;
                continue;
            }
            if (i + kMinCopy <= n) {
                uint32_t h = hash3(in + i);
                int32_t cand = last[h];
                last[h] = static_cast<int32_t>(i);
                if (cand >= 0) {
                    size_t dist = i - static_cast<size_t>(cand);
                    if (dist > 0 && dist <= kMaxDistance) {
                        size_t len = 0;
                        size_t limit = std::min(kMaxCopy, n - i);
                        while (len < limit && in[cand + len] == in[i + len]) {
                            ++len;
                        }
                        if (len >= kMinCopy) {
                            control |= static_cast<uint16_t>(0x8000u >> bit);
                            out.push_back(static_cast<uint8_t>(dist >> 4));
                            out.push_back(static_cast<uint8_t>(((dist & 15) << 4) | (len - 3)));
                            i += len;
                            continue;
                        }
                    }
                }
            }
            out.push_back(in[i]);
            ++i;
        }
        out[controlAt] = static_cast<uint8_t>(control >> 8);
        out[controlAt + 1] = static_cast<uint8_t>(control & 0xFF);
    }
}

} // namespace

std::vector<uint8_t> CompressBlock(const uint8_t *data, size_t size) {
    std::vector<uint8_t> result;
    std::vector<uint8_t> packed;
    packed.reserve(kCompressChunk + kCompressChunk / 8 + 8);
    for (size_t pos = 0; pos < size; pos += kCompressChunk) {
        size_t n = std::min(kCompressChunk, size - pos);
        packed.clear();
        compressChunk(data + pos, n, packed);
        // A chunk is stored unchanged when compressing would make it longer than its input.
        bool stored = packed.size() > n;
        size_t length = 1 + (stored ? n : packed.size());
        result.push_back(static_cast<uint8_t>(length & 0xFF));
        result.push_back(static_cast<uint8_t>(length >> 8));
        if (stored) {
            result.push_back(kChunkStored);
            result.insert(result.end(), data + pos, data + pos + n);
        } else {
            result.push_back(kChunkCompressed);
            result.insert(result.end(), packed.begin(), packed.end());
        }
    }
    return result;
}

int ExpandBlock(const uint8_t *data, size_t size, std::vector<uint8_t> &out) {
    out.clear();
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < 2) {
            return -1;
        }
        size_t length = data[pos] | (size_t{data[pos + 1]} << 8);
        pos += 2;
        if (length == 0 || length > size - pos) {
            return -1;
        }
        const uint8_t *chunk = data + pos;
        const uint8_t *end = chunk + length;
        pos += length;
        size_t chunkStart = out.size();
        if (chunk[0] == kChunkStored) {
            if (length - 1 > kCompressChunk) {
                return -1;
            }
            out.insert(out.end(), chunk + 1, end);
        } else if (chunk[0] == kChunkCompressed) {
            const uint8_t *p = chunk + 1;
            while (p < end) {
                if (end - p < 2) {
                    return -1;
                }
                uint16_t control = static_cast<uint16_t>((p[0] << 8) | p[1]);
                p += 2;
                for (int bit = 0; bit < 16 && p < end; ++bit) {
                    if ((control & (0x8000u >> bit)) == 0) {
                        out.push_back(*p++);
                    } else {
                        if (end - p < 2) {
                            return -1;
                        }
                        size_t dist = (size_t{p[0]} << 4) | (p[1] >> 4);
                        if (dist == 0) {
                            if (end - p < 4) {
                                return -1;
                            }
                            size_t run = ((size_t{p[1]} & 15) << 8) + p[2] + kMinRun;
                            if (out.size() - chunkStart + run > kCompressChunk) {
                                return -1;
                            }
                            out.insert(out.end(), run, p[3]);
                            p += 4;
                        } else {
                            size_t len = (p[1] & 15u) + kMinCopy;
                            if (dist > out.size() ||
                                out.size() - chunkStart + len > kCompressChunk) {
                                return -1;
                            }
                            // Byte by byte: a copy may overlap the bytes it produces.
                            size_t from = out.size() - dist;
                            for (size_t k = 0; k < len; ++k) {
                                out.push_back(out[from + k]);
                            }
                            p += 2;
                        }
                    }
                    if (out.size() - chunkStart > kCompressChunk) {
                        return -1;
                    }
                }
            }
        } else {
            return -1;
        }
        if (out.size() > kMaxExpandedSize) {
            return -1;
        }
    }
    return 0;
}

} // namespace quillon::records
