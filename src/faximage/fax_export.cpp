#include "faximage/fax_export.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

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

// Decodes pages 1, 2, ... of a file one at a time, walking the page chain once.
class PageReader {
  public:
    int32_t open(const std::string &apfPath) {
        path_ = apfPath;
        if (int32_t rc = source_.Open(apfPath); rc != 0) {
            return rc;
        }
        if (int32_t rc = fax::ReadFileHeader(source_, header_); rc != 0) {
            return rc;
        }
        engine_.ClearOptions(0xFFFF);
        engine_.WalkPagesOf(&source_);
        return 0;
    }
    [[nodiscard]] uint32_t pageCount() const { return header_.pageCount; }
    int32_t read(uint32_t page, TFaxPageImage &image) {
        TUnpackResult result;
        if (int32_t rc = engine_.UnpackPageToBitmap(source_, path_, page, true, result); rc != 0) {
            return rc;
        }
        const fax::TApfPageHeader &ph = engine_.PageHeader();
        image.fine = ph.Fine();
        image.damagedRows = engine_.DamagedRows();
        if (result.bitmap) {
            image.bitmap = result.bitmap->WithWidth(ph.Width());
        } else {
            uint32_t stride = (ph.Width() / 8 + 1) & ~1u;
            image.bitmap =
                TFaxBitmap(ph.Width(), 1, stride, true, std::vector<uint8_t>(stride, 0xFF));
        }
        return 0;
    }

  private:
    std::string path_;
    fax::TApfFileSource source_;
    fax::TApfFileHeader header_;
    TUnpackEngine engine_;
};

} // namespace

int32_t LoadFaxPages(const std::string &apfPath, std::vector<TFaxPageImage> &pages) {
    pages.clear();
    try {
        PageReader reader;
        if (int32_t rc = reader.open(apfPath); rc != 0) {
            return rc;
        }
        for (uint32_t page = 1; page <= reader.pageCount(); ++page) {
            TFaxPageImage image;
            if (int32_t rc = reader.read(page, image); rc != 0) {
                pages.clear();
                return rc;
            }
            pages.push_back(std::move(image));
        }
    } catch (const std::bad_alloc &) {
        pages.clear();
        return kErrInsufficientMemory;
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

// Passes cairo's output to a file, rewriting each page's "/MediaBox [ 0 0 W H ]" (in page
// order) to the true size on the way, padded with spaces so that no byte offset in the file
// moves. A box is held back until its closing bracket has come; all else goes out at once,
// so memory stays small however long the document.
class PdfStream {
  public:
    PdfStream(std::FILE *out, const std::vector<PdfPageSize> &sizes) : out_(out), sizes_(sizes) {}

    static cairo_status_t write(void *closure, const unsigned char *data, unsigned int length) {
        auto *self = static_cast<PdfStream *>(closure);
        if (self->failed_) {
            return CAIRO_STATUS_WRITE_ERROR;
        }
        self->buffer_.append(reinterpret_cast<const char *>(data), length);
        return self->pass(false) ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
    }
    // After cairo has finished: the rest, and whether every page's box was set.
    bool finish() { return pass(true) && boxes_ == sizes_.size(); }
    [[nodiscard]] bool failed() const { return failed_; }

  private:
    static constexpr std::string_view kKey = "/MediaBox [ 0 0 ";
    static constexpr size_t kMaxBox = 64;

    bool pass(bool last) {
        if (failed_) {
            return false;
        }
        size_t keep = 0; // bytes held back from the end
        size_t at = 0;
        for (;;) {
            at = buffer_.find(kKey, at);
            if (at == std::string::npos) {
                keep = last ? 0 : std::min(buffer_.size(), kKey.size() - 1);
                break;
            }
            size_t from = at + kKey.size();
            size_t end = buffer_.find(" ]", from);
            if (end == std::string::npos) {
                if (last || buffer_.size() - from > kMaxBox) {
                    return fail();
                }
                keep = buffer_.size() - at;
                break;
            }
            if (!setBox(from, end)) {
                return fail();
            }
            at = end;
        }
        size_t flush = buffer_.size() - keep;
        if (flush > 0 && std::fwrite(buffer_.data(), 1, flush, out_) != flush) {
            return fail();
        }
        buffer_.erase(0, flush);
        return true;
    }

    bool setBox(size_t from, size_t end) {
        if (end - from > kMaxBox || boxes_ >= sizes_.size()) {
            return false;
        }
        const PdfPageSize &size = sizes_[boxes_++];
        double w = 0, h = 0;
        if (std::sscanf(buffer_.substr(from, end - from).c_str(), "%lf %lf", &w, &h) != 2 ||
            std::fabs(w - size.drawWidth) > 1e-4 || std::fabs(h - size.drawHeight) > 1e-4) {
            return false;
        }
        std::string box = pdfNumber(size.width) + " " + pdfNumber(size.height);
        if (box.size() > end - from) {
            return false;
        }
        box.resize(end - from, ' ');
        buffer_.replace(from, end - from, box);
        return true;
    }

    bool fail() {
        failed_ = true;
        return false;
    }

    std::FILE *out_;
    const std::vector<PdfPageSize> &sizes_;
    std::string buffer_;
    size_t boxes_ = 0;
    bool failed_ = false;
};

// The output under "<name>.part" until it is complete, then synced and renamed over the
// name, so that a failed export leaves an earlier file of that name as it was.
class PartFile {
  public:
    explicit PartFile(const std::string &path) : path_(path), part_(path + ".part") {}
    ~PartFile() {
        if (!published_) {
            platform::DiscardFile(part_);
        }
    }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;
    [[nodiscard]] const std::string &part() const { return part_; }
    bool publish() {
        published_ = platform::PublishFile(part_, path_).ok();
        return published_;
    }

  private:
    std::string path_;
    std::string part_;
    bool published_ = false;
};

int32_t cairoCode(cairo_status_t status) {
    return status == CAIRO_STATUS_NO_MEMORY ? kErrInsufficientMemory : kErrOutput;
}

// Writes pages to a PDF one at a time; only the page being added is in memory.
class PdfWriter {
  public:
    explicit PdfWriter(const std::string &path) : file_(path) {}
    ~PdfWriter() { abandon(); }
    PdfWriter(const PdfWriter &) = delete;
    PdfWriter &operator=(const PdfWriter &) = delete;

    int32_t addPage(const TFaxPageImage &page) {
        if (rc_ != 0) {
            return rc_;
        }
        sizes_.push_back(pdfPageSize(page));
        const PdfPageSize size = sizes_.back();
        if (surface_ == nullptr && !start(size)) {
            return rc_;
        }
        cairo_pdf_surface_set_size(surface_, size.drawWidth, size.drawHeight);
        cairo_surface_t *mask = maskSurface(page.bitmap);
        if (cairo_status_t st = cairo_surface_status(mask); st != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(mask);
            return rc_ = cairoCode(st);
        }
        cairo_save(cr_);
        // The image fills the true page exactly (its size was cut to 1/1000 pt). cairo's y
        // axis runs down from the top of the drawing page, whose bottom-left corner is that
        // of the true page.
        cairo_translate(cr_, 0, size.drawHeight - size.height);
        cairo_scale(cr_, size.width / page.bitmap.Width(), size.height / page.bitmap.Height());
        cairo_set_source_rgb(cr_, 0, 0, 0);
        cairo_pattern_t *pattern = cairo_pattern_create_for_surface(mask);
        cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
        cairo_mask(cr_, pattern);
        cairo_pattern_destroy(pattern);
        cairo_restore(cr_);
        cairo_show_page(cr_);
        cairo_surface_destroy(mask);
        if (cairo_status_t st = cairo_status(cr_); st != CAIRO_STATUS_SUCCESS) {
            return rc_ = stream_->failed() ? kErrOutput : cairoCode(st);
        }
        return 0;
    }

    int32_t finish() {
        if (rc_ == 0 && surface_ == nullptr) {
            rc_ = fax::kErrBadArgument; // no page
        }
        if (rc_ != 0) {
            return rc_;
        }
        cairo_destroy(cr_);
        cr_ = nullptr;
        cairo_surface_finish(surface_);
        cairo_status_t st = cairo_surface_status(surface_);
        cairo_surface_destroy(surface_);
        surface_ = nullptr;
        if (st != CAIRO_STATUS_SUCCESS) {
            return rc_ = stream_->failed() ? kErrOutput : cairoCode(st);
        }
        bool ok = stream_->finish();
        ok = std::fclose(out_) == 0 && ok;
        out_ = nullptr;
        if (!ok || !file_.publish()) {
            return rc_ = kErrOutput;
        }
        return 0;
    }

  private:
    bool start(const PdfPageSize &size) {
        out_ = std::fopen(file_.part().c_str(), "wb");
        if (out_ == nullptr) {
            rc_ = errno == ENOMEM ? kErrInsufficientMemory : kErrOutput;
            return false;
        }
        stream_ = std::make_unique<PdfStream>(out_, sizes_);
        surface_ = cairo_pdf_surface_create_for_stream(PdfStream::write, stream_.get(),
                                                       size.drawWidth, size.drawHeight);
        if (cairo_status_t st = cairo_surface_status(surface_); st != CAIRO_STATUS_SUCCESS) {
            rc_ = cairoCode(st);
            return false;
        }
        cairo_pdf_surface_restrict_to_version(surface_, CAIRO_PDF_VERSION_1_4);
        cr_ = cairo_create(surface_);
        if (cairo_status_t st = cairo_status(cr_); st != CAIRO_STATUS_SUCCESS) {
            rc_ = cairoCode(st);
            return false;
        }
        return true;
    }

    void abandon() {
        if (cr_ != nullptr) {
            cairo_destroy(cr_);
        }
        if (surface_ != nullptr) {
            cairo_surface_destroy(surface_);
        }
        if (out_ != nullptr) {
            std::fclose(out_);
        }
    }

    PartFile file_;
    std::vector<PdfPageSize> sizes_;
    std::FILE *out_ = nullptr;
    std::unique_ptr<PdfStream> stream_;
    cairo_surface_t *surface_ = nullptr;
    cairo_t *cr_ = nullptr;
    int32_t rc_ = 0;
};

// Writes pages to a TIFF Class F file one directory at a time.
class TiffWriter {
  public:
    TiffWriter(const std::string &path, TiffCoding coding, uint16_t pageCount)
        : file_(path), coding_(coding), count_(pageCount) {
        tif_ = TIFFOpen(file_.part().c_str(), "w");
    }
    ~TiffWriter() {
        if (tif_ != nullptr) {
            TIFFClose(tif_);
        }
    }
    TiffWriter(const TiffWriter &) = delete;
    TiffWriter &operator=(const TiffWriter &) = delete;

    int32_t addPage(const TFaxPageImage &page) {
        if (tif_ == nullptr) {
            return kErrOutput;
        }
        const TFaxBitmap &bitmap = page.bitmap;
        TIFFSetField(tif_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, bitmap.Width());
        TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, bitmap.Height());
        TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        if (coding_ == TiffCoding::G4) {
            TIFFSetField(tif_, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
            TIFFSetField(tif_, TIFFTAG_GROUP4OPTIONS, 0);
        } else {
            TIFFSetField(tif_, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
            TIFFSetField(tif_, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_FILLBITS);
        }
        TIFFSetField(tif_, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, bitmap.Height());
        TIFFSetField(tif_, TIFFTAG_XRESOLUTION, page.XDpi());
        TIFFSetField(tif_, TIFFTAG_YRESOLUTION, page.YDpi());
        TIFFSetField(tif_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tif_, TIFFTAG_PAGENUMBER, page_, count_);
        // Rows the decoder dropped or found invalid codes in are not regenerated: such a
        // page says so rather than claim to be clean.
        if (page.damagedRows == 0) {
            TIFFSetField(tif_, TIFFTAG_CLEANFAXDATA, CLEANFAXDATA_CLEAN);
        } else {
            TIFFSetField(tif_, TIFFTAG_CLEANFAXDATA, CLEANFAXDATA_UNCLEAN);
            TIFFSetField(tif_, TIFFTAG_BADFAXLINES, page.damagedRows);
        }
        TIFFSetField(tif_, TIFFTAG_SOFTWARE, "Quillon");
        std::vector<uint8_t> row((bitmap.Width() + 7) / 8);
        for (uint32_t y = 0; y < bitmap.Height(); ++y) {
            const uint8_t *src = bitmap.Row(y);
            for (size_t b = 0; b < row.size(); ++b) {
                row[b] = bitmap.OneIsWhite() ? static_cast<uint8_t>(~src[b]) : src[b];
            }
            if (TIFFWriteScanline(tif_, row.data(), y, 0) < 0) {
                return kErrOutput;
            }
        }
        ++page_;
        return TIFFWriteDirectory(tif_) != 0 ? 0 : kErrOutput;
    }

    int32_t finish() {
        if (tif_ == nullptr) {
            return kErrOutput;
        }
        if (page_ == 0) {
            return fax::kErrBadArgument;
        }
        // The last directory goes out at the flush; a failure there is a failed export.
        bool ok = TIFFFlush(tif_) != 0;
        TIFFClose(tif_);
        tif_ = nullptr;
        return ok && file_.publish() ? 0 : kErrOutput;
    }

  private:
    PartFile file_;
    TiffCoding coding_;
    uint16_t count_;
    uint16_t page_ = 0;
    TIFF *tif_ = nullptr;
};

// Feeds every page of an APF file to `writer`, one at a time.
template <typename Writer>
int32_t exportPages(PageReader &reader, Writer &writer, TExportReport *report) {
    if (reader.pageCount() == 0) {
        return fax::kErrNotApfFile;
    }
    for (uint32_t page = 1; page <= reader.pageCount(); ++page) {
        TFaxPageImage image;
        if (int32_t rc = reader.read(page, image); rc != 0) {
            return rc;
        }
        if (report != nullptr) {
            report->damagedRows.push_back(image.damagedRows);
        }
        if (int32_t rc = writer.addPage(image); rc != 0) {
            return rc;
        }
    }
    return writer.finish();
}

} // namespace

int32_t WritePdf(const std::vector<TFaxPageImage> &pages, const std::string &pdfPath) {
    if (pages.empty()) {
        return fax::kErrBadArgument;
    }
    try {
        PdfWriter writer(pdfPath);
        for (const TFaxPageImage &page : pages) {
            if (int32_t rc = writer.addPage(page); rc != 0) {
                return rc;
            }
        }
        return writer.finish();
    } catch (const std::bad_alloc &) {
        return kErrInsufficientMemory;
    }
}

int32_t WriteTiffClassF(const std::vector<TFaxPageImage> &pages, const std::string &tiffPath,
                        TiffCoding coding) {
    if (pages.empty()) {
        return fax::kErrBadArgument;
    }
    try {
        TiffWriter writer(tiffPath, coding, static_cast<uint16_t>(pages.size()));
        for (const TFaxPageImage &page : pages) {
            if (int32_t rc = writer.addPage(page); rc != 0) {
                return rc;
            }
        }
        return writer.finish();
    } catch (const std::bad_alloc &) {
        return kErrInsufficientMemory;
    }
}

int32_t ExportFaxToPdf(const std::string &apfPath, const std::string &pdfPath,
                       TExportReport *report) {
    try {
        PageReader reader;
        if (int32_t rc = reader.open(apfPath); rc != 0) {
            return rc;
        }
        PdfWriter writer(pdfPath);
        return exportPages(reader, writer, report);
    } catch (const std::bad_alloc &) {
        return kErrInsufficientMemory;
    }
}

int32_t ExportFaxToTiff(const std::string &apfPath, const std::string &tiffPath, TiffCoding coding,
                        TExportReport *report) {
    try {
        PageReader reader;
        if (int32_t rc = reader.open(apfPath); rc != 0) {
            return rc;
        }
        TiffWriter writer(tiffPath, coding, static_cast<uint16_t>(reader.pageCount()));
        return exportPages(reader, writer, report);
    } catch (const std::bad_alloc &) {
        return kErrInsufficientMemory;
    }
}

int32_t ExportFax(const std::string &apfPath, const std::string &outPath, TiffCoding coding,
                  TExportReport *report) {
    const std::string ext = lowerExtension(outPath);
    if (ext == ".pdf") {
        return ExportFaxToPdf(apfPath, outPath, report);
    }
    if (ext == ".tif" || ext == ".tiff") {
        return ExportFaxToTiff(apfPath, outPath, coding, report);
    }
    return fax::kErrBadArgument;
}

} // namespace quillon::faximage
