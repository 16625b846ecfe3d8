#pragma once

// Copy quality of a received page, checked as its T.4 one-dimensional data arrives, the way
// T.4 receivers judge a page (T.4 4.1.2, T.30 5.3.6.2.3): each row between two end-of-line
// codes either decodes to exactly the page width or is damaged (an invalid code, runs that
// overrun or fall short of the width). A burst of line noise also swallows end-of-line
// codes, merging many rows into one damaged stretch, so the share of the page's bits that
// fall in damaged rows is counted as well as the rows.
//
// Verdict (kept here, the one place the thresholds live): the page is acceptable when
// - at least one row decoded, and
// - at most 5 % of the page's bits lie in damaged rows: a few damaged rows (a click on the
//   line, a row or two) are what receivers tolerate and repair by repeating the row above;
//   more than that is a page with visible holes, and
// - no damaged stretch is longer than 32 rows (about 4 mm at fine resolution, 8 mm at
//   standard): a band that tall hides a line of text.
// Data without a single row between two end-of-line codes is not one-dimensional T.4 that
// could be judged, and is let through as it is.
// The figures are those of common receivers' "bad rows" checks; a page that fails them is
// answered with RTN, so that the caller knows and may send it again.
//
// One checker per session, used on the dispatch thread only; Feed takes the bytes as they
// are stored (the first transmitted bit in each byte's least significant bit).

#include <cstdint>
#include <span>

namespace quillon::fax {

struct TPageQuality {
    uint32_t rowsGood = 0;
    uint32_t rowsDamaged = 0;    // rows (or merged stretches) that did not decode
    uint32_t longestDamaged = 0; // most damaged rows in a row, counted by end-of-line codes
    uint64_t bitsTotal = 0;      // bits between the first end-of-line and the last
    uint64_t bitsDamaged = 0;    // of those, bits in damaged rows
    bool judged = false;         // a row between two end-of-line codes was read
    [[nodiscard]] bool Acceptable() const;
};

inline constexpr uint32_t kMaxDamagedPercent = 5;
inline constexpr uint32_t kMaxConsecutiveDamagedRows = 32;

class TCopyQualityChecker {
  public:
    // A new page of `width` pixels (1728 or 2048).
    void Start(uint32_t width);
    void Feed(uint8_t byte);
    void Feed(std::span<const uint8_t> bytes) {
        for (uint8_t b : bytes) {
            Feed(b);
        }
    }
    [[nodiscard]] const TPageQuality &Quality() const { return q_; }

  private:
    void Bit(bool one);
    void EndOfLine();
    void Damage();

    TPageQuality q_;
    uint32_t width_ = 1728;
    bool synced_ = false;   // the first end-of-line has been seen
    bool damaged_ = false;  // the row being read is damaged (skipping to the next EOL)
    bool black_ = false;    // colour of the next run
    uint32_t position_ = 0; // pixels of the row so far
    uint32_t code_ = 0;     // bits of the code being read, first bit highest
    uint32_t codeLength_ = 0;
    uint32_t zeros_ = 0;     // consecutive 0 bits (an EOL is eleven or more, then a 1)
    uint32_t emptyEols_ = 0; // end-of-line codes in a row without data (six end the page)
    uint64_t rowBits_ = 0;   // bits of the row being read
    uint32_t damagedRun_ = 0;
    bool ended_ = false; // RTC seen: the rest is not page data
};

} // namespace quillon::fax
