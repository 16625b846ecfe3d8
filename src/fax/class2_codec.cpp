#include "fax/class2_codec.h"

#include <cctype>

#include "fax/fax_codec.h"

namespace quillon::fax {

namespace {

constexpr std::array<std::string_view, 13> kClass2Suffixes = {
    "CLASS=2", "MDL?", "MFR?", "REV?", "DIS", "LID", "DCC",
    "CON",     "DIS",  "DCS",  "TSI",  "CSI", "PTS"};
constexpr std::array<std::string_view, 13> kClass20Suffixes = {
    "CLASS=2.0", "MI?", "MM?", "MR?", "IS", "LI", "CC", "CO", "IS", "CS", "TI", "CI", "PS"};

// T.32 hang-up status values and their meaning.
struct THangupEntry {
    uint16_t code;
    std::string_view text;
};
constexpr THangupEntry kHangupTexts[] = {
    {0x00, "Normal end of connection"},
    {0x01, "Ring detected without a successful handshake"},
    {0x02, "Call aborted by the receiver (+FKS or CAN)"},
    {0x03, "No loop current"},
    {0x04, "Ringback detected, no answer"},
    {0x05, "Ringback detected, answer without CED"},
    {0x10, "Phase A: unspecified error"},
    {0x11, "Phase A: no answer (T.30 T1 time-out)"},
    {0x20, "Transmit phase B: unspecified error"},
    {0x21, "Transmit phase B: remote cannot receive or send"},
    {0x22, "Transmit phase B: COMREC error"},
    {0x23, "Transmit phase B: COMREC invalid command received"},
    {0x24, "Transmit phase B: RSPREC error"},
    {0x25, "Transmit phase B: DCS sent three times without response"},
    {0x26, "Transmit phase B: DIS/DTC received three times; DCS not recognised"},
    {0x27, "Transmit phase B: failure to train at 2400 bit/s or FTT"},
    {0x28, "Transmit phase B: RSPREC invalid response received"},
    {0x40, "Transmit phase C: unspecified error"},
    {0x43, "Transmit phase C: send data underflow"},
    {0x50, "Transmit phase D: unspecified error"},
    {0x51, "Transmit phase D: RSPREC error"},
    {0x52, "Transmit phase D: no response to MPS repeated three times"},
    {0x53, "Transmit phase D: invalid response to MPS"},
    {0x54, "Transmit phase D: no response to EOP repeated three times"},
    {0x55, "Transmit phase D: invalid response to EOP"},
    {0x56, "Transmit phase D: no response to EOM repeated three times"},
    {0x57, "Transmit phase D: invalid response to EOM"},
    {0x58, "Transmit phase D: unable to continue after PIN or PIP"},
    {0x70, "Receive phase B: unspecified error"},
    {0x71, "Receive phase B: RSPREC error"},
    {0x72, "Receive phase B: COMREC error"},
    {0x73, "Receive phase B: T.30 T2 time-out, expected page not received"},
    {0x74, "Receive phase B: T.30 T1 time-out after EOM"},
    {0x90, "Receive phase C: unspecified error"},
    {0x91, "Receive phase C: missing EOL after 5 seconds"},
    {0x92, "Receive phase C: bad CRC or frame (error correction mode)"},
    {0x93, "Receive phase C: modem to computer buffer overflow"},
    {0xA0, "Receive phase D: unspecified error"},
    {0xA1, "Receive phase D: RSPREC invalid response received"},
    {0xA2, "Receive phase D: COMREC invalid response received"},
    {0xA3, "Receive phase D: unable to continue after PIN or PIP"},
};

// The value fields of a report, split at commas, each trimmed.
std::array<std::string, 8> Fields(std::string_view value) {
    std::array<std::string, 8> out;
    size_t field = 0;
    for (char c : value) {
        if (c == ',') {
            if (++field == out.size()) {
                break;
            }
        } else if (c != ' ' && c != '\t') {
            out[field].push_back(c);
        }
    }
    return out;
}

// A field's leading hexadecimal digits (T.32 writes the parameters in hexadecimal; the
// values used here are single digits either way); -1 when it has none.
int FieldValue(const std::string &f) {
    int v = -1;
    for (char c : f) {
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
        if (d < 0 || v > 0xFFF) {
            break;
        }
        v = (v < 0 ? 0 : v * 16) + d;
    }
    return v;
}

} // namespace

TClass2Table Class2Table(TFaxClass cls) {
    const auto &suffixes = cls == fcClass2_0 ? kClass20Suffixes : kClass2Suffixes;
    TClass2Table t;
    for (size_t i = 0; i < t.size(); ++i) {
        t[i] = std::string(i <= c2SessionCaps ? "AT+F" : "+F") + std::string(suffixes[i]);
    }
    return t;
}

std::string_view Class2HangupKeyword(TFaxClass cls) {
    return cls == fcClass2_0 ? "FHS" : "FHNG";
}

std::string Class2CapabilityCommand(const TClass2Table &table, uint32_t desiredBps, bool ecm) {
    return table[c2SessionCaps] + "=1," + Class2RateDigit(desiredBps) + ",0,2,0," +
           (ecm ? "1" : "0") + ",0,0";
}

TClass2Params ParseClass2Params(std::string_view value) {
    static constexpr uint32_t kRates[6] = {2400, 4800, 7200, 9600, 12000, 14400};
    std::array<std::string, 8> f = Fields(value);
    TClass2Params p;
    int vr = FieldValue(f[0]), br = FieldValue(f[1]), wd = FieldValue(f[2]);
    int ec = FieldValue(f[5]), st = FieldValue(f[7]);
    p.fine = vr >= 1; // 1 fine; higher values are finer still and stored as fine
    if (br >= 0 && br <= 5) {
        p.bps = kRates[br];
    }
    p.wide = wd == 1;
    p.ecm = ec == 1 || ec == 2;
    if (st >= 0 && st <= 7) {
        p.scanCode = static_cast<uint8_t>(st);
    }
    return p;
}

std::string Class2CallerId(std::string_view line) {
    std::string v = TrimBlanks(StripPrefix(line));
    std::string out;
    for (char c : v) {
        if (c != '"') {
            out.push_back(c);
        }
    }
    out = TrimBlanks(out);
    while (!out.empty() && !std::isalnum(static_cast<unsigned char>(out.back()))) {
        out.pop_back();
    }
    return PrintableStationId(TrimBlanks(out));
}

bool Class2PageGood(std::string_view value) {
    int v = FieldValue(Fields(value)[0]);
    return v == 1 || v == 3 || v == 5;
}

TPostPage ParsePostPage(std::string_view value) {
    switch (FieldValue(Fields(value)[0])) {
    case 1:
    case 4:
        return TPostPage::Eom;
    case 2:
    case 5:
        return TPostPage::Eop;
    default:
        return TPostPage::Mps;
    }
}

uint16_t ParseHangupCode(std::string_view line, TFaxClass cls) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return 0;
    }
    std::string digits = TrimBlanks(line.substr(colon + 1)).substr(0, 3);
    const int base = cls == fcClass2_0 ? 16 : 10;
    uint16_t code = 0;
    for (char c : digits) {
        int d = c >= '0' && c <= '9'                 ? c - '0'
                : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
        if (d < 0) {
            break;
        }
        code = static_cast<uint16_t>(code * base + d);
    }
    return code;
}

std::string_view HangupText(uint16_t code, TFaxClass cls) {
    uint16_t t32 = code;
    if (cls != fcClass2_0) {
        // Class 2 writes the table's codes as decimal digits; 100 and up are A0 and up.
        t32 = code >= 100 ? static_cast<uint16_t>(0xA0 + (code - 100))
                          : static_cast<uint16_t>((code / 10) * 16 + code % 10);
    }
    for (const THangupEntry &e : kHangupTexts) {
        if (e.code == t32) {
            return e.text;
        }
    }
    return "Unknown hang-up status";
}

} // namespace quillon::fax
