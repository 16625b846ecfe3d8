// The T.4 decoders: the trees built from the code tables, the literal bit walk's rules, and
// the table-driven decoder giving exactly the literal walk's result on every input.
#include <gtest/gtest.h>

#include <random>

#include "faximage/t4_codes.h"
#include "faximage/t4_decoder.h"
#include "support/fax_pages.h"

using namespace quillon::faximage;
using quillon::faximage::testing::BitWriter;

namespace {

struct Collect : TLineSink {
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

struct Outcome {
    std::vector<std::vector<uint8_t>> lines;
    int32_t rc = 0;
    uint32_t invalid = 0;
    uint64_t bits = 0;
    bool operator==(const Outcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    return os << "{lines " << o.lines.size() << ", rc " << o.rc << ", invalid " << o.invalid
              << ", bits " << o.bits << "}";
}

// Decodes `data` in chunks of the given sizes (cycled), literal or fast.
Outcome decode(const std::vector<uint8_t> &data, bool fast, TFillMode fill,
               std::vector<size_t> chunks = {4096}) {
    TT4Decoder decoder(TT4Tables::Get(fill));
    Collect sink;
    Outcome out;
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        size_t n = std::min(chunks[i % chunks.size()], data.size() - at);
        out.rc = fast ? decoder.Decode(data.data() + at, n, sink)
                      : decoder.DecodeLiteral(data.data() + at, n, sink);
        at += n;
        if (out.rc != 0) {
            break;
        }
    }
    if (out.rc == 0) {
        out.rc = decoder.Finish(sink);
    }
    out.lines = std::move(sink.lines);
    out.invalid = decoder.invalidCodes();
    out.bits = decoder.bitsConsumed();
    return out;
}

TEST(DecodeTree, BuiltFromTheT4TablesWith269NodesEach) {
    for (bool black : {false, true}) {
        TDecodeTree tree;
        ASSERT_TRUE(BuildDecodeTree(black, TFillMode::kLiteral, tree));
        EXPECT_EQ(tree.count, 269) << (black ? "black" : "white");
        // Every code of the tables leads to its own leaf.
        auto follow = [&](const char *bits) {
            int node = 0;
            for (const char *c = bits; *c != 0; ++c) {
                node = *c == '1' ? tree.nodes[node].b : tree.nodes[node].a;
            }
            return tree.nodes[node];
        };
        const TT4Code *term = black ? kBlackTerminating : kWhiteTerminating;
        const TT4Code *makeUp = black ? kBlackMakeUp : kWhiteMakeUp;
        for (int i = 0; i < 64; ++i) {
            EXPECT_EQ(follow(term[i].bits).a, kLeafRun);
            EXPECT_EQ(follow(term[i].bits).b, i);
        }
        for (int i = 0; i < 27; ++i) {
            EXPECT_EQ(follow(makeUp[i].bits).b, 64 * (i + 1));
        }
        for (int i = 0; i < 13; ++i) {
            EXPECT_EQ(follow(kExtendedMakeUp[i].bits).b, 1792 + 64 * i);
        }
        EXPECT_EQ(follow(kEolCode).a, kLeafEol);
        // Thirteen 0 bits are a dead end.
        EXPECT_EQ(follow("0000000000000").a, 0);
        EXPECT_EQ(follow("0000000000000").b, 0);
    }
}

// One line of 1728 white pixels: make-up 1728 and terminating 0.
void whiteLine(BitWriter &w) {
    w.run(false, 1728);
}

TEST(T4Decoder, LiteralRules) {
    // Codes before the first EOL are ignored; then one line with black pixels 8..15;
    // a line 1727 pixels wide is dropped; three EOLs end the page; what follows is unread.
    BitWriter w;
    w.run(false, 8);
    w.run(false, 30);
    w.eol();
    w.run(false, 8);
    w.run(true, 8);
    w.run(false, 1712);
    w.eol();
    w.run(false, 1727);
    w.eol();
    w.eol();
    w.eol();
    w.run(false, 1728);
    w.eol();
    auto data = w.bytes();
    for (bool fast : {false, true}) {
        Outcome out = decode(data, fast, TFillMode::kAcceptFill);
        EXPECT_EQ(out.rc, TT4Decoder::kPageEnd);
        ASSERT_EQ(out.lines.size(), 1u);
        ASSERT_EQ(out.lines[0].size(), 216u);
        EXPECT_EQ(out.lines[0][0], 0x00);
        EXPECT_EQ(out.lines[0][1], 0xFF);
        EXPECT_EQ(out.lines[0][2], 0x00);
        EXPECT_EQ(out.invalid, 0u);
    }
}

TEST(T4Decoder, FillBeforeEolIsAcceptedUnlessLiteral) {
    // Lines each followed by 0..40 fill bits before their EOL.
    BitWriter w;
    w.eol();
    for (int fill = 0; fill <= 40; ++fill) {
        w.run(false, 100);
        w.run(true, 3);
        w.run(false, 1625);
        w.zeros(fill);
        w.eol();
    }
    auto data = w.bytes();
    Outcome accepted = decode(data, false, TFillMode::kAcceptFill);
    EXPECT_EQ(accepted.lines.size(), 41u);
    EXPECT_EQ(accepted.invalid, 0u);
    EXPECT_EQ(decode(data, true, TFillMode::kAcceptFill), accepted);
    // The literal walk sees EOLs only when the 0 bits before the 1 number 11 + 13k: the
    // other lines merge with their successors and fail the width check.
    Outcome literal = decode(data, false, TFillMode::kLiteral);
    EXPECT_LT(literal.lines.size(), 41u);
    EXPECT_GT(literal.invalid, 0u);
    EXPECT_EQ(decode(data, true, TFillMode::kLiteral), literal);
}

TEST(T4Decoder, RunsThatDoNotFitAreIgnored) {
    // 2560+2560+... white: once the line is past byte 511 - r/8 the run is dropped and the
    // colour does not switch; the line then fails the width check and is dropped.
    BitWriter w;
    w.eol();
    for (int i = 0; i < 3; ++i) {
        w.bits(kExtendedMakeUp[12].bits); // 2560
    }
    w.run(false, 0);
    w.eol();
    whiteLine(w);
    w.eol();
    auto data = w.bytes();
    Outcome out = decode(data, false, TFillMode::kAcceptFill);
    EXPECT_EQ(out.lines.size(), 1u);
    EXPECT_EQ(decode(data, true, TFillMode::kAcceptFill), out);
}

// Random bit streams, streams with valid lines and random damage, in random chunkings: the
// table-driven decoder must give the literal walk's lines, invalid-code count, result and
// end position.
TEST(T4Decoder, FastEqualsLiteralOnRandomAndDamagedStreams) {
    std::mt19937 rng(20261209);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> data;
        if (round % 3 == 0) {
            data.resize(rng() % 3000);
            for (auto &b : data) {
                // Bias towards zeros now and then so that EOLs and long codes occur.
                b = static_cast<uint8_t>(round % 2 ? rng() : rng() & rng() & rng());
            }
        } else {
            BitWriter w;
            w.eol();
            int lines = 1 + static_cast<int>(rng() % 40);
            for (int l = 0; l < lines; ++l) {
                uint32_t left = (rng() % 8 == 0) ? 2048 : 1728;
                bool black = false;
                while (left > 0) {
                    uint32_t r =
                        std::min<uint32_t>(left, rng() % 4 == 0 ? rng() % 700 : rng() % 12);
                    w.run(black, r);
                    left -= r;
                    black = !black;
                }
                w.zeros(static_cast<int>(rng() % 20));
                w.eol();
            }
            data = w.bytes();
            // Damage: flip, drop or truncate.
            for (int d = static_cast<int>(rng() % 4); d > 0 && !data.empty(); --d) {
                data[rng() % data.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            }
            if (round % 5 == 0 && !data.empty()) {
                data.resize(rng() % data.size());
            }
        }
        for (TFillMode fill : {TFillMode::kAcceptFill, TFillMode::kLiteral}) {
            Outcome literal = decode(data, false, fill);
            std::vector<size_t> chunks = {1 + rng() % 50, 1 + rng() % 7, 4096};
            ASSERT_EQ(decode(data, true, fill), literal) << "round " << round;
            ASSERT_EQ(decode(data, true, fill, chunks), literal) << "round " << round;
            ASSERT_EQ(decode(data, false, fill, chunks), literal) << "round " << round;
        }
    }
}

} // namespace
