// The controller's forwarding run: connection, mail session, sent-mail log, hang-up, and
// the automatic retry of files left pending by a failed run.

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "server/telv_main.h"

namespace quillon::server {

void TForm1::StartForwarding() {
    if (forwarding_) {
        return; // a run is already under way; it takes every pending file
    }
    if (pendingFiles_.empty() || !rbToEmail.Checked) {
        return;
    }
    forwarding_ = true;
    retryTimer_.setEnabled(false);
    retryArmed_ = std::chrono::milliseconds(0);
    mode_ = cmForwarding;
    Panel10.Caption = kCapForwardingFax;
    changed();
    event("forwarding " + std::to_string(pendingFiles_.size()) + " file(s) over \"" +
          EntryNameComboBox.Text + "\"");
    TDialupSession::DialStart how = Dialup.DialConnection(EntryNameComboBox.Text, edUserName.Text,
                                                          edPassword.Text, window_->handle());
    if (how == TDialupSession::DialStart::AlreadyOpen) {
        // No connected notification comes for a connection that is already up.
        ConnectMailHost();
    }
}

void TForm1::wmRasNotify(uint32_t state, int32_t error) {
    if (state == RASCS_Connected) {
        if (forwarding_ && !mailRun_) {
            event("dial-up: connected");
            ConnectMailHost();
        }
    } else if (state == RASCS_Disconnected) {
        std::string text = DialErrorText(error);
        // A dial cancelled by a hang-up belongs to a run already given up.
        if (forwarding_ && !mailRun_ && error != kDialErrCancelled) {
            forwardingFailed("dial-up failed: " + text);
        }
    }
}

void TForm1::ConnectMailHost() {
    std::string host;
    std::string port;
    if (!ParseMailHost(edSMTP.Text, host, port)) {
        forwardingFailed("no usable mail host in \"" + edSMTP.Text + "\"");
        return;
    }
    if (SmtpClient.Connected() || SmtpClient.State() != mail::ssReady) {
        SmtpClient.Abort(); // a QUIT of the last run still on its way
    }
    SmtpClient.Host = host;
    SmtpClient.Port = port;
    // HELO first: hosts refuse MAIL on a session that has not greeted (503).
    SmtpClient.SignOn = edEMailAddress.Text;
    mailRun_ = true;
    SmtpClient.Open();
}

void TForm1::SendPendingMail() {
    // A file that is gone cannot be mailed: it is logged as an error and left out, and the
    // others still go.
    for (size_t i = 0; i < pendingFiles_.size();) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(ResolveLogName(pendingFiles_[i]), ec)) {
            ++i;
            continue;
        }
        event("error: pending file " + pendingFiles_[i] + " no longer exists");
        records::TSentMail mail;
        mail.dateTime = NowStamp();
        mail.isError = true;
        mail.errorMessage = "File not found";
        mail.status = "E";
        mail.dateTimeSent = mail.dateTime;
        mail.filename = pendingFiles_[i];
        Outgoing.AddSentMail(mail);
        pendingFiles_.erase(pendingFiles_.begin() + static_cast<std::ptrdiff_t>(i));
        if (i < faxSenders_.size()) {
            faxSenders_.erase(faxSenders_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        savePending();
    }
    if (pendingFiles_.empty()) {
        SmtpClient.Quit();
        mailRun_ = false;
        FinishForwarding();
        return;
    }
    const std::string &address = edEMailAddress.Text;
    SmtpClient.SetRcptName({address});
    SmtpClient.HdrFrom = address;
    SmtpClient.HdrTo = address;
    SmtpClient.SignOn = address;
    SmtpClient.FromName = address;
    SmtpClient.HdrSubject = kMailSubject;
    mailedFiles_ = pendingFiles_;
    mailedSenders_ = faxSenders_;
    mailedSenders_.resize(mailedFiles_.size());
    std::vector<std::string> paths;
    for (const std::string &f : mailedFiles_) {
        paths.push_back(ResolveLogName(f).string());
    }
    SmtpClient.SetEmailFiles(paths);
    senderIndex_ = 0;
    SmtpClient.Mail();
}

void TForm1::SmtpClientRequestDone(mail::TSmtpRequest RqType, uint16_t Error) {
    if (!mailRun_) {
        return; // the end of a QUIT, or of a session that was given up
    }
    if (RqType == mail::srOpen || RqType == mail::srConnect) {
        if (Error == 0) {
            SendPendingMail();
        } else {
            forwardingFailed("mail host " + SmtpClient.Host + ": " + std::to_string(Error) + " " +
                             SmtpClient.ErrorMessage());
        }
        return;
    }
    if (RqType != mail::srMail) {
        return;
    }
    mailRun_ = false;
    if (Error != 0) {
        forwardingFailed("mail refused: " + std::to_string(Error) + " " +
                         SmtpClient.ErrorMessage());
        return;
    }
    SmtpClient.Quit();
    for (const std::string &f : mailedFiles_) {
        LogSentFax(f);
    }
    // Files received while the message was on its way (none while the receiver is
    // stopped) stay pending.
    for (const std::string &f : mailedFiles_) {
        auto it = std::find(pendingFiles_.begin(), pendingFiles_.end(), f);
        if (it != pendingFiles_.end()) {
            size_t i = static_cast<size_t>(it - pendingFiles_.begin());
            pendingFiles_.erase(it);
            if (i < faxSenders_.size()) {
                faxSenders_.erase(faxSenders_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    senderIndex_ = 0;
    savePending();
    event("mailed " + std::to_string(mailedFiles_.size()) + " file(s) to " + edEMailAddress.Text);
    mailedFiles_.clear();
    mailedSenders_.clear();
    retryNext_ = std::chrono::milliseconds(0);
    FinishForwarding();
}

void TForm1::SmtpClientGetData(int LineNum, char *MsgLine, int MaxLen, bool &More) {
    std::string line;
    const int senders = static_cast<int>(mailedSenders_.size());
    if (LineNum >= 1 && LineNum <= senders) {
        // One line per attached file, in the order of the attachments.
        line = kBodySenderPrefix + mailedSenders_[static_cast<size_t>(LineNum - 1)];
        ++senderIndex_;
    } else if (LineNum < 1 || LineNum == senders + 1) {
        line = kBodyDatePrefix + NowStamp();
    } else {
        More = false;
        return;
    }
    size_t n = std::min(line.size(), static_cast<size_t>(std::max(MaxLen, 0)));
    std::memcpy(MsgLine, line.data(), n);
    MsgLine[n] = '\0';
}

void TForm1::SmtpClientProcessHeader(std::vector<std::string> &HdrLines) {
    // The comment header goes in as a line of its own, after the From line.
    for (size_t i = 0; i < HdrLines.size(); ++i) {
        if (HdrLines[i].size() >= 5 && strncasecmp(HdrLines[i].c_str(), "From:", 5) == 0) {
            HdrLines.insert(HdrLines.begin() + static_cast<std::ptrdiff_t>(i) + 1, kCommentsHeader);
            return;
        }
    }
}

void TForm1::SmtpClientDisplay(const std::string &Msg) {
    (void)Msg;
}

void TForm1::LogSentFax(const std::string &F) {
    records::TSentMail mail;
    mail.dateTime = NowStamp();
    mail.errorMessage.clear();
    mail.isError = false;
    mail.status = "S";
    mail.dateTimeSent = NowStamp();
    mail.filename = F;
    Outgoing.AddSentMail(mail);
}

void TForm1::FinishForwarding() {
    forwarding_ = false;
    mailRun_ = false;
    if (Dialup.Handle() != 0) {
        Dialup.HangUp();
    }
    Timer1.setEnabled(true);
    changed();
}

void TForm1::forwardingFailed(const std::string &why) {
    event("forwarding failed: " + why);
    mailRun_ = false;
    if (SmtpClient.Connected() || SmtpClient.State() != mail::ssReady) {
        SmtpClient.Abort();
    }
    mailedFiles_.clear();
    mailedSenders_.clear();
    FinishForwarding();
    armRetry();
}

void TForm1::armRetry() {
    if (pendingFiles_.empty()) {
        return;
    }
    if (retryNext_.count() == 0) {
        retryNext_ = ForwardRetryFirst;
    } else {
        retryNext_ = std::min(retryNext_ * 2, ForwardRetryMax);
    }
    retryArmed_ = retryNext_;
    retryTimer_.setInterval(static_cast<uint32_t>(std::max<int64_t>(retryNext_.count(), 1)));
    retryTimer_.setEnabled(true);
    event("forwarding: next attempt in " + std::to_string(retryNext_.count()) + " ms");
}

void TForm1::retryTimer() {
    retryTimer_.setEnabled(false);
    retryArmed_ = std::chrono::milliseconds(0);
    if (pendingFiles_.empty() || forwarding_ || !rbToEmail.Checked) {
        return;
    }
    auto again = [this] {
        // Not now: look again in a second.
        retryArmed_ = std::chrono::milliseconds(kRestartIntervalMs);
        retryTimer_.setInterval(kRestartIntervalMs);
        retryTimer_.setEnabled(true);
    };
    if (!captureWanted_) {
        again();
        return;
    }
    if (ReceiveFax1.Session().Running()) {
        if (ReceiveFax1.SessionProgress() == fax::progWaitingCall) {
            // Between calls: stop the receiver; its end starts the forwarding run.
            event("forwarding: trying again");
            ReceiveFax1.AbortSession();
        } else {
            again(); // never in the middle of a call
        }
        return;
    }
    if (Timer1.enabled()) {
        again(); // capture is about to restart; wait until it waits for a call
        return;
    }
    StartForwarding();
}

} // namespace quillon::server
