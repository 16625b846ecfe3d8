#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::linesim {

// One page as a Class 2 modem would deliver it: the T.4 one-dimensional data stream of
// the page (EOL-prefixed lines, RTC at the end), bits in line order with the first bit in
// each byte's least significant position.
struct T4Page {
    int width = 1728;        // pixels per line
    bool fine = false;       // 196 lines per inch (else 98)
    int rows = 0;
    std::vector<uint8_t> data;
};

// Encodes every page of a TIFF file with spandsp's T.4 encoder (the same one the Class 1
// caller transmits with). Returns an error text, empty on success.
[[nodiscard]] std::string loadT4Pages(const std::string &file, std::vector<T4Page> &pages);

// Reverses the bit order of a byte (Class 2 page data goes MSB first).
inline uint8_t reverseBits(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
}

} // namespace quillon::linesim
