// The Class 2 / 2.0 modem against a scripted receiver on the real pty: the command and
// report dialogue of a reception, the page data bytes, and the fault modes.

#include "linesim_process.h"
#include "page_source.h"
#include "pty_dte.h"

#include <gtest/gtest.h>

using namespace quillon::linesim;
using namespace quillon::linesim::testing;

namespace {

std::string fax(const char *name) {
    return std::string(QUILLON_TEST_FAXES_DIR) + "/" + name;
}

constexpr int kLine = 5000;    // ordinary command response
constexpr int kAnswer = 15000; // ATA to OK (CED, DIS, TSI/DCS)

// Starts the simulator and opens its slave as the receiver.
struct Call {
    LinesimProcess sim;
    PtyDte dte;
    bool start(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--verbose", "--first-ring-ms", "100", "--ring-interval-ms", "1500"});
        return sim.start(args) && dte.open(sim.slavePath());
    }
    // The receiver's Class 2.0 (or 2) preparation.
    void prepare(bool twoZero, const std::string &caps = "1,5,0,2,0,0,0,0") {
        dte.command("ATE0");
        ASSERT_TRUE(dte.expect("OK", kLine));
        const char *sel = twoZero ? "AT+FCLASS=2.0" : "AT+FCLASS=2";
        for (std::string c :
             {std::string(sel), std::string("AT+FCR=1"),
              std::string(twoZero ? "AT+FLI=\"QUILLON\"" : "AT+FLID=\"QUILLON\""),
              std::string("AT+FAA=0"), std::string(twoZero ? "AT+FCC=" : "AT+FDCC=") + caps}) {
            dte.command(c);
            ASSERT_TRUE(dte.expect("OK", kLine)) << c;
        }
        if (twoZero) {
            dte.command("AT+FLO=2");
            ASSERT_TRUE(dte.expect("OK", kLine));
            dte.command("AT+FNR=1,1,1,0");
            ASSERT_TRUE(dte.expect("OK", kLine));
        }
    }
};

} // namespace

TEST(LinesimClass2, Class20ReceptionDialogueAndPageDataInDirectBitOrder) {
    Call call;
    ASSERT_TRUE(call.start({"--class", "2.0", "--id", "12345", fax("text_std_1p.tif")}));
    ASSERT_NO_FATAL_FAILURE(call.prepare(true));
    std::vector<std::string> seen;
    ASSERT_TRUE(call.dte.expect("RING", kLine));
    call.dte.command("ATA");
    ASSERT_TRUE(call.dte.expect("OK", kAnswer, &seen)) << call.sim.logText();
    EXPECT_EQ(seen, (std::vector<std::string>{"+FCO", "+FTI:\"12345\"", "+FCS:0,5,0,0,0,0,0,0"}));
    call.dte.command("AT+FDR");
    ASSERT_TRUE(call.dte.expect("CONNECT", kAnswer));
    call.dte.send("\x12");
    std::vector<uint8_t> data;
    ASSERT_TRUE(call.dte.pageData(data, 10000));
    std::vector<T4Page> pages;
    ASSERT_EQ(loadT4Pages(fax("text_std_1p.tif"), pages), "");
    EXPECT_EQ(data, pages[0].data); // T.32 +FBO=0: bytes exactly as on the line
    seen.clear();
    ASSERT_TRUE(call.dte.expect("OK", kLine, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"+FPS:1,1100,0,0,0", "+FET:2"}));
    call.dte.command("AT+FDR");
    seen.clear();
    ASSERT_TRUE(call.dte.expect("OK", kLine, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"+FHS:00"}));
    call.dte.command("ATH");
    ASSERT_TRUE(call.dte.expect("OK", kLine));
    auto r = call.sim.waitResult(10000);
    ASSERT_TRUE(r) << call.sim.logText();
    EXPECT_EQ(r->modemClass, "2.0");
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(r->pagesSent, 1);
    // About 7 s to the session report, 4.5 s TCF/CFR/training, 14 s of data, 4 s of phase D/E.
    EXPECT_GT(r->durationS, 20);
    EXPECT_LT(r->durationS, 45);
}

// A noise burst in Class 2: the modem reports the page bad (+FPTS:2), the garbled bytes lie
// inside the burst, the rest of the page arrives MSB first, and an RTN-ed page does not
// count as sent.
TEST(LinesimClass2, Class2NoiseGivesABadPageReportAndReversedBitOrder) {
    Call call;
    ASSERT_TRUE(call.start({"--class", "2", "--noise", "1:3000:400", fax("text_std_1p.tif")}));
    ASSERT_NO_FATAL_FAILURE(call.prepare(false));
    call.dte.command("ATA");
    std::vector<std::string> seen;
    ASSERT_TRUE(call.dte.expect("OK", kAnswer, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"+FCON", "+FTSI:\"+1 555 0100\"",
                                              "+FDCS:0,5,0,0,0,0,0,0"}));
    call.dte.command("AT+FDR");
    ASSERT_TRUE(call.dte.expect("CONNECT", kAnswer));
    call.dte.send("\x12");
    std::vector<uint8_t> data;
    ASSERT_TRUE(call.dte.pageData(data, 10000));
    std::vector<T4Page> pages;
    ASSERT_EQ(loadT4Pages(fax("text_std_1p.tif"), pages), "");
    ASSERT_EQ(data.size(), pages[0].data.size());
    size_t first = data.size(), last = 0, differ = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        if (reverseBits(data[i]) != pages[0].data[i]) {
            first = std::min(first, i);
            last = i;
            ++differ;
        }
    }
    // The burst starts 3000 ms into phase C (75 ms + 142 ms of training before the data)
    // and lasts 400 ms: at 14400 bit/s that is bytes ~5000 to ~5800.
    ASSERT_GT(differ, 0u);
    EXPECT_GT(first, 4800u);
    EXPECT_LT(last, 6000u);
    seen.clear();
    ASSERT_TRUE(call.dte.expect("OK", kLine, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"+FPTS:2,1100,0,0", "+FET:2"}));
    call.dte.command("AT+FDR");
    seen.clear();
    ASSERT_TRUE(call.dte.expect("OK", kLine, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"+FHNG:0"}));
    call.dte.command("ATH");
    auto r = call.sim.waitResult(10000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(r->pagesSent, 0); // answered RTN
}

TEST(LinesimClass2, CallerDropInPageOneEndsWithAHangUpReportAndStatus49) {
    Call call;
    ASSERT_TRUE(call.start({"--class", "2", "--drop-in-page", "1:3000", fax("text_std_1p.tif")}));
    ASSERT_NO_FATAL_FAILURE(call.prepare(false));
    call.dte.command("ATA");
    ASSERT_TRUE(call.dte.expect("OK", kAnswer));
    call.dte.command("AT+FDR");
    ASSERT_TRUE(call.dte.expect("CONNECT", kAnswer));
    call.dte.send("\x12");
    std::vector<uint8_t> data;
    ASSERT_TRUE(call.dte.pageData(data, 10000));
    EXPECT_GT(data.size(), 3000u);
    EXPECT_LT(data.size(), 6000u); // about 2.8 s of data at 14400 bit/s
    std::vector<std::string> seen;
    ASSERT_TRUE(call.dte.expect("OK", 10000, &seen)) << call.sim.logText(); // after T2
    EXPECT_EQ(seen, (std::vector<std::string>{"+FHNG:100"}));
    auto r = call.sim.waitResult(10000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 49);
    EXPECT_EQ(r->pagesSent, 0);
}

TEST(LinesimClass2, ReceiverRefusalWithFksSendsDcn) {
    Call call;
    ASSERT_TRUE(call.start({"--class", "2.0", fax("text_std_1p.tif")}));
    ASSERT_NO_FATAL_FAILURE(call.prepare(true));
    call.dte.command("ATA");
    ASSERT_TRUE(call.dte.expect("OK", kAnswer));
    call.dte.command("AT+FKS");
    std::vector<std::string> seen;
    ASSERT_TRUE(call.dte.expect("OK", kLine, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"+FHS:02"}));
    call.dte.command("ATH");
    auto r = call.sim.waitResult(10000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 14); // T30_ERR_TX_BADDCS: DCN in answer to DCS
    EXPECT_EQ(r->pagesSent, 0);
}

TEST(LinesimClass2, WidePageToANarrowReceiverIsNotSent) {
    Call call;
    ASSERT_TRUE(call.start({"--class", "2", fax("wide_2048_1p.tif")}));
    ASSERT_NO_FATAL_FAILURE(call.prepare(false, "1,5,0,2,0,0,0,0"));
    call.dte.command("ATA");
    std::vector<std::string> seen;
    ASSERT_TRUE(call.dte.expect("OK", kAnswer, &seen)) << call.sim.logText();
    EXPECT_EQ(seen, (std::vector<std::string>{"+FCON", "+FHNG:70"}));
    auto r = call.sim.waitResult(10000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 12); // T30_ERR_NOSIZESUPPORT
}

TEST(LinesimClass2, ErrorInjectedToOneCommandOnly) {
    Call call;
    ASSERT_TRUE(call.start({"--class", "2.0", "--error-on", "AT+FCC=*", fax("text_std_1p.tif")}));
    call.dte.command("ATE0");
    ASSERT_TRUE(call.dte.expect("OK", kLine));
    call.dte.command("AT+FCLASS=2.0");
    ASSERT_TRUE(call.dte.expect("OK", kLine));
    call.dte.command("AT+FCC=1,5,0,2,0,0,0,0");
    ASSERT_TRUE(call.dte.expect("ERROR", kLine));
    call.dte.command("AT+FCC=1,5,0,2,0,0,0,0"); // the second time it works
    ASSERT_TRUE(call.dte.expect("OK", kLine));
    // Unknown classes and malformed values are refused as a modem would.
    call.dte.command("AT+FCLASS=1");
    ASSERT_TRUE(call.dte.expect("ERROR", kLine));
    call.dte.command("AT+FCC=9");
    ASSERT_TRUE(call.dte.expect("ERROR", kLine));
    call.dte.command("AT+FCLASS=?");
    ASSERT_TRUE(call.dte.expect("0,2.0", kLine));
    call.sim.kill();
}

TEST(LinesimClass2, NoAnswerMeansTheCallerGivesUp) {
    Call call;
    ASSERT_TRUE(call.start({"--class", "2", "--rings", "2", fax("text_std_1p.tif")}));
    call.dte.command("AT");
    ASSERT_TRUE(call.dte.expect("OK", kLine));
    ASSERT_TRUE(call.dte.expect("RING", kLine));
    ASSERT_TRUE(call.dte.expect("RING", kLine));
    auto r = call.sim.waitResult(10000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 2); // T30_ERR_T0_EXPIRED
    EXPECT_EQ(r->pagesSent, 0);
}

TEST(LinesimClass2, ModemVanishesAtTheAnswer) {
    Call call;
    ASSERT_TRUE(call.start({"--class", "2.0", "--vanish", "answer", fax("text_std_1p.tif")}));
    call.dte.command("AT+FCLASS=2.0");
    ASSERT_TRUE(call.dte.expect("OK", kLine));
    call.dte.command("ATA");
    EXPECT_TRUE(call.dte.portGone(5000));
    auto r = call.sim.waitResult(5000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 49);
}

// The other moments the modem can vanish at, in both modem implementations.
TEST(LinesimClass2, ModemVanishesWhenTheReceiverOpensThePortOrAtARing) {
    struct Row {
        const char *modemClass;
        const char *when;
        int ringsBefore;
    };
    for (const Row &row : {Row{"1", "open", 0}, Row{"2", "open", 0}, Row{"1", "ring:2", 1},
                           Row{"2.0", "ring:2", 1}}) {
        Call call;
        ASSERT_TRUE(
            call.start({"--class", row.modemClass, "--vanish", row.when, fax("text_std_1p.tif")}));
        call.dte.command("AT");
        for (int i = 0; i < row.ringsBefore; ++i) {
            EXPECT_TRUE(call.dte.expect("RING", kLine)) << row.modemClass << " " << row.when;
        }
        EXPECT_TRUE(call.dte.portGone(5000)) << row.modemClass << " " << row.when;
        auto r = call.sim.waitResult(5000);
        ASSERT_TRUE(r) << row.modemClass << " " << row.when;
        EXPECT_EQ(r->status, 49);
        EXPECT_EQ(r->pagesSent, 0);
    }
}
