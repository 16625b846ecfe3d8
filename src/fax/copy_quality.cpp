#include "fax/copy_quality.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "fax/t4_codes.h"

namespace quillon::fax {

namespace {

// Codes by length (1 to 13 bits) and value, per colour: the run length, or -1.
struct TCodeTable {
    std::array<std::vector<int16_t>, 14> byLength;
};

void Add(TCodeTable &t, const TT4Code &c) {
    size_t len = std::strlen(c.bits);
    uint32_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        v = (v << 1) | (c.bits[i] == '1' ? 1 : 0);
    }
    t.byLength[len][v] = static_cast<int16_t>(c.run);
}

const TCodeTable &Table(bool black) {
    static std::array<TCodeTable, 2> tables;
    static std::once_flag once;
    std::call_once(once, [] {
        for (int colour = 0; colour < 2; ++colour) {
            TCodeTable &t = tables[static_cast<size_t>(colour)];
            for (size_t len = 0; len < t.byLength.size(); ++len) {
                t.byLength[len].assign(size_t{1} << len, -1);
            }
            for (const TT4Code &c : colour ? kBlackTerminating : kWhiteTerminating) {
                Add(t, c);
            }
            for (const TT4Code &c : colour ? kBlackMakeUp : kWhiteMakeUp) {
                Add(t, c);
            }
            for (const TT4Code &c : kExtendedMakeUp) {
                Add(t, c);
            }
        }
    });
    return tables[black ? 1 : 0];
}

} // namespace

bool TPageQuality::Acceptable() const {
    if (!judged) {
        return true;
    }
    return rowsGood > 0 && bitsDamaged * 100 <= bitsTotal * kMaxDamagedPercent &&
           longestDamaged <= kMaxConsecutiveDamagedRows;
}

void TCopyQualityChecker::Start(uint32_t width) {
    *this = TCopyQualityChecker{};
    width_ = width;
}

void TCopyQualityChecker::Feed(uint8_t byte) {
    for (int i = 0; i < 8 && !ended_; ++i) {
        Bit(((byte >> i) & 1) != 0);
    }
}

void TCopyQualityChecker::Damage() {
    damaged_ = true;
    code_ = 0;
    codeLength_ = 0;
}

void TCopyQualityChecker::EndOfLine() {
    if (synced_) {
        // The EOL's own twelve bits belong to no row.
        uint64_t bits = rowBits_ > 12 ? rowBits_ - 12 : 0;
        bool empty = position_ == 0 && !damaged_ && code_ == 0;
        if (empty) {
            if (++emptyEols_ >= 5) {
                ended_ = true; // RTC: six end-of-line codes in a row
            }
        } else {
            emptyEols_ = 0;
            q_.judged = true;
            q_.bitsTotal += bits;
            if (damaged_ || position_ != width_) {
                ++q_.rowsDamaged;
                ++damagedRun_;
                q_.bitsDamaged += bits;
                q_.longestDamaged = std::max(q_.longestDamaged, damagedRun_);
            } else {
                ++q_.rowsGood;
                damagedRun_ = 0;
            }
        }
    }
    synced_ = true;
    damaged_ = false;
    black_ = false;
    position_ = 0;
    code_ = 0;
    codeLength_ = 0;
    rowBits_ = 0;
}

void TCopyQualityChecker::Bit(bool one) {
    ++rowBits_;
    if (!one) {
        ++zeros_;
    } else {
        if (std::exchange(zeros_, 0) >= 11) {
            EndOfLine();
            return;
        }
    }
    if (!synced_ || damaged_) {
        return;
    }
    if (!one && code_ == 0 && codeLength_ >= 12) {
        return; // only zeros: fill before an end-of-line, or its start
    }
    code_ = (code_ << 1) | (one ? 1 : 0);
    ++codeLength_;
    if (codeLength_ > 13) {
        Damage();
        return;
    }
    const TCodeTable &t = Table(black_);
    int16_t run = t.byLength[codeLength_][code_];
    if (run < 0) {
        if (codeLength_ == 13 && code_ != 0) {
            Damage(); // no T.4 code: skip to the next end-of-line
        }
        return;
    }
    code_ = 0;
    codeLength_ = 0;
    position_ += static_cast<uint32_t>(run);
    if (position_ > width_) {
        Damage();
        return;
    }
    if (run < 64) {
        black_ = !black_; // a terminating code ends the run of this colour
    }
}

} // namespace quillon::fax
