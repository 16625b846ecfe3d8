// The comm port's property setters (applied to the open device) and its trace and log
// operations.

#include <algorithm>

#include "comm/comm_port.h"
#include "comm/error_codes.h"

namespace quillon::comm {

namespace {
bool isOnOrPaused(TTraceLogState s) { return s == tlOn || s == tlPause; }
} // namespace

void TCustomComPort::SetDeviceLayer(TDeviceLayer v) {
    if (v == dlWin32 && state_ == State::Closed) {
        deviceLayer_ = v;
    }
}

void TCustomComPort::ApplyLineParams() {
    if (state_ == State::Open && dispatcher_) {
        Check(dispatcher_->SetLineParams(
            static_cast<uint32_t>(baud_), static_cast<uint8_t>(parity_),
            static_cast<uint8_t>(dataBits_), static_cast<uint8_t>(stopBits_)));
    }
}

void TCustomComPort::SetBaud(int32_t v) {
    if (v == baud_ && !forceApply_) {
        return;
    }
    int32_t old = baud_;
    baud_ = v;
    try {
        ApplyLineParams();
    } catch (...) {
        baud_ = old; // the device keeps its setting, so does the property
        throw;
    }
}

void TCustomComPort::SetParity(TParity v) {
    if (v == parity_ && !forceApply_) {
        return;
    }
    TParity old = parity_;
    parity_ = v;
    try {
        ApplyLineParams();
    } catch (...) {
        parity_ = old;
        throw;
    }
}

void TCustomComPort::SetDataBits(uint16_t v) {
    if (v == dataBits_ && !forceApply_) {
        return;
    }
    uint16_t old = dataBits_;
    dataBits_ = v;
    try {
        ApplyLineParams();
    } catch (...) {
        dataBits_ = old;
        throw;
    }
}

void TCustomComPort::SetStopBits(uint16_t v) {
    if (v == stopBits_ && !forceApply_) {
        return;
    }
    uint16_t old = stopBits_;
    stopBits_ = v;
    try {
        ApplyLineParams();
    } catch (...) {
        stopBits_ = old;
        throw;
    }
}

void TCustomComPort::SetInSize(uint16_t v) {
    if (v == inSize_ && !forceApply_) {
        return;
    }
    inSize_ = v;
    if (state_ == State::Open && dispatcher_) {
        [[maybe_unused]] int rc = dispatcher_->SetQueueSizes(inSize_, outSize_);
    }
}

void TCustomComPort::SetOutSize(uint16_t v) {
    if (v == outSize_ && !forceApply_) {
        return;
    }
    outSize_ = v;
    if (state_ == State::Open && dispatcher_) {
        [[maybe_unused]] int rc = dispatcher_->SetQueueSizes(inSize_, outSize_);
    }
}

void TCustomComPort::SetComNumber(uint16_t v) {
    if (v == comNumber_ && !forceApply_) {
        return;
    }
    if (state_ != State::Open) {
        comNumber_ = v;
        return;
    }
    TTriggerSave triggers;
    dispatcher_->SaveTriggers(triggers);
    TTraceLogState tracing = tracing_;
    TTraceLogState logging = logging_;
    SetOpen(false);
    comNumber_ = v;
    SetTracing(tracing);
    SetLogging(logging);
    if (state_ == State::Closed) {
        SetOpen(true);
        if (dispatcher_) {
            dispatcher_->RestoreTriggers(triggers);
        }
    } else {
        // Closed from inside a handler: the pending open restores the saved triggers.
        savedTriggers_ = triggers;
        SetOpen(true);
    }
}

void TCustomComPort::SetDTR(bool v) {
    if (v == dtr_ && !forceApply_) {
        return;
    }
    if (state_ == State::Open && dispatcher_) {
        if (Check(dispatcher_->SetDtr(v)) == 0) {
            dtr_ = v;
        }
        return;
    }
    dtr_ = v;
}

void TCustomComPort::SetRTS(bool v) {
    if (v == rts_ && !forceApply_) {
        return;
    }
    if (state_ == State::Open && dispatcher_) {
        if (Check(dispatcher_->SetRts(v)) == 0) {
            rts_ = v;
        }
        return;
    }
    rts_ = v;
}

void TCustomComPort::ApplyHWFlow() {
    if (!hwFlow_.Empty()) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) {
            bufferFull_ = static_cast<uint16_t>(uint32_t{inSize_} * 9 / 10);
        }
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_) {
            bufferResume_ = static_cast<uint16_t>(uint32_t{inSize_} / 10);
        }
    }
    if (hwFlow_.Contains(hwfUseRTS) || hwFlow_.Contains(hwfRequireCTS)) {
        rs485Mode_ = false;
        if (state_ == State::Open && dispatcher_) {
            dispatcher_->SetRS485Mode(false);
        }
    }
    if (state_ == State::Open && dispatcher_) {
        Check(dispatcher_->SetHardwareFlow(bufferFull_, bufferResume_, hwFlow_.Bits()));
    }
}

void TCustomComPort::SetHWFlowOptions(THWFlowOptions v) {
    if (v == hwFlow_ && !forceApply_) {
        return;
    }
    hwFlow_ = v;
    ApplyHWFlow();
}

void TCustomComPort::ApplySWFlow() {
    if (swFlow_ != swfNone) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) {
            bufferFull_ = static_cast<uint16_t>(uint32_t{inSize_} * 3 / 4);
        }
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_) {
            bufferResume_ = static_cast<uint16_t>(uint32_t{inSize_} / 4);
        }
    }
    if (state_ == State::Open && dispatcher_) {
        if (swFlow_ == swfNone) {
            Check(dispatcher_->ClearSoftwareFlow());
        } else {
            uint32_t option = swFlow_ == swfReceive ? 2 : swFlow_ == swfTransmit ? 1 : 3;
            Check(dispatcher_->SetSoftwareFlow(bufferFull_, bufferResume_, option));
        }
    }
}

void TCustomComPort::SetSWFlowOptions(TSWFlowOptions v) {
    if (v == swFlow_ && !forceApply_) {
        return;
    }
    swFlow_ = v;
    ApplySWFlow();
}

void TCustomComPort::SetXOnChar(char v) {
    if (v == xonChar_ && !forceApply_) {
        return;
    }
    xonChar_ = v;
    if (state_ == State::Open && dispatcher_) {
        Check(dispatcher_->SetFlowChars(static_cast<uint8_t>(xonChar_),
                                        static_cast<uint8_t>(xoffChar_)));
    }
}

void TCustomComPort::SetXOffChar(char v) {
    if (v == xoffChar_ && !forceApply_) {
        return;
    }
    xoffChar_ = v;
    if (state_ == State::Open && dispatcher_) {
        Check(dispatcher_->SetFlowChars(static_cast<uint8_t>(xonChar_),
                                        static_cast<uint8_t>(xoffChar_)));
    }
}

void TCustomComPort::SetBufferFull(uint16_t v) {
    if (v == bufferFull_ && !forceApply_) {
        return;
    }
    bufferFull_ = v > inSize_ ? static_cast<uint16_t>(uint32_t{v} * 9 / 10) : v;
    bool saved = forceApply_;
    forceApply_ = true;
    try {
        ApplyHWFlow();
        ApplySWFlow();
    } catch (...) {
        forceApply_ = saved;
        throw;
    }
    forceApply_ = saved;
}

void TCustomComPort::SetBufferResume(uint16_t v) {
    if (v == bufferResume_ && !forceApply_) {
        return;
    }
    bufferResume_ = v > bufferFull_ ? static_cast<uint16_t>(uint32_t{bufferFull_} / 10) : v;
    bool saved = forceApply_;
    forceApply_ = true;
    try {
        ApplyHWFlow();
        ApplySWFlow();
    } catch (...) {
        forceApply_ = saved;
        throw;
    }
    forceApply_ = saved;
}

void TCustomComPort::SetRS485Mode(bool v) {
    if (v == rs485Mode_ && !forceApply_) {
        return;
    }
    rs485Mode_ = v;
    if (state_ == State::Open && dispatcher_) {
        dispatcher_->SetRS485Mode(v);
    }
    if (v) {
        THWFlowOptions hw = hwFlow_;
        hw.Exclude(hwfUseRTS);
        hw.Exclude(hwfRequireCTS);
        SetHWFlowOptions(hw);
        SetRTS(false);
    }
}

// ---- trace and log ----

void TCustomComPort::SetTraceSize(uint32_t v) {
    v = std::min(v, kMaxTraceEntries);
    if (v == traceSize_) {
        return;
    }
    traceSize_ = v;
    if (state_ == State::Open && dispatcher_ && isOnOrPaused(tracing_)) {
        dispatcher_->StopTrace();
        Check(dispatcher_->StartTrace(traceSize_));
        tracing_ = tlOn;
    }
}

void TCustomComPort::SetLogSize(uint32_t v) {
    v = std::min(v, kMaxLogBytes);
    if (v == logSize_) {
        return;
    }
    logSize_ = v;
    if (state_ == State::Open && dispatcher_ && isOnOrPaused(logging_)) {
        dispatcher_->StopLog();
        Check(dispatcher_->StartLog(logSize_));
        logging_ = tlOn;
    }
}

void TCustomComPort::SetTracing(TTraceLogState v) {
    if (v == tracing_ && !forceApply_) {
        return;
    }
    ApplyTraceLog(true, v);
}

void TCustomComPort::SetLogging(TTraceLogState v) {
    if (v == logging_ && !forceApply_) {
        return;
    }
    ApplyTraceLog(false, v);
}

// The state machine shared by Tracing and Logging.
void TCustomComPort::ApplyTraceLog(bool trace, TTraceLogState v) {
    TTraceLogState &state = trace ? tracing_ : logging_;
    if (state_ != State::Open || !dispatcher_) {
        state = v == tlOn ? tlOn : tlOff;
        return;
    }
    TBaseDispatcher &d = *dispatcher_;
    TTraceLogState current = state;
    switch (v) {
    case tlOff:
        if (isOnOrPaused(current)) {
            trace ? d.StopTrace() : d.StopLog();
        }
        state = tlOff;
        break;
    case tlOn:
        if (current == tlPause && !forceApply_) {
            trace ? d.ResumeTrace() : d.ResumeLog();
        } else {
            Check(trace ? d.StartTrace(traceSize_) : d.StartLog(logSize_));
        }
        state = tlOn;
        break;
    case tlDump:
    case tlAppend:
        if (isOnOrPaused(current)) {
            trace ? d.ResumeTrace() : d.ResumeLog();
            bool append = v == tlAppend;
            state = tlOff;
            Check(trace ? d.WriteTrace(traceName_, append, traceHex_)
                        : d.WriteLog(logName_, append, logHex_));
        }
        state = tlOff;
        break;
    case tlClear:
        if (isOnOrPaused(current)) {
            trace ? d.ClearTrace() : d.ClearLog();
        }
        break;
    case tlPause:
        if (current == tlOn) {
            trace ? d.PauseTrace() : d.PauseLog();
            state = tlPause;
        }
        break;
    }
}

void TCustomComPort::StartTracing(uint32_t size) {
    if (state_ == State::Closing) {
        return;
    }
    if (size != 0) {
        traceSize_ = std::min(size, kMaxTraceEntries);
    }
    if (state_ == State::Open && dispatcher_) {
        Check(dispatcher_->StartTrace(traceSize_));
    }
    tracing_ = tlOn;
}

void TCustomComPort::StopTracing() {
    if (state_ != State::Closing) {
        SetTracing(tlOff);
    }
}

void TCustomComPort::ClearTracing() {
    if (state_ != State::Closing) {
        ApplyTraceLog(true, tlClear);
    }
}

void TCustomComPort::PauseTracing() {
    if (state_ != State::Closing) {
        SetTracing(tlPause);
    }
}

void TCustomComPort::ResumeTracing() {
    if (state_ == State::Open && dispatcher_ && tracing_ == tlPause) {
        dispatcher_->ResumeTrace();
        tracing_ = tlOn;
    }
}

void TCustomComPort::DumpTrace(const std::string &file, bool append) {
    if (state_ != State::Open || !dispatcher_ || !isOnOrPaused(tracing_)) {
        return;
    }
    dispatcher_->ResumeTrace();
    tracing_ = tlOff;
    Check(dispatcher_->WriteTrace(file, append, traceHex_));
}

void TCustomComPort::StartLogging(uint32_t size) {
    if (state_ == State::Closing) {
        return;
    }
    if (size != 0) {
        logSize_ = std::min(size, kMaxLogBytes);
    }
    if (state_ == State::Open && dispatcher_) {
        Check(dispatcher_->StartLog(logSize_));
    }
    logging_ = tlOn;
}

void TCustomComPort::StopLogging() {
    if (state_ != State::Closing) {
        SetLogging(tlOff);
    }
}

void TCustomComPort::ClearLogging() {
    if (state_ != State::Closing) {
        ApplyTraceLog(false, tlClear);
    }
}

void TCustomComPort::PauseLogging() {
    if (state_ != State::Closing) {
        SetLogging(tlPause);
    }
}

void TCustomComPort::ResumeLogging() {
    if (state_ == State::Open && dispatcher_ && logging_ == tlPause) {
        dispatcher_->ResumeLog();
        logging_ = tlOn;
    }
}

void TCustomComPort::DumpLog(const std::string &file, bool append) {
    if (state_ != State::Open || !dispatcher_ || !isOnOrPaused(logging_)) {
        return;
    }
    dispatcher_->ResumeLog();
    logging_ = tlOff;
    Check(dispatcher_->WriteLog(file, append, logHex_));
}

} // namespace quillon::comm
