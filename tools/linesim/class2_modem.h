#pragma once

#include "class2_commands.h"
#include "options.h"
#include "page_source.h"
#include "pty_port.h"
#include "session.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::linesim {

// A Class 2 (EIA/TIA-592) or Class 2.0 (ITU-T T.32) fax modem answering a call from a
// scripted calling fax machine.
//
// The modem runs the T.30 procedure itself and reports it in +F result lines; the caller is
// a model of a T.30 transmitter (the T.4 data of each page comes from spandsp's encoder, the
// line timing follows T.30's frame and training lengths at the negotiated rate). Both are
// stepped every 20 ms on the simulator's thread; nothing here blocks.
//
// Class differences: command and report names (+FDCC/+FCC, +FLID/+FLI, +FDCS/+FCS,
// +FTSI/+FTI, +FPTS/+FPS, +FHNG/+FHS), the hang-up code format (decimal for Class 2,
// hexadecimal for 2.0) and the bit order of page data (Class 2: the first bit on the
// line is each byte's most significant bit; Class 2.0: the least significant, unless
// +FBO says otherwise).
class Class2Modem {
  public:
    Class2Modem(const Options &opt, PtyPort &pty, std::vector<T4Page> pages);

    // Bytes from the receiver.
    void onDteBytes(const uint8_t *data, size_t len);
    // One 20 ms step at line time `nowMs`.
    void step(int64_t nowMs);
    // A ring of the incoming call.
    void ring();
    // The modem closes the port: the caller sees the line drop.
    void vanish();

    bool answered() const { return answered_; }
    bool callEnded() const { return phase_ == Phase::Done; }
    bool onHookAfterCall() const { return callEnded() && hungUp_; }
    int64_t answerMs() const { return answerMs_; }
    int64_t endMs() const { return endMs_; }
    int pagesSent() const { return confirmed_; }
    int status() const { return status_; }
    int currentPage() const { return page_; }
    bool inPage() const { return inPage_; }
    int64_t pageMs(int64_t nowMs) const { return nowMs - pageStartMs_; }

  private:
    enum class Phase {
        OnHook,       // idle or ringing
        AnswerDis,    // CED and DIS going out, waiting for the caller's first frame
        AnswerDcs,    // caller's TSI/DCS arriving
        WaitFdrB,     // +FCS reported; waiting for the DTE's +FDR
        SendCfr,      // CFR going out
        Retrain,      // after RTN: the caller's DCS and TCF again
        Training,     // the caller's training before page data
        PageData,     // page data on the line (and to the DTE once released)
        PostPage,     // the caller's post-page message arriving
        WaitFdrD,     // +FPS/+FET reported; waiting for the DTE's +FDR
        SendResponse, // MCF/RTN going out
        WaitDcn,      // after MCF to EOP
        Drained,      // line gone mid-page; waiting out T2 before the hang-up report
        Done
    };

    // Commands.
    void executeLine(const std::string &line);
    bool execute(const AtCommand &c, std::string &info);
    bool executeFax(const AtCommand &c, std::string &info);
    void reset();

    // Output.
    void sendResult(const char *verbose, int numeric);
    void sendInfo(const std::string &text);
    void sendPageBytes(size_t upTo);

    // The call.
    void startAnswer(int64_t nowMs);
    void negotiate();
    std::string dcsReport() const;
    std::string hangupCode(int code) const;
    void hangupReport(int code, int callerStatus, int64_t nowMs);
    void endCall(int callerStatus, int64_t nowMs);
    void startPageClock(int64_t nowMs);
    int trainingMs(bool longTrain) const;
    int64_t lineBytesAt(int64_t nowMs) const;
    bool classTwoZero() const { return opt_.modemClass == ModemClass::Class2_0; }

    const Options &opt_;
    PtyPort &pty_;
    std::vector<T4Page> pages_;
    ErrorInjector injector_{opt_};
    std::vector<uint8_t> data_; // current page as it goes to the DTE (after faults)

    // Settings.
    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    int fclass_ = 0; // 0, 2 or 20
    int s0_ = 0;
    int faa_ = 0;
    int fbo_ = 0;
    std::string localId_;
    int caps_[8] = {1, 5, 0, 2, 0, 0, 0, 0}; // VR,BR,WD,LN,DF,EC,BF,ST the DTE accepts
    int pageStatusOverride_ = 0;             // +FPS=n before +FDR

    // Call state.
    Phase phase_ = Phase::OnHook;
    std::string line_;
    bool ringing_ = false;
    int ringsSeen_ = 0;
    bool answered_ = false;
    bool hungUp_ = false;
    int64_t now_ = 0;
    int64_t answerMs_ = -1;
    int64_t endMs_ = -1;
    int64_t due_ = 0;      // when the current phase's line event completes
    int64_t deadline_ = 0; // when the caller gives up waiting for the DTE
    int64_t tcfEndMs_ = 0;
    int status_ = 0;
    int dcs_[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int rateBps_ = 14400;
    int page_ = 0; // 1-based page on the line
    int confirmed_ = 0;
    bool inPage_ = false;
    int64_t pageStartMs_ = 0;
    int64_t dataStartMs_ = 0;
    size_t sent_ = 0; // bytes of data_ given to the DTE
    bool released_ = false;
    bool xoff_ = false;
    bool etxSent_ = false;
    int quality_ = 1;         // +FPS value the modem reports for this page
    int64_t dropMs_ = -1;     // the line time the caller dropped
    int64_t dataDoneMs_ = -1; // the last byte of the page went to the receiver
    bool vanished_ = false;
    int resentPage_ = 0; // the page being sent again after RTN (--resend-bad)
};

} // namespace quillon::linesim
