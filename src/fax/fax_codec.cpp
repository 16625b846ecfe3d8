#include "fax/fax_codec.h"

#include <algorithm>

namespace quillon::fax {

namespace {

constexpr std::array<TRateEntry, 7> kRates{{
    {2400, "24", "24", '0'}, // index 0 stands in for out-of-range indexes
    {2400, "24", "24", '0'},
    {4800, "48", "48", '1'},
    {7200, "72", "72", '2'},
    {9600, "96", "96", '3'},
    {12000, "121", "122", '4'},
    {14400, "145", "146", '5'},
}};

constexpr std::array<std::string_view, 38> kStateNames{
    "rfNone",      "rfInit",       "rf1Init1",     "rf2Init1",     "rf2Init1A",   "rf2Init1B",
    "rf2Init2",    "rf2Init3",     "rfWaiting",    "rfAnswer",     "rf1SendCSI",  "rf1SendDIS",
    "rf1CollFrms", "rf1CollRtry1", "rf1CollRtry2", "rf1StrtTrn",   "rf1CollTrn",  "rf1Timeout",
    "rf1Retrain",  "rf1FinTrn",    "rf1SendCFR",   "rf1WtPgCnnct", "rf2ValCnnct", "rf2GtSndID",
    "rf2GtCnnct",  "rfStartPage",  "rfGtPgDta",    "rf1FinPage",   "rf1WaitEOP",  "rf1WritePage",
    "rf1SendMCF",  "rf1WaitDCN",   "rf1WtHngp",    "rf2GtPgRslt",  "rf2GetFHNG",  "rfComplete",
    "rfAbort",     "rfDone"};

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

} // namespace

std::string_view ReceiveStateName(uint8_t state) {
    return state < kStateNames.size() ? kStateNames[state] : std::string_view("rf?");
}

bool TPatternMatcher::Feed(uint8_t b) {
    if (b == pattern_[matched_]) {
        ++matched_;
        if (matched_ == pattern_.size()) {
            matched_ = 0;
            return true;
        }
        return false;
    }
    matched_ = b == pattern_[0] ? 1 : 0;
    return false;
}

void TReplyCollector::Clear() {
    reply_.clear();
    frameDone_ = false;
    dle_ = false;
    lineMatcher_.Reset();
    frameMatcher_.Reset();
}

TReplyCollector::Result TReplyCollector::Feed(uint8_t c) {
    if (frameDone_) {
        Clear();
    }
    bool inFrame = !reply_.empty() && static_cast<uint8_t>(reply_[0]) == 0xFF;
    if (dle_ && c == 0x10) {
        // A doubled DLE inside frame data stands for one data byte 10h.
        dle_ = false;
        frameMatcher_.Reset();
        lineMatcher_.Feed(c);
        return Result::None;
    }
    dle_ = c == 0x10;
    if (reply_.size() < kReplyLineMax) {
        reply_.push_back(static_cast<char>(c));
    }
    bool lineHit = lineMatcher_.Feed(c);
    if (frameMatcher_.Feed(c)) {
        frameDone_ = true;
        return Result::Frame;
    }
    if (lineHit && !inFrame) {
        line_ = TrimBlanks(reply_);
        Clear();
        return line_.empty() ? Result::None : Result::Line;
    }
    return Result::None;
}

std::string TrimBlanks(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b])) {
        ++b;
    }
    while (e > b && IsBlank(s[e - 1])) {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

std::string StripPrefix(std::string_view line) {
    std::string t = TrimBlanks(line);
    size_t p = t.find(':');
    if (p == std::string::npos) {
        p = t.find('=');
    }
    if (p != std::string::npos) {
        t.erase(0, p + 1);
    }
    t = TrimBlanks(t);
    if (t.size() > kReplyLineMax) {
        t.resize(kReplyLineMax);
    }
    return t;
}

const TRateEntry &RateEntry(int index) {
    return (index >= 1 && index <= 6) ? kRates[static_cast<size_t>(index)] : kRates[0];
}

int StepDownIndex(int from, uint32_t desiredBps) {
    int index = std::clamp(from, 1, 6);
    while (index > 1 && RateEntry(index).bps > desiredBps) {
        --index;
    }
    return index;
}

char Class2RateDigit(uint32_t desiredBps) {
    switch (desiredBps) {
    case 2400:
        return '0';
    case 4800:
        return '1';
    case 7200:
        return '2';
    case 12000:
        return '4';
    case 14400:
        return '5';
    default:
        return '3';
    }
}

int MinScanTimeMs(uint8_t scanCode, bool fine) {
    static constexpr int kStandard[8] = {0, 5, 10, 10, 20, 20, 40, 40};
    static constexpr int kFine[8] = {0, 5, 5, 10, 10, 20, 20, 40};
    scanCode &= 7;
    return fine ? kFine[scanCode] : kStandard[scanCode];
}

uint16_t MinBytesPerLine(uint8_t scanCode, bool fine, uint32_t bps) {
    return static_cast<uint16_t>(static_cast<uint32_t>(MinScanTimeMs(scanCode, fine)) * bps / 8000);
}

TFaxClass ClassFromList(std::string_view list) {
    bool class1 = LineHas(list, "1");
    bool class20 = LineHas(list, "2.0");
    bool class2 = false;
    if (class20) {
        class2 = LineHas(list, "2,");
    } else {
        class2 = LineHas(list, "2");
    }
    if (class20) {
        return fcClass2_0;
    }
    if (class2) {
        return fcClass2;
    }
    if (class1) {
        return fcClass1;
    }
    return fcUnknown;
}

void ApplyCapabilityLine(std::string_view line, TCapabilities &caps) {
    static constexpr std::string_view kDigits[4] = {"72", "96", "121", "145"};
    for (int i = 0; i < 4; ++i) {
        if (LineHas(line, kDigits[i])) {
            caps.supported[static_cast<size_t>(i + 3)] = true;
        }
    }
    // A capability list makes the index the highest supported one (2 at least).
    for (int i = 6; i >= 1; --i) {
        if (caps.supported[static_cast<size_t>(i)]) {
            caps.highest = i;
            break;
        }
    }
}

std::vector<uint8_t> EncodeFrame(uint8_t fcf, bool final, std::span<const uint8_t> info) {
    std::vector<uint8_t> out;
    out.reserve(info.size() + 8);
    out.push_back(0xFF);
    out.push_back(final ? 0x13 : 0x03);
    out.push_back(fcf);
    for (uint8_t b : info) {
        out.push_back(b);
        if (b == 0x10) {
            out.push_back(0x10);
        }
    }
    out.push_back(0x10);
    out.push_back(0x03);
    return out;
}

std::array<uint8_t, 20> CsiInfo(std::string_view stationId) {
    std::array<uint8_t, 20> info{};
    info.fill(' ');
    std::string_view id = stationId.substr(0, 20);
    size_t pad = 20 - id.size();
    for (size_t i = 0; i < id.size(); ++i) {
        info[pad + i] = static_cast<uint8_t>(id[id.size() - 1 - i]);
    }
    return info;
}

uint8_t DisRateBits(int index) {
    switch (index) {
    case 2:
        return 0x08;
    case 3:
    case 4:
        return 0x0C;
    case 5:
        return 0x1C;
    case 6:
        return 0x2C;
    default:
        return 0x00;
    }
}

std::array<uint8_t, 4> DisInfo(int index) {
    return {0x00, static_cast<uint8_t>(0x42 | DisRateBits(index)), 0xF9, 0x00};
}

TDcsParams DecodeDcs(uint8_t b2, uint8_t b3) {
    TDcsParams p;
    if (b2 & 0x20) {
        p.index = 6;
    } else if (b2 & 0x10) {
        p.index = 5;
    } else {
        switch (b2 & 0x0C) {
        case 0x00:
            p.index = 1;
            break;
        case 0x04:
            p.index = 4;
            break;
        case 0x08:
            p.index = 2;
            break;
        default:
            p.index = 3;
            break;
        }
    }
    p.bps = RateEntry(p.index).bps;
    p.fine = (b2 & 0x40) != 0;
    p.wide = (b3 & 0x03) == 0x01;
    static constexpr uint8_t kScan[8] = {5, 1, 3, 4, 7, 6, 2, 0};
    p.scanCode = kScan[(b3 & 0x70) >> 4];
    return p;
}

std::string PrintableStationId(std::string_view raw) {
    std::string out;
    for (char c : raw) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out.push_back(c);
        }
        if (out.size() == kStationIdMax) {
            break;
        }
    }
    return out;
}

TDecodedFrame DecodeFrame(std::span<const uint8_t> bytes) {
    TDecodedFrame f;
    size_t start = 0;
    while (start + 1 < bytes.size() && bytes[start] != 0xFF) {
        ++start;
    }
    std::span<const uint8_t> fr = bytes.subspan(start);
    if (fr.size() < 3 || fr[0] != 0xFF) {
        return f;
    }
    f.final = (fr[1] & 0x10) != 0;
    f.fcf = fr[2];
    std::span<const uint8_t> info = fr.subspan(3);
    // The closing DLE ETX is not information.
    if (info.size() >= 2 && info[info.size() - 2] == 0x10 && info.back() == 0x03) {
        info = info.first(info.size() - 2);
    }
    switch (f.fcf) {
    case 0x40:
    case 0x41:
    case 0x42:
    case 0x43: {
        f.kind = TFrameKind::StationId;
        size_t n = std::min<size_t>(info.size(), 20);
        std::string reversed;
        for (size_t i = 0; i < n; ++i) {
            reversed.push_back(static_cast<char>(info[n - 1 - i]));
        }
        f.remoteId = PrintableStationId(reversed);
        break;
    }
    case 0x44:
    case 0x45:
    case 0x4C:
    case 0x4D:
        f.kind = TFrameKind::Retrain;
        break;
    case 0x80:
    case 0x81:
        f.kind = TFrameKind::Dis;
        break;
    case 0x82:
    case 0x83:
        f.kind = TFrameKind::Dcs;
        f.dcs = DecodeDcs(info.size() > 1 ? info[1] : 0, info.size() > 2 ? info[2] : 0);
        break;
    case 0x84:
    case 0x85:
        f.kind = TFrameKind::Cfr;
        break;
    case 0xFA:
    case 0xFB:
        f.kind = TFrameKind::Dcn;
        break;
    default:
        f.kind = TFrameKind::Other;
        break;
    }
    return f;
}

} // namespace quillon::fax
