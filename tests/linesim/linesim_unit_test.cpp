// The simulator's parts on their own: command line, AT command parser, the T.4 page
// source of the Class 2 modem, the RESULT line and the helpers the real-time tests use.

#include "class2_commands.h"
#include "linesim_process.h"
#include "options.h"
#include "page_source.h"
#include "session.h"
#include "tiff_pages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

using namespace quillon::linesim;
using namespace quillon::linesim::testing;

namespace {

std::string fax(const char *name) {
    return std::string(QUILLON_TEST_FAXES_DIR) + "/" + name;
}

std::string parse(std::vector<std::string> args, Options &o) {
    return parseOptions(args, o);
}

} // namespace

TEST(LinesimOptions, DefaultsAndEveryOption) {
    Options o;
    ASSERT_EQ(parse({"f.tif"}, o), "");
    EXPECT_EQ(o.modemClass, ModemClass::Class1);
    EXPECT_EQ(o.rings, 8);
    EXPECT_TRUE(o.v17 && o.v29 && o.v27ter);
    EXPECT_FALSE(o.dropInPage || o.vanish || o.noise);

    Options p;
    ASSERT_EQ(parse({"--class",
                     "2.0",
                     "--link",
                     "/tmp/x",
                     "--id",
                     "12345",
                     "--rings",
                     "3",
                     "--ring-interval-ms",
                     "2000",
                     "--first-ring-ms",
                     "0",
                     "--modems",
                     "V29,v27ter",
                     "--drop-in-page",
                     "2:1500",
                     "--no-dcn",
                     "--error-on",
                     "AT+FCC=*",
                     "--error-nth",
                     "2",
                     "--vanish",
                     "page:3:200",
                     "--noise",
                     "1:500:300:-20",
                     "--linger-ms",
                     "0",
                     "--max-call-s",
                     "90",
                     "--verbose",
                     "f.tif"},
                    p),
              "");
    EXPECT_EQ(p.modemClass, ModemClass::Class2_0);
    EXPECT_EQ(p.link, "/tmp/x");
    EXPECT_EQ(p.stationId, "12345");
    EXPECT_EQ(p.rings, 3);
    EXPECT_TRUE(p.v29 && p.v27ter && !p.v17);
    ASSERT_TRUE(p.dropInPage);
    EXPECT_EQ(p.dropInPage->page, 2);
    EXPECT_EQ(p.dropInPage->ms, 1500);
    EXPECT_TRUE(p.noDcn);
    EXPECT_EQ(p.errorNth, 2);
    ASSERT_TRUE(p.vanish);
    EXPECT_EQ(p.vanish->kind, VanishMoment::Kind::Page);
    EXPECT_EQ(p.vanish->number, 3);
    EXPECT_EQ(p.vanish->ms, 200);
    ASSERT_TRUE(p.noise);
    EXPECT_EQ(p.noise->lengthMs, 300);
    EXPECT_DOUBLE_EQ(p.noise->levelDbm0, -20.0);
    EXPECT_EQ(p.lingerMs, 0);
}

TEST(LinesimOptions, BadCommandLinesAreRefusedWithAReason) {
    // Each row: arguments that must fail.
    const std::vector<std::vector<std::string>> bad = {
        {},                                         // no file
        {"--class", "3", "f.tif"},                  // no such class
        {"--class"},                                // missing value
        {"--rings", "0", "f.tif"},                  // at least one ring
        {"--rings", "x", "f.tif"},                  // not a number
        {"--modems", "v34", "f.tif"},               // unknown modem
        {"--drop-in-page", "0", "f.tif"},           // pages count from 1
        {"--drop-in-page", "2:-5", "f.tif"},        // negative time
        {"--vanish", "later", "f.tif"},             // unknown moment
        {"--vanish", "ring", "f.tif"},              // ring needs a number
        {"--noise", "1:0:0", "f.tif"},              // empty burst
        {"--fast", "f.tif"},                        // --fast only for the reference receiver
        {"--bogus", "f.tif"},                       // unknown option
        {"a.tif", "b.tif"},                         // two files
        {"--id", "123456789012345678901", "f.tif"}, // TSI is at most 20 characters
    };
    for (const auto &args : bad) {
        Options o;
        EXPECT_NE(parse(args, o), "") << "accepted: " << ::testing::PrintToString(args);
    }
}

TEST(LinesimOptions, VanishMoments) {
    struct Row {
        const char *text;
        VanishMoment::Kind kind;
        int number;
    };
    const Row rows[] = {{"open", VanishMoment::Kind::Open, 0},
                        {"answer", VanishMoment::Kind::Answer, 0},
                        {"ring:2", VanishMoment::Kind::Ring, 2},
                        {"ms:4000", VanishMoment::Kind::AfterAnswer, 4000},
                        {"page:2", VanishMoment::Kind::Page, 2}};
    for (const auto &r : rows) {
        Options o;
        ASSERT_EQ(parse({"--vanish", r.text, "f.tif"}, o), "") << r.text;
        EXPECT_EQ(o.vanish->kind, r.kind) << r.text;
        EXPECT_EQ(o.vanish->number, r.number) << r.text;
    }
}

TEST(LinesimErrorInjector, MatchesWholeLineOrPrefixAtTheNthOccurrence) {
    Options o;
    o.errorOn = "at+fcc=*";
    o.errorNth = 2;
    ErrorInjector inj(o);
    EXPECT_FALSE(inj.strikes("AT+FCLASS=2.0\r"));
    EXPECT_FALSE(inj.strikes("AT+FCC=1,5,0,2,0,0,0,0\r")); // first occurrence
    EXPECT_TRUE(inj.strikes("at+fcc = 1,3\r"));            // second: blanks and case ignored
    EXPECT_FALSE(inj.strikes("AT+FCC=1\r"));               // only once

    Options exact;
    exact.errorOn = "ATA";
    ErrorInjector e(exact);
    EXPECT_FALSE(e.strikes("ATA0\r"));
    EXPECT_TRUE(e.strikes("ata\r"));
}

TEST(LinesimRings, FirstRingAfterTheReceiverThenEveryIntervalThenGiveUp) {
    Options o;
    o.rings = 2;
    o.firstRingMs = 500;
    o.ringIntervalMs = 1000;
    RingSchedule r(o);
    EXPECT_FALSE(r.due(10000)); // not armed: the receiver has not spoken yet
    r.arm(100);
    EXPECT_FALSE(r.due(599));
    EXPECT_TRUE(r.due(600));
    EXPECT_FALSE(r.due(1599));
    EXPECT_TRUE(r.due(1600));
    EXPECT_FALSE(r.gaveUp(2599));
    EXPECT_FALSE(r.due(2600)); // no third ring
    EXPECT_TRUE(r.gaveUp(2600));
    EXPECT_EQ(r.rings(), 2);
}

TEST(LinesimResult, FormatsAndParsesTheSameLine) {
    CallResult c{"2.0", 3, 49, "The call dropped prematurely", 61.234};
    const std::string line = formatResult(c);
    EXPECT_EQ(line, "RESULT class=2.0 pages_sent=3 status=49 (The call dropped prematurely) "
                    "duration_s=61.23");
    LinesimResult r;
    ASSERT_TRUE(parseResultLine(line, r));
    EXPECT_EQ(r.modemClass, "2.0");
    EXPECT_EQ(r.pagesSent, 3);
    EXPECT_EQ(r.status, 49);
    EXPECT_EQ(r.statusText, "The call dropped prematurely");
    EXPECT_NEAR(r.durationS, 61.23, 1e-9);
    EXPECT_FALSE(parseResultLine("RESULT class=1 pages_sent=x", r));
    EXPECT_FALSE(parseResultLine("SLAVE /dev/pts/3", r));
}

TEST(LinesimAtParser, SplitsCommandLines) {
    struct Row {
        const char *line;
        std::vector<std::string> names;
    };
    const Row rows[] = {
        {"ATE0V1Q0", {"E", "V", "Q"}},
        {"AT+FCLASS=2.0", {"+FCLASS"}},
        {"at+fcr=1;+FLID=\"a;b\"", {"+FCR", "+FLID"}},
        {"ATS0=2S7?", {"S0", "S7"}},
        {"AT&FE0", {"&F", "E"}},
        {"ATDT5551212;", {"D"}},
        {"AT", {}},
    };
    for (const auto &r : rows) {
        std::vector<AtCommand> cmds;
        std::string err;
        ASSERT_TRUE(parseAtLine(r.line, cmds, err)) << r.line << ": " << err;
        std::vector<std::string> names;
        for (const auto &c : cmds) {
            names.push_back(c.name);
        }
        EXPECT_EQ(names, r.names) << r.line;
    }
    std::vector<AtCommand> cmds;
    std::string err;
    ASSERT_TRUE(parseAtLine("AT+FLID=\"a;b\";+FDCC=?;+FDIS?", cmds, err));
    EXPECT_EQ(cmds[0].op, AtCommand::Op::Set);
    EXPECT_EQ(unquote(cmds[0].value), "a;b");
    EXPECT_EQ(cmds[1].op, AtCommand::Op::Test);
    EXPECT_EQ(cmds[2].op, AtCommand::Op::Query);
    EXPECT_FALSE(parseAtLine("+FCLASS=1", cmds, err));      // no AT
    EXPECT_FALSE(parseAtLine("AT+FLID=\"open", cmds, err)); // unterminated string
    EXPECT_FALSE(parseAtLine("AT!", cmds, err));
    EXPECT_EQ(splitFields("1,5,,2"), (std::vector<std::string>{"1", "5", "", "2"}));
}

TEST(LinesimPageSource, ReverseBits) {
    EXPECT_EQ(reverseBits(0x01), 0x80);
    EXPECT_EQ(reverseBits(0x10), 0x08);
    EXPECT_EQ(reverseBits(0xF0), 0x0F);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(reverseBits(reverseBits(static_cast<uint8_t>(b))), b);
    }
}

// The Class 2 modem's page data must decode to the very pages of the TIFF: write each page's
// T.4 stream into a Group 3 TIFF and let libtiff decode it.
TEST(LinesimPageSource, T4DataOfEveryTestFaxDecodesToTheSamePages) {
    const char *files[] = {"text_fine_1p.tif", "text_std_1p.tif", "text_fine_3p.tif",
                           "wide_2048_1p.tif", "dense_scan_1p.tif"};
    for (const char *f : files) {
        std::vector<T4Page> pages;
        ASSERT_EQ(loadT4Pages(fax(f), pages), "") << f;
        std::vector<Bitmap> expected;
        ASSERT_EQ(readTiffPages(fax(f), expected), "") << f;
        ASSERT_EQ(pages.size(), expected.size()) << f;
        char tmpl[] = "/tmp/linesim-t4-XXXXXX.tif";
        int fd = mkstemps(tmpl, 4);
        ASSERT_GE(fd, 0);
        close(fd);
        TIFF *t = TIFFOpen(tmpl, "w");
        ASSERT_NE(t, nullptr);
        for (const auto &p : pages) {
            EXPECT_EQ(p.width, expected[&p - pages.data()].width) << f;
            EXPECT_EQ(p.rows, expected[&p - pages.data()].rows) << f;
            // T.4 starts with EOL (T.4 4.1.2): eleven zeros, then a one.
            ASSERT_GE(p.data.size(), 2u);
            EXPECT_EQ(p.data[0], 0x00) << f;
            EXPECT_EQ(p.data[1] & 0x0F, 0x08) << f;
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.rows);
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
            TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
            TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, 0);
            TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, p.rows);
            TIFFWriteRawStrip(t, 0, const_cast<uint8_t *>(p.data.data()),
                              static_cast<tmsize_t>(p.data.size()));
            TIFFWriteDirectory(t);
        }
        TIFFClose(t);
        std::vector<Bitmap> decoded;
        ASSERT_EQ(readTiffPages(tmpl, decoded), "") << f;
        unlink(tmpl);
        ASSERT_EQ(decoded.size(), expected.size()) << f;
        for (size_t i = 0; i < decoded.size(); ++i) {
            EXPECT_EQ(pixelDifference(decoded[i], expected[i]), 0) << f << " page " << i + 1;
        }
    }
}

TEST(LinesimPageSource, PagesCarryResolutionAndScanLinePadding) {
    std::vector<T4Page> fine, std1, padded;
    ASSERT_EQ(loadT4Pages(fax("text_fine_1p.tif"), fine), "");
    ASSERT_EQ(loadT4Pages(fax("text_std_1p.tif"), std1), "");
    EXPECT_TRUE(fine[0].fine);
    EXPECT_FALSE(std1[0].fine);
    // 20 ms per line at 9600 bit/s: at least 192 bits per row, so at least 24 bytes a row.
    ASSERT_EQ(loadT4Pages(fax("text_std_1p.tif"), padded, 192), "");
    EXPECT_GE(padded[0].data.size(), size_t(std1[0].rows) * 24);
    EXPECT_GT(padded[0].data.size(), std1[0].data.size());
    std::vector<T4Page> none;
    EXPECT_NE(loadT4Pages("/nonexistent.tif", none), "");
}

TEST(LinesimProcess, RefusesBadArgumentsAndMissingFiles) {
    ChildProcess p;
    ASSERT_TRUE(p.start({LinesimProcess::binaryPath(), "--class", "7", fax("text_std_1p.tif")}));
    EXPECT_EQ(p.wait(5000), 2);
    EXPECT_NE(p.logText().find("bad or missing value for --class"), std::string::npos);
    ChildProcess q;
    ASSERT_TRUE(q.start({LinesimProcess::binaryPath(), "/nonexistent/fax.tif"}));
    EXPECT_EQ(q.wait(5000), 2);
    EXPECT_NE(q.logText().find("cannot read"), std::string::npos);
}
