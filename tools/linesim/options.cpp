#include "options.h"

#include <charconv>
#include <cstdlib>

namespace quillon::linesim {

namespace {

bool toInt(const std::string &s, int &out) {
    if (s.empty()) {
        return false;
    }
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

std::vector<std::string> splitColons(const std::string &s) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == ':') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

// "P[:MS]" with P >= 1 and MS >= 0.
bool parseFaultMoment(const std::string &s, FaultMoment &m) {
    auto parts = splitColons(s);
    if (parts.size() > 2 || !toInt(parts[0], m.page) || m.page < 1) {
        return false;
    }
    m.ms = 1000;
    return parts.size() == 1 || (toInt(parts[1], m.ms) && m.ms >= 0);
}

bool parseVanish(const std::string &s, VanishMoment &v) {
    auto parts = splitColons(s);
    const std::string &k = parts[0];
    if (k == "open" && parts.size() == 1) {
        v.kind = VanishMoment::Kind::Open;
        return true;
    }
    if (k == "answer" && parts.size() == 1) {
        v.kind = VanishMoment::Kind::Answer;
        return true;
    }
    if (k == "ring" && parts.size() == 2) {
        v.kind = VanishMoment::Kind::Ring;
        return toInt(parts[1], v.number) && v.number >= 1;
    }
    if (k == "ms" && parts.size() == 2) {
        v.kind = VanishMoment::Kind::AfterAnswer;
        return toInt(parts[1], v.number) && v.number >= 0;
    }
    if (k == "page" && (parts.size() == 2 || parts.size() == 3)) {
        v.kind = VanishMoment::Kind::Page;
        v.ms = 1000;
        return toInt(parts[1], v.number) && v.number >= 1 &&
               (parts.size() == 2 || (toInt(parts[2], v.ms) && v.ms >= 0));
    }
    return false;
}

bool parseNoise(const std::string &s, NoiseBurst &n) {
    auto parts = splitColons(s);
    if (parts.size() > 4 || !toInt(parts[0], n.page) || n.page < 1) {
        return false;
    }
    if (parts.size() > 1 && (!toInt(parts[1], n.ms) || n.ms < 0)) {
        return false;
    }
    if (parts.size() > 2 && (!toInt(parts[2], n.lengthMs) || n.lengthMs < 1)) {
        return false;
    }
    if (parts.size() > 3) {
        char *end = nullptr;
        n.levelDbm0 = std::strtod(parts[3].c_str(), &end);
        if (end == parts[3].c_str() || *end != '\0' || n.levelDbm0 > 3.0 || n.levelDbm0 < -60) {
            return false;
        }
    }
    return true;
}

bool parseModems(const std::string &s, Options &o) {
    o.v27ter = o.v29 = o.v17 = false;
    std::string cur;
    auto take = [&](const std::string &m) {
        if (m == "v27ter" || m == "v27") {
            o.v27ter = true;
        } else if (m == "v29") {
            o.v29 = true;
        } else if (m == "v17") {
            o.v17 = true;
        } else {
            return false;
        }
        return true;
    };
    for (char c : s + ",") {
        if (c == ',') {
            if (!take(cur)) {
                return false;
            }
            cur.clear();
        } else {
            cur += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
    }
    return true;
}

} // namespace

std::string className(ModemClass c) {
    switch (c) {
    case ModemClass::Class1:
        return "1";
    case ModemClass::Class2:
        return "2";
    case ModemClass::Class2_0:
        return "2.0";
    }
    return "?";
}

std::string usageText() {
    return "usage: quillon-linesim [options] FILE.tif\n"
           "  --class 1|2|2.0          modem class offered on the pty (default 1)\n"
           "  --link PATH              make PATH a symlink to the pty slave\n"
           "  --id TEXT                caller's station id (TSI), default \"+1 555 0100\"\n"
           "  --rings N                rings before the caller gives up (default 8)\n"
           "  --ring-interval-ms N     time between rings (default 6000)\n"
           "  --first-ring-ms N        first ring after the receiver's first byte (default 1000)\n"
           "  --ring-at-start          ring at once, not after the receiver's first byte\n"
           "  --modems LIST            modems the caller offers: v27ter,v29,v17 (default all)\n"
           "  --drop-in-page P[:MS]    the caller hangs up MS ms (default 1000) into page P\n"
           "  --no-dcn                 the caller leaves after the last MCF without DCN\n"
           "  --resend-bad             Class 2: a page answered with RTN is sent once more\n"
           "  --eom-after P            Class 2: EOM after page P, the rest is a second document\n"
           "  --error-on CMD           the modem answers ERROR to command line CMD\n"
           "  --error-nth N            ... at its N-th occurrence (default 1)\n"
           "  --vanish WHEN            the modem closes the pty: open, ring:N, answer,\n"
           "                           ms:N (after the answer), page:P[:MS]\n"
           "  --noise P[:MS[:LEN[:DBM0]]]  line noise burst in page P (Class 2: bad +FPTS)\n"
           "  --reference-receiver     run the call against spandsp's receiving fax machine\n"
           "  --rx-file PATH           reference mode: store the received pages there\n"
           "  --fast                   reference mode: do not pace in real time\n"
           "  --linger-ms N            wait for the receiver's hang-up after the call (30000)\n"
           "  --max-call-s N           hard limit of the whole run (default 600)\n"
           "  --verbose                protocol events to stderr\n"
           "  --spandsp-log            spandsp's own protocol log to stderr\n";
}

std::string parseOptions(const std::vector<std::string> &args, Options &o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string &v) {
            if (i + 1 >= args.size()) {
                return false;
            }
            v = args[++i];
            return true;
        };
        auto intValue = [&](int &v, int min) {
            std::string s;
            return value(s) && toInt(s, v) && v >= min;
        };
        std::string v;
        bool ok = true;
        if (a == "--class") {
            ok = value(v);
            if (ok && v == "1") {
                o.modemClass = ModemClass::Class1;
            } else if (ok && v == "2") {
                o.modemClass = ModemClass::Class2;
            } else if (ok && v == "2.0") {
                o.modemClass = ModemClass::Class2_0;
            } else {
                ok = false;
            }
        } else if (a == "--link") {
            ok = value(o.link) && !o.link.empty();
        } else if (a == "--id") {
            ok = value(o.stationId) && o.stationId.size() <= 20;
        } else if (a == "--rings") {
            ok = intValue(o.rings, 1);
        } else if (a == "--ring-interval-ms") {
            ok = intValue(o.ringIntervalMs, 100);
        } else if (a == "--first-ring-ms") {
            ok = intValue(o.firstRingMs, 0);
        } else if (a == "--ring-at-start") {
            o.ringAtStart = true;
        } else if (a == "--modems") {
            ok = value(v) && parseModems(v, o);
        } else if (a == "--drop-in-page") {
            FaultMoment m;
            ok = value(v) && parseFaultMoment(v, m);
            o.dropInPage = m;
        } else if (a == "--no-dcn") {
            o.noDcn = true;
        } else if (a == "--resend-bad") {
            o.resendBad = true;
        } else if (a == "--eom-after") {
            ok = intValue(o.eomAfter, 1);
        } else if (a == "--error-on") {
            ok = value(o.errorOn) && !o.errorOn.empty();
        } else if (a == "--error-nth") {
            ok = intValue(o.errorNth, 1);
        } else if (a == "--vanish") {
            VanishMoment m;
            ok = value(v) && parseVanish(v, m);
            o.vanish = m;
        } else if (a == "--noise") {
            NoiseBurst n;
            ok = value(v) && parseNoise(v, n);
            o.noise = n;
        } else if (a == "--reference-receiver") {
            o.referenceReceiver = true;
        } else if (a == "--rx-file") {
            ok = value(o.referenceRxFile);
        } else if (a == "--fast") {
            o.fast = true;
        } else if (a == "--linger-ms") {
            ok = intValue(o.lingerMs, 0);
        } else if (a == "--max-call-s") {
            ok = intValue(o.maxCallS, 1);
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--spandsp-log") {
            o.spandspLog = true;
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else if (o.file.empty()) {
            o.file = a;
        } else {
            return "more than one file given: " + a;
        }
        if (!ok) {
            return "bad or missing value for " + a;
        }
    }
    if (o.file.empty()) {
        return "no TIFF file given";
    }
    if (!o.v27ter && !o.v29 && !o.v17) {
        return "no modem offered";
    }
    if (o.fast && !o.referenceReceiver) {
        return "--fast needs --reference-receiver (a pty receiver runs in real time)";
    }
    return {};
}

} // namespace quillon::linesim
