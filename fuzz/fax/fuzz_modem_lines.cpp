// The modem's byte stream as the engine collects it: result lines and HDLC frames. Any bytes
// are collected without crashing; every line is non-empty, trimmed and at most 128 bytes;
// the line helpers (prefix stripping, class list, capability list) accept every line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fax/fax_codec.h"

using namespace quillon::fax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    TReplyCollector collector;
    for (size_t i = 0; i < size; ++i) {
        switch (collector.Feed(data[i])) {
        case TReplyCollector::Result::Line: {
            const std::string &line = collector.Line();
            if (line.empty() || line.size() > 128 || TrimBlanks(line) != line) {
                std::abort();
            }
            std::string stripped = StripPrefix(line);
            if (stripped.size() > 128) {
                std::abort();
            }
            TFaxClass c = ClassFromList(stripped);
            if (c > fcClass2_0) {
                std::abort();
            }
            TCapabilities caps;
            ApplyCapabilityLine(line, caps);
            if (caps.highest < 1 || caps.highest > 6 || !caps.supported[2]) {
                std::abort();
            }
            break;
        }
        case TReplyCollector::Result::Frame: {
            std::span<const uint8_t> frame = collector.Frame();
            if (frame.size() > 128) {
                std::abort();
            }
            (void)DecodeFrame(frame);
            break;
        }
        case TReplyCollector::Result::None:
            break;
        }
    }
    return 0;
}
