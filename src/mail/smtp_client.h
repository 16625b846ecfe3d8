#pragma once

// The SMTP client (RFC 5321): sends one message, optionally with files attached as base64
// MIME parts (RFC 2045, 2046), to a mail host over one TCP connection.
//
// Every operation starts a request and returns at once; the request runs on as replies
// arrive on the client's socket, and its end is announced by exactly one OnRequestDone,
// always posted through the client's own message target, so the handler runs from the
// event loop and may start the next request (Mail, Quit) from inside itself.
//
// Owner and thread: created, used and destroyed on the thread of the event loop it is
// given (the user-interface thread in the server). The owner may destroy the client from
// inside its events except OnGetData and OnHeaderLine.
//
// Errors: a refused operation raises SmtpException with its text ("SMTP component not
// ready", ...); a request that fails reports a non-zero Error in OnRequestDone: the host's
// reply code (451, 550, 554, ...), or a socket error number (10004 connection closed,
// 10060 time-out, also for a reply that does not end within Timeout, 10061 refused, 11001
// host not found, 10040 reply line too long or reply of more than 100 lines, 10053 message
// abandoned because an attachment could not be read, a body line held the MIME boundary or
// the host answered a command before it was sent).
//
// Typical use (the server controller):
//   client.Host = "mail.example.com"; client.Port = "smtp";
//   client.OnRequestDone = ...;            // see below
//   client.Connect();                      // or Open() to send HELO as well
//   // OnRequestDone(srConnect, 0):
//   client.SetRcptName({"office@example.com"});
//   client.HdrFrom = ...; client.HdrTo = ...; client.HdrSubject = "{Quillon}";
//   client.FromName = ...; client.SetEmailFiles({"faxes/12090001.APF"});
//   client.OnGetData = ...;                // the body lines, LineNum 1, 2, ...
//   client.Mail();
//   // OnRequestDone(srMail, err): client.Quit(); err == 0 means the host took the message.
//   // OnRequestDone(srQuit, 0): done.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/async_socket.h"
#include "platform/error_numbers.h"
#include "platform/event_loop.h"

namespace quillon::mail {

// Raised by the client's requests; carries the error number it stands for (a socket number
// such as 10057 for "not connected", a file error such as -2), 0 when none applies.
class SmtpException : public std::runtime_error {
  public:
    explicit SmtpException(const std::string &message, int code = 0)
        : std::runtime_error(message), code_(code) {}
    [[nodiscard]] int code() const { return code_; }

  private:
    int code_;
};

enum TSmtpRequest : uint8_t {
    srConnect = 0,
    srHelo = 1,
    srMailFrom = 2,
    srVrfy = 3,
    srRcptTo = 4,
    srData = 5,
    srQuit = 6,
    srRset = 7,
    srOpen = 8,
    srMail = 9,
};

enum TSmtpClientState : uint8_t {
    ssReady = 0,
    ssDnsLookup = 1,
    ssConnecting = 2,
    ssConnected = 3,
    ssInternalReady = 4,
    ssWaitingBanner = 5,
    ssWaitingResponse = 6,
    ssAbort = 7,
};

class TSmtpClientBase;
using TSmtpDisplay = std::function<void(TSmtpClientBase *Sender, const std::string &Msg)>;
// The handler may rewrite the NUL-terminated line in place, up to Size - 1 characters.
using TSmtpHeaderLineEvent = std::function<void(TSmtpClientBase *Sender, char *Msg, int Size)>;
// The handler writes the next body line (NUL-terminated, at most MaxLen characters) into
// MsgLine, or sets More to false when there is none.
using TSmtpGetDataEvent = std::function<void(TSmtpClientBase *Sender, int LineNum, char *MsgLine,
                                             int MaxLen, bool &More)>;
using TSmtpRequestDone =
    std::function<void(TSmtpClientBase *Sender, TSmtpRequest RqType, uint16_t Error)>;
using TSmtpProcessHeader =
    std::function<void(TSmtpClientBase *Sender, std::vector<std::string> &HdrLines)>;
using TSmtpStateChange = std::function<void(TSmtpClientBase *Sender, TSmtpClientState OldState,
                                            TSmtpClientState NewState)>;

class TSmtpClientBase {
  public:
    static constexpr int kReceiveBufferSize = 4096;
    static constexpr int kLineAreaSize = 1024;
    static constexpr uint32_t kDefaultTimeoutMs = 120000;

    explicit TSmtpClientBase(platform::EventLoop &loop = platform::EventLoop::current());
    virtual ~TSmtpClientBase();
    TSmtpClientBase(const TSmtpClientBase &) = delete;
    TSmtpClientBase &operator=(const TSmtpClientBase &) = delete;

    // Published properties.
    std::string Host;
    std::string Port = "smtp";
    std::string SignOn;
    std::string FromName;
    std::string HdrFrom;
    std::string HdrTo;
    std::string HdrSubject;
    std::string CharSet = "iso-8859-1";
    int Tag = 0;
    // Longest wait for the lookup, the connect, the greeting, each reply and each part of
    // the message to leave; when it passes the request ends with 10060 and the connection
    // is closed.
    uint32_t Timeout = kDefaultTimeoutMs;

    [[nodiscard]] const std::vector<std::string> &RcptName() const { return rcptName_; }
    void SetRcptName(const std::vector<std::string> &lines);
    [[nodiscard]] const std::string &ErrorMessage() const { return errorMessage_; }
    [[nodiscard]] const std::string &LastResponse() const { return lastResponse_; }
    [[nodiscard]] TSmtpClientState State() const { return state_; }
    [[nodiscard]] bool Connected() const { return connected_; }
    [[nodiscard]] TSmtpRequest RequestType() const { return requestType_; }
    [[nodiscard]] int StatusCode() const { return statusCode_; }
    [[nodiscard]] TAsyncSocket &Socket() { return socket_; }

    TSmtpDisplay OnDisplay;
    TSmtpDisplay OnCommand;
    TSmtpDisplay OnResponse;
    TSmtpGetDataEvent OnGetData;
    TSmtpHeaderLineEvent OnHeaderLine;
    TSmtpRequestDone OnRequestDone;
    // Hooks the server leaves unset. OnProcessHeader may add, change or remove header lines
    // (one element per line) before they are sent.
    TSmtpProcessHeader OnProcessHeader;
    TSmtpStateChange OnStateChange;
    std::function<void(TSmtpClientBase *Sender, uint16_t Error)> OnSessionConnected;
    std::function<void(TSmtpClientBase *Sender, uint16_t Error)> OnSessionClosed;

    // Operations; each returns at once and ends with OnRequestDone.
    virtual void Connect();
    virtual void Helo();
    virtual void Vrfy();
    virtual void MailFrom();
    virtual void RcptTo();
    virtual void Data();
    virtual void Quit();
    virtual void Rset();
    virtual void Abort();
    virtual void Open();
    virtual void Mail();

    // The reply parser, also used by the fuzz target: feeds bytes as if they had been
    // read from the socket.
    void ProcessReceivedBytes(const char *data, size_t len);
    // Reads the status code of a reply line: blanks, tabs, CR and LF skipped, an optional
    // sign, decimal digits. `continuation` tells whether a "-" follows the number.
    static int ParseStatusCode(const std::string &line, bool &continuation);

  protected:
    using Step = void (TSmtpClientBase::*)();

    virtual void TriggerDisplay(const std::string &msg);
    virtual void TriggerCommand(const std::string &msg);
    virtual void TriggerResponse(const std::string &msg);
    virtual void TriggerRequestDone(uint16_t error);
    virtual void TriggerStateChange(TSmtpClientState oldState, TSmtpClientState newState);
    // Fills `line` (size MaxLen + 2, for dot-stuffing) with the next body line.
    virtual void TriggerGetData(int lineNum, char *msgLine, int maxLen, bool &more);
    virtual void TriggerHeaderLine(char *line, int size);
    virtual void TriggerProcessHeader(std::vector<std::string> &hdrLines);
    virtual void TriggerSessionConnected(uint16_t error);
    virtual void TriggerSessionClosed(uint16_t error);
    // Called by Data before it builds the header.
    virtual void PrepareMessage() {}
    // For the reply-parser fuzz target only: pretends that the greeting is awaited on a
    // connection (there is none; nothing is sent) with a Mail request queued behind it, so
    // that bytes fed to ProcessReceivedBytes walk the whole reply state machine.
    void SimulateConnectionForParser();

    void SendCommand(const std::string &cmd);
    void ExecAsync(TSmtpRequest rq, const std::string &cmd, std::vector<int> okResponses,
                   Step doneAsync);
    void SetState(TSmtpClientState s);
    void CheckReady();
    // Ends the transaction without its final ".", so that the host discards it, and ends
    // the request with `error`.
    void AbandonMessage(int error, const std::string &why);

    TAsyncSocket socket_;
    bool moreLines_ = false;

  private:
    void dnsLookupDone(uint16_t error);
    void sessionConnected(uint16_t error);
    void sessionClosed(uint16_t error);
    void dataAvailable();
    void processLine(const std::string &line);
    void replyOutOfOrder(const std::string &line);
    void handleBanner();
    void handleResponse();
    void nextRcpt();
    void nextRcptAfterReply();
    void dataStart();
    void dataNext();
    void appendBodyLine(const std::string &line);
    void dataSent();
    void highLevelAsync(TSmtpRequest rq, uint16_t fctSet);
    void sequencer();
    void connectFailed(int error, const std::string &why);
    void armTimeout();
    void disarmTimeout();
    void timeoutCheck();
    void fail(int error, const std::string &text);
    std::optional<platform::LResult> windowProc(platform::Message &msg);

    enum : uint16_t {
        kFctHelo = 1 << 1,
        kFctConnect = 1 << 2,
        kFctMailFrom = 1 << 3,
        kFctRcptTo = 1 << 4,
        kFctData = 1 << 5,
        kFctVrfy = 1 << 6,
        kFctQuit = 1 << 7,
    };

    platform::EventLoop *loop_;
    std::shared_ptr<bool> alive_;
    std::vector<std::string> rcptName_;
    std::string errorMessage_;
    std::string lastResponse_;
    TSmtpClientState state_ = ssReady;
    bool connected_ = false;
    TSmtpRequest requestType_ = srConnect;
    bool requestDoneFlag_ = true;
    int receiveLen_ = 0;
    int replyLines_ = 0; // lines of the reply being read
    int requestResult_ = 0;
    int statusCode_ = 0;
    char receiveBuffer_[kReceiveBufferSize] = {};
    Step next_ = nullptr;
    uint16_t fctSet_ = 0;
    bool highLevelFlag_ = false;
    Step nextRequest_ = nullptr;
    std::vector<int> okResponses_;
    Step doneAsync_ = nullptr;
    std::unique_ptr<platform::MessageTarget> window_;
    int itemCount_ = -1;
    std::vector<std::string> hdrLines_;
    int lineNum_ = 0;
    std::string pending_; // data lines gathered for one Send
    uint64_t timerId_ = 0;
    std::chrono::steady_clock::time_point deadline_{};
    bool waiting_ = false;
};

// The client with attachments: the message becomes multipart/mixed with one text part (the
// owner's lines) and one base64 part per file of EmailFiles, read from the file line by
// line as it is sent.
class TSmtpMimeClient : public TSmtpClientBase {
  public:
    using TSmtpClientBase::TSmtpClientBase;
    ~TSmtpMimeClient() override;

    [[nodiscard]] const std::vector<std::string> &EmailFiles() const { return emailFiles_; }
    // Clears the list, then takes each trimmed, non-empty line; a missing file raises
    // SmtpException "File not found '<path>'" (the paths already taken stay).
    void SetEmailFiles(const std::vector<std::string> &lines);
    [[nodiscard]] const std::string &Boundary() const { return boundary_; }
    // A fresh multipart boundary: a fixed prefix and 128 random bits in hex.
    static std::string NewBoundary();

    // One base64 line (RFC 2045) of at most 60 characters from up to 45 bytes of `file`.
    // Sets `eof` when the file has no further byte; returns false on a read error.
    static bool EncodeLine(std::FILE *file, std::string &out, bool &eof, uint64_t &count);

  protected:
    void PrepareMessage() override;
    void TriggerGetData(int lineNum, char *msgLine, int maxLen, bool &more) override;
    void TriggerHeaderLine(char *line, int size) override;

  private:
    void closeFile();
    bool startFile(std::string &error);

    std::vector<std::string> mimeLines_;
    size_t mimeHead_ = 0;
    std::vector<std::string> emailFiles_;
    size_t fileIndex_ = 0;
    std::string boundary_;
    std::FILE *file_ = nullptr;
    uint64_t fileSize_ = 0;
    uint64_t fileRead_ = 0;
    bool fileStarted_ = false;
    bool bodyFlag_ = false;
    int ownerLine_ = 0;
};

// Replaces every CR and LF in `text` by a blank, so that a value never breaks a line.
std::string SingleLine(const std::string &text);

} // namespace quillon::mail
