#include "platform/line_device.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace quillon::platform {

int OpenLineDevice(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    auto fail = [fd](int err) {
        ::close(fd);
        return -err;
    };
    if (::isatty(fd) == 0) {
        return fail(errno == 0 || errno == EINVAL ? ENOTTY : errno);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        return fail(errno);
    }
    ::cfmakeraw(&t);
    // The modem is driven with hardware flow control: the comm port reads it back as
    // RTS handshake and CTS output flow.
    t.c_cflag |= CLOCAL | CREAD | CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        return fail(errno);
    }
    return fd;
}

void CloseLineDevice(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

int CurrentProcessId() {
    return static_cast<int>(::getpid());
}

bool ProcessRunning(int pid) {
    if (pid <= 0) {
        return false;
    }
    // EPERM: it runs, under another user.
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace quillon::platform
