#include "mail/async_socket.h"
#include "mail/text_p.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "platform/tcp_socket.h"

namespace quillon::mail {

namespace net = platform::net;

uint64_t TCustomAsyncSocket::nextId_ = 0;

namespace {

struct LookupResult {
    int error = 0;
    std::vector<uint32_t> addrs;
};

} // namespace

// ---- TBuffer ----

TBuffer::TBuffer(int size) : data_(static_cast<size_t>(size > 0 ? size : 1514)) {}

int TBuffer::Write(const char *data, int len) {
    int room = BufSize() - wrCount_;
    int n = std::min(room, std::max(len, 0));
    if (n > 0) {
        std::memcpy(data_.data() + wrCount_, data, static_cast<size_t>(n));
        wrCount_ += n;
    }
    return n;
}

const char *TBuffer::Peek(int &len) const {
    len = wrCount_ - rdCount_;
    if (len <= 0) {
        len = 0;
        return nullptr;
    }
    return data_.data() + rdCount_;
}

void TBuffer::Remove(int n) {
    rdCount_ += std::clamp(n, 0, wrCount_ - rdCount_);
    if (rdCount_ == wrCount_) {
        rdCount_ = 0;
        wrCount_ = 0;
    }
}

void TBuffer::SetBufSize(int size) {
    size = size > 0 ? size : 1514;
    data_.resize(static_cast<size_t>(std::max(size, wrCount_)));
}

// ---- TCustomAsyncSocket ----

TCustomAsyncSocket::TCustomAsyncSocket(platform::EventLoop &loop)
    : loop_(&loop), alive_(std::make_shared<bool>(true)) {
    window_ = std::make_unique<platform::MessageTarget>(
        loop, [this](platform::Message &msg) { return windowProc(msg); });
    applyDefaults();
}

TCustomAsyncSocket::~TCustomAsyncSocket() {
    destroying_ = true;
    *alive_ = false;
    lookupId_ = 0;
    if (state_ != wsClosed || fd_ >= 0) {
        internalClose(false, 0);
    }
    removeWatch();
}

void TCustomAsyncSocket::applyDefaults() {
    addrNet_ = 0;
    portAssigned_ = false;
    addrAssigned_ = false;
    protoAssigned_ = true;
    protoText_ = "tcp";
    protoNumber_ = 6;
    addrResolved_ = portResolved_ = protoResolved_ = false;
    LingerOnOff = wsLingerOn;
    LingerTimeout = 0;
    fd_ = -1;
    setState(wsClosed);
    allSent_ = true;
    paused_ = false;
    readCount_ = 0;
    closeInvoked_ = false;
    FlushTimeout = 60;
}

void TCustomAsyncSocket::setState(TSocketState s) {
    if (s == state_) {
        return;
    }
    TSocketState old = state_;
    state_ = s;
    if (OnChangeState && !destroying_) {
        OnChangeState(this, old, s);
    }
}

void TCustomAsyncSocket::RaiseException(const std::string &message) {
    if (OnError) {
        OnError(this);
        return;
    }
    throw ESocketException(message);
}

void TCustomAsyncSocket::SocketError(const std::string &function, int error) {
    std::string text = "Error " + std::to_string(error) + " in function " + function + "\r\n" +
                       SocketErrorDesc(error);
    if (error == net::kWsaEconnreset || error == net::kWsaEnotconn) {
        closeHandle();
        setState(wsClosed);
    }
    lastError_ = error;
    RaiseException(text);
}

void TCustomAsyncSocket::SetAddr(const std::string &value) {
    if (state_ != wsClosed) {
        RaiseException("Cannot change Addr if not closed");
        return;
    }
    addrText_ = detail::Trimmed(value);
    addrAssigned_ = !addrText_.empty();
    addrResolved_ = false;
}

void TCustomAsyncSocket::SetPort(const std::string &value) {
    if (state_ != wsClosed) {
        RaiseException("Cannot change Port if not closed");
        return;
    }
    portText_ = detail::Trimmed(value);
    portAssigned_ = !portText_.empty();
    portResolved_ = false;
}

void TCustomAsyncSocket::SetProto(const std::string &value) {
    if (state_ != wsClosed) {
        RaiseException("Cannot change Proto if not closed");
        return;
    }
    protoText_ = detail::Trimmed(value);
    protoAssigned_ = !protoText_.empty();
    protoResolved_ = false;
}

int TCustomAsyncSocket::RcvdCount() {
    if (fd_ < 0) {
        return 0;
    }
    int err = 0;
    int n = net::BytesWaiting(fd_, err);
    if (n < 0) {
        lastError_ = err;
    }
    return n;
}

// ---- host lookup ----

void TCustomAsyncSocket::DnsLookup(const std::string &host) {
    if (host.empty()) {
        lastError_ = net::kWsaEinval;
        RaiseException("DNS lookup: invalid host name.");
        if (OnDnsLookupDone) {
            OnDnsLookupDone(this, net::kWsaEinval);
        }
        return;
    }
    CancelDnsLookup();
    dnsResult_.clear();
    dnsResultList_.clear();
    uint32_t addr = 0;
    if (net::ParseDotted(host, addr)) {
        // A dotted address needs no lookup: it completes inside the call.
        dnsResult_ = net::FormatDotted(addr);
        dnsResultList_.push_back(dnsResult_);
        if (OnDnsLookupDone) {
            OnDnsLookupDone(this, 0);
        }
        return;
    }
    uint64_t id = ++nextId_;
    platform::TargetHandle target = window_->handle();
    int err = net::StartHostLookup(host, [target, id](int error, std::vector<uint32_t> addrs) {
        auto result = std::make_shared<LookupResult>();
        result->error = error;
        result->addrs = std::move(addrs);
        target.post(kMsgLookupDone, static_cast<platform::WParam>(id), 0, result);
    });
    if (err != 0) {
        lastError_ = err;
        RaiseException(host + ": can't start DNS lookup, error #" + std::to_string(err));
        return;
    }
    lookupId_ = id;
}

void TCustomAsyncSocket::CancelDnsLookup() {
    if (lookupId_ == 0) {
        return;
    }
    // The worker cannot be stopped inside the resolver; its late result is ignored.
    lookupId_ = 0;
    if (!destroying_ && OnDnsLookupDone) {
        OnDnsLookupDone(this, net::kWsaEintr);
    }
}

void TCustomAsyncSocket::lookupFinished(uint64_t id, int error,
                                        const std::vector<uint32_t> &addrs) {
    if (id != lookupId_ || id == 0) {
        return; // cancelled or superseded
    }
    lookupId_ = 0;
    if (error == 0) {
        for (uint32_t a : addrs) {
            dnsResultList_.push_back(net::FormatDotted(a));
        }
        if (!dnsResultList_.empty()) {
            dnsResult_ = dnsResultList_.front();
        }
    }
    lastError_ = error;
    if (OnDnsLookupDone) {
        OnDnsLookupDone(this, static_cast<uint16_t>(error));
    }
}

// ---- connect ----

void TCustomAsyncSocket::Connect() {
    if (fd_ >= 0 && state_ != wsClosed) {
        RaiseException("Connect: Socket already in use");
        return;
    }
    if (!portAssigned_) {
        RaiseException("Connect: No Port Specified");
        return;
    }
    if (!addrAssigned_) {
        RaiseException("Connect: No IP Address Specified");
        return;
    }
    if (!protoAssigned_) {
        RaiseException("Connect: No Protocol Specified");
        return;
    }
    try {
        if (!protoResolved_) {
            protoNumber_ = SocketResolveProto(protoText_);
            protoResolved_ = true;
        }
        if (!portResolved_) {
            portNet_ = SocketResolvePort(portText_, protoText_);
            portResolved_ = true;
        }
        if (!addrResolved_) {
            addrNet_ = SocketResolveHost(addrText_);
            addrResolved_ = true;
        }
    } catch (const ESocketException &e) {
        RaiseException(std::string("connect: ") + e.what());
        return;
    }
    if (protoNumber_ != 6) {
        RaiseException("connect: only tcp is supported");
        return;
    }
    queue_.clear();
    allSent_ = true;
    int err = 0;
    int fd = net::CreateStreamSocket(err);
    if (fd < 0) {
        SocketError("Connect (socket)", err);
        return;
    }
    fd_ = fd;
    connectionId_ = ++nextId_;
    closeInvoked_ = false;
    setState(wsOpened);
    if (LingerOnOff != wsLingerNoSet) {
        setLinger();
    }
    if ((err = net::SetKeepAlive(fd_, true)) != 0) {
        SocketError("setsockopt(SO_KEEPALIVE)", err);
        return;
    }
    if ((err = net::SetReuseAddr(fd_, true)) != 0) {
        SocketError("setsockopt(SO_REUSEADDR)", err);
        return;
    }
    err = net::StartConnect(fd_, addrNet_, portNet_);
    if (err == 0 || err == net::kWsaEwouldblock) {
        setState(wsConnecting);
        updateWatch(); // writability tells that the connect finished
        return;
    }
    if (err == net::kWsaEnetdown || err == net::kWsaEnetunreach || err == net::kWsaEtimedout ||
        err == net::kWsaEconnrefused || err == net::kWsaEhostdown || err == net::kWsaEhostunreach) {
        // Refusals the platform reports at once (loopback) arrive like any other connect
        // result: later, from the loop.
        setState(wsConnecting);
        window_->post(
            kMsgSocketEvent, static_cast<platform::WParam>(connectionId_),
            static_cast<platform::LParam>(kEvConnect | (static_cast<uint32_t>(err) << 16)));
        return;
    }
    closeHandle();
    setState(wsClosed);
    SocketError("Connect", err);
}

void TCustomAsyncSocket::setLinger() {
    if (fd_ < 0) {
        RaiseException("Cannot set linger option at this time");
        return;
    }
    int err = net::SetLinger(fd_, LingerOnOff == wsLingerOn, LingerTimeout);
    if (err != 0) {
        SocketError("setsockopt(SO_LINGER)", err);
    }
}

// ---- readiness ----

void TCustomAsyncSocket::updateWatch() {
    uint32_t want = 0;
    if (fd_ >= 0 && !paused_) {
        if (state_ == wsConnecting) {
            want = platform::kFdWrite;
        } else if (state_ == wsConnected) {
            want = platform::kFdRead | (allSent_ ? 0u : static_cast<uint32_t>(platform::kFdWrite));
        }
    }
    if (want == 0) {
        removeWatch();
        return;
    }
    if (watchId_ == 0) {
        watchId_ = loop_->watchFd(fd_, want, [this](uint32_t ev) { onFdReady(ev); });
    } else if (want != watchEvents_) {
        loop_->modifyWatch(watchId_, want);
    }
    watchEvents_ = want;
}

void TCustomAsyncSocket::removeWatch() {
    if (watchId_ != 0) {
        loop_->removeWatch(watchId_);
        watchId_ = 0;
        watchEvents_ = 0;
    }
}

void TCustomAsyncSocket::closeHandle() {
    removeWatch();
    if (fd_ >= 0) {
        (void)net::CloseSocket(fd_);
        fd_ = -1;
    }
}

void TCustomAsyncSocket::onFdReady(uint32_t events) {
    if (fd_ < 0 || paused_) {
        return;
    }
    if (state_ == wsConnecting) {
        handleEvents(kEvConnect, net::PendingError(fd_));
        return;
    }
    auto alive = alive_;
    uint32_t ev = 0;
    if ((events & platform::kFdWrite) != 0) {
        ev |= kEvWrite;
    }
    bool closed = false;
    int closeError = 0;
    if ((events & (platform::kFdRead | platform::kFdHangUp | platform::kFdError)) != 0) {
        int err = 0;
        int waiting = net::BytesWaiting(fd_, err);
        if (waiting > 0) {
            ev |= kEvRead;
        } else {
            closed = net::PeerClosed(fd_, closeError);
        }
    }
    if (ev != 0) {
        handleEvents(ev, 0);
    }
    if (closed && *alive && fd_ >= 0) {
        handleEvents(kEvClose, closeError);
    }
}

void TCustomAsyncSocket::handleEvents(uint32_t events, int error) {
    auto alive = alive_;
    auto err16 = static_cast<uint16_t>(error);
    if ((events & kEvConnect) != 0) {
        if (state_ != wsConnecting) {
            return;
        }
        setState(wsConnected);
        if (error == 0) {
            updateWatch();
        } else {
            removeWatch();
        }
        if (OnSessionConnected) {
            OnSessionConnected(this, err16);
            if (!*alive) {
                return;
            }
        }
        if (error != 0 && state_ != wsClosed) {
            Close();
        }
        return;
    }
    if ((events & kEvRead) != 0) {
        readLoop(error);
        if (!*alive) {
            return;
        }
    }
    if ((events & kEvWrite) != 0 && fd_ >= 0) {
        tryToSend();
        if (!*alive) {
            return;
        }
        if (allSent_ && fd_ >= 0 && OnDataSent) {
            OnDataSent(this, err16);
            if (!*alive) {
                return;
            }
        }
    }
    if ((events & kEvClose) != 0 && state_ != wsConnecting) {
        // Deliver what arrived before the close first.
        readLoop(0);
        if (!*alive) {
            return;
        }
        if (OnSessionClosed && !closeInvoked_) {
            closeInvoked_ = true;
            OnSessionClosed(this, err16);
            if (!*alive) {
                return;
            }
        }
        if (state_ != wsClosed) {
            Close();
        }
    }
}

void TCustomAsyncSocket::readLoop(int error) {
    auto alive = alive_;
    auto err16 = static_cast<uint16_t>(error);
    while (fd_ >= 0) {
        lastError_ = 0;
        int before = readCount_;
        if (OnDataAvailable) {
            try {
                OnDataAvailable(this, err16);
            } catch (...) {
                return; // a failing handler ends this round; the loop calls again if needed
            }
            if (!*alive) {
                return;
            }
        } else {
            char scratch[1024];
            int rerr = 0;
            ssize_t n = net::RecvSome(fd_, scratch, sizeof scratch, rerr);
            if (n <= 0) {
                return;
            }
            readCount_ += static_cast<int>(n);
        }
        if (lastError_ != 0 || fd_ < 0) {
            return;
        }
        int waiting = RcvdCount();
        // A handler that took nothing would be called forever; leave it to the next round.
        if (waiting <= 0 || readCount_ == before) {
            return;
        }
    }
}

int TCustomAsyncSocket::Receive(void *buffer, int len) {
    if (fd_ < 0) {
        lastError_ = net::kWsaEnotconn;
        return -1;
    }
    if (len <= 0) {
        return 0;
    }
    int err = 0;
    ssize_t n = net::RecvSome(fd_, buffer, static_cast<size_t>(len), err);
    if (n < 0) {
        lastError_ = err;
        return -1;
    }
    readCount_ += static_cast<int>(n);
    return static_cast<int>(n);
}

std::string TCustomAsyncSocket::ReceiveStr() {
    int n = RcvdCount();
    if (n <= 0) {
        return {};
    }
    std::string s(static_cast<size_t>(n), '\0');
    int got = Receive(s.data(), n);
    s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return s;
}

// ---- sending ----

int TCustomAsyncSocket::Send(const void *data, int len) {
    if (state_ != wsConnected) {
        lastError_ = net::kWsaEnotconn;
        SocketError("Send", net::kWsaEnotconn);
        return -1;
    }
    if (len <= 0) {
        return 0;
    }
    allSent_ = false;
    const char *p = static_cast<const char *>(data);
    int left = len;
    if (queue_.empty()) {
        queue_.emplace_back(kBufSize);
    }
    while (left > 0) {
        int n = queue_.back().Write(p, left);
        p += n;
        left -= n;
        if (left > 0) {
            queue_.emplace_back(kBufSize);
        }
    }
    auto alive = alive_;
    tryToSend();
    if (!*alive || fd_ < 0) {
        return len;
    }
    if (allSent_) {
        // Everything went at once: OnDataSent still arrives later, from the loop.
        window_->post(kMsgSocketEvent, static_cast<platform::WParam>(connectionId_),
                      static_cast<platform::LParam>(kEvWrite));
    }
    return len;
}

int TCustomAsyncSocket::SendStr(const std::string &text) {
    return Send(text.data(), static_cast<int>(text.size()));
}

void TCustomAsyncSocket::tryToSend() {
    if (fd_ < 0 || queue_.empty()) {
        return;
    }
    while (true) {
        // Segments already sent go as soon as a later one exists.
        while (queue_.size() > 1 && queue_.front().WrCount() == queue_.front().RdCount()) {
            queue_.pop_front();
        }
        // The unsent bytes of up to 64 segments in one call, straight from the queue.
        net::ConstArea areas[64];
        size_t count = 0;
        size_t total = 0;
        for (auto it = queue_.begin(); it != queue_.end() && count < 64; ++it) {
            int len = 0;
            const char *p = it->Peek(len);
            if (len > 0) {
                areas[count++] = {p, static_cast<size_t>(len)};
                total += static_cast<size_t>(len);
            }
        }
        if (total == 0) {
            allSent_ = true;
            break;
        }
        int err = 0;
        ssize_t rc = net::SendAreas(fd_, areas, count, SendFlags == wsSendUrgent, err);
        if (rc < 0) {
            if (err == net::kWsaEwouldblock) {
                break;
            }
            // The connection is gone (10022, 10038, 10054, 10057 and the like). Any
            // failure here ends it rather than raising from inside the loop, where
            // nobody could catch it.
            bool invoke = !closeInvoked_;
            closeInvoked_ = true;
            auto alive = alive_;
            queue_.clear();
            allSent_ = true;
            Close();
            if (*alive && invoke && OnSessionClosed) {
                OnSessionClosed(this, static_cast<uint16_t>(err));
            }
            return;
        }
        if (rc == 0) {
            break;
        }
        auto left = static_cast<size_t>(rc);
        for (auto it = queue_.begin(); it != queue_.end() && left > 0; ++it) {
            int len = 0;
            it->Peek(len);
            size_t take = std::min(left, static_cast<size_t>(len));
            it->Remove(static_cast<int>(take));
            left -= take;
        }
        if (static_cast<size_t>(rc) < total) {
            break; // the network took part: wait for the next write event
        }
    }
    updateWatch();
}

// ---- closing ----

void TCustomAsyncSocket::Close() {
    internalClose(true, 0);
}

void TCustomAsyncSocket::internalClose(bool shut, int error) {
    if (fd_ < 0) {
        if (state_ != wsClosed) {
            applyDefaults();
        }
        return;
    }
    if (state_ == wsClosed) {
        closeHandle();
        return;
    }
    if (shut) {
        // A graceful close delivers what the socket already took: with the default linger
        // setting (on, 0 s) close() would reset the connection and drop it.
        (void)net::ShutdownSend(fd_);
        (void)net::SetLinger(fd_, false, 0);
    }
    closeHandle();
    setState(wsClosed);
    queue_.clear();
    auto alive = alive_;
    if (!destroying_ && !closeInvoked_ && OnSessionClosed) {
        closeInvoked_ = true;
        OnSessionClosed(this, static_cast<uint16_t>(error));
        if (!*alive) {
            return;
        }
    }
    if (!destroying_) {
        applyDefaults();
    }
}

void TCustomAsyncSocket::Abort() {
    CancelDnsLookup();
    queue_.clear();
    allSent_ = true;
    if (state_ == wsConnected && fd_ >= 0) {
        LingerOnOff = wsLingerOff;
        setLinger();
    }
    internalClose(false, 0);
}

void TCustomAsyncSocket::Shutdown(int how) {
    if (fd_ >= 0) {
        (void)net::ShutdownHow(fd_, how);
    }
}

void TCustomAsyncSocket::Pause() {
    paused_ = true;
    removeWatch();
}

void TCustomAsyncSocket::Resume() {
    paused_ = false;
    updateWatch();
}

std::string TCustomAsyncSocket::GetPeerAddr() {
    std::string addr;
    uint16_t port = 0;
    if (state_ != wsConnected || net::PeerAddress(fd_, addr, port) != 0) {
        return "error";
    }
    return addr;
}

std::string TCustomAsyncSocket::GetXPort() {
    std::string addr;
    uint16_t port = 0;
    if (fd_ < 0 || net::LocalAddress(fd_, addr, port) != 0) {
        return "error";
    }
    return std::to_string(port);
}

std::optional<platform::LResult> TCustomAsyncSocket::windowProc(platform::Message &msg) {
    if (msg.number == kMsgSocketEvent) {
        if (msg.wParam != connectionId_ || fd_ < 0 || paused_) {
            return 0; // for an earlier connection
        }
        auto bits = static_cast<uint32_t>(msg.lParam);
        handleEvents(bits & 0xFFFF, static_cast<int>(bits >> 16));
        return 0;
    }
    if (msg.number == kMsgLookupDone) {
        auto *result = msg.payloadAs<LookupResult>();
        if (result != nullptr) {
            lookupFinished(static_cast<uint64_t>(msg.wParam), result->error, result->addrs);
        }
        return 0;
    }
    return std::nullopt;
}

// ---- free functions ----

namespace {
bool startsWithDigit(const std::string &s) {
    return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0])) != 0;
}

// Leading blanks skipped, then digits up to the first non-digit; -1 past `limit`.
long leadingNumber(const std::string &s, long limit) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') {
        ++i;
    }
    long v = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) != 0; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > limit) {
            return -1;
        }
    }
    return v;
}
} // namespace

uint32_t SocketResolveHost(const std::string &host) {
    if (host.empty() || host.size() > 256) {
        throw ESocketException("SocketResolveHost: Invalid Hostname.");
    }
    uint32_t addr = 0;
    if (net::ParseDotted(host, addr)) {
        return addr; // "255.255.255.255" included: the broadcast address
    }
    std::vector<uint32_t> addrs;
    if (net::ResolveHost(host, addrs) != 0 || addrs.empty()) {
        throw ESocketException("SocketResolveHost: Cannot convert host address '" + host + "'");
    }
    return addrs.front();
}

uint16_t SocketResolvePort(const std::string &port, const std::string &proto) {
    if (port.empty() || port.size() >= 32) {
        throw ESocketException("SocketResolvePort: Invalid Port.");
    }
    if (startsWithDigit(port)) {
        long v = leadingNumber(port, 65535);
        if (v < 0) {
            throw ESocketException("SocketResolvePort: Cannot convert port '" + port + "'");
        }
        return static_cast<uint16_t>(v);
    }
    uint16_t value = 0;
    if (net::ServiceByName(port, proto, value) != 0) {
        throw ESocketException("SocketResolvePort: Cannot convert port '" + port + "'");
    }
    return value;
}

int SocketResolveProto(const std::string &proto) {
    if (proto.empty() || proto.size() >= 32) {
        throw ESocketException("SocketResolveProto: Invalid Protocol.");
    }
    if (startsWithDigit(proto)) {
        long v = leadingNumber(proto, 255);
        if (v < 0) {
            throw ESocketException("SocketResolveProto: Cannot convert protocol '" + proto + "'");
        }
        return static_cast<int>(v);
    }
    int number = 0;
    if (net::ProtocolByName(proto, number) != 0) {
        throw ESocketException("SocketResolveProto: Cannot convert protocol '" + proto + "'");
    }
    return number;
}

std::string LocalHostName() {
    std::string name;
    if (net::HostName(name) != 0) {
        throw ESocketException("Winsock.GetHostName failed");
    }
    return name.substr(0, 63); // the classic 64-byte area
}

std::string SocketErrorDesc(int error) {
    struct Entry {
        int number;
        const char *text;
    };
    static constexpr Entry kTable[] = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Protocol wrong type for socket"},
        {10042, "Protocol not available"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Address not available"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection on reset"},
        {10053, "Connection aborted"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"},
        {11004, "No Data"},
    };
    for (const Entry &e : kTable) {
        if (e.number == error) {
            return e.text;
        }
    }
    return "Not a WinSock error";
}

} // namespace quillon::mail
