#include "mail/smtp_client.h"
#include "mail/text_p.h"

#include <algorithm>
#include <cstring>

#include "mail/smtp_client_p.h"

namespace quillon::mail {

namespace net = platform::net;

namespace {

constexpr uint32_t kMsgRequestDone = platform::kWmUser + 1;
// No host needs more lines than this for one reply (an EHLO reply lists a few dozen
// extensions); a peer that sends more is holding the client, not answering it.
constexpr int kMaxReplyLines = 100;
// Winsock's "software caused connection abort": the client gave up on a peer that broke
// the conversation.
constexpr uint16_t kErrConnectionAbandoned = net::kWsaEconnaborted;
constexpr uint16_t kErrReplyTooLong = net::kWsaEmsgsize;

bool isWaitingState(TSmtpClientState s) {
    return s == ssDnsLookup || s == ssConnecting || s == ssWaitingBanner || s == ssWaitingResponse;
}

} // namespace

std::string SingleLine(const std::string &text) {
    std::string out = text;
    for (char &c : out) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return out;
}

std::string detail::SafeHeaderLine(const char *text) {
    // A CR LF followed by a blank or tab folds the field (RFC 5322 2.2.3) and stays; any
    // other CR or LF would start a line of its own and becomes a blank.
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r' && i + 2 < out.size() && out[i + 1] == '\n' &&
            (out[i + 2] == ' ' || out[i + 2] == '\t')) {
            i += 2;
            continue;
        }
        if (out[i] == '\r' || out[i] == '\n') {
            out[i] = ' ';
        }
    }
    return out;
}

std::string detail::DateHeaderValue(const platform::LocalTime &t) {
    static constexpr const char *kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long off = t.utcOffset;
    char sign = off < 0 ? '-' : '+';
    off = off < 0 ? -off : off;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[std::clamp(t.weekday, 0, 6)], t.day,
                  kMonths[std::clamp(t.month, 1, 12) - 1], t.year, t.hour, t.minute, t.second, sign,
                  off / 3600, (off % 3600) / 60);
    return buf;
}

// ---- construction ----

TSmtpClientBase::TSmtpClientBase(platform::EventLoop &loop)
    : socket_(loop), loop_(&loop), alive_(std::make_shared<bool>(true)) {
    window_ = std::make_unique<platform::MessageTarget>(
        loop, [this](platform::Message &msg) { return windowProc(msg); });
    socket_.OnSessionClosed = [this](TCustomAsyncSocket *, uint16_t error) {
        sessionClosed(error);
    };
}

TSmtpClientBase::~TSmtpClientBase() {
    *alive_ = false;
    disarmTimeout();
    socket_.OnSessionClosed = nullptr;
    socket_.OnDataAvailable = nullptr;
    socket_.OnDataSent = nullptr;
    socket_.OnDnsLookupDone = nullptr;
    socket_.OnSessionConnected = nullptr;
}

void TSmtpClientBase::SetRcptName(const std::vector<std::string> &lines) {
    rcptName_ = lines;
}

// ---- triggers ----

void TSmtpClientBase::TriggerDisplay(const std::string &msg) {
    if (OnDisplay) {
        OnDisplay(this, msg);
    }
}

void TSmtpClientBase::TriggerCommand(const std::string &msg) {
    if (OnCommand) {
        OnCommand(this, msg);
    }
}

void TSmtpClientBase::TriggerResponse(const std::string &msg) {
    if (OnResponse) {
        OnResponse(this, msg);
    }
}

void TSmtpClientBase::TriggerStateChange(TSmtpClientState oldState, TSmtpClientState newState) {
    if (OnStateChange) {
        OnStateChange(this, oldState, newState);
    }
}

void TSmtpClientBase::TriggerGetData(int lineNum, char *msgLine, int maxLen, bool &more) {
    if (OnGetData) {
        OnGetData(this, lineNum, msgLine, maxLen, more);
    } else {
        more = false;
    }
}

void TSmtpClientBase::TriggerHeaderLine(char *line, int size) {
    if (OnHeaderLine) {
        OnHeaderLine(this, line, size);
    }
}

void TSmtpClientBase::TriggerProcessHeader(std::vector<std::string> &hdrLines) {
    if (OnProcessHeader) {
        OnProcessHeader(this, hdrLines);
    }
}

void TSmtpClientBase::TriggerSessionConnected(uint16_t error) {
    if (OnSessionConnected) {
        OnSessionConnected(this, error);
    }
}

void TSmtpClientBase::TriggerSessionClosed(uint16_t error) {
    if (OnSessionClosed) {
        OnSessionClosed(this, error);
    }
}

void TSmtpClientBase::TriggerRequestDone(uint16_t error) {
    if (requestDoneFlag_) {
        return;
    }
    requestDoneFlag_ = true;
    if (error == 0 && nextRequest_ != nullptr) {
        if (state_ != ssAbort) {
            SetState(ssInternalReady);
        }
        try {
            (this->*nextRequest_)();
        } catch (const std::exception &e) {
            // A step that refuses to start (no recipient, no host name) ends the request.
            if (errorMessage_.empty()) {
                errorMessage_ = e.what();
            }
            TriggerDisplay(e.what());
            nextRequest_ = nullptr;
            requestDoneFlag_ = false;
            TriggerRequestDone(net::kWsaEinval);
        }
        return;
    }
    nextRequest_ = nullptr;
    fctSet_ = 0;
    SetState(ssReady);
    highLevelFlag_ = false;
    disarmTimeout();
    window_->post(kMsgRequestDone, 0, static_cast<platform::LParam>(error));
}

std::optional<platform::LResult> TSmtpClientBase::windowProc(platform::Message &msg) {
    if (msg.number != kMsgRequestDone) {
        return std::nullopt;
    }
    if (OnRequestDone) {
        OnRequestDone(this, requestType_, static_cast<uint16_t>(msg.lParam & 0xFFFF));
    }
    return 0;
}

void TSmtpClientBase::SetState(TSmtpClientState s) {
    if (isWaitingState(s)) {
        armTimeout();
    }
    if (s == state_) {
        return;
    }
    TSmtpClientState old = state_;
    state_ = s;
    TriggerStateChange(old, s);
}

void TSmtpClientBase::CheckReady() {
    if (state_ != ssReady && state_ != ssInternalReady) {
        throw SmtpException("SMTP component not ready", net::kWsaEinprogress);
    }
}

// ---- time-outs ----

void TSmtpClientBase::armTimeout() {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(Timeout);
    waiting_ = true;
    if (timerId_ == 0) {
        timerId_ = loop_->addTimer(std::max<uint32_t>(Timeout, 1), [this] { timeoutCheck(); });
    }
}

void TSmtpClientBase::disarmTimeout() {
    waiting_ = false;
    if (timerId_ != 0) {
        loop_->removeTimer(timerId_);
        timerId_ = 0;
    }
}

void TSmtpClientBase::timeoutCheck() {
    if (!waiting_) {
        disarmTimeout();
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (now < deadline_) {
        // Progress was made since the timer was set: wait for the rest.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now);
        loop_->setTimerInterval(timerId_,
                                static_cast<uint32_t>(std::max<int64_t>(left.count(), 1)));
        return;
    }
    disarmTimeout();
    TriggerDisplay("Timed out after " + std::to_string(Timeout) + " ms");
    fail(net::kWsaEtimedout, "");
}

void TSmtpClientBase::fail(int error, const std::string &text) {
    lastResponse_ =
        "500 " + SocketErrorDesc(error) + " (Winsock error #" + std::to_string(error) + ")";
    statusCode_ = 500;
    if (errorMessage_.empty()) {
        errorMessage_ = text.empty() ? lastResponse_ : text;
    }
    requestResult_ = error;
    moreLines_ = false;
    receiveLen_ = 0;
    socket_.OnDataSent = nullptr;
    nextRequest_ = nullptr;
    TriggerRequestDone(static_cast<uint16_t>(error));
    connected_ = false;
    socket_.Abort(); // its session-closed notification finds the request already ended
}

void TSmtpClientBase::AbandonMessage(int error, const std::string &why) {
    TriggerDisplay(why);
    if (errorMessage_.empty()) {
        errorMessage_ = why;
    }
    requestResult_ = error;
    moreLines_ = false;
    pending_.clear();
    socket_.OnDataSent = nullptr;
    nextRequest_ = nullptr;
    TriggerRequestDone(static_cast<uint16_t>(error));
    // Without the final "." the host discards the transaction (RFC 5321 4.1.1.4).
    connected_ = false;
    socket_.Abort();
}

// ---- connect ----

void TSmtpClientBase::Connect() {
    CheckReady();
    if (connected_) {
        throw SmtpException("SMTP component already connected", net::kWsaEisconn);
    }
    if (!highLevelFlag_) {
        requestType_ = srConnect;
    }
    requestDoneFlag_ = false;
    receiveLen_ = 0;
    requestResult_ = 0;
    SetState(ssDnsLookup);
    socket_.OnDataSent = nullptr;
    socket_.OnDnsLookupDone = [this](TCustomAsyncSocket *, uint16_t error) {
        dnsLookupDone(error);
    };
    try {
        socket_.DnsLookup(Host);
    } catch (const ESocketException &e) {
        connectFailed(socket_.LastError() != 0 ? socket_.LastError() : net::kWsaEinval, e.what());
    }
}

void TSmtpClientBase::connectFailed(int error, const std::string &why) {
    lastResponse_ =
        "500 " + SocketErrorDesc(error) + " (Winsock error #" + std::to_string(error) + ")";
    statusCode_ = 500;
    connected_ = false;
    if (!why.empty()) {
        TriggerDisplay(why);
    }
    if (errorMessage_.empty()) {
        errorMessage_ = lastResponse_;
    }
    TriggerRequestDone(static_cast<uint16_t>(error));
    if (socket_.State() != wsClosed) {
        socket_.Close();
    }
    SetState(ssReady);
}

void TSmtpClientBase::dnsLookupDone(uint16_t error) {
    if (requestDoneFlag_) {
        return; // the request already ended (time-out)
    }
    if (error != 0) {
        connectFailed(error, "");
        return;
    }
    try {
        socket_.SetAddr(socket_.DnsResult());
        socket_.SetProto("tcp");
        socket_.SetPort(Port);
        socket_.OnSessionConnected = [this](TCustomAsyncSocket *, uint16_t err) {
            sessionConnected(err);
        };
        socket_.OnDataAvailable = [this](TCustomAsyncSocket *, uint16_t) { dataAvailable(); };
        SetState(ssConnecting);
        socket_.Connect();
    } catch (const ESocketException &e) {
        connectFailed(socket_.LastError() != 0 ? socket_.LastError() : net::kWsaEinval, e.what());
    }
}

void TSmtpClientBase::sessionConnected(uint16_t error) {
    if (requestDoneFlag_) {
        return;
    }
    if (error != 0) {
        connectFailed(error, "");
        return;
    }
    connected_ = true;
    SetState(ssWaitingBanner);
}

void TSmtpClientBase::sessionClosed(uint16_t /*error*/) {
    connected_ = false;
    TriggerSessionClosed(0);
    TriggerRequestDone(net::kWsaEintr);
}

// ---- replies ----

void TSmtpClientBase::dataAvailable() {
    int room = kReceiveBufferSize - 1 - receiveLen_;
    if (room <= 0) {
        fail(kErrReplyTooLong, "");
        return;
    }
    int n = socket_.Receive(receiveBuffer_ + receiveLen_, room);
    if (n <= 0) {
        return;
    }
    // The time-out bounds each whole reply, not the gap between bytes: a host that
    // trickles a reply is no better than one that sends nothing.
    receiveLen_ += n;
    receiveBuffer_[receiveLen_] = '\0';
    ProcessReceivedBytes(nullptr, 0);
}

void TSmtpClientBase::ProcessReceivedBytes(const char *data, size_t len) {
    auto alive = alive_;
    while (len > 0) {
        // Bytes handed in directly (the fuzz target) go through the same buffer as reads.
        size_t room = static_cast<size_t>(kReceiveBufferSize - 1 - receiveLen_);
        size_t take = std::min(room, len);
        std::memcpy(receiveBuffer_ + receiveLen_, data, take);
        receiveLen_ += static_cast<int>(take);
        receiveBuffer_[receiveLen_] = '\0';
        data += take;
        len -= take;
        if (len > 0 && receiveLen_ >= kReceiveBufferSize - 1) {
            ProcessReceivedBytes(nullptr, 0);
            if (!*alive || receiveLen_ >= kReceiveBufferSize - 1) {
                return;
            }
        }
    }
    while (receiveLen_ > 0) {
        const char *crlf = nullptr;
        for (int i = 0; i + 1 < receiveLen_; ++i) {
            if (receiveBuffer_[i] == '\r' && receiveBuffer_[i + 1] == '\n') {
                crlf = receiveBuffer_ + i;
                break;
            }
        }
        if (crlf == nullptr) {
            if (receiveLen_ >= kReceiveBufferSize - 1) {
                // A reply line that cannot fit: no server sends one; treat it as a broken
                // conversation rather than waiting for room that never comes.
                TriggerDisplay("Reply line longer than " + std::to_string(kReceiveBufferSize - 1) +
                               " bytes");
                fail(kErrReplyTooLong, "");
            }
            return;
        }
        size_t lineLen = static_cast<size_t>(crlf - receiveBuffer_);
        std::string line(receiveBuffer_, lineLen);
        size_t rest = static_cast<size_t>(receiveLen_) - lineLen - 2;
        std::memmove(receiveBuffer_, crlf + 2, rest);
        receiveLen_ = static_cast<int>(rest);
        receiveBuffer_[receiveLen_] = '\0';
        lastResponse_ = line;
        TriggerResponse(line);
        if (!*alive) {
            return;
        }
        processLine(line);
        if (!*alive) {
            return;
        }
    }
}

void TSmtpClientBase::processLine(const std::string &line) {
    if (state_ == ssWaitingBanner || state_ == ssWaitingResponse) {
        if (++replyLines_ > kMaxReplyLines) {
            TriggerDisplay("Reply longer than " + std::to_string(kMaxReplyLines) + " lines");
            fail(kErrReplyTooLong, "");
            return;
        }
    }
    if (state_ == ssWaitingBanner) {
        handleBanner();
    } else if (state_ == ssWaitingResponse) {
        if (next_ == nullptr) {
            throw SmtpException("Program error: FNext is nil");
        }
        (this->*next_)();
    } else {
        TriggerDisplay("< " + line);
        if (connected_) {
            // No command is outstanding (the message is still being sent, or the last
            // request has ended): whatever this answers, it is not a reply we asked for.
            replyOutOfOrder(line);
        }
    }
}

void TSmtpClientBase::replyOutOfOrder(const std::string &line) {
    std::string text = "Reply arrived before its command was sent: " + line;
    TriggerDisplay(text);
    fail(kErrConnectionAbandoned, text);
}

int TSmtpClientBase::ParseStatusCode(const std::string &line, bool &continuation) {
    size_t i = 0;
    while (i < line.size() &&
           (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) {
        ++i;
    }
    bool negative = false;
    if (i < line.size() && (line[i] == '-' || line[i] == '+')) {
        negative = line[i] == '-';
        ++i;
    }
    long value = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        value = std::min(value * 10 + (line[i] - '0'), 1000000L);
        ++i;
    }
    continuation = i < line.size() && line[i] == '-';
    return static_cast<int>(negative ? -value : value);
}

void TSmtpClientBase::handleBanner() {
    TriggerDisplay("< " + lastResponse_);
    bool continuation = false;
    statusCode_ = ParseStatusCode(lastResponse_, continuation);
    if (continuation) {
        return;
    }
    replyLines_ = 0;
    if (statusCode_ != 220) {
        if (errorMessage_.empty()) {
            errorMessage_ = lastResponse_;
        }
        requestResult_ = statusCode_;
        receiveLen_ = 0;
        socket_.Close();
        // The close ends the request with 10004 (the connection-closed path); make sure of
        // it even when the socket had nothing left to close.
        connected_ = false;
        TriggerRequestDone(net::kWsaEintr);
        return;
    }
    SetState(ssConnected);
    TriggerSessionConnected(0);
    TriggerRequestDone(0);
}

void TSmtpClientBase::handleResponse() {
    TriggerDisplay("< " + lastResponse_);
    bool continuation = false;
    statusCode_ = ParseStatusCode(lastResponse_, continuation);
    if (continuation) {
        return;
    }
    replyLines_ = 0;
    bool ok = false;
    if (okResponses_.empty()) {
        ok = statusCode_ < 500;
    } else {
        ok = std::find(okResponses_.begin(), okResponses_.end(), statusCode_) != okResponses_.end();
    }
    if (ok) {
        requestResult_ = 0;
    } else {
        // A reply without a valid three-digit code (RFC 5321 4.2) must not read as success.
        requestResult_ = statusCode_ >= 100 && statusCode_ <= 999 ? statusCode_ : 500;
        if (errorMessage_.empty()) {
            errorMessage_ = lastResponse_;
        }
    }
    if (doneAsync_ != nullptr) {
        Step after = doneAsync_;
        (this->*after)();
    } else {
        TriggerRequestDone(static_cast<uint16_t>(requestResult_));
    }
}

// ---- commands ----

void TSmtpClientBase::SendCommand(const std::string &cmd) {
    // No value may split a command in two (RFC 5321 2.3.8).
    std::string line = SingleLine(cmd);
    // Without pipelining the host speaks only after a command; bytes already here (left
    // over after the last reply, or waiting in the socket) came ahead of this command and
    // must not be taken as its answer.
    if (connected_ && (receiveLen_ > 0 || socket_.RcvdCount() > 0)) {
        std::string early(receiveBuffer_, static_cast<size_t>(std::min(receiveLen_, 80)));
        if (early.empty()) {
            char peek[80];
            int n = socket_.Receive(peek, sizeof peek);
            early.assign(peek, static_cast<size_t>(std::max(n, 0)));
        }
        replyOutOfOrder(SingleLine(early));
        return;
    }
    replyLines_ = 0;
    TriggerCommand(line);
    TriggerDisplay("> " + line);
    if (socket_.State() == wsConnected) {
        socket_.SendStr(line + "\r\n");
    }
}

void TSmtpClientBase::ExecAsync(TSmtpRequest rq, const std::string &cmd,
                                std::vector<int> okResponses, Step doneAsync) {
    CheckReady();
    if (!connected_) {
        throw SmtpException("SMTP component not connected", net::kWsaEnotconn);
    }
    if (!highLevelFlag_) {
        requestType_ = rq;
    }
    if (okResponses.size() > 16) {
        okResponses.resize(16);
    }
    okResponses_ = std::move(okResponses);
    requestDoneFlag_ = false;
    next_ = &TSmtpClientBase::handleResponse;
    doneAsync_ = doneAsync;
    SetState(ssWaitingResponse);
    SendCommand(cmd);
}

void TSmtpClientBase::Helo() {
    CheckReady();
    if (!connected_) {
        throw SmtpException("SMTP component not connected", net::kWsaEnotconn);
    }
    std::string domain = SignOn.empty() ? LocalHostName() : SignOn;
    ExecAsync(srHelo, "HELO " + domain, {250}, nullptr);
}

void TSmtpClientBase::Vrfy() {
    ExecAsync(srVrfy, "VRFY " + HdrTo, {250}, nullptr);
}

void TSmtpClientBase::MailFrom() {
    ExecAsync(srMailFrom, "MAIL FROM:<" + detail::Trimmed(FromName) + ">", {250}, nullptr);
}

void TSmtpClientBase::RcptTo() {
    CheckReady();
    if (!connected_) {
        throw SmtpException("SMTP component not connected", net::kWsaEnotconn);
    }
    if (rcptName_.empty()) {
        throw SmtpException("RcptName list is empty", net::kWsaEdestaddrreq);
    }
    itemCount_ = -1;
    nextRcpt();
}

void TSmtpClientBase::nextRcpt() {
    ++itemCount_;
    Step after = static_cast<size_t>(itemCount_) + 1 < rcptName_.size()
                     ? static_cast<Step>(&TSmtpClientBase::nextRcptAfterReply)
                     : nullptr;
    ExecAsync(srRcptTo,
              "RCPT TO:<" + detail::Trimmed(rcptName_[static_cast<size_t>(itemCount_)]) + ">",
              {250, 251}, after);
}

void TSmtpClientBase::nextRcptAfterReply() {
    // The next recipient goes out whatever this one's reply was; the first refusal stays
    // in ErrorMessage and the last reply decides the request.
    state_ = ssInternalReady;
    nextRcpt();
}

void TSmtpClientBase::Quit() {
    CheckReady();
    if (!connected_) {
        if (!highLevelFlag_) {
            requestType_ = srQuit;
        }
        requestDoneFlag_ = false;
        TriggerRequestDone(0);
        return;
    }
    ExecAsync(srQuit, "QUIT", {221}, nullptr);
}

void TSmtpClientBase::Rset() {
    ExecAsync(srRset, "RSET", {250}, nullptr);
}

void TSmtpClientBase::Abort() {
    SetState(ssAbort);
    moreLines_ = false;
    socket_.OnDataSent = nullptr;
    socket_.CancelDnsLookup();
    socket_.Abort();
    connected_ = false;
    receiveLen_ = 0;
    if (!requestDoneFlag_) {
        TriggerRequestDone(net::kWsaEintr);
    }
    SetState(ssReady);
}

// ---- high-level requests ----

void TSmtpClientBase::Open() {
    highLevelAsync(srOpen, kFctConnect | kFctHelo);
}

void TSmtpClientBase::Mail() {
    highLevelAsync(srMail, kFctMailFrom | kFctRcptTo | kFctData);
}

void TSmtpClientBase::highLevelAsync(TSmtpRequest rq, uint16_t fctSet) {
    if ((fctSet & kFctConnect) != 0 && connected_) {
        throw SmtpException("SMTP component already connected", net::kWsaEisconn);
    }
    CheckReady();
    if ((fctSet & kFctRcptTo) != 0 && rcptName_.empty()) {
        // Refused here rather than after MAIL FROM, where it could only end the request.
        throw SmtpException("RcptName list is empty", net::kWsaEdestaddrreq);
    }
    requestType_ = rq;
    requestResult_ = 0;
    fctSet_ = fctSet;
    highLevelFlag_ = true;
    lastResponse_.clear();
    errorMessage_.clear();
    try {
        sequencer();
    } catch (...) {
        // The first step refused to start: nothing runs, and nothing is left half set.
        highLevelFlag_ = false;
        nextRequest_ = nullptr;
        fctSet_ = 0;
        requestDoneFlag_ = true;
        throw;
    }
}

void TSmtpClientBase::sequencer() {
    nextRequest_ = &TSmtpClientBase::sequencer;
    static constexpr struct {
        uint16_t bit;
        Step step;
    } kOrder[] = {
        {kFctConnect, &TSmtpClientBase::Connect}, {kFctHelo, &TSmtpClientBase::Helo},
        {kFctVrfy, &TSmtpClientBase::Vrfy},       {kFctMailFrom, &TSmtpClientBase::MailFrom},
        {kFctRcptTo, &TSmtpClientBase::RcptTo},   {kFctData, &TSmtpClientBase::Data},
        {kFctQuit, &TSmtpClientBase::Quit},
    };
    for (const auto &entry : kOrder) {
        if ((fctSet_ & entry.bit) != 0) {
            fctSet_ = static_cast<uint16_t>(fctSet_ & ~entry.bit);
            (this->*entry.step)();
            return;
        }
    }
    nextRequest_ = nullptr;
    requestDoneFlag_ = false;
    TriggerRequestDone(0);
}

void TSmtpClientBase::SimulateConnectionForParser() {
    connected_ = true;
    requestType_ = srMail;
    highLevelFlag_ = true;
    fctSet_ = kFctMailFrom | kFctRcptTo | kFctData;
    nextRequest_ = &TSmtpClientBase::sequencer;
    requestDoneFlag_ = false;
    receiveLen_ = 0;
    SetState(ssWaitingBanner);
}

} // namespace quillon::mail
