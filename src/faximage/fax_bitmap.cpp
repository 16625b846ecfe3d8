#include "faximage/fax_bitmap.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quillon::faximage {

namespace {

uint32_t evenStride(uint32_t width) {
    uint32_t bytes = (width + 7) / 8;
    return (bytes + 1) & ~1u;
}

} // namespace

TFaxBitmap TFaxBitmap::WithWidth(uint32_t width) const {
    uint32_t stride = evenStride(width);
    uint8_t white = oneIsWhite_ ? 0xFF : 0x00;
    std::vector<uint8_t> bits(size_t{stride} * height_, white);
    uint32_t keep = std::min(width, width_);
    for (uint32_t y = 0; y < height_; ++y) {
        uint8_t *dst = bits.data() + size_t{y} * stride;
        const uint8_t *src = Row(y);
        std::memcpy(dst, src, keep / 8);
        for (uint32_t x = keep & ~7u; x < keep; ++x) {
            uint8_t mask = static_cast<uint8_t>(0x80u >> (x & 7));
            dst[x >> 3] = static_cast<uint8_t>((dst[x >> 3] & ~mask) | (src[x >> 3] & mask));
        }
    }
    return TFaxBitmap(width, height_, stride, oneIsWhite_, std::move(bits));
}

bool StretchBitmap(const TFaxBitmap &source, uint32_t width, uint32_t height, TFaxBitmap &result) {
    if (width == 0 || height == 0 || source.Empty()) {
        return false;
    }
    uint32_t stride = evenStride(width);
    std::vector<uint8_t> bits;
    try {
        bits.assign(size_t{stride} * height, source.OneIsWhite() ? 0xFF : 0x00);
    } catch (const std::bad_alloc &) {
        return false;
    }
    std::vector<uint32_t> columns(width);
    for (uint32_t x = 0; x < width; ++x) {
        columns[x] = static_cast<uint32_t>(uint64_t{x} * source.Width() / width);
    }
    for (uint32_t y = 0; y < height; ++y) {
        uint32_t sy = static_cast<uint32_t>(uint64_t{y} * source.Height() / height);
        const uint8_t *src = source.Row(sy);
        uint8_t *dst = bits.data() + size_t{y} * stride;
        if (y > 0 && sy == static_cast<uint32_t>(uint64_t{y - 1} * source.Height() / height)) {
            std::memcpy(dst, dst - stride, stride);
            continue;
        }
        std::memset(dst, 0, stride);
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t sx = columns[x];
            if ((src[sx >> 3] & (0x80u >> (sx & 7))) != 0) {
                dst[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
            }
        }
        // Pad bits past the width keep the white of the source's convention.
        if (source.OneIsWhite()) {
            for (uint32_t x = width; x < stride * 8; ++x) {
                dst[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
            }
        }
    }
    result = TFaxBitmap(width, height, stride, source.OneIsWhite(), std::move(bits));
    return true;
}

} // namespace quillon::faximage
