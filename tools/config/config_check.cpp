#include "config_check.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace quillon::config {

namespace {

// A modem answers a query within a second or two; a mail host within RFC 5321's
// minutes in theory, but a check that waits that long helps nobody.
constexpr int kModemReplyMs = 5000;
constexpr int kMailReplyMs = 30000;

// Reads until a line equal to one of `finals` (or starting with it) arrives or the time is up.
bool readModemReply(int fd, std::vector<std::string> &lines) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kModemReplyMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (::poll(&p, 1, left > 0 ? left : 0) <= 0) {
            break;
        }
        char c = 0;
        ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) {
            return false;
        }
        if (c == '\r' || c == '\n') {
            if (!line.empty()) {
                lines.push_back(line);
                if (line == "OK" || line == "ERROR" || line.rfind("+CME ERROR", 0) == 0) {
                    return line == "OK";
                }
                line.clear();
            }
        } else {
            line.push_back(c);
        }
    }
    return false;
}

bool modemCommand(int fd, const std::string &cmd, std::string &answer) {
    std::string text = cmd + "\r";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        return false;
    }
    std::vector<std::string> lines;
    bool ok = readModemReply(fd, lines);
    answer.clear();
    for (const std::string &l : lines) {
        if (l != cmd && l != "OK") {
            answer += (answer.empty() ? "" : " ") + l;
        }
    }
    return ok;
}

class Connection {
  public:
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool send(const std::string &line, std::ostream &out) {
        out << "    > " << line << "\n";
        std::string text = line + "\r\n";
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }
    // One reply, possibly of several lines; its code, or 0 when none came.
    int reply(std::ostream &out) {
        while (true) {
            size_t nl = buf_.find("\r\n");
            if (nl == std::string::npos) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, kMailReplyMs) <= 0) {
                    out << "    (no reply)\n";
                    return 0;
                }
                char chunk[512];
                ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
                if (n <= 0) {
                    out << "    (connection closed)\n";
                    return 0;
                }
                buf_.append(chunk, static_cast<size_t>(n));
                continue;
            }
            std::string line = buf_.substr(0, nl);
            buf_.erase(0, nl + 2);
            out << "    < " << line << "\n";
            if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0]))) {
                return 0;
            }
            if (line.size() == 3 || line[3] == ' ') {
                return std::stoi(line.substr(0, 3));
            }
        }
    }

  private:
    int fd_;
    std::string buf_;
};

int connectTo(const std::string &host, const std::string &port, std::string &why) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res); rc != 0) {
        why = std::string("cannot look up ") + host + ": " + ::gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = res; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            why = std::string("cannot connect: ") + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(res);
    return fd;
}

} // namespace

bool CheckModem(const std::string &device, std::ostream &out) {
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        out << "  modem: cannot open " << device << ": " << std::strerror(errno) << "\n";
        return false;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B19200);
        (void)::tcsetattr(fd, TCSANOW, &tio);
    }
    std::string answer;
    bool ok = modemCommand(fd, "AT", answer) && modemCommand(fd, "AT+FCLASS=?", answer);
    if (!ok) {
        out << "  modem: " << device << " does not answer AT+FCLASS=? with OK"
            << (answer.empty() ? "" : " (" + answer + ")") << "\n";
        ::close(fd);
        return false;
    }
    out << "  modem: " << device << " offers fax classes " << answer << "\n";
    std::string classes = answer;
    struct Query {
        const char *cls, *select, *rates, *label;
    };
    for (const Query &q : {Query{"1", "AT+FCLASS=1", "AT+FRM=?", "Class 1 receive rates"},
                           Query{"2", "AT+FCLASS=2", "AT+FCC=?", "Class 2 capabilities"},
                           Query{"2.0", "AT+FCLASS=2.0", "AT+FCC=?", "Class 2.0 capabilities"}}) {
        bool offered = false;
        size_t start = 0;
        while (start <= classes.size()) {
            size_t end = classes.find_first_of(",() ", start);
            std::string item = classes.substr(start, end == std::string::npos ? end : end - start);
            offered = offered || item == q.cls;
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
        if (!offered) {
            continue;
        }
        std::string rates;
        if (modemCommand(fd, q.select, answer) && modemCommand(fd, q.rates, rates)) {
            out << "  modem: " << q.label << ": " << rates << "\n";
        } else {
            out << "  modem: " << q.label << ": not reported\n";
        }
    }
    (void)modemCommand(fd, "AT+FCLASS=0", answer);
    ::close(fd);
    return true;
}

bool CheckMailHost(const std::string &host, const std::string &port, const std::string &from,
                   const std::string &to, bool sendTest, std::ostream &out) {
    std::string why;
    int fd = connectTo(host, port, why);
    if (fd < 0) {
        out << "  mail host: " << host << ":" << port << ": " << why << "\n";
        return false;
    }
    Connection c(fd);
    out << "  mail host: connected to " << host << ":" << port << "\n";
    char name[256] = "localhost";
    (void)::gethostname(name, sizeof name - 1);
    auto step = [&](const std::string &line, int want) {
        return c.send(line, out) && c.reply(out) / 100 == want;
    };
    if (c.reply(out) / 100 != 2) {
        out << "  mail host: no greeting\n";
        return false;
    }
    if (!step(std::string("EHLO ") + name, 2) && !step(std::string("HELO ") + name, 2)) {
        out << "  mail host: refuses EHLO and HELO\n";
        return false;
    }
    bool accepted = step("MAIL FROM:<" + from + ">", 2) && step("RCPT TO:<" + to + ">", 2);
    bool sent = false;
    if (accepted && sendTest && step("DATA", 3)) {
        sent = c.send("From: " + from, out) && c.send("To: " + to, out) &&
               c.send("Subject: {Quillon} test message", out) && c.send("", out) &&
               c.send("This is a test message from quillon-config.", out) && step(".", 2);
    } else {
        (void)step("RSET", 2);
    }
    (void)step("QUIT", 2);
    if (!accepted) {
        out << "  mail host: would NOT accept a message from <" << from << "> to <" << to << ">\n";
        return false;
    }
    if (sendTest) {
        out << "  mail host: " << (sent ? "took the test message" : "refused the test message")
            << "\n";
        return sent;
    }
    out << "  mail host: would accept a message from <" << from << "> to <" << to << ">\n";
    return true;
}

} // namespace quillon::config
