#include "server/registry_variable.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/ui_hooks.h"

namespace quillon::server {

namespace {

using platform::RegType;
using platform::RegValue;
using platform::SettingsStore;

std::string trimmed(const std::string &s) {
    auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return {};
    }
    auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::optional<double> parseDouble(const std::string &s) {
    auto t = trimmed(s);
    if (t.empty()) {
        return std::nullopt;
    }
    double v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size()) {
        return std::nullopt;
    }
    return v;
}

std::optional<int64_t> parseInteger(const std::string &s) {
    auto t = trimmed(s);
    int64_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size()) {
        return std::nullopt;
    }
    return v;
}

bool equalsNoCase(const std::string &a, const char *b) {
    return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

std::vector<uint8_t> bytesOf(uint64_t bits) {
    std::vector<uint8_t> b(8);
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<uint8_t>(bits >> (8 * i));
    }
    return b;
}

std::optional<uint64_t> bitsOf(const RegValue &v) {
    if (v.type != RegType::Binary || v.bytes.size() != 8) {
        return std::nullopt;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits |= static_cast<uint64_t>(v.bytes[i]) << (8 * i);
    }
    return bits;
}

RegValue doubleValue(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return RegValue::Binary(bytesOf(bits));
}

std::string formatDouble(double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
}

} // namespace

const char *RootKeyName(TVarRegistryKeys key) {
    switch (key) {
    case rk_HKEY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case rk_HKEY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case rk_HKEY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    case rk_HKEY_CURRRENT_CONFIG:
        return "HKEY_CURRENT_CONFIG";
    }
    return "HKEY_CURRENT_USER";
}

uint32_t RootKeyHandle(TVarRegistryKeys key) {
    switch (key) {
    case rk_HKEY_CLASSES_ROOT:
        return 0x80000000u;
    case rk_HKEY_CURRENT_USER:
        return 0x80000001u;
    case rk_HKEY_LOCAL_MACHINE:
        return 0x80000002u;
    case rk_HKEY_CURRRENT_CONFIG:
        return 0x80000005u;
    }
    return 0x80000001u;
}

std::optional<bool> VariantToBool(const Variant &v) {
    if (std::holds_alternative<std::monostate>(v)) {
        return false;
    }
    if (auto *b = std::get_if<bool>(&v)) {
        return *b;
    }
    if (auto *s = std::get_if<std::string>(&v)) {
        if (equalsNoCase(trimmed(*s), "true")) {
            return true;
        }
        if (equalsNoCase(trimmed(*s), "false")) {
            return false;
        }
        auto d = parseDouble(*s);
        return d ? std::optional<bool>(*d != 0) : std::nullopt;
    }
    auto d = VariantToDouble(v);
    return d ? std::optional<bool>(*d != 0) : std::nullopt;
}

std::optional<double> VariantToDouble(const Variant &v) {
    return std::visit(
        [](const auto &x) -> std::optional<double> {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return 0.0;
            } else if constexpr (std::is_same_v<T, bool>) {
                return x ? -1.0 : 0.0; // a true boolean is -1 as a number
            } else if constexpr (std::is_same_v<T, Currency>) {
                return static_cast<double>(x.scaled) / 10000.0;
            } else if constexpr (std::is_same_v<T, DateTime>) {
                return x.days;
            } else if constexpr (std::is_same_v<T, double>) {
                return x;
            } else if constexpr (std::is_same_v<T, int32_t>) {
                return static_cast<double>(x);
            } else {
                return parseDouble(x);
            }
        },
        v);
}

std::optional<int32_t> VariantToInteger(const Variant &v) {
    if (auto *s = std::get_if<std::string>(&v)) {
        if (auto i = parseInteger(*s)) {
            if (*i < std::numeric_limits<int32_t>::min() ||
                *i > std::numeric_limits<int32_t>::max()) {
                return std::nullopt;
            }
            return static_cast<int32_t>(*i);
        }
    }
    auto d = VariantToDouble(v);
    if (!d || !std::isfinite(*d)) {
        return std::nullopt;
    }
    double r = std::nearbyint(*d); // round half to even
    if (r < std::numeric_limits<int32_t>::min() || r > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(r);
}

std::optional<Currency> VariantToCurrency(const Variant &v) {
    if (auto *c = std::get_if<Currency>(&v)) {
        return *c;
    }
    auto d = VariantToDouble(v);
    if (!d || !std::isfinite(*d) || std::fabs(*d) > 922337203685477.0) {
        return std::nullopt;
    }
    return Currency{static_cast<int64_t>(std::nearbyint(*d * 10000.0))};
}

std::string VariantToString(const Variant &v) {
    return std::visit(
        [](const auto &x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return {};
            } else if constexpr (std::is_same_v<T, bool>) {
                return x ? "True" : "False";
            } else if constexpr (std::is_same_v<T, Currency>) {
                return formatDouble(static_cast<double>(x.scaled) / 10000.0);
            } else if constexpr (std::is_same_v<T, DateTime>) {
                return formatDouble(x.days);
            } else if constexpr (std::is_same_v<T, double>) {
                return formatDouble(x);
            } else if constexpr (std::is_same_v<T, int32_t>) {
                return std::to_string(x);
            } else {
                return x;
            }
        },
        v);
}

TRegistryVariable::TRegistryVariable(TForm *owner, std::string name)
    : TBaseComponent(std::move(name)), self_(std::make_shared<TRegistryVariable *>(this)) {
    if (!owner) {
        return;
    }
    std::weak_ptr<TRegistryVariable *> weak = self_;
    owner->OnClose = [weak, kept = std::move(owner->OnClose)](TForm &sender, TCloseAction &action) {
        action = TCloseAction::caFree;
        if (kept) {
            kept(sender, action);
        }
        auto self = weak.lock();
        if (self && *self && (action == TCloseAction::caHide || action == TCloseAction::caFree)) {
            (*self)->recordLastUsedNames();
        }
    };
}

TRegistryVariable::~TRegistryVariable() {
    *self_ = nullptr;
}

std::string TRegistryVariable::KeyPath() const {
    std::string path = RootKeyName(RegBaseKey);
    for (const std::string *level :
         {&RegSubKey, &RegCompanyName, &RegApplicationName, &RegStoreName}) {
        if (!level->empty()) {
            path += "\\" + *level;
        }
    }
    return path;
}

bool TRegistryVariable::VariableExists() const {
    return SettingsStore::User().GetValue(KeyPath(), RegVariableName).has_value();
}

Variant TRegistryVariable::GetValue() {
    auto stored = SettingsStore::User().GetValue(KeyPath(), RegVariableName);
    if (!stored) {
        readError();
        return {};
    }
    const RegValue &v = *stored;
    switch (RegVariableType) {
    case regBool:
        if (v.type == RegType::Dword) {
            return v.dword != 0;
        }
        break;
    case regInteger:
        if (v.type == RegType::Dword) {
            return static_cast<int32_t>(v.dword);
        }
        break;
    case regString:
        if (v.type == RegType::String) {
            return v.text;
        }
        break;
    case regCurrency:
        if (auto bits = bitsOf(v)) {
            return Currency{static_cast<int64_t>(*bits)};
        }
        break;
    case regDate:
    case regDateTime:
    case regTime:
    case regFloat:
        if (auto bits = bitsOf(v)) {
            double d;
            std::memcpy(&d, &*bits, sizeof d);
            if (RegVariableType == regFloat) {
                return d;
            }
            return DateTime{d};
        }
        break;
    }
    readError();
    return {};
}

void TRegistryVariable::SetValue(const Variant &value) {
    std::optional<RegValue> stored;
    switch (RegVariableType) {
    case regBool:
        if (auto b = VariantToBool(value)) {
            stored = RegValue::Dword(*b ? 1 : 0);
        }
        break;
    case regInteger:
        if (auto i = VariantToInteger(value)) {
            stored = RegValue::Dword(static_cast<uint32_t>(*i));
        }
        break;
    case regString:
        stored = RegValue::String(VariantToString(value));
        break;
    case regCurrency:
        if (auto c = VariantToCurrency(value)) {
            stored = RegValue::Binary(bytesOf(static_cast<uint64_t>(c->scaled)));
        }
        break;
    case regDate:
    case regDateTime:
    case regTime:
    case regFloat:
        if (auto d = VariantToDouble(value)) {
            stored = doubleValue(*d);
        }
        break;
    }
    if (!stored || !SettingsStore::User().SetValue(KeyPath(), RegVariableName, *stored)) {
        writeError();
    }
}

void TRegistryVariable::readError() {
    if (OnReadError) {
        OnReadError(*this);
    } else {
        platform::ShowMessageBox(kReadErrorText, "Error", platform::MessageKind::Error);
    }
}

void TRegistryVariable::writeError() {
    if (OnWriteError) {
        OnWriteError(*this);
    } else {
        platform::ShowMessageBox(kWriteErrorText, "Error", platform::MessageKind::Error);
    }
}

void TRegistryVariable::recordLastUsedNames() const {
    std::string key = "HKEY_CURRENT_USER";
    if (!RegSubKey.empty()) {
        key += "\\" + RegSubKey;
    }
    key += "\\Ostrand\\RegistryVariable";
    auto store = SettingsStore::User();
    // Each write failure is ignored.
    (void)store.SetValue(key, "RegCompanyNameString", RegValue::String(RegCompanyName));
    (void)store.SetValue(key, "RegAppNameString", RegValue::String(RegApplicationName));
    (void)store.SetValue(key, "RegStoreNameString", RegValue::String(RegStoreName));
}

} // namespace quillon::server
