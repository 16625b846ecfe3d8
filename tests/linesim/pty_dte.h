#pragma once

// A minimal scripted receiver (DTE) on the simulator's pty slave, for dialogue tests: it
// sends command lines and reads result lines and DLE-framed page data, with time-outs.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace quillon::linesim::testing {

class PtyDte {
  public:
    ~PtyDte() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool open(const std::string &path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            return false;
        }
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    void send(const std::string &s) { (void)::write(fd_, s.data(), s.size()); }
    void command(const std::string &cmd) { send(cmd + "\r"); }

    // The next non-empty line (CR/LF stripped), or nullopt on time-out or a dead port.
    std::optional<std::string> line(int timeoutMs) {
        for (;;) {
            auto cr = buf_.find_first_of("\r\n");
            while (cr == 0) {
                buf_.erase(0, 1);
                cr = buf_.find_first_of("\r\n");
            }
            if (cr != std::string::npos) {
                std::string l = buf_.substr(0, cr);
                buf_.erase(0, cr);
                // Drop this line's CR LF, so that page data after CONNECT starts clean.
                if (buf_.compare(0, 2, "\r\n") == 0) {
                    buf_.erase(0, 2);
                } else if (!buf_.empty()) {
                    buf_.erase(0, 1);
                }
                return l;
            }
            if (!fill(timeoutMs)) {
                return std::nullopt;
            }
        }
    }

    // Reads lines until one equals `want` (other lines are collected in `seen`).
    bool expect(const std::string &want, int timeoutMs, std::vector<std::string> *seen = nullptr) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            end - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0) {
                return false;
            }
            auto l = line(left);
            if (!l) {
                return false;
            }
            if (*l == want) {
                return true;
            }
            if (seen) {
                seen->push_back(*l);
            }
        }
    }

    // Page data up to DLE ETX, with DLE DLE undone.
    bool pageData(std::vector<uint8_t> &out, int timeoutMs) {
        out.clear();
        bool dle = false;
        size_t i = 0;
        for (;;) {
            for (; i < buf_.size(); ++i) {
                const auto b = static_cast<uint8_t>(buf_[i]);
                if (dle) {
                    dle = false;
                    if (b == 0x03) {
                        buf_.erase(0, i + 1);
                        return true;
                    }
                    if (b == 0x10) {
                        out.push_back(0x10);
                    }
                    continue; // other DLE pairs carry no data
                }
                if (b == 0x10) {
                    dle = true;
                } else {
                    out.push_back(b);
                }
            }
            buf_.clear();
            i = 0;
            if (!fill(timeoutMs)) {
                return false;
            }
        }
    }

    // True once reading fails (the modem closed the port) within `timeoutMs`.
    bool portGone(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char tmp[256];
                ssize_t n = ::read(fd_, tmp, sizeof tmp);
                if (n == 0 || (n < 0 && errno != EAGAIN)) {
                    return true;
                }
                if (p.revents & (POLLHUP | POLLERR)) {
                    return true;
                }
            }
        }
        return false;
    }

  private:
    bool fill(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) {
            return false;
        }
        char tmp[4096];
        ssize_t n = ::read(fd_, tmp, sizeof tmp);
        if (n <= 0) {
            return false;
        }
        buf_.append(tmp, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buf_;
};

} // namespace quillon::linesim::testing
