#include "comm/comm_port.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "comm/error_codes.h"
#include "comm/port_names.h"

namespace quillon::comm {

namespace {

// Reports the exception in flight, of whatever type, to the application handler.
void reportCurrentException() {
    platform::ReportCurrentException("a comm port handler");
}

} // namespace

TCustomComPort::TCustomComPort(std::string name) : TBaseComponent(std::move(name)) {}

TCustomComPort::~TCustomComPort() {
    try {
        if (state_ == State::Open) {
            ClosePort();
        }
    } catch (...) {
        reportCurrentException();
    }
    if (state_ == State::Closing && dispatcher_) {
        // A close begun inside a trigger handler: let the threads run down first.
        auto &loop = platform::EventLoop::current();
        loop.runUntil([this] { return !dispatcher_->ThreadsRunning(); },
                      std::chrono::milliseconds(10000));
        FinishClose();
    }
}

// ---- open and close ----

void TCustomComPort::SetOpen(bool v) {
    if (Loading() || Designing()) {
        openAfterLoad_ = v;
        return;
    }
    if (v) {
        if (state_ == State::Closing) {
            openPending_ = true;
        } else if (state_ == State::Closed) {
            OpenPort();
        }
        return;
    }
    openPending_ = false;
    open_ = false;
    if (state_ == State::Open) {
        ClosePort();
    }
}

void TCustomComPort::EndLoading() {
    SetLoading(false);
    if (openAfterLoad_ && !Designing()) {
        openAfterLoad_ = false;
        try {
            SetOpen(true);
        } catch (...) {
            open_ = false;
            reportCurrentException();
        }
    }
}

void TCustomComPort::OpenPort() {
    if (inOpen_) {
        return;
    }
    struct Guard {
        bool &flag;
        explicit Guard(bool &f) : flag(f) { flag = true; }
        ~Guard() { flag = false; }
    } guard(inOpen_);

    if (tapiMode_ != tmOn && comNumber_ == 0) {
        if (!promptForPort_) {
            RaiseError(kErrNoPortSelected);
        }
        TComSelectForm form;
        if (!form.Execute() || form.SelectedComNumber() == 0) {
            RaiseError(kErrNoPortSelected);
        }
        comNumber_ = form.SelectedComNumber();
    }
    if (deviceLayer_ != dlWin32) {
        RaiseError(kErrNoDeviceLayer);
    }
    std::string path;
    if (tapiMode_ == tmOn) {
        if (tapiDescriptor_ <= 0) {
            RaiseError(kErrNotOpenedByTapi);
        }
        platform::SerialBlock block;
        Check(TTapiDispatcher::ReadDeviceBlock(tapiDescriptor_, block));
        baud_ = static_cast<int32_t>(block.baud);
        parity_ = static_cast<TParity>(std::min<uint8_t>(block.parity, 4));
        dataBits_ = block.byteSize;
        stopBits_ = block.stopBits == 0 ? 1 : 2;
        THWFlowOptions hw;
        if (block.dtrControl == 2) {
            hw.Include(hwfUseDTR);
        }
        if (block.rtsControl == 2) {
            hw.Include(hwfUseRTS);
        }
        if (block.outxDsrFlow) {
            hw.Include(hwfRequireDSR);
        }
        if (block.outxCtsFlow) {
            hw.Include(hwfRequireCTS);
        }
        hwFlow_ = hw;
        swFlow_ = block.inX && block.outX ? swfBoth
                  : block.inX             ? swfReceive
                  : block.outX            ? swfTransmit
                                          : swfNone;
        xonChar_ = static_cast<char>(block.xonChar);
        xoffChar_ = static_cast<char>(block.xoffChar);
        dispatcher_ = std::make_unique<TTapiDispatcher>(this, tapiDescriptor_);
    } else {
        path = ComPortPath(comNumber_);
        if (path.empty()) {
            RaiseError(kErrBadId);
        }
        dispatcher_ = std::make_unique<TSerialDispatcher>(this);
    }
    int rc =
        dispatcher_->OpenDevice(path, inSize_, outSize_, dtr_, rts_, static_cast<uint32_t>(baud_),
                                static_cast<uint8_t>(parity_), static_cast<uint8_t>(dataBits_),
                                static_cast<uint8_t>(stopBits_));
    if (rc == kErrFileAccessDenied) {
        rc = kErrAlreadyOpen;
    } else if (rc == kErrFileNotFound || rc == kErrPathNotFound) {
        rc = kErrBadId;
    }
    if (rc != 0) {
        dispatcher_.reset();
        open_ = false;
        Check(rc);
        return; // only while loading: the result is returned, not raised
    }
    state_ = State::Open;
    try {
        UpdatePortHandler();
        ApplyAll();
        open_ = true;
        window_ = std::make_unique<platform::MessageTarget>(
            [this](platform::Message &m) { return HandleMessage(m); });
        Check(dispatcher_->AddWindowHandler(window_->handle()));
        if (savedTriggers_.saved) {
            dispatcher_->RestoreTriggers(savedTriggers_);
        }
    } catch (...) {
        // Settings the device refused: do not leave a half-configured port open.
        state_ = State::Closed;
        open_ = false;
        window_.reset();
        [[maybe_unused]] int closeRc = dispatcher_->CloseDevice();
        dispatcher_.reset();
        throw;
    }
    NotifyListeners(true);
}

void TCustomComPort::ApplyAll() {
    forceApply_ = true;
    struct Off {
        bool &flag;
        ~Off() { flag = false; }
    } off{forceApply_};
    SetTracing(tracing_);
    SetLogging(logging_);
    SetHWFlowOptions(hwFlow_);
    SetSWFlowOptions(swFlow_);
    SetXOnChar(xonChar_);
    SetXOffChar(xoffChar_);
    Check(dispatcher_->SetAvailThreshold(availOnOpen_));
    SetDTR(dtr_);
    if (deviceLayer_ != dlFossil) {
        SetRTS(rts_);
    }
    // UseMSRShadow, UseEventWord and CommNotificationLevel have no effect on this layer.
    SetRS485Mode(rs485Mode_);
}

void TCustomComPort::ClosePort() {
    open_ = false;
    if (state_ != State::Open) {
        return;
    }
    // An active trace or log is written before the device closes; a failure to write it
    // does not keep the port open.
    std::exception_ptr dumpError;
    try {
        SetTracing(tlDump);
    } catch (...) {
        dumpError = std::current_exception();
    }
    try {
        SetLogging(tlDump);
    } catch (...) {
        if (!dumpError) {
            dumpError = std::current_exception();
        }
    }
    state_ = State::Closing;
    NotifyListeners(false);
    dispatcher_->SaveTriggers(savedTriggers_);
    [[maybe_unused]] int rc = dispatcher_->CloseDevice();
    if (CloseMustWait()) {
        // Closed from inside a trigger handler: finish once the handler has returned.
        window_->post(MsgPortClose, 0,
                      static_cast<platform::LParam>(int64_t{dispatcher_->Handle()} * 65536));
        window_->loop().pump();
    } else {
        FinishClose();
    }
    if (dumpError) {
        std::rethrow_exception(dumpError);
    }
}

// The dispatcher is freed only once its threads have run down and no trigger event is in
// progress here: a handler that ran past the send limit is no longer in the dispatcher's
// pass, yet may still hold the dispatcher.
bool TCustomComPort::CloseMustWait() const {
    return dispatcher_->ThreadsRunning() || triggerDepth_ > 0;
}

void TCustomComPort::FinishClose() {
    if (dispatcher_ && window_) {
        [[maybe_unused]] int rc = dispatcher_->RemoveWindowHandler(window_->handle());
    }
    window_.reset();
    dispatcher_.reset();
    state_ = State::Closed;
}

// ---- the notification window ----

std::optional<platform::LResult> TCustomComPort::HandleMessage(platform::Message &m) {
    if (m.number < MsgTriggerAvail || m.number > MsgDeviceLost ||
        (m.number > MsgTriggerStatus && m.number < MsgPortClose)) {
        return std::nullopt;
    }
    auto handle = static_cast<int32_t>((static_cast<uint64_t>(m.lParam) >> 16) & 0xFFFF);
    TBaseDispatcher *disp = TBaseDispatcher::FromHandle(handle);
    if (disp == nullptr || TBaseDispatcher::OwnerOfHandle(handle) != this ||
        disp != dispatcher_.get()) {
        return 0;
    }
    try {
        switch (m.number) {
        case MsgPortClose:
            if (CloseMustWait()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                window_->post(MsgPortClose, m.wParam, m.lParam);
                return 0;
            }
            FinishClose();
            if (openPending_) {
                openPending_ = false;
                SetOpen(true);
            }
            return 0;
        case MsgDeviceLost:
            if (state_ == State::Open) {
                SetOpen(false);
            }
            return 0;
        default:
            // A notification whose sender stopped waiting is stale: its bytes are gone.
            if (state_ != State::Open || m.senderGaveUp()) {
                return 0;
            }
            ++triggerDepth_;
            struct Leave {
                int &depth;
                ~Leave() { --depth; }
            } leave{triggerDepth_};
            DispatchTrigger(m.number, static_cast<uint32_t>(m.wParam),
                            static_cast<int32_t>(m.lParam));
            return 0;
        }
    } catch (...) {
        reportCurrentException();
    }
    return 0;
}

void TCustomComPort::DispatchTrigger(uint32_t msg, uint32_t wParam, int32_t lParam) {
    auto handle = static_cast<uint16_t>(wParam);
    auto low = static_cast<uint16_t>(static_cast<uint32_t>(lParam) & 0xFFFF);
    if (onTrigger_) {
        onTrigger_(*this, static_cast<uint16_t>(msg), handle,
                   msg == MsgTriggerAvail ? handle : low);
    }
    switch (msg) {
    case MsgTriggerAvail:
        if (onTriggerAvail_) {
            onTriggerAvail_(*this, handle);
        }
        break;
    case MsgTriggerData:
        if (onTriggerData_) {
            onTriggerData_(*this, handle);
        }
        break;
    case MsgTriggerTimer:
        if (onTriggerTimer_) {
            onTriggerTimer_(*this, handle);
        }
        break;
    case MsgTriggerStatus:
        if (onTriggerStatus_) {
            onTriggerStatus_(*this, handle);
        }
        switch (handle & 7) {
        case skModemSignals:
            if (onTriggerModemStatus_) {
                onTriggerModemStatus_(*this);
            }
            break;
        case skLineErrors:
            if (onTriggerLineError_) {
                auto error = static_cast<uint16_t>(LineError());
                onTriggerLineError_(*this, error, LineBreak());
            }
            break;
        case skOutputFree:
            if (onTriggerOutbuffFree_) {
                onTriggerOutbuffFree_(*this);
            }
            break;
        case skOutputUsed:
            if (onTriggerOutbuffUsed_) {
                onTriggerOutbuffUsed_(*this);
            }
            break;
        case skOutputSent:
            if (onTriggerOutSent_) {
                onTriggerOutSent_(*this);
            }
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
}

// ---- events ----

bool TCustomComPort::AnyTriggerEvent() const {
    return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
           onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ ||
           onTriggerOutbuffUsed_ || onTriggerOutSent_;
}

void TCustomComPort::UpdatePortHandler() {
    if (state_ == State::Open && dispatcher_) {
        Check(dispatcher_->SetHandlerMode(AnyTriggerEvent() ? 1 : 2));
    }
}

void TCustomComPort::SetOnTrigger(TTriggerEvent e) {
    onTrigger_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent e) {
    onTriggerAvail_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerData(TTriggerHandleEvent e) {
    onTriggerData_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerStatus(TTriggerHandleEvent e) {
    onTriggerStatus_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerTimer(TTriggerHandleEvent e) {
    onTriggerTimer_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent e) {
    onTriggerLineError_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerModemStatus(TPortEvent e) {
    onTriggerModemStatus_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerOutbuffFree(TPortEvent e) {
    onTriggerOutbuffFree_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerOutbuffUsed(TPortEvent e) {
    onTriggerOutbuffUsed_ = std::move(e);
    UpdatePortHandler();
}
void TCustomComPort::SetOnTriggerOutSent(TPortEvent e) {
    onTriggerOutSent_ = std::move(e);
    UpdatePortHandler();
}

int TCustomComPort::AddPortListener(std::function<void(TCustomComPort &, bool)> listener) {
    int id = nextListener_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void TCustomComPort::RemovePortListener(int id) {
    std::erase_if(listeners_, [id](const auto &l) { return l.first == id; });
}

// A listener that throws is reported and the others still run: an open or a close must not
// stop half-way because of a partner's fault.
void TCustomComPort::NotifyListeners(bool opened) {
    auto copy = listeners_;
    for (auto &l : copy) {
        try {
            l.second(*this, opened);
        } catch (...) {
            reportCurrentException();
        }
    }
}

TCustomComPort *FindComPort(const std::vector<TBaseComponent *> &components) {
    for (TBaseComponent *c : components) {
        if (auto *port = dynamic_cast<TCustomComPort *>(c)) {
            return port;
        }
    }
    return nullptr;
}

// ---- dispatcher access ----

TBaseDispatcher *TCustomComPort::Dispatcher() {
    if (!dispatcher_ && autoOpen_ && !Loading() && !Designing() && state_ != State::Closing) {
        SetOpen(true);
    }
    return dispatcher_.get();
}

TBaseDispatcher &TCustomComPort::ValidDispatcher() {
    TBaseDispatcher *d = Dispatcher();
    if (d == nullptr) {
        RaiseError(kErrCommNotOpen);
    }
    return *d;
}

int32_t TCustomComPort::LineError() {
    if (state_ != State::Open || !dispatcher_) {
        return 0;
    }
    return Check(dispatcher_->TakeLineError());
}

bool TCustomComPort::LineBreak() {
    if (state_ != State::Open || !dispatcher_) {
        return false;
    }
    return dispatcher_->TakeLineBreak();
}

} // namespace quillon::comm
