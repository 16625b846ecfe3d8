#include "pty_port.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace quillon::linesim {

PtyPort::~PtyPort() { close(); }

std::string PtyPort::open(const std::string &linkPath) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        return std::string("posix_openpt: ") + std::strerror(errno);
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        return std::string("grantpt/unlockpt: ") + std::strerror(errno);
    }
    const char *name = ptsname(master_);
    if (name == nullptr) {
        return std::string("ptsname: ") + std::strerror(errno);
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        return "open " + slavePath_ + ": " + std::strerror(errno);
    }
    termios t{};
    if (tcgetattr(slave_, &t) != 0) {
        return std::string("tcgetattr: ") + std::strerror(errno);
    }
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&t, B115200);
    if (tcsetattr(slave_, TCSANOW, &t) != 0) {
        return std::string("tcsetattr: ") + std::strerror(errno);
    }
    if (!linkPath.empty()) {
        ::unlink(linkPath.c_str());
        if (::symlink(slavePath_.c_str(), linkPath.c_str()) != 0) {
            return "symlink " + linkPath + ": " + std::strerror(errno);
        }
        link_ = linkPath;
    }
    return {};
}

void PtyPort::close() {
    if (!link_.empty()) {
        ::unlink(link_.c_str());
        link_.clear();
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
    out_.clear();
    outPos_ = outLen_ = 0;
}

void PtyPort::write(const uint8_t *data, size_t len) {
    if (master_ < 0 || len == 0) {
        return;
    }
    if (outPos_ > 0 && outPos_ > out_.size() / 2) {
        out_.erase(0, outPos_);
        outPos_ = 0;
    }
    out_.append(reinterpret_cast<const char *>(data), len);
    outLen_ += len;
    flush();
}

void PtyPort::flush() {
    while (outLen_ > 0 && master_ >= 0) {
        ssize_t n = ::write(master_, out_.data() + outPos_, outLen_);
        if (n > 0) {
            outPos_ += static_cast<size_t>(n);
            outLen_ -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; // EAGAIN: the slave's input buffer is full; retry on POLLOUT
        }
    }
    if (outLen_ == 0) {
        out_.clear();
        outPos_ = 0;
    }
}

int PtyPort::poll(int timeoutMs, uint8_t *buf, size_t cap) {
    if (master_ < 0) {
        return -1;
    }
    pollfd p{master_, static_cast<short>(POLLIN | (outLen_ > 0 ? POLLOUT : 0)), 0};
    int r = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (r < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (r == 0) {
        return 0;
    }
    if (p.revents & POLLOUT) {
        flush();
    }
    if (p.revents & POLLIN) {
        ssize_t n = ::read(master_, buf, cap);
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return 0;
        }
        return -1;
    }
    return 0;
}

} // namespace quillon::linesim
