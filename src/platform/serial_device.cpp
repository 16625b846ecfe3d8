#include "platform/serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace quillon::platform {

namespace {

struct SpeedEntry {
    uint32_t baud;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
};

bool speedCode(uint32_t baud, speed_t &code) {
    for (const auto &e : kSpeeds) {
        if (e.baud == baud) {
            code = e.code;
            return true;
        }
    }
    return false;
}

uint32_t speedBaud(speed_t code) {
    for (const auto &e : kSpeeds) {
        if (e.code == code) {
            return e.baud;
        }
    }
    return 0;
}

// Errors by which a terminal without modem lines refuses the modem-signal ioctls.
bool noModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOSYS;
}

} // namespace

WakeFd::WakeFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeFd::~WakeFd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void WakeFd::signal() const {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

bool WakeFd::consume() const {
    uint64_t count = 0;
    return ::read(fd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count) && count > 0;
}

int WaitForWake(std::initializer_list<const WakeFd *> wakes, int timeoutMs) {
    std::vector<pollfd> fds;
    for (const WakeFd *w : wakes) {
        fds.push_back({w->fd(), POLLIN, 0});
    }
    int n;
    do {
        n = ::poll(fds.data(), fds.size(), timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return -1;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents != 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string PlatformDescription() {
    utsname u{};
    if (::uname(&u) != 0) {
        return "Unknown";
    }
    int major = 0, minor = 0;
    std::sscanf(u.release, "%d.%d", &major, &minor);
    return std::string(u.sysname) + " " + std::to_string(major) + "." + std::to_string(minor) +
           " " + u.version;
}

SerialDevice::~SerialDevice() {
    close();
}

int SerialDevice::open(const std::string &path) {
    if (fd_ >= 0) {
        return EBUSY;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    if (::isatty(fd) == 0) {
        int err = errno == 0 ? ENOTTY : errno;
        ::close(fd);
        return err;
    }
    // No sharing: a second open of the same device, by this process or another, is refused.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return err;
    }
    return takeOver(fd);
}

int SerialDevice::adopt(int fd) {
    if (fd_ >= 0) {
        return EBUSY;
    }
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return errno;
    }
    int flags = ::fcntl(copy, F_GETFL);
    if (flags < 0 || ::fcntl(copy, F_SETFL, flags | O_NONBLOCK) < 0) {
        int err = errno;
        ::close(copy);
        return err;
    }
    return takeOver(copy);
}

// Makes `fd` this device's descriptor and prepares it; a failure closes it again.
int SerialDevice::takeOver(int fd) {
    std::unique_lock alone(use_);
    if (fd_.load() >= 0) {
        ::close(fd);
        return EBUSY; // another thread opened it meanwhile
    }
    fd_ = fd;
    int err = prepareLocked();
    if (err != 0) {
        ::close(fd);
        fd_ = -1;
    }
    return err;
}

// Raw mode, keeping speed, framing and handshake; learns whether the device has modem lines.
int SerialDevice::prepareLocked() {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
        return errno;
    }
    // Raw, eight-bit clean, and no XON/XOFF until flow control is asked for: the kernel's
    // default IXON would otherwise swallow DC3/DC1 bytes of binary fax data.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXANY | IXON | IXOFF | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
        return errno;
    }
    int bits = 0;
    modemLines_ = ::ioctl(fd_, TIOCMGET, &bits) == 0;
    std::lock_guard shadow(shadowLock_);
    shadow_ = SerialBlock{};
    SerialBlock current;
    [[maybe_unused]] int err = getBlockLocked(current);
    shadow_ = current;
    return 0;
}

int SerialDevice::close() {
    std::unique_lock alone(use_); // waits for calls in progress
    int fd = fd_.exchange(-1);
    if (fd < 0) {
        return 0;
    }
    return ::close(fd) == 0 ? 0 : errno;
}

int SerialDevice::getBlock(SerialBlock &block) const {
    std::shared_lock use(use_);
    std::lock_guard shadow(shadowLock_);
    return getBlockLocked(block);
}

int SerialDevice::getBlockLocked(SerialBlock &block) const {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
        return errno;
    }
    block = shadow_;
    uint32_t baud = speedBaud(::cfgetospeed(&t));
    block.baud = baud != 0 ? baud : shadow_.baud;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        block.byteSize = 5;
        break;
    case CS6:
        block.byteSize = 6;
        break;
    case CS7:
        block.byteSize = 7;
        break;
    default:
        block.byteSize = 8;
        break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        block.parity = 0;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        block.parity = (t.c_cflag & PARODD) != 0 ? 3 : 4;
    } else {
        block.parity = (t.c_cflag & PARODD) != 0 ? 1 : 2;
    }
    if ((t.c_cflag & CSTOPB) == 0) {
        block.stopBits = 0;
    } else {
        block.stopBits = block.byteSize == 5 ? 1 : 2;
    }
    bool crtscts = (t.c_cflag & CRTSCTS) != 0;
    if (!crtscts) {
        block.outxCtsFlow = false;
        if (block.rtsControl == 2) {
            block.rtsControl = 1;
        }
    } else if (!block.outxCtsFlow && block.rtsControl != 2) {
        // Set by someone else (a handed-over line): hardware handshake both ways.
        block.outxCtsFlow = true;
        block.rtsControl = 2;
    }
    block.outX = (t.c_iflag & IXON) != 0;
    block.inX = (t.c_iflag & IXOFF) != 0;
    block.xonChar = t.c_cc[VSTART];
    block.xoffChar = t.c_cc[VSTOP];
    return 0;
}

int SerialDevice::setBlock(const SerialBlock &block) {
    std::shared_lock use(use_);
    std::lock_guard shadow(shadowLock_);
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
        return errno;
    }
    speed_t code;
    if (!speedCode(block.baud, code)) {
        return EINVAL;
    }
    ::cfsetispeed(&t, code);
    ::cfsetospeed(&t, code);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (block.byteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    switch (block.parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (block.stopBits != 0) {
        t.c_cflag |= CSTOPB; // 1.5 stop bits exist only with 5 data bits, where CSTOPB means 1.5
    }
    if (block.outxCtsFlow || block.rtsControl == 2) {
        t.c_cflag |= CRTSCTS;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    if (block.outX) {
        t.c_iflag |= IXON;
    }
    if (block.inX) {
        t.c_iflag |= IXOFF;
    }
    t.c_cc[VSTART] = static_cast<cc_t>(block.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(block.xoffChar);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
        return errno;
    }
    if (modemLines_) {
        // RS-485 direction control by the driver where it has it; ignored elsewhere.
        serial_rs485 rs{};
        if (::ioctl(fd_, TIOCGRS485, &rs) == 0) {
            bool want = block.rtsControl == 3;
            if (((rs.flags & SER_RS485_ENABLED) != 0) != want) {
                rs.flags = want ? (rs.flags | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND)
                                : (rs.flags & ~static_cast<uint32_t>(SER_RS485_ENABLED));
                [[maybe_unused]] int rc = ::ioctl(fd_, TIOCSRS485, &rs);
            }
        }
    }
    shadow_ = block;
    return 0;
}

int SerialDevice::getModemSignals(uint8_t &signals) const {
    if (!modemLines_) {
        signals = kSignalCts | kSignalDsr | kSignalDcd;
        return 0;
    }
    std::shared_lock use(use_);
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0) {
        if (noModemLines(errno)) {
            signals = kSignalCts | kSignalDsr | kSignalDcd;
            return 0;
        }
        return errno;
    }
    signals = 0;
    if (bits & TIOCM_CTS) {
        signals |= kSignalCts;
    }
    if (bits & TIOCM_DSR) {
        signals |= kSignalDsr;
    }
    if (bits & TIOCM_RNG) {
        signals |= kSignalRing;
    }
    if (bits & TIOCM_CD) {
        signals |= kSignalDcd;
    }
    return 0;
}

namespace {
int setSignal(int fd, bool modemLines, int bit, bool on) {
    if (!modemLines) {
        return 0;
    }
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
        return noModemLines(errno) ? 0 : errno;
    }
    return 0;
}
} // namespace

int SerialDevice::setDtr(bool on) {
    std::shared_lock use(use_);
    return setSignal(fd_, modemLines_, TIOCM_DTR, on);
}
int SerialDevice::setRts(bool on) {
    std::shared_lock use(use_);
    return setSignal(fd_, modemLines_, TIOCM_RTS, on);
}

bool SerialDevice::counters(SerialCounters &out) const {
    if (!modemLines_) {
        return false;
    }
    std::shared_lock use(use_);
    serial_icounter_struct ic{};
    if (::ioctl(fd_, TIOCGICOUNT, &ic) != 0) {
        return false;
    }
    out.cts = ic.cts;
    out.dsr = ic.dsr;
    out.rng = ic.rng;
    out.dcd = ic.dcd;
    out.frame = ic.frame;
    out.overrun = ic.overrun;
    out.parity = ic.parity;
    out.brk = ic.brk;
    out.bufOverrun = ic.buf_overrun;
    return true;
}

int SerialDevice::queueCount(unsigned long request, uint32_t &count) const {
    std::shared_lock use(use_);
    int n = 0;
    if (::ioctl(fd_, request, &n) != 0) {
        count = 0;
        return errno;
    }
    count = n > 0 ? static_cast<uint32_t>(n) : 0;
    return 0;
}

int SerialDevice::bytesWaiting(uint32_t &count) const {
    return queueCount(FIONREAD, count);
}

int SerialDevice::bytesQueuedOut(uint32_t &count) const {
    return queueCount(TIOCOUTQ, count);
}

ssize_t SerialDevice::read(void *data, size_t len) {
    return read(data, len, nullptr, 0);
}

ssize_t SerialDevice::read(void *first, size_t firstLen, void *second, size_t secondLen) {
    iovec pieces[2] = {{first, firstLen}, {second, secondLen}};
    std::shared_lock use(use_);
    ssize_t n;
    do {
        n = ::readv(fd_, pieces, secondLen == 0 ? 1 : 2);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        return n;
    }
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -errno;
}

ssize_t SerialDevice::write(const void *data, size_t len) {
    std::shared_lock use(use_);
    ssize_t n;
    do {
        n = ::write(fd_, data, len);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        return n;
    }
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -errno;
}

int SerialDevice::purgeInput() {
    std::shared_lock use(use_);
    return ::tcflush(fd_, TCIFLUSH) == 0 ? 0 : errno;
}
int SerialDevice::purgeOutput() {
    std::shared_lock use(use_);
    return ::tcflush(fd_, TCOFLUSH) == 0 ? 0 : errno;
}

uint32_t SerialDevice::wait(uint32_t events, int timeoutMs,
                            std::initializer_list<const WakeFd *> wakes) const {
    std::vector<pollfd> fds;
    short want = 0;
    if (events & kWaitReadable) {
        want |= POLLIN;
    }
    if (events & kWaitWritable) {
        want |= POLLOUT;
    }
    std::shared_lock use(use_);
    if (fd_.load() < 0) {
        return kWaitHangUp; // closed: nothing will come
    }
    fds.push_back({fd_, want, 0});
    for (const WakeFd *w : wakes) {
        fds.push_back({w->fd(), POLLIN, 0});
    }
    int n;
    do {
        n = ::poll(fds.data(), fds.size(), timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return kWaitTimeout;
    }
    for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents != 0) {
            return kWaitWoken | static_cast<uint32_t>((i - 1) << 8);
        }
    }
    uint32_t result = 0;
    short r = fds[0].revents;
    if (r & POLLIN) {
        result |= kWaitReadable;
    }
    if (r & POLLOUT) {
        result |= kWaitWritable;
    }
    if (r & (POLLHUP | POLLERR | POLLNVAL)) {
        result |= kWaitHangUp;
    }
    return result;
}

} // namespace quillon::platform
