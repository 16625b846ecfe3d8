// DATA of the SMTP client: the header, the body lines (dot-stuffed, long ones wrapped) and
// the final ".", sent in batches as the socket takes them.

#include <algorithm>
#include <cstring>

#include "mail/smtp_client.h"
#include "mail/smtp_client_p.h"
#include "mail/text_p.h"

namespace quillon::mail {

namespace net = platform::net;

namespace {

// The data pump hands the socket this much at a time; the wire bytes are the same as
// line-by-line sending, with far fewer system calls and loop round trips.
constexpr size_t kDataBatch = 64 * 1024;
// RFC 5321 4.5.3.1.6: a text line is at most 998 characters before its CR LF.
constexpr size_t kMaxTextLine = 998;

} // namespace

// ---- DATA and the message ----

void TSmtpClientBase::Data() {
    CheckReady();
    if (!connected_) {
        throw SmtpException("SMTP component not connected", net::kWsaEnotconn);
    }
    lineNum_ = 0;
    moreLines_ = true;
    itemCount_ = -1;
    PrepareMessage();
    hdrLines_.clear();
    hdrLines_.push_back("From: " + SingleLine(HdrFrom));
    hdrLines_.push_back("To: " + SingleLine(HdrTo));
    hdrLines_.push_back("Subject: " + SingleLine(HdrSubject));
    hdrLines_.push_back("Mime-Version: 1.0");
    hdrLines_.push_back("Content-Type: text/plain; charset=\"" + SingleLine(CharSet) + "\"");
    hdrLines_.push_back("Date: " + detail::DateHeaderValue(platform::LocalTimeNow()));
    TriggerProcessHeader(hdrLines_);
    for (std::string &l : hdrLines_) {
        l = SingleLine(l);
    }
    hdrLines_.emplace_back();
    ExecAsync(srData, "DATA", {354}, &TSmtpClientBase::dataStart);
}

void TSmtpClientBase::dataStart() {
    if (requestResult_ != 0) {
        TriggerRequestDone(static_cast<uint16_t>(requestResult_)); // DATA refused: no message
        return;
    }
    state_ = ssInternalReady;
    dataNext();
}

void TSmtpClientBase::dataSent() {
    state_ = ssInternalReady;
    dataNext();
}

void TSmtpClientBase::appendBodyLine(const std::string &line) {
    // A line longer than the host must accept is wrapped, never cut: every character
    // arrives, some on a line of their own.
    size_t at = 0;
    do {
        size_t room = kMaxTextLine;
        std::string piece;
        if (at < line.size() && line[at] == '.') {
            piece = "."; // RFC 5321 4.5.2
            --room;
        }
        size_t n = std::min(room, line.size() - at);
        piece.append(line, at, n);
        at += n;
        TriggerDisplay("> " + piece);
        pending_ += piece;
        pending_ += "\r\n";
    } while (at < line.size());
}

void TSmtpClientBase::dataNext() {
    if (!connected_ || socket_.State() != wsConnected) {
        socket_.OnDataSent = nullptr;
        return;
    }
    armTimeout();
    pending_.clear();
    auto alive = alive_;
    char area[kLineAreaSize + 2];
    while (pending_.size() < kDataBatch) {
        ++itemCount_;
        if (static_cast<size_t>(itemCount_) < hdrLines_.size()) {
            const std::string &h = hdrLines_[static_cast<size_t>(itemCount_)];
            size_t n = std::min(h.size(), static_cast<size_t>(kLineAreaSize - 1));
            std::memcpy(area, h.data(), n);
            area[n] = '\0';
            TriggerHeaderLine(area, kLineAreaSize);
            if (!*alive) {
                return;
            }
            area[kLineAreaSize - 1] = '\0';
            std::string line = detail::SafeHeaderLine(area);
            if (!line.empty() && line[0] == '.') {
                line.insert(line.begin(), '.');
            }
            pending_ += line;
            pending_ += "\r\n";
            continue;
        }
        if (moreLines_) {
            ++lineNum_;
            area[0] = '\0';
            try {
                TriggerGetData(lineNum_, area, kLineAreaSize - 1, moreLines_);
            } catch (const std::exception &e) {
                AbandonMessage(net::kWsaEconnaborted, e.what());
                return;
            }
            if (!*alive) {
                return;
            }
            if (moreLines_) {
                area[kLineAreaSize - 1] = '\0';
                appendBodyLine(SingleLine(area));
                continue;
            }
        }
        // The end of the message: what is gathered, then the final ".".
        socket_.OnDataSent = nullptr;
        if (!pending_.empty()) {
            socket_.SendStr(pending_);
            pending_.clear();
        }
        if (!*alive || !connected_) {
            return;
        }
        ExecAsync(srData, ".", {250}, nullptr);
        return;
    }
    socket_.OnDataSent = [this](TCustomAsyncSocket *, uint16_t) { dataSent(); };
    socket_.SendStr(pending_);
    pending_.clear();
}

} // namespace quillon::mail
