#include "fax/receive_fax.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "comm/error_codes.h"
#include "comm/string_resource.h"
#include "fax/fax_status.h"

namespace quillon::fax {

namespace {

std::string FourDigits(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d", n);
    return buf;
}

} // namespace

std::string StatusMessage(int code) {
    if (code < 1 || code > 43) {
        return {};
    }
    return comm::FaxStatusText(code);
}

std::string GenerateFaxName(int mode, const std::string &dir, const std::string &ext) {
    if (mode != 1 && mode != 2) {
        return "noname.apf";
    }
    std::string prefix;
    if (mode == 2) {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02d%02d", (local.tm_mon + 1) % 100, local.tm_mday % 100);
        prefix = buf;
    } else {
        prefix = "FAX";
    }
    std::string separator;
    if (!dir.empty() && dir.back() != '/' && dir.back() != ':') {
        separator = "/";
    }
    for (int n = 1; n <= 9999; ++n) {
        std::string stem = (prefix + FourDigits(n)).substr(0, mode == 2 ? 8 : 7);
        std::string name = dir + separator + stem + "." + ext;
        std::error_code ec;
        if (!std::filesystem::exists(name, ec)) {
            return name.substr(0, kFileNameMax);
        }
    }
    return "NONAME.APF";
}

std::string NormalizeDestinationDir(const std::string &dir) {
    std::string d = dir.substr(0, kFileNameMax);
    std::replace(d.begin(), d.end(), '\\', '/');
    if (!d.empty() && d.back() != '/' && d.back() != ':') {
        d.push_back('/');
    }
    return d.substr(0, kFileNameMax);
}

std::string NormalizeModemInit(const std::string &init) {
    std::string s = init;
    for (char &c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (s.rfind("AT", 0) != 0) {
        s = "AT" + s;
    }
    return s.substr(0, kModemStringMax);
}

// ---------------------------------------------------------------------------------------

TCustomAbstractFax::TCustomAbstractFax(std::string name, comm::TCustomComPort *port)
    : comm::TBaseComponent(std::move(name)) {
    window_ = std::make_unique<platform::MessageTarget>(
        [this](platform::Message &m) { return HandleMessage(m); });
    session_ = std::make_unique<TFaxSession>("", window_->handle());
    if (port != nullptr) {
        SetComPort(port);
    }
}

TCustomAbstractFax::~TCustomAbstractFax() {
    if (statusDisplay_ != nullptr) {
        statusDisplay_->fax_ = nullptr;
    }
    if (faxLog_ != nullptr) {
        faxLog_->fax_ = nullptr;
    }
    session_.reset();
    if (comPort_ != nullptr && portListener_ != 0) {
        comPort_->RemovePortListener(portListener_);
    }
    window_.reset();
}

void TCustomAbstractFax::ConfigurePort(comm::TCustomComPort &port) {
    port.SetDataBits(8);
    port.SetStopBits(1);
    port.SetParity(comm::pNone);
    port.SetBaud(19200);
    port.SetInSize(8192);
    port.SetOutSize(8192);
    port.SetHWFlowOptions({comm::hwfUseRTS, comm::hwfRequireCTS});
}

void TCustomAbstractFax::SetComPort(comm::TCustomComPort *port) {
    if (port == comPort_) {
        return;
    }
    if (comPort_ != nullptr && portListener_ != 0) {
        comPort_->RemovePortListener(portListener_);
        portListener_ = 0;
    }
    comPort_ = port;
    if (port == nullptr) {
        return;
    }
    if (!port->Loading()) {
        ConfigurePort(*port);
    }
    // A port that closes takes its dispatcher along: a session still running on it is
    // ended first, and the engine lets go of the dispatcher.
    portListener_ = port->AddPortListener([this](comm::TCustomComPort &, bool opened) {
        if (!opened) {
            session_->Cancel();
            session_->SetDispatcher(nullptr);
        }
    });
}

void TCustomAbstractFax::SetStatusDisplay(TAbstractFaxStatus *display) {
    if (display == statusDisplay_) {
        return;
    }
    if (statusDisplay_ != nullptr) {
        statusDisplay_->fax_ = nullptr;
    }
    statusDisplay_ = display;
    if (display != nullptr) {
        display->SetFax(this);
    }
}

void TCustomAbstractFax::SetFaxLog(TFaxLog *log) {
    if (log == faxLog_) {
        return;
    }
    if (faxLog_ != nullptr) {
        faxLog_->fax_ = nullptr;
    }
    faxLog_ = log;
    if (log != nullptr) {
        log->SetFax(this);
    }
}

void TCustomAbstractFax::SetInitBaud(int32_t v) {
    session_->SetInitBaud(v);
}

void TCustomAbstractFax::SetNormalBaud(int32_t v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.normalBaud = v; });
}

void TCustomAbstractFax::SetFaxClass(TFaxClass v) {
    if (v > fcClass2_0) {
        return;
    }
    session_->UpdateSettings([&](TSessionSettings &s) { s.faxClass = v; });
}

void TCustomAbstractFax::SetModemInit(const std::string &v) {
    std::string init = NormalizeModemInit(v);
    session_->UpdateSettings([&](TSessionSettings &s) { s.modemInit = init; });
}

void TCustomAbstractFax::SetStationID(const std::string &v) {
    std::string id = v.substr(0, kStationIdMax);
    session_->UpdateSettings([&](TSessionSettings &s) { s.stationId = id; });
}

uint16_t TCustomAbstractFax::StatusInterval() const {
    return static_cast<uint16_t>(session_->Settings().statusInterval);
}

void TCustomAbstractFax::SetStatusInterval(uint16_t v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.statusInterval = v; });
}

void TCustomAbstractFax::SetDesiredBPS(uint16_t v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.desiredBps = v; });
}

void TCustomAbstractFax::SetDesiredECM(bool v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.desiredEcm = v; });
}

void TCustomAbstractFax::SetFaxFileExt(const std::string &v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.faxFileExt = v; });
}

void TCustomAbstractFax::SetOption(uint32_t bit, bool on) {
    session_->UpdateSettings(
        [&](TSessionSettings &s) { s.options = on ? (s.options | bit) : (s.options & ~bit); });
}

void TCustomAbstractFax::Loaded(bool hadFakeProperty) {
    if (!hadFakeProperty) {
        SetStatusInterval(1);
    }
}

void TCustomAbstractFax::CheckPort() const {
    if (comPort_ == nullptr) {
        comm::CheckException(this, kErrPortNotAssigned);
        return;
    }
    if (comPort_->DeviceLayer() == comm::dlWinsock) {
        comm::CheckException(this, kErrCannotUseWithWinSock);
        return;
    }
    if (comPort_->OutSize() < 8192) {
        comm::CheckException(this, kErrOutputBufferTooSmall);
    }
}

void TCustomAbstractFax::NotifyStatus(bool First, bool Last) {
    if (statusDisplay_ != nullptr) {
        statusDisplay_->UpdateDisplay(First, Last);
    }
    if (OnFaxStatus) {
        OnFaxStatus(*this, First, Last);
    }
}

void TCustomAbstractFax::NotifyLog(TFaxLogCode LogCode) {
    if (faxLog_ != nullptr) {
        faxLog_->UpdateLog(LogCode);
    }
    if (OnFaxLog) {
        OnFaxLog(*this, LogCode);
    }
    if (LogCode == lfaxReceiveOK || LogCode == lfaxReceiveSkip || LogCode == lfaxReceiveFail) {
        SetFaxFile("");
    }
}

void TCustomAbstractFax::NotifyError(int32_t ErrorCode) {
    if (OnFaxError) {
        OnFaxError(*this, ErrorCode);
    }
}

void TCustomAbstractFax::NotifyFinish(int32_t ErrorCode) {
    if (OnFaxFinish) {
        OnFaxFinish(*this, ErrorCode);
    }
}

std::optional<platform::LResult> TCustomAbstractFax::HandleMessage(platform::Message &m) {
    try {
        switch (m.number) {
        case kMsgStatus:
            NotifyStatus(m.wParam == 1, m.wParam == 2);
            return 0;
        case kMsgLog:
            NotifyLog(static_cast<TFaxLogCode>(m.wParam));
            return 0;
        case kMsgError:
            NotifyError(static_cast<int32_t>(static_cast<uint32_t>(m.wParam)));
            return 0;
        case kMsgFinish:
            NotifyFinish(static_cast<int16_t>(static_cast<uint16_t>(m.wParam)));
            return 0;
        default:
            return HandleReceiveMessage(m);
        }
    } catch (...) {
        // The engine waits for this answer: it gets 0 while the application's handler
        // learns of the exception.
        platform::ReportCurrentException("a fax event handler");
        return 0;
    }
}

// ---------------------------------------------------------------------------------------

TCustomReceiveFax::TCustomReceiveFax(comm::TCustomComPort *port, std::string name)
    : TAbstractFax(std::move(name), port) {}

TCustomReceiveFax::~TCustomReceiveFax() = default;

void TCustomReceiveFax::PrepareModemForReceive() {
    if (session_->Running()) {
        return;
    }
    CheckPort();
    if (ComPort() == nullptr) {
        return; // loading: the check returned instead of raising
    }
    session_->SetDispatcher(&ComPort()->ValidDispatcher());
    if (!session_->PrepareModem()) {
        int32_t code = session_->LastErrorCode();
        if (code < 0) {
            comm::CheckException(this, code);
        }
    }
}

void TCustomReceiveFax::BeginReceive() {
    if (session_->Running()) {
        return;
    }
    CheckPort();
    if (ComPort() == nullptr) {
        return;
    }
    session_->SetDispatcher(&ComPort()->ValidDispatcher());
    // A start that fails reports its code through OnFaxError and ends with OnFaxFinish, as
    // a session that fails later does.
    session_->StartSession();
}

void TCustomReceiveFax::AbortSession() {
    session_->Cancel();
}

uint16_t TCustomReceiveFax::AnswerOnRing() const {
    return static_cast<uint16_t>(session_->Settings().answerOnRing);
}

void TCustomReceiveFax::SetAnswerOnRing(uint16_t v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.answerOnRing = v; });
}

void TCustomReceiveFax::SetFaxAndData(bool v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.faxAndData = v; });
}

void TCustomReceiveFax::SetOneFax(bool v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.oneFax = v; });
}

void TCustomReceiveFax::SetConstantStatus(bool v) {
    session_->UpdateSettings([&](TSessionSettings &s) { s.constantStatus = v; });
}

void TCustomReceiveFax::SetDestinationDir(const std::string &v) {
    std::string dir = NormalizeDestinationDir(v);
    session_->UpdateSettings([&](TSessionSettings &s) { s.destinationDir = dir; });
}

void TCustomReceiveFax::NotifyAccept(bool &Accept) {
    Accept = true;
    if (OnFaxAccept) {
        OnFaxAccept(*this, Accept);
    }
}

void TCustomReceiveFax::NotifyName(std::string &Name) {
    if (OnFaxName) {
        OnFaxName(*this, Name);
        return;
    }
    TSessionSettings s = session_->Settings();
    Name = GenerateFaxName(NamingMode, s.destinationDir, s.faxFileExt);
}

std::optional<platform::LResult> TCustomReceiveFax::HandleReceiveMessage(platform::Message &m) {
    switch (m.number) {
    case kMsgName: {
        if (m.senderGaveUp()) {
            return 0; // the engine went on without a name
        }
        std::string name;
        NotifyName(name);
        SetFaxFile(name);
        if (auto *request = m.payloadAs<TNameRequest>()) {
            request->name = GetFaxFile();
        }
        return 1;
    }
    case kMsgAccept: {
        if (m.senderGaveUp()) {
            return 0; // counted as a refusal
        }
        bool accept = true;
        NotifyAccept(accept);
        return accept ? 1 : 0;
    }
    default:
        return std::nullopt;
    }
}

// ---------------------------------------------------------------------------------------

TFaxLog::~TFaxLog() {
    if (fax_ != nullptr) {
        fax_->faxLog_ = nullptr;
    }
}

void TFaxLog::SetFax(TCustomAbstractFax *fax) {
    if (fax == fax_) {
        return;
    }
    TCustomAbstractFax *old = fax_;
    fax_ = fax;
    if (old != nullptr && old->faxLog_ == this) {
        old->faxLog_ = nullptr;
    }
    if (fax != nullptr && fax->faxLog_ != this) {
        fax->SetFaxLog(this);
    }
}

std::string TFaxLog::DateTimeText() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    int hour = t.tm_hour % 12;
    if (hour == 0) {
        hour = 12;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d/%d/%d %d:%02d:%02d %s", t.tm_mon + 1, t.tm_mday,
                  t.tm_year + 1900, hour, t.tm_min, t.tm_sec, t.tm_hour < 12 ? "AM" : "PM");
    return buf;
}

void TFaxLog::UpdateLog(TFaxLogCode code) {
    if (FaxHistoryName.empty() || fax_ == nullptr) {
        return;
    }
    std::string text;
    switch (code) {
    case lfaxReceiveStart:
        text = "Receive " + fax_->FaxFile() + " from " + fax_->RemoteStationID() + " started at " +
               DateTimeText() + "\n";
        break;
    case lfaxReceiveOK:
        text = "Receive finished OK at " + DateTimeText() + "\n\n";
        break;
    case lfaxReceiveSkip:
        text = "Receive skipped at " + DateTimeText() + "\n\n";
        break;
    case lfaxReceiveFail:
        text = "Receive failed at " + DateTimeText() + "\n\n  (" +
               comm::ErrorMessage(fax_->LastErrorCode()) + ")\n\n";
        break;
    default:
        return;
    }
    std::FILE *f = std::fopen(FaxHistoryName.c_str(), "ab");
    if (f == nullptr) {
        int err = errno;
        throw comm::EInOutError(std::strerror(err), err);
    }
    size_t written = std::fwrite(text.data(), 1, text.size(), f);
    int closeRc = std::fclose(f);
    if (written != text.size() || closeRc != 0) {
        throw comm::EInOutError("Device write error", 160);
    }
}

} // namespace quillon::fax
