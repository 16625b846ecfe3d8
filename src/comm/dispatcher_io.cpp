// The comm dispatcher: the input and output rings.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "comm/dispatcher_p.h"

namespace quillon::comm {

// ---- input ----

uint32_t TBaseDispatcher::InputCount() {
    std::lock_guard in(inputLock_);
    auto count = static_cast<uint32_t>(writeTotal_ - readTotal_);
    if (inAvailNotification_) {
        count = count > peekCount_ ? count - peekCount_ : 0;
    }
    return count;
}

bool TBaseDispatcher::InputReady() {
    return InputCount() > 0;
}

int TBaseDispatcher::PeekByte(uint32_t n) {
    std::lock_guard in(inputLock_);
    uint64_t skip = inAvailNotification_ ? peekCount_ : 0;
    if (n == 0 || inRing_.empty() || writeTotal_ - readTotal_ < skip + n) {
        return kErrBufferIsEmpty;
    }
    return inRing_[(readTotal_ + skip + n - 1) % kInputRingSize];
}

int TBaseDispatcher::ReadByte() {
    uint8_t b;
    int rc = ReadBlock(&b, 1);
    return rc == 0 ? b : kErrBufferIsEmpty;
}

int TBaseDispatcher::ReadBlock(uint8_t *data, uint32_t len) {
    if (len == 0) {
        return 0;
    }
    std::lock_guard in(inputLock_);
    uint64_t skip = inAvailNotification_ ? peekCount_ : 0;
    if (inRing_.empty() || writeTotal_ - readTotal_ < skip + len) {
        return len == 1 ? kErrBufferIsEmpty : kErrGetBlockFail;
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
        ++inputPurges_; // a device read in progress brings in bytes from before the purge
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

// Reads what the device has into the free part of the input ring in one call (the part may
// wrap); returns the number of bytes taken. Only the dispatch thread writes into the free
// part, so the device read itself runs without the input lock and never holds up an
// application thread reading the ring. A purge during the read discards what it brought in.
uint32_t TBaseDispatcher::FillInputRing() {
    uint8_t *ring = nullptr;
    uint32_t at = 0;
    uint32_t room = 0;
    uint64_t purges = 0;
    {
        std::lock_guard in(inputLock_);
        if (inRing_.empty() || !open_.load()) {
            return 0; // closing: nothing more is taken in
        }
        uint64_t used = writeTotal_ - readTotal_;
        if (used >= kInputRingSize) {
            return 0;
        }
        if (haveCounters_) { // set before the threads start; a pty keeps no counters
            std::lock_guard st(stateLock_);
            RefreshLineErrorsLocked();
        }
        ring = inRing_.data();
        at = static_cast<uint32_t>(writeTotal_ % kInputRingSize);
        room = static_cast<uint32_t>(kInputRingSize - used);
        purges = inputPurges_;
    }
    uint32_t first = std::min(room, kInputRingSize - at);
    ssize_t n = device_.read(ring + at, first, ring, room - first);
    if (n <= 0) {
        return 0; // a vanished device is reported by the event waiter; a closed one reads nothing
    }
    auto taken = static_cast<uint32_t>(n);
    std::lock_guard in(inputLock_);
    if (purges != inputPurges_) {
        return 0;
    }
    if (logOn_.load()) {
        std::lock_guard st(stateLock_);
        uint32_t head = std::min(taken, first);
        LogLocked(ltDispatch, lsReadCom, head, ring + at, head);
        if (taken > head) {
            LogLocked(ltDispatch, lsReadCom, taken - head, ring, taken - head);
        }
    }
    writeTotal_ += taken;
    overflowSeen_ = false;
    if (taken == room) {
        // The ring filled up: whatever the device still holds did not fit.
        uint32_t waiting = 0;
        overflowSeen_ = device_.bytesWaiting(waiting) == 0 && waiting > 0;
    }
    return taken;
}

bool TBaseDispatcher::InputRingFull() {
    std::lock_guard in(inputLock_);
    return !inRing_.empty() && writeTotal_ - readTotal_ >= kInputRingSize;
}

// ---- output ----

int TBaseDispatcher::WriteBlock(const void *data, uint32_t len) {
    if (len == 0) {
        return 0;
    }
    if (!open_.load()) {
        // Also while a close begun inside a handler runs down: the bytes could not go out.
        return kErrCommNotOpen;
    }
    {
        std::lock_guard out(outputLock_);
        if (outRing_.empty()) {
            return kErrCommNotOpen;
        }
        auto size = static_cast<uint32_t>(outRing_.size());
        uint32_t used = outFull_ ? size : (head_ + size - tail_) % size;
        uint32_t free = size - used;
        if (free < len) {
            return kErrOutputBufferTooSmall;
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
        // The writer empties the ring when it takes the abort (AbortOutput).
        abortAck_->Reset();
        outputAbort_.signal();
        abortAck_->WaitFor(std::chrono::milliseconds(3000));
    }
    if (device_.isOpen()) {
        [[maybe_unused]] int err = device_.purgeOutput();
    }
    return 0;
}

} // namespace quillon::comm
