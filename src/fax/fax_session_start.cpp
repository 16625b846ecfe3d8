// Modem preparation (synchronous, on the caller's thread), class detection, the Class 1
// rate probe, port speed switching and the session start.

#include <thread>

#include "fax/fax_session.h"
#include "fax/fax_session_p.h"

namespace quillon::fax {

using namespace std::chrono_literals;
using detail::PassScope;

// ---------------------------------------------------------------------------------------
// Modem preparation and session start.

void TFaxSession::LineReset() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return;
    }
    NoteFailure(d->PurgeInput());
    NoteFailure(d->PurgeOutput());
    NoteFailure(d->SetSignals(false, false));
    Delay(kLineResetDelayMs);
    NoteFailure(d->SetSignals(true, true));
    Delay(kLineResetDelayMs);
}

TFaxClass TFaxSession::DetectClass() {
    bool ok = false;
    for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
        ok = ExecuteCommand(kDefaultInit);
    }
    if (!ok) {
        return fcUnknown;
    }
    if (!ExecuteCommand("AT+FCLASS=?")) {
        return fcUnknown;
    }
    return ClassFromList(StripPrefix(line_));
}

bool TFaxSession::RateProbe() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr || !ExecuteCommand("AT+FCLASS=1")) {
        return false;
    }
    caps_ = TCapabilities{};
    SendCommand("AT+FRM=?");
    bool oldBusy = d->SwapBusy(true);
    std::string line;
    while (ReadSyncLine(line)) {
        if (LineHas(line, "OK") || LineHas(line, "ERROR")) {
            break;
        }
        if (LineHas(line, ",")) {
            ApplyCapabilityLine(line, caps_);
        }
        SetReplyTimer(kCapabilityWaitTicks);
    }
    d->SwapBusy(oldBusy);
    modIndex_.store(StepDownIndex(caps_.highest, Settings().desiredBps));
    return true;
}

void TFaxSession::SwitchToSessionSpeed() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return;
    }
    NoteFailure(d->SetSpeed(19200));
    TSessionSettings s = Settings();
    if (s.initBaud != 0 && atInitSpeed_) {
        Delay(static_cast<int>(kBaudSettleTicks * comm::kMsPerTick));
        if (s.normalBaud != 0) {
            NoteFailure(d->SetSpeed(static_cast<uint32_t>(s.normalBaud)));
        }
        atInitSpeed_ = false;
    }
}

void TFaxSession::SwitchToInitSpeed() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return;
    }
    NoteFailure(d->SetSpeed(19200));
    TSessionSettings s = Settings();
    if (s.initBaud != 0 && !atInitSpeed_) {
        Delay(static_cast<int>(kBaudSettleTicks * comm::kMsPerTick));
        NoteFailure(d->SetSpeed(static_cast<uint32_t>(s.initBaud)));
        atInitSpeed_ = true;
    }
}

bool TFaxSession::PrepareModem() {
    std::unique_lock lock(passMutex_);
    PassScope scope(passLock_, lock);
    try {
        return PrepareLocked();
    } catch (const PassEnded &) {
        return false;
    }
}

bool TFaxSession::PrepareLocked() {
    comm::TBaseDispatcher *d = disp_.load();
    if (d == nullptr) {
        return false;
    }
    // An error left from an earlier session must not be raised for this preparation.
    lastError_.store(0);
    stepFailure_ = 0;
    NoteFailure(d->SetSpeed(19200));
    LineReset();
    bool oldBusy = d->SwapBusy(true);
    TSessionSettings s = Settings();
    bool result = false;
    do {
        if (!s.modemInit.empty() && !ExecuteCommand(s.modemInit)) {
            break;
        }
        if (!ExecuteCommand(kDefaultInit)) {
            break;
        }
        modemInitialised_.store(true);
        TFaxClass cls = s.faxClass;
        if (cls == fcDetect) {
            cls = DetectClass();
            UpdateSettings([&](TSessionSettings &st) { st.faxClass = cls; });
        }
        activeClass_ = cls;
        if (cls == fcClass1) {
            if (!ExecuteCommand("AT+FCLASS=1")) {
                break;
            }
            SwitchToSessionSpeed();
            result = RateProbe();
        } else if (cls == fcClass2 || cls == fcClass2_0) {
            result = Class2Prepare();
        } else {
            ReportError(kErrFaxInitError);
        }
    } while (false);
    DiscardInput();
    d->SwapBusy(oldBusy);
    if (int32_t failure = TakeFailure(); failure != 0) {
        // A write to the modem or a speed change failed: that is why the modem did not
        // answer, and the caller learns it instead of the initialisation error.
        ReportError(failure);
        result = false;
    }
    return result;
}

bool TFaxSession::StartRoutine() {
    comm::TBaseDispatcher *d = disp_.load();
    state_ = startState_;
    stateMirror_.store(state_);
    lastError_.store(0);
    SetProgress(progNone);
    TSessionSettings s = Settings();
    TFaxClass cls = s.faxClass;
    if (cls == fcUnknown || cls == fcDetect) {
        bool oldBusy = d->SwapBusy(true);
        cls = DetectClass();
        d->SwapBusy(oldBusy);
        UpdateSettings([&](TSessionSettings &st) { st.faxClass = cls; });
        if (cls == fcUnknown) {
            ReportError(kErrFaxBadModemResult);
            return false;
        }
    }
    activeClass_ = cls;
    bool oldBusy = d->SwapBusy(true);
    bool ok = true;
    if (!modemInitialised_.load()) {
        if (!s.modemInit.empty()) {
            ok = ExecuteCommand(s.modemInit);
        }
        ok = ok && ExecuteCommand(kDefaultInit);
        if (ok) {
            modemInitialised_.store(true);
        }
    }
    if (ok && startState_ != rf2GtSndID) {
        if (cls == fcClass1) {
            ok = ExecuteCommand("AT+FCLASS=1");
            if (ok) {
                SwitchToSessionSpeed();
                ok = RateProbe();
            }
        } else {
            ok = Class2StartCommands();
        }
    }
    d->SwapBusy(oldBusy);
    if (int32_t failure = TakeFailure(); failure != 0) {
        ReportError(failure);
        ok = false;
    }
    if (!ok && lastError_.load() == 0) {
        // A modem that does not answer its start commands: the session cannot run, and
        // the caller learns why instead of a session that waits forever on a dead line.
        ReportError(kErrFaxInitError);
    }
    if (ok) {
        running_.store(true);
    }
    return ok;
}

int32_t TFaxSession::StartSession() {
    std::unique_lock lock(passMutex_);
    PassScope scope(passLock_, lock);
    comm::TBaseDispatcher *d = disp_.load();
    if (running_.load() || handlerRegistered_) {
        return 0;
    }
    cancelPending_ = false;
    stepFailure_ = 0;
    try {
        if (d == nullptr) {
            lastError_.store(kErrPortNotAssigned);
            ReportError(kErrPortNotAssigned);
            SendStatus(false, true);
            FinishSession();
            return lastError_.load();
        }
        NoteFailure(d->SetAvailThreshold(1));
        stateTimer_ = d->NewTimerTrigger();
        statusTimer_ = d->NewTimerTrigger();
        reserved_[0] = d->NewStatusTrigger(comm::skOutputFree);
        reserved_[1] = d->NewStatusTrigger(comm::skOutputUsed);
        reserved_[2] = d->NewStatusTrigger(comm::skModemSignals);
        bool triggersOk = stateTimer_ > 0 && statusTimer_ > 0 && reserved_[0] > 0 &&
                          reserved_[1] > 0 && reserved_[2] > 0;
        if (!triggersOk) {
            ReportError(kErrNoTriggerSlots);
            FinishSession();
            return lastError_.load();
        }
        NoteFailure(d->SetUserSlot(2, this));
        if (int32_t failure = TakeFailure(); failure != 0) {
            ReportError(failure);
            SendStatus(false, true);
            FinishSession();
            return lastError_.load();
        }
        StartRoutine();
        if (lastError_.load() == 0) {
            int32_t rc = d->AddProcHandler(&TFaxSession::Proc, this);
            if (rc != 0) {
                ReportError(rc);
                SendStatus(false, true);
                FinishSession();
                return lastError_.load();
            }
            handlerRegistered_ = true;
            uint64_t generation = finishGeneration_;
            Pass(0, 0);
            if (finishGeneration_ == generation) {
                ArmStatusTimer();
            }
        } else {
            SendStatus(false, true);
            FinishSession();
        }
    } catch (const PassEnded &) {
        // A nested cancel finished the session from inside one of its events.
    }
    return lastError_.load();
}

} // namespace quillon::fax
