#pragma once

// One persistent setting: a typed value at a five-level key path of the settings store
// (root \ RegSubKey \ RegCompanyName \ RegApplicationName \ RegStoreName, value
// RegVariableName). Lives on the user-interface thread; every operation opens the store
// afresh. Read and write failures never raise: they call OnReadError / OnWriteError, or
// show the error box through the message-box hook.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "comm/base_component.h"
#include "platform/settings_store.h"
#include "server/form.h"

namespace quillon::server {

// 64-bit fixed point scaled by 10000.
struct Currency {
    int64_t scaled = 0;
    bool operator==(const Currency &) const = default;
};
// Days since 30 Dec 1899 with the time of day as the fraction.
struct DateTime {
    double days = 0;
    bool operator==(const DateTime &) const = default;
};

// An unassigned variant is std::monostate.
using Variant =
    std::variant<std::monostate, bool, Currency, DateTime, double, int32_t, std::string>;

enum TVarRegistryKeys {
    rk_HKEY_CLASSES_ROOT,
    rk_HKEY_CURRENT_USER,
    rk_HKEY_LOCAL_MACHINE,
    rk_HKEY_CURRRENT_CONFIG,
};

enum TVarRegistryTypes {
    regBool,
    regCurrency,
    regDate,
    regDateTime,
    regTime,
    regFloat,
    regInteger,
    regString,
};

inline constexpr const char *kReadErrorText =
    "Some Error Occurred Retrieving the Data\nfrom the registry.Values are not restored";
inline constexpr const char *kWriteErrorText =
    "Some Error Occurred Saving the Data\nto the registry.Variable is not Saved";

// The root key's name in the store and its platform handle value.
const char *RootKeyName(TVarRegistryKeys key);
uint32_t RootKeyHandle(TVarRegistryKeys key);

class TRegistryVariable : public comm::TBaseComponent {
  public:
    using NotifyEvent = std::function<void(TRegistryVariable &sender)>;

    // With an owner window, the variable chains itself in front of the window's close
    // handler and records its names as the last used ones when the window closes.
    explicit TRegistryVariable(TForm *owner = nullptr, std::string name = {});
    ~TRegistryVariable() override;

    TVarRegistryKeys RegBaseKey = rk_HKEY_CURRENT_USER;
    std::string RegSubKey = "Software";
    std::string RegCompanyName;
    std::string RegApplicationName;
    std::string RegStoreName;
    std::string RegVariableName;
    TVarRegistryTypes RegVariableType = regString;
    NotifyEvent OnReadError;
    NotifyEvent OnWriteError;

    [[nodiscard]] bool VariableExists() const;
    // The value, or an unassigned variant after a read error.
    Variant GetValue();
    void SetValue(const Variant &value);

    // The full key path in the store ("HKEY_CURRENT_USER\Software\...").
    [[nodiscard]] std::string KeyPath() const;

  private:
    void readError();
    void writeError();
    void recordLastUsedNames() const;
    // Cleared when the variable is destroyed, so a chained close handler that outlives it
    // only calls the handler it kept.
    std::shared_ptr<TRegistryVariable *> self_;
};

// Conversions used by SetValue; nullopt when the variant cannot be converted.
std::optional<bool> VariantToBool(const Variant &v);
std::optional<int32_t> VariantToInteger(const Variant &v);
std::optional<double> VariantToDouble(const Variant &v);
std::optional<Currency> VariantToCurrency(const Variant &v);
std::string VariantToString(const Variant &v);

} // namespace quillon::server
