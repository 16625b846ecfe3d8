#pragma once

// Decoding fax TIFF files into plain bitmaps for comparison in tests.

#include <cstdint>
#include <string>
#include <tiffio.h>
#include <vector>

namespace quillon::linesim::testing {

// One page: `rows` lines of `width` pixels, one byte per pixel, 1 = black.
struct Bitmap {
    int width = 0;
    int rows = 0;
    std::vector<uint8_t> pixels;
    bool operator==(const Bitmap &) const = default;
};

// Reads every directory of a bilevel TIFF (any compression libtiff decodes). Returns an
// error text, empty on success.
inline std::string readTiffPages(const std::string &path, std::vector<Bitmap> &pages) {
    pages.clear();
    TIFFSetWarningHandler(nullptr);
    TIFF *t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) {
        return "cannot open " + path;
    }
    std::string err;
    do {
        uint32_t w = 0, h = 0;
        uint16_t bps = 1, photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
        TIFFGetFieldDefaulted(t, TIFFTAG_PHOTOMETRIC, &photometric);
        if (bps != 1) {
            err = path + ": not bilevel";
            break;
        }
        Bitmap b;
        b.width = static_cast<int>(w);
        b.rows = static_cast<int>(h);
        b.pixels.resize(size_t(w) * h);
        std::vector<uint8_t> line(static_cast<size_t>(TIFFScanlineSize(t)));
        for (uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(t, line.data(), y, 0) < 0) {
                err = path + ": bad scan line " + std::to_string(y);
                break;
            }
            for (uint32_t x = 0; x < w; ++x) {
                bool bit = (line[x / 8] >> (7 - x % 8)) & 1;
                b.pixels[size_t(y) * w + x] = (photometric == PHOTOMETRIC_MINISWHITE) ? bit : !bit;
            }
        }
        if (!err.empty()) {
            break;
        }
        pages.push_back(std::move(b));
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    return err;
}

// The number of differing pixels (rows and widths must match, else -1).
inline long pixelDifference(const Bitmap &a, const Bitmap &b) {
    if (a.width != b.width || a.rows != b.rows) {
        return -1;
    }
    long d = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) {
        d += a.pixels[i] != b.pixels[i];
    }
    return d;
}

} // namespace quillon::linesim::testing
