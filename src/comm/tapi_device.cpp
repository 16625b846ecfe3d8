// The telephony line device: properties, the line application and its handle record, the
// passthrough call, the hand-over to the comm port and the release.

#include "comm/tapi_device.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "comm/error_codes.h"
#include "platform/line_device.h"
#include "platform/settings_store.h"

namespace quillon::comm {

namespace {

// Posted to the device's own window: a call state change (wParam the call's serial number,
// lParam the new state), and a device that went away under the call (wParam the serial).
constexpr uint32_t kMsgCallState = platform::kWmUser + 0x3E0;
constexpr uint32_t kMsgLineLost = platform::kWmUser + 0x3E1;

// Status report messages: the call state and line device state reports.
constexpr uint32_t kReportCallState = 2;

// Hands the exception in flight to the application's exception handler.
void reportCurrentException() {
    platform::ReportCurrentException("a telephony handler");
}

// The line applications this process holds, and the handle the next one gets.
std::mutex &recordMutex() {
    static std::mutex m;
    return m;
}
int liveApplications = 0;
uint32_t nextHandle = 0x00010001;

std::string recordName(int pid) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "$%08X", static_cast<unsigned>(pid));
    return buf;
}

// The process id a record's value name stands for, or -1 for a name of another form.
int recordPid(const std::string &name) {
    if (name.size() != 9 || name[0] != '$') {
        return -1;
    }
    unsigned long pid = 0;
    for (size_t i = 1; i < name.size(); ++i) {
        char c = name[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0) {
            return -1;
        }
        pid = pid * 16 + static_cast<unsigned long>(digit);
    }
    return pid > 0x7FFFFFFFul ? -1 : static_cast<int>(pid);
}

// What an open failure of a line's device means to the caller.
int32_t openErrorCode(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return kErrTapiNoDevice;
    case EBUSY:
    case EAGAIN:
        return kErrTapiInUse;
    case ENXIO:
    case ENODEV:
    case EIO:
        return kErrTapiResourceUnavail;
    case ENOTTY:
        return kErrTapiBadDeviceId;
    default:
        return kErrTapiOperationFailed;
    }
}

} // namespace

// ---- construction and partners ----

TCustomTapiDevice::TCustomTapiDevice(TComponentOwner *owner, std::string name)
    : TBaseComponent(std::move(name)) {
    window_ = std::make_unique<platform::MessageTarget>(
        [this](platform::Message &m) { return HandleMessage(m); });
    if (owner == nullptr) {
        return;
    }
    owner->InsertComponent(*this);
    for (TBaseComponent *c : owner->Components()) {
        Notification(*c, opInsert);
    }
}

TCustomTapiDevice::~TCustomTapiDevice() {
    try {
        ShutdownTapi();
    } catch (...) {
        reportCurrentException();
    }
    DetachPort();
    if (statusDisplay_ != nullptr) {
        statusDisplay_->device_ = nullptr;
    }
    if (tapiLog_ != nullptr) {
        tapiLog_->device_ = nullptr;
    }
    window_.reset();
}

// A port, status display or history writer that joins the owner becomes this device's
// partner when the slot is empty (and the partner is not attached elsewhere); one that goes
// away is let go.
void TCustomTapiDevice::Notification(TBaseComponent &component, TOperation operation) {
    if (operation == opRemove) {
        if (&component == comPort_) {
            // The port is being destroyed: it must not be called any more.
            comPort_ = nullptr;
            portListener_ = 0;
        }
        if (&component == statusDisplay_) {
            statusDisplay_ = nullptr;
        }
        if (&component == tapiLog_) {
            tapiLog_ = nullptr;
        }
        return;
    }
    if (&component == this) {
        return;
    }
    if (comPort_ == nullptr) {
        if (auto *port = dynamic_cast<TCustomComPort *>(&component)) {
            AttachPort(port);
            if (port->TapiMode() == tmAuto) {
                port->SetTapiMode(tmOn);
                port->SetAutoOpen(false);
                try {
                    port->SetOpen(false);
                } catch (...) {
                    reportCurrentException();
                }
            }
            return;
        }
    }
    if (statusDisplay_ == nullptr) {
        if (auto *display = dynamic_cast<TAbstractTapiStatus *>(&component)) {
            if (display->device_ == nullptr) {
                SetStatusDisplay(display);
            }
            return;
        }
    }
    if (tapiLog_ == nullptr) {
        if (auto *log = dynamic_cast<TTapiLog *>(&component)) {
            if (log->device_ == nullptr) {
                SetTapiLog(log);
            }
        }
    }
}

void TCustomTapiDevice::SetComPort(TCustomComPort *port) {
    if (port == comPort_) {
        return;
    }
    DetachPort();
    if (port != nullptr) {
        AttachPort(port);
    }
}

void TCustomTapiDevice::AttachPort(TCustomComPort *port) {
    comPort_ = port;
    FreeNotification(*port);
    // A device that goes away under a handed-over port closes the port; the call on it is
    // then released from the event loop, not inside the port's close.
    portListener_ = port->AddPortListener([this](TCustomComPort &p, bool opened) {
        if (opened || releasing_ || !callExists_) {
            return;
        }
        TBaseDispatcher *d = p.Dispatcher();
        if (d != nullptr && d->DeviceLost()) {
            portLost_ = true;
            window_->post(kMsgLineLost, callSerial_);
        }
    });
}

void TCustomTapiDevice::DetachPort() {
    if (comPort_ == nullptr) {
        return;
    }
    if (portListener_ != 0) {
        comPort_->RemovePortListener(portListener_);
    }
    RemoveFreeNotification(*comPort_);
    comPort_ = nullptr;
    portListener_ = 0;
}

void TCustomTapiDevice::SetStatusDisplay(TAbstractTapiStatus *display) {
    if (display == statusDisplay_) {
        return;
    }
    if (statusDisplay_ != nullptr) {
        statusDisplay_->device_ = nullptr;
        RemoveFreeNotification(*statusDisplay_);
    }
    statusDisplay_ = display;
    if (display != nullptr) {
        if (display->device_ != nullptr && display->device_ != this) {
            display->device_->SetStatusDisplay(nullptr);
        }
        display->device_ = this;
        FreeNotification(*display);
    }
}

void TCustomTapiDevice::SetTapiLog(TTapiLog *log) {
    if (log == tapiLog_) {
        return;
    }
    if (tapiLog_ != nullptr) {
        tapiLog_->device_ = nullptr;
        RemoveFreeNotification(*tapiLog_);
    }
    tapiLog_ = log;
    if (log != nullptr) {
        if (log->device_ != nullptr && log->device_ != this) {
            log->device_->SetTapiLog(nullptr);
        }
        log->device_ = this;
        FreeNotification(*log);
    }
}

// ---- properties ----

void TCustomTapiDevice::SetSelectedDevice(const std::string &name) {
    selectedDevice_ = name;
    if (enableVoice_) {
        enableVoice_ = false;
        Check(kErrTapiVoiceNotSupported);
    }
}

void TCustomTapiDevice::SetEnableVoice(bool v) {
    if (v) {
        enableVoice_ = false;
        Check(kErrTapiVoiceNotSupported);
        return;
    }
    enableVoice_ = false;
}

std::vector<std::string> TCustomTapiDevice::TapiDevices() const {
    std::vector<std::string> names;
    for (auto &d : LineDevices()) {
        names.push_back(d.name);
    }
    return names;
}

// ---- the line application ----

void TCustomTapiDevice::InitializeTapi() {
    if (lineApp_ != 0 || initializing_) {
        return;
    }
    initializing_ = true;
    struct Leave {
        bool &flag;
        ~Leave() { flag = false; }
    } leave{initializing_};

    auto store = platform::SettingsStore::User();
    int self = platform::CurrentProcessId();
    std::lock_guard lock(recordMutex());
    // Records left by processes that ended without shutting down. Records of processes that
    // still run are theirs and stay.
    for (const std::string &name : store.ValueNames(kTapiRecordKey)) {
        int pid = recordPid(name);
        if (pid == self || (pid > 0 && platform::ProcessRunning(pid))) {
            continue;
        }
        store.DeleteValue(kTapiRecordKey, name);
    }
    lineApp_ = nextHandle++;
    ++liveApplications;
    numDevices_ = static_cast<uint32_t>(LineDevices().size());
    // The record is bookkeeping: a store that cannot be written does not stop the line.
    store.SetValue(kTapiRecordKey, recordName(self), platform::RegValue::Dword(lineApp_));
    deviceId_ = -1;
    callExists_ = false;
}

void TCustomTapiDevice::ShutdownTapi() {
    // A handler that throws while the call is released must not keep the record alive.
    std::exception_ptr releaseError;
    try {
        ReleaseCall(true);
    } catch (...) {
        releaseError = std::current_exception();
    }
    if (lineApp_ != 0) {
        lineApp_ = 0;
        std::lock_guard lock(recordMutex());
        if (--liveApplications == 0) {
            platform::SettingsStore::User().DeleteValue(kTapiRecordKey,
                                                        recordName(platform::CurrentProcessId()));
        }
    }
    if (releaseError) {
        std::rethrow_exception(releaseError);
    }
}

// ---- the line ----

void TCustomTapiDevice::OpenLine(LineMode mode) {
    int id = ResolveDeviceId();
    auto devices = LineDevices();
    if (id < 0 || static_cast<size_t>(id) >= devices.size()) {
        RaiseError(kErrTapiNoSelect); // the table changed under the dialog
    }
    mode_ = mode;
    if (mode == LineMode::Dial) {
        // The modem's device is the line: taking it is what can fail here.
        int fd = platform::OpenLineDevice(devices[static_cast<size_t>(id)].path);
        if (fd < 0) {
            RaiseError(openErrorCode(-fd));
        }
        lineDescriptor_ = fd;
        callPath_ = devices[static_cast<size_t>(id)].path;
    }
    deviceId_ = id;
    lineOpen_ = true;
    if (mode == LineMode::Answer) {
        Log(ltapiCallStart);
    }
}

void TCustomTapiDevice::CloseLine() {
    if (lineDescriptor_ >= 0) {
        platform::CloseLineDevice(lineDescriptor_);
        lineDescriptor_ = -1;
    }
    callPath_.clear();
    lineOpen_ = false;
}

void TCustomTapiDevice::StartPassthrough() {
    if (comPort_ == nullptr) {
        RaiseError(kErrPortNotAssigned);
    }
    if (comPort_->TapiMode() == tmAuto) {
        comPort_->SetTapiMode(tmOn);
    }
    if (comPort_->TapiMode() != tmOn) {
        RaiseError(kErrTapiNotSet);
    }
    if (callExists_ && callState_ != tcsIdle) {
        RaiseError(kErrTapiBusy);
    }
    InitializeTapi();
    quiet_ = true; // status reports and the end-of-call report stay off from now on
    try {
        // The answer-mode open resolves the device (showing the dialog when it must).
        CloseLine();
        OpenLine(LineMode::Answer);
        CloseLine();
        InitializeTapi();
        OpenLine(LineMode::Dial);
        Log(ltapiDial);
    } catch (...) {
        CloseLine(); // nothing stays open when the start fails
        throw;
    }
    // The call: on this line service it connects at once, reported through the window so
    // that the hand-over happens after this returns.
    callExists_ = true;
    connected_ = false;
    cancelled_ = false;
    portLost_ = false;
    callState_ = tcsDialing;
    ++callSerial_;
    ReportStatus(false, false, kReportCallState, tcsDialing, 0, 0);
    window_->post(kMsgCallState, callSerial_, static_cast<platform::LParam>(tcsConnected));
}

bool TCustomTapiDevice::EndCall() {
    cancelled_ = true;
    Log(ltapiCancel);
    ReleaseCall(true);
    return true;
}

void TCustomTapiDevice::AutoAnswer() {
    Check(kErrTapiOperationUnavail);
}
void TCustomTapiDevice::PlayWaveFile(const std::string &) {
    Check(kErrTapiVoiceNotSupported);
}
void TCustomTapiDevice::StopWaveFile() {
    Check(kErrTapiVoiceNotSupported);
}
void TCustomTapiDevice::StartWaveRecord() {
    Check(kErrTapiVoiceNotSupported);
}
void TCustomTapiDevice::StopWaveRecord() {
    Check(kErrTapiVoiceNotSupported);
}
void TCustomTapiDevice::SaveWaveFile(const std::string &, bool) {
    Check(kErrTapiVoiceNotSupported);
}

// ---- connection and hand-over ----

void TCustomTapiDevice::OnConnected() {
    if (connected_) {
        return;
    }
    if (comPort_ == nullptr) {
        RaiseError(kErrPortNotAssigned);
    }
    // A port still letting go of its previous device (its threads running down) would only
    // note the open for later, and OnTapiPortOpen would find it closed: come back once the
    // close is complete.
    comPort_->SetOpen(false);
    if (comPort_->Closing()) {
        window_->post(kMsgCallState, callSerial_, static_cast<platform::LParam>(tcsConnected));
        return;
    }
    connected_ = true;
    callState_ = tcsConnected;
    HandOverPort();
    ReportStatus(false, false, kReportCallState, tcsConnected, 0, 0);
    if (OnTapiConnect) {
        OnTapiConnect(*this);
    }
    Log(ltapiConnect);
}

// The port opens on the call's device (it works on its own copy of the descriptor).
void TCustomTapiDevice::HandOverPort() {
    comPort_->SetTapiDescriptor(lineDescriptor_);
    comPort_->SetOpen(true);
    if (OnTapiPortOpen) {
        OnTapiPortOpen(*this);
    }
}

// Closes the port and takes its descriptor away; returns whether it had been open.
bool TCustomTapiDevice::TakePortBack() {
    if (comPort_ == nullptr) {
        return false;
    }
    bool wasOpen = comPort_->Open();
    try {
        comPort_->SetOpen(false);
    } catch (...) {
        // A trace that could not be written: the port is closed all the same.
        reportCurrentException();
    }
    comPort_->SetTapiDescriptor(0);
    return wasOpen;
}

void TCustomTapiDevice::ReleaseCall(bool final) {
    (void) final; // no redial is ever armed on this line service
    if (releasing_) {
        return;
    }
    releasing_ = true;
    struct Leave {
        TCustomTapiDevice &d;
        ~Leave() {
            d.releasing_ = false;
            d.lineOpen_ = false;
        }
    } leave{*this};

    if (!lineOpen_) {
        return;
    }
    bool portWasOpen = TakePortBack() || portLost_;
    bool wasConnected = connected_;
    // Drop and deallocate the call, close the line; a state change still queued for the
    // call is stale from here on.
    callState_ = tcsIdle;
    callExists_ = false;
    ++callSerial_;
    CloseLine();
    connected_ = false;
    portLost_ = false;
    deviceId_ = -1;
    if (portWasOpen && OnTapiPortClose) {
        OnTapiPortClose(*this);
    }
    Log(ltapiDrop);
    if (!quiet_) {
        ReportStatus(false, true, kReportCallState, tcsIdle, 0, 0);
        Log(ltapiCallFinish);
        if (!wasConnected) {
            Log(ltapiDialFail);
            if (OnTapiFail) {
                OnTapiFail(*this);
            }
        }
    }
}

// ---- the window ----

std::optional<platform::LResult> TCustomTapiDevice::HandleMessage(platform::Message &m) {
    if (m.number != kMsgCallState && m.number != kMsgLineLost) {
        return std::nullopt;
    }
    if (m.wParam != callSerial_ || !callExists_) {
        return 0; // for a call that was released meanwhile
    }
    try {
        if (m.number == kMsgLineLost) {
            callState_ = tcsDisconnected;
            ReportStatus(false, false, kReportCallState, tcsDisconnected, 0, 0);
            ReleaseCall(true);
        } else if (static_cast<uint32_t>(m.lParam) == tcsConnected) {
            try {
                OnConnected();
            } catch (...) {
                // The port refused the device: the call is of no use.
                if (comPort_ == nullptr || !comPort_->Open()) {
                    ReleaseCall(true);
                }
                throw;
            }
        }
    } catch (...) {
        reportCurrentException();
    }
    return 0;
}

void TCustomTapiDevice::ReportStatus(bool first, bool last, uint32_t message, uint32_t p1,
                                     uint32_t p2, uint32_t p3) {
    if (quiet_) {
        return;
    }
    auto device = static_cast<uint32_t>(deviceId_);
    if (OnTapiStatus) {
        OnTapiStatus(*this, first, last, device, message, p1, p2, p3);
    }
    if (statusDisplay_ != nullptr) {
        statusDisplay_->UpdateDisplay(first, last, device, message, p1, p2, p3);
    }
}

void TCustomTapiDevice::Log(TTapiLogCode code) {
    if (OnTapiLog) {
        OnTapiLog(*this, code);
    }
    if (tapiLog_ != nullptr) {
        try {
            tapiLog_->UpdateLog(code);
        } catch (...) {
            // The history file is a record only: a full disk must not stop the call.
            reportCurrentException();
        }
    }
}

} // namespace quillon::comm
