#pragma once

// The dial-up session: how the server brings up its Internet connection before mailing.
//
// Linux has no dial-up service of the kind the server was written for, so a phonebook in
// the settings store takes its place: one key per entry under kPhonebookKey, holding
//   "Dial"    the command line that brings the connection up (exit status 0 = connected),
//   "HangUp"  the command line that takes it down (optional),
//   "Check"   the command line that tells whether it is up (exit status 0 = open; optional),
//   "Timeout" dword, seconds the Dial command may run (default 120).
// Commands run without a shell (platform/process_runner.h); the entry name, user name and
// password reach them in the environment (kEnvEntry, kEnvUser, kEnvPassword), never on their
// command line. The built-in entry "Direct connection" is always open: forwarding goes
// straight to the mail host.
//
// Owner and thread: the controller owns one session and calls it on the user-interface
// thread. The Dial and HangUp commands run on worker threads of the session; a dial's
// result is posted to the notify target as WM_RASNOTIFY (wParam RASCS_Connected or
// RASCS_Disconnected, lParam an error number of DialErrorText). Nothing throws.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/process_runner.h"

namespace quillon::server {

inline constexpr uint32_t WM_RASNOTIFY = 0xCCCD;
inline constexpr uint32_t RASCS_Connected = 0x2000;
inline constexpr uint32_t RASCS_Disconnected = 0x2001;

inline constexpr std::string_view kPhonebookKey =
    "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Phonebook";
inline constexpr std::string_view kDirectConnection = "Direct connection";
inline constexpr const char *kEnvEntry = "QUILLON_DIAL_ENTRY";
inline constexpr const char *kEnvUser = "QUILLON_DIAL_USER";
inline constexpr const char *kEnvPassword = "QUILLON_DIAL_PASSWORD";

// The dial parameters' field sizes, without the terminating zero.
inline constexpr size_t kEntryNameMax = 256;
inline constexpr size_t kUserNameMax = 256;
inline constexpr size_t kPasswordMax = 256;

inline constexpr std::chrono::seconds kDefaultDialTimeout{120};
inline constexpr std::chrono::seconds kCheckTimeout{30};
inline constexpr std::chrono::seconds kHangUpTimeout{60};

// Error numbers of the dial-up substitute (texts in DialErrorText).
inline constexpr int32_t kDialErrValueTooLong = 610;
inline constexpr int32_t kDialErrEntryNotFound = 623;
inline constexpr int32_t kDialErrTimedOut = 638;
inline constexpr int32_t kDialErrCommandFailed = 651;
inline constexpr int32_t kDialErrCannotStart = 656;
inline constexpr int32_t kDialErrNoDialCommand = 657;
inline constexpr int32_t kDialErrCancelled = 631;

// The text for an error number; a generic text for numbers outside the table.
std::string DialErrorText(int32_t error);

using ConnectionHandle = uintptr_t;

class TDialupSession {
  public:
    TDialupSession();
    ~TDialupSession();
    TDialupSession(const TDialupSession &) = delete;
    TDialupSession &operator=(const TDialupSession &) = delete;

    // The phonebook's entry names: "Direct connection" first, then the store's entries in
    // the order the store keeps them.
    [[nodiscard]] std::vector<std::string> EntryNames() const;

    // The handle of an open connection for `entry` (names compared without regard to case),
    // or 0. "Direct connection" is always open; an entry with a Check command is open when
    // the command exits 0; a connection this session dialled is open until it is hung up.
    [[nodiscard]] ConnectionHandle FindOpenConnection(const std::string &entry) const;

    enum class DialStart { AlreadyOpen, Dialing, Refused };
    // Reuses an open connection (AlreadyOpen: ConnectionHandle() is set, nothing is posted)
    // or starts the entry's Dial command on a worker thread, whose end is posted to
    // `notify` as WM_RASNOTIFY. A dial that cannot start (a value longer than its field, an
    // unknown entry, no Dial command) is Refused and also posted, as RASCS_Disconnected with
    // its error number, so the owner has one place to react to failures.
    DialStart DialConnection(const std::string &entry, const std::string &user,
                             const std::string &password, const platform::TargetHandle &notify);

    // Hangs the connection up: runs the entry's HangUp command on a worker thread without
    // waiting for it, cancels a dial still in progress, and clears the handle.
    void HangUp();

    [[nodiscard]] ConnectionHandle Handle() const { return handle_; }
    [[nodiscard]] const std::string &LastErrorText() const { return lastErrorText_; }
    // The Dial command's time-out when the entry does not set one.
    std::chrono::milliseconds DialTimeout{kDefaultDialTimeout};

  private:
    struct Worker;
    struct EntryCommands;
    [[nodiscard]] bool readEntry(const std::string &entry, EntryCommands &out) const;
    std::shared_ptr<platform::CancelFlag> startWorker(std::function<void(int cancelFd)> job);
    void reapFinished();

    ConnectionHandle handle_ = 0;
    std::string handleEntry_; // the entry behind handle_
    std::string lastErrorText_;
    std::shared_ptr<platform::CancelFlag> dialCancel_;
    std::vector<std::unique_ptr<Worker>> workers_;
};

} // namespace quillon::server
