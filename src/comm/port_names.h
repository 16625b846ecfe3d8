#pragma once

// Serial port numbers ("COMn") and the devices behind them, and the port selection dialog.
//
// COM n maps to the string value "COMn" under kPortsKey in the user's settings store
// ("COM1" = "/dev/ttyS0" ...). A number without such a value maps to the n-th serial device
// present on the machine: /dev/ttyS*, then /dev/ttyUSB*, then /dev/ttyACM*, each in numeric
// order.
//
// The selection dialog (TComSelectForm) probes COM1 to COM50 when it is created and lists
// the ones that open or are in use; showing it is a hook that the desktop program fills.
// Without a hook (headless runs, tests) the dialog answers Cancel.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::comm {

inline constexpr std::string_view kPortsKey = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Ports";

// The serial devices present, in the default order.
std::vector<std::string> DefaultSerialDevices();
// The device path for COM n; empty when there is none.
std::string ComPortPath(uint16_t comNumber);

class TComSelectForm;
// Shows the dialog; returns the index of the chosen entry, or -1 for Cancel.
using TComSelectHook = std::function<int(const TComSelectForm &form)>;
// Installs a hook (an empty one restores the default) and returns the previous one.
TComSelectHook SetComSelectHook(TComSelectHook hook);

class TComSelectForm {
  public:
    static constexpr std::string_view kCaption = "Select Port";
    static constexpr std::string_view kLabel1 = "The configured serial port is not valid.";
    static constexpr std::string_view kLabel2 = "Please choose another port.";
    static constexpr std::string_view kOk = "OK";
    static constexpr std::string_view kCancel = "Cancel";

    // Probes ports 1 to `maxPort` through a temporary dispatcher (queues 64/64): a port is
    // listed as "COMn" when it opens (it is closed again at once) or is in use.
    explicit TComSelectForm(uint16_t maxPort = 50);

    [[nodiscard]] const std::vector<std::string> &Entries() const { return entries_; }
    [[nodiscard]] int ItemIndex() const { return itemIndex_; }
    // Shows the dialog through the hook; true for OK with an entry chosen.
    bool Execute();
    // The chosen number: the text after the first three characters of the entry.
    [[nodiscard]] uint16_t SelectedComNumber() const;

  private:
    std::vector<std::string> entries_;
    int itemIndex_ = -1;
};

} // namespace quillon::comm
