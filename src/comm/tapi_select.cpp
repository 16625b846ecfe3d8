// The line device table, the device selection dialog's model and the choice of a device.

#include <algorithm>
#include <mutex>

#include "comm/error_codes.h"
#include "comm/port_names.h"
#include "comm/tapi_device.h"
#include "platform/settings_store.h"

namespace quillon::comm {

namespace {

std::mutex &hookMutex() {
    static std::mutex m;
    return m;
}

TDeviceSelectHook &hookSlot() {
    static TDeviceSelectHook hook;
    return hook;
}

} // namespace

std::vector<TLineDevice> LineDevices() {
    auto store = platform::SettingsStore::User();
    std::vector<TLineDevice> devices;
    for (const std::string &name : store.ValueNames(kLinesKey)) {
        auto value = store.GetValue(kLinesKey, name);
        if (value && value->type == platform::RegType::String && !value->text.empty()) {
            devices.push_back({name, value->text});
        }
    }
    return devices;
}

TDeviceSelectHook SetDeviceSelectHook(TDeviceSelectHook hook) {
    std::lock_guard lock(hookMutex());
    auto previous = std::move(hookSlot());
    hookSlot() = std::move(hook);
    return previous;
}

TDeviceSelectionForm::TDeviceSelectionForm(bool showTapiDevices, bool showPorts, uint16_t maxPort) {
    if (showTapiDevices) {
        for (auto &d : LineDevices()) {
            entries_.push_back(d.name.empty() ? std::string(kNoName) : d.name);
        }
    }
    if (showPorts) {
        TComSelectForm ports(maxPort);
        for (const std::string &entry : ports.Entries()) {
            // "COMn" -> "Direct to COMn"
            entries_.push_back(std::string(kDirectPrefix) + entry.substr(3));
        }
    }
    itemIndex_ = entries_.empty() ? -1 : 0;
}

void TDeviceSelectionForm::Preselect(const std::string &entry) {
    auto it = std::find(entries_.begin(), entries_.end(), entry);
    itemIndex_ = it != entries_.end() ? static_cast<int>(it - entries_.begin())
                 : entries_.empty()   ? -1
                                      : 0;
}

bool TDeviceSelectionForm::Execute() {
    TDeviceSelectHook hook;
    {
        std::lock_guard lock(hookMutex());
        hook = hookSlot();
    }
    if (!hook) {
        return false;
    }
    int chosen = hook(*this);
    if (chosen < 0 || static_cast<size_t>(chosen) >= entries_.size()) {
        return false;
    }
    itemIndex_ = chosen;
    return true;
}

std::string TDeviceSelectionForm::SelectedEntry() const {
    if (itemIndex_ < 0 || static_cast<size_t>(itemIndex_) >= entries_.size()) {
        return {};
    }
    return entries_[static_cast<size_t>(itemIndex_)];
}

uint16_t TDeviceSelectionForm::DirectComNumber(const std::string &entry) {
    if (entry.find(kDirectPrefix) == std::string::npos || entry.size() <= kDirectPrefix.size()) {
        return 0;
    }
    unsigned long n = 0;
    for (char c : entry.substr(kDirectPrefix.size())) {
        if (c < '0' || c > '9') {
            return 0;
        }
        n = n * 10 + static_cast<unsigned long>(c - '0');
        if (n > 0xFFFF) {
            return 0;
        }
    }
    return static_cast<uint16_t>(n);
}

bool TCustomTapiDevice::ChooseDevice() {
    TDeviceSelectionForm form(showTapiDevices_, showPorts_);
    if (comPort_ != nullptr && comPort_->TapiMode() == tmOff) {
        form.Preselect(std::string(TDeviceSelectionForm::kDirectPrefix) +
                       std::to_string(comPort_->ComNumber()));
    } else {
        form.Preselect(selectedDevice_);
    }
    if (!form.Execute()) {
        return false;
    }
    std::string entry = form.SelectedEntry();
    if (entry.find(TDeviceSelectionForm::kDirectPrefix) != std::string::npos) {
        if (comPort_ == nullptr) {
            RaiseError(kErrPortNotAssigned);
        }
        comPort_->SetTapiMode(tmOff);
        comPort_->SetComNumber(TDeviceSelectionForm::DirectComNumber(entry));
        return true;
    }
    if (comPort_ != nullptr) {
        comPort_->SetTapiMode(tmAuto);
    }
    SetSelectedDevice(entry);
    return true;
}

// The device id of SelectedDevice; with none, the only device, or the operator's choice.
int TCustomTapiDevice::ResolveDeviceId() {
    auto find = [this](const std::vector<TLineDevice> &devices) {
        for (size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].name == selectedDevice_) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    auto devices = LineDevices();
    numDevices_ = static_cast<uint32_t>(devices.size());
    int id = find(devices);
    if (id >= 0) {
        return id;
    }
    if (devices.size() == 1 && selectedDevice_.empty()) {
        selectedDevice_ = devices[0].name;
        return 0;
    }
    if (!showPorts_ && !showTapiDevices_) {
        RaiseError(kErrTapiNoSelect);
    }
    TDeviceSelectionForm form(true, false);
    form.Preselect(selectedDevice_);
    if (!form.Execute()) {
        RaiseError(kErrTapiNoSelect);
    }
    selectedDevice_ = form.SelectedEntry();
    id = find(LineDevices());
    if (id < 0) {
        RaiseError(kErrTapiNoSelect);
    }
    return id;
}

} // namespace quillon::comm
