// The Class 2 and 2.0 receive states: the modem runs T.30 itself and reports it in +F result
// lines; the engine configures it, answers, reads the reports, stores the page data released
// by DC2, and tells the modem to go on with +FDR. Both classes share these states; the class
// command table loaded at preparation and start holds their differences.

#include "fax/fax_session.h"

namespace quillon::fax {

void TFaxSession::LoadClass2Table(TFaxClass cls) {
    class2Table_ = Class2Table(cls);
    class2HangupKeyword_ = std::string(Class2HangupKeyword(cls));
}

// Copy quality reporting on, the local identifier and the answer mode; the commands that
// the preparation and the start share.
bool TFaxSession::Class2ParameterCommands(const TSessionSettings &s) {
    return ExecuteCommand("AT+FCR=1") &&
           ExecuteCommand(class2Table_[c2LocalId] + "=\"" + s.stationId + "\"") &&
           ExecuteCommand(std::string("AT+FAA=") + (s.faxAndData ? "1" : "0"));
}

bool TFaxSession::Class2Prepare() {
    TSessionSettings s = Settings();
    LoadClass2Table(activeClass_);
    if (!ExecuteCommand(class2Table_[c2ClassSelect])) {
        return false;
    }
    SwitchToSessionSpeed();
    if (!Class2ParameterCommands(s) ||
        !ExecuteCommand(Class2CapabilityCommand(class2Table_, s.desiredBps, false))) {
        return false;
    }
    // A Class 2 modem is left in class 0 until the session selects its class again. This
    // comes last: a modem in class 0 refuses the fax parameter commands.
    return activeClass_ != fcClass2 || ExecuteCommand("AT+FCLASS=0");
}

bool TFaxSession::Class2StartCommands() {
    TSessionSettings s = Settings();
    LoadClass2Table(activeClass_);
    if (!ExecuteCommand(class2Table_[c2ClassSelect])) {
        return false;
    }
    SwitchToSessionSpeed();
    return Class2ParameterCommands(s);
}

void TFaxSession::Class2Init() {
    acceptAsked_ = false;
    SendCommand(class2Table_[c2ClassSelect]);
}

void TFaxSession::Class2SessionParams() {
    TClass2Params p = ParseClass2Params(StripPrefix(line_));
    connectBps_.store(static_cast<uint16_t>(p.bps));
    fine_.store(p.fine);
    wide_.store(p.wide);
    ecm_.store(p.ecm);
    scanCode_ = p.scanCode;
    minBytesPerLine_ = MinBytesPerLine(p.scanCode, p.fine, p.bps);
    SetProgress(progSessionParams);
    statusChanged_ = true;
}

// Asks the component about the caller and opens the file. False when the call ends here
// (refused, or the file cannot be made).
bool TFaxSession::Class2AcceptAndOpen() {
    acceptAsked_ = true;
    if (!AskAccept()) {
        // The modem ends the session with the caller (DCN) at once.
        if (comm::TBaseDispatcher *d = disp_.load()) {
            NoteFailure(d->WriteText("AT+FKS\r"));
        }
        ReportError(kErrFileRejected);
        HangUp();
        statusChanged_ = true;
        SendLog(lfaxReceiveSkip);
        SetState(rfAbort);
        return false;
    }
    SetProgress(progRemoteID);
    statusChanged_ = true;
    if (fileState_ == 3) {
        int32_t rc = OpenFaxFile();
        if (rc != 0) {
            ReportError(rc);
            SetState(rfAbort);
            return false;
        }
        SendLog(lfaxReceiveStart);
        fileState_ = 2;
        currentPage_.store(0);
    }
    return true;
}

// The modem's verdict on the page just received. A bad page is cut off the file and its
// number given back, so that the page the caller sends again (after the modem's RTN) takes
// its place and the page chain stays intact.
void TFaxSession::Class2PageResult() {
    SetProgress(progEndOfPage);
    statusChanged_ = true;
    if (!file_.PageOpen()) {
        return; // a report without page data (a repeated report): nothing to decide
    }
    if (Class2PageGood(StripPrefix(line_))) {
        // The modem checked the copy quality (+FCR=1) and said good; our own row counts
        // still reach the call's figures.
        damagedRows_.store(damagedRows_.load() + quality_.Quality().rowsDamaged);
        pageConfirmed_ = true;
        int32_t rc = file_.EndPage();
        if (rc != 0) {
            ReportError(rc);
            SetState(rfAbort);
        }
        return;
    }
    pageConfirmed_ = false;
    pagesRejected_.store(static_cast<uint16_t>(pagesRejected_.load() + 1));
    int32_t rc = file_.DiscardPage();
    if (rc != 0) {
        ReportError(rc);
        SetState(rfAbort);
        return;
    }
    currentPage_.store(static_cast<uint16_t>(currentPage_.load() - 1));
}

void TFaxSession::Class2Action(bool /*dataEvent*/, bool /*timerEvent*/) {
    comm::TBaseDispatcher *d = disp_.load();
    const std::string &line = line_;
    const TClass2Table &t = class2Table_;
    auto ok = [&] { return LineHas(line, "OK"); };
    const bool softwareFlow = (Settings().options & kOptSoftwareFlow) != 0;

    switch (state_) {
    case rf2Init1:
    case rf2Init1A:
    case rf2Init1B:
    case rf2Init3:
        if (line == "RING") {
            // A call that rings while the modem is set up is answered on a later ring.
            ResetReply();
        } else if (!ok()) {
            ReportError(kErrFaxInitError);
            SetState(rfAbort);
        } else if (state_ == rf2Init1) {
            SwitchToSessionSpeed();
            TSessionSettings s = Settings();
            SendCommand(Class2CapabilityCommand(t, s.desiredBps, s.desiredEcm));
            SetState(activeClass_ == fcClass2_0 ? rf2Init1A : rf2Init3);
        } else if (state_ == rf2Init1A) {
            SendCommand("AT+FLO=2"); // hardware flow control
            SetState(rf2Init1B);
        } else if (state_ == rf2Init1B) {
            SendCommand("AT+FNR=1,1,1,0"); // report the caller's id and session parameters
            SetState(rf2Init3);
        } else {
            DisarmStateTimer();
            SetProgress(progWaitingCall);
            SetState(rfWaiting);
        }
        break;

    case rf2ValCnnct:
        if (LineHas(line, t[c2Connect])) {
            ArmStateTimer(replyTimeoutTicks_);
            SetReplyTimer(replyTimeoutTicks_);
            SetProgress(progCallIsFax);
            statusChanged_ = true;
            SetState(rf2GtSndID);
        } else {
            ResetReply();
        }
        break;

    case rf2GtSndID:
        if (LineHas(line, t[c2CallerId])) {
            ResetReply();
            std::string id = Class2CallerId(line);
            {
                std::lock_guard g(dataMutex_);
                remoteId_ = id;
            }
            file_.SetRemoteId(id);
            Class2AcceptAndOpen();
        } else if (LineHas(line, t[c2SessionParams])) {
            ResetReply();
            Class2SessionParams();
        } else if (ok()) {
            // A caller that sent no identifier is asked about all the same, so that a
            // refusal by the component cannot be passed by.
            if (!acceptAsked_ && !Class2AcceptAndOpen()) {
                break;
            }
            SendCommand("AT+FDR");
            statusChanged_ = true;
            SetState(rf2GtCnnct);
        } else {
            ResetReply();
        }
        break;

    case rf2GtCnnct:
        if (LineHas(line, t[c2SessionParams])) {
            ResetReply();
            Class2SessionParams();
        } else if (LineHas(line, "CONNECT")) {
            if (softwareFlow && d != nullptr) {
                NoteFailure(d->SetSoftwareFlow(6144, 2048, 2));
            }
            SetState(rfStartPage);
        } else {
            ResetReply();
        }
        break;

    case rf2GtPgRslt:
        if (LineHas(line, t[c2PageStatus])) {
            ResetReply();
            Class2PageResult();
        } else if (LineHas(line, "+FET")) {
            ResetReply();
            SetProgress(progEndOfDocument);
            statusChanged_ = true;
            // EOM: the next document's pages go on in the same file.
            fileState_ = ParsePostPage(StripPrefix(line)) == TPostPage::Eop ? 4 : 2;
        } else if (ok()) {
            SendCommand("AT+FDR");
            // After a bad last page the caller may send it again; the fax ends only with a
            // confirmed last page.
            if (fileState_ == 4 && pageConfirmed_) {
                CloseFaxFile();
                SendLog(lfaxReceiveOK);
                SetProgress(progWaitingHangup);
                statusChanged_ = true;
                SetState(rf2GetFHNG);
            } else {
                fileState_ = 2;
                SetState(rf2GtCnnct);
            }
        } else {
            ResetReply();
        }
        break;

    case rf2GetFHNG:
        if (LineHas(line, class2HangupKeyword_)) {
            hangupCode_.store(ParseHangupCode(line, activeClass_));
            SetProgress(progGotHangupCode);
            statusChanged_ = true;
            ResetReply();
        } else if (LineHas(line, "+FET")) {
            SetProgress(progWaitingHangup);
            statusChanged_ = true;
            ResetReply();
        } else if (ok()) {
            SetState(rfComplete);
        } else {
            ResetReply();
        }
        break;

    default:
        break;
    }
}

void TFaxSession::Class2PageEnded() {
    SetState(rf2GtPgRslt);
}

} // namespace quillon::fax
