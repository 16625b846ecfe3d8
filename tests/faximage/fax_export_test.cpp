// Export of a 3-page fax (fine text, standard text, fine halftone) to PDF and TIFF Class F,
// checked with independent readers: poppler's pdfinfo and pdftoppm, qpdf, libtiff's tiffinfo
// and libtiff itself. Every page must come back pixel for pixel.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "fax/apf_file.h"
#include "faximage/fax_export.h"
#include "support/fax_pages.h"

using namespace quillon::faximage;
using namespace quillon::faximage::testing;
namespace fax = quillon::fax;

namespace {

std::string run(const std::string &command, int *status = nullptr) {
    std::string out;
    FILE *pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        out.append(buf, n);
    }
    int rc = ::pclose(pipe);
    if (status != nullptr) {
        *status = rc;
    }
    return out;
}

class FaxExportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("export_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        const char *names[] = {"text_fine", "text_std", "halftone"};
        const bool fine[] = {true, false, true};
        std::vector<G3Page> pages;
        for (int i = 0; i < 3; ++i) {
            pages.push_back(
                {ReadPbm(std::string(FAXIMAGE_PAGESET_DIR) + "/" + names[i] + ".pbm"), fine[i]});
            originals_.push_back(pages.back().image);
        }
        std::string tiff = (dir_ / "in.tif").string();
        WriteG3Tiff(tiff, pages, false);
        auto strips = ReadRawStrips(tiff);
        std::vector<ApfPage> apf;
        for (int i = 0; i < 3; ++i) {
            apf.push_back({static_cast<uint16_t>(fine[i] ? fax::kApfFine : 0), strips[i]});
        }
        apf_ = (dir_ / "FAX.APF").string();
        WriteApf(apf_, apf);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // The page as poppler renders it at the fax's own resolution, one bit per pixel.
    RawImage renderPage(const std::string &pdf, int page, int yDpi) {
        std::string base = (dir_ / ("p" + std::to_string(page))).string();
        int status = 0;
        std::string out =
            run("pdftoppm -mono -aa no -aaVector no -rx 204 -ry " + std::to_string(yDpi) + " -f " +
                    std::to_string(page) + " -l " + std::to_string(page) + " -singlefile '" + pdf +
                    "' '" + base + "'",
                &status);
        EXPECT_EQ(status, 0) << out;
        return ReadPbm(base + ".pbm");
    }

    static void expectSamePixels(const RawImage &rendered, const RawImage &want,
                                 const std::string &what) {
        ASSERT_EQ(rendered.width, want.width) << what;
        ASSERT_EQ(rendered.height, want.height) << what;
        size_t differing = 0;
        size_t first = SIZE_MAX;
        for (size_t i = 0; i < want.bits.size(); ++i) {
            if (rendered.bits[i] != want.bits[i]) {
                ++differing;
                first = std::min(first, i);
            }
        }
        EXPECT_EQ(differing, 0u) << what << ": first difference in row " << first / want.stride()
                                 << " byte " << first % want.stride();
    }

    std::filesystem::path dir_;
    std::string apf_;
    std::vector<RawImage> originals_;
};

TEST_F(FaxExportTest, PdfHasTruePageSizesAndRendersBackExactly) {
    std::string pdf = (dir_ / "fax.pdf").string();
    ASSERT_EQ(ExportFax(apf_, pdf), 0);
    int status = 0;
    std::string info = run("pdfinfo -f 1 -l 3 '" + pdf + "'", &status);
    ASSERT_EQ(status, 0) << info;
    EXPECT_NE(info.find("Pages:           3"), std::string::npos) << info;
    // 1728 pixels at 204 dpi are 609.88 pt (215.1 mm); 2292 fine lines 841.96 pt, 1146
    // standard lines 842 pt as well: a standard page is not squashed.
    EXPECT_NE(info.find("Page    1 size:  609.882 x 841.959"), std::string::npos) << info;
    EXPECT_NE(info.find("Page    2 size:  609.882 x 841.959"), std::string::npos) << info;
    std::string check = run("qpdf --check '" + pdf + "'", &status);
    EXPECT_EQ(status, 0) << check;
    std::string images = run("pdfimages -list '" + pdf + "'");
    EXPECT_NE(images.find("stencil"), std::string::npos) << images; // 1-bit image masks

    for (int page = 1; page <= 3; ++page) {
        RawImage rendered = renderPage(pdf, page, page == 2 ? 98 : 196);
        expectSamePixels(rendered, originals_[page - 1], "page " + std::to_string(page));
    }
}

// Pages of different sizes in one file (a short standard page, a 2048-pixel B4 page, a page
// whose width is not a multiple of eight, and a page black to its very edges): each keeps
// its own size and renders back exactly, up to the last column and row.
TEST_F(FaxExportTest, PdfPagesOfMixedSizesRenderBackExactly) {
    struct Shape {
        uint32_t width, height;
        bool fine;
        int fill; // 0 noise, 1 all black
    };
    const Shape shapes[] = {
        {1728, 37, false, 0}, {2048, 1500, true, 0}, {1003, 211, true, 0}, {1728, 1146, false, 1}};
    std::vector<TFaxPageImage> pages;
    std::vector<RawImage> wanted;
    uint32_t seed = 12345;
    for (const Shape &shape : shapes) {
        RawImage raw;
        raw.width = shape.width;
        raw.height = shape.height;
        raw.bits.assign(size_t{raw.stride()} * raw.height, 0);
        for (uint32_t y = 0; y < raw.height; ++y) {
            for (uint32_t x = 0; x < raw.width; ++x) {
                seed = seed * 1103515245u + 12345u;
                if (shape.fill == 1 || (seed >> 16) % 3 == 0) {
                    raw.setBlack(x, y);
                }
            }
        }
        // The export's bitmaps hold 1 for white in rows of even byte length.
        uint32_t stride = (raw.stride() + 1) & ~1u;
        std::vector<uint8_t> inverted(size_t{stride} * raw.height, 0xFF);
        for (uint32_t y = 0; y < raw.height; ++y) {
            for (uint32_t i = 0; i < raw.stride(); ++i) {
                inverted[size_t{y} * stride + i] =
                    static_cast<uint8_t>(~raw.bits[size_t{y} * raw.stride() + i]);
            }
        }
        TFaxPageImage page;
        page.bitmap = TFaxBitmap(raw.width, raw.height, stride, true, std::move(inverted));
        page.fine = shape.fine;
        pages.push_back(std::move(page));
        wanted.push_back(std::move(raw));
    }
    std::string pdf = (dir_ / "mixed.pdf").string();
    ASSERT_EQ(WritePdf(pages, pdf), 0);
    int status = 0;
    std::string check = run("qpdf --check '" + pdf + "'", &status);
    EXPECT_EQ(status, 0) << check;
    std::string info = run("pdfinfo -f 1 -l 4 '" + pdf + "'");
    // 2048 pixels at 204 dpi are 722.82 pt; 37 standard lines 27.183 pt.
    EXPECT_NE(info.find("Page    1 size:  609.882 x 27.183"), std::string::npos) << info;
    EXPECT_NE(info.find("Page    2 size:  722.823 x 551.02"), std::string::npos) << info;
    for (size_t i = 0; i < pages.size(); ++i) {
        RawImage rendered = renderPage(pdf, static_cast<int>(i + 1), shapes[i].fine ? 196 : 98);
        expectSamePixels(rendered, wanted[i], "page " + std::to_string(i + 1));
    }
    EXPECT_FALSE(std::filesystem::exists(pdf + ".part"));
}

class FaxExportTiffTest : public FaxExportTest, public ::testing::WithParamInterface<TiffCoding> {};

TEST_P(FaxExportTiffTest, TiffClassFDecodesToTheSamePixels) {
    const bool g4 = GetParam() == TiffCoding::G4;
    std::string tif = (dir_ / "fax.tif").string();
    ASSERT_EQ(ExportFax(apf_, tif, GetParam()), 0);
    int status = 0;
    std::string info = run("tiffinfo -D '" + tif + "'", &status);
    ASSERT_EQ(status, 0) << info;
    EXPECT_EQ(info.find("rror"), std::string::npos) << info;
    EXPECT_NE(info.find(g4 ? "CCITT Group 4" : "CCITT Group 3"), std::string::npos) << info;

    auto decoded = DecodeWithLibtiff(tif);
    ASSERT_EQ(decoded.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(decoded[i].width, 1728u);
        EXPECT_EQ(decoded[i].bits, originals_[i].bits) << "page " << i + 1;
    }
    TIFF *t = TIFFOpen(tif.c_str(), "r");
    ASSERT_NE(t, nullptr);
    for (uint16_t i = 0; i < 3; ++i) {
        uint16_t page = 0, total = 0, compression = 0;
        float xres = 0, yres = 0;
        ASSERT_TRUE(TIFFGetField(t, TIFFTAG_PAGENUMBER, &page, &total));
        EXPECT_EQ(page, i);
        EXPECT_EQ(total, 3);
        TIFFGetField(t, TIFFTAG_COMPRESSION, &compression);
        EXPECT_EQ(compression, g4 ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3);
        TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres);
        TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres);
        EXPECT_EQ(xres, 204.0f);
        EXPECT_EQ(yres, i == 1 ? 98.0f : 196.0f);
        TIFFReadDirectory(t);
    }
    TIFFClose(t);
}

INSTANTIATE_TEST_SUITE_P(Codings, FaxExportTiffTest,
                         ::testing::Values(TiffCoding::G3, TiffCoding::G4), [](const auto &info) {
                             return info.param == TiffCoding::G4 ? "G4" : "G3";
                         });

TEST_F(FaxExportTest, ConvertToolAndErrors) {
    int status = 0;
    std::string pdf = (dir_ / "tool.PDF").string();
    std::string out = run(std::string(QUILLON_CONVERT) + " '" + apf_ + "' '" + pdf + "'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(std::filesystem::exists(pdf));
    std::string g4 = (dir_ / "tool.tif").string();
    out = run(std::string(QUILLON_CONVERT) + " --g4 '" + apf_ + "' '" + g4 + "'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(run("tiffinfo '" + g4 + "'").find("CCITT Group 4"), std::string::npos);
    out = run(std::string(QUILLON_CONVERT) + " '" + apf_ + "' '" + (dir_ / "x.png").string() + "'",
              &status);
    EXPECT_NE(status, 0);
    out = run(std::string(QUILLON_CONVERT) + " /nonexistent.apf '" + pdf + "'", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("File not found"), std::string::npos) << out;

    EXPECT_EQ(ExportFax(apf_, (dir_ / "x.doc").string()), fax::kErrBadArgument);
    EXPECT_EQ(ExportFaxToPdf(apf_, "/nonexistent/dir/x.pdf"), fax::kErrDeviceWrite);
    EXPECT_EQ(ExportFaxToTiff(apf_, "/nonexistent/dir/x.tif"), fax::kErrDeviceWrite);
    // A truncated file: the first page is readable, the second not; nothing is written.
    std::filesystem::resize_file(apf_, 64 + 16 + 1000);
    std::string cut = (dir_ / "cut.pdf").string();
    EXPECT_EQ(ExportFaxToPdf(apf_, cut), fax::kErrNotApfFile);
    EXPECT_FALSE(std::filesystem::exists(cut));
}

} // namespace
