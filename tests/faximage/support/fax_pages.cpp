#include "fax_pages.h"

#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "fax/apf_file.h"
#include "faximage/t4_codes.h"

namespace quillon::faximage::testing {

RawImage MakeWhite(uint32_t width, uint32_t height) {
    RawImage image;
    image.width = width;
    image.height = height;
    image.bits.assign(size_t{image.stride()} * height, 0);
    return image;
}

RawImage ReadPbm(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    in >> magic;
    auto number = [&] {
        in >> std::ws;
        while (in.peek() == '#') {
            std::string comment;
            std::getline(in, comment);
            in >> std::ws;
        }
        uint32_t v = 0;
        in >> v;
        return v;
    };
    if (magic != "P4") {
        throw std::runtime_error("not a raw PBM file: " + path);
    }
    RawImage image;
    image.width = number();
    image.height = number();
    in.get();
    image.bits.resize(size_t{image.stride()} * image.height);
    in.read(reinterpret_cast<char *>(image.bits.data()), static_cast<long>(image.bits.size()));
    if (!in) {
        throw std::runtime_error("short PBM file: " + path);
    }
    return image;
}

void WriteG3Tiff(const std::string &path, const std::vector<G3Page> &pages, bool fillBits) {
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr) {
        throw std::runtime_error("cannot create " + path);
    }
    uint16_t n = static_cast<uint16_t>(pages.size());
    for (uint16_t i = 0; i < n; ++i) {
        const RawImage &image = pages[i].image;
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, image.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, image.height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
        TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, fillBits ? GROUP3OPT_FILLBITS : 0);
        TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, image.height);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, pages[i].fine ? 196.0 : 98.0);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, i, n);
        std::vector<uint8_t> row(image.stride());
        for (uint32_t y = 0; y < image.height; ++y) {
            std::memcpy(row.data(), image.bits.data() + size_t{y} * image.stride(), row.size());
            if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) {
                TIFFClose(tif);
                throw std::runtime_error("libtiff could not encode " + path);
            }
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
}

std::vector<std::vector<uint8_t>> ReadRawStrips(const std::string &path) {
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr) {
        throw std::runtime_error("cannot open " + path);
    }
    std::vector<std::vector<uint8_t>> strips;
    do {
        if (TIFFNumberOfStrips(tif) != 1) {
            TIFFClose(tif);
            throw std::runtime_error("expected one strip per page in " + path);
        }
        uint64_t *counts = nullptr;
        TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts);
        std::vector<uint8_t> data(counts[0]);
        tmsize_t got = TIFFReadRawStrip(tif, 0, data.data(), static_cast<tmsize_t>(data.size()));
        data.resize(got > 0 ? static_cast<size_t>(got) : 0);
        uint16_t fillOrder = FILLORDER_MSB2LSB;
        TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fillOrder);
        if (fillOrder == FILLORDER_MSB2LSB) {
            TIFFReverseBits(data.data(), static_cast<tmsize_t>(data.size()));
        }
        strips.push_back(std::move(data));
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return strips;
}

std::vector<RawImage> DecodeWithLibtiff(const std::string &path) {
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr) {
        throw std::runtime_error("cannot open " + path);
    }
    std::vector<RawImage> images;
    do {
        uint32_t width = 0, height = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        RawImage image = MakeWhite(width, height);
        uint32_t rowsPerStrip = height;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        tmsize_t stripSize = TIFFStripSize(tif);
        std::vector<uint8_t> strip(static_cast<size_t>(stripSize));
        uint32_t y = 0;
        for (tstrip_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
            tmsize_t got = TIFFReadEncodedStrip(tif, s, strip.data(), stripSize);
            if (got < 0) {
                break;
            }
            size_t bytes = std::min<size_t>(static_cast<size_t>(got),
                                            image.bits.size() - size_t{y} * image.stride());
            std::memcpy(image.bits.data() + size_t{y} * image.stride(), strip.data(), bytes);
            y += rowsPerStrip;
        }
        uint16_t photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        if (photometric == PHOTOMETRIC_MINISBLACK) {
            for (auto &b : image.bits) {
                b = static_cast<uint8_t>(~b);
            }
        }
        images.push_back(std::move(image));
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return images;
}

void WriteApf(const std::string &path, const std::vector<ApfPage> &pages,
              const std::string &remoteId) {
    fax::TApfWriter writer;
    auto check = [&](int32_t rc) {
        if (rc != 0) {
            throw std::runtime_error("APF writer failed with " + std::to_string(rc));
        }
    };
    check(writer.OpenFaxFile(path, remoteId, fax::TFileCreate::Replace)); // fixtures are rewritten
    for (const ApfPage &page : pages) {
        check(writer.BeginPage(page.flags));
        check(writer.AppendPageData(page.data));
        check(writer.EndPage());
    }
    check(writer.FinishFaxFile());
}

std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

bool SameImage(const TFaxBitmap &bitmap, const RawImage &image, std::string *why) {
    auto fail = [&](const std::string &text) {
        if (why != nullptr) {
            *why = text;
        }
        return false;
    };
    if (bitmap.Height() != image.height) {
        return fail("height " + std::to_string(bitmap.Height()) +
                    " != " + std::to_string(image.height));
    }
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < std::max(image.width, bitmap.Width()); ++x) {
            bool want = x < image.width && image.black(x, y);
            bool got = x < bitmap.Width() && bitmap.IsBlack(x, y);
            if (want != got) {
                return fail("pixel " + std::to_string(x) + "," + std::to_string(y) + " differs");
            }
        }
    }
    return true;
}

void BitWriter::bits(const char *code) {
    for (const char *c = code; *c != 0; ++c) {
        if (used_ == 8) {
            out_.push_back(0);
            used_ = 0;
        }
        if (*c == '1') {
            out_.back() |= static_cast<uint8_t>(1u << used_);
        }
        ++used_;
    }
}

void BitWriter::zeros(int n) {
    for (int i = 0; i < n; ++i) {
        bits("0");
    }
}

void BitWriter::run(bool black, uint32_t length) {
    while (length >= 2560 + 64) {
        bits(kExtendedMakeUp[12].bits);
        length -= 2560;
    }
    if (length >= 1792) {
        uint32_t m = length / 64 * 64;
        bits(kExtendedMakeUp[(m - 1792) / 64].bits);
        length -= m;
    } else if (length >= 64) {
        uint32_t m = length / 64 * 64;
        const TT4Code *makeUp = black ? kBlackMakeUp : kWhiteMakeUp;
        bits(makeUp[m / 64 - 1].bits);
        length -= m;
    }
    const TT4Code *terminating = black ? kBlackTerminating : kWhiteTerminating;
    bits(terminating[length].bits);
}

void BitWriter::line(const uint8_t *row, uint32_t width) {
    bool black = false;
    uint32_t x = 0;
    while (x < width) {
        uint32_t start = x;
        while (x < width && (((row[x / 8] >> (7 - x % 8)) & 1u) != 0) == black) {
            ++x;
        }
        run(black, x - start);
        black = !black;
    }
}

void BitWriter::align() {
    while (used_ != 8) {
        bits("0");
    }
}

std::vector<uint8_t> BitWriter::bytes() const {
    return out_;
}

} // namespace quillon::faximage::testing
