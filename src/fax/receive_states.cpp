// The receive states every modem class shares: initialisation for a new call, waiting for
// rings, answering, page start, page data, completion, abort, and the hang-up.

#include "fax/fax_session.h"

#include <filesystem>

namespace quillon::fax {

namespace {

// Class 2 modems deliver each byte with its bits in the opposite order.
uint8_t ReverseBits(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        r = static_cast<uint8_t>((r << 1) | ((b >> i) & 1));
    }
    return r;
}

} // namespace

void TFaxSession::StateInit() {
    comm::TBaseDispatcher *d = disp_.load();
    TSessionSettings s = Settings();
    lastDataByte_ = 255;
    ClearReplyLine();
    line_.clear();
    fileState_ = 3;
    currentPage_.store(0);
    ringCount_ = 0;
    pageBytes_.store(0);
    {
        std::lock_guard g(dataMutex_);
        remoteId_.clear();
        faxFileName_.clear();
    }
    pageConfirmed_ = false;
    eom_ = false;
    morePages_ = false;
    // Every call starts with a fresh retry budget: a count kept for the life of the session
    // would abort every call once three retries had ever happened.
    retryCount_ = 0;
    if (s.constantStatus && !statusRunning_) {
        SendStatus(true, false);
    }
    if ((s.options & kOptSoftwareFlow) != 0 && d != nullptr) {
        NoteFailure(d->ClearSoftwareFlow());
    }
    if (d != nullptr) {
        NoteFailure(d->SetSignals(true, true));
    }
    if (activeClass_ == fcClass1) {
        SetState(rf1Init1);
        SendCommand("AT+FCLASS=1");
    } else {
        SetState(rf2Init1);
        Class2Init();
    }
    ArmStateTimer(replyTimeoutTicks_);
}

void TFaxSession::StateWaiting() {
    const std::string &line = line_;
    if (LineHas(line, "RING")) {
        ++ringCount_;
        int32_t answerOn = std::max<int32_t>(1, Settings().answerOnRing);
        if (ringCount_ < answerOn) {
            ResetReply();
            return;
        }
        fileState_ = 3;
        if (!statusRunning_) {
            SendStatus(true, false);
        }
        ArmStateTimer(replyTimeoutTicks_);
        SetState(rfAnswer);
    } else if (LineHas(line, "NO C")) {
        SetProgress(progNoConnect);
        statusChanged_ = true;
    } else if (LineHas(line, "CONNECT")) {
        ReportError(kErrFaxDataCall);
        SetState(rfAbort);
    } else if (LineHas(line, "VOICE") || LineHas(line, "VCON")) {
        ReportError(kErrFaxVoiceCall);
        SetState(rfAbort);
    } else {
        ResetReply();
    }
}

void TFaxSession::StateAnswer() {
    if (!statusRunning_) {
        SendStatus(true, false);
    }
    SendCommand("ATA");
    ArmStateTimer(answerTimeoutTicks_);
    SetReplyTimer(answerTimeoutTicks_);
    SetProgress(progAnswering);
    statusChanged_ = true;
    SetState(activeClass_ == fcClass1 ? rf1SendCSI : rf2ValCnnct);
}

int32_t TFaxSession::OpenFaxFile() {
    std::string name = RequestFileName();
    if (name.empty()) {
        return kErrFileNotFound;
    }
    // The destination folder is made when it is missing rather than failing the call.
    std::filesystem::path parent = std::filesystem::path(name).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
    }
    std::string remote = RemoteStationID();
    int32_t rc = file_.OpenFaxFile(name, remote);
    if (rc == 0) {
        std::lock_guard g(dataMutex_);
        faxFileName_ = name;
    }
    return rc;
}

void TFaxSession::CloseFaxFile() {
    if (file_.IsOpen()) {
        NoteFailure(file_.FinishFaxFile());
    }
    std::lock_guard g(dataMutex_);
    faxFileName_.clear();
}

void TFaxSession::StateStartPage() {
    currentPage_.store(static_cast<uint16_t>(currentPage_.load() + 1));
    int32_t rc = 0;
    uint16_t flags =
        static_cast<uint16_t>((fine_.load() ? kApfFine : 0) | (wide_.load() ? kApfWide : 0));
    if (fileState_ == 2) {
        rc = file_.BeginPage(flags);
    } else if (fileState_ == 3) {
        CloseFaxFile();
        rc = OpenFaxFile();
        if (rc != 0) {
            ReportError(rc);
            SetState(rfAbort);
            return;
        }
        fileState_ = 2;
        SendLog(lfaxReceiveStart);
        rc = file_.BeginPage(flags);
    }
    if (rc != 0) {
        ReportError(rc);
        SetState(rfAbort);
        return;
    }
    lastDataByte_ = 255;
    ArmStateTimer(replyTimeoutTicks_);
    pageBytes_.store(0);
    if (activeClass_ == fcClass2 || activeClass_ == fcClass2_0) {
        if (comm::TBaseDispatcher *d = disp_.load()) {
            NoteFailure(d->WriteByte(0x12)); // DC2: the modem may start the page data
        }
    }
    SetState(rfGtPgDta);
    SetProgress(progReceivingPage);
    statusChanged_ = true;
}

// Page data: DLE escapes removed (10h 10h stores one 10h, 10h 03h ends the page, 10h and
// any other byte stores that byte), at most kPagePassLimit bytes per pass.
void TFaxSession::StateGetPageData(bool timerEvent) {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return;
    }
    if (timerEvent && !d->InputReady()) {
        // No page byte for the reply time-out: the modem will not end this page. The abort
        // path keeps what arrived.
        ReportError(kErrFatalTimeout);
        statusChanged_ = true;
        SetState(rfAbort);
        return;
    }
    lastError_.store(0);
    const bool reverse = activeClass_ == fcClass2;
    bool pageEnded = false;
    int32_t writeError = 0;
    uint32_t handled = 0;
    while (handled < kPagePassLimit && d->InputReady()) {
        int b = d->ReadByte();
        if (b < 0) {
            break;
        }
        ++handled;
        auto c = static_cast<uint8_t>(b);
        if (c == 0x03 && lastDataByte_ == 0x10) {
            writeError = file_.FlushPageBuffer();
            pageEnded = true;
            break;
        }
        if (c != 0x10 || lastDataByte_ == 0x10) {
            uint8_t stored = c;
            if (reverse) {
                stored = ReverseBits(stored);
            }
            writeError = file_.AppendPageByte(stored);
            pageBytes_.store(pageBytes_.load() + 1);
            lastDataByte_ = lastDataByte_ == 0x10 ? 255 : c;
            if (writeError != 0) {
                break;
            }
        } else {
            lastDataByte_ = 0x10;
        }
    }
    if (writeError != 0) {
        ReportError(writeError);
        statusChanged_ = true;
        SetState(rfAbort);
        return;
    }
    if (!pageEnded) {
        if (!d->InputReady()) {
            ArmStateTimer(replyTimeoutTicks_);
        }
        return;
    }
    lastDataByte_ = 255;
    SetProgress(progReceivingPage);
    statusChanged_ = true;
    ResetReply();
    if ((Settings().options & kOptSoftwareFlow) != 0) {
        NoteFailure(d->ClearSoftwareFlow());
    }
    if (activeClass_ == fcClass1) {
        SetState(rf1FinPage);
    } else {
        Class2PageEnded();
    }
}

void TFaxSession::StateComplete() {
    SwitchToInitSpeed();
    TSessionSettings s = Settings();
    if (s.oneFax) {
        if (statusRunning_ && !s.constantStatus) {
            SendStatus(false, true);
        }
        modemInitialised_.store(false);
        SetState(rfDone);
        FinishSession();
    } else {
        if (!s.constantStatus) {
            SendStatus(false, true);
        }
        statusRunning_ = false;
        SetState(rfInit);
    }
}

void TFaxSession::StateAbort(bool cancel) {
    cancelPending_ = false;
    if (file_.IsOpen()) {
        if (file_.PageOpen()) {
            // A page that was begun and not ended keeps what arrived; a call that fails
            // between two pages leaves the page count as it stands.
            NoteFailure(file_.FlushPageBuffer());
            NoteFailure(file_.EndPage());
        }
        CloseFaxFile();
        SendLog(lfaxReceiveFail);
    } else {
        CloseFaxFile();
    }
    HangUp();
    TSessionSettings s = Settings();
    // A cancel that arrived while this abort waited for the component ends the session too.
    cancel = cancel || cancelPending_;
    if ((statusRunning_ && !s.constantStatus) || cancel) {
        SendStatus(false, true);
    }
    cancel = cancel || cancelPending_;
    if ((s.options & kOptExitOnError) != 0 || cancel) {
        modemInitialised_.store(false);
        SetState(rfDone);
        FinishSession();
    } else {
        SetState(rfInit);
    }
    cancelPending_ = false;
}

void TFaxSession::HangUp() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return;
    }
    // What was already handed to the port (an FTT before a failed training) goes out before
    // the line reset purges the output.
    for (int i = 0; i < 1000 && d->OutputUsed() > 0; ++i) {
        Delay(2);
    }
    LineReset();
    Delay(kHangupDelayMs);
    NoteFailure(d->WriteText("+++"));
    Delay(kHangupDelayMs);
    SendCommand("ATH");
    Delay(kHangupDelayMs);
    NoteFailure(d->PurgeInput());
    ClearReplyLine();
}

} // namespace quillon::fax
