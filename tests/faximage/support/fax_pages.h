#pragma once

// Page material for the fax image tests and the benchmark: raw 1-bit images (1 = black),
// PBM files, G3 encoding and decoding through libtiff (the independent reference), APF files
// written through the APF writer, and a bit writer for hand-made T.4 streams.

#include <cstdint>
#include <string>
#include <vector>

#include "faximage/fax_bitmap.h"

namespace quillon::faximage::testing {

// 1 bit per pixel, 1 = black, most significant bit first, stride = (width + 7) / 8.
struct RawImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bits;
    [[nodiscard]] uint32_t stride() const { return (width + 7) / 8; }
    [[nodiscard]] bool black(uint32_t x, uint32_t y) const {
        return (bits[size_t{y} * stride() + x / 8] & (0x80u >> (x % 8))) != 0;
    }
    void setBlack(uint32_t x, uint32_t y) {
        bits[size_t{y} * stride() + x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
    }
};

RawImage MakeWhite(uint32_t width, uint32_t height);
RawImage ReadPbm(const std::string &path);

struct G3Page {
    RawImage image;
    bool fine = false;
};
// Writes a multi-page G3 TIFF (1D Modified Huffman, EOLs, optionally byte-aligned EOLs,
// least significant bit first, one strip per page) through libtiff.
void WriteG3Tiff(const std::string &path, const std::vector<G3Page> &pages, bool fillBits);
// The raw strip of each directory: the T.4 data exactly as libtiff encoded it.
std::vector<std::vector<uint8_t>> ReadRawStrips(const std::string &path);
// libtiff's own decoding of each directory (TIFFReadEncodedStrip).
std::vector<RawImage> DecodeWithLibtiff(const std::string &path);

struct ApfPage {
    uint16_t flags = 0;
    std::vector<uint8_t> data;
};
void WriteApf(const std::string &path, const std::vector<ApfPage> &pages,
              const std::string &remoteId = "TEST");
std::vector<uint8_t> ReadFile(const std::string &path);

// The unpacked bitmap (inverted, trimmed, padded) compared with a raw image: true when
// every pixel of the raw image equals the bitmap's, and the bitmap's extra columns (the
// trimming keeps whole even bytes) are white.
bool SameImage(const TFaxBitmap &bitmap, const RawImage &image, std::string *why = nullptr);

// Builds a T.4 bit stream, first bit in the least significant bit of each byte.
class BitWriter {
  public:
    void bits(const char *code);
    void zeros(int n);
    void run(bool black, uint32_t length); // make-up codes as needed, then a terminating code
    void eol() { bits("000000000001"); }
    // Codes one line of a raw image row (runs, starting white).
    void line(const uint8_t *row, uint32_t width);
    void align(); // pad with 0 bits to a byte boundary
    [[nodiscard]] std::vector<uint8_t> bytes() const;

  private:
    std::vector<uint8_t> out_;
    int used_ = 8;
};

} // namespace quillon::faximage::testing
