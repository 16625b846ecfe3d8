// The unpack engine on hand-made pages: synchronisation, the width check, automatic
// scaling, white-space compression, the bitmap builder's trimming and padding, the row cap,
// abort, quit and status handling.
#include <gtest/gtest.h>

#include "platform/event_loop.h"

#include <cstring>

#include "faximage/unpack_engine.h"
#include "support/fax_pages.h"

using namespace quillon::faximage;
using quillon::faximage::testing::BitWriter;
namespace fax = quillon::fax;

namespace {

constexpr uint16_t kFine = fax::kApfFine;

std::vector<uint8_t> apfBytes(const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> &pages) {
    std::vector<uint8_t> out(64, 0);
    std::memcpy(out.data(), "APF10\x1a", 6);
    out[32] = static_cast<uint8_t>(pages.size());
    out[34] = 64;
    for (const auto &[flags, data] : pages) {
        uint8_t header[16] = {};
        uint32_t n = static_cast<uint32_t>(data.size());
        std::memcpy(header, &n, 4);
        header[4] = static_cast<uint8_t>(flags);
        out.insert(out.end(), header, header + 16);
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

// A line of `width` pixels, black on [from, to).
void lineWithBlack(BitWriter &w, uint32_t width, uint32_t from, uint32_t to) {
    w.run(false, from);
    w.run(true, to - from);
    w.run(false, width - to);
    w.eol();
}

void blankLine(BitWriter &w, uint32_t width = 1728) {
    w.run(false, width);
    w.eol();
}

struct Unpacked {
    int32_t rc = 0;
    TUnpackResult result;
};

Unpacked unpack(TUnpackEngine &engine, const std::vector<uint8_t> &file, uint32_t page = 1,
                bool invert = true) {
    fax::TApfMemorySource source(file);
    Unpacked u;
    u.rc = engine.UnpackPageToBitmap(source, "mem.apf", page, invert, u.result);
    return u;
}

Unpacked unpackOne(uint16_t flags, const std::vector<uint8_t> &data, uint16_t options,
                   bool invert = true) {
    TUnpackEngine engine;
    engine.ClearOptions(0xFFFF);
    engine.SetOptions(options);
    return unpack(engine, apfBytes({{flags, data}}), 1, invert);
}

TEST(UnpackEngine, PageOfOnlyEolsGivesNoBitmap) {
    BitWriter w;
    for (int i = 0; i < 6; ++i) {
        w.eol();
    }
    Unpacked u = unpackOne(0, w.bytes(), ufDoubleHeight);
    EXPECT_EQ(u.rc, 0);
    EXPECT_EQ(u.result.width, 0u);
    EXPECT_EQ(u.result.height, 0u);
    EXPECT_EQ(u.result.bitmap, nullptr);
}

TEST(UnpackEngine, CodesBeforeTheFirstEolAreIgnored) {
    BitWriter w;
    lineWithBlack(w, 1728, 0, 1728); // a whole black line before synchronisation: ignored
    lineWithBlack(w, 1728, 10, 20);
    lineWithBlack(w, 1728, 30, 40);
    Unpacked u = unpackOne(kFine, w.bytes(), 0);
    ASSERT_EQ(u.rc, 0);
    ASSERT_EQ(u.result.height, 2u);
    const TFaxBitmap &b = *u.result.bitmap;
    EXPECT_FALSE(b.IsBlack(9, 0));
    EXPECT_TRUE(b.IsBlack(10, 0));
    EXPECT_TRUE(b.IsBlack(19, 0));
    EXPECT_FALSE(b.IsBlack(20, 0));
    EXPECT_TRUE(b.IsBlack(35, 1));
    // Inverted: black pixels are 0 bits.
    EXPECT_FALSE(b.Bit(10, 0));
    EXPECT_TRUE(b.OneIsWhite());
}

std::vector<uint8_t> page(int lines, uint32_t width = 1728, uint32_t lastBlack = 1727) {
    BitWriter w;
    w.eol();
    for (int i = 0; i < lines; ++i) {
        lineWithBlack(w, width, lastBlack - 3, lastBlack + 1);
    }
    w.eol();
    w.eol();
    return w.bytes();
}

TEST(UnpackEngine, DoubleHeightDoublesStandardPagesOnly) {
    auto data = page(10);
    EXPECT_EQ(unpackOne(0, data, ufDoubleHeight).result.height, 20u);
    EXPECT_EQ(unpackOne(kFine, data, ufDoubleHeight).result.height, 10u);
    EXPECT_EQ(unpackOne(0, data, 0).result.height, 10u);
    // The engine's initial options: yield and double height.
    TUnpackEngine engine;
    EXPECT_EQ(engine.Options(), ufYield | ufDoubleHeight);
    EXPECT_EQ(unpack(engine, apfBytes({{0, data}})).result.height, 20u);
}

TEST(UnpackEngine, HalfWidthHalvesStandardPagesOnly) {
    auto data = page(4);
    Unpacked standard = unpackOne(0, data, ufHalfWidth);
    ASSERT_EQ(standard.rc, 0);
    EXPECT_EQ(standard.result.width, 864u);
    EXPECT_EQ(standard.result.height, 4u);
    EXPECT_TRUE(standard.result.bitmap->IsBlack(863, 0));
    EXPECT_FALSE(standard.result.bitmap->IsBlack(861, 0));
    EXPECT_EQ(unpackOne(kFine, data, ufHalfWidth).result.width, 1728u);
    // A lone black pixel survives the merge (black wins), on either pixel of the pair.
    for (uint32_t x : {100u, 101u}) {
        BitWriter w;
        w.eol();
        lineWithBlack(w, 1728, x, x + 1);
        lineWithBlack(w, 1728, 1700, 1728);
        Unpacked u = unpackOne(0, w.bytes(), ufHalfWidth);
        ASSERT_EQ(u.rc, 0);
        EXPECT_TRUE(u.result.bitmap->IsBlack(50, 0)) << x;
        EXPECT_FALSE(u.result.bitmap->IsBlack(49, 0));
        EXPECT_FALSE(u.result.bitmap->IsBlack(51, 0));
    }
}

TEST(UnpackEngine, OptionsDoubleHeightAndHalfWidthExcludeEachOther) {
    TUnpackEngine engine;
    engine.SetOptions(ufHalfWidth);
    EXPECT_TRUE(engine.HasOption(ufHalfWidth));
    EXPECT_FALSE(engine.HasOption(ufDoubleHeight));
    EXPECT_TRUE(engine.HasOption(ufYield));
    engine.SetOptions(ufDoubleHeight);
    EXPECT_FALSE(engine.HasOption(ufHalfWidth));
    EXPECT_TRUE(engine.HasOption(ufDoubleHeight));
    engine.SetOptions(ufDoubleHeight | ufHalfWidth | ufAbort); // both at once: ignored
    EXPECT_TRUE(engine.HasOption(ufDoubleHeight));
    EXPECT_FALSE(engine.HasOption(ufHalfWidth));
    EXPECT_TRUE(engine.HasOption(ufAbort));
}

TEST(UnpackEngine, BitmapIsTrimmedToTheWidestLineInEvenBytes) {
    // Lines white to the right of byte 100: 800 pixels.
    EXPECT_EQ(unpackOne(kFine, page(3, 1728, 799), 0).result.width, 800u);
    // One pixel further: 101 bytes, rounded up to 102, the pad byte white.
    Unpacked u = unpackOne(kFine, page(3, 1728, 800), 0);
    EXPECT_EQ(u.result.width, 816u);
    EXPECT_TRUE(u.result.bitmap->IsBlack(800, 0));
    for (uint32_t x = 801; x < 816; ++x) {
        EXPECT_FALSE(u.result.bitmap->IsBlack(x, 0));
    }
    // An all-white page keeps the minimum of one used byte, two in the row.
    BitWriter w;
    w.eol();
    blankLine(w);
    Unpacked white = unpackOne(kFine, w.bytes(), 0);
    EXPECT_EQ(white.result.width, 16u);
    EXPECT_EQ(white.result.height, 1u);
    // Not inverted: the same pixels, black as 1 bits.
    Unpacked plain = unpackOne(kFine, page(1, 1728, 799), 0, false);
    EXPECT_TRUE(plain.result.bitmap->Bit(799, 0));
    EXPECT_TRUE(plain.result.bitmap->IsBlack(799, 0));
    EXPECT_FALSE(plain.result.bitmap->IsBlack(700, 0));
}

TEST(UnpackEngine, LineWidthsAndPageWidths) {
    BitWriter w;
    w.eol();
    lineWithBlack(w, 2048, 2040, 2048); // a 2048-pixel line on a 1728 page: cut at 1728
    lineWithBlack(w, 1727, 0, 8);       // neither 1728 nor 2048: dropped
    lineWithBlack(w, 1736, 0, 8);       // 217 bytes: dropped
    lineWithBlack(w, 1728, 1720, 1728);
    auto data = w.bytes();
    Unpacked narrow = unpackOne(kFine, data, 0);
    ASSERT_EQ(narrow.rc, 0);
    EXPECT_EQ(narrow.result.height, 2u);
    EXPECT_EQ(narrow.result.width, 1728u);
    EXPECT_FALSE(narrow.result.bitmap->IsBlack(1727, 0));
    EXPECT_TRUE(narrow.result.bitmap->IsBlack(1727, 1));
    // On a wide page the 1728-pixel line is padded with white to the right.
    Unpacked wide = unpackOne(kFine | fax::kApfWide, data, 0);
    ASSERT_EQ(wide.rc, 0);
    EXPECT_EQ(wide.result.width, 2048u);
    EXPECT_TRUE(wide.result.bitmap->IsBlack(2047, 0));
    EXPECT_TRUE(wide.result.bitmap->IsBlack(1727, 1));
    for (uint32_t x = 1728; x < 2048; ++x) {
        ASSERT_FALSE(wide.result.bitmap->IsBlack(x, 1)) << x;
    }
}

TEST(UnpackEngine, WhitespaceCompressionFiveToOne) {
    BitWriter w;
    w.eol();
    lineWithBlack(w, 1728, 0, 100);
    for (int i = 0; i < 7; ++i) {
        blankLine(w);
    }
    lineWithBlack(w, 1728, 0, 200);
    for (int i = 0; i < 3; ++i) {
        blankLine(w);
    }
    lineWithBlack(w, 1728, 0, 300);
    for (int i = 0; i < 9; ++i) {
        blankLine(w); // trailing run: five or more become one
    }
    TUnpackEngine engine;
    engine.ClearOptions(0xFFFF);
    ASSERT_EQ(engine.SetWhitespaceCompression(5, 1), 0);
    Unpacked u = unpack(engine, apfBytes({{kFine, w.bytes()}}));
    ASSERT_EQ(u.rc, 0);
    ASSERT_EQ(u.result.height, 1u + 1 + 1 + 3 + 1 + 1);
    const TFaxBitmap &b = *u.result.bitmap;
    EXPECT_TRUE(b.IsBlack(99, 0));
    EXPECT_FALSE(b.IsBlack(0, 1));
    EXPECT_TRUE(b.IsBlack(199, 2));
    for (uint32_t y = 3; y < 6; ++y) {
        EXPECT_FALSE(b.IsBlack(0, y));
    }
    EXPECT_TRUE(b.IsBlack(299, 6));
    EXPECT_FALSE(b.IsBlack(0, 7));

    // from == to: runs of at least from keep that many; a trailing run is dropped.
    ASSERT_EQ(engine.SetWhitespaceCompression(3, 3), 0);
    EXPECT_EQ(unpack(engine, apfBytes({{kFine, w.bytes()}})).result.height, 1u + 3 + 1 + 3 + 1);

    EXPECT_EQ(engine.SetWhitespaceCompression(1, 5), fax::kErrBadArgument);
    EXPECT_EQ(engine.SetWhitespaceCompression(0, 1), fax::kErrBadArgument);
    EXPECT_EQ(engine.SetWhitespaceCompression(0, 0), 0);
    EXPECT_EQ(unpack(engine, apfBytes({{kFine, w.bytes()}})).result.height, 3u + 7 + 3 + 9);
}

TEST(UnpackEngine, RowsAreCappedAt32767) {
    auto data = page(16384); // doubled: 32768 rows
    Unpacked doubled = unpackOne(0, data, ufDoubleHeight);
    EXPECT_EQ(doubled.rc, kErrTooManyRows);
    EXPECT_EQ(doubled.result.bitmap, nullptr);
    Unpacked single = unpackOne(0, data, 0);
    EXPECT_EQ(single.rc, 0);
    EXPECT_EQ(single.result.height, 16384u);
}

TEST(UnpackEngine, ScalingAndMemoryResult) {
    TUnpackEngine engine;
    engine.ClearOptions(0xFFFF);
    engine.SetScaling(1, 2, 3, 1);
    Unpacked u = unpack(engine, apfBytes({{kFine, page(5, 1728, 799)}}));
    ASSERT_EQ(u.rc, 0);
    EXPECT_EQ(u.result.width, 400u);
    EXPECT_EQ(u.result.height, 15u);
    EXPECT_TRUE(u.result.bitmap->IsBlack(399, 14));
    EXPECT_FALSE(u.result.bitmap->IsBlack(396, 14));
    engine.SetScaling(0, 0, 0, 0); // read as 1 : 1
    engine.SetMemoryResult(true);
    u = unpack(engine, apfBytes({{kFine, page(5, 1728, 799)}}));
    ASSERT_EQ(u.rc, 0);
    EXPECT_EQ(u.result.bitmap, nullptr);
    EXPECT_EQ(u.result.rowBytes, 100u);
    ASSERT_EQ(u.result.rows.size(), 500u);
    EXPECT_EQ(u.result.rows[99], 0xF0); // inverted: the last four pixels black
    engine.SetMemoryResult(false);
    engine.SetScaling(100000, 1, 1, 1);
    EXPECT_EQ(unpack(engine, apfBytes({{kFine, page(5)}})).rc, kErrCantMakeBitmap);
    engine.SetScaling(1, 1, 10000, 1);
    EXPECT_EQ(unpack(engine, apfBytes({{kFine, page(5)}})).rc, kErrTooManyRows);
}

TEST(UnpackEngine, ConsumerStatusAbortAndQuit) {
    std::vector<uint8_t> data = page(1500); // two 4096-byte reads
    std::vector<int> kinds;
    TUnpackEngine engine(nullptr, [&](TUnpackEngine &, TLineKind kind, const uint8_t *,
                                      uint32_t pageNum, uint32_t length) {
        EXPECT_EQ(pageNum, 2u);
        kinds.push_back(kind == TLineKind::kLine ? static_cast<int>(length)
                                                 : -static_cast<int>(kind));
        return 0;
    });
    engine.ClearOptions(0xFFFF);
    std::vector<uint32_t> done;
    engine.SetStatusRoutine([&](TUnpackEngine &, const std::string &name, uint32_t pageNum,
                                uint32_t bytes, uint32_t total) {
        EXPECT_EQ(name, "mem.apf");
        EXPECT_EQ(pageNum, 2u);
        EXPECT_LE(bytes, total);
        done.push_back(bytes);
    });
    auto file = apfBytes({{kFine, page(1)}, {kFine, data}});
    fax::TApfMemorySource source(file);
    ASSERT_EQ(engine.UnpackPage(source, "mem.apf", 2), 0);
    ASSERT_EQ(kinds.size(), 1502u);
    EXPECT_EQ(kinds.front(), -1);
    EXPECT_EQ(kinds[1], 216);
    EXPECT_EQ(kinds.back(), -2);
    ASSERT_GE(done.size(), 2u);
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    EXPECT_EQ(done.back(), data.size());
    EXPECT_EQ(engine.UnpackPage(source, "mem.apf", 3), fax::kErrNotApfFile);

    // The abort bit set from the consumer ends the page with -8004.
    int lines = 0;
    engine.SetLineConsumer(
        [&](TUnpackEngine &e, TLineKind kind, const uint8_t *, uint32_t, uint32_t) {
            if (kind == TLineKind::kLine && ++lines == 5) {
                e.SetOptions(ufAbort);
            }
            return 0;
        });
    EXPECT_EQ(engine.UnpackPage(source, "mem.apf", 2), kErrUnpackAbort);
    EXPECT_EQ(lines, 5);
    // A consumer's negative result ends the page with it.
    engine.ClearOptions(ufAbort);
    engine.SetLineConsumer([](TUnpackEngine &, TLineKind kind, const uint8_t *, uint32_t,
                              uint32_t) { return kind == TLineKind::kLine ? -1234 : 0; });
    EXPECT_EQ(engine.UnpackPage(source, "mem.apf", 2), -1234);
    // A quit seen while yielding ends the page with -1003.
    engine.SetLineConsumer({});
    engine.SetOptions(ufYield);
    engine.SetQuitCheck([] { return true; });
    auto longFile = apfBytes({{kFine, page(3000)}});
    fax::TApfMemorySource longSource(longFile);
    EXPECT_EQ(engine.UnpackPage(longSource, "mem.apf", 1), kErrGotQuit);
    // Without a check of its own the engine stops for the event loop's pending quit.
    engine.SetQuitCheck({});
    engine.SetStatusRoutine({});
    auto &loop = quillon::platform::EventLoop::current();
    loop.quit(0);
    EXPECT_EQ(engine.UnpackPage(longSource, "mem.apf", 1), kErrGotQuit);
    loop.run(); // consumes the quit
    EXPECT_EQ(engine.UnpackPage(longSource, "mem.apf", 1), 0);
}

TEST(UnpackEngine, MalformedInputIsBounded) {
    TUnpackEngine engine;
    // A page claiming 4 GB with a short stream and no RTC: the data runs out: -8001.
    BitWriter noRtc;
    noRtc.eol();
    lineWithBlack(noRtc, 1728, 0, 8);
    auto file = apfBytes({{kFine, noRtc.bytes()}});
    file[64] = file[65] = file[66] = file[67] = 0xFF;
    EXPECT_EQ(unpack(engine, file).rc, fax::kErrNotApfFile);
    // A page count of 65535 with one page behind it.
    file = apfBytes({{kFine, page(3)}});
    file[32] = file[33] = 0xFF;
    EXPECT_EQ(unpack(engine, file, 2).rc, fax::kErrNotApfFile);
    EXPECT_EQ(unpack(engine, file, 1).rc, 0);
    // Page 0 is not a page to unpack; a wrong signature is not an APF file.
    EXPECT_EQ(unpack(engine, file, 0).rc, fax::kErrNotApfFile);
    file[5] = 0;
    EXPECT_EQ(unpack(engine, file, 1).rc, fax::kErrNotApfFile);
    // File errors through the named operations.
    TUnpackResult result;
    EXPECT_EQ(engine.UnpackPageToBitmap("", 1, true, result), fax::kErrFileNotFound);
    EXPECT_EQ(engine.UnpackPageToBitmap("/nonexistent/x.apf", 1, true, result), -2);
    EXPECT_FALSE(TUnpackEngine::IsApfFile("/nonexistent/x.apf"));
}

} // namespace
