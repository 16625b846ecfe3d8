// The engine's pure parts: pattern matchers, result lines, rates, class detection, the
// capability list and the HDLC frame codec with its T.30 contents.

#include <gtest/gtest.h>

#include "comm/string_resource.h"
#include "comm/trace_log.h"
#include "fax/copy_quality.h"
#include "fax/fax_codec.h"
#include "fax/t4_codes.h"

namespace quillon::fax {
namespace {

TEST(PatternMatcher, RestartsOnFirstByteOfPattern) {
    TPatternMatcher m(0x10, 0x03);
    // 10 10 03: the second DLE restarts the count at 1, so 03 completes the pattern.
    EXPECT_FALSE(m.Feed(0x10));
    EXPECT_FALSE(m.Feed(0x10));
    EXPECT_TRUE(m.Feed(0x03));
    // After a match the count starts again; 03 alone never matches.
    EXPECT_FALSE(m.Feed(0x03));
    EXPECT_EQ(m.Matched(), 0);
    EXPECT_FALSE(m.Feed(0x10));
    EXPECT_FALSE(m.Feed(0x41));
    EXPECT_EQ(m.Matched(), 0);
}

TEST(ResultLines, StripPrefixAndTrim) {
    struct Row {
        const char *in;
        const char *out;
    } rows[] = {
        {"+FCS: 1,3,0", "1,3,0"},       // prefix up to the colon
        {"  +FCLASS=0,1,2  ", "0,1,2"}, // no colon: up to the first "="
        {"0,1,2.0", "0,1,2.0"},         // neither: unchanged
        {"+F: a:b", "a:b"},             // only the first colon counts
        {"\t\r\n", ""},                 // blanks only
    };
    for (const Row &r : rows) {
        EXPECT_EQ(StripPrefix(r.in), r.out) << r.in;
    }
    EXPECT_EQ(StripPrefix(std::string(300, 'x')).size(), 128u);
}

TEST(ClassDetection, ListsGiveTheHighestClass) {
    EXPECT_EQ(ClassFromList("0,1,2,2.0"), fcClass2_0);
    EXPECT_EQ(ClassFromList("0,1,2"), fcClass2);
    EXPECT_EQ(ClassFromList("0,1"), fcClass1);
    EXPECT_EQ(ClassFromList("0,1,1.0"), fcClass1);
    EXPECT_EQ(ClassFromList("0"), fcUnknown);
}

TEST(RateProbe, CapabilityListAndStepDown) {
    struct Row {
        const char *list;
        uint32_t desired;
        int index;
    } rows[] = {
        {"24,48,72,96", 14400, 4},        // the modem's best is 9600
        {"24,48,72,96,121,145", 9600, 4}, // stepped down to the desired rate
        {"24,48,72,96,145", 12000, 5},    // 121 not listed, still index 5
        {"24,48,72,73,74,96,97,98,121,122,145,146", 14400, 6},
        {"24,48", 9600, 2},
    };
    for (const Row &r : rows) {
        TCapabilities caps;
        ApplyCapabilityLine(r.list, caps);
        EXPECT_EQ(StepDownIndex(caps.highest, r.desired), r.index) << r.list;
    }
    TCapabilities caps;
    ApplyCapabilityLine("24,48,72,96,145", caps);
    EXPECT_FALSE(caps.supported[5]);
    EXPECT_TRUE(caps.supported[6]);
    EXPECT_EQ(Class2RateDigit(14400), '5');
    EXPECT_EQ(Class2RateDigit(9600), '3');
    EXPECT_EQ(Class2RateDigit(1234), '3');
    EXPECT_EQ(RateEntry(5).training, "121");
    EXPECT_EQ(RateEntry(5).firstPage, "122");
    EXPECT_EQ(RateEntry(6).firstPage, "146");
}

TEST(ScanTime, MinimumBytesPerLine) {
    EXPECT_EQ(MinBytesPerLine(5, false, 9600), 24); // 20 ms at 9600 bps
    EXPECT_EQ(MinBytesPerLine(5, true, 14400), 36);
    EXPECT_EQ(MinBytesPerLine(2, true, 9600), 6); // 5 ms fine
    EXPECT_EQ(MinBytesPerLine(0, false, 14400), 0);
}

TEST(HdlcFrames, OutgoingFrames) {
    // CSI: not final, bit-reversed FCF 40h, the id right-aligned and reversed.
    std::vector<uint8_t> csi = EncodeFrame(kFcfCsi, false, CsiInfo("+49 30"));
    ASSERT_EQ(csi.size(), 3u + 20u + 2u);
    EXPECT_EQ(csi[0], 0xFF);
    EXPECT_EQ(csi[1], 0x03);
    EXPECT_EQ(csi[2], 0x40);
    std::string info(csi.begin() + 3, csi.begin() + 23);
    EXPECT_EQ(info, std::string(14, ' ') + "03 94+");
    EXPECT_EQ(csi[23], 0x10);
    EXPECT_EQ(csi[24], 0x03);
    // DIS: final, FCF 80h, 00h, 42h | rate bits, F9h, 00h.
    const uint8_t second[7] = {0x42, 0x42, 0x4A, 0x4E, 0x4E, 0x5E, 0x6E};
    for (int index = 1; index <= 6; ++index) {
        std::vector<uint8_t> dis = EncodeFrame(kFcfDis, true, DisInfo(index));
        ASSERT_EQ(dis.size(), 9u);
        EXPECT_EQ(dis[1], 0x13);
        EXPECT_EQ(dis[2], 0x80);
        EXPECT_EQ(dis[3], 0x00);
        EXPECT_EQ(dis[4], second[index]) << index;
        EXPECT_EQ(dis[5], 0xF9);
        EXPECT_EQ(dis[6], 0x00);
    }
    EXPECT_EQ(EncodeFrame(kFcfCfr, true), (std::vector<uint8_t>{0xFF, 0x13, 0x84, 0x10, 0x03}));
    EXPECT_EQ(EncodeFrame(kFcfFtt, true), (std::vector<uint8_t>{0xFF, 0x13, 0x44, 0x10, 0x03}));
    EXPECT_EQ(EncodeFrame(kFcfMcf, false), (std::vector<uint8_t>{0xFF, 0x03, 0x8C, 0x10, 0x03}));
    // A data byte 10h is doubled so that the modem does not take it for an escape.
    EXPECT_EQ(EncodeFrame(0x40, false, std::vector<uint8_t>{0x10}),
              (std::vector<uint8_t>{0xFF, 0x03, 0x40, 0x10, 0x10, 0x10, 0x03}));
}

TEST(HdlcFrames, DcsDecoding) {
    // Second byte 4Ch, third 01h: 7200 bps, fine, wide, scan-time code 5.
    TDcsParams p = DecodeDcs(0x4C, 0x01);
    EXPECT_EQ(p.index, 3);
    EXPECT_EQ(p.bps, 7200u);
    EXPECT_TRUE(p.fine);
    EXPECT_TRUE(p.wide);
    EXPECT_EQ(p.scanCode, 5);
    struct Row {
        uint8_t b2, b3;
        int index;
        uint8_t scan;
    } rows[] = {
        {0x00, 0x10, 1, 1}, {0x08, 0x20, 2, 3}, {0x04, 0x30, 4, 4}, {0x10, 0x40, 5, 7},
        {0x20, 0x50, 6, 6}, {0x24, 0x60, 6, 2}, {0x0C, 0x70, 3, 0},
    };
    for (const Row &r : rows) {
        TDcsParams q = DecodeDcs(r.b2, r.b3);
        EXPECT_EQ(q.index, r.index) << int(r.b2);
        EXPECT_EQ(q.scanCode, r.scan) << int(r.b3);
        EXPECT_FALSE(q.fine);
    }
    EXPECT_FALSE(DecodeDcs(0x00, 0x02).wide); // only 01b in the low bits is wide
}

TEST(HdlcFrames, IncomingFrames) {
    // TSI with leading noise before the address byte, FCS and DLE ETX at the end.
    std::string id = "0010 555 1+";
    std::string frame = std::string("\x00\x0D\xFF\x03\x43", 5) + id + std::string(9, ' ') +
                        std::string("\x12\x34\x10\x03", 4);
    std::vector<uint8_t> tsi(frame.begin(), frame.end());
    TDecodedFrame f = DecodeFrame(tsi);
    EXPECT_EQ(f.kind, TFrameKind::StationId);
    EXPECT_FALSE(f.final);
    EXPECT_EQ(f.remoteId, "         +1 555 0100");

    TDecodedFrame dcs = DecodeFrame(std::vector<uint8_t>{0xFF, 0x13, 0x83, 0x00, 0x4C, 0x01});
    EXPECT_EQ(dcs.kind, TFrameKind::Dcs);
    EXPECT_TRUE(dcs.final);
    EXPECT_EQ(dcs.dcs.index, 3);

    EXPECT_EQ(DecodeFrame(std::vector<uint8_t>{0xFF, 0x13, 0xFB, 0x10, 0x03}).kind,
              TFrameKind::Dcn);
    TDecodedFrame mps = DecodeFrame(std::vector<uint8_t>{0xFF, 0x13, 0x4F});
    EXPECT_EQ(mps.kind, TFrameKind::Other);
    EXPECT_EQ(mps.fcf & 0xFE, kFcfMps);
    EXPECT_EQ(DecodeFrame(std::vector<uint8_t>{0xFF, 0x13, 0x4C}).kind, TFrameKind::Retrain);
    EXPECT_EQ(DecodeFrame(std::vector<uint8_t>{0x41, 0x42}).kind, TFrameKind::None);
    EXPECT_EQ(DecodeFrame(std::vector<uint8_t>{}).kind, TFrameKind::None);
    // A short station id frame and one with control bytes: printable characters only.
    TDecodedFrame odd = DecodeFrame(std::vector<uint8_t>{0xFF, 0x03, 0x40, '1', 0x07, '2', 0xE9});
    EXPECT_EQ(odd.remoteId, "21");
}

// The dispatch log names a receive state by its subtype: the string table and the engine's
// own state list must agree, or FAXCOMM.LOG shows the wrong state.
TEST(DispatchLog, ReceiveStateSubtypesNameTheStates) {
    for (uint8_t s = rfNone; s <= rfDone; ++s) {
        EXPECT_EQ(std::string(ReceiveStateName(s)),
                  comm::ErrorStrings().GetString(15100 + comm::lsFaxReceiveStates + s))
            << int{s};
    }
}

} // namespace
} // namespace quillon::fax

// ---- copy quality ----

namespace quillon::fax {
namespace {

// T.4 rows written bit by bit (first bit in each byte's least significant bit, as stored).
class RowWriter {
  public:
    void Bits(const char *bits) {
        for (const char *p = bits; *p != '\0'; ++p) {
            if (used_ % 8 == 0) {
                bytes.push_back(0);
            }
            if (*p == '1') {
                bytes.back() = static_cast<uint8_t>(bytes.back() | (1u << (used_ % 8)));
            }
            ++used_;
        }
    }
    void Run(uint32_t run, bool black) {
        if (run >= 64) {
            const TT4Code *makeUp = black ? kBlackMakeUp : kWhiteMakeUp;
            Bits(makeUp[run / 64 - 1].bits);
            run %= 64;
        }
        Bits((black ? kBlackTerminating : kWhiteTerminating)[run].bits);
    }
    // A 1728-pixel row with a black bar of `black` pixels after `white` white ones.
    void Row(uint32_t white, uint32_t black) {
        Bits(kEolCode);
        Run(white, false);
        Run(black, true);
        Run(1728 - white - black, false);
    }
    void Rtc() {
        for (int i = 0; i < 6; ++i) {
            Bits(kEolCode);
        }
    }
    std::vector<uint8_t> bytes;

  private:
    size_t used_ = 0;
};

TPageQuality Check(const std::vector<uint8_t> &bytes) {
    TCopyQualityChecker c;
    c.Start(1728);
    c.Feed(bytes);
    return c.Quality();
}

TEST(CopyQuality, CleanFewDamagedAndDestroyedPages) {
    RowWriter clean;
    for (uint32_t r = 0; r < 400; ++r) {
        clean.Row(100 + r % 50, 28 + r % 7);
    }
    clean.Rtc();
    TPageQuality q = Check(clean.bytes);
    EXPECT_EQ(q.rowsGood, 400u);
    EXPECT_EQ(q.rowsDamaged, 0u);
    EXPECT_TRUE(q.Acceptable());

    // A click on the line: single bits flipped in three rows. Each damages its own row and
    // perhaps the next (a lost end-of-line); the page stays acceptable.
    std::vector<uint8_t> clicks = clean.bytes;
    for (size_t at : {clicks.size() / 5, clicks.size() / 2, clicks.size() * 4 / 5}) {
        clicks[at] ^= 0x10;
    }
    q = Check(clicks);
    EXPECT_GE(q.rowsDamaged, 1u);
    EXPECT_LE(q.rowsDamaged, 6u);
    EXPECT_GE(q.rowsGood, 390u);
    EXPECT_TRUE(q.Acceptable());

    // A burst of noise over a third of the page: refused.
    std::vector<uint8_t> burst = clean.bytes;
    uint32_t seed = 12345;
    for (size_t i = burst.size() / 3; i < burst.size() * 2 / 3; ++i) {
        seed = seed * 1103515245 + 12345;
        burst[i] = static_cast<uint8_t>(seed >> 16);
    }
    q = Check(burst);
    EXPECT_GT(q.bitsDamaged * 100, q.bitsTotal * kMaxDamagedPercent);
    EXPECT_FALSE(q.Acceptable());

    // Nothing but noise: no row decodes.
    std::vector<uint8_t> noise(4000);
    for (uint8_t &b : noise) {
        seed = seed * 1103515245 + 12345;
        b = static_cast<uint8_t>(seed >> 16);
    }
    EXPECT_TRUE(Check(noise).judged);
    EXPECT_FALSE(Check(noise).Acceptable());
    // Bytes with no end-of-line at all are not T.4 to judge.
    EXPECT_FALSE(Check({0x00, 0x80, 0x01}).judged);
    EXPECT_TRUE(Check({0x00, 0x80, 0x01}).Acceptable());
}

} // namespace
} // namespace quillon::fax
