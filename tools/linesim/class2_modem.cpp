// The command side of the Class 2 / 2.0 modem: AT command lines, settings, results.

#include "class2_modem.h"
#include "session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <spandsp.h>
#include <tiffio.h>
}

namespace quillon::linesim {

namespace {
constexpr uint8_t kDle = 0x10, kEtx = 0x03, kDc1 = 0x11, kDc2 = 0x12, kDc3 = 0x13, kCan = 0x18;

bool toInt(const std::string &s, int &v) {
    if (s.empty() || s.size() > 6) {
        return false;
    }
    char *end = nullptr;
    long n = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || n < 0) {
        return false;
    }
    v = static_cast<int>(n);
    return true;
}
} // namespace

Class2Modem::Class2Modem(const Options &opt, PtyPort &pty, std::vector<T4Page> pages)
    : opt_(opt), pty_(pty), pages_(std::move(pages)) {}

void Class2Modem::reset() {
    echo_ = true;
    verbose_ = true;
    quiet_ = false;
    fclass_ = 0;
    s0_ = 0;
    faa_ = 0;
    fbo_ = 0;
    localId_.clear();
    int caps[8] = {1, 5, 0, 2, 0, 0, 0, 0};
    std::copy(caps, caps + 8, caps_);
}

void Class2Modem::sendResult(const char *text, int numeric) {
    if (quiet_) {
        return;
    }
    if (verbose_) {
        pty_.write(std::string("\r\n") + text + "\r\n");
    } else {
        pty_.write(std::to_string(numeric) + "\r");
    }
    logLine(opt_, "modem: %s", text);
}

void Class2Modem::sendInfo(const std::string &text) {
    pty_.write(verbose_ ? "\r\n" + text + "\r\n" : text + "\r\n");
    logLine(opt_, "modem: %s", text.c_str());
}

void Class2Modem::onDteBytes(const uint8_t *data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        const uint8_t b = data[i];
        if (phase_ == Phase::PageData || phase_ == Phase::Drained) {
            // During page data the receiver only sends flow control (T.32 8.5.2).
            if (b == kDc2 || b == kDc1) {
                if (!released_) {
                    logLine(opt_, "dte released the page data (%s)", b == kDc2 ? "DC2" : "DC1");
                }
                released_ = true;
                xoff_ = false;
            } else if (b == kDc3) {
                xoff_ = true;
            } else if (b == kCan && phase_ == Phase::PageData) {
                logLine(opt_, "dte cancelled the page (CAN)");
                const uint8_t etx[2] = {kDle, kEtx};
                pty_.write(etx, 2);
                hangupReport(0x02, T30_ERR_TX_BADPG, now_);
                sendResult("OK", 0);
            }
            continue;
        }
        if (b == '\n' || b == 0 || b == kDc1 || b == kDc3) {
            continue;
        }
        line_ += static_cast<char>(b);
        if (b == '\r') {
            std::string cmd;
            cmd.swap(line_);
            cmd.pop_back();
            if (echo_) {
                pty_.write(cmd + "\r");
            }
            executeLine(cmd);
        } else if (line_.size() > 256) {
            line_.clear(); // garbage without a CR: drop it
        }
    }
}

void Class2Modem::executeLine(const std::string &line) {
    logLine(opt_, "dte: %s", line.c_str());
    if (normaliseCommand(line).empty()) {
        return;
    }
    if (injector_.strikes(line)) {
        logLine(opt_, "injected ERROR to %s", normaliseCommand(line).c_str());
        sendResult("ERROR", 4);
        return;
    }
    std::vector<AtCommand> cmds;
    std::string why;
    if (!parseAtLine(line, cmds, why)) {
        sendResult("ERROR", 4);
        return;
    }
    std::string info;
    for (const auto &c : cmds) {
        if (c.name == "A" || (c.extended && (c.name == "+FDR"))) {
            if (!info.empty()) {
                sendInfo(info);
            }
            if (c.name == "A") {
                // The line always carries the incoming call: an ATA before the first RING
                // picks it up as the phone starts to ring, as on a real line.
                if (phase_ != Phase::OnHook || answered_) {
                    sendResult("NO CARRIER", 3);
                } else if (fclass_ == 0 && faa_ == 0) {
                    logLine(opt_, "ATA in data mode: no data carrier from a fax caller");
                    sendResult("NO CARRIER", 3);
                } else {
                    startAnswer(now_);
                }
                return;
            }
            if (phase_ == Phase::WaitFdrB) {
                phase_ = Phase::SendCfr;
                due_ = std::max(now_, tcfEndMs_) + 75 + 1133;
                return;
            }
            if (phase_ == Phase::WaitFdrD) {
                phase_ = Phase::SendResponse;
                due_ = now_ + 75 + 1133;
                return;
            }
            sendResult("ERROR", 4);
            return;
        }
        if (c.name == "D") {
            sendResult("NO DIALTONE", 6);
            return;
        }
        std::string one;
        if (!execute(c, one)) {
            sendResult("ERROR", 4);
            return;
        }
        if (!one.empty()) {
            info += (info.empty() ? "" : "\r\n") + one;
        }
    }
    if (!info.empty()) {
        sendInfo(info);
    }
    sendResult("OK", 0);
}

bool Class2Modem::execute(const AtCommand &c, std::string &info) {
    if (c.extended) {
        return executeFax(c, info);
    }
    int v = 0;
    if (!c.value.empty() && !toInt(c.value, v)) {
        return false;
    }
    const std::string &n = c.name;
    if (n == "E") {
        echo_ = v != 0;
    } else if (n == "V") {
        verbose_ = v != 0;
    } else if (n == "Q") {
        quiet_ = v != 0;
    } else if (n == "Z" || n == "&F") {
        if (phase_ != Phase::OnHook && phase_ != Phase::Done) {
            endCall(page_ > 0 ? T30_ERR_TX_PHDDEAD : T30_ERR_TX_PHBDEAD, now_);
            hungUp_ = true;
        }
        reset();
    } else if (n == "H") {
        if (phase_ != Phase::OnHook && phase_ != Phase::Done) {
            logLine(opt_, "dte hangs up during the call");
            endCall(page_ > 0 ? T30_ERR_TX_PHDDEAD : T30_ERR_TX_PHBDEAD, now_);
        }
        if (answered_) {
            hungUp_ = true;
        }
    } else if (n == "I") {
        info = v == 0 ? "quillon-linesim"
                      : "Quillon line simulator, fax Class " + className(opt_.modemClass);
    } else if (n.size() > 1 && n[0] == 'S') {
        int reg = std::atoi(n.c_str() + 1);
        if (c.op == AtCommand::Op::Query) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%03d", reg == 0 ? s0_ : 0);
            info = buf;
        } else if (reg == 0) {
            s0_ = v;
        }
    } else if (n == "O") {
        return false;
    }
    // X, M, L, &C, &D, &K, &S, &W, W and the like: accepted and without effect here.
    return true;
}

bool Class2Modem::executeFax(const AtCommand &c, std::string &info) {
    const bool c20 = classTwoZero();
    const std::string &n = c.name;
    using Op = AtCommand::Op;
    auto is = [&](const char *class2, const char *class20) {
        return n == (c20 ? class20 : class2);
    };
    if (n == "+FCLASS") {
        if (c.op == Op::Test) {
            info = c20 ? "0,2.0" : "0,2";
        } else if (c.op == Op::Query) {
            info = fclass_ == 20 ? "2.0" : std::to_string(fclass_);
        } else if (c.value == "0") {
            fclass_ = 0;
        } else if (c.value == (c20 ? "2.0" : "2")) {
            fclass_ = c20 ? 20 : 2;
        } else {
            return false;
        }
        return true;
    }
    if (n.compare(0, 2, "+F") != 0) {
        return true; // other extended commands (+GMI, ...): accepted
    }
    if (fclass_ == 0 && n != "+FAA" && n != "+FMFR" && n != "+FMDL" && n != "+FREV" &&
        n != "+FMI" && n != "+FMM" && n != "+FMR") {
        return false; // fax commands need the fax class
    }
    if (is("+FMFR", "+FMI") && c.op != Op::Set) {
        info = "Quillon";
    } else if (is("+FMDL", "+FMM") && c.op != Op::Set) {
        info = "linesim Class " + className(opt_.modemClass);
    } else if (is("+FREV", "+FMR") && c.op != Op::Set) {
        info = "1.0";
    } else if (is("+FLID", "+FLI")) {
        if (c.op == Op::Test) {
            info = "(20),(32-127)";
        } else if (c.op == Op::Query) {
            info = "\"" + localId_ + "\"";
        } else if (c.op == Op::Set) {
            localId_ = unquote(c.value);
            if (localId_.size() > 20) {
                return false;
            }
        }
    } else if (is("+FDCC", "+FCC") || is("+FDIS", "+FIS")) {
        static const int kMax[8] = {1, 5, 2, 2, 1, 2, 1, 7};
        if (c.op == Op::Test) {
            info = "(0,1),(0-5),(0-2),(0-2),(0),(0),(0),(0-7)";
        } else if (c.op == Op::Query) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%d,%d,%d,%d,%d,%d,%d,%d", caps_[0], caps_[1], caps_[2],
                          caps_[3], caps_[4], caps_[5], caps_[6], caps_[7]);
            info = buf;
        } else if (c.op == Op::Set) {
            auto f = splitFields(c.value);
            if (f.size() > 8) {
                return false;
            }
            int next[8];
            std::copy(caps_, caps_ + 8, next);
            for (size_t k = 0; k < f.size(); ++k) {
                if (f[k].empty()) {
                    continue;
                }
                int v = 0;
                if (!toInt(f[k], v) || v > kMax[k]) {
                    return false;
                }
                next[k] = v;
            }
            // This modem receives 1D data without ECM; it reports DF and EC as 0 whatever
            // the receiver allows (T.32 8.5.1: the DCE may offer less than allowed).
            std::copy(next, next + 8, caps_);
        }
    } else if (n == "+FAA") {
        if (c.op == Op::Set && !toInt(c.value, faa_)) {
            return false;
        }
        if (c.op == Op::Query) {
            info = std::to_string(faa_);
        }
    } else if (n == "+FBO" || n == "+FBOR") {
        if (c.op == Op::Set && (!toInt(c.value, fbo_) || fbo_ > 3)) {
            return false;
        }
        if (c.op == Op::Query) {
            info = std::to_string(fbo_);
        } else if (c.op == Op::Test) {
            info = "(0-3)";
        }
    } else if (is("+FPTS", "+FPS")) {
        if (c.op == Op::Set) {
            auto f = splitFields(c.value);
            int v = 0;
            if (!toInt(f[0], v) || v < 1 || v > 5) {
                return false;
            }
            pageStatusOverride_ = v;
        } else if (c.op == Op::Query) {
            info = std::to_string(pageStatusOverride_ ? pageStatusOverride_ : quality_);
        }
    } else if (n == "+FKS" || n == "+FK") {
        if (phase_ != Phase::OnHook && phase_ != Phase::Done) {
            logLine(opt_, "dte terminates the session (%s)", n.c_str());
            // T.32 8.3.4: the DCE sends DCN and reports the hang-up.
            hangupReport(0x02, page_ > 0 ? T30_ERR_TX_BADPG : T30_ERR_TX_BADDCS, now_);
        }
    } else if (c.op == Op::Query) {
        info = "0"; // other parameters: reported as their default
    }
    // +FCR, +FLO, +FNR, +FIE, +FCQ, +FCT, +FPP, +FRQ, +FLP, +FSP, +FNS, +FPI, +FCIG, +FBUG,
    // +FAP, +FPR, +FPHCTO, +FET and the like: accepted; none changes how this modem answers.
    return true;
}

} // namespace quillon::linesim
