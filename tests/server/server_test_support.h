#pragma once

// Shared pieces of the controller tests: a temporary work folder with its own settings
// store, the controller with its events recorded, and waits that pump the event loop until
// something happened (never for a fixed time).

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/settings_store.h"
#include "server/telv_main.h"

namespace quillon::server::test {

inline constexpr const char *kConfigKey = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Config";
inline constexpr const char *kPortsKey = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Ports";
inline constexpr const char *kLinesKey = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Lines";

class ServerFixture {
  public:
    ServerFixture();
    ~ServerFixture();
    ServerFixture(const ServerFixture &) = delete;
    ServerFixture &operator=(const ServerFixture &) = delete;

    [[nodiscard]] const std::filesystem::path &folder() const { return folder_; }
    [[nodiscard]] platform::SettingsStore store() const { return platform::SettingsStore::User(); }

    // The settings of a server that mails to `address` through `smtp` ("127.0.0.1:port")
    // over `entry`, with the modem "Direct to COM1" mapped to `modemPath`, or with
    // `lineDevice` not empty, the line device of that name behind it.
    void configure(const std::string &smtp, const std::string &modemPath,
                   const std::string &address = "office@localhost",
                   const std::string &entry = "Direct connection", bool toEmail = true,
                   const std::string &lineDevice = {});

    // Creates the controller on the folder and runs its start-up.
    TForm1 &start();
    // Destroys the controller without its normal shutdown steps (no capture stop).
    void drop() { form_.reset(); }
    [[nodiscard]] TForm1 &form() { return *form_; }

    std::vector<std::string> events;
    // Events that begin with `prefix`.
    [[nodiscard]] size_t count(const std::string &prefix) const;
    // Pumps until count(prefix) >= n; false on time-out.
    bool waitEvent(const std::string &prefix, size_t n,
                   std::chrono::seconds timeout = std::chrono::seconds(240));
    bool waitFor(const std::function<bool()> &done,
                 std::chrono::seconds timeout = std::chrono::seconds(240));
    [[nodiscard]] std::string trace() const;

  private:
    std::filesystem::path folder_;
    std::unique_ptr<TForm1> form_;
};

// Records of a log file listed through the record view: one vector of texts per record.
std::vector<std::vector<std::string>> ListLog(records::TCallLog &log);

std::string ReadFile(const std::filesystem::path &p);
// A free 127.0.0.1 port on which nothing listens.
int UnusedPort();

} // namespace quillon::server::test
