#pragma once

// The pure parts of the receive engine, free of any port or session: the two pattern
// matchers, result-line helpers, the Class 1 HDLC frame codec with its T.30 contents (CSI,
// DIS, CFR, FTT, MCF out; CSI/TSI, DCS, DCN and the post-page messages in), DCS decoding, the
// rate table, class detection and the Class 1 capability list. Everything here is a plain
// function of its arguments, safe on any thread, and is what the fuzz targets exercise.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fax/fax_types.h"

namespace quillon::fax {

// Counts how many bytes of a fixed pattern have been matched so far. A byte that does not
// continue the pattern restarts the count at 1 if it equals the pattern's first byte, else
// at 0.
class TPatternMatcher {
  public:
    constexpr TPatternMatcher(uint8_t first, uint8_t second) : pattern_{first, second} {}
    // Feeds one byte; true when the pattern has just been completed (the count restarts).
    bool Feed(uint8_t b);
    void Reset() { matched_ = 0; }
    [[nodiscard]] uint8_t Matched() const { return matched_; }

  private:
    std::array<uint8_t, 2> pattern_;
    uint8_t matched_ = 0;
};

// Line and frame collection from the modem's byte stream: each byte goes to the reply line
// (at most 128 bytes) and to both pattern matchers. CR LF completes a result line (trimmed;
// empty lines are dropped); DLE ETX completes an HDLC frame. Inside a frame (a reply line
// that starts with the address byte FFh) CR LF is frame data, and a doubled DLE is one data
// byte 10h, so neither ends the frame early.
class TReplyCollector {
  public:
    enum class Result { None, Line, Frame };
    Result Feed(uint8_t c);
    // The completed line (after Result::Line) or frame bytes (after Result::Frame, valid
    // until the next Feed or Clear).
    [[nodiscard]] const std::string &Line() const { return line_; }
    [[nodiscard]] std::span<const uint8_t> Frame() const {
        return {reinterpret_cast<const uint8_t *>(reply_.data()), reply_.size()};
    }
    void Clear();

  private:
    std::string reply_;
    std::string line_;
    bool frameDone_ = false;
    bool dle_ = false;
    TPatternMatcher lineMatcher_{0x0D, 0x0A};
    TPatternMatcher frameMatcher_{0x10, 0x03};
};

// Blanks (spaces, tabs and control bytes) trimmed from both ends.
std::string TrimBlanks(std::string_view s);
// Everything up to and including the first ":" (else the first "=") removed, blanks trimmed,
// at most 128 characters kept: "+FCS: 1,3,0" gives "1,3,0".
std::string StripPrefix(std::string_view line);
inline bool LineHas(std::string_view line, std::string_view what) {
    return line.find(what) != std::string_view::npos;
}

// ---- rates ----

struct TRateEntry {
    uint16_t bps;
    std::string_view training;  // Class 1 digits for the training and the pages after the first
    std::string_view firstPage; // digits for the first page after CFR
    char class2Digit;
};
// Modulation index 1 to 6; index 0 and anything above 6 give the 2400 bps entry.
const TRateEntry &RateEntry(int index);
// The highest index whose rate does not exceed `desiredBps`, stepping down from `from`.
int StepDownIndex(int from, uint32_t desiredBps);
// The Class 2 rate digit for DesiredBPS: 2400 "0" ... 14400 "5", anything else "3".
char Class2RateDigit(uint32_t desiredBps);
// The minimum scan time in ms by scan-time code 0 to 7 and resolution.
int MinScanTimeMs(uint8_t scanCode, bool fine);
// Minimum bytes per line: scan time x rate / 8000.
uint16_t MinBytesPerLine(uint8_t scanCode, bool fine, uint32_t bps);

// ---- class detection and the Class 1 capability list ----

// The class a modem supports by its "AT+FCLASS=?" reply (prefix already stripped):
// fcClass2_0 if "2.0" is listed, else fcClass2 if "2" is, else fcClass1 if "1" is, else
// fcUnknown.
TFaxClass ClassFromList(std::string_view list);

// What an "AT+FRM=?" capability line offers: flags by index (1 and 2 always) and the
// highest supported index.
struct TCapabilities {
    std::array<bool, 7> supported{false, true, true, false, false, false, false};
    int highest = 1;
};
// Applies one capability line (one containing ","): "72", "96", "121" and "145" mark the
// indexes 3 to 6.
void ApplyCapabilityLine(std::string_view line, TCapabilities &caps);

// ---- HDLC frames (Class 1) ----
// Octets as they pass through the modem: the first-transmitted bit is the least significant
// one, so every FCF is bit-reversed against its T.30 notation (DIS, 01h in T.30, is 80h).

inline constexpr uint8_t kFcfCsi = 0x40;
inline constexpr uint8_t kFcfDis = 0x80;
inline constexpr uint8_t kFcfDcs = 0x82;
inline constexpr uint8_t kFcfCfr = 0x84;
inline constexpr uint8_t kFcfFtt = 0x44;
inline constexpr uint8_t kFcfRtn = 0x4C;
inline constexpr uint8_t kFcfMcf = 0x8C;
inline constexpr uint8_t kFcfMps = 0x4E;
inline constexpr uint8_t kFcfEom = 0x8E;
inline constexpr uint8_t kFcfEop = 0x2E;
inline constexpr uint8_t kFcfDcn = 0xFA;

// An outgoing frame as sent to the modem in HDLC transmit mode: FFh, 13h (final) or 03h,
// FCF, information, then 10h 03h. Information bytes 10h are doubled, as T.31 requires of
// data sent to the modem.
std::vector<uint8_t> EncodeFrame(uint8_t fcf, bool final, std::span<const uint8_t> info = {});
// CSI information: (20 - n) spaces, then the n characters of the station id (cut to 20) last
// character first.
std::array<uint8_t, 20> CsiInfo(std::string_view stationId);
// DIS information for a modulation index: 00h, 42h OR rate bits, F9h, 00h.
std::array<uint8_t, 4> DisInfo(int index);
uint8_t DisRateBits(int index);

enum class TFrameKind {
    None,      // no FFh address byte / too short
    StationId, // CSI or TSI: remote id in `remoteId`
    Retrain,   // FTT or RTN
    Dis,       // DIS (sending side)
    Dcs,       // DCS: session parameters in `dcs`
    Cfr,       // CFR (sending side)
    Dcn,
    Other, // post-page messages and the rest; the FCF is in `fcf`
};

struct TDcsParams {
    int index = 1;
    uint32_t bps = 2400;
    bool fine = false;
    bool wide = false;
    uint8_t scanCode = 0;
};

struct TDecodedFrame {
    TFrameKind kind = TFrameKind::None;
    bool final = false;
    uint8_t fcf = 0;
    std::string remoteId; // StationId: the 20 information bytes reversed, printable only
    TDcsParams dcs;       // Dcs
};

// Decodes the collected bytes of one received frame (its closing DLE ETX may still be at the
// end; extra bytes such as the FCS are ignored). Leading bytes before the FFh address byte
// are dropped.
TDecodedFrame DecodeFrame(std::span<const uint8_t> bytes);
// DCS decoding from the second and third information bytes.
TDcsParams DecodeDcs(uint8_t b2, uint8_t b3);

// A station id as it may leave the engine: T.30 identities are digits, "+" and space; any
// byte outside the printable ASCII range is dropped and the result cut to 20 characters.
std::string PrintableStationId(std::string_view raw);

} // namespace quillon::fax
