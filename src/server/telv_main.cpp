// The controller's construction, settings, capture and reception. Forwarding (dial-up,
// mail, retries) is in telv_forwarding.cpp.

#include "server/telv_main.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/file_replace.h"

namespace quillon::server {

namespace {

bool isDigits(const std::string &s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

} // namespace

bool ParseMailHost(const std::string &text, std::string &host, std::string &port) {
    std::string t = text;
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back())) != 0) {
        t.pop_back();
    }
    size_t b = t.find_first_not_of(" \t");
    t = b == std::string::npos ? std::string() : t.substr(b);
    if (t.empty()) {
        return false;
    }
    port = "smtp";
    if (t.front() == '[') {
        size_t close = t.find(']');
        if (close == std::string::npos || close == 1) {
            return false;
        }
        host = t.substr(1, close - 1);
        std::string rest = t.substr(close + 1);
        if (rest.empty()) {
            return true;
        }
        if (rest.front() != ':' || rest.size() == 1) {
            return false;
        }
        port = rest.substr(1);
        return isDigits(port);
    }
    size_t colon = t.find(':');
    if (colon == std::string::npos || t.find(':', colon + 1) != std::string::npos) {
        // A name, or a bare IPv6 address (several colons): no port given.
        host = t;
        return true;
    }
    host = t.substr(0, colon);
    port = t.substr(colon + 1);
    return !host.empty() && isDigits(port);
}

std::string CleanStationId(const std::string &id) {
    std::string out;
    for (char c : id) {
        if (c >= 0x20 && c <= 0x7E) {
            out.push_back(c);
        }
    }
    size_t b = out.find_first_not_of(' ');
    if (b == std::string::npos) {
        return {};
    }
    size_t e = out.find_last_not_of(' ');
    return out.substr(b, e - b + 1);
}

std::string NowStamp() {
    return records::FormatLogTime(std::time(nullptr));
}

// ---------------------------------------------------------------------------------------

TForm1::TForm1(Options options, platform::EventLoop &loop)
    : TForm("Form1"), SmtpClient(loop), Timer1(loop), rgSMTP(this), rgUserName(this),
      rgPassword(this), rgPhoneNumber(this), rgEmailAddress(this), rgModem(this), rgToEmail(this),
      rgFaxClass(this), rgDesiredBPS(this), loop_(&loop),
      folder_(options.workFolder.empty() ? std::filesystem::current_path()
                                         : std::filesystem::absolute(options.workFolder)),
      pendingStore_(folder_), retryTimer_(loop) {
    window_ = std::make_unique<platform::MessageTarget>(
        loop, [this](platform::Message &m) { return WndProc(m); });

    ComPort1.SetInSize(8192);
    ComPort1.SetOutSize(8192);
    ComPort1.SetAutoOpen(false);
    ComPort1.SetHWFlowOptions({comm::hwfUseRTS, comm::hwfRequireCTS});
    ComPort1.SetBufferFull(7372);
    ComPort1.SetBufferResume(819);
    ComPort1.SetTracing(comm::tlOff);
    ComPort1.SetLogging(comm::tlOff);
    ComPort1.SetTapiMode(comm::tmOn);

    Components.InsertComponent(ComPort1);
    Components.InsertComponent(TapiDevice1);
    TapiDevice1.SetComPort(&ComPort1);
    TapiDevice1.SetShowTapiDevices(true);
    TapiDevice1.SetShowPorts(true);
    TapiDevice1.SetEnableVoice(false);

    std::filesystem::create_directories(folder_ / "faxes");
    ReceiveFax1.SetComPort(&ComPort1);
    ReceiveFax1.SetStationID("Telv");
    ReceiveFax1.SetStatusDisplay(&FaxStatus1);
    ReceiveFax1.SetFaxFileExt("APF");
    ReceiveFax1.SetDestinationDir((folder_ / "faxes").string());
    // A good fax ends the session as soon as the caller has gone, so the line is released
    // and the fax forwarded without waiting for the modem to be made ready for the next
    // call; after a failed call the session goes on waiting and is stopped there.
    ReceiveFax1.SetOneFax(true);
    FaxStatus1.SetCaption("Fax Status");
    FaxStatus1.SetVisible(true);

    SmtpClient.Port = "smtp";
    SmtpClient.FromName = "{TELV}";
    SmtpClient.CharSet = "iso-8859-1";

    Timer1.setEnabled(false);
    Timer1.setInterval(kRestartIntervalMs);

    initSettingVariable(rgSMTP, "rgSMTP", regString);
    initSettingVariable(rgUserName, "rgUserName", regString);
    initSettingVariable(rgPassword, "rgPassword", regString);
    initSettingVariable(rgPhoneNumber, "rgPhoneNumber", regString);
    initSettingVariable(rgEmailAddress, "rgEmailAddress", regString);
    initSettingVariable(rgModem, "rgModem", regString);
    initSettingVariable(rgToEmail, "rgToEmail", regBool);
    initSettingVariable(rgFaxClass, "rgFaxClass", regInteger);
    initSettingVariable(rgDesiredBPS, "rgDesiredBPS", regInteger);

    reMessages.Set(kTxtNotConfigured, kTxtNotReadyStart, kTxtIdleStart);

    // The log windows exist for the whole run and keep their files open.
    Incoming.Open(folder_.string());
    Outgoing.Open(folder_.string());
    SendQueue.Open(folder_.string());

    bindComponents();
}

TForm1::~TForm1() {
    if (previousHandler_ || exceptionRouteBound_) {
        platform::SetApplicationExceptionHandler(previousHandler_);
    }
    Timer1.setEnabled(false);
    retryTimer_.setEnabled(false);
    SmtpClient.OnRequestDone = nullptr;
    ReceiveFax1.OnFaxFinish = nullptr;
    ReceiveFax1.OnFaxLog = nullptr;
    ReceiveFax1.OnFaxStatus = nullptr;
    ReceiveFax1.OnFaxAccept = nullptr;
    TapiDevice1.OnTapiPortOpen = nullptr;
    TapiDevice1.OnTapiPortClose = nullptr;
}

void TForm1::initSettingVariable(TRegistryVariable &v, const char *name, TVarRegistryTypes type) {
    v.SetName(name);
    v.RegCompanyName = kConfigCompany;
    v.RegApplicationName = kConfigApplication;
    v.RegStoreName = kConfigStore;
    v.RegVariableName = name;
    v.RegVariableType = type;
}

void TForm1::bindComponents() {
    TapiDevice1.OnTapiPortOpen = [this](comm::TCustomTapiDevice &) { TapiDevice1TapiPortOpen(); };
    TapiDevice1.OnTapiPortClose = [this](comm::TCustomTapiDevice &) { TapiDevice1TapiPortClose(); };
    ReceiveFax1.OnFaxAccept = [this](fax::TCustomAbstractFax &, bool &accept) {
        ReceiveFax1FaxAccept(accept);
    };
    ReceiveFax1.OnFaxLog = [this](fax::TCustomAbstractFax &, fax::TFaxLogCode code) {
        ReceiveFax1FaxLog(code);
    };
    ReceiveFax1.OnFaxStatus = [this](fax::TCustomAbstractFax &, bool first, bool last) {
        ReceiveFax1FaxStatus(first, last);
    };
    ReceiveFax1.OnFaxFinish = [this](fax::TCustomAbstractFax &, int32_t code) {
        ReceiveFax1FaxFinish(code);
    };
    ReceiveFax1.OnFaxError = [this](fax::TCustomAbstractFax &, int32_t code) {
        ReceiveFax1FaxError(code);
    };
    SmtpClient.OnRequestDone = [this](mail::TSmtpClientBase *, mail::TSmtpRequest rq,
                                      uint16_t error) {
        guarded([&] { SmtpClientRequestDone(rq, error); });
    };
    SmtpClient.OnGetData = [this](mail::TSmtpClientBase *, int lineNum, char *line, int maxLen,
                                  bool &more) { SmtpClientGetData(lineNum, line, maxLen, more); };
    SmtpClient.OnProcessHeader = [this](mail::TSmtpClientBase *, std::vector<std::string> &lines) {
        SmtpClientProcessHeader(lines);
    };
    SmtpClient.OnDisplay = [this](mail::TSmtpClientBase *, const std::string &msg) {
        SmtpClientDisplay(msg);
    };
    Timer1.onTimer = [this] { guarded([this] { Timer1Timer(); }); };
    retryTimer_.onTimer = [this] { guarded([this] { retryTimer(); }); };
}

void TForm1::event(const std::string &line) {
    if (OnEvent) {
        OnEvent(line);
    }
}

void TForm1::changed() {
    if (OnChanged) {
        OnChanged();
    }
}

void TForm1::guarded(const std::function<void()> &step) {
    try {
        step();
    } catch (const std::exception &e) {
        RecoverFromException(e);
    } catch (...) {
        RecoverFromException(std::runtime_error("unknown exception"));
    }
}

std::string TForm1::LogName(const std::string &receiverName) const {
    std::filesystem::path p(receiverName);
    std::error_code ec;
    std::filesystem::path rel = std::filesystem::relative(p, folder_, ec);
    if (ec || rel.empty() || *rel.begin() == "..") {
        return receiverName;
    }
    return rel.generic_string();
}

std::filesystem::path TForm1::ResolveLogName(const std::string &logName) const {
    std::filesystem::path p(logName);
    return p.is_absolute() ? p : folder_ / p;
}

// ---- start-up and settings ----

void TForm1::FormCreate() {
    if (!exceptionRouteBound_) {
        previousHandler_ = platform::SetApplicationExceptionHandler(
            [this](const std::exception &e) { RecoverFromException(e); });
        exceptionRouteBound_ = true;
    }
    stopRequested_ = false;
    auto loadText = [](TRegistryVariable &v, std::string &target) {
        if (v.VariableExists()) {
            Variant value = v.GetValue();
            if (auto *s = std::get_if<std::string>(&value)) {
                target = *s;
            }
        }
    };
    loadText(rgPhoneNumber, EntryNameComboBox.Text);
    loadText(rgPassword, edPassword.Text);
    loadText(rgUserName, edUserName.Text);
    loadText(rgModem, cbModem.Text);
    if (rgEmailAddress.VariableExists()) {
        loadText(rgEmailAddress, edEMailAddress.Text);
        SmtpClient.HdrFrom = edEMailAddress.Text;
        SmtpClient.HdrTo = edEMailAddress.Text;
    }
    if (rgSMTP.VariableExists()) {
        loadText(rgSMTP, edSMTP.Text);
        SmtpClient.Host = edSMTP.Text;
        reMessages.Lines[0] = kTxtConfiguredSaved;
    }
    if (rgToEmail.VariableExists()) {
        if (auto b = VariantToBool(rgToEmail.GetValue())) {
            rbToEmail.Checked = *b;
        }
    }
    loadReceiverSettings();

    // The pending list of the last run: faxes received but not mailed yet.
    std::vector<std::string> problems;
    std::vector<TPendingEntry> entries = pendingStore_.Load(problems);
    for (const std::string &p : problems) {
        event("error: " + p);
    }
    pendingFiles_.clear();
    faxSenders_.clear();
    for (const TPendingEntry &e : entries) {
        pendingFiles_.push_back(e.file);
        faxSenders_.push_back(e.sender);
    }
    if (!pendingFiles_.empty()) {
        event("pending: " + std::to_string(pendingFiles_.size()) +
              " file(s) from the last run wait to be mailed");
        retryNext_ = std::chrono::milliseconds(0);
        // Mailed at the first moment the receiver waits for a call.
        retryArmed_ = std::chrono::milliseconds(1);
        retryTimer_.setInterval(1);
        retryTimer_.setEnabled(true);
    }
    currentSender_.clear();
    senderIndex_ = 0;

    FillConnectionList();
    Panel5.Caption = cbModem.Text;
    Panel9.Caption = EntryNameComboBox.Text;
    changed();
}

void TForm1::loadReceiverSettings() {
    if (rgFaxClass.VariableExists()) {
        if (auto v = VariantToInteger(rgFaxClass.GetValue()); v && *v >= 0 && *v <= 4) {
            ReceiveFax1.SetFaxClass(static_cast<fax::TFaxClass>(*v));
        }
    }
    if (rgDesiredBPS.VariableExists()) {
        if (auto v = VariantToInteger(rgDesiredBPS.GetValue()); v && *v > 0 && *v <= 14400) {
            ReceiveFax1.SetDesiredBPS(static_cast<uint16_t>(*v));
        }
    }
}

void TForm1::FillConnectionList() {
    EntryNameComboBox.Items = Dialup.EntryNames();
    if (EntryNameComboBox.Items.size() == 1) {
        EntryNameComboBox.Text = EntryNameComboBox.Items.front();
    }
    if (rgPhoneNumber.VariableExists()) {
        Variant value = rgPhoneNumber.GetValue();
        if (auto *s = std::get_if<std::string>(&value)) {
            EntryNameComboBox.Text = *s;
        }
    }
}

void TForm1::btnHostConfgSaveClick() {
    rgToEmail.SetValue(rbToEmail.Checked);
    rgModem.SetValue(cbModem.Text);
    rgEmailAddress.SetValue(edEMailAddress.Text);
    rgPhoneNumber.SetValue(EntryNameComboBox.Text);
    rgPassword.SetValue(edPassword.Text);
    rgUserName.SetValue(edUserName.Text);
    rgSMTP.SetValue(edSMTP.Text);
    reMessages.Lines[0] = kTxtConfiguredSaved;
    Panel5.Caption = cbModem.Text;
    Panel9.Caption = EntryNameComboBox.Text;
    changed();
}

void TForm1::cbModemClick() {
    guarded([this] {
        if (TapiDevice1.ChooseDevice()) {
            if (ComPort1.TapiMode() == comm::tmOff) {
                cbModem.Text = kDirectPortPrefix + std::to_string(ComPort1.ComNumber());
            } else {
                cbModem.Text = TapiDevice1.SelectedDevice();
            }
        }
        changed();
    });
}

void TForm1::cbModemEnter() {
    cbModemClick();
}

// ---- capture ----

void TForm1::applyModemChoice() {
    const std::string &m = cbModem.Text;
    std::string prefix = kDirectPortPrefix;
    if (m.size() > prefix.size() && strncasecmp(m.c_str(), prefix.c_str(), prefix.size()) == 0 &&
        isDigits(m.substr(prefix.size()))) {
        // A serial port chosen directly: the saved choice survives a restart this way.
        ComPort1.SetTapiMode(comm::tmOff);
        ComPort1.SetComNumber(static_cast<uint16_t>(std::atoi(m.c_str() + prefix.size())));
    } else if (ComPort1.TapiMode() == comm::tmOff && !m.empty()) {
        ComPort1.SetTapiMode(comm::tmAuto); // a line device named in the field
    }
}

void TForm1::BitBtnBegFaxClick() {
    guarded([this] {
        captureWanted_ = true;
        applyModemChoice();
        TapiDevice1.SetSelectedDevice(cbModem.Text);
        comm::TTapiMode tm = ComPort1.TapiMode();
        if (tm == comm::tmOn || (tm == comm::tmAuto && !TapiDevice1.SelectedDevice().empty())) {
            try {
                TapiDevice1.StartPassthrough();
            } catch (const std::exception &e) {
                // The line could not be taken: try again in a second.
                event("capture: line device not available: " + std::string(e.what()));
                Timer1.setEnabled(true);
                return;
            }
        } else {
            beginDirect();
        }
        ReceiveFax1.NamingMode = 2;
        if (ComPort1.Open()) {
            // On the line device's path the port opens later, from the event loop; the
            // session prepares the modem itself when it starts there.
            ReceiveFax1.PrepareModemForReceive();
        }
        mode_ = cmCapturing;
        BitBtnEndFax.Enabled = true;
        BitBtnBegFax.Enabled = false;
        BitBtnMainScreen.Enabled = false;
        BitBtnTransLog.Enabled = false;
        BitBtnConfigure.Enabled = false;
        reMessages.Set(kTxtConfigured, kTxtWaitingForFax, kTxtIdle);
        event("capture: waiting for calls");
        changed();
    });
}

void TForm1::beginDirect() {
    ComPort1.SetOpen(true);
    ReceiveFax1.NamingMode = 2;
    ReceiveFax1.BeginReceive();
}

bool TForm1::endCall() {
    bool released = TapiDevice1.EndCall();
    if (ComPort1.TapiMode() != comm::tmOn && ComPort1.Open()) {
        // A port opened directly is released too, so the next capture opens the device
        // afresh (a modem unplugged and plugged in again is found).
        ComPort1.SetOpen(false);
    }
    return released;
}

void TForm1::TapiDevice1TapiPortOpen() {
    guarded([this] {
        ReceiveFax1.NamingMode = 2;
        ReceiveFax1.BeginReceive();
    });
}

void TForm1::ResetCaptureControls() {
    BitBtnBegFax.Enabled = true;
    BitBtnMainScreen.Enabled = true;
    BitBtnTransLog.Enabled = true;
    BitBtnConfigure.Enabled = true;
    BitBtnEndFax.Enabled = false;
    reMessages.Set(kTxtConfigured, kTxtNotReady, kTxtIdle);
    changed();
}

void TForm1::BitBtnEndFaxClick() {
    guarded([this] {
        captureWanted_ = false;
        Timer1.setEnabled(false);
        bool running = ReceiveFax1.Session().Running();
        ReceiveFax1.AbortSession();
        ResetCaptureControls();
        event("capture: ended by the operator");
        if (!running) {
            // No session to report its end: the line is released here.
            (void)endCall();
        }
    });
}

// ---- reception ----

void TForm1::ReceiveFax1FaxAccept(bool &Accept) {
    (void)Accept; // the call is taken as the component set it
    currentSender_ = CleanStationId(ReceiveFax1.RemoteStationID());
    reMessages.Set(kTxtConfigured, kTxtReceivingFax, kTxtActive);
    Panel10.Caption = kCapReceivingFax;
    event("call: receiving a fax from \"" + currentSender_ + "\"");
    changed();
}

void TForm1::ReceiveFax1FaxLog(fax::TFaxLogCode LogCode) {
    if (LogCode != fax::lfaxReceiveOK && LogCode != fax::lfaxReceiveFail) {
        return;
    }
    std::string file = ReceiveFax1.FaxFile();
    if (file.empty()) {
        return;
    }
    // The file is on disk before anything refers to it.
    if (int err = platform::SyncFileToDisk(file); err != 0) {
        event("error: cannot sync " + file + ": " + std::strerror(err));
    }
    event(std::string(LogCode == fax::lfaxReceiveOK ? "received " : "received (partial) ") +
          LogName(file));
    QueueAndLogFax(LogName(file));
    window_->post(WM_FAXLOGGED);
}

void TForm1::savePending() {
    std::vector<TPendingEntry> entries;
    for (size_t i = 0; i < pendingFiles_.size(); ++i) {
        entries.push_back({pendingFiles_[i], i < faxSenders_.size() ? faxSenders_[i] : ""});
    }
    if (int err = pendingStore_.Save(entries); err != 0) {
        event("error: cannot write the pending list " + pendingStore_.Path().string() + ": " +
              std::strerror(err));
    }
}

void TForm1::QueueAndLogFax(const std::string &F) {
    pendingFiles_.push_back(F);
    faxSenders_.push_back(currentSender_);
    currentSender_.clear();
    // The pending list first: a crash after it mails the fax twice at worst, a crash
    // before the logs could otherwise leave a logged fax that is never mailed.
    savePending();
    records::TIncomingCall call;
    call.dateTime = NowStamp();
    call.error = false;
    call.faxFilename = F;
    call.isFax = true;
    Incoming.AddIncoming(call);
    records::TQueuedFax queued;
    queued.filename = F;
    queued.status = "Q";
    queued.addedDate = NowStamp();
    SendQueue.AddQueued(queued);
}

void TForm1::wmFaxLogged() {
    ReceiveFax1.SetConstantStatus(true);
    stopRequested_ = true;
}

void TForm1::ReceiveFax1FaxStatus(bool First, bool Last) {
    (void)First;
    (void)Last;
    if (stopRequested_ && ReceiveFax1.SessionProgress() == fax::progWaitingCall) {
        ReceiveFax1.SetConstantStatus(false);
        stopRequested_ = false;
        ReceiveFax1.AbortSession();
        BitBtnEndFax.Enabled = false;
        changed();
    }
}

void TForm1::ReceiveFax1FaxError(int32_t ErrorCode) {
    event("fax error " + std::to_string(ErrorCode) + ": " + comm::ErrorMessage(ErrorCode));
}

void TForm1::ReceiveFax1FaxFinish(int32_t ErrorCode) {
    event("receiver finished (" + std::to_string(ErrorCode) + ")");
    // The session has ended, so a stop armed for it is done with.
    stopRequested_ = false;
    ReceiveFax1.SetConstantStatus(false);
    if (endCall()) {
        StartForwarding();
    }
    if (!forwarding_ && captureWanted_ && !Timer1.enabled()) {
        // Nothing to forward (or forwarding off): capture again rather than stay deaf.
        Timer1.setEnabled(true);
    }
}

// ---- recovery ----

void TForm1::RecoverFromException(const std::exception &e) {
    if (recovering_) {
        event("error during recovery: " + std::string(e.what()));
        return;
    }
    recovering_ = true;
    event("recovering from: " + std::string(e.what()));
    bool startedRun = false;
    try {
        if (mode_ == cmCapturing) {
            ReceiveFax1.AbortSession();
            (void)endCall();
            if (!pendingFiles_.empty()) {
                // The forwarding run started here goes ahead; it ends by restarting capture.
                StartForwarding();
                startedRun = forwarding_;
            }
        }
        if (mode_ == cmForwarding && !startedRun) {
            if (SmtpClient.Connected() || SmtpClient.State() != mail::ssReady) {
                SmtpClient.Abort();
            }
            // The pending files stay: they go out with the next run.
            FinishForwarding();
            armRetry();
        } else if (!startedRun && captureWanted_) {
            Timer1.setEnabled(true);
        }
    } catch (const std::exception &inner) {
        event("error during recovery: " + std::string(inner.what()));
        Timer1.setEnabled(true);
    }
    recovering_ = false;
    changed();
}

// ---- the window procedure ----

std::optional<platform::LResult> TForm1::WndProc(platform::Message &m) {
    switch (m.number) {
    case WM_FAXLOGGED:
        guarded([this] { wmFaxLogged(); });
        return 0;
    case WM_RESTARTCAPTURE:
        guarded([this] { wmRestartCapture(); });
        return 0;
    case WM_RASNOTIFY:
        guarded(
            [&] { wmRasNotify(static_cast<uint32_t>(m.wParam), static_cast<int32_t>(m.lParam)); });
        return 0;
    default:
        return std::nullopt;
    }
}

void TForm1::Timer1Timer() {
    Timer1.setEnabled(false);
    window_->post(WM_RESTARTCAPTURE);
}

void TForm1::wmRestartCapture() {
    ResetCaptureControls();
    BitBtnBegFaxClick();
}

} // namespace quillon::server
