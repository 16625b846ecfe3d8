// The line side of the Class 2 / 2.0 modem: the call's timeline, page data and faults,
// and the run loop.

#include "caller.h"
#include "class2_modem.h"
#include "session.h"

#include <algorithm>
#include <cstdio>

extern "C" {
#include <spandsp.h>
#include <tiffio.h>
}

namespace quillon::linesim {

namespace {

constexpr uint8_t kDle = 0x10, kEtx = 0x03;

// T.30 timing. Frames go at 300 bit/s on V.21 after 1 s of flags (T.30 5.3.1); stations
// wait 75 ms between receiving and sending (T.30 5.3.2); CED lasts 2.6 to 4 s (T.30 4.2).
constexpr int kGapMs = 75;
constexpr int kCedMs = 3000;
constexpr int v21Ms(int frameBytes) {
    return 1000 + frameBytes * 8 * 1000 / 300;
}
constexpr int kCsiDisBytes = 25 + 13; // CSI (20 digits) and DIS with HDLC framing
constexpr int kTsiDcsBytes = 25 + 12;
constexpr int kShortFrameBytes = 5; // CFR, MCF, RTN, MPS, EOP, DCN
constexpr int kTcfMs = 1500;        // T.30 5.3.6.2.2: 1.5 s of zeros
constexpr int kT2Ms = 6000;         // T.30 T2
constexpr int kT4RepeatsMs = 9000;  // the caller repeats its command 3 times at T4 = 3 s
constexpr int kCarrierOffMs = 60;   // carrier-off detection after the caller's RTC

// T.32 hang-up status values.
constexpr int kHangNormal = 0x00;
constexpr int kHangRxPhaseB = 0x70;
constexpr int kHangRxPhaseC = 0x90;
constexpr int kHangRxPhaseD = 0xA0;

uint32_t noiseSeed = 0x2545F491;
uint8_t noiseByte() {
    noiseSeed ^= noiseSeed << 13;
    noiseSeed ^= noiseSeed >> 17;
    noiseSeed ^= noiseSeed << 5;
    uint8_t b = static_cast<uint8_t>(noiseSeed);
    return b ? b : 0x5A;
}

} // namespace

void Class2Modem::ring() {
    if (phase_ != Phase::OnHook || answered_) {
        return;
    }
    ringing_ = true;
    ++ringsSeen_;
    sendResult("RING", 2);
    if (s0_ > 0 && ringsSeen_ >= s0_ && (fclass_ != 0 || faa_ != 0)) {
        logLine(opt_, "auto-answer after %d rings (S0)", ringsSeen_);
        startAnswer(now_);
    }
}

void Class2Modem::startAnswer(int64_t nowMs) {
    answered_ = true;
    answerMs_ = nowMs;
    phase_ = Phase::AnswerDis;
    // CED, CSI and DIS go out; the caller's flags are detected 300 ms into its preamble.
    due_ = nowMs + kCedMs + kGapMs + v21Ms(kCsiDisBytes) + kGapMs + 300;
    logLine(opt_, "answering");
}

int Class2Modem::trainingMs(bool longTrain) const {
    switch (dcs_[1]) {
    case 0:
        return 943; // V.27ter 2400
    case 1:
        return 708; // V.27ter 4800
    case 2:
    case 3:
        if (!opt_.v29) {
            return longTrain ? 1393 : 142; // V.17
        }
        return 253; // V.29
    default:
        return longTrain ? 1393 : 142; // V.17 long / short train
    }
}

// Picks the session parameters a T.30 transmitter would send in DCS: the highest common
// rate, the page's resolution and width, and the receiver's scan time.
void Class2Modem::negotiate() {
    const T4Page &p = pages_.front();
    int best = -1;
    for (int br = std::min(caps_[1], 5); br >= 0 && best < 0; --br) {
        if ((br <= 1 && opt_.v27ter) || ((br == 2 || br == 3) && (opt_.v29 || opt_.v17)) ||
            (br >= 4 && opt_.v17)) {
            best = br;
        }
    }
    static const int kRates[6] = {2400, 4800, 7200, 9600, 12000, 14400};
    status_ = T30_ERR_OK;
    if (best < 0) {
        status_ = T30_ERR_INCOMPATIBLE;
        best = 0;
    }
    rateBps_ = kRates[best];
    const int wd = p.width <= 1728 ? 0 : (p.width <= 2048 ? 1 : 2);
    const int maxRows = p.fine ? 2287 : 1143; // A4 length
    const int ln = p.rows <= maxRows ? 0 : (p.rows <= maxRows * 364 / 297 ? 1 : 2);
    if (p.fine && caps_[0] < 1) {
        status_ = T30_ERR_NORESSUPPORT;
    } else if (wd > caps_[2] || ln > caps_[3]) {
        status_ = T30_ERR_NOSIZESUPPORT;
    }
    int dcs[8] = {p.fine ? 1 : 0, best, wd, ln, 0, 0, 0, caps_[7]};
    std::copy(dcs, dcs + 8, dcs_);
    // Minimum scan line time (T.30 Table 2 / T.32 ST values) pads short lines.
    static const int kScanStd[8] = {0, 5, 10, 10, 20, 20, 40, 40};
    static const int kScanFine[8] = {0, 5, 5, 10, 10, 20, 20, 40};
    const int scanMs = p.fine ? kScanFine[dcs_[7]] : kScanStd[dcs_[7]];
    if (scanMs > 0 && status_ == T30_ERR_OK) {
        std::vector<T4Page> padded;
        if (loadT4Pages(opt_.file, padded, rateBps_ * scanMs / 1000).empty()) {
            pages_ = std::move(padded);
        }
    }
}

std::string Class2Modem::dcsReport() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s:%d,%d,%d,%d,%d,%d,%d,%d", classTwoZero() ? "+FCS" : "+FDCS",
                  dcs_[0], dcs_[1], dcs_[2], dcs_[3], dcs_[4], dcs_[5], dcs_[6], dcs_[7]);
    return buf;
}

// Class 2.0 reports the T.32 value in hexadecimal ("+FHS:A0"); Class 2 writes the same
// table's codes in decimal ("+FHNG:100"), which for codes below A0 reads the same digits.
std::string Class2Modem::hangupCode(int code) const {
    char buf[16];
    if (classTwoZero()) {
        std::snprintf(buf, sizeof buf, "%02X", code);
    } else if (code >= 0xA0) {
        std::snprintf(buf, sizeof buf, "%d", 100 + (code - 0xA0));
    } else {
        std::snprintf(buf, sizeof buf, "%X", code);
    }
    return buf;
}

void Class2Modem::hangupReport(int code, int callerStatus, int64_t nowMs) {
    sendInfo((classTwoZero() ? "+FHS:" : "+FHNG:") + hangupCode(code));
    endCall(callerStatus, nowMs);
}

void Class2Modem::endCall(int callerStatus, int64_t nowMs) {
    if (phase_ == Phase::Done) {
        return;
    }
    status_ = callerStatus;
    phase_ = Phase::Done;
    inPage_ = false;
    endMs_ = nowMs;
    logLine(opt_, "call ends: caller status %d, %d pages confirmed", status_, confirmed_);
}

void Class2Modem::startPageClock(int64_t nowMs) {
    inPage_ = true;
    pageStartMs_ = nowMs;
    sent_ = 0;
    released_ = false;
    xoff_ = false;
    etxSent_ = false;
    quality_ = 1;
    pageStatusOverride_ = 0;
    dropMs_ = -1;
    dataDoneMs_ = -1;
    // The page as the receiver will get it, with the line's faults applied.
    data_ = pages_[static_cast<size_t>(page_ - 1)].data;
    dataStartMs_ = nowMs + kGapMs + trainingMs(false);
    if (opt_.noise && opt_.noise->page == page_ && resentPage_ != page_) {
        // A noise burst garbles the bytes on the line during its window (T.4 lines there
        // decode wrongly), and the modem's copy-quality check reports the page bad.
        const int64_t from = pageStartMs_ + opt_.noise->ms, to = from + opt_.noise->lengthMs;
        int hit = 0;
        for (size_t i = 0; i < data_.size(); ++i) {
            const int64_t at = dataStartMs_ + int64_t(i) * 8000 / rateBps_;
            if (at >= from && at < to && (i % 3) == 0) {
                data_[i] ^= noiseByte();
                ++hit;
            }
        }
        if (hit > 0) {
            quality_ = 2;
            logLine(opt_, "noise burst garbles %d bytes of page %d", hit, page_);
        }
    }
}

int64_t Class2Modem::lineBytesAt(int64_t nowMs) const {
    const int64_t until = dropMs_ >= 0 ? std::min(nowMs, dropMs_) : nowMs;
    if (until <= dataStartMs_) {
        return 0;
    }
    return std::min<int64_t>(int64_t(data_.size()), (until - dataStartMs_) * rateBps_ / 8000);
}

void Class2Modem::sendPageBytes(size_t upTo) {
    // Class 2: the first bit on the line is sent as each byte's MSB; Class 2.0 sends it as
    // the LSB (T.32 8.5.1, +FBO=0) unless +FBO asks for the reverse.
    const bool reverse = classTwoZero() ? (fbo_ & 1) != 0 : true;
    std::vector<uint8_t> out;
    out.reserve((upTo - sent_) * 2);
    for (; sent_ < upTo; ++sent_) {
        uint8_t b = reverse ? reverseBits(data_[sent_]) : data_[sent_];
        out.push_back(b);
        if (b == kDle) {
            out.push_back(kDle); // T.32 8.5.2: DLE in the data is doubled
        }
    }
    pty_.write(out.data(), out.size());
}

void Class2Modem::vanish() {
    vanished_ = true;
    if (phase_ != Phase::OnHook && phase_ != Phase::Done) {
        endCall(T30_ERR_CALLDROPPED, now_);
    }
}

void Class2Modem::step(int64_t nowMs) {
    now_ = nowMs;
    switch (phase_) {
    case Phase::OnHook:
    case Phase::Done:
        return;
    case Phase::AnswerDis:
        if (nowMs >= due_) {
            sendInfo(classTwoZero() ? "+FCO" : "+FCON");
            phase_ = Phase::AnswerDcs;
            due_ = nowMs + v21Ms(kTsiDcsBytes) - 300;
        }
        return;
    case Phase::AnswerDcs:
        if (nowMs < due_) {
            return;
        }
        negotiate();
        if (status_ != T30_ERR_OK) {
            // The caller cannot send this document to this receiver: it sends DCN.
            logLine(opt_, "caller cannot send with the receiver's capabilities: DCN");
            hangupReport(kHangRxPhaseB, status_, nowMs);
            sendResult("OK", 0);
            return;
        }
        sendInfo((classTwoZero() ? "+FTI:\"" : "+FTSI:\"") + opt_.stationId + "\"");
        sendInfo(dcsReport());
        sendResult("OK", 0);
        tcfEndMs_ = nowMs + kGapMs + trainingMs(true) + kTcfMs;
        deadline_ = tcfEndMs_ + kT4RepeatsMs;
        phase_ = Phase::WaitFdrB;
        page_ = 0;
        return;
    case Phase::WaitFdrB:
    case Phase::WaitFdrD:
        if (nowMs >= deadline_) {
            logLine(opt_, "the receiver did not answer in time: the caller gives up");
            hangupReport(phase_ == Phase::WaitFdrB ? kHangRxPhaseB : kHangRxPhaseD,
                         phase_ == Phase::WaitFdrB ? T30_ERR_TX_PHBDEAD : T30_ERR_TX_PHDDEAD,
                         nowMs);
        }
        return;
    case Phase::Retrain:
        if (nowMs >= due_) {
            sendInfo(dcsReport());
            tcfEndMs_ = nowMs + kGapMs + trainingMs(true) + kTcfMs;
            phase_ = Phase::SendCfr;
            due_ = tcfEndMs_ + kGapMs + v21Ms(kShortFrameBytes);
        }
        return;
    case Phase::SendCfr:
        if (nowMs >= due_) {
            ++page_;
            startPageClock(nowMs);
            phase_ = Phase::Training;
        }
        return;
    case Phase::Training:
        if (nowMs >= dataStartMs_) {
            sendResult("CONNECT", 1);
            phase_ = Phase::PageData;
            deadline_ = dataStartMs_ + int64_t(data_.size()) * 8000 / rateBps_ + kT4RepeatsMs;
        }
        return;
    case Phase::PageData: {
        if (opt_.dropInPage && dropMs_ < 0 && page_ == opt_.dropInPage->page &&
            nowMs - pageStartMs_ >= opt_.dropInPage->ms) {
            dropMs_ = nowMs;
            logLine(opt_, "caller drops the line %d ms into page %d", opt_.dropInPage->ms, page_);
        }
        const auto avail = static_cast<size_t>(lineBytesAt(nowMs));
        if (released_ && !xoff_) {
            sendPageBytes(avail);
        }
        if (!released_ && nowMs >= deadline_) {
            logLine(opt_, "the receiver never released the page data");
            hangupReport(kHangRxPhaseC, T30_ERR_TX_PHDDEAD, nowMs);
            return;
        }
        if (dropMs_ >= 0) {
            // Carrier lost: the modem ends the data, then waits T2 for a post-page message.
            if (nowMs >= dropMs_ + 200 + kCarrierOffMs && sent_ == avail && released_) {
                const uint8_t etx[2] = {kDle, kEtx};
                pty_.write(etx, 2);
                inPage_ = false;
                phase_ = Phase::Drained;
                due_ = nowMs + kT2Ms;
            }
            return;
        }
        if (sent_ == data_.size() && released_ && dataDoneMs_ < 0) {
            dataDoneMs_ = nowMs;
        }
        // The modem ends the data when it sees the caller's carrier drop after RTC, a few
        // tens of milliseconds after the last byte (not in the same breath).
        if (dataDoneMs_ >= 0 && nowMs >= dataDoneMs_ + kCarrierOffMs) {
            const uint8_t etx[2] = {kDle, kEtx};
            pty_.write(etx, 2);
            inPage_ = false;
            phase_ = Phase::PostPage;
            due_ = nowMs + kGapMs + v21Ms(kShortFrameBytes);
        }
        return;
    }
    case Phase::Drained:
        if (nowMs >= due_) {
            hangupReport(kHangRxPhaseD, T30_ERR_CALLDROPPED, nowMs);
            sendResult("OK", 0);
        }
        return;
    case Phase::PostPage:
        if (nowMs >= due_) {
            const T4Page &p = pages_[static_cast<size_t>(page_ - 1)];
            char buf[64];
            if (classTwoZero()) {
                std::snprintf(buf, sizeof buf, "+FPS:%d,%d,0,0,0", quality_, p.rows);
            } else {
                std::snprintf(buf, sizeof buf, "+FPTS:%d,%d,0,0", quality_, p.rows);
            }
            sendInfo(buf);
            const bool last = page_ >= static_cast<int>(pages_.size());
            sendInfo(last ? "+FET:2" : (opt_.eomAfter == page_ ? "+FET:1" : "+FET:0"));
            sendResult("OK", 0);
            phase_ = Phase::WaitFdrD;
            deadline_ = nowMs + kT4RepeatsMs;
        }
        return;
    case Phase::SendResponse: {
        if (nowMs < due_) {
            return;
        }
        const int resp = pageStatusOverride_ ? pageStatusOverride_ : quality_;
        const bool good = resp == 1 || resp == 3 || resp == 5;
        if (good) {
            ++confirmed_;
        }
        logLine(opt_, "post-page response to page %d: %s", page_,
                good ? "MCF" : (resp == 2 ? "RTN" : "PIN"));
        // T.30 5.3.6.2.3: after RTN the transmitter may retrain and send the page again.
        const bool resend = !good && opt_.resendBad && resentPage_ != page_;
        if (page_ >= static_cast<int>(pages_.size()) && !resend) {
            phase_ = Phase::WaitDcn;
            due_ = nowMs + kGapMs + v21Ms(kShortFrameBytes) + (opt_.noDcn ? kT2Ms : 0);
            if (opt_.noDcn) {
                logLine(opt_, "caller leaves without DCN");
            }
            return;
        }
        if (resend) {
            logLine(opt_, "caller sends page %d again", page_);
            resentPage_ = page_;
            --page_; // the retrain below starts the same page again
            phase_ = Phase::Retrain;
            due_ = nowMs + kGapMs + v21Ms(kTsiDcsBytes - 25);
        } else if (good && opt_.eomAfter == page_) {
            // After MCF to EOM the call goes back to phase B: a new DCS and training, then
            // the next document.
            logLine(opt_, "next document after EOM");
            phase_ = Phase::Retrain;
            due_ = nowMs + kGapMs + v21Ms(kTsiDcsBytes - 25);
        } else if (resp == 1 || resp == 5) {
            ++page_;
            startPageClock(nowMs);
            phase_ = Phase::Training;
        } else {
            // T.30 5.3.6.2.3: after RTN/RTP the transmitter retrains with DCS and TCF; this
            // caller then goes on with its next page.
            phase_ = Phase::Retrain;
            due_ = nowMs + kGapMs + v21Ms(kTsiDcsBytes - 25);
        }
        return;
    }
    case Phase::WaitDcn:
        if (nowMs >= due_) {
            hangupReport(kHangNormal, T30_ERR_OK, nowMs);
            sendResult("OK", 0);
        }
        return;
    }
}

CallResult runClass2(const Options &opt, PtyPort &pty) {
    CallResult result;
    result.modemClass = className(opt.modemClass);
    std::vector<T4Page> pages;
    std::string err = loadT4Pages(opt.file, pages);
    if (!err.empty()) {
        std::fprintf(stderr, "quillon-linesim: %s\n", err.c_str());
        result.status = T30_ERR_FILEERROR;
        result.statusText = completionText(result.status);
        return result;
    }
    Class2Modem modem(opt, pty, std::move(pages));
    Ticker ticker(true);
    RingSchedule ring(opt);
    bool firstByte = false;
    bool vanished = false;
    if (opt.ringAtStart) {
        ring.arm(0);
    }
    auto vanish = [&](const char *why) {
        logLine(opt, "the modem vanishes (%s)", why);
        pty.close();
        vanished = true;
        modem.vanish();
    };
    auto feed = [&](const uint8_t *data, size_t len) {
        if (!firstByte) {
            firstByte = true;
            ring.arm(ticker.ms());
            if (opt.vanish && opt.vanish->kind == VanishMoment::Kind::Open) {
                vanish("receiver opened the port");
                return;
            }
        }
        modem.onDteBytes(data, len);
    };
    bool gaveUp = false;
    int64_t endSeenMs = -1, onHookMs = -1;
    for (;;) {
        if (!ticker.wait(vanished ? nullptr : &pty, feed)) {
            vanish("port failed");
        }
        if (vanished) {
            break;
        }
        const int64_t now = ticker.ms();
        if (!modem.answered() && ring.due(now)) {
            if (opt.vanish && opt.vanish->kind == VanishMoment::Kind::Ring &&
                ring.rings() == opt.vanish->number) {
                vanish("ring");
                break;
            }
            logLine(opt, "RING %d", ring.rings());
            modem.ring();
        }
        if (!modem.answered() && ring.gaveUp(now)) {
            logLine(opt, "no answer after %d rings: the caller gives up", ring.rings());
            gaveUp = true;
            break;
        }
        modem.step(now);
        if (modem.answered() && opt.vanish) {
            const auto &v = *opt.vanish;
            if (v.kind == VanishMoment::Kind::Answer ||
                (v.kind == VanishMoment::Kind::AfterAnswer && now - modem.answerMs() >= v.number) ||
                (v.kind == VanishMoment::Kind::Page && modem.inPage() &&
                 modem.currentPage() == v.number && modem.pageMs(now) >= v.ms)) {
                vanish("fault moment reached");
                break;
            }
        }
        if (modem.callEnded() && endSeenMs < 0) {
            endSeenMs = now;
        }
        if (modem.onHookAfterCall() && onHookMs < 0) {
            onHookMs = now;
        }
        // After the receiver's hang-up the port stays a moment for its closing commands; a
        // modem that reported the hang-up itself is on-hook and waits a little longer.
        if (endSeenMs >= 0 && ((onHookMs >= 0 && now - onHookMs >= kClosingMs) ||
                               now - endSeenMs >= std::min(opt.lingerMs, 4000))) {
            break;
        }
        if (now >= int64_t(opt.maxCallS) * 1000) {
            logLine(opt, "run time limit reached");
            modem.vanish();
            break;
        }
    }
    if (gaveUp) {
        result.status = T30_ERR_T0_EXPIRED;
    } else if (!modem.answered()) {
        result.status = T30_ERR_CALLDROPPED;
    } else {
        result.status = modem.status();
        result.pagesSent = modem.pagesSent();
        const int64_t end = modem.endMs() >= 0 ? modem.endMs() : ticker.ms();
        result.durationS = double(end - modem.answerMs()) / 1000.0;
    }
    result.statusText = completionText(result.status);
    return result;
}

} // namespace quillon::linesim
