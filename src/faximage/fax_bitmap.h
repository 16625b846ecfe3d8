#pragma once

// A plain monochrome image: one bit per pixel, rows top down, the leftmost pixel in the most
// significant bit, each row `stride` bytes (even). Pixel meaning is recorded with the image:
// the unpacker's bitmaps are inverted (as the viewer and printer ask), so a 1 bit is white.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillon::faximage {

class TFaxBitmap {
  public:
    TFaxBitmap() = default;
    TFaxBitmap(uint32_t width, uint32_t height, uint32_t stride, bool oneIsWhite,
               std::vector<uint8_t> bits)
        : width_(width), height_(height), stride_(stride), oneIsWhite_(oneIsWhite),
          bits_(std::move(bits)) {}

    [[nodiscard]] uint32_t Width() const { return width_; }
    [[nodiscard]] uint32_t Height() const { return height_; }
    [[nodiscard]] uint32_t Stride() const { return stride_; }
    [[nodiscard]] bool OneIsWhite() const { return oneIsWhite_; }
    [[nodiscard]] bool Empty() const { return width_ == 0 || height_ == 0; }
    [[nodiscard]] const uint8_t *Row(uint32_t y) const {
        return bits_.data() + size_t{y} * stride_;
    }
    [[nodiscard]] uint8_t *Row(uint32_t y) { return bits_.data() + size_t{y} * stride_; }
    [[nodiscard]] const std::vector<uint8_t> &Bits() const { return bits_; }
    [[nodiscard]] bool Bit(uint32_t x, uint32_t y) const {
        return (Row(y)[x >> 3] & (0x80u >> (x & 7))) != 0;
    }
    [[nodiscard]] bool IsBlack(uint32_t x, uint32_t y) const { return Bit(x, y) != oneIsWhite_; }

    // A copy `width` pixels wide (cut, or padded with white on the right).
    [[nodiscard]] TFaxBitmap WithWidth(uint32_t width) const;

  private:
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t stride_ = 0;
    bool oneIsWhite_ = true;
    std::vector<uint8_t> bits_;
};

// The plain copy stretch (nearest pixel, no smoothing) to width x height. Returns false
// when either size is 0 or the result would not fit in memory.
[[nodiscard]] bool StretchBitmap(const TFaxBitmap &source, uint32_t width, uint32_t height,
                                 TFaxBitmap &result);

} // namespace quillon::faximage
