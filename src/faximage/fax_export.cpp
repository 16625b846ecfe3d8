#include "faximage/fax_export.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "fax/apf_file.h"
#include "faximage/unpack_engine.h"
#include "platform/file_replace.h"

namespace quillon::faximage {

namespace {

constexpr int32_t kErrOutput = fax::kErrDeviceWrite;

uint8_t reverseBits(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
}

std::string lowerExtension(const std::string &path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// The page as a cairo A1 surface: 1 = ink (black). A1 pixels sit in native-endian 32-bit
// words, the first pixel in the least significant bit on little-endian machines.
cairo_surface_t *maskSurface(const TFaxBitmap &bitmap) {
    const int width = static_cast<int>(bitmap.Width());
    const int height = static_cast<int>(bitmap.Height());
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_A1, width, height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        return surface;
    }
    cairo_surface_flush(surface);
    uint8_t *data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const uint32_t bytes = (bitmap.Width() + 7) / 8;
    for (int y = 0; y < height; ++y) {
        const uint8_t *src = bitmap.Row(static_cast<uint32_t>(y));
        uint8_t *dst = data + static_cast<ptrdiff_t>(y) * stride;
        std::memset(dst, 0, static_cast<size_t>(stride));
        for (uint32_t i = 0; i < bytes; ++i) {
            uint8_t ink = bitmap.OneIsWhite() ? static_cast<uint8_t>(~src[i]) : src[i];
            if (i == bytes - 1 && (bitmap.Width() & 7) != 0) {
                ink = static_cast<uint8_t>(ink & (0xFF00u >> (bitmap.Width() & 7)));
            }
            if constexpr (std::endian::native == std::endian::little) {
                dst[i] = reverseBits(ink);
            } else {
                dst[i] = ink;
            }
        }
    }
    cairo_surface_mark_dirty(surface);
    return surface;
}

} // namespace

int32_t LoadFaxPages(const std::string &apfPath, std::vector<TFaxPageImage> &pages) {
    pages.clear();
    fax::TApfFileSource source;
    if (int32_t rc = source.Open(apfPath); rc != 0) {
        return rc;
    }
    fax::TApfFileHeader header;
    if (int32_t rc = fax::ReadFileHeader(source, header); rc != 0) {
        return rc;
    }
    TUnpackEngine engine;
    engine.ClearOptions(0xFFFF);
    for (uint32_t page = 1; page <= header.pageCount; ++page) {
        TUnpackResult result;
        if (int32_t rc = engine.UnpackPageToBitmap(source, apfPath, page, true, result); rc != 0) {
            pages.clear();
            return rc;
        }
        const fax::TApfPageHeader &ph = engine.PageHeader();
        TFaxPageImage image;
        image.fine = ph.Fine();
        if (result.bitmap) {
            image.bitmap = result.bitmap->WithWidth(ph.Width());
        } else {
            image.bitmap = TFaxBitmap(ph.Width(), 1, (ph.Width() / 8 + 1) & ~1u, true,
                                      std::vector<uint8_t>((ph.Width() / 8 + 1) & ~1u, 0xFF));
        }
        pages.push_back(std::move(image));
    }
    return 0;
}

namespace {

// Page geometry in points. The true size is cut (not rounded) to 1/1000 pt, so that a
// renderer working at the page's own resolution gets exactly the bitmap's pixel count, not
// one more. cairo 1.16 clips every drawing to the page size truncated to whole points, which
// would cut the last two or three pixel columns and rows off a fax page, so cairo draws on a
// page a little over the next whole point (its clip then covers the image), with the image
// in the bottom-left corner, and each page's MediaBox is set back to the true size once
// cairo has written the file.
struct PdfPageSize {
    double width = 0, height = 0;         // true size, MediaBox
    double drawWidth = 0, drawHeight = 0; // what cairo draws on
};

PdfPageSize pdfPageSize(const TFaxPageImage &p) {
    PdfPageSize s;
    s.width = std::floor(p.bitmap.Width() * 72000.0 / p.XDpi()) / 1000.0;
    s.height = std::floor(p.bitmap.Height() * 72000.0 / p.YDpi()) / 1000.0;
    s.drawWidth = std::floor(s.width) + 1.000001;
    s.drawHeight = std::floor(s.height) + 1.000001;
    return s;
}

cairo_status_t appendToString(void *closure, const unsigned char *data, unsigned int length) {
    static_cast<std::string *>(closure)->append(reinterpret_cast<const char *>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

std::string pdfNumber(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    std::string text = buf;
    while (text.back() == '0') {
        text.pop_back();
    }
    if (text.back() == '.') {
        text.pop_back();
    }
    return text;
}

// Rewrites each page's "/MediaBox [ 0 0 W H ]" (in page order) to the true size, padding with
// spaces so that no byte offset in the file moves. Fails unless every page's box is found
// with the size cairo was given.
bool setTrueMediaBoxes(std::string &pdf, const std::vector<PdfPageSize> &sizes) {
    static const std::string kKey = "/MediaBox [ 0 0 ";
    size_t at = 0;
    for (const PdfPageSize &size : sizes) {
        at = pdf.find(kKey, at);
        if (at == std::string::npos) {
            return false;
        }
        size_t from = at + kKey.size();
        size_t end = pdf.find(" ]", from);
        if (end == std::string::npos || end - from > 64) {
            return false;
        }
        double w = 0, h = 0;
        if (std::sscanf(pdf.substr(from, end - from).c_str(), "%lf %lf", &w, &h) != 2 ||
            std::fabs(w - size.drawWidth) > 1e-4 || std::fabs(h - size.drawHeight) > 1e-4) {
            return false;
        }
        std::string box = pdfNumber(size.width) + " " + pdfNumber(size.height);
        if (box.size() > end - from) {
            return false;
        }
        box.resize(end - from, ' ');
        pdf.replace(from, end - from, box);
        at = end;
    }
    return pdf.find(kKey, at) == std::string::npos;
}

} // namespace

int32_t WritePdf(const std::vector<TFaxPageImage> &pages, const std::string &pdfPath) {
    if (pages.empty()) {
        return fax::kErrBadArgument;
    }
    std::vector<PdfPageSize> sizes;
    for (const TFaxPageImage &page : pages) {
        sizes.push_back(pdfPageSize(page));
    }
    std::string pdf;
    cairo_surface_t *surface = cairo_pdf_surface_create_for_stream(
        appendToString, &pdf, sizes.front().drawWidth, sizes.front().drawHeight);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return kErrOutput;
    }
    cairo_pdf_surface_restrict_to_version(surface, CAIRO_PDF_VERSION_1_4);
    cairo_t *cr = cairo_create(surface);
    bool ok = true;
    for (size_t i = 0; i < pages.size(); ++i) {
        const TFaxPageImage &page = pages[i];
        const PdfPageSize &size = sizes[i];
        cairo_pdf_surface_set_size(surface, size.drawWidth, size.drawHeight);
        cairo_surface_t *mask = maskSurface(page.bitmap);
        if (cairo_surface_status(mask) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(mask);
            ok = false;
            break;
        }
        cairo_save(cr);
        // The image fills the true page exactly (its size was cut to 1/1000 pt). cairo's y
        // axis runs down from the top of the drawing page, whose bottom-left corner is that
        // of the true page.
        cairo_translate(cr, 0, size.drawHeight - size.height);
        cairo_scale(cr, size.width / page.bitmap.Width(), size.height / page.bitmap.Height());
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_pattern_t *pattern = cairo_pattern_create_for_surface(mask);
        cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
        cairo_mask(cr, pattern);
        cairo_pattern_destroy(pattern);
        cairo_restore(cr);
        cairo_show_page(cr);
        cairo_surface_destroy(mask);
    }
    ok = ok && cairo_status(cr) == CAIRO_STATUS_SUCCESS;
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    ok = ok && cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    ok = ok && setTrueMediaBoxes(pdf, sizes) &&
         platform::ReplaceFileContents(pdfPath, pdf, 0666, ".part").ok();
    return ok ? 0 : kErrOutput;
}

int32_t WriteTiffClassF(const std::vector<TFaxPageImage> &pages, const std::string &tiffPath,
                        TiffCoding coding) {
    if (pages.empty()) {
        return fax::kErrBadArgument;
    }
    TIFF *tif = TIFFOpen(tiffPath.c_str(), "w");
    if (tif == nullptr) {
        return kErrOutput;
    }
    const uint16_t count = static_cast<uint16_t>(pages.size());
    bool ok = true;
    for (uint16_t i = 0; ok && i < count; ++i) {
        const TFaxBitmap &bitmap = pages[i].bitmap;
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, bitmap.Width());
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, bitmap.Height());
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        if (coding == TiffCoding::G4) {
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
            TIFFSetField(tif, TIFFTAG_GROUP4OPTIONS, 0);
        } else {
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
            TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_FILLBITS);
        }
        TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, bitmap.Height());
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, pages[i].XDpi());
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, pages[i].YDpi());
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, i, count);
        TIFFSetField(tif, TIFFTAG_CLEANFAXDATA, CLEANFAXDATA_CLEAN);
        TIFFSetField(tif, TIFFTAG_SOFTWARE, "Quillon");
        std::vector<uint8_t> row((bitmap.Width() + 7) / 8);
        for (uint32_t y = 0; ok && y < bitmap.Height(); ++y) {
            const uint8_t *src = bitmap.Row(y);
            for (size_t b = 0; b < row.size(); ++b) {
                row[b] = bitmap.OneIsWhite() ? static_cast<uint8_t>(~src[b]) : src[b];
            }
            ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
        }
        ok = ok && TIFFWriteDirectory(tif) != 0;
    }
    TIFFClose(tif);
    return ok ? 0 : kErrOutput;
}

int32_t ExportFaxToPdf(const std::string &apfPath, const std::string &pdfPath) {
    std::vector<TFaxPageImage> pages;
    if (int32_t rc = LoadFaxPages(apfPath, pages); rc != 0) {
        return rc;
    }
    if (pages.empty()) {
        return fax::kErrNotApfFile;
    }
    return WritePdf(pages, pdfPath);
}

int32_t ExportFaxToTiff(const std::string &apfPath, const std::string &tiffPath,
                        TiffCoding coding) {
    std::vector<TFaxPageImage> pages;
    if (int32_t rc = LoadFaxPages(apfPath, pages); rc != 0) {
        return rc;
    }
    if (pages.empty()) {
        return fax::kErrNotApfFile;
    }
    return WriteTiffClassF(pages, tiffPath, coding);
}

int32_t ExportFax(const std::string &apfPath, const std::string &outPath, TiffCoding coding) {
    const std::string ext = lowerExtension(outPath);
    if (ext == ".pdf") {
        return ExportFaxToPdf(apfPath, outPath);
    }
    if (ext == ".tif" || ext == ".tiff") {
        return ExportFaxToTiff(apfPath, outPath, coding);
    }
    return fax::kErrBadArgument;
}

} // namespace quillon::faximage
