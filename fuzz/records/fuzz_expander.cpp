// Fuzz target for the compressed-stream expander: any input either expands within its
// bounds or is refused; what the compressor writes must expand back to its input.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "records/compression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace quillon::records;
    std::vector<uint8_t> out;
    if (ExpandBlock(data, size, out) == 0 && out.size() > kMaxExpandedSize) {
        std::abort();
    }
    std::vector<uint8_t> packed = CompressBlock(data, size);
    std::vector<uint8_t> back;
    if (ExpandBlock(packed.data(), packed.size(), back) != 0 ||
        back != std::vector<uint8_t>(data, data + size)) {
        std::abort();
    }
    return 0;
}
