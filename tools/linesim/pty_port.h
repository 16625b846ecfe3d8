#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon::linesim {

// The simulated modem's serial port: the master side of a pseudo-terminal.
//
// Owned by the simulator's single thread. It keeps a descriptor of the slave open and raw
// for its whole life: a pseudo-terminal whose last slave descriptor closes makes the master
// read EIO, and a fresh slave is cooked (ECHO, IXON), which would echo the modem's RING
// reports back to it and swallow the DC1/DC3 bytes of page data. Output is queued and
// written without blocking so that a receiver that stops reading never stalls the line.
class PtyPort {
  public:
    PtyPort() = default;
    ~PtyPort();
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    // Opens the pair; returns an error text, empty on success.
    [[nodiscard]] std::string open(const std::string &linkPath);
    // Closes both ends and removes the link: the modem vanishes.
    void close();
    bool isOpen() const { return master_ >= 0; }

    const std::string &slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Queues bytes for the receiver.
    void write(const uint8_t *data, size_t len);
    void write(const std::string &s) { write(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }
    bool hasPendingOutput() const { return outLen_ > 0; }
    size_t pendingOutput() const { return outLen_; }

    // Waits up to `timeoutMs` for input or output room; returns the bytes read into
    // `buf` (0 if none). Writes queued output when possible. Returns -1 on a fatal error.
    int poll(int timeoutMs, uint8_t *buf, size_t cap);

  private:
    void flush();

    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string link_;
    std::string out_; // queued output; [outPos_, outPos_ + outLen_) is pending
    size_t outPos_ = 0;
    size_t outLen_ = 0;
};

} // namespace quillon::linesim
