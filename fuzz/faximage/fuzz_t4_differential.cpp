// The table-driven decoder against the literal bit walk: on any bit stream, fed in chunks
// whose sizes come from the input, both must give the same lines, invalid-code count, end
// result and end position, with fill accepted and in the literal fill mode.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "faximage/t4_decoder.h"

namespace {

using namespace quillon::faximage;

struct Collect : TLineSink {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> inks;
    int32_t OnLine(const uint8_t *line, uint32_t n, uint32_t ink) override {
        bytes.insert(bytes.end(), line, line + n);
        inks.push_back(ink);
        return 0;
    }
};

struct Result {
    Collect lines;
    int32_t rc = 0;
    uint32_t invalid = 0;
    uint32_t damaged = 0;
    uint64_t bits = 0;
};

Result decode(const uint8_t *data, size_t size, bool fast, TFillMode fill, size_t chunk) {
    TT4Decoder decoder(TT4Tables::Get(fill));
    Result r;
    for (size_t at = 0; at < size && r.rc == 0; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        r.rc = fast ? decoder.Decode(data + at, n, r.lines)
                    : decoder.DecodeLiteral(data + at, n, r.lines);
    }
    if (r.rc == 0) {
        r.rc = decoder.Finish(r.lines);
    }
    r.invalid = decoder.invalidCodes();
    r.damaged = decoder.damagedRows();
    r.bits = decoder.bitsConsumed();
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    size_t chunk = 1 + data[0] % 64;
    if (data[0] >= 192) {
        chunk = 4096;
    }
    for (TFillMode fill : {TFillMode::kAcceptFill, TFillMode::kLiteral}) {
        Result literal = decode(data + 1, size - 1, false, fill, 4096);
        Result fast = decode(data + 1, size - 1, true, fill, chunk);
        if (literal.lines.bytes != fast.lines.bytes || literal.lines.inks != fast.lines.inks ||
            literal.rc != fast.rc || literal.invalid != fast.invalid ||
            literal.damaged != fast.damaged || literal.bits != fast.bits) {
            __builtin_trap();
        }
    }
    return 0;
}
