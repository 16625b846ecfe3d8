// quillon-sendmail: sends one message through the SMTP client (Open, Mail, Quit), printing
// the conversation to stderr, so that users can check their mail settings. Exits 0 only
// when the host accepted the message.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mail/smtp_client.h"
#include "platform/event_loop.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: quillon-sendmail --host H [--port P] --from ADDR --to ADDR\n"
                 "                        [--subject S] [--helo DOMAIN] [--timeout SECONDS]\n"
                 "                        [--line TEXT]... [FILE]...\n");
}

constexpr unsigned long kMaxTimeoutSec = 86400; // a day; also keeps the milliseconds in 32 bits

// Reads a whole number of seconds from 1 to kMaxTimeoutSec, digits only.
bool parseTimeout(const std::string &text, unsigned long &out) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    out = std::stoul(text);
    return out >= 1 && out <= kMaxTimeoutSec;
}

} // namespace

int main(int argc, char **argv) {
    using namespace quillon;
    std::string host, port = "smtp", from, to, subject, helo;
    std::vector<std::string> lines, files;
    unsigned long timeoutSec = 120;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quillon-sendmail: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        bool ok = true;
        if (a == "--host") {
            ok = value(host);
        } else if (a == "--port") {
            ok = value(port);
        } else if (a == "--from") {
            ok = value(from);
        } else if (a == "--to") {
            ok = value(to);
        } else if (a == "--subject") {
            ok = value(subject);
        } else if (a == "--helo") {
            ok = value(helo);
        } else if (a == "--line") {
            ok = value(v);
            lines.push_back(v);
        } else if (a == "--timeout") {
            ok = value(v);
            if (ok && !parseTimeout(v, timeoutSec)) {
                std::fprintf(stderr,
                             "quillon-sendmail: --timeout '%s' is not a number of seconds from 1 "
                             "to %lu\n",
                             v.c_str(), kMaxTimeoutSec);
                return 1;
            }
        } else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "quillon-sendmail: unknown option %s\n", a.c_str());
            usage();
            return 1;
        } else {
            files.push_back(a);
        }
        if (!ok) {
            return 1;
        }
    }
    if (host.empty() || from.empty() || to.empty()) {
        usage();
        return 1;
    }

    platform::EventLoop &loop = platform::EventLoop::current();
    mail::TSmtpMimeClient client(loop);
    client.Host = host;
    client.Port = port;
    client.SignOn = helo;
    client.FromName = from;
    client.HdrFrom = from;
    client.HdrTo = to;
    client.HdrSubject = subject;
    client.Timeout = static_cast<uint32_t>(timeoutSec * 1000);
    client.SetRcptName({to});
    try {
        client.SetEmailFiles(files);
    } catch (const mail::SmtpException &e) {
        std::fprintf(stderr, "quillon-sendmail: %s\n", e.what());
        return 1;
    }
    client.OnDisplay = [](mail::TSmtpClientBase *, const std::string &msg) {
        std::fprintf(stderr, "%s\n", msg.c_str());
    };
    // A line longer than the client's line area goes out as several lines, never cut.
    size_t lineIndex = 0;
    size_t lineOffset = 0;
    client.OnGetData = [&](mail::TSmtpClientBase *, int, char *msgLine, int maxLen, bool &more) {
        if (lineIndex >= lines.size()) {
            more = false;
            return;
        }
        const std::string &l = lines[lineIndex];
        size_t n = std::min(l.size() - lineOffset, static_cast<size_t>(std::max(maxLen, 1)));
        std::memcpy(msgLine, l.data() + lineOffset, n);
        msgLine[n] = '\0';
        lineOffset += n;
        if (lineOffset >= l.size()) {
            ++lineIndex;
            lineOffset = 0;
        }
    };
    int mailError = -1;
    client.OnRequestDone = [&](mail::TSmtpClientBase *, mail::TSmtpRequest rq, uint16_t error) {
        try {
            if (rq == mail::srOpen) {
                if (error != 0) {
                    mailError = error;
                    loop.quit(1);
                    return;
                }
                client.Mail();
            } else if (rq == mail::srMail) {
                mailError = error;
                client.Quit();
            } else {
                loop.quit(mailError == 0 ? 0 : 1);
            }
        } catch (const std::exception &e) {
            std::fprintf(stderr, "quillon-sendmail: %s\n", e.what());
            loop.quit(1);
        }
    };
    try {
        client.Open();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "quillon-sendmail: %s\n", e.what());
        return 1;
    }
    int rc = loop.run();
    if (mailError != 0) {
        std::fprintf(stderr, "quillon-sendmail: not sent (error %d): %s\n", mailError,
                     client.ErrorMessage().c_str());
        return 1;
    }
    std::fprintf(stderr, "quillon-sendmail: message accepted\n");
    return rc == 0 ? 0 : 1;
}
