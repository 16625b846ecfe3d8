// The compressed stream: round trips through compressor and expander, a hand-built stream
// with every item kind, the compressor's exact bytes for a run, stored chunks for data that
// does not compress, and expander bounds.

#include <gtest/gtest.h>

#include <random>

#include "records/compression.h"
#include "records/record_file.h"
#include "test_util.h"

namespace quillon::records {
namespace {

std::vector<uint8_t> expand(const std::vector<uint8_t> &in, int expectRc = 0) {
    std::vector<uint8_t> out;
    EXPECT_EQ(ExpandBlock(in.data(), in.size(), out), expectRc);
    return out;
}

TEST(Compression, RoundTripsManyShapes) {
    std::mt19937 rng(7);
    std::vector<std::vector<uint8_t>> inputs;
    inputs.emplace_back();
    inputs.emplace_back(1, 'a');
    inputs.emplace_back(5000, 0);                     // long runs, past 4095
    inputs.emplace_back(kCompressChunk * 2 + 7, 'r'); // several chunks
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += "faxes\\1209" + std::to_string(i % 97) + ".APF;";
    }
    inputs.emplace_back(text.begin(), text.end());
    std::vector<uint8_t> noise(70000);
    for (auto &b : noise) {
        b = static_cast<uint8_t>(rng());
    }
    inputs.push_back(noise);
    std::vector<uint8_t> mixed;
    for (int i = 0; i < 40000; ++i) {
        mixed.push_back(static_cast<uint8_t>((i / 37) % 3 == 0 ? rng() : (i % 11)));
    }
    inputs.push_back(mixed);
    for (const auto &in : inputs) {
        std::vector<uint8_t> packed = CompressBlock(in.data(), in.size());
        EXPECT_EQ(expand(packed), in) << "size " << in.size();
    }
    // Text compresses; noise is stored (one stored chunk per 32768 bytes, 3 bytes each).
    std::vector<uint8_t> t(text.begin(), text.end());
    EXPECT_LT(CompressBlock(t.data(), t.size()).size(), t.size() / 3);
    std::vector<uint8_t> packedNoise = CompressBlock(noise.data(), noise.size());
    EXPECT_EQ(packedNoise.size(), noise.size() + 3 * 3);
    EXPECT_EQ(packedNoise[2], kChunkStored);
}

TEST(Compression, CompressorWritesARunItem) {
    std::vector<uint8_t> in(100, 'y');
    std::vector<uint8_t> expected = {7, 0, 0x40, 0x80, 0x00, 0x00, 0x00, 84, 'y'};
    EXPECT_EQ(CompressBlock(in.data(), in.size()), expected);
}

TEST(Compression, HandBuiltStreamExpands) {
    // Literals a b c, a copy of 6 from 3 back, a run of 20 'x', a literal Z; then a stored
    // chunk "qr". Control word 0x1800: items 4 and 5 are copy items.
    std::vector<uint8_t> stream = {13,   0,    0x40, 0x18, 0x00, 'a', 'b', 'c',  0x00, 0x33,
                                   0x00, 0x00, 0x04, 'x',  'Z',  3,   0,   0x80, 'q',  'r'};
    std::string want = "abcabcabc" + std::string(20, 'x') + "Zqr";
    EXPECT_EQ(expand(stream), std::vector<uint8_t>(want.begin(), want.end()));
}

TEST(Compression, ExpanderRejectsStreamsPastTheirBounds) {
    struct Case {
        const char *what;
        std::vector<uint8_t> stream;
    } cases[] = {
        {"length past the block", {9, 0, 0x80, 'a'}},
        {"zero length chunk", {0, 0}},
        {"unknown chunk type", {2, 0, 0x20, 'a'}},
        {"copy before the start", {5, 0, 0x40, 0x80, 0x00, 0x01, 0x10}},
        {"run item cut short", {5, 0, 0x40, 0x80, 0x00, 0x00, 0x00}},
        {"odd length byte", {1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        expand(c.stream, -1);
    }
    // A chunk of runs that expands past 32768 bytes: nine runs of 4111.
    std::vector<uint8_t> runs = {0, 0, 0x40, 0xFF, 0x80};
    for (int i = 0; i < 9; ++i) {
        runs.insert(runs.end(), {0x00, 0x0F, 0xFF, 'z'});
    }
    runs[0] = static_cast<uint8_t>(runs.size() - 2);
    expand(runs, -1);
}

TEST(Compression, CompressedStoreReadsBack) {
    test::TempDir dir;
    std::string body(20000, 'q');
    {
        TRecordFile f;
        f.SetCompression(true);
        f.SetFileName(dir.file("z.qdb"));
        f.Add(std::vector<uint8_t>(body.begin(), body.end()), "big");
        EXPECT_EQ(f.Entries()[0].flags, kFlagCompressed);
        EXPECT_LT(f.Entries()[0].size, 100u);
    }
    TRecordFile g; // reading needs no Compression setting: the flag says it
    g.SetFileName(dir.file("z.qdb"));
    g.First();
    std::vector<uint8_t> got;
    g.Get(got);
    EXPECT_EQ(got, std::vector<uint8_t>(body.begin(), body.end()));
}

} // namespace
} // namespace quillon::records
