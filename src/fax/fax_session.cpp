#include "fax/fax_session.h"

#include <thread>

#include "comm/trace_log.h"
#include "fax/fax_session_p.h"

namespace quillon::fax {

using detail::PassScope;
using detail::TicksToDuration;

using namespace std::chrono_literals;
using comm::MsgTriggerAvail;
using comm::MsgTriggerTimer;

TFaxSession::TFaxSession(std::string_view stationId, platform::TargetHandle eventWindow)
    : eventWindow_(std::move(eventWindow)) {
    settings_.stationId = std::string(stationId.substr(0, kStationIdMax));
}

TFaxSession::~TFaxSession() {
    comm::TBaseDispatcher *d = disp_.load();
    {
        std::unique_lock lock(passMutex_);
        if (handlerRegistered_ || running_.load()) {
            StopSession();
        }
        if (file_.IsOpen()) {
            NoteFailure(file_.FinishFaxFile());
        }
    }
    // A notification already on its way to the handler (a timer that fired as the session
    // stopped) may still be running it; the session must outlive that pass.
    if (d != nullptr) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (d->InNotification() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
    }
    std::lock_guard last(passMutex_);
}

void TFaxSession::SetDispatcher(comm::TBaseDispatcher *dispatcher) {
    disp_.store(dispatcher);
}

TSessionSettings TFaxSession::Settings() const {
    std::lock_guard g(dataMutex_);
    return settings_;
}

void TFaxSession::UpdateSettings(const std::function<void(TSessionSettings &)> &change) {
    std::lock_guard g(dataMutex_);
    change(settings_);
}

void TFaxSession::SetInitBaud(int32_t baud) {
    comm::TBaseDispatcher *d = disp_.load();
    int32_t current = 0;
    bool haveCurrent = false;
    if (d != nullptr && d->IsOpen()) {
        uint32_t b = 0;
        uint8_t p = 0, db = 0, sb = 0;
        if (d->GetLineParams(b, p, db, sb) == 0) {
            current = static_cast<int32_t>(b);
            haveCurrent = true;
        }
    }
    std::lock_guard g(dataMutex_);
    if (haveCurrent && settings_.normalBaud == 0) {
        settings_.normalBaud = current;
    }
    settings_.initBaud = baud;
}

std::string TFaxSession::RemoteStationID() const {
    std::lock_guard g(dataMutex_);
    return remoteId_;
}

std::string TFaxSession::FaxFileName() const {
    std::lock_guard g(dataMutex_);
    return faxFileName_;
}

// ---------------------------------------------------------------------------------------
// Notifications. The pass lock is given up while the component handles a sent message, so
// that the component may cancel the session meanwhile; a pass whose session was finished
// that way ends here.

template <class F> auto TFaxSession::Unlocked(F &&f) {
    uint64_t generation = finishGeneration_;
    std::unique_lock<std::mutex> *lock = passLock_;
    if (lock != nullptr) {
        lock->unlock();
    }
    auto result = f();
    if (lock != nullptr) {
        lock->lock();
        passLock_ = lock;
    }
    if (finishGeneration_ != generation) {
        throw PassEnded{};
    }
    return result;
}

void TFaxSession::SendStatus(bool first, bool last) {
    if (first) {
        statusRunning_ = true;
    }
    if (last) {
        statusRunning_ = false;
    }
    platform::WParam w = first ? 1 : (last ? 2 : 0);
    Unlocked([&] { return eventWindow_.send(kMsgStatus, w, 0, kEventSendTimeout); });
}

void TFaxSession::SendLog(TFaxLogCode code) {
    Unlocked([&] { return eventWindow_.send(kMsgLog, code, 0, kEventSendTimeout); });
}

std::string TFaxSession::RequestFileName() {
    auto request = std::make_shared<TNameRequest>();
    auto result =
        Unlocked([&] { return eventWindow_.send(kMsgName, 0, 0, kEventSendTimeout, request); });
    if (!result) {
        return {};
    }
    std::string name = request->name.substr(0, kFileNameMax);
    return name;
}

bool TFaxSession::AskAccept() {
    auto result = Unlocked([&] { return eventWindow_.send(kMsgAccept, 0, 0, kEventSendTimeout); });
    return result.has_value() && *result == 1;
}

void TFaxSession::ReportError(int32_t code) {
    lastError_.store(code);
    Unlocked([&] {
        return eventWindow_.send(kMsgError,
                                 static_cast<platform::WParam>(static_cast<uint32_t>(code)), 0,
                                 kEventSendTimeout);
    });
}

void TFaxSession::StopSession() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d != nullptr) {
        for (int32_t *h :
             {&stateTimer_, &statusTimer_, &reserved_[0], &reserved_[1], &reserved_[2]}) {
            if (*h > 0) {
                NoteFailure(d->DropTrigger(*h));
            }
            *h = 0;
        }
        if (handlerRegistered_) {
            NoteFailure(d->RemoveProcHandler(&TFaxSession::Proc, this));
            handlerRegistered_ = false;
        }
    }
    running_.store(false);
}

void TFaxSession::FinishSession() {
    StopSession();
    ++finishGeneration_;
    // The code travels in 16 bits and is sign-extended by the component.
    auto code16 = static_cast<uint16_t>(static_cast<int16_t>(lastError_.load()));
    eventWindow_.post(kMsgFinish, code16, 0);
}

// ---------------------------------------------------------------------------------------
// Commands and replies.

void TFaxSession::Delay(int ms) {
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void TFaxSession::SendRaw(std::string_view text, int delayMs) {
    Delay(delayMs);
    comm::TBaseDispatcher *d = disp_.load();
    if (d != nullptr) {
        std::string out(text);
        out.push_back('\r');
        NoteFailure(d->WriteText(out));
    }
    ResetReply();
}

void TFaxSession::SendCommand(std::string_view text) {
    SendRaw(text, kCommandDelayMs);
}

void TFaxSession::SendFastCommand(std::string_view text) {
    SendRaw(text, kFastCommandDelayMs);
}

void TFaxSession::ClearReplyLine() {
    collector_.Clear();
}

void TFaxSession::ResetReply() {
    ClearReplyLine();
    ArmStateTimer(replyTimeoutTicks_);
    SetReplyTimer(replyTimeoutTicks_);
}

void TFaxSession::SetReplyTimer(int32_t ticks) {
    replyExpiry_ = std::chrono::steady_clock::now() + TicksToDuration(ticks);
}

bool TFaxSession::ReplyExpired() const {
    return std::chrono::steady_clock::now() >= replyExpiry_;
}

void TFaxSession::ArmStateTimer(int32_t ticks) {
    comm::TBaseDispatcher *d = disp_.load();
    if (d != nullptr && stateTimer_ > 0) {
        NoteFailure(d->ArmTimerTrigger(stateTimer_, ticks, true));
    }
}

void TFaxSession::DisarmStateTimer() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d != nullptr && stateTimer_ > 0) {
        NoteFailure(d->ArmTimerTrigger(stateTimer_, 0, false));
    }
}

void TFaxSession::ArmStatusTimer() {
    comm::TBaseDispatcher *d = disp_.load();
    int32_t interval = Settings().statusInterval;
    if (d != nullptr && statusTimer_ > 0) {
        NoteFailure(
            d->ArmTimerTrigger(statusTimer_, std::max(1, comm::SecsToTicks(interval)), true));
    }
}

void TFaxSession::SendFrame(uint8_t fcf, bool final, std::span<const uint8_t> info) {
    Delay(kFrameDelayMs);
    std::vector<uint8_t> frame = EncodeFrame(fcf, final, info);
    if (comm::TBaseDispatcher *d = disp_.load()) {
        NoteFailure(d->WriteBlock(frame.data(), static_cast<uint32_t>(frame.size())));
    }
}

// A synchronous result line: a carriage return ends a non-empty line, other control bytes
// are ignored, a line of 129 characters drops its first character for each new one.
bool TFaxSession::ReadSyncLine(std::string &line) {
    comm::TBaseDispatcher *d = disp_.load();
    line.clear();
    if (d == nullptr) {
        return false;
    }
    while (!ReplyExpired()) {
        while (d->InputReady()) {
            int b = d->ReadByte();
            if (b < 0) {
                break;
            }
            if (b == '\r') {
                if (!line.empty()) {
                    return true;
                }
                continue;
            }
            if (b < 0x20) {
                continue;
            }
            if (line.size() >= 129) {
                line.erase(0, 1);
            }
            line.push_back(static_cast<char>(b));
        }
        NoteFailure(d->YieldSlice());
        // Sleeping a little instead of spinning keeps a waiting start off the processor.
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

void TFaxSession::DiscardInput() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return;
    }
    while (d->InputReady()) {
        if (d->ReadByte() < 0) {
            break;
        }
    }
}

bool TFaxSession::ExecuteCommand(std::string_view text) {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return false;
    }
    SendCommand(text);
    ResetReply();
    bool oldBusy = d->SwapBusy(true);
    bool result = false;
    std::string line;
    for (;;) {
        if (!ReadSyncLine(line)) {
            break;
        }
        if (line == text) {
            continue; // the modem's echo
        }
        line_ = line;
        if (LineHas(line, "ERROR")) {
            break;
        }
        if (LineHas(line, "OK")) {
            result = true;
            break;
        }
        // An information line (a class list) stays in line_; one more line, normally the
        // final "OK", must follow in time.
        std::string scratch;
        result = ReadSyncLine(scratch);
        break;
    }
    DiscardInput();
    d->SwapBusy(oldBusy);
    return result;
}

void TFaxSession::Cancel() {
    comm::TBaseDispatcher *d = disp_.load();
    int32_t handle = d != nullptr ? d->Handle() : 0;
    ReceiveHandler(kMsgCancel, 0, static_cast<int32_t>(static_cast<uint32_t>(handle) << 16));
}

void TFaxSession::Proc(uint32_t msg, uint32_t wParam, int32_t /*lParam*/, void *context) {
    auto *self = static_cast<TFaxSession *>(context);
    self->ReceiveHandler(msg, wParam, 0);
}

void TFaxSession::ReceiveHandler(uint32_t message, uint32_t first, int32_t /*second*/) {
    std::unique_lock lock(passMutex_);
    PassScope scope(passLock_, lock);
    try {
        Pass(message, first);
    } catch (const PassEnded &) {
        // The session was finished by a cancel while this pass waited for the component.
    }
}

// ---------------------------------------------------------------------------------------
// The handler pass.

bool TFaxSession::IsCollecting(uint8_t s) const {
    return (s >= rf1Init1 && s <= rfWaiting) || (s >= rf1SendCSI && s <= rf1CollFrms) ||
           s == rf1StrtTrn || (s >= rf1Retrain && s <= rf2GtCnnct) || s == rf1FinPage ||
           s == rf1WaitEOP || (s >= rf1SendMCF && s <= rf2GetFHNG);
}

void TFaxSession::SetState(uint8_t s) {
    if (s != state_) {
        state_ = s;
        stateMirror_.store(s);
        LogState();
    }
}

void TFaxSession::LogState() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d != nullptr && d->LogOn()) {
        d->AddLogEntry(comm::ltFax, static_cast<uint8_t>(comm::lsFaxReceiveStates + state_), 0,
                       nullptr, state_);
    }
}

void TFaxSession::Pass(uint32_t message, uint32_t first) {
    const bool cancel = message == kMsgCancel;
    if (cancel && !running_.load() && !handlerRegistered_) {
        return; // no session runs
    }
    uint32_t handle = (message == MsgTriggerAvail || message == 0 || cancel) ? 0 : first;
    bool isStateTimer = message == MsgTriggerTimer && stateTimer_ > 0 &&
                        handle == static_cast<uint32_t>(stateTimer_);
    bool isStatusTimer = message == MsgTriggerTimer && statusTimer_ > 0 &&
                         handle == static_cast<uint32_t>(statusTimer_);
    bool known = handle == 0 || isStateTimer || isStatusTimer ||
                 (reserved_[0] > 0 && handle == static_cast<uint32_t>(reserved_[0])) ||
                 (reserved_[1] > 0 && handle == static_cast<uint32_t>(reserved_[1]));
    if (!known) {
        return;
    }
    if (state_ == rfAbort) {
        // The abort path is running (this is a pass nested in one of its events); a cancel
        // is remembered so that the abort ends the session.
        if (cancel) {
            cancelPending_ = true;
        }
        return;
    }
    if (state_ == rfDone || (!handlerRegistered_ && message != 0)) {
        return;
    }
    bool dataEvent = !isStateTimer && !isStatusTimer && handle == 0;
    bool firstStep = true;
    for (;;) {
        LogState();
        bool doCancel = cancel && firstStep;
        firstStep = false;
        if (doCancel) {
            SetProgress(progUserAbort);
            lastError_.store(kErrCancelRequested);
            SetState(rfAbort);
            SendStatus(false, false);
        } else if (isStatusTimer || statusChanged_) {
            statusChanged_ = false;
            SendStatus(false, false);
            ArmStatusTimer();
            if (isStatusTimer) {
                return;
            }
        }
        bool skipAction = false;
        if (!doCancel && IsCollecting(state_)) {
            if (dataEvent) {
                Collect c = CollectReply();
                if (c == Collect::Nothing) {
                    return;
                }
                skipAction = c == Collect::Jump;
            } else {
                HandleTimeout();
                skipAction = true;
                // The time-out is used up; later steps of this pass see a data event.
                isStateTimer = false;
                dataEvent = true;
            }
        }
        if (!skipAction) {
            RunAction(dataEvent, isStateTimer, doCancel || cancelPending_);
            if (isStateTimer) {
                isStateTimer = false;
                dataEvent = true;
            }
        }
        if (int32_t failure = TakeFailure();
            failure != 0 && state_ != rfAbort && state_ != rfDone) {
            // An engine call of this step failed: the call ends with its own code. Failures
            // on the abort path itself (the modem already gone) do not replace the first one.
            ReportError(failure);
            SetState(rfAbort);
        }
        switch (state_) {
        case rfInit:
        case rfAnswer:
        case rfStartPage:
        case rf1WritePage:
        case rfComplete:
        case rfAbort:
            continue;
        case rf1CollRtry1:
        case rf1CollRtry2:
        case rfDone:
            return;
        default: {
            comm::TBaseDispatcher *d = disp_.load();
            if (d == nullptr || !d->InputReady()) {
                return;
            }
        }
        }
    }
}

void TFaxSession::HandleTimeout() {
    switch (state_) {
    case rf1SendCSI:
        if (retryCount_ != 0) {
            SetState(rf1CollRtry1);
        } else {
            ReportError(kErrFatalTimeout);
            SetState(rfAbort);
        }
        break;
    case rf1CollFrms:
        SetState(rf1CollRtry1);
        break;
    case rf1WaitDCN:
        // The fax is complete without the caller's DCN. The line is put on hook before the
        // next call, which would otherwise find it still off hook.
        HangUp();
        SetState(rfComplete);
        return;
    default:
        ReportError(kErrFatalTimeout);
        SetState(rfAbort);
        return;
    }
    if (state_ == rf1CollRtry1) {
        // The retry step acts on the next event; nothing else may come while the caller is
        // silent, so the state timer provides one at once.
        ArmStateTimer(1);
    }
}

// Line and frame collection: bytes go to the reply line and to both pattern matchers until
// a result line or a frame is complete.
TFaxSession::Collect TFaxSession::CollectReply() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return Collect::Nothing;
    }
    while (d->InputReady()) {
        int b = d->ReadByte();
        if (b < 0) {
            break;
        }
        TReplyCollector::Result r = collector_.Feed(static_cast<uint8_t>(b));
        if (r == TReplyCollector::Result::Frame) {
            uint8_t before = state_;
            HandleFrame(collector_.Frame());
            ClearReplyLine();
            if (state_ != before) {
                return Collect::Jump;
            }
            continue;
        }
        if (r == TReplyCollector::Result::Line) {
            std::string line = collector_.Line();
            line_ = line;
            if (LineHas(line, "ERROR")) {
                ReportError(kErrFaxBadModemResult);
                SetState(rfAbort);
                return Collect::Jump;
            }
            if ((activeClass_ == fcClass2 || activeClass_ == fcClass2_0) &&
                LineHas(line, class2HangupKeyword_) && state_ != rf2GetFHNG) {
                ReportError(kErrFaxSessionError);
                size_t colon = line.find(':');
                uint16_t code = 0;
                if (colon != std::string::npos) {
                    std::string digits = TrimBlanks(line.substr(colon + 1)).substr(0, 3);
                    for (char ch : digits) {
                        if (ch < '0' || ch > '9') {
                            break;
                        }
                        code = static_cast<uint16_t>(code * 10 + (ch - '0'));
                    }
                }
                hangupCode_.store(code);
                SetState(rfAbort);
                return Collect::Jump;
            }
            return Collect::Line;
        }
    }
    return Collect::Nothing;
}

void TFaxSession::HandleFrame(std::span<const uint8_t> bytes) {
    TDecodedFrame f = DecodeFrame(bytes);
    if (f.kind == TFrameKind::None) {
        return;
    }
    finalFrameSeen_ = f.final;
    lastFrameCode_ = f.fcf;
    switch (f.kind) {
    case TFrameKind::StationId: {
        std::lock_guard g(dataMutex_);
        remoteId_ = f.remoteId;
    }
        file_.SetRemoteId(f.remoteId);
        SetProgress(progRemoteID);
        statusChanged_ = true;
        break;
    case TFrameKind::Dcs:
        SetModulation(f.dcs);
        SetProgress(progSessionParams);
        statusChanged_ = true;
        break;
    case TFrameKind::Dcn:
        if (state_ == rf1WaitDCN) {
            lastError_.store(0);
        } else {
            ReportError(kErrCancelRequested);
            SetState(rfAbort);
        }
        break;
    case TFrameKind::Retrain:
        Delay(kTurnaroundDelayMs);
        SendFastCommand("AT+FRH=3");
        SetState(rf1CollFrms);
        break;
    default:
        break;
    }
}

void TFaxSession::SetModulation(const TDcsParams &dcs) {
    modIndex_.store(dcs.index);
    connectBps_.store(static_cast<uint16_t>(dcs.bps));
    fine_.store(dcs.fine);
    wide_.store(dcs.wide);
    ecm_.store(false);
    scanCode_ = dcs.scanCode;
    currentModulation_ = std::string(RateEntry(dcs.index).training);
    minBytesPerLine_ = MinBytesPerLine(scanCode_, dcs.fine, dcs.bps);
}

void TFaxSession::RunAction(bool dataEvent, bool timerEvent, bool cancel) {
    switch (state_) {
    case rfInit:
        StateInit();
        break;
    case rfWaiting:
        StateWaiting();
        break;
    case rfAnswer:
        StateAnswer();
        break;
    case rfStartPage:
        StateStartPage();
        break;
    case rfGtPgDta:
        StateGetPageData(timerEvent);
        break;
    case rfComplete:
        StateComplete();
        break;
    case rfAbort:
        StateAbort(cancel);
        break;
    case rfDone:
    case rfNone:
        break;
    default:
        if (activeClass_ == fcClass1) {
            Class1Action(dataEvent, timerEvent);
        } else {
            Class2Action(dataEvent, timerEvent);
        }
        break;
    }
}

} // namespace quillon::fax
