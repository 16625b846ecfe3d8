// The HDLC frame decoder: any bytes decode without crashing; a remote id is printable and at
// most 20 characters; a frame encoded from the input's bytes decodes back to its own FCF,
// final bit and (for CSI) station id.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fax/fax_codec.h"

using namespace quillon::fax;

namespace {
void CheckId(const std::string &id) {
    if (id.size() > 20) {
        std::abort();
    }
    for (char c : id) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            std::abort();
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::span<const uint8_t> in(data, size);
    TDecodedFrame f = DecodeFrame(in);
    CheckId(f.remoteId);
    if (f.kind == TFrameKind::Dcs && (f.dcs.index < 1 || f.dcs.index > 6 || f.dcs.scanCode > 7)) {
        std::abort();
    }
    if (size >= 2) {
        uint8_t fcf = data[0];
        bool final = (data[1] & 1) != 0;
        std::vector<uint8_t> frame = EncodeFrame(fcf, final, in.subspan(2));
        // Undo the DLE doubling as the receiving modem would.
        std::vector<uint8_t> plain;
        for (size_t i = 0; i < frame.size(); ++i) {
            plain.push_back(frame[i]);
            if (frame[i] == 0x10 && i + 1 < frame.size() && frame[i + 1] == 0x10) {
                ++i;
            }
        }
        TDecodedFrame g = DecodeFrame(plain);
        if (g.fcf != fcf || g.final != final) {
            std::abort();
        }
    }
    std::string id(reinterpret_cast<const char *>(data), std::min<size_t>(size, 20));
    std::string printable = PrintableStationId(id);
    std::array<uint8_t, 20> csi = CsiInfo(printable);
    std::vector<uint8_t> frame = EncodeFrame(kFcfCsi, false, csi);
    if (DecodeFrame(frame).remoteId !=
        std::string(20 - printable.size(), ' ').insert(0, printable)) {
        std::abort();
    }
    return 0;
}
