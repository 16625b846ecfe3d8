#pragma once

// The asynchronous socket: a non-blocking TCP client endpoint driven by the event loop.
// Every blocking step of the socket interface becomes a request plus a later event: the
// host lookup runs on a worker thread and its completion is posted; connect, read, write
// and close readiness arrive through descriptor watches on the loop; a send that the
// network took at once still reports OnDataSent from the loop through a posted message.
//
// Owner and thread: created, used and destroyed on one thread, the thread whose event loop
// it uses (normally the user-interface thread); every event runs there. The owner may
// destroy the socket from inside any of its events.
//
// Errors: synchronous failures take the error path (OnError when assigned, otherwise an
// ESocketException with "Error <n> in function <f>" and the description); asynchronous ones
// arrive as the Error parameter of OnDnsLookupDone, OnSessionConnected, OnDataSent and
// OnSessionClosed. Error numbers are Windows Sockets numbers (see SocketErrorDesc).
//
// Line mode, SOCKS, the wait routine, listening and datagrams are not provided: the only
// user, the SMTP client, is a TCP client with line mode off.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/event_loop.h"

namespace quillon::mail {

enum TSocketState : uint8_t {
    wsInvalidState = 0,
    wsOpened = 1,
    wsBound = 2,
    wsConnecting = 3,
    wsConnected = 4,
    wsAccepting = 5,
    wsListening = 6,
    wsClosed = 7,
};

enum TSocketSendFlags : uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketLingerOnOff : uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

class ESocketException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One segment of the send queue.
class TBuffer {
  public:
    explicit TBuffer(int size);
    // Appends as many bytes as fit; returns how many.
    int Write(const char *data, int len);
    // The unsent bytes (nullptr and 0 when there are none).
    const char *Peek(int &len) const;
    // Marks n bytes sent (at most those unsent); when all stored bytes are sent both counts
    // return to 0 so that the segment can be filled again.
    void Remove(int n);
    void SetBufSize(int size);
    [[nodiscard]] int BufSize() const { return static_cast<int>(data_.size()); }
    [[nodiscard]] int WrCount() const { return wrCount_; }
    [[nodiscard]] int RdCount() const { return rdCount_; }

  private:
    std::vector<char> data_;
    int wrCount_ = 0;
    int rdCount_ = 0;
};

class TCustomAsyncSocket;
using TDataAvailable = std::function<void(TCustomAsyncSocket *Sender, uint16_t Error)>;
using TDataSent = TDataAvailable;
using TSessionClosed = TDataAvailable;
using TSessionConnected = TDataAvailable;
using TDnsLookupDone = TDataAvailable;
using TChangeState =
    std::function<void(TCustomAsyncSocket *Sender, TSocketState OldState, TSocketState NewState)>;
using TNotifyEvent = std::function<void(TCustomAsyncSocket *Sender)>;

class TCustomAsyncSocket {
  public:
    static constexpr int kBufSize = 1514; // one Ethernet frame per send segment

    explicit TCustomAsyncSocket(platform::EventLoop &loop = platform::EventLoop::current());
    virtual ~TCustomAsyncSocket();
    TCustomAsyncSocket(const TCustomAsyncSocket &) = delete;
    TCustomAsyncSocket &operator=(const TCustomAsyncSocket &) = delete;

    // Properties. Addr, Port and Proto may change only while closed.
    [[nodiscard]] const std::string &Addr() const { return addrText_; }
    void SetAddr(const std::string &value);
    [[nodiscard]] const std::string &Port() const { return portText_; }
    void SetPort(const std::string &value);
    [[nodiscard]] const std::string &Proto() const { return protoText_; }
    void SetProto(const std::string &value);
    [[nodiscard]] const std::string &DnsResult() const { return dnsResult_; }
    [[nodiscard]] const std::vector<std::string> &DnsResultList() const { return dnsResultList_; }
    [[nodiscard]] TSocketState State() const { return state_; }
    [[nodiscard]] int ReadCount() const { return readCount_; }
    // Bytes waiting to be read now; -1 on failure (with LastError set).
    int RcvdCount();
    [[nodiscard]] int LastError() const { return lastError_; }
    [[nodiscard]] bool AllSent() const { return allSent_; }
    [[nodiscard]] int Handle() const { return fd_; }

    bool MultiThreaded = false; // stored; waits that pump are not provided
    int FlushTimeout = 60;      // stored, no effect
    TSocketSendFlags SendFlags = wsSendNormal;
    TSocketLingerOnOff LingerOnOff = wsLingerOn;
    int LingerTimeout = 0;

    // Operations.
    void DnsLookup(const std::string &host);
    void CancelDnsLookup();
    void Connect();
    int Send(const void *data, int len);
    int SendStr(const std::string &text);
    int Receive(void *buffer, int len);
    std::string ReceiveStr();
    void Close();
    void Abort();
    void Shutdown(int how);
    void Pause();
    void Resume();
    std::string GetPeerAddr();
    std::string GetXPort(); // local port, "error" when not applicable

    // Events.
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSessionClosed OnSessionClosed;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TNotifyEvent OnLineTooLong; // never raised

  protected:
    // The error path: composes the text, sets LastError and raises it (or OnError).
    void SocketError(const std::string &function, int error);
    void RaiseException(const std::string &message);

  private:
    enum : uint32_t {
        kMsgSocketEvent = platform::kWmUser + 1,
        kMsgLookupDone = platform::kWmUser + 2
    };
    enum : uint32_t { kEvRead = 1, kEvWrite = 2, kEvConnect = 16, kEvClose = 32 };

    std::optional<platform::LResult> windowProc(platform::Message &msg);
    void onFdReady(uint32_t events);
    void handleEvents(uint32_t events, int error);
    void readLoop(int error);
    void tryToSend();
    void internalClose(bool shut, int error);
    void applyDefaults();
    void setState(TSocketState s);
    void setLinger();
    void updateWatch();
    void removeWatch();
    void closeHandle();
    void lookupFinished(uint64_t id, int error, const std::vector<uint32_t> &addrs);

    platform::EventLoop *loop_;
    std::unique_ptr<platform::MessageTarget> window_;
    std::shared_ptr<bool> alive_;
    int fd_ = -1;
    uint64_t watchId_ = 0;
    uint32_t watchEvents_ = 0;
    uint64_t connectionId_ = 0; // names the connection in posted events (descriptors recur)
    uint64_t lookupId_ = 0;     // the running lookup, 0 when none
    static uint64_t nextId_;

    bool portAssigned_ = false;
    bool addrAssigned_ = false;
    bool protoAssigned_ = false;
    bool addrResolved_ = false;
    bool portResolved_ = false;
    bool protoResolved_ = false;
    std::string addrText_;
    std::string portText_;
    std::string protoText_ = "tcp";
    uint32_t addrNet_ = 0;
    uint16_t portNet_ = 0;
    int protoNumber_ = 6;

    std::string dnsResult_;
    std::vector<std::string> dnsResultList_;
    std::deque<TBuffer> queue_;
    int lastError_ = 0;
    bool paused_ = false;
    bool allSent_ = true;
    int readCount_ = 0;
    bool closeInvoked_ = false;
    bool destroying_ = false;
    TSocketState state_ = wsClosed;
};

class TAsyncSocket : public TCustomAsyncSocket {
  public:
    using TCustomAsyncSocket::TCustomAsyncSocket;
};

// Free functions. Each raises ESocketException on failure with the texts given below.
uint32_t SocketResolveHost(const std::string &host);                           // network order
uint16_t SocketResolvePort(const std::string &port, const std::string &proto); // host order
int SocketResolveProto(const std::string &proto);
std::string SocketErrorDesc(int error);
std::string LocalHostName();

} // namespace quillon::mail
