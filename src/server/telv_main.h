#pragma once

// The server controller: the core side of the main window TForm1. It owns the fax modem
// components (comm port, receiver, status display), the SMTP client, the restart timer, the
// settings, the three call logs, the dial-up session and the durable pending list, and runs
// one cycle: capture faxes, log and queue each received file, stop the receiver, release
// the line, bring up the connection, mail every pending file as attachments of one message,
// log each mailed file, hang up, and one second later capture again.
//
// The configuration controls, the message panel, the captions and the buttons are plain
// fields (form_model.h) that the Qt window binds to; OnChanged tells it to redraw.
//
// Thread: everything runs on the thread of the event loop given at construction (the
// user-interface thread): component events, the private messages WM_FAXLOGGED,
// WM_RESTARTCAPTURE and WM_RASNOTIFY, and the timers. No locks.
//
// Errors: an exception that escapes a handler reaches RecoverFromException (bound to the
// application's exception route), which cancels what runs and puts the cycle back on its
// feet; nothing is shown in a message box. Every step worth knowing is also written as one
// line to OnEvent, for a headless main() to print.
//
// Use from a main():
//   platform::EventLoop &loop = platform::EventLoop::current();
//   server::TForm1 form({.workFolder = "/var/lib/quillon"});
//   form.OnEvent = [](const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); };
//   form.FormCreate();            // settings from the store, pending list from the folder
//   form.BitBtnBegFaxClick();     // capture
//   loop.run();

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/base_component.h"
#include "comm/comm_port.h"
#include "comm/tapi_device.h"
#include "fax/fax_status.h"
#include "fax/receive_fax.h"
#include "mail/smtp_client.h"
#include "platform/event_loop.h"
#include "records/call_logs.h"
#include "server/dialup_session.h"
#include "server/form.h"
#include "server/form_model.h"
#include "server/pending_store.h"
#include "server/registry_variable.h"

namespace quillon::server {

inline constexpr uint32_t WM_FAXLOGGED = platform::kWmUser + 1;
inline constexpr uint32_t WM_RESTARTCAPTURE = platform::kWmUser + 2;

inline constexpr const char *kConfigCompany = "Brakmo";
inline constexpr const char *kConfigApplication = "TelvSrvr";
inline constexpr const char *kConfigStore = "Config";

// Texts of the message panel and the captions.
inline constexpr const char *kTxtNotConfigured = "Not Configured";
inline constexpr const char *kTxtNotReadyStart = "Not Ready";
inline constexpr const char *kTxtIdleStart = "Idle";
inline constexpr const char *kTxtConfigured = "Configured.";
inline constexpr const char *kTxtConfiguredSaved = "Configured!";
inline constexpr const char *kTxtWaitingForFax = "Waiting For Fax.";
inline constexpr const char *kTxtReceivingFax = "Receiving Fax.";
inline constexpr const char *kTxtNotReady = "Not Ready.";
inline constexpr const char *kTxtIdle = "Idle.";
inline constexpr const char *kTxtActive = "Active.";
inline constexpr const char *kCapIdle = "Idle";
inline constexpr const char *kCapReceivingFax = "Receiving Fax";
inline constexpr const char *kCapForwardingFax = "Forwarding Fax";
inline constexpr const char *kCapNoModem = "No Modem Selected";
inline constexpr const char *kCapNoConnection = "No Connection Selected";
inline constexpr const char *kMailSubject = "{Quillon}";
inline constexpr const char *kBodySenderPrefix = "{FaxSender}=";
inline constexpr const char *kBodyDatePrefix = "{FaxDate}=";
inline constexpr const char *kCommentsHeader = "Comments: This is a test";
// The modem field's form for a serial port taken directly, without the line service.
inline constexpr const char *kDirectPortPrefix = "Direct to COM";

inline constexpr uint32_t kRestartIntervalMs = 1000;

// The mail host field: "host", "host:port" or "[v6 address]:port"; the port defaults to
// "smtp". False when the text is empty or malformed.
bool ParseMailHost(const std::string &text, std::string &host, std::string &port);
// A station id as the body and the records show it: printable ASCII only, fill spaces
// trimmed at both ends.
std::string CleanStationId(const std::string &id);
// The time-stamp pattern "mm/dd/yyyy hh:mm AM/PM" of the local time now.
std::string NowStamp();

class TForm1 : public TForm {
  public:
    struct Options {
        // Where the call logs, the pending list and faxes/ live; empty = the working folder.
        std::filesystem::path workFolder;
    };

    enum TControllerMode : int32_t { cmCapturing = 0, cmForwarding = 1 };

    explicit TForm1(Options options = {},
                    platform::EventLoop &loop = platform::EventLoop::current());
    ~TForm1();

    // ---- owned components ----
    // The form as the owner its components find their partners on.
    comm::TComponentOwner Components;
    comm::TComPort ComPort1{"ComPort1"};
    comm::TTapiDevice TapiDevice1{nullptr, "TapiDevice1"};
    fax::TReceiveFax ReceiveFax1{nullptr, "ReceiveFax1"};
    fax::TFaxStatus FaxStatus1{"FaxStatus1"};
    mail::TSmtpMimeClient SmtpClient;
    platform::Timer Timer1;
    TRegistryVariable rgSMTP, rgUserName, rgPassword, rgPhoneNumber, rgEmailAddress, rgModem,
        rgToEmail;
    // The receiver's modem class and highest rate (engine defaults when not stored).
    TRegistryVariable rgFaxClass, rgDesiredBPS;
    records::TCallLog Incoming{records::TLogKind::Incoming};
    records::TCallLog Outgoing{records::TLogKind::Outgoing};
    records::TCallLog SendQueue{records::TLogKind::SendQueue};
    TDialupSession Dialup;

    // ---- controls of the configuration page and the main screen ----
    TComboBoxControl EntryNameComboBox;
    TEditControl edUserName, edPassword, edEMailAddress, edSMTP;
    TComboBoxControl cbModem;
    TCheckControl rbToEmail{true};
    TMessagePanel reMessages;
    TCaptionPanel Panel10{kCapIdle}, Panel5{kCapNoModem}, Panel9{kCapNoConnection};
    TButtonControl BitBtnBegFax{"Begin Fax Capture"}, BitBtnEndFax{"End Fax Capture", false},
        BitBtnMainScreen{"Main Screen"}, BitBtnTransLog{"Transaction Logs"},
        BitBtnConfigure{"Configure"};

    // ---- controller state ----
    [[nodiscard]] TControllerMode ControllerMode() const { return mode_; }
    [[nodiscard]] bool StopRequested() const { return stopRequested_; }
    [[nodiscard]] const std::vector<std::string> &PendingFiles() const { return pendingFiles_; }
    [[nodiscard]] const std::vector<std::string> &FaxSenders() const { return faxSenders_; }
    [[nodiscard]] int32_t SenderIndex() const { return senderIndex_; }
    [[nodiscard]] const std::string &CurrentSender() const { return currentSender_; }
    [[nodiscard]] const std::filesystem::path &WorkFolder() const { return folder_; }
    [[nodiscard]] platform::TargetHandle Handle() const { return window_->handle(); }
    // True from a capture start until "End Fax Capture": the cycle restarts by itself.
    [[nodiscard]] bool CaptureWanted() const { return captureWanted_; }
    // The delay before the next automatic forwarding attempt; zero when none is armed.
    [[nodiscard]] std::chrono::milliseconds RetryDelay() const { return retryArmed_; }

    // Automatic forwarding after a failed run: first after ForwardRetryFirst, each further
    // attempt after twice the previous delay, at most ForwardRetryMax.
    std::chrono::milliseconds ForwardRetryFirst{std::chrono::minutes(1)};
    std::chrono::milliseconds ForwardRetryMax{std::chrono::minutes(30)};

    // One line per event ("received faxes/12090001.APF from ...", "mailed 1 file", ...).
    std::function<void(const std::string &line)> OnEvent;
    // Called after a handler changed the controls.
    std::function<void()> OnChanged;

    // ---- handlers ----
    void FormCreate();
    void BitBtnBegFaxClick();
    void BitBtnEndFaxClick();
    void btnHostConfgSaveClick();
    void cbModemClick();
    void cbModemEnter();
    void TapiDevice1TapiPortOpen();
    void TapiDevice1TapiPortClose() {}
    void ReceiveFax1FaxAccept(bool &Accept);
    void ReceiveFax1FaxLog(fax::TFaxLogCode LogCode);
    void ReceiveFax1FaxStatus(bool First, bool Last);
    void ReceiveFax1FaxFinish(int32_t ErrorCode);
    void ReceiveFax1FaxError(int32_t ErrorCode);
    void SmtpClientRequestDone(mail::TSmtpRequest RqType, uint16_t Error);
    void SmtpClientGetData(int LineNum, char *MsgLine, int MaxLen, bool &More);
    void SmtpClientProcessHeader(std::vector<std::string> &HdrLines);
    void SmtpClientDisplay(const std::string &Msg);
    void Timer1Timer();
    void RecoverFromException(const std::exception &e);

    // ---- routines ----
    void QueueAndLogFax(const std::string &F);
    void StartForwarding();
    void ConnectMailHost();
    void SendPendingMail();
    void LogSentFax(const std::string &F);
    void FinishForwarding();
    void ResetCaptureControls();
    void FillConnectionList();
    // The window procedure of the private messages; other numbers are not handled.
    std::optional<platform::LResult> WndProc(platform::Message &m);

    // A received file's name as the logs keep it: relative to the work folder when inside.
    [[nodiscard]] std::string LogName(const std::string &receiverName) const;
    // A logged name resolved against the work folder.
    [[nodiscard]] std::filesystem::path ResolveLogName(const std::string &logName) const;

  private:
    void bindComponents();
    void initSettingVariable(TRegistryVariable &v, const char *name, TVarRegistryTypes type);
    void loadReceiverSettings();
    // Releases whatever line is held: the line device's call, or the directly opened port.
    bool endCall();
    void beginDirect();
    void applyModemChoice();
    void wmFaxLogged();
    void wmRestartCapture();
    void wmRasNotify(uint32_t state, int32_t error);
    void forwardingFailed(const std::string &why);
    void armRetry();
    void retryTimer();
    void savePending();
    void event(const std::string &line);
    void changed();
    // Runs `step`; an exception from it goes to RecoverFromException.
    void guarded(const std::function<void()> &step);

    platform::EventLoop *loop_;
    std::filesystem::path folder_;
    TPendingStore pendingStore_;
    std::unique_ptr<platform::MessageTarget> window_;
    platform::Timer retryTimer_;
    TControllerMode mode_ = cmCapturing;
    bool stopRequested_ = false;
    std::vector<std::string> pendingFiles_;
    std::vector<std::string> faxSenders_;
    int32_t senderIndex_ = 0;
    std::string currentSender_;
    bool captureWanted_ = false;
    bool forwarding_ = false;                // a forwarding run is under way (dial, mail, hang-up)
    bool mailRun_ = false;                   // the SMTP client works for the current run
    std::vector<std::string> mailedFiles_;   // attached to the message in progress
    std::vector<std::string> mailedSenders_; // their senders, named in the body
    std::chrono::milliseconds retryNext_{0};
    std::chrono::milliseconds retryArmed_{0};
    bool recovering_ = false;
    bool exceptionRouteBound_ = false;
    platform::ApplicationExceptionHandler previousHandler_;
};

} // namespace quillon::server
