#include "comm/port_names.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "comm/dispatcher.h"
#include "comm/error_codes.h"
#include "platform/settings_store.h"

namespace quillon::comm {

namespace {

std::mutex &hookMutex() {
    static std::mutex m;
    return m;
}

TComSelectHook &hookSlot() {
    static TComSelectHook hook;
    return hook;
}

} // namespace

std::vector<std::string> DefaultSerialDevices() {
    static const char *const kPrefixes[] = {"ttyS", "ttyUSB", "ttyACM"};
    std::vector<std::string> result;
    for (const char *prefix : kPrefixes) {
        std::vector<std::pair<unsigned long, std::string>> found;
        std::error_code ec;
        std::string p(prefix);
        for (const auto &entry : std::filesystem::directory_iterator("/dev", ec)) {
            std::string name = entry.path().filename().string();
            if (name.size() <= p.size() || name.compare(0, p.size(), p) != 0) {
                continue;
            }
            std::string digits = name.substr(p.size());
            if (!std::all_of(digits.begin(), digits.end(),
                             [](char c) { return c >= '0' && c <= '9'; })) {
                continue;
            }
            found.emplace_back(std::stoul(digits), entry.path().string());
        }
        std::sort(found.begin(), found.end());
        for (auto &f : found) {
            result.push_back(std::move(f.second));
        }
    }
    return result;
}

std::string ComPortPath(uint16_t comNumber) {
    if (comNumber == 0) {
        return {};
    }
    auto value =
        platform::SettingsStore::User().GetValue(kPortsKey, "COM" + std::to_string(comNumber));
    if (value && value->type == platform::RegType::String && !value->text.empty()) {
        return value->text;
    }
    auto devices = DefaultSerialDevices();
    return comNumber <= devices.size() ? devices[comNumber - 1u] : std::string();
}

TComSelectHook SetComSelectHook(TComSelectHook hook) {
    std::lock_guard lock(hookMutex());
    auto previous = std::move(hookSlot());
    hookSlot() = std::move(hook);
    return previous;
}

TComSelectForm::TComSelectForm(uint16_t maxPort) {
    for (uint16_t n = 1; n <= maxPort; ++n) {
        std::string path = ComPortPath(n);
        if (path.empty()) {
            continue;
        }
        TSerialDispatcher probe;
        int rc = probe.OpenDevice(path, 64, 64, true, true, 0, 5, 9, 3);
        if (rc == 0) {
            [[maybe_unused]] int closeRc = probe.CloseDevice();
        }
        if (rc == 0 || rc == kErrFileAccessDenied) {
            entries_.push_back("COM" + std::to_string(n));
        }
    }
    itemIndex_ = entries_.empty() ? -1 : 0;
}

bool TComSelectForm::Execute() {
    TComSelectHook hook;
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

uint16_t TComSelectForm::SelectedComNumber() const {
    if (itemIndex_ < 0 || static_cast<size_t>(itemIndex_) >= entries_.size()) {
        return 0;
    }
    const std::string &entry = entries_[static_cast<size_t>(itemIndex_)];
    if (entry.size() <= 3) {
        return 0;
    }
    unsigned long n = 0;
    for (char c : entry.substr(3)) {
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

} // namespace quillon::comm
