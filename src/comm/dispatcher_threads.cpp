// The comm dispatcher: opening and closing the device, and its three threads.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "comm/dispatcher_p.h"

namespace quillon::comm {

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
        return kErrCommNotOpen;
    }
    int err = device_.adopt(descriptor_);
    return err == 0 ? 0 : -PlatformError(err);
}

int TTapiDispatcher::ReadDeviceBlock(int descriptor, platform::SerialBlock &block) {
    if (descriptor <= 0) {
        return kErrCommNotOpen;
    }
    platform::SerialDevice probe;
    int err = probe.adopt(descriptor);
    if (err == 0) {
        err = probe.getBlock(block);
    }
    return err == 0 ? 0 : -PlatformError(err);
}

bool TBaseDispatcher::IsOpen() const {
    return open_.load();
}

int TBaseDispatcher::OpenDevice(const std::string &name, uint32_t inSize, uint32_t outSize,
                                bool dtr, bool rts, uint32_t baud, uint8_t parity, uint8_t dataBits,
                                uint8_t stopBits) {
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
            EmptyOutputRingLocked();
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
        logOn_ = false;
        outputTriggers_ = false;
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
    // Clear what the last shutdown left signalled.
    threadAck_->Reset();
    dispatchReady_->Reset();
    dispatchDone_->Reset();
    roomFree_->Reset();
    abortAck_->Reset();
    comWake_.consume();
    dispatchWake_.consume();
    outputAbort_.consume();
    outputReady_.consume();
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
    roomFree_->Set();
    dispatchDone_->Set();
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
    EmptyOutputRingLocked();
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
    // Waits for a device call in progress on the dispatch thread (a read, a wait of at
    // most 2 ms, or a handler's request).
    int result = device_.close() == 0 ? 0 : -1;
    if (CalledFromNotification()) {
        // Called from inside a notification: the dispatch thread ends after it.
        closing_ = true;
        dispatchReady_->Set();
        return result;
    }
    StopThreads();
    FreeBuffers();
    return result;
}

// Whether the caller is a handler of the notification being delivered: a procedure handler
// on the dispatch thread, or the window handler the dispatch thread is waiting for. Any other
// thread closes in full, even while a pass runs; the pass ends on its own.
bool TBaseDispatcher::CalledFromNotification() {
    if (std::this_thread::get_id() == dispThreadId_.load()) {
        return true;
    }
    std::lock_guard st(stateLock_);
    return inPass_.load() && windowServed_.onOwnerThread();
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
    int idleReads = 0;
    while (!killThreads_.load()) {
        if (InputRingFull()) {
            // Reading stops while the ring is full; the device queue (and flow control, when
            // configured) holds the sender back.
            roomFree_->WaitFor(std::chrono::milliseconds(50));
            continue;
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
        uint64_t filledBefore = bytesFilled_.load();
        lastEventMask_.fetch_or(mask);
        eventPending_ = true;
        dispatchReady_->Set();
        if (mask & kEvLost) {
            break; // nothing more will come from this device
        }
        if (mask & kEvRxChar) {
            // The dispatch thread reads the bytes. Readiness stays signalled until it has,
            // so wait for it instead of waiting on the device again.
            while (!dispatchDone_->WaitFor(std::chrono::milliseconds(100)) &&
                   !killThreads_.load()) {
            }
            if (bytesFilled_.load() != filledBefore) {
                idleReads = 0;
            } else if (++idleReads > 3) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1)); // readable, yet empty
            }
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
    // While bytes flow this thread goes straight back to the device after each pass: on a
    // tty a read that finds nothing first lets the driver finish what is in flight, so a
    // steady stream costs one read per chunk and no hand-over. The event waiter takes over
    // again once a read comes back empty, the ring is full, or 20 ms have passed (so that
    // it sees signal changes on a busy line).
    bool flowing = false;
    uint32_t flowStartMs = 0;
    while (true) {
        if (flowing) {
            dispatchReady_->Take();
        } else {
            dispatchReady_->WaitFor(std::chrono::milliseconds(WaitTimeoutMs()));
        }
        if (killThreads_.load()) {
            break;
        }
        uint32_t mask = eventPending_.exchange(false) ? lastEventMask_.exchange(0) : 0;
        if (flowing) {
            mask |= kEvRxChar;
        }
        if (mask != 0) {
            EventPass(mask);
        }
        PollPass();
        if (killThreads_.load() || closing_.load()) {
            break;
        }
        if (mask & kEvRxChar) {
            uint32_t now = NowMs();
            if (!flowing) {
                flowStartMs = now;
            }
            bool more = lastFillBytes_ != 0 || (flowing && LinePausedOnly());
            flowing = more && !InputRingFull() && now - flowStartMs < 20;
            if (!flowing) {
                dispatchDone_->Set();
            }
        }
    }
    dispatchDone_->Set();
    ThreadEnded();
    dispAlive_ = false;
}

// A stream that pauses for a moment (the sender is between writes) keeps the dispatch thread
// on the device: it waits up to 2 ms for more bytes, or for a poke, before handing the line
// back to the event waiter. Returns whether to keep reading.
bool TBaseDispatcher::LinePausedOnly() {
    if (!open_.load()) {
        return false; // closing
    }
    int wait = std::min(2, WaitTimeoutMs());
    uint32_t r = device_.wait(platform::kWaitReadable, wait, {&dispatchWake_});
    if (r & platform::kWaitWoken) {
        dispatchWake_.consume();
        return true;
    }
    return (r & platform::kWaitReadable) != 0 && (r & platform::kWaitHangUp) == 0;
}

void TBaseDispatcher::OutThreadMain() {
    runningThreads_.fetch_add(1);
    threadAck_->Set();
    while (true) {
        int which = platform::WaitForWake({&outputReady_, &outputAbort_}, -1);
        if (which == 1) {
            outputAbort_.consume();
            AbortOutput();
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
                    AbortOutput();
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
                    AbortOutput();
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
            if (outputTriggers_.load()) {
                PokeDispatch(); // output-free, output-used and output-sent triggers
            }
        }
        if (killThreads_.load()) {
            break;
        }
    }
    ThreadEnded();
    threadAck_->Set();
}

// A purge (or shutdown) asked the writer to stop: the writer empties the ring itself before it
// acknowledges, so that it can never go on to send, or account for, bytes from before the
// purge once the purging thread has gone on.
void TBaseDispatcher::AbortOutput() {
    {
        std::lock_guard out(outputLock_);
        EmptyOutputRingLocked();
    }
    abortAck_->Set();
}

void TBaseDispatcher::EmptyOutputRingLocked() {
    head_ = tail_ = 0;
    outFull_ = false;
}

void TBaseDispatcher::PokeDispatch() {
    dispatchReady_->Set();
}

} // namespace quillon::comm
