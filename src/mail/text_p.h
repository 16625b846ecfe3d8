#pragma once

#include <string>

namespace quillon::mail::detail {

// The text without leading and trailing blanks and control characters.
inline std::string Trimmed(const std::string &s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') {
        ++b;
    }
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') {
        --e;
    }
    return s.substr(b, e - b);
}

} // namespace quillon::mail::detail
