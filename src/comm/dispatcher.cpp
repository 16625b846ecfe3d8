// The comm dispatcher: registry, opening and closing, the three threads, line settings,
// modem status, the input and output rings. Triggers, handlers and the notification passes
// are in dispatcher_triggers.cpp.

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

int32_t TBaseDispatcher::NowTicks() { return static_cast<int32_t>(NowMs() / kMsPerTick); }

void TBaseDispatcher::SetClockOffsetForTest(int64_t ms) { clockOffset().store(ms); }

// ---- opening and closing ----

int TSerialDispatcher::OpenHandle(const std::string &name) {
    int err = device_.open(name);
    if (err == 0) {
        return 0;
    }
    // A serial device node without hardware behind it refuses the open with EIO.
    return -(err == EIO ? 2 : PlatformError(err));
}

int TTapiDispatcher::OpenHandle(const std::string &) {
    if (descriptor_ <= 0) {
        return kErrNotOpen;
    }
    int err = device_.adopt(descriptor_);
    return err == 0 ? 0 : -PlatformError(err);
}

int TTapiDispatcher::ReadDeviceBlock(int descriptor, platform::SerialBlock &block) {
    if (descriptor <= 0) {
        return kErrNotOpen;
    }
    platform::SerialDevice probe;
    int err = probe.adopt(descriptor);
    if (err == 0) {
        err = probe.getBlock(block);
    }
    return err == 0 ? 0 : -PlatformError(err);
}

bool TBaseDispatcher::IsOpen() const { return open_.load(); }

int TBaseDispatcher::OpenDevice(const std::string &name, uint32_t inSize, uint32_t outSize,
                                bool dtr, bool rts, uint32_t baud, uint8_t parity,
                                uint8_t dataBits, uint8_t stopBits) {
    if (open_.load()) {
        return -PlatformError(EBUSY);
    }
    JoinThreads(); // threads of a close finished from inside a handler
    int rc = OpenHandle(name);
    if (rc != 0) {
        return rc;
    }
    {
        std::lock_guard in(inputLock_);
        std::lock_guard st(stateLock_);
        inSize_ = inSize;
        outSize_ = outSize == 0 ? 1 : outSize;
        inRing_.assign(kInputRingSize, 0);
        writeTotal_ = readTotal_ = lastScanned_ = lastNotified_ = 0;
        lastNotifiedValid_ = pendingData_ = false;
        peekCount_ = maxPeekCount_ = 0;
        inAvailNotification_ = overflowSeen_ = false;
        {
            std::lock_guard out(outputLock_);
            outRing_.assign(outSize_, 0);
            head_ = tail_ = 0;
            outFull_ = false;
        }
        lineErrors_ = 0;
        rs485_ = false;
        baseAddress_ = 0;
        outputSent_ = false;
        deletionPending_ = false;
        busy_ = false;
        closing_ = false;
        deviceLost_ = false;
        int err = device_.getBlock(block_);
        if (err != 0) {
            rc = -PlatformError(err);
        }
        if (rc == 0) {
            dtrState_ = dtr ? 1 : 0;
            rtsState_ = rts ? 1 : 0;
            dtrAuto_ = rtsAuto_ = false;
            block_.dtrControl = dtrState_;
            block_.rtsControl = rtsState_;
            rc = SetDtr(dtr);
            if (rc == 0) {
                rc = SetRts(rts);
            }
            rc = rc == 1 ? 0 : rc;
        }
        timers_.clear();
        statuses_.clear();
        datas_.clear();
        availThreshold_ = 0;
        handleCounter_ = 1;
        haveCounters_ = device_.counters(counters_);
        modemStatus_ = 0;
        ringSeen_ = false;
        if (rc == 0) {
            [[maybe_unused]] uint8_t s = ReadModemStatusLocked(0xF0);
            lastBaud_ = 115200;
        }
    }
    if (rc == 0) {
        rc = SetLineParams(baud, parity, dataBits, stopBits);
    }
    if (rc != 0) {
        [[maybe_unused]] int closeRc = device_.close();
        FreeBuffers();
        return rc;
    }
    {
        std::lock_guard st(stateLock_);
        RefreshLineErrorsLocked();
        trace_.Stop();
        log_.Stop();
        traceOn_ = false;
        openTimeMs_ = NowMs();
    }
    open_ = true;
    StartThreads();
    return 0;
}

void TBaseDispatcher::StartThreads() {
    if (threadsActive_.load()) {
        throw std::logic_error("Dispatcher already started");
    }
    threadsActive_ = true;
    killThreads_ = false;
    eventPending_ = false;
    threadAck_->Reset();
    comThread_ = std::thread([this] { ComThreadMain(); });
    threadAck_->WaitFor(std::chrono::milliseconds(3000));
    dispThread_ = std::thread([this] { DispThreadMain(); });
    threadAck_->WaitFor(std::chrono::milliseconds(3000));
    outThread_ = std::thread([this] { OutThreadMain(); });
    threadAck_->WaitFor(std::chrono::milliseconds(3000));
}

void TBaseDispatcher::ThreadEnded() {
    {
        std::lock_guard lock(endMutex_);
        if (runningThreads_.fetch_sub(1) == 1) {
            threadsActive_ = false;
        }
    }
    threadEnded_.notify_all();
}

// Releases the event waiter and the writer and waits for both: neither ever waits for the
// caller's thread, so joining them needs no message pumping.
void TBaseDispatcher::StopIoThreads() {
    killThreads_ = true;
    comWake_.signal();
    dispatchDone_->Set();
    roomFree_->Set();
    outputAbort_.signal();
    outputReady_.signal();
    auto self = std::this_thread::get_id();
    if (comThread_.joinable() && comThread_.get_id() != self) {
        comThread_.join();
    }
    if (outThread_.joinable() && outThread_.get_id() != self) {
        outThread_.join();
    }
}

void TBaseDispatcher::StopThreads() {
    if (!threadsActive_.load() && !dispThread_.joinable()) {
        throw std::logic_error("Dispatcher not running");
    }
    StopIoThreads();
    dispatchReady_->Set();
    // The dispatch thread may be waiting for this thread's window to answer a notification:
    // keep handling messages until it has gone.
    if (dispThread_.joinable() && dispThreadId_.load() != std::this_thread::get_id()) {
        auto &loop = platform::EventLoop::current();
        while (dispAlive_.load()) {
            loop.runUntil([this] { return !dispAlive_.load(); }, std::chrono::milliseconds(100));
        }
        dispThread_.join();
    }
}

void TBaseDispatcher::JoinThreads() {
    auto self = std::this_thread::get_id();
    for (std::thread *t : {&comThread_, &dispThread_, &outThread_}) {
        if (t->joinable() && t->get_id() != self) {
            t->join();
        }
    }
}

void TBaseDispatcher::FreeBuffers() {
    std::lock_guard in(inputLock_);
    inRing_.clear();
    inRing_.shrink_to_fit();
    writeTotal_ = readTotal_ = 0;
    std::lock_guard out(outputLock_);
    outRing_.clear();
    outRing_.shrink_to_fit();
    head_ = tail_ = 0;
    outFull_ = false;
}

int TBaseDispatcher::CloseDevice() {
    bool expected = true;
    if (!open_.compare_exchange_strong(expected, false)) {
        return 0;
    }
    [[maybe_unused]] int rc = PurgeOutput();
    rc = PurgeInput();
    // The device closes only once nothing waits on it any more, so that its descriptor
    // number cannot be reused under a running thread.
    StopIoThreads();
    int result = device_.close() == 0 ? 0 : -1;
    if (inPass_.load() || std::this_thread::get_id() == dispThreadId_.load()) {
        // Called from inside a notification: the dispatch thread ends after it.
        closing_ = true;
        dispatchReady_->Set();
        return result;
    }
    StopThreads();
    FreeBuffers();
    return result;
}

// ---- threads ----

void TBaseDispatcher::ComThreadMain() {
    runningThreads_.fetch_add(1);
    threadAck_->Set();
    uint8_t lastSignals = 0;
    [[maybe_unused]] int err = device_.getModemSignals(lastSignals);
    platform::SerialCounters lastCounters;
    bool haveCounters = device_.counters(lastCounters);
    bool poll = device_.hasModemLines();
    while (!killThreads_.load()) {
        {
            std::unique_lock in(inputLock_);
            bool full = !inRing_.empty() && writeTotal_ - readTotal_ >= kInputRingSize;
            in.unlock();
            if (full) {
                // Reading stops while the ring is full; the device queue (and flow control,
                // when configured) holds the sender back.
                roomFree_->WaitFor(std::chrono::milliseconds(50));
                continue;
            }
        }
        uint32_t r = device_.wait(platform::kWaitReadable, poll ? 20 : -1, {&comWake_});
        if (killThreads_.load()) {
            break;
        }
        if (r & platform::kWaitWoken) {
            comWake_.consume();
            continue;
        }
        uint32_t mask = 0;
        if (r & platform::kWaitHangUp) {
            uint32_t waiting = 0;
            bool readable = device_.bytesWaiting(waiting) == 0 && waiting > 0;
            mask |= readable ? kEvRxChar : kEvLost;
        } else if (r & platform::kWaitReadable) {
            mask |= kEvRxChar;
        }
        if (poll && (mask & kEvLost) == 0) {
            uint8_t signals = 0;
            if (device_.getModemSignals(signals) == 0 && signals != lastSignals) {
                uint8_t changed = signals ^ lastSignals;
                mask |= (changed & platform::kSignalCts) ? kEvCts : 0;
                mask |= (changed & platform::kSignalDsr) ? kEvDsr : 0;
                mask |= (changed & platform::kSignalDcd) ? kEvRlsd : 0;
                mask |= (changed & platform::kSignalRing) ? kEvRing : 0;
                lastSignals = signals;
            }
            platform::SerialCounters c;
            if (haveCounters && device_.counters(c)) {
                if (c.brk != lastCounters.brk) {
                    mask |= kEvBreak;
                }
                if (c.frame != lastCounters.frame || c.overrun != lastCounters.overrun ||
                    c.parity != lastCounters.parity || c.bufOverrun != lastCounters.bufOverrun) {
                    mask |= kEvErr;
                }
                if (c.rng != lastCounters.rng) {
                    mask |= kEvRingTe;
                }
                lastCounters = c;
            }
        }
        if (mask == 0) {
            continue;
        }
        if (mask & (kEvRing | kEvRingTe)) {
            std::lock_guard st(stateLock_);
            ringSeen_ = true;
        }
        lastEventMask_ = mask;
        eventPending_ = true;
        dispatchReady_->Set();
        while (!dispatchDone_->WaitFor(std::chrono::milliseconds(50))) {
            if (killThreads_.load()) {
                break;
            }
        }
        if (mask & kEvLost) {
            break; // nothing more will come from this device
        }
    }
    ThreadEnded();
    threadAck_->Set();
}

void TBaseDispatcher::DispThreadMain() {
    dispThreadId_ = std::this_thread::get_id();
    dispAlive_ = true;
    runningThreads_.fetch_add(1);
    threadAck_->Set();
    while (true) {
        dispatchReady_->WaitFor(std::chrono::milliseconds(WaitTimeoutMs()));
        if (killThreads_.load()) {
            break;
        }
        if (eventPending_.exchange(false)) {
            EventPass(lastEventMask_.load());
        }
        PollPass();
        if (killThreads_.load() || closing_.load()) {
            break;
        }
    }
    if (eventPending_.exchange(false)) {
        dispatchDone_->Set();
    }
    ThreadEnded();
    dispAlive_ = false;
}

void TBaseDispatcher::OutThreadMain() {
    runningThreads_.fetch_add(1);
    threadAck_->Set();
    while (true) {
        int which = platform::WaitForWake({&outputReady_, &outputAbort_}, -1);
        if (which == 1) {
            outputAbort_.consume();
            abortAck_->Set();
            if (killThreads_.load()) {
                break;
            }
            continue;
        }
        outputReady_.consume();
        if (killThreads_.load()) {
            break;
        }
        bool aborted = false;
        while (!aborted && !killThreads_.load()) {
            const uint8_t *run = nullptr;
            uint32_t length = 0;
            {
                std::lock_guard out(outputLock_);
                if (outRing_.empty() || (!outFull_ && head_ == tail_)) {
                    break;
                }
                auto size = static_cast<uint32_t>(outRing_.size());
                if (tail_ < head_) {
                    length = head_ - tail_;
                } else if (head_ != 0) {
                    // The data wraps: make it contiguous so one device write takes it all.
                    std::rotate(outRing_.begin(), outRing_.begin() + tail_, outRing_.end());
                    head_ = head_ + size - tail_;
                    tail_ = 0;
                    length = head_;
                } else {
                    length = size - tail_;
                }
                run = outRing_.data() + tail_;
            }
            uint32_t done = 0;
            while (done < length) {
                if (outputAbort_.consume()) {
                    abortAck_->Set();
                    aborted = true;
                    break;
                }
                ssize_t n = device_.write(run + done, length - done);
                if (n > 0) {
                    done += static_cast<uint32_t>(n);
                    continue;
                }
                if (n < 0) {
                    done = length; // a failed write drops its run
                    break;
                }
                uint32_t w = device_.wait(platform::kWaitWritable, -1, {&outputAbort_});
                if (w & platform::kWaitWoken) {
                    outputAbort_.consume();
                    abortAck_->Set();
                    aborted = true;
                    break;
                }
                if ((w & platform::kWaitHangUp) && (w & platform::kWaitWritable) == 0) {
                    done = length;
                    break;
                }
            }
            if (aborted) {
                break;
            }
            {
                std::lock_guard out(outputLock_);
                auto size = static_cast<uint32_t>(outRing_.size());
                tail_ += done;
                if (tail_ == size) {
                    tail_ = 0;
                }
                if (tail_ == head_) {
                    head_ = tail_ = 0;
                }
                outFull_ = false;
            }
            PokeDispatch(); // output-free, output-used and output-sent triggers
        }
        if (killThreads_.load()) {
            break;
        }
    }
    ThreadEnded();
    threadAck_->Set();
}

void TBaseDispatcher::PokeDispatch() { dispatchReady_->Set(); }

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

// Waits until the output ring is empty (2 ms polls, at most 5000), then for 18 character
// times at the last baud so the device's own queue can empty too.
void TBaseDispatcher::WaitOutputDrain() {
    for (int i = 0; i < 5000 && OutputUsed() != 0; ++i) {
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
    static const uint32_t kRates[] = {50,     75,     110,    134,     150,     200,    300,
                                      600,    1200,   1800,   2400,    4800,    9600,   19200,
                                      38400,  57600,  115200, 230400,  460800,  500000, 576000,
                                      921600, 1000000, 1152000, 1500000, 2000000};
    return std::find(std::begin(kRates), std::end(kRates), baud) != std::end(kRates);
}
} // namespace

int TBaseDispatcher::SetLineParams(uint32_t baud, uint8_t parity, uint8_t dataBits,
                                   uint8_t stopBits) {
    if (!open_.load() && !device_.isOpen()) {
        return kErrNotOpen;
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
            return -2003; // "ie_Bytesize - invalid byte size"
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
        return kErrNotOpen;
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
    return device_.isOpen() ? 0 : kErrNotOpen;
}

// ---- flow control ----

int TBaseDispatcher::SetHardwareFlow(uint32_t full, uint32_t resume, uint32_t options) {
    std::lock_guard st(stateLock_);
    if (full < resume || full > inSize_) {
        return kErrBadArgument;
    }
    if (!device_.isOpen()) {
        return kErrNotOpen;
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
        return kErrNotOpen;
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
        return kErrNotOpen;
    }
    platform::SerialBlock b = block_;
    b.inX = b.outX = false;
    return ApplyBlockLocked(b);
}

int TBaseDispatcher::SetFlowChars(uint8_t xon, uint8_t xoff) {
    std::lock_guard st(stateLock_);
    if (!device_.isOpen()) {
        return kErrNotOpen;
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

// ---- input ----

uint32_t TBaseDispatcher::InputCount() {
    std::lock_guard in(inputLock_);
    auto count = static_cast<uint32_t>(writeTotal_ - readTotal_);
    if (inAvailNotification_) {
        count = count > peekCount_ ? count - peekCount_ : 0;
    }
    return count;
}

bool TBaseDispatcher::InputReady() { return InputCount() > 0; }

int TBaseDispatcher::PeekByte(uint32_t n) {
    std::lock_guard in(inputLock_);
    uint64_t skip = inAvailNotification_ ? peekCount_ : 0;
    if (n == 0 || inRing_.empty() || writeTotal_ - readTotal_ < skip + n) {
        return kErrBufferEmpty;
    }
    return inRing_[(readTotal_ + skip + n - 1) % kInputRingSize];
}

int TBaseDispatcher::ReadByte() {
    uint8_t b;
    int rc = ReadBlock(&b, 1);
    return rc == 0 ? b : kErrBufferEmpty;
}

int TBaseDispatcher::ReadBlock(uint8_t *data, uint32_t len) {
    if (len == 0) {
        return 0;
    }
    std::lock_guard in(inputLock_);
    uint64_t skip = inAvailNotification_ ? peekCount_ : 0;
    if (inRing_.empty() || writeTotal_ - readTotal_ < skip + len) {
        return len == 1 ? kErrBufferEmpty : kErrGetBlock;
    }
    uint64_t from = readTotal_ + skip;
    auto at = static_cast<uint32_t>(from % kInputRingSize);
    uint32_t first = std::min(len, kInputRingSize - at);
    std::memcpy(data, inRing_.data() + at, first);
    std::memcpy(data + first, inRing_.data(), len - first);
    if (inAvailNotification_) {
        peekCount_ += len;
    } else {
        bool wasFull = writeTotal_ - readTotal_ >= kInputRingSize;
        readTotal_ += len;
        if (wasFull) {
            roomFree_->Set();
        }
    }
    if (traceOn_.load()) {
        std::lock_guard st(stateLock_);
        if (trace_.On()) {
            for (uint32_t i = 0; i < len; ++i) {
                trace_.Add('R', data[i]);
            }
        }
    }
    return 0;
}

int TBaseDispatcher::PurgeInput() {
    {
        std::lock_guard in(inputLock_);
        if (device_.isOpen()) {
            [[maybe_unused]] int err = device_.purgeInput();
        }
        if (inAvailNotification_) {
            maxPeekCount_ = static_cast<uint32_t>(writeTotal_ - readTotal_);
        } else {
            bool wasFull = writeTotal_ - readTotal_ >= kInputRingSize;
            readTotal_ = writeTotal_;
            peekCount_ = 0;
            if (wasFull) {
                roomFree_->Set();
            }
        }
        // Discarded bytes are neither scanned nor reported.
        lastScanned_ = writeTotal_;
        pendingData_ = false;
    }
    std::lock_guard st(stateLock_);
    for (auto &d : datas_) {
        d.progress = 0;
        d.fired = false;
    }
    return 0;
}

// Reads what the device has into the input ring, in at most two chunks (input lock).
void TBaseDispatcher::FillInputRing() {
    std::lock_guard in(inputLock_);
    if (inRing_.empty() || !device_.isOpen()) {
        return;
    }
    uint64_t used = writeTotal_ - readTotal_;
    if (used >= kInputRingSize) {
        return;
    }
    uint32_t waiting = 0;
    {
        std::lock_guard st(stateLock_);
        RefreshLineErrorsLocked();
    }
    [[maybe_unused]] int err = device_.bytesWaiting(waiting);
    auto room = static_cast<uint32_t>(kInputRingSize - used);
    overflowSeen_ = waiting > room;
    for (int chunk = 0; chunk < 2 && room > 0; ++chunk) {
        auto at = static_cast<uint32_t>(writeTotal_ % kInputRingSize);
        uint32_t ask = std::min(room, kInputRingSize - at);
        ssize_t n = device_.read(inRing_.data() + at, ask);
        if (n < 0) {
            n = 0; // a vanished device is reported by the event waiter
        }
        if (n > 0) {
            {
                std::lock_guard st(stateLock_);
                LogLocked(ltDispatch, lsReadCom, static_cast<uint32_t>(n), inRing_.data() + at,
                          static_cast<uint32_t>(n));
            }
            writeTotal_ += static_cast<uint64_t>(n);
            room -= static_cast<uint32_t>(n);
        }
        if (static_cast<uint32_t>(n) < ask) {
            break;
        }
    }
}

// ---- output ----

int TBaseDispatcher::WriteBlock(const void *data, uint32_t len) {
    if (len == 0) {
        return 0;
    }
    {
        std::lock_guard out(outputLock_);
        if (outRing_.empty()) {
            return kErrNotOpen;
        }
        auto size = static_cast<uint32_t>(outRing_.size());
        uint32_t used = outFull_ ? size : (head_ + size - tail_) % size;
        uint32_t free = size - used;
        if (free < len) {
            return kErrOutputTooSmall;
        }
        const auto *src = static_cast<const uint8_t *>(data);
        uint32_t first = std::min(len, size - head_);
        std::memcpy(outRing_.data() + head_, src, first);
        std::memcpy(outRing_.data(), src + first, len - first);
        head_ = (head_ + len) % size;
        if (len == free) {
            outFull_ = true;
        }
    }
    outputReady_.signal();
    std::lock_guard st(stateLock_);
    outputSent_ = true;
    if (log_.On()) {
        LogLocked(ltDispatch, lsWriteCom, len, data, len);
    }
    if (trace_.On()) {
        const auto *p = static_cast<const uint8_t *>(data);
        for (uint32_t i = 0; i < len; ++i) {
            trace_.Add('T', p[i]);
        }
    }
    return 0;
}

uint32_t TBaseDispatcher::OutputUsedNoRefresh() {
    std::lock_guard out(outputLock_);
    auto size = static_cast<uint32_t>(outRing_.size());
    if (size == 0) {
        return 0;
    }
    return outFull_ ? size : (head_ + size - tail_) % size;
}

uint32_t TBaseDispatcher::OutputUsed() {
    {
        std::lock_guard st(stateLock_);
        RefreshLineErrorsLocked();
    }
    return OutputUsedNoRefresh();
}

uint32_t TBaseDispatcher::OutputFree() {
    uint32_t used = OutputUsed();
    std::lock_guard out(outputLock_);
    auto size = static_cast<uint32_t>(outRing_.size());
    return size > used ? size - used : 0;
}

int TBaseDispatcher::PurgeOutput() {
    if (threadsActive_.load() && outThread_.joinable()) {
        abortAck_->Reset();
        outputAbort_.signal();
        abortAck_->WaitFor(std::chrono::milliseconds(3000));
        std::lock_guard out(outputLock_);
        head_ = tail_ = 0;
        outFull_ = false;
    }
    if (device_.isOpen()) {
        [[maybe_unused]] int err = device_.purgeOutput();
    }
    return 0;
}

} // namespace quillon::comm
