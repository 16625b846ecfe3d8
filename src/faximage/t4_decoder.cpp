#include "faximage/t4_decoder.h"

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
    auto &primary = black ? blackPrimary_ : whitePrimary_;
    for (uint32_t index = 0; index < primary.size(); ++index) {
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

int32_t TT4Decoder::endOfLine(TLineSink &sink) {
    int32_t rc = 0;
    uint32_t bytes = pos_ >> 3;
    if (pos_ > 0 && (bytes == 216 || bytes == 256)) {
        rc = sink.OnLine(line_, bytes);
    }
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

int32_t TT4Decoder::Decode(const uint8_t *data, size_t n, TLineSink &sink) {
    const uint8_t *p = data;
    const uint8_t *end = data + n;
    uint64_t buf = 0;
    int bits = 0;

    auto refill = [&] {
        if (end - p >= 8) {
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
            while (bits <= 56 && p < end) {
                buf |= static_cast<uint64_t>(*p++) << bits;
                bits += 8;
            }
        }
    };
    auto consume = [&](int k) {
        buf = k < 64 ? buf >> k : 0;
        bits -= k;
        consumed_ += static_cast<uint64_t>(k);
    };
    // The bit walk over buffered bits until the walk is back at the root and not skipping.
    // Returns non-zero to stop; `bits` may run out first.
    auto walkBits = [&](bool untilRoot) -> int32_t {
        while (bits > 0) {
            unsigned bit = static_cast<unsigned>(buf & 1u);
            buf >>= 1;
            --bits;
            --consumed_; // stepBit counts it
            if (int32_t rc = stepBit(bit, sink); rc != 0) {
                return rc;
            }
            if (untilRoot && node_ == 0 && !skip_) {
                return 0;
            }
        }
        return 0;
    };

    const TT4Tables::Entry *sub = tables_.sub();
    for (;;) {
        if (bits < kMaxCodeBits) {
            refill();
        }
        if (bits < kMaxCodeBits) {
            break; // too few bits left for a table step: the bit walk finishes the chunk
        }
        if (node_ != 0 || skip_) {
            if (skip_ && node_ == 0) {
                // Skipping: 1 bits are ignored up to the next 0.
                int ones = std::countr_one(buf);
                if (ones >= bits) {
                    consume(bits);
                    continue;
                }
                consume(ones);
                skip_ = false;
                continue;
            }
            if (int32_t rc = walkBits(true); rc != 0) {
                return rc;
            }
            continue;
        }
        TT4Tables::Entry e = tables_.primary(black_)[buf & ((1u << TT4Tables::kPrimaryBits) - 1)];
        if (e.kind == TT4Tables::kSub) {
            e = sub[e.value +
                    ((buf >> TT4Tables::kPrimaryBits) & ((1u << TT4Tables::kSubBits) - 1))];
        }
        switch (e.kind) {
        case TT4Tables::kRun:
            consume(e.len);
            addRun(e.value);
            break;
        case TT4Tables::kEol:
            consume(e.len);
            if (int32_t rc = endOfLine(sink); rc != 0) {
                return rc;
            }
            break;
        case TT4Tables::kDead:
            consume(e.len);
            ++invalid_;
            skip_ = true;
            break;
        default:
            // Left open by the tables (the fill loop): walk bit by bit.
            if (int32_t rc = walkBits(true); rc != 0) {
                return rc;
            }
            break;
        }
    }
    return walkBits(false);
}

} // namespace quillon::faximage
