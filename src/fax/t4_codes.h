#pragma once

// The code tables of ITU-T T.4 one-dimensional coding (Modified Huffman), section 4.1.2:
// terminating codes (Table 2), make-up codes (Table 3a), the extended make-up codes shared
// by both colours (Table 3b) and the end-of-line code (4.1.2). Each code is a string of
// '0' and '1' in transmission order.

#include <cstdint>
#include <span>

namespace quillon::fax {

struct TT4Code {
    uint16_t run;
    const char *bits;
};

// Runs 0..63 in order.
extern const TT4Code kWhiteTerminating[64];
extern const TT4Code kBlackTerminating[64];
// 64..1728 in steps of 64, then the shared extended codes 1792..2560: 40 per colour.
extern const TT4Code kWhiteMakeUp[27];
extern const TT4Code kBlackMakeUp[27];
extern const TT4Code kExtendedMakeUp[13];
inline constexpr const char *kEolCode = "000000000001";

} // namespace quillon::fax
