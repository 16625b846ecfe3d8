#pragma once

// A serial device on a POSIX terminal descriptor: the platform layer under the comm
// dispatcher. It maps the serial device block (speed, framing, handshake, XON/XOFF) onto
// termios, reads and sets the modem signals with TIOCMGET/TIOCMBIS/TIOCMBIC, counts line
// errors with TIOCGICOUNT, and reads and writes without blocking. On a pseudo-terminal,
// where the modem-signal ioctls fail with ENOTTY, the signals read as CTS, DSR and DCD on
// and setting DTR or RTS does nothing.
//
// Block fields that termios cannot express (DTR handshake, DSR output flow, the XON/XOFF
// limits, RTS toggle mode) are kept in a shadow copy so that a read-back returns what was
// written. All results are 0 or a positive errno value; nothing throws.
//
// Calls may come from several threads, and the close from any of them. Each call holds the
// descriptor for its duration and the close waits for the calls in progress, so that no call
// ever reaches a descriptor number after it was closed (and perhaps reused by another open).
// Once the device is closed, a call that needs the descriptor fails with EBADF and a wait
// reports a hang-up. A wait in progress delays a close too: wake it first.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <sys/types.h>

namespace quillon::platform {

// The serial device block, in the platform's terms.
struct SerialBlock {
    uint32_t baud = 19200;
    uint8_t dtrControl = 1; // 0 disabled, 1 enabled, 2 handshake
    uint8_t rtsControl = 1; // 0 disabled, 1 enabled, 2 handshake, 3 toggle (RS-485)
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    bool outX = false; // transmit obeys XOFF/XON
    bool inX = false;  // receive side sends XOFF/XON
    uint16_t xonLim = 0;
    uint16_t xoffLim = 0;
    uint8_t byteSize = 8;
    uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0; // 0 one, 1 one and a half, 2 two
    uint8_t xonChar = 17;
    uint8_t xoffChar = 19;
    bool operator==(const SerialBlock &) const = default;
};

// Modem signal bits as the dispatcher keeps them (high nibble of its status byte).
inline constexpr uint8_t kSignalCts = 0x10;
inline constexpr uint8_t kSignalDsr = 0x20;
inline constexpr uint8_t kSignalRing = 0x40;
inline constexpr uint8_t kSignalDcd = 0x80;

// Line error bits: receive-queue overflow, overrun, parity, framing, break.
inline constexpr uint32_t kLineOverflow = 0x01;
inline constexpr uint32_t kLineOverrun = 0x02;
inline constexpr uint32_t kLineParity = 0x04;
inline constexpr uint32_t kLineFraming = 0x08;
inline constexpr uint32_t kLineBreak = 0x10;

// A wake-up descriptor (eventfd) that threads signal to end each other's waits.
class WakeFd {
  public:
    WakeFd();
    ~WakeFd();
    WakeFd(const WakeFd &) = delete;
    WakeFd &operator=(const WakeFd &) = delete;
    void signal() const;
    // Clears the signalled state; returns whether it was signalled.
    bool consume() const;
    [[nodiscard]] int fd() const { return fd_; }

  private:
    int fd_;
};

// What SerialDevice::wait reported.
enum SerialWaitResult : uint32_t {
    kWaitTimeout = 0,
    kWaitReadable = 1,
    kWaitWritable = 2,
    kWaitHangUp = 4, // the other side closed, or the device was removed
    kWaitWoken = 8,  // plus the index of the wake descriptor in bits 8 and up
};

// Waits up to timeoutMs (-1: no limit) for any of the wake descriptors; returns the index
// of the first signalled one, or -1 on time-out.
int WaitForWake(std::initializer_list<const WakeFd *> wakes, int timeoutMs);

// "Linux 6.1 #1 SMP ..." style text: family, major.minor, and the kernel version string.
std::string PlatformDescription();

// Line-error counters of the driver (TIOCGICOUNT); differences between two readings become
// line-error bits and ring counts.
struct SerialCounters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};

class SerialDevice {
  public:
    SerialDevice() = default;
    ~SerialDevice();
    SerialDevice(const SerialDevice &) = delete;
    SerialDevice &operator=(const SerialDevice &) = delete;

    // Opens a device path for reading and writing, non-blocking, not as the controlling
    // terminal, with an exclusive advisory lock (a second open of the same device fails
    // with EBUSY), and puts the line into raw mode. Returns 0 or errno.
    int open(const std::string &path);
    // Works on a copy of a descriptor that someone else opened (the telephony hand-over);
    // the caller keeps its own descriptor. Puts the line into raw mode, non-blocking.
    int adopt(int fd);
    // Closes the descriptor; returns 0 or errno.
    int close();
    [[nodiscard]] bool isOpen() const { return fd_.load() >= 0; }
    [[nodiscard]] int fd() const { return fd_.load(); }

    int getBlock(SerialBlock &block) const;
    int setBlock(const SerialBlock &block);

    // Current signals as kSignal* bits; a device without modem lines (a pseudo-terminal)
    // reports CTS, DSR and DCD on.
    int getModemSignals(uint8_t &signals) const;
    [[nodiscard]] bool hasModemLines() const { return modemLines_.load(); }
    int setDtr(bool on);
    int setRts(bool on);
    // The driver's counters; false when the device keeps none (a pseudo-terminal).
    bool counters(SerialCounters &out) const;

    int bytesWaiting(uint32_t &count) const;
    // Bytes written but still in the driver's transmit queue (TIOCOUTQ).
    int bytesQueuedOut(uint32_t &count) const;
    // >0 bytes read, 0 nothing available, -errno on failure (-EIO: the device is gone).
    ssize_t read(void *data, size_t len);
    // The same into two pieces (the free part of a ring that wraps), in one call.
    ssize_t read(void *first, size_t firstLen, void *second, size_t secondLen);
    // >0 bytes written, 0 would block, -errno on failure.
    ssize_t write(const void *data, size_t len);
    int purgeInput();
    int purgeOutput();

    // Waits for the device (readable/writable as asked) or one of the wake descriptors.
    // Returns kWait* bits; a woken wait has kWaitWoken | (index << 8).
    uint32_t wait(uint32_t events, int timeoutMs,
                  std::initializer_list<const WakeFd *> wakes) const;

  private:
    int prepareLocked();
    int getBlockLocked(SerialBlock &block) const;
    int takeOver(int fd);
    int queueCount(unsigned long request, uint32_t &count) const; // FIONREAD or TIOCOUTQ
    // Held shared by every call on the descriptor, alone by whatever opens or closes it.
    mutable std::shared_mutex use_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> modemLines_{false};
    mutable std::mutex shadowLock_; // setBlock and getBlock may run at once
    SerialBlock shadow_;
};

} // namespace quillon::platform
