#pragma once

// A real pseudo-terminal pair for serial tests: the dispatcher opens the slave side (by path
// or as a handed-over descriptor), the test plays the peer on the master side.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillon::testing {

class PtyPair {
  public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error("posix_openpt failed");
        }
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) {
            throw std::runtime_error("ptsname failed");
        }
        slavePath_ = name;
        // The master side raw too, so that nothing is echoed or translated.
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    [[nodiscard]] const std::string &slavePath() const { return slavePath_; }
    [[nodiscard]] int master() const { return master_; }
    void closeMaster() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    void write(const void *data, size_t len) const {
        const auto *p = static_cast<const uint8_t *>(data);
        while (len > 0) {
            ssize_t n = ::write(master_, p, len);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    pollfd pf{master_, POLLOUT, 0};
                    ::poll(&pf, 1, 100);
                    continue;
                }
                throw std::runtime_error("pty write failed");
            }
            p += n;
            len -= static_cast<size_t>(n);
        }
    }
    void write(const std::string &s) const { write(s.data(), s.size()); }

    // Reads what arrives within `timeout`, up to `max` bytes (stops early once `max` came).
    std::vector<uint8_t> read(size_t max, std::chrono::milliseconds timeout) const {
        std::vector<uint8_t> out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < max) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd pf{master_, POLLIN, 0};
            if (::poll(&pf, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            uint8_t buf[65536];
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, max - out.size()));
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

  private:
    int master_ = -1;
    std::string slavePath_;
};

// Waits (polling) until `done` holds or the time-out passes.
template <class F> bool waitFor(F done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        ::usleep(1000);
    }
    return true;
}

} // namespace quillon::testing
