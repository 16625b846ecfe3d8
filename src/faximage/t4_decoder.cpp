#include "faximage/t4_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "faximage/t4_codes.h"

namespace quillon::faximage {

namespace {

constexpr int kMaxCodeBits = 13;

// The code of `bits` (a string of '0'/'1' in transmission order) for one colour, or -1.
// Returns the run length, or kLeafEol's marker 1 << 16 for the end-of-line code.
constexpr int32_t kMatchEol = 1 << 16;

int32_t matchCode(bool black, const std::string &bits) {
    const TT4Code *terminating = black ? kBlackTerminating : kWhiteTerminating;
    const TT4Code *makeUp = black ? kBlackMakeUp : kWhiteMakeUp;
    for (int i = 0; i < 64; ++i) {
        if (bits == terminating[i].bits) {
            return terminating[i].run;
        }
    }
    for (int i = 0; i < 27; ++i) {
        if (bits == makeUp[i].bits) {
            return makeUp[i].run;
        }
    }
    for (const TT4Code &code : kExtendedMakeUp) {
        if (bits == code.bits) {
            return code.run;
        }
    }
    if (bits == kEolCode) {
        return kMatchEol;
    }
    return -1;
}

struct TreeBuilder {
    bool black;
    TDecodeTree &tree;
    bool overflow = false;

    int newNode() {
        if (tree.count >= kTreeMaxNodes) {
            overflow = true;
            return 0;
        }
        return tree.count++;
    }

    // Depth-first: the string of `node` is `prefix`; give it its two children.
    void expand(int node, std::string &prefix) {
        for (char bit : {'0', '1'}) {
            prefix.push_back(bit);
            int child = newNode();
            if (overflow) {
                prefix.pop_back();
                return;
            }
            if (bit == '0') {
                tree.nodes[node].a = child;
            } else {
                tree.nodes[node].b = child;
            }
            int32_t match = matchCode(black, prefix);
            if (match == kMatchEol) {
                tree.nodes[child] = {kLeafEol, 0};
            } else if (match >= 0) {
                tree.nodes[child] = {kLeafRun, match};
            } else if (prefix.size() < kMaxCodeBits) {
                expand(child, prefix);
            } else {
                tree.nodes[child] = {0, 0}; // dead end
            }
            prefix.pop_back();
        }
    }
};

} // namespace

bool BuildDecodeTree(bool black, TFillMode fill, TDecodeTree &tree) {
    tree = TDecodeTree{};
    TreeBuilder builder{black, tree};
    int root = builder.newNode();
    std::string prefix;
    builder.expand(root, prefix);
    if (builder.overflow) {
        return false;
    }
    if (fill == TFillMode::kAcceptFill) {
        // Follow eleven 0 bits to the node whose child 1 is the end-of-line leaf, then one
        // more: from that twelfth 0 on, further 0 bits stay there and a 1 ends the line.
        int node = 0;
        for (int i = 0; i < 11; ++i) {
            node = tree.nodes[node].a;
        }
        int eol = tree.nodes[node].b;
        int z12 = tree.nodes[node].a;
        tree.nodes[z12] = {z12, eol};
    }
    return true;
}

// ---- lookup tables ----

TT4Tables::TT4Tables(TFillMode fill) : fill_(fill) {
    ok_ = BuildDecodeTree(false, fill, white_) && BuildDecodeTree(true, fill, black_);
    if (ok_) {
        buildTables(false);
        buildTables(true);
    }
}

const TT4Tables &TT4Tables::Get(TFillMode fill) {
    static const TT4Tables literal(TFillMode::kLiteral);
    static const TT4Tables acceptFill(TFillMode::kAcceptFill);
    return fill == TFillMode::kLiteral ? literal : acceptFill;
}

// Walks `nbits` bits (least significant first) from `node`, `depth` bits already walked
// from the root; the first event decides the entry.
TT4Tables::Entry TT4Tables::walk(const TDecodeTree &tree, int node, uint32_t bits, int nbits,
                                 int depth) const {
    for (int i = 0; i < nbits; ++i) {
        unsigned bit = (bits >> i) & 1u;
        node = bit != 0 ? tree.nodes[node].b : tree.nodes[node].a;
        const TTreeNode &n = tree.nodes[node];
        uint8_t len = static_cast<uint8_t>(depth + i + 1);
        if (n.a == kLeafRun) {
            return {kRun, len, static_cast<uint16_t>(n.b)};
        }
        if (n.a == kLeafEol) {
            return {kEol, len, 0};
        }
        if (n.a == 0) {
            return {kDead, len, 0};
        }
    }
    return {kSlow, 0, static_cast<uint16_t>(node)};
}

void TT4Tables::buildTables(bool black) {
    const TDecodeTree &t = tree(black);
    Entry *primary = primary_.data() + (black ? 1 << kPrimaryBits : 0);
    for (uint32_t index = 0; index < (1u << kPrimaryBits); ++index) {
        Entry e = walk(t, 0, index, kPrimaryBits, 0);
        if (e.kind == kSlow && subCount_ < 64) {
            int node = e.value;
            uint16_t base = static_cast<uint16_t>(subCount_ << kSubBits);
            ++subCount_;
            for (uint32_t more = 0; more < (1u << kSubBits); ++more) {
                Entry s = walk(t, node, more, kSubBits, kPrimaryBits);
                // Still open after 13 bits (only the fill loop): the bit walk decides.
                sub_[base + more] = s.kind == kSlow ? Entry{kSlow, 0, 0} : s;
            }
            e = {kSub, 0, base};
        } else if (e.kind == kSlow) {
            e = {kSlow, 0, 0};
        }
        primary[index] = e;
    }
    const uint32_t colour = black ? 1u << kMultiBits : 0u;
    for (uint32_t index = 0; index < (1u << kMultiBits); ++index) {
        bool col = black;
        int usedBits = 0;
        uint32_t pixels = 0;
        uint64_t pattern = 0;
        int codes = 0;
        for (;;) {
            Entry e = walk(tree(col), 0, index >> usedBits, kMultiBits - usedBits, 0);
            if (e.kind != kRun || e.value >= 64 || pixels + e.value > 64) {
                break;
            }
            if (col) {
                for (uint32_t k = pixels; k < pixels + e.value; ++k) {
                    pattern |= uint64_t{1} << (63 - k);
                }
            }
            pixels += e.value;
            usedBits += e.len;
            col = !col;
            ++codes;
        }
        multiPattern_[colour | index] = pattern;
        multiInfo_[colour | index] = codes == 0 ? 0u
                                                : static_cast<uint32_t>(usedBits) | (pixels << 8) |
                                                      (static_cast<uint32_t>(codes & 1) << 16);
    }
}

// ---- decoder ----

void TT4Decoder::Reset() {
    node_ = 0;
    skip_ = false;
    black_ = false;
    synced_ = false;
    pos_ = 0;
    eolCount_ = 0;
    invalid_ = 0;
    invalidAtEol_ = 0;
    damaged_ = 0;
    lines_ = 0;
    consumed_ = 0;
    std::memset(line_, 0, sizeof line_);
}

void TT4Decoder::fillBlack(uint32_t pos, uint32_t run) {
    uint8_t *p = line_ + (pos >> 3);
    uint32_t off = pos & 7;
    if (off + run <= 64) {
        // One big-endian word holds the whole run.
        uint64_t word;
        std::memcpy(&word, p, 8);
        if constexpr (std::endian::native == std::endian::little) {
            word = __builtin_bswap64(word);
        }
        uint64_t mask = (~uint64_t{0} >> off);
        if (off + run < 64) {
            mask &= ~(~uint64_t{0} >> (off + run));
        }
        word |= mask;
        if constexpr (std::endian::native == std::endian::little) {
            word = __builtin_bswap64(word);
        }
        std::memcpy(p, &word, 8);
        return;
    }
    // Long run: the partial first byte, whole bytes, the partial last byte.
    if (off != 0) {
        *p++ |= static_cast<uint8_t>(0xFFu >> off);
        run -= 8 - off;
    }
    std::memset(p, 0xFF, run >> 3);
    p += run >> 3;
    if ((run & 7) != 0) {
        *p |= static_cast<uint8_t>(0xFF00u >> (run & 7));
    }
}

inline void TT4Decoder::addRun(uint32_t run) {
    if (!synced_) {
        return;
    }
    if ((pos_ >> 3) + (run >> 3) < kLineArea) {
        if (black_ && run != 0) {
            fillBlack(pos_, run);
        }
        pos_ += run;
        if (run < 64) {
            black_ = !black_;
        }
    }
    eolCount_ = 0;
}

// The pixels up to the last black one within the line's whole bytes, found from the end (a
// line usually ends in a few white bytes, or in black).
uint32_t TT4Decoder::inkWithin(uint32_t bytes) const {
    uint32_t i = bytes;
    while (i >= 8) {
        uint64_t w;
        std::memcpy(&w, line_ + i - 8, 8);
        if (w != 0) {
            break;
        }
        i -= 8;
    }
    for (; i > 0; --i) {
        if (line_[i - 1] != 0) {
            return i * 8 - static_cast<uint32_t>(std::countr_zero(line_[i - 1]));
        }
    }
    return 0;
}

int32_t TT4Decoder::endOfLine(TLineSink &sink) {
    int32_t rc = 0;
    uint32_t bytes = pos_ >> 3;
    bool fullWidth = bytes == 216 || bytes == 256;
    if (pos_ > 0 && fullWidth) {
        ++lines_;
        rc = sink.OnLine(line_, bytes, inkWithin(bytes));
    }
    // A row is damaged when an invalid code fell into it or it was dropped for its width;
    // what comes before the first end-of-line is not a row yet.
    if (synced_ && (invalid_ != invalidAtEol_ || (pos_ > 0 && !fullWidth))) {
        ++damaged_;
    }
    invalidAtEol_ = invalid_;
    std::memset(line_, 0, (pos_ + 7) >> 3);
    pos_ = 0;
    black_ = false;
    node_ = 0;
    synced_ = true;
    ++eolCount_;
    if (rc != 0) {
        return rc;
    }
    return eolCount_ >= 3 ? kPageEnd : 0;
}

int32_t TT4Decoder::Finish(TLineSink &sink) {
    uint32_t bytes = pos_ >> 3;
    bool fullWidth = bytes == 216 || bytes == 256;
    int32_t rc = 0;
    if (synced_ && pos_ > 0 && fullWidth) {
        ++lines_;
        rc = sink.OnLine(line_, bytes, inkWithin(bytes));
    }
    // The unterminated rest: damaged if it held an invalid code (also data that never
    // reached an end-of-line at all) or a partial line.
    if (invalid_ != invalidAtEol_ || (synced_ && pos_ > 0 && !fullWidth)) {
        ++damaged_;
    }
    invalidAtEol_ = invalid_;
    std::memset(line_, 0, (pos_ + 7) >> 3);
    pos_ = 0;
    return rc;
}

inline int32_t TT4Decoder::stepBit(unsigned bit, TLineSink &sink) {
    const TTreeNode *nodes = tables_.tree(black_).nodes.data();
    ++consumed_;
    if (bit != 0) {
        if (skip_) {
            return 0;
        }
        node_ = nodes[node_].b;
    } else {
        skip_ = false;
        node_ = nodes[node_].a;
    }
    const TTreeNode &n = nodes[node_];
    if (n.a > 0) {
        return 0;
    }
    if (n.a == kLeafRun) {
        node_ = 0;
        addRun(static_cast<uint32_t>(n.b));
        return 0;
    }
    if (n.a == kLeafEol) {
        return endOfLine(sink);
    }
    node_ = 0;
    ++invalid_;
    skip_ = true;
    return 0;
}

int32_t TT4Decoder::DecodeLiteral(const uint8_t *data, size_t n, TLineSink &sink) {
    for (size_t i = 0; i < n; ++i) {
        unsigned byte = data[i];
        for (int b = 0; b < 8; ++b) {
            if (int32_t rc = stepBit((byte >> b) & 1u, sink); rc != 0) {
                return rc;
            }
        }
    }
    return 0;
}

namespace {

inline uint64_t loadBigEndian(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::little) {
        w = __builtin_bswap64(w);
    }
    return w;
}

inline void storeBigEndian(uint8_t *p, uint64_t w) {
    if constexpr (std::endian::native == std::endian::little) {
        w = __builtin_bswap64(w);
    }
    std::memcpy(p, &w, 8);
}

} // namespace

// The production decoder: fastLoop() runs table steps with its hot state in locals (the bit
// buffer, the line position, the colour, and the 64-pixel word being filled, `acc`, leftmost
// pixel in bit 63, stored into the line whenever a run leaves it; the line beyond the
// current word is zero because it is cleared at every end-of-line, so white runs only move
// the position). It stops for whatever the tables leave to the shared code: an end-of-line,
// a dead end, a code for the bit walk, or the end of the buffered input, with the state
// written back to members. The loop keeps few values live so that they stay in registers.
int TT4Decoder::fastLoop() {
    uint64_t buf = bitBuf_;
    int bits = bitCount_;
    const uint8_t *p = in_;
    const uint8_t *const start = in_;
    const int startBits = bitCount_;
    uint8_t *const line = line_;
    uint32_t pos = pos_;
    bool black = black_;
    // -1 before synchronisation, else the count of end-of-lines since the last run.
    int state = synced_ ? eolCount_ : -1;
    uint64_t acc = loadBigEndian(line + ((pos >> 6) << 3));
    const TT4Tables &t = tables_;
    constexpr uint32_t kPrimaryMask = (1u << TT4Tables::kPrimaryBits) - 1;
    constexpr uint32_t kSubMask = (1u << TT4Tables::kSubBits) - 1;
    constexpr uint32_t kMultiMask = (1u << TT4Tables::kMultiBits) - 1;
    int stop;

    for (;;) {
        if (bits < kMaxCodeBits) [[unlikely]] {
            if (inEnd_ - p >= 8) {
                uint64_t word;
                std::memcpy(&word, p, 8);
                if constexpr (std::endian::native == std::endian::big) {
                    word = __builtin_bswap64(word);
                }
                buf |= word << bits;
                int take = (63 - bits) >> 3;
                p += take;
                bits += take * 8;
            } else {
                while (bits <= 56 && p < inEnd_) {
                    buf |= static_cast<uint64_t>(*p++) << bits;
                    bits += 8;
                }
                if (bits < kMaxCodeBits) {
                    stop = kStopInput;
                    break;
                }
            }
        }
        if (state >= 0 && pos < 3000) [[likely]] {
            // Runs of terminating codes in one step (they all fit: pos + 64 < 4096).
            const uint32_t index = (static_cast<uint32_t>(buf) & kMultiMask) |
                                   (static_cast<uint32_t>(black) << TT4Tables::kMultiBits);
            const uint32_t info = t.multiInfo_[index];
            if (info != 0) {
                const uint64_t pattern = t.multiPattern_[index];
                const int nbits = static_cast<int>(info & 0xFF);
                const uint32_t pixels = (info >> 8) & 0xFF;
                buf >>= nbits;
                bits -= nbits;
                state = 0;
                const uint32_t off = pos & 63;
                acc |= pattern >> off;
                if (off + pixels >= 64) {
                    storeBigEndian(line + ((pos >> 6) << 3), acc);
                    acc = off != 0 ? pattern << (64 - off) : 0;
                }
                pos += pixels;
                black ^= (info >> 16) != 0;
                continue;
            }
        }
        TT4Tables::Entry e = t.primary_[(static_cast<uint32_t>(buf) & kPrimaryMask) |
                                        (static_cast<uint32_t>(black) << TT4Tables::kPrimaryBits)];
        if (e.kind == TT4Tables::kSub) [[unlikely]] {
            e = t.sub_[e.value + ((buf >> TT4Tables::kPrimaryBits) & kSubMask)];
        }
        if (e.kind == TT4Tables::kRun) [[likely]] {
            buf >>= e.len;
            bits -= e.len;
            if (state < 0) [[unlikely]] {
                continue;
            }
            state = 0;
            const uint32_t run = e.value;
            if ((pos >> 3) + (run >> 3) >= kLineArea) [[unlikely]] {
                continue;
            }
            const uint32_t next = pos + run;
            if ((pos >> 6) == (next >> 6)) {
                // Within the word (a run of 0 gives an empty mask).
                uint64_t mask = (~uint64_t{0} >> (pos & 63)) & ~(~uint64_t{0} >> (next & 63));
                acc |= black ? mask : 0;
            } else if (black) {
                acc |= ~uint64_t{0} >> (pos & 63);
                storeBigEndian(line + ((pos >> 6) << 3), acc);
                for (uint32_t word = (pos >> 6) + 1; word < (next >> 6); ++word) {
                    storeBigEndian(line + (word << 3), ~uint64_t{0});
                }
                acc = (next & 63) != 0 ? ~(~uint64_t{0} >> (next & 63)) : 0;
            } else {
                storeBigEndian(line + ((pos >> 6) << 3), acc);
                acc = 0;
            }
            pos = next;
            black ^= run < 64;
            continue;
        }
        if (e.kind == TT4Tables::kEol) {
            buf >>= e.len;
            bits -= e.len;
            stop = kStopEol;
        } else if (e.kind == TT4Tables::kDead) {
            buf >>= e.len;
            bits -= e.len;
            stop = kStopDead;
        } else {
            stop = kStopWalk; // left open by the tables (the fill loop)
        }
        break;
    }
    storeBigEndian(line + ((pos >> 6) << 3), acc);
    consumed_ += static_cast<uint64_t>(p - start) * 8 + static_cast<uint64_t>(startBits) -
                 static_cast<uint64_t>(bits);
    bitBuf_ = buf;
    bitCount_ = bits;
    in_ = p;
    pos_ = pos;
    black_ = black;
    if (state >= 0) {
        eolCount_ = state;
    }
    return stop;
}

// Skip mode after a dead end: 1 bits are ignored up to the next 0, which ends it (that 0 is
// then the first bit of the next code). Returns false when the input ran out first.
bool TT4Decoder::skipOnes() {
    for (;;) {
        if (bitCount_ == 0) {
            if (in_ == inEnd_) {
                return false;
            }
            bitBuf_ = *in_++;
            bitCount_ = 8;
        }
        int ones = std::countr_one(bitBuf_);
        int k = std::min(ones, bitCount_);
        bitBuf_ = k < 64 ? bitBuf_ >> k : 0;
        bitCount_ -= k;
        consumed_ += static_cast<uint64_t>(k);
        if (bitCount_ > 0) {
            skip_ = false;
            return true;
        }
    }
}

// The bit walk over the buffered bits; with untilRoot it stops once the walk is back at the
// root and not skipping.
int32_t TT4Decoder::walkBuffered(bool untilRoot, TLineSink &sink) {
    while (bitCount_ > 0) {
        unsigned bit = static_cast<unsigned>(bitBuf_ & 1u);
        bitBuf_ >>= 1;
        --bitCount_;
        if (int32_t rc = stepBit(bit, sink); rc != 0) {
            return rc;
        }
        if (untilRoot && node_ == 0) {
            return 0;
        }
    }
    return 0;
}

int32_t TT4Decoder::Decode(const uint8_t *data, size_t n, TLineSink &sink) {
    in_ = data;
    inEnd_ = data + n;
    bitBuf_ = 0;
    bitCount_ = 0;
    // Finishes a code the tables left open (or the previous chunk did) with the bit walk,
    // taking further bytes as needed; stops at the root or when the input is used up.
    auto finishCode = [&]() -> int32_t {
        while (node_ != 0) {
            if (bitCount_ == 0) {
                if (in_ == inEnd_) {
                    return 0;
                }
                bitBuf_ = *in_++;
                bitCount_ = 8;
            }
            if (int32_t rc = walkBuffered(true, sink); rc != 0) {
                return rc;
            }
        }
        return 0;
    };
    if (int32_t rc = finishCode(); rc != 0 || node_ != 0) {
        return rc;
    }
    if (skip_ && !skipOnes()) {
        return 0;
    }
    for (;;) {
        int stop = fastLoop();
        int32_t rc = 0;
        if (stop == kStopEol) {
            rc = endOfLine(sink);
        } else if (stop == kStopDead) {
            ++invalid_;
            skip_ = true;
            if (!skipOnes()) {
                return 0;
            }
        } else if (stop == kStopWalk) {
            rc = walkBuffered(true, sink);
            if (rc == 0) {
                rc = finishCode();
            }
            if (rc == 0 && node_ != 0) {
                return 0; // input used up inside a code
            }
            if (rc == 0 && skip_ && !skipOnes()) {
                return 0;
            }
        } else {
            return walkBuffered(false, sink);
        }
        if (rc != 0) {
            return rc;
        }
    }
}

} // namespace quillon::faximage
