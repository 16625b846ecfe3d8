#pragma once

// The pure parts of Class 2 and Class 2.0 reception: the class command table, the values of
// the modem's +F reports (session parameters, caller identifier, page status, post-page
// message, hang-up status) and the hang-up status texts. Plain functions of their arguments,
// safe on any thread; the fuzz target of the modem's result lines exercises them.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "fax/fax_types.h"

namespace quillon::fax {

// The class command table: entries 0 to 6 are commands ("AT+F" and the suffix), 7 to 12 the
// report keywords ("+F" and the suffix).
enum TClass2Entry : uint8_t {
    c2ClassSelect = 0,
    c2ModelQuery = 1,
    c2MakerQuery = 2,
    c2RevisionQuery = 3,
    c2Capabilities = 4,
    c2LocalId = 5,
    c2SessionCaps = 6,
    c2Connect = 7,
    c2RemoteCaps = 8,
    c2SessionParams = 9,
    c2CallerId = 10,
    c2CalledId = 11,
    c2PageStatus = 12,
};
using TClass2Table = std::array<std::string, 13>;
// The table of Class 2 (+FDCC, +FTSI, +FPTS ...) or, for fcClass2_0, of Class 2.0 (+FCC,
// +FTI, +FPS ...).
TClass2Table Class2Table(TFaxClass cls);
// The hang-up report's keyword without the plus sign: "FHNG" (Class 2) or "FHS" (2.0).
std::string_view Class2HangupKeyword(TFaxClass cls);

// The session capabilities command: entry 6 "=1," rate digit ",0,2,0," ECM digit ",0,0"
// (fine resolution, 1728 pixels, unlimited length, one-dimensional coding, no file transfer,
// 0 ms scan time).
std::string Class2CapabilityCommand(const TClass2Table &table, uint32_t desiredBps, bool ecm);

// Session parameters from a +FDCS / +FCS report value (VR,BR,WD,LN,DF,EC,BF,ST). Values are
// read field by field, so a modem that writes a field with two digits or leaves one out is
// understood; a missing or unreadable field keeps its default (standard, 9600, 1728, no ECM,
// scan code 0).
struct TClass2Params {
    uint32_t bps = 9600;
    bool fine = false;
    bool wide = false;
    bool ecm = false;
    uint8_t scanCode = 0;
};
TClass2Params ParseClass2Params(std::string_view value);

// The caller identifier of a +FTSI / +FTI report line, as the modem gives it: quotes and
// the blanks around the identifier removed, trailing characters that are neither letters
// nor digits dropped, at most 20 characters.
std::string Class2CallerId(std::string_view line);

// The page status of a +FPTS / +FPS report value: true for 1 (MCF), 3 (RTP) and 5 (PIP),
// the page is good; false for everything else (2 RTN, 4 PIN, an unreadable value).
bool Class2PageGood(std::string_view value);

// The post-page message of a +FET report value: MPS (0, and 3, its procedure-interrupt
// form), EOM (1, 4) or EOP (2, 5). Anything unreadable counts as MPS: more pages may come,
// and the modem reports the hang-up if none does.
enum class TPostPage { Mps, Eom, Eop };
TPostPage ParsePostPage(std::string_view value);

// The hang-up status of a +FHNG / +FHS report line (the number after ":"). Class 2 modems
// write it in decimal ("+FHNG:50"), Class 2.0 modems in hexadecimal ("+FHS:A0"); 0 when
// no number follows.
uint16_t ParseHangupCode(std::string_view line, TFaxClass cls);
// What a hang-up status means, for people ("Normal end of connection", "Receive phase D:
// unspecified error"). Class 2 codes are the decimal numbers of the same table (100 is the
// 2.0 code A0). Unknown codes give "Unknown hang-up status".
std::string_view HangupText(uint16_t code, TFaxClass cls);

} // namespace quillon::fax
