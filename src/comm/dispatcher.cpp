// The comm dispatcher: the registry, the tick clock, line settings, flow control, modem
// status and line errors. Opening, closing and the threads are in dispatcher_threads.cpp,
// the rings in dispatcher_io.cpp, triggers, handlers and the notification passes in
// dispatcher_triggers.cpp, trace and log in dispatcher_diag.cpp.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "comm/dispatcher_p.h"

namespace quillon::comm {

namespace {

std::mutex &registryLock() {
    static std::mutex m;
    return m;
}

std::vector<TBaseDispatcher *> &registry() {
    static std::vector<TBaseDispatcher *> list;
    return list;
}

std::atomic<int64_t> &clockOffset() {
    static std::atomic<int64_t> offset{0};
    return offset;
}

} // namespace

int PlatformError(int err) {
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return 2;
    case ENOTDIR:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EBUSY:
        return 5;
    case EBADF:
        return 6;
    case ENOMEM:
        return 8;
    case EIO:
        return 162; // "General failure"; errno 5 would read as "access denied"
    default:
        return err;
    }
}

// ---- registry and clock ----

TBaseDispatcher::TBaseDispatcher(TBaseComponent *owner)
    : owner_(owner), handlers_(std::make_unique<Handlers>()),
      dispatchReady_(std::make_unique<Event>()), dispatchDone_(std::make_unique<Event>()),

      threadAck_(std::make_unique<Event>()), roomFree_(std::make_unique<Event>()),
      abortAck_(std::make_unique<Event>()) {
    dispatchReady_->wake = &dispatchWake_;
    std::lock_guard lock(registryLock());
    auto &list = registry();
    auto slot = std::find(list.begin(), list.end(), nullptr);
    if (slot != list.end()) {
        *slot = this;
        handle_ = static_cast<int32_t>(slot - list.begin());
    } else {
        list.push_back(this);
        handle_ = static_cast<int32_t>(list.size() - 1);
    }
}

TBaseDispatcher::~TBaseDispatcher() {
    if (open_.load()) {
        [[maybe_unused]] int rc = CloseDevice();
    }
    JoinThreads();
    FreeBuffers();
    std::lock_guard lock(registryLock());
    auto &list = registry();
    if (handle_ >= 0 && static_cast<size_t>(handle_) < list.size()) {
        list[static_cast<size_t>(handle_)] = nullptr;
    }
    while (!list.empty() && list.back() == nullptr) {
        list.pop_back();
    }
}

TBaseDispatcher *TBaseDispatcher::FromHandle(int32_t handle) {
    std::lock_guard lock(registryLock());
    auto &list = registry();
    if (handle < 0 || static_cast<size_t>(handle) >= list.size()) {
        return nullptr;
    }
    return list[static_cast<size_t>(handle)];
}

TBaseComponent *TBaseDispatcher::OwnerOfHandle(int32_t handle) {
    std::lock_guard lock(registryLock());
    auto &list = registry();
    if (handle < 0 || static_cast<size_t>(handle) >= list.size() ||
        list[static_cast<size_t>(handle)] == nullptr) {
        return nullptr;
    }
    return list[static_cast<size_t>(handle)]->owner_;
}

size_t TBaseDispatcher::RegistrySize() {
    std::lock_guard lock(registryLock());
    return registry().size();
}

uint32_t TBaseDispatcher::NowMs() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<uint32_t>(ms + clockOffset().load());
}

int32_t TBaseDispatcher::NowTicks() {
    return static_cast<int32_t>(NowMs() / kMsPerTick);
}

void TBaseDispatcher::SetClockOffsetForTest(int64_t ms) {
    clockOffset().store(ms);
}

// ---- line settings ----

int TBaseDispatcher::ApplyBlockLocked(const platform::SerialBlock &block) {
    int err = device_.setBlock(block);
    if (err != 0) {
        return -PlatformError(err);
    }
    block_ = block;
    lastBaud_ = block.baud;
    if (!dtrAuto_) {
        err = device_.setDtr(dtrState_ != 0);
    }
    if (err == 0 && !rs485_ && !rtsAuto_) {
        err = device_.setRts(rtsState_ != 0);
    }
    return err == 0 ? 0 : -PlatformError(err);
}

// Waits until the output ring is empty and the driver has sent what it was given (2 ms
// polls, at most 5000 in all), then for 18 character times at the last baud so the UART's
// own FIFO can empty too. A tty driver holds kilobytes, seconds of data at low speeds, that
// would otherwise go out under the new settings.
void TBaseDispatcher::WaitOutputDrain() {
    int polls = 0;
    for (; polls < 5000 && OutputUsed() != 0; ++polls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    uint32_t queued = 0;
    for (; polls < 5000 && device_.bytesQueuedOut(queued) == 0 && queued != 0; ++polls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    uint32_t baud, bits;
    {
        std::lock_guard st(stateLock_);
        [[maybe_unused]] int err = device_.getBlock(block_);
        baud = lastBaud_ == 0 ? 115200 : lastBaud_;
        bits = block_.byteSize + (block_.parity != 0 ? 1 : 0) + 2;
        if (block_.stopBits != 0) {
            bits += 1;
        }
    }
    uint64_t units = uint64_t{10000000 / baud} * bits * 18; // 100 ns units
    if (units < 10000) {
        units *= 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds((units + 9999) / 10000));
}

namespace {
bool supportedBaud(uint32_t baud) {
    static const uint32_t kRates[] = {50,     75,      110,     134,     150,    200,    300,
                                      600,    1200,    1800,    2400,    4800,   9600,   19200,
                                      38400,  57600,   115200,  230400,  460800, 500000, 576000,
                                      921600, 1000000, 1152000, 1500000, 2000000};
    return std::find(std::begin(kRates), std::end(kRates), baud) != std::end(kRates);
}
} // namespace

int TBaseDispatcher::SetLineParams(uint32_t baud, uint8_t parity, uint8_t dataBits,
                                   uint8_t stopBits) {
    if (!open_.load() && !device_.isOpen()) {
        return kErrCommNotOpen;
    }
    platform::SerialBlock wanted;
    {
        std::lock_guard st(stateLock_);
        wanted = block_;
    }
    if (baud != 0) {
        if (!supportedBaud(baud)) {
            return kErrBaudRate;
        }
        wanted.baud = baud;
    }
    if (parity != 5) {
        if (parity > 4) {
            return kErrBadArgument;
        }
        wanted.parity = parity;
    }
    if (dataBits != 9) {
        if (dataBits < 5 || dataBits > 8) {
            return kErrByteSize;
        }
        wanted.byteSize = dataBits;
    }
    if (stopBits != 3) {
        wanted.stopBits = stopBits <= 1 ? 0 : 2;
    }
    if (wanted.byteSize == 5 && (stopBits != 3 || dataBits == 5)) {
        wanted.stopBits = 1; // one and a half
    } else if (wanted.byteSize != 5 && wanted.stopBits == 1) {
        wanted.stopBits = 2;
    }
    {
        std::lock_guard st(stateLock_);
        if (wanted == block_) {
            return 0;
        }
    }
    WaitOutputDrain();
    std::lock_guard st(stateLock_);
    platform::SerialBlock block = block_;
    block.baud = wanted.baud;
    block.parity = wanted.parity;
    block.byteSize = wanted.byteSize;
    block.stopBits = wanted.stopBits;
    return ApplyBlockLocked(block);
}

int TBaseDispatcher::GetLineParams(uint32_t &baud, uint8_t &parity, uint8_t &dataBits,
                                   uint8_t &stopBits) {
    std::lock_guard st(stateLock_);
    if (!device_.isOpen()) {
        return kErrCommNotOpen;
    }
    int err = device_.getBlock(block_);
    if (err != 0) {
        return -PlatformError(err);
    }
    baud = block_.baud;
    parity = block_.parity;
    dataBits = block_.byteSize;
    stopBits = block_.stopBits == 0 ? 1 : 2;
    return 0;
}

platform::SerialBlock TBaseDispatcher::DeviceBlock() {
    std::lock_guard st(stateLock_);
    if (device_.isOpen()) {
        [[maybe_unused]] int err = device_.getBlock(block_);
    }
    return block_;
}

int TBaseDispatcher::SetSignals(bool dtr, bool rts) {
    int rc = SetDtr(dtr);
    if (rc == 0) {
        rc = SetRts(rts);
    }
    return rc;
}

int TBaseDispatcher::SetDtr(bool on) {
    std::lock_guard st(stateLock_);
    if (dtrAuto_) {
        return 1;
    }
    if (device_.setDtr(on) != 0) {
        return kErrBadArgument;
    }
    dtrState_ = on ? 1 : 0;
    if (block_.dtrControl != 2) {
        block_.dtrControl = dtrState_;
    }
    return 0;
}

int TBaseDispatcher::SetRts(bool on) {
    std::lock_guard st(stateLock_);
    if (rtsAuto_) {
        return 1;
    }
    if (device_.setRts(on) != 0) {
        return kErrBadArgument;
    }
    rtsState_ = on ? 1 : 0;
    if (block_.rtsControl < 2) {
        block_.rtsControl = rtsState_;
    }
    return 0;
}

void TBaseDispatcher::SetRS485Mode(bool on) {
    std::lock_guard st(stateLock_);
    rs485_ = on;
}

void TBaseDispatcher::SetBaseAddress(uint16_t address) {
    std::lock_guard st(stateLock_);
    baseAddress_ = address;
}

int TBaseDispatcher::SetQueueSizes(uint32_t inSize, uint32_t outSize) {
    std::lock_guard st(stateLock_);
    inSize_ = inSize;
    // The output ring keeps its size until the next open; the terminal driver sizes its
    // own queues.
    (void)outSize;
    return device_.isOpen() ? 0 : kErrCommNotOpen;
}

// ---- flow control ----

int TBaseDispatcher::SetHardwareFlow(uint32_t full, uint32_t resume, uint32_t options) {
    std::lock_guard st(stateLock_);
    if (full < resume || full > inSize_) {
        return kErrBadArgument;
    }
    if (!device_.isOpen()) {
        return kErrCommNotOpen;
    }
    platform::SerialBlock b = block_;
    b.outxCtsFlow = b.outxDsrFlow = false;
    dtrAuto_ = rtsAuto_ = false;
    if (options & 1) {
        b.dtrControl = 2;
        dtrAuto_ = true;
    } else {
        b.dtrControl = dtrState_ != 0 ? 1 : 0;
    }
    if (options & 2) {
        b.rtsControl = 2;
        rtsAuto_ = true;
    } else {
        b.rtsControl = rtsState_ != 0 ? 1 : 0;
    }
    if (rs485_) {
        b.rtsControl = 3; // the driver turns RTS on while it sends
        rtsAuto_ = true;
    }
    b.xoffLim = static_cast<uint16_t>(inSize_ - full);
    b.xonLim = static_cast<uint16_t>(resume);
    b.outxDsrFlow = (options & 4) != 0;
    b.outxCtsFlow = (options & 8) != 0;
    return ApplyBlockLocked(b);
}

int TBaseDispatcher::SetSoftwareFlow(uint32_t full, uint32_t resume, uint32_t options) {
    std::lock_guard st(stateLock_);
    if (full < resume || full > inSize_) {
        return kErrBadArgument;
    }
    if (!device_.isOpen()) {
        return kErrCommNotOpen;
    }
    platform::SerialBlock b = block_;
    b.inX = (options & 2) != 0;
    b.outX = (options & 1) != 0;
    if (b.inX) {
        b.xoffLim = static_cast<uint16_t>(inSize_ - full);
        b.xonLim = static_cast<uint16_t>(resume);
    }
    if (options & 3) {
        b.xonChar = 17;
        b.xoffChar = 19;
    }
    return ApplyBlockLocked(b);
}

int TBaseDispatcher::ClearSoftwareFlow() {
    std::lock_guard st(stateLock_);
    if (!device_.isOpen()) {
        return kErrCommNotOpen;
    }
    platform::SerialBlock b = block_;
    b.inX = b.outX = false;
    return ApplyBlockLocked(b);
}

int TBaseDispatcher::SetFlowChars(uint8_t xon, uint8_t xoff) {
    std::lock_guard st(stateLock_);
    if (!device_.isOpen()) {
        return kErrCommNotOpen;
    }
    platform::SerialBlock b = block_;
    b.xonChar = xon;
    b.xoffChar = xoff;
    return ApplyBlockLocked(b);
}

// ---- modem status and line errors ----

uint8_t TBaseDispatcher::ReadModemStatusLocked(uint8_t mask) {
    uint8_t signals = 0;
    if (deviceLost_.load() || device_.getModemSignals(signals) != 0) {
        signals = 0;
    }
    modemStatus_ = static_cast<uint8_t>((signals & 0xF0) | (modemStatus_ & 0x0F));
    if (ringSeen_) {
        modemStatus_ |= 0x04;
        ringSeen_ = false;
    }
    uint8_t result = modemStatus_;
    modemStatus_ &= mask;
    return result;
}

uint8_t TBaseDispatcher::ReadModemStatus(uint8_t mask) {
    std::lock_guard st(stateLock_);
    return ReadModemStatusLocked(mask);
}

// Change bits: old XOR new signals, shifted into the low nibble.
void TBaseDispatcher::RefreshModemStatusLocked() {
    uint8_t old = modemStatus_;
    uint8_t now = ReadModemStatusLocked(0xFF);
    modemStatus_ = static_cast<uint8_t>(now | (((old ^ now) >> 4) & 0x0F));
}

void TBaseDispatcher::RefreshLineErrorsLocked() {
    platform::SerialCounters c;
    if (!haveCounters_ || !device_.isOpen() || !device_.counters(c)) {
        return;
    }
    uint32_t bits = 0;
    bits |= c.bufOverrun != counters_.bufOverrun ? platform::kLineOverflow : 0;
    bits |= c.overrun != counters_.overrun ? platform::kLineOverrun : 0;
    bits |= c.parity != counters_.parity ? platform::kLineParity : 0;
    bits |= c.frame != counters_.frame ? platform::kLineFraming : 0;
    bits |= c.brk != counters_.brk ? platform::kLineBreak : 0;
    counters_ = c;
    lineErrors_ |= bits & 0x1F;
}

int TBaseDispatcher::TakeLineError() {
    std::lock_guard st(stateLock_);
    RefreshLineErrorsLocked();
    int found = 0;
    if (lineErrors_ & platform::kLineOverflow) {
        found = 1;
    } else if (lineErrors_ & platform::kLineOverrun) {
        found = 2;
    } else if (lineErrors_ & platform::kLineParity) {
        found = 3;
    } else if (lineErrors_ & platform::kLineFraming) {
        found = 4;
    } else if (lineErrors_ & platform::kLineBreak) {
        found = 9;
    }
    if (found != 0) {
        lineErrors_ &= ~0x0Fu;
    }
    return found;
}

bool TBaseDispatcher::TakeLineBreak() {
    std::lock_guard st(stateLock_);
    bool was = (lineErrors_ & platform::kLineBreak) != 0;
    lineErrors_ &= ~platform::kLineBreak;
    return was;
}

} // namespace quillon::comm
