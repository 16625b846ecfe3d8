// The rendered page set (text at fine and standard resolution, halftone, Floyd-Steinberg
// photo, noise, white), encoded by libtiff as G3 1D with EOLs, with and without byte-aligned
// EOLs (fill), stored through the APF writer and unpacked: every page decodes exactly as
// libtiff decodes it, with the production decoder and with the literal bit walk.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "faximage/unpack_engine.h"
#include "support/fax_pages.h"

using namespace quillon::faximage;
using namespace quillon::faximage::testing;
namespace fax = quillon::fax;

namespace {

struct SetPage {
    const char *name;
    bool fine;
};
const SetPage kPages[] = {{"text_fine", true}, {"text_std", false}, {"halftone", true},
                          {"photo_fs", true},  {"noise", true},     {"white", false}};

class PageSetTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("pageset_" + std::to_string(::getpid()) + (GetParam() ? "_fill" : "_eol"));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

struct Lines : TLineSink {
    std::vector<std::vector<uint8_t>> lines;
    int32_t OnLine(const uint8_t *line, uint32_t bytes, uint32_t ink) override {
        lines.emplace_back(line, line + bytes);
        // The ink reported is the end of the last black pixel.
        uint32_t last = 0;
        for (uint32_t x = 0; x < bytes * 8; ++x) {
            if ((line[x / 8] & (0x80u >> (x % 8))) != 0) {
                last = x + 1;
            }
        }
        EXPECT_EQ(ink, last);
        return 0;
    }
};

TEST_P(PageSetTest, EveryPageDecodesAsLibtiffDecodesIt) {
    const bool fillBits = GetParam();
    std::vector<G3Page> pages;
    for (const SetPage &p : kPages) {
        pages.push_back(
            {ReadPbm(std::string(FAXIMAGE_PAGESET_DIR) + "/" + p.name + ".pbm"), p.fine});
    }
    std::string tiff = (dir_ / "set.tif").string();
    WriteG3Tiff(tiff, pages, fillBits);
    std::vector<RawImage> reference = DecodeWithLibtiff(tiff);
    std::vector<std::vector<uint8_t>> strips = ReadRawStrips(tiff);
    ASSERT_EQ(reference.size(), pages.size());
    ASSERT_EQ(strips.size(), pages.size());

    std::vector<ApfPage> apfPages;
    for (size_t i = 0; i < pages.size(); ++i) {
        // libtiff's own round trip is the reference; it must give back the rendered page.
        ASSERT_EQ(reference[i].bits, pages[i].image.bits) << kPages[i].name;
        apfPages.push_back({static_cast<uint16_t>(kPages[i].fine ? fax::kApfFine : 0), strips[i]});
    }
    std::string apf = (dir_ / "SET.APF").string();
    WriteApf(apf, apfPages, "PAGESET");

    for (TDecoderKind kind : {TDecoderKind::kFast, TDecoderKind::kLiteral}) {
        TUnpackEngine engine;
        engine.ClearOptions(0xFFFF);
        engine.SetDecoder(kind);
        for (size_t i = 0; i < pages.size(); ++i) {
            TUnpackResult result;
            ASSERT_EQ(engine.UnpackPageToBitmap(apf, static_cast<uint32_t>(i + 1), true, result), 0)
                << kPages[i].name;
            ASSERT_NE(result.bitmap, nullptr);
            std::string why;
            EXPECT_TRUE(SameImage(*result.bitmap, reference[i], &why))
                << kPages[i].name << ": " << why;
            EXPECT_EQ(engine.InvalidCodes(), 0u) << kPages[i].name;
        }
    }

    // The two decoders agree line by line on the raw streams, in odd chunkings too.
    for (size_t i = 0; i < strips.size(); ++i) {
        TT4Decoder literal(TT4Tables::Get(TFillMode::kAcceptFill));
        TT4Decoder fast(TT4Tables::Get(TFillMode::kAcceptFill));
        Lines a, b;
        const auto &s = strips[i];
        (void)literal.DecodeLiteral(s.data(), s.size(), a);
        for (size_t at = 0; at < s.size(); at += 777) {
            if (fast.Decode(s.data() + at, std::min<size_t>(777, s.size() - at), b) != 0) {
                break;
            }
        }
        (void)literal.Finish(a);
        (void)fast.Finish(b);
        EXPECT_EQ(a.lines, b.lines) << kPages[i].name;
        EXPECT_EQ(a.lines.size(), pages[i].image.height) << kPages[i].name;
        EXPECT_EQ(literal.bitsConsumed(), fast.bitsConsumed()) << kPages[i].name;
    }
}

INSTANTIATE_TEST_SUITE_P(G3, PageSetTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "AlignedEols" : "PlainEols"; });

} // namespace
