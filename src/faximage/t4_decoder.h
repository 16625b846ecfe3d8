#pragma once

// Decoding of ITU-T T.4 one-dimensional (Modified Huffman) page data into scan lines.
//
// The decode trees are built from the T.4 code tables by walking every bit string of 1 to 13
// bits depth first (bit 0 before bit 1): a string that is a code becomes a leaf, a shorter
// unmatched string gets two children, an unmatched 13-bit string stays a dead end.
//
// The decoding rules (one state machine, implemented twice):
// - Bits are taken from each byte least significant first, as they were sent on the line.
// - A 1 bit moves to child 1 unless the decoder is skipping; a 0 bit ends skipping and moves
//   to child 0.
// - End of line: a line whose byte position is exactly 216 or 256 (1728 or 2048 pixels) is
//   handed to the sink; any other line is dropped. The line is cleared, the colour returns
//   to white, the decoder is synchronised (codes before the first end-of-line are ignored)
//   and the consecutive end-of-line count grows; the third in a row ends the page.
// - Run of r pixels, once synchronised: added when byte position + r/8 < 512 (white only
//   advances, black sets bits most significant first); a terminating code (r < 64) switches
//   the colour; a run that does not fit is ignored. Either way the end-of-line count is 0.
// - Dead end: counted as an invalid code; skipping starts.
// - T.4 fill: with TFillMode::kAcceptFill any number of 0 bits before an end-of-line is
//   accepted (T.4 4.1.2 allows fill between a line's data and its EOL). In kLiteral mode a
//   run of more than eleven 0 bits reaches a dead end at its thirteenth bit.
//
// DecodeLiteral walks one tree node per bit and is the reference. Decode is the production
// decoder: table lookups at the root resolve a whole code (9 bits, then 4 more) per step,
// runs are filled with word-wide stores, and the bit walk takes over only for the rare
// cases the tables leave open and at chunk ends. Both give identical lines, invalid-code
// counts and end positions for every input, in any chunking.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillon::faximage {

enum class TFillMode { kLiteral, kAcceptFill };

inline constexpr int kTreeMaxNodes = 307;
inline constexpr int32_t kLeafRun = -1;
inline constexpr int32_t kLeafEol = -2;

// One node: children (child0, child1) for an inner node; (-1, run) or (-2, 0) for a leaf;
// (0, 0) for a dead end.
struct TTreeNode {
    int32_t a = 0;
    int32_t b = 0;
};

struct TDecodeTree {
    std::array<TTreeNode, kTreeMaxNodes> nodes{};
    int count = 0;
};

// Builds the white or the black tree. Returns false if the tables do not fit (never with the
// T.4 tables: each tree takes 269 nodes).
[[nodiscard]] bool BuildDecodeTree(bool black, TFillMode fill, TDecodeTree &tree);

// Receives each decoded line that passed the width check: its bytes, and `ink`, the number
// of pixels up to and including the last black one (0 for a white line), which the decoder
// knows without scanning. Returns 0 to go on, anything else to stop decoding with that value.
class TLineSink {
  public:
    virtual ~TLineSink() = default;
    virtual int32_t OnLine(const uint8_t *line, uint32_t bytes, uint32_t ink) = 0;
};

// The two trees plus the lookup tables derived from them; built once and shared read-only.
class TT4Tables {
  public:
    explicit TT4Tables(TFillMode fill);
    [[nodiscard]] bool ok() const { return ok_; }
    [[nodiscard]] const TDecodeTree &tree(bool black) const { return black ? black_ : white_; }
    [[nodiscard]] TFillMode fill() const { return fill_; }

    // The shared tables for a fill mode (built on first use, thread-safe).
    static const TT4Tables &Get(TFillMode fill);

    enum Kind : uint8_t { kRun, kEol, kDead, kSub, kSlow };
    struct Entry {
        uint8_t kind = kSlow;
        uint8_t len = 0;
        uint16_t value = 0; // run length, or index of the sub-table for kSub
    };
    static constexpr int kPrimaryBits = 9;
    static constexpr int kSubBits = 4;
    [[nodiscard]] const Entry *primary(bool black) const {
        return primary_.data() + (black ? 1 << kPrimaryBits : 0);
    }
    [[nodiscard]] const Entry *sub() const { return sub_.data(); }

    // Several terminating codes per step: for the next kMultiBits bits, the pixels of the
    // longest sequence of terminating codes that fits (at most 64 pixels; black bits from bit
    // 63 down), and info = bits used | pixels << 8 | colour change << 16; 0 when the first
    // code is anything else.
    static constexpr int kMultiBits = 10;
    // Indexed by colour << kMultiBits | next bits.
    [[nodiscard]] const uint64_t *multiPattern() const { return multiPattern_.data(); }
    [[nodiscard]] const uint32_t *multiInfo() const { return multiInfo_.data(); }
    // Indexed by colour << kPrimaryBits | next bits.
    [[nodiscard]] const Entry *primary() const { return primary_.data(); }

  private:
    friend class TT4Decoder;
    void buildTables(bool black);
    Entry walk(const TDecodeTree &tree, int node, uint32_t bits, int nbits, int depth) const;

    TFillMode fill_;
    bool ok_ = false;
    TDecodeTree white_;
    TDecodeTree black_;
    std::array<Entry, 2 << kPrimaryBits> primary_{};
    std::array<Entry, 64 << kSubBits> sub_{};
    int subCount_ = 0;
    std::array<uint64_t, 2 << kMultiBits> multiPattern_{};
    std::array<uint32_t, 2 << kMultiBits> multiInfo_{};
};

// Decoding state of one page. Feed the page's bytes in order, in chunks of any size.
class TT4Decoder {
  public:
    static constexpr uint32_t kLineArea = 512; // bytes a line may reach
    static constexpr int32_t kPageEnd = 1;     // Decode result: three end-of-lines
    explicit TT4Decoder(const TT4Tables &tables) : tables_(tables) { Reset(); }

    void Reset();
    // Results: 0 when the chunk is used up, kPageEnd at the third end-of-line in a row, or
    // the sink's non-zero result. After a non-zero result the decoder must be Reset.
    [[nodiscard]] int32_t Decode(const uint8_t *data, size_t n, TLineSink &sink);
    [[nodiscard]] int32_t DecodeLiteral(const uint8_t *data, size_t n, TLineSink &sink);
    // At the end of the page's data (not after the third end-of-line): a last line of full
    // width that no end-of-line followed (data without RTC, as libtiff writes it) is handed
    // to the sink like any other. Returns 0 or the sink's result.
    [[nodiscard]] int32_t Finish(TLineSink &sink);

    [[nodiscard]] uint32_t invalidCodes() const { return invalid_; }
    // Rows lost or damaged so far: stretches between end-of-lines that held an invalid code
    // or a line of the wrong width (dropped), and at Finish an unterminated stretch with an
    // invalid code.
    [[nodiscard]] uint32_t damagedRows() const { return damaged_; }
    // Lines handed to the sink since Reset.
    [[nodiscard]] uint32_t linesDecoded() const { return lines_; }
    [[nodiscard]] bool synchronised() const { return synced_; }
    // Bits consumed since Reset (the position at which a page ended).
    [[nodiscard]] uint64_t bitsConsumed() const { return consumed_; }

  private:
    enum : int { kStopInput, kStopEol, kStopDead, kStopWalk };
    int fastLoop();
    bool skipOnes();
    int32_t walkBuffered(bool untilRoot, TLineSink &sink);
    int32_t stepBit(unsigned bit, TLineSink &sink);
    int32_t endOfLine(TLineSink &sink);
    [[nodiscard]] uint32_t inkWithin(uint32_t bytes) const;
    void addRun(uint32_t run);
    void fillBlack(uint32_t pos, uint32_t run);

    const TT4Tables &tables_;
    int node_ = 0;
    bool skip_ = false;
    bool black_ = false;
    bool synced_ = false;
    uint32_t pos_ = 0; // bit position in the line
    int eolCount_ = 0;
    uint32_t invalid_ = 0;
    uint32_t invalidAtEol_ = 0; // invalid_ at the last end-of-line
    uint32_t damaged_ = 0;
    uint32_t lines_ = 0;
    uint64_t consumed_ = 0;
    // Input of the running Decode call.
    uint64_t bitBuf_ = 0;
    int bitCount_ = 0;
    const uint8_t *in_ = nullptr;
    const uint8_t *inEnd_ = nullptr;
    // Runs may reach a little past byte 512 (the fit test uses r/8); 8 bytes of slack more
    // for the word-wide stores.
    alignas(8) uint8_t line_[kLineArea + 16] = {};
};

} // namespace quillon::faximage
