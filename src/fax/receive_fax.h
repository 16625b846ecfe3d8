#pragma once

// The receive-fax component: the object through which the server controller receives
// faxes. It is bound to one comm port, owns one receive session of the fax engine, names
// the files it writes in DestinationDir, and reports everything through events that always
// run on the thread that created it (the user-interface thread): the engine reaches it only
// through its event window (status, log, name, accept and error sent with a 1000 ms limit,
// finish posted). It drives an optional status display and an optional history log.
//
// Use from the controller (all on the user-interface thread):
//   TReceiveFax fax(&port);                 // port: 8N1, 19200, 8192/8192, RTS/CTS
//   fax.SetDestinationDir("faxes\\");       // stored as "faxes/" (the folder faxes/)
//   fax.NamingMode = 2;                      // MMDDnnnn.APF
//   fax.OnFaxAccept = ...; fax.OnFaxLog = ...; fax.OnFaxFinish = ...;
//   fax.PrepareModemForReceive();           // optional, synchronous
//   fax.BeginReceive();                     // returns at once; progress 20 = waiting
//   ... OnFaxLog(lfaxReceiveOK): fax.FaxFile() is the file just received ...
//   fax.AbortSession();                     // also from inside OnFaxStatus
//
// Errors. The start checks raise EPortNotAssigned (-1005), ECannotUseWithWinSock (-1009)
// and EOutputBufferTooSmall (-3006); PrepareModemForReceive raises the preparation's error;
// a closed port without AutoOpen raises ECommNotOpen (-2007). A running session never
// raises: it reports through OnFaxError and ends with OnFaxFinish. An exception thrown by
// an event handler is caught and handed to the application's exception handler.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm/base_component.h"
#include "comm/comm_port.h"
#include "fax/fax_session.h"
#include "fax/fax_types.h"
#include "platform/event_loop.h"

namespace quillon::fax {

class TCustomAbstractFax;
class TAbstractFaxStatus;
class TFaxLog;

using TFaxStatusEvent = std::function<void(TCustomAbstractFax &CP, bool First, bool Last)>;
using TFaxLogEvent = std::function<void(TCustomAbstractFax &CP, TFaxLogCode LogCode)>;
using TFaxErrorEvent = std::function<void(TCustomAbstractFax &CP, int32_t ErrorCode)>;
using TFaxFinishEvent = std::function<void(TCustomAbstractFax &CP, int32_t ErrorCode)>;
using TFaxAcceptEvent = std::function<void(TCustomAbstractFax &CP, bool &Accept)>;
using TFaxNameEvent = std::function<void(TCustomAbstractFax &CP, std::string &Name)>;

// The fax status text for a progress code; empty outside 1 to 43 or without a text.
std::string StatusMessage(int code);

// The file name the naming scheme gives: mode 1 "FAXnnnn.<ext>", mode 2 "MMDDnnnn.<ext>"
// (local month and day), the lowest counter without an existing file, in `dir` (which ends
// in a separator or is empty); when 0001 to 9999 all exist the counter goes on with more
// digits ("FAX10000", "MMDD10000") in the same folder; any other mode "noname.apf". The
// engine creates the file exclusively and takes "<stem>-1.<ext>", ... if the name is taken.
std::string GenerateFaxName(int mode, const std::string &dir, const std::string &ext);
// A directory as DestinationDir stores it: backslashes become "/" and a non-empty value
// ends in "/" (or ":"), at most 255 characters.
std::string NormalizeDestinationDir(const std::string &dir);
// ModemInit as stored: upper-cased, "AT" put in front when missing, at most 40 characters.
std::string NormalizeModemInit(const std::string &init);

// Shared part of sending and receiving components: the port, display and log links, the
// event slots, the event window and the engine session.
class TCustomAbstractFax : public comm::TBaseComponent {
  public:
    ~TCustomAbstractFax() override;

    // ---- links ----
    [[nodiscard]] comm::TCustomComPort *ComPort() const { return comPort_; }
    // Links the port and, unless it is being loaded, configures it for fax (8N1, 19200 bps,
    // 8192-byte buffers, RTS/CTS flow control).
    void SetComPort(comm::TCustomComPort *port);
    [[nodiscard]] TAbstractFaxStatus *StatusDisplay() const { return statusDisplay_; }
    void SetStatusDisplay(TAbstractFaxStatus *display);
    [[nodiscard]] TFaxLog *FaxLog() const { return faxLog_; }
    void SetFaxLog(TFaxLog *log);

    // ---- shared properties (held in the session) ----
    [[nodiscard]] int32_t InitBaud() const { return session_->Settings().initBaud; }
    void SetInitBaud(int32_t v);
    [[nodiscard]] int32_t NormalBaud() const { return session_->Settings().normalBaud; }
    void SetNormalBaud(int32_t v);
    [[nodiscard]] TFaxClass FaxClass() const { return session_->Settings().faxClass; }
    void SetFaxClass(TFaxClass v);
    [[nodiscard]] std::string ModemInit() const { return session_->Settings().modemInit; }
    void SetModemInit(const std::string &v);
    [[nodiscard]] std::string StationID() const { return session_->Settings().stationId; }
    void SetStationID(const std::string &v);
    [[nodiscard]] bool AbortNoConnect() const { return Option(kOptAbortNoConnect); }
    void SetAbortNoConnect(bool v) { SetOption(kOptAbortNoConnect, v); }
    [[nodiscard]] bool ExitOnError() const { return Option(kOptExitOnError); }
    void SetExitOnError(bool v) { SetOption(kOptExitOnError, v); }
    [[nodiscard]] bool SoftwareFlow() const { return Option(kOptSoftwareFlow); }
    void SetSoftwareFlow(bool v) { SetOption(kOptSoftwareFlow, v); }
    [[nodiscard]] uint16_t StatusInterval() const;
    void SetStatusInterval(uint16_t v);
    [[nodiscard]] uint16_t DesiredBPS() const { return session_->Settings().desiredBps; }
    void SetDesiredBPS(uint16_t v);
    [[nodiscard]] bool DesiredECM() const { return session_->Settings().desiredEcm; }
    void SetDesiredECM(bool v);
    [[nodiscard]] std::string FaxFileExt() const { return session_->Settings().faxFileExt; }
    void SetFaxFileExt(const std::string &v);
    [[nodiscard]] std::string FaxFile() const { return GetFaxFile(); }
    void SetFaxFileName(const std::string &v) { SetFaxFile(v); }

    // ---- read-only session values ----
    [[nodiscard]] uint16_t SessionProgress() const { return session_->SessionProgress(); }
    [[nodiscard]] std::string RemoteStationID() const { return session_->RemoteStationID(); }
    // The caller's identifier as people read it: RemoteStationID without the fill spaces a
    // Class 1 caller sends in front of it ("         +1 555 0100" reads "+1 555 0100").
    [[nodiscard]] std::string RemoteStationName() const {
        return TrimBlanks(session_->RemoteStationID());
    }
    [[nodiscard]] int32_t LastErrorCode() const { return session_->LastErrorCode(); }
    [[nodiscard]] uint16_t HangupCode() const { return session_->HangupCode(); }
    // Copy quality: rows of the last page that decoded and that were damaged; damaged rows
    // in the pages kept so far in this call; pages refused for their quality (answered with
    // RTN, or reported bad by a Class 2 modem) in this call.
    [[nodiscard]] uint32_t PageRowsGood() const { return session_->PageRowsGood(); }
    [[nodiscard]] uint32_t PageRowsDamaged() const { return session_->PageRowsDamaged(); }
    [[nodiscard]] uint32_t DamagedRows() const { return session_->DamagedRows(); }
    [[nodiscard]] uint16_t PagesRejected() const { return session_->PagesRejected(); }
    [[nodiscard]] uint16_t CurrentPage() const { return session_->CurrentPage(); }
    [[nodiscard]] int32_t BytesTransferred() const { return session_->BytesTransferred(); }
    [[nodiscard]] uint16_t TotalPages() const { return 0; }
    [[nodiscard]] int32_t PageLength() const { return 0; }
    [[nodiscard]] uint16_t ConnectBPS() const { return session_->ConnectBPS(); }
    [[nodiscard]] bool FineResolution() const { return session_->FineResolution(); }
    [[nodiscard]] bool WidePage() const { return session_->WidePage(); }
    [[nodiscard]] bool ErrorCorrection() const { return session_->ErrorCorrection(); }
    [[nodiscard]] static std::string StatusMessage(int code) { return fax::StatusMessage(code); }
    [[nodiscard]] virtual bool IsReceiver() const { return false; }

    // The engine session (tests and the status display read it).
    [[nodiscard]] TFaxSession &Session() const { return *session_; }

    // ---- events ----
    TFaxStatusEvent OnFaxStatus;
    TFaxLogEvent OnFaxLog;
    TFaxErrorEvent OnFaxError;
    TFaxFinishEvent OnFaxFinish;

    // Stored-form support: a component loaded without the marker property gets
    // StatusInterval 1.
    void Loaded(bool hadFakeProperty);

  protected:
    explicit TCustomAbstractFax(std::string name, comm::TCustomComPort *port);

    virtual std::string GetFaxFile() const { return faxFile_; }
    virtual void SetFaxFile(const std::string &name) { faxFile_ = name.substr(0, kFileNameMax); }
    virtual void NotifyStatus(bool First, bool Last);
    virtual void NotifyLog(TFaxLogCode LogCode);
    virtual void NotifyError(int32_t ErrorCode);
    virtual void NotifyFinish(int32_t ErrorCode);
    // Receive-only messages (name and accept) are handled by the receive component.
    virtual std::optional<platform::LResult> HandleReceiveMessage(platform::Message &m) {
        (void)m;
        return std::nullopt;
    }
    void CheckPort() const;
    [[nodiscard]] bool Option(uint32_t bit) const {
        return (session_->Settings().options & bit) != 0;
    }
    void SetOption(uint32_t bit, bool on);

    std::unique_ptr<platform::MessageTarget> window_;
    std::unique_ptr<TFaxSession> session_;

  private:
    friend class TAbstractFaxStatus;
    friend class TFaxLog;
    std::optional<platform::LResult> HandleMessage(platform::Message &m);
    void ConfigurePort(comm::TCustomComPort &port);

    comm::TCustomComPort *comPort_ = nullptr;
    int portListener_ = 0;
    int portDestroyListener_ = 0;
    TAbstractFaxStatus *statusDisplay_ = nullptr;
    TFaxLog *faxLog_ = nullptr;
    std::string faxFile_;
};

class TAbstractFax : public TCustomAbstractFax {
  protected:
    using TCustomAbstractFax::TCustomAbstractFax;
};

class TCustomReceiveFax : public TAbstractFax {
  public:
    explicit TCustomReceiveFax(comm::TCustomComPort *port = nullptr,
                               std::string name = "ReceiveFax1");
    ~TCustomReceiveFax() override;

    // Synchronous modem preparation; nothing while a session runs. Raises the start-check
    // exceptions and the preparation's recorded error.
    void PrepareModemForReceive();
    // Starts the receive session and returns at once (nothing while one runs).
    void BeginReceive();
    // Ends a running session: lfaxReceiveFail for an open file, hang-up, a Last status,
    // then OnFaxFinish(-6005). Safe from inside this component's own events.
    void AbortSession();

    // ---- receive properties (held in the session) ----
    [[nodiscard]] uint16_t AnswerOnRing() const;
    void SetAnswerOnRing(uint16_t v);
    [[nodiscard]] bool FaxAndData() const { return session_->Settings().faxAndData; }
    void SetFaxAndData(bool v);
    [[nodiscard]] bool OneFax() const { return session_->Settings().oneFax; }
    void SetOneFax(bool v);
    [[nodiscard]] bool ConstantStatus() const { return session_->Settings().constantStatus; }
    void SetConstantStatus(bool v);
    [[nodiscard]] std::string DestinationDir() const { return session_->Settings().destinationDir; }
    void SetDestinationDir(const std::string &v);

    // 1 counter names, 2 date names, anything else the fixed name "noname.apf".
    uint8_t NamingMode = 1;

    TFaxAcceptEvent OnFaxAccept;
    TFaxNameEvent OnFaxName;

    [[nodiscard]] bool IsReceiver() const override { return true; }

  protected:
    virtual void NotifyAccept(bool &Accept);
    virtual void NotifyName(std::string &Name);
    std::optional<platform::LResult> HandleReceiveMessage(platform::Message &m) override;
};

class TReceiveFax : public TCustomReceiveFax {
  public:
    using TCustomReceiveFax::TCustomReceiveFax;
};

// The optional history log: one text line per log code, appended to FaxHistoryName.
class TFaxLog : public comm::TBaseComponent {
  public:
    explicit TFaxLog(std::string name = "FaxLog1") : comm::TBaseComponent(std::move(name)) {}
    ~TFaxLog() override;

    std::string FaxHistoryName = "FAXLOG.HIS";
    [[nodiscard]] TCustomAbstractFax *Fax() const { return fax_; }
    void SetFax(TCustomAbstractFax *fax);

    // Appends the line for `code` (nothing when the name is empty); a file error raises
    // EInOutError.
    virtual void UpdateLog(TFaxLogCode code);
    // The platform's default date-time text ("12/9/2026 1:05:07 AM").
    static std::string DateTimeText();

  private:
    friend class TCustomAbstractFax;
    TCustomAbstractFax *fax_ = nullptr;
};

} // namespace quillon::fax
