// The telephony device's optional partners: the status display and the history file.

#include <cerrno>
#include <cstdio>

#include "comm/error_codes.h"
#include "comm/tapi_device.h"
#include "platform/local_clock.h"

namespace quillon::comm {

namespace {

// "12/10/2026 1:05:09 AM": the date and time as the history file shows them.
std::string historyTime() {
    platform::LocalTime t = platform::LocalTimeNow();
    int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %d:%02d:%02d %s", t.month, t.day, t.year, hour12,
                  t.minute, t.second, t.hour < 12 ? "AM" : "PM");
    return buf;
}

} // namespace

TAbstractTapiStatus::TAbstractTapiStatus(TComponentOwner *owner, std::string name)
    : TBaseComponent(std::move(name)) {
    if (owner != nullptr) {
        owner->InsertComponent(*this); // a device on the owner without a display takes it
    }
}

TAbstractTapiStatus::~TAbstractTapiStatus() {
    if (device_ != nullptr) {
        device_->statusDisplay_ = nullptr;
        device_->RemoveFreeNotification(*this);
    }
}

void TAbstractTapiStatus::SetTapiDevice(TCustomTapiDevice *device) {
    if (device == device_) {
        return;
    }
    if (device_ != nullptr) {
        device_->SetStatusDisplay(nullptr);
    }
    if (device != nullptr) {
        device->SetStatusDisplay(this);
    }
}

void TAbstractTapiStatus::Notification(TBaseComponent &component, TOperation operation) {
    if (operation == opRemove && &component == device_) {
        device_ = nullptr;
    }
}

TTapiLog::TTapiLog(TComponentOwner *owner, std::string name) : TBaseComponent(std::move(name)) {
    if (owner != nullptr) {
        owner->InsertComponent(*this);
    }
}

TTapiLog::~TTapiLog() {
    if (device_ != nullptr) {
        device_->tapiLog_ = nullptr;
        device_->RemoveFreeNotification(*this);
    }
}

void TTapiLog::SetTapiDevice(TCustomTapiDevice *device) {
    if (device == device_) {
        return;
    }
    if (device_ != nullptr) {
        device_->SetTapiLog(nullptr);
    }
    if (device != nullptr) {
        device->SetTapiLog(this);
    }
}

void TTapiLog::Notification(TBaseComponent &component, TOperation operation) {
    if (operation == opRemove && &component == device_) {
        device_ = nullptr;
    }
}

std::string TTapiLog::LogText(TTapiLogCode code, const std::string &number) {
    switch (code) {
    case ltapiCallStart:
        return "call started";
    case ltapiCallFinish:
        return "call finished\n";
    case ltapiDial:
        return "  dialing " + number;
    case ltapiAccept:
        return "  accepting";
    case ltapiAnswer:
        return "  answering";
    case ltapiConnect:
        return "  connected";
    case ltapiCancel:
        return "  cancelled";
    case ltapiDrop:
        return "  dropped";
    case ltapiBusy:
        return "  busy";
    case ltapiDialFail:
        return "  dial failed";
    case ltapiReceivedDigit:
        return "  received digit";
    default:
        return {};
    }
}

void TTapiLog::UpdateLog(TTapiLogCode code) {
    // Opened for appending (created when missing) and closed again after each line.
    std::FILE *f = std::fopen(historyName_.c_str(), "a");
    if (f == nullptr) {
        RaiseError(-PlatformError(errno));
    }
    // A passthrough call dials no number.
    std::string line = historyTime() + " : " + LogText(code) + "\n";
    bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
    int err = ok ? 0 : errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        RaiseError(-PlatformError(err == 0 ? EIO : err));
    }
}

} // namespace quillon::comm
