// quillon-config: the server's configuration page on the command line, for a machine
// without a display.
//
//   quillon-config show                          every setting (passwords shown as ****)
//   quillon-config set NAME VALUE | unset NAME   one of the server settings
//   quillon-config line list|add NAME PATH|remove NAME
//   quillon-config port list|add COMn PATH|remove COMn
//   quillon-config phonebook list|remove NAME
//   quillon-config phonebook add NAME --dial CMD [--hangup CMD] [--check CMD] [--timeout S]
//   quillon-config check [--send-test]           asks the modem and the mail host
//
// The settings live in the per-user store (QUILLON_CONFIG_DIR overrides its folder).
// Exit 0 on success, 1 when a change or a check failed, 2 on a usage error.

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <strings.h>

#include "comm/port_names.h"
#include "comm/tapi_device.h"
#include "config_check.h"
#include "platform/settings_store.h"
#include "server/dialup_session.h"
#include "server/telv_main.h"

namespace {

using namespace quillon;
using platform::RegType;
using platform::RegValue;
using platform::SettingsStore;

constexpr const char *kConfigKey = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Config";

enum class Kind { Text, Secret, Flag, Number };
struct Setting {
    const char *name;
    Kind kind;
    const char *about;
};
// The server settings the controller reads, in the order of its configuration page.
const Setting kSettings[] = {
    {"rgSMTP", Kind::Text, "mail host: host, host:port or [v6 address]:port"},
    {"rgEmailAddress", Kind::Text, "address the faxes are mailed from and to"},
    {"rgModem", Kind::Text, "line device name, or \"Direct to COMn\""},
    {"rgPhoneNumber", Kind::Text, "phonebook entry, or \"Direct connection\""},
    {"rgUserName", Kind::Text, "dial-up user name"},
    {"rgPassword", Kind::Secret, "dial-up password"},
    {"rgToEmail", Kind::Flag, "1 = mail each fax, 0 = only log and queue it"},
    {"rgFaxClass", Kind::Number, "modem class: 1 = auto, 2 = Class 1, 3 = Class 2, 4 = 2.0"},
    {"rgDesiredBPS", Kind::Number, "highest fax rate in bit/s (2400 ... 14400)"},
};

const Setting *findSetting(const std::string &name) {
    for (const Setting &s : kSettings) {
        if (strcasecmp(s.name, name.c_str()) == 0) {
            return &s;
        }
    }
    return nullptr;
}

std::string text(const std::optional<RegValue> &v) {
    if (!v) {
        return "(not set)";
    }
    switch (v->type) {
    case RegType::String:
        return "\"" + v->text + "\"";
    case RegType::Dword:
        return std::to_string(v->dword);
    default:
        return "(" + std::to_string(v->bytes.size()) + " bytes)";
    }
}

std::string stringValue(const SettingsStore &s, std::string_view key, const std::string &name) {
    auto v = s.GetValue(key, name);
    return v && v->type == RegType::String ? v->text : std::string();
}

int usage() {
    std::cerr << "usage: quillon-config show\n"
                 "       quillon-config set NAME VALUE | unset NAME\n"
                 "       quillon-config line list | add NAME PATH | remove NAME\n"
                 "       quillon-config port list | add COMn PATH | remove COMn\n"
                 "       quillon-config phonebook list | remove NAME\n"
                 "       quillon-config phonebook add NAME --dial CMD [--hangup CMD] "
                 "[--check CMD] [--timeout S]\n"
                 "       quillon-config check [--send-test]\n"
                 "settings:\n";
    for (const Setting &s : kSettings) {
        std::cerr << "  " << s.name << std::string(16 - std::string(s.name).size(), ' ') << s.about
                  << "\n";
    }
    return 2;
}

void listKey(const SettingsStore &s, std::string_view key, const char *title) {
    std::cout << title << ":\n";
    std::vector<std::string> names = s.ValueNames(key);
    if (names.empty()) {
        std::cout << "  (none)\n";
    }
    for (const std::string &n : names) {
        std::cout << "  " << n << " = " << text(s.GetValue(key, n)) << "\n";
    }
}

void listPhonebook(const SettingsStore &s) {
    std::cout << "phonebook:\n  " << server::kDirectConnection << " (built in, always open)\n";
    for (const std::string &entry : s.SubKeys(server::kPhonebookKey)) {
        std::string key = std::string(server::kPhonebookKey) + "\\" + entry;
        std::cout << "  " << entry << "\n";
        for (const char *v : {"Dial", "HangUp", "Check", "Timeout"}) {
            if (auto value = s.GetValue(key, v)) {
                std::cout << "    " << v << " = " << text(value) << "\n";
            }
        }
    }
}

int show(const SettingsStore &s) {
    std::cout << "settings file: " << s.Path().string() << "\n";
    for (const Setting &st : kSettings) {
        auto v = s.GetValue(kConfigKey, st.name);
        std::string shown =
            st.kind == Kind::Secret && v ? (v->text.empty() ? "\"\"" : "****") : text(v);
        std::cout << "  " << st.name << std::string(16 - std::string(st.name).size(), ' ') << shown
                  << "\n";
    }
    listKey(s, comm::kLinesKey, "line devices");
    listKey(s, comm::kPortsKey, "serial ports");
    listPhonebook(s);
    return 0;
}

int set(SettingsStore &s, const std::string &name, const std::string &value) {
    const Setting *st = findSetting(name);
    if (st == nullptr) {
        std::cerr << "quillon-config: unknown setting \"" << name << "\"\n";
        return usage();
    }
    RegValue v = RegValue::String(value);
    if (st->kind == Kind::Flag || st->kind == Kind::Number) {
        char *end = nullptr;
        unsigned long n = std::strtoul(value.c_str(), &end, 10);
        bool ok = !value.empty() && *end == '\0' && n <= 0xFFFFFFFFul &&
                  (st->kind != Kind::Flag || n <= 1);
        if (!ok) {
            std::cerr << "quillon-config: " << st->name << " takes "
                      << (st->kind == Kind::Flag ? "0 or 1" : "a number") << ", not \"" << value
                      << "\"\n";
            return 2;
        }
        v = RegValue::Dword(static_cast<uint32_t>(n));
    } else if (st->kind == Kind::Text && std::string(st->name) == "rgSMTP") {
        std::string host, port;
        if (!server::ParseMailHost(value, host, port)) {
            std::cerr << "quillon-config: \"" << value
                      << "\" is not a mail host (host, host:port or [v6 address]:port)\n";
            return 2;
        }
    }
    if (value.find_first_of("\r\n") != std::string::npos) {
        std::cerr << "quillon-config: a setting is one line\n";
        return 2;
    }
    return s.SetValue(kConfigKey, st->name, v) ? 0 : 1;
}

int keyCommand(SettingsStore &s, std::string_view key, const char *title,
               const std::vector<std::string> &a) {
    if (a.size() == 1 && a[0] == "list") {
        listKey(s, key, title);
        return 0;
    }
    if (a.size() == 3 && a[0] == "add") {
        return s.SetValue(key, a[1], RegValue::String(a[2])) ? 0 : 1;
    }
    if (a.size() == 2 && a[0] == "remove") {
        if (!s.GetValue(key, a[1])) {
            std::cerr << "quillon-config: no entry \"" << a[1] << "\"\n";
            return 1;
        }
        return s.DeleteValue(key, a[1]) ? 0 : 1;
    }
    return usage();
}

int phonebook(SettingsStore &s, const std::vector<std::string> &a) {
    if (a.size() == 1 && a[0] == "list") {
        listPhonebook(s);
        return 0;
    }
    if (a.size() >= 2 && a[0] == "remove") {
        std::string key = std::string(server::kPhonebookKey) + "\\" + a[1];
        if (a.size() != 2 || !s.KeyExists(key)) {
            std::cerr << "quillon-config: no phonebook entry \"" << a[1] << "\"\n";
            return 1;
        }
        return s.DeleteKey(key) ? 0 : 1;
    }
    if (a.size() >= 4 && a[0] == "add" && (a.size() % 2) == 0) {
        const std::string &entry = a[1];
        if (strcasecmp(entry.c_str(), std::string(server::kDirectConnection).c_str()) == 0 ||
            entry.size() > server::kEntryNameMax || entry.find('\\') != std::string::npos) {
            std::cerr << "quillon-config: \"" << entry << "\" cannot be a phonebook entry\n";
            return 2;
        }
        std::string key = std::string(server::kPhonebookKey) + "\\" + entry;
        std::vector<std::pair<std::string, std::string>> values;
        for (size_t i = 2; i + 1 < a.size(); i += 2) {
            const char *name = a[i] == "--dial"      ? "Dial"
                               : a[i] == "--hangup"  ? "HangUp"
                               : a[i] == "--check"   ? "Check"
                               : a[i] == "--timeout" ? "Timeout"
                                                     : nullptr;
            if (name == nullptr) {
                return usage();
            }
            values.emplace_back(name, a[i + 1]);
        }
        if (std::none_of(values.begin(), values.end(),
                         [](const auto &v) { return v.first == "Dial"; })) {
            std::cerr << "quillon-config: a phonebook entry needs --dial\n";
            return 2;
        }
        for (const auto &[name, value] : values) {
            RegValue v = RegValue::String(value);
            if (name == "Timeout") {
                char *end = nullptr;
                unsigned long seconds = std::strtoul(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || seconds == 0 || seconds > 86400) {
                    std::cerr << "quillon-config: --timeout takes seconds (1 ... 86400)\n";
                    return 2;
                }
                v = RegValue::Dword(static_cast<uint32_t>(seconds));
            }
            if (!s.SetValue(key, name, v)) {
                return 1;
            }
        }
        return 0;
    }
    return usage();
}

// The device path behind the configured modem field.
std::string modemDevice(const SettingsStore &s, std::string &why) {
    std::string modem = stringValue(s, kConfigKey, "rgModem");
    std::string prefix = server::kDirectPortPrefix;
    if (modem.empty()) {
        why = "no modem is configured (quillon-config set rgModem NAME)";
        return {};
    }
    if (modem.size() > prefix.size() &&
        strncasecmp(modem.c_str(), prefix.c_str(), prefix.size()) == 0) {
        int n = std::atoi(modem.c_str() + prefix.size());
        std::string path = n > 0 ? comm::ComPortPath(static_cast<uint16_t>(n)) : std::string();
        if (path.empty()) {
            why = modem + " has no device";
        }
        return path;
    }
    std::string path = stringValue(s, comm::kLinesKey, modem);
    if (path.empty()) {
        why = "the line device \"" + modem + "\" is not in the line table";
    }
    return path;
}

int check(const SettingsStore &s, bool sendTest) {
    bool ok = true;
    std::string why;
    std::string device = modemDevice(s, why);
    if (device.empty()) {
        std::cout << "  modem: " << why << "\n";
        ok = false;
    } else {
        ok = config::CheckModem(device, std::cout) && ok;
    }
    std::string host, port;
    std::string address = stringValue(s, kConfigKey, "rgEmailAddress");
    if (!server::ParseMailHost(stringValue(s, kConfigKey, "rgSMTP"), host, port)) {
        std::cout << "  mail host: not configured (quillon-config set rgSMTP HOST)\n";
        ok = false;
    } else if (address.empty()) {
        std::cout << "  mail host: no address configured (quillon-config set rgEmailAddress "
                     "ADDRESS)\n";
        ok = false;
    } else {
        ok = config::CheckMailHost(host, port, address, address, sendTest, std::cout) && ok;
    }
    std::cout << (ok ? "check: modem and mail host work\n" : "check: FAILED\n");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return usage();
    }
    SettingsStore store = SettingsStore::User();
    const std::string cmd = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (cmd == "show" && rest.empty()) {
        return show(store);
    }
    if (cmd == "set" && rest.size() == 2) {
        return set(store, rest[0], rest[1]);
    }
    if (cmd == "unset" && rest.size() == 1) {
        const Setting *st = findSetting(rest[0]);
        if (st == nullptr) {
            std::cerr << "quillon-config: unknown setting \"" << rest[0] << "\"\n";
            return usage();
        }
        return !store.GetValue(kConfigKey, st->name) || store.DeleteValue(kConfigKey, st->name) ? 0
                                                                                                : 1;
    }
    if (cmd == "line" && !rest.empty()) {
        return keyCommand(store, comm::kLinesKey, "line devices", rest);
    }
    if (cmd == "port" && !rest.empty()) {
        return keyCommand(store, comm::kPortsKey, "serial ports", rest);
    }
    if (cmd == "phonebook" && !rest.empty()) {
        return phonebook(store, rest);
    }
    if (cmd == "check" && (rest.empty() || (rest.size() == 1 && rest[0] == "--send-test"))) {
        return check(store, !rest.empty());
    }
    return usage();
}
