// The comm dispatcher's trigger engine: trigger and handler lists, the event and poll
// passes of the dispatch thread, the data and avail scan, and the delivery of notifications
// to procedure and window handlers.

#include <algorithm>
#include <cctype>
#include <cstring>

#include "comm/dispatcher_p.h"
#include "platform/ui_hooks.h"

namespace quillon::comm {

namespace {

// Elapsed ticks from `start` to `now` on the wrapping tick clock.
int64_t elapsedTicks(int32_t start, int32_t now) {
    int64_t d = (int64_t{now} - start) % kTickModulus;
    return d < 0 ? d + kTickModulus : d;
}

void putLe(uint8_t *p, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

} // namespace

void TBaseDispatcher::LogLocked(uint8_t type, uint8_t subtype, uint32_t other, const void *data,
                                uint32_t length) {
    if (log_.On()) {
        log_.Add(type, subtype, NowMs() - openTimeMs_, other, data, length);
    }
}

void TBaseDispatcher::AddLogEntry(uint8_t type, uint8_t subtype, uint32_t length, const void *data,
                                  uint32_t otherData) {
    std::lock_guard st(stateLock_);
    LogLocked(type, subtype, otherData, data, length);
}

// ---- triggers ----

int32_t TBaseDispatcher::AllocHandleLocked() {
    if (handleCounter_ < 4096) {
        return 8 * handleCounter_++;
    }
    for (int32_t h = 8;; h += 8) {
        bool used = std::any_of(timers_.begin(), timers_.end(),
                                [h](const TTimerTrigger &t) { return t.handle == h; }) ||
                    std::any_of(statuses_.begin(), statuses_.end(),
                                [h](const TStatusTrigger &t) { return (t.handle & ~7) == h; }) ||
                    std::any_of(datas_.begin(), datas_.end(),
                                [h](const TDataTrigger &t) { return t.handle == h; });
        if (!used) {
            return h;
        }
    }
}

int TBaseDispatcher::SetAvailThreshold(uint32_t n) {
    {
        std::lock_guard st(stateLock_);
        availThreshold_ = n;
        LogLocked(ltTrDatChg, lsChangeAvail, n);
    }
    PokeDispatch();
    return 0;
}

uint32_t TBaseDispatcher::AvailThreshold() {
    std::lock_guard st(stateLock_);
    return availThreshold_;
}

int TBaseDispatcher::NewTimerTrigger() {
    std::lock_guard st(stateLock_);
    TTimerTrigger t;
    t.handle = AllocHandleLocked();
    timers_.push_back(t);
    LogLocked(ltTrigAllc, lsAllocTimer, static_cast<uint32_t>(t.handle));
    return t.handle;
}

int TBaseDispatcher::NewStatusTrigger(int32_t kind) {
    if (kind < 0 || kind >= 6) {
        return kErrBadArgument;
    }
    std::lock_guard st(stateLock_);
    TStatusTrigger t;
    t.handle = AllocHandleLocked() | kind;
    t.kind = kind;
    statuses_.push_back(t);
    auto k = static_cast<uint8_t>(kind);
    LogLocked(ltTrigAllc, lsAllocStatus, static_cast<uint32_t>(t.handle), &k, 1);
    return t.handle;
}

int TBaseDispatcher::NewDataTrigger(const std::string &match, bool ignoreCase) {
    if (match.size() > kMaxDataTrigger) {
        return kErrTriggerTooLong;
    }
    if (match.empty()) {
        return kErrBadArgument;
    }
    std::lock_guard st(stateLock_);
    TDataTrigger t;
    t.handle = AllocHandleLocked();
    t.length = static_cast<int32_t>(match.size());
    t.ignoreCase = ignoreCase;
    t.match = match;
    if (ignoreCase) {
        for (char &c : t.match) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    datas_.push_back(t);
    return t.handle;
}

int TBaseDispatcher::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    {
        std::lock_guard st(stateLock_);
        auto it = std::find_if(timers_.begin(), timers_.end(),
                               [handle](const TTimerTrigger &t) { return t.handle == handle; });
        if (it == timers_.end()) {
            return kErrBadTriggerHandle;
        }
        if (activate) {
            if (ticks != 0) {
                it->interval = std::clamp(ticks, 0, kMaxTimerTicks);
            }
            it->startTick = NowTicks();
            it->expiryTick =
                static_cast<int32_t>((int64_t{it->startTick} + it->interval) % kTickModulus);
            it->active = true;
            uint8_t data[4];
            putLe(data, static_cast<uint32_t>(it->interval), 4);
            LogLocked(ltTrDatChg, lsAllocTimer, static_cast<uint32_t>(handle), data, 4);
        } else {
            it->active = false;
            static const char kText[] = "Deactivated";
            LogLocked(ltTrDatChg, lsAllocTimer, static_cast<uint32_t>(handle), kText,
                      sizeof kText - 1);
        }
    }
    PokeDispatch();
    return 0;
}

int TBaseDispatcher::ArmStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    {
        std::lock_guard st(stateLock_);
        auto it = std::find_if(statuses_.begin(), statuses_.end(),
                               [handle](const TStatusTrigger &t) { return t.handle == handle; });
        if (it == statuses_.end()) {
            return kErrBadTriggerHandle;
        }
        if (activate) {
            switch (it->kind) {
            case skModemSignals: {
                auto mask = static_cast<uint8_t>(value);
                auto snapshot = static_cast<uint8_t>(mask & modemStatus_);
                it->value = static_cast<uint16_t>(mask << 8 | snapshot);
                break;
            }
            case skLineErrors: {
                uint16_t mask = 0;
                mask |= (value & 1) ? platform::kLineOverrun : 0;
                mask |= (value & 2) ? platform::kLineParity : 0;
                mask |= (value & 4) ? platform::kLineFraming : 0;
                mask |= (value & 8) ? platform::kLineBreak : 0;
                it->value = mask;
                break;
            }
            default:
                it->value = value;
                break;
            }
            uint8_t data[2];
            putLe(data, it->value, 2);
            LogLocked(ltTrDatChg, lsAllocStatus, static_cast<uint32_t>(handle), data, 2);
        }
        // The hit flag stays: a trigger re-armed by its own handler fires again in the next
        // pass, not in this one, or a condition that still holds would never let go.
        it->active = activate;
        RecountOutputTriggersLocked();
    }
    if (!CalledFromNotification()) {
        // Any thread but a handler of the running notification (a client that a handler has
        // just woken, often while the pass still runs) gets a pass of its own at once: the
        // hit flag keeps the trigger out of the running pass, and a writer that has already
        // sent everything will not poke again, so without this the notification would wait
        // for the next poll. A handler re-arming its own trigger waits for the next pass
        // instead, or a condition that still holds would keep the dispatch thread spinning.
        PokeDispatch();
    }
    return 0;
}

int TBaseDispatcher::DropTrigger(int32_t handle) {
    std::lock_guard st(stateLock_);
    if (handle == kAvailHandle) {
        availThreshold_ = 0;
        return 0;
    }
    if (handle < 2) {
        return kErrBadTriggerHandle;
    }
    auto t = std::find_if(timers_.begin(), timers_.end(),
                          [handle](const TTimerTrigger &x) { return x.handle == handle; });
    if (t != timers_.end()) {
        timers_.erase(t);
        LogLocked(ltTrigDisp, lsTimer, static_cast<uint32_t>(handle));
        return 0;
    }
    auto s = std::find_if(statuses_.begin(), statuses_.end(),
                          [handle](const TStatusTrigger &x) { return x.handle == handle; });
    if (s != statuses_.end()) {
        auto kind = static_cast<uint8_t>(s->kind);
        statuses_.erase(s);
        RecountOutputTriggersLocked();
        LogLocked(ltTrigDisp, lsAllocStatus, static_cast<uint32_t>(handle), &kind, 1);
        return 0;
    }
    auto d = std::find_if(datas_.begin(), datas_.end(),
                          [handle](const TDataTrigger &x) { return x.handle == handle; });
    if (d != datas_.end()) {
        datas_.erase(d);
        LogLocked(ltTrigDisp, lsData, static_cast<uint32_t>(handle));
        return 0;
    }
    return kErrBadTriggerHandle;
}

void TBaseDispatcher::SaveTriggers(TTriggerSave &set) {
    std::lock_guard st(stateLock_);
    set.availThreshold = availThreshold_;
    set.timers = timers_;
    set.statuses = statuses_;
    set.datas = datas_;
    set.saved = true;
}

void TBaseDispatcher::RestoreTriggers(const TTriggerSave &set) {
    {
        std::lock_guard st(stateLock_);
        availThreshold_ = set.availThreshold;
        timers_ = set.timers;
        statuses_ = set.statuses;
        datas_ = set.datas;
        RecountOutputTriggersLocked();
        // New handles must not collide with the restored ones.
        int32_t highest = 0;
        for (const auto &t : timers_) {
            highest = std::max(highest, t.handle);
        }
        for (const auto &t : statuses_) {
            highest = std::max(highest, t.handle & ~7);
        }
        for (const auto &t : datas_) {
            highest = std::max(highest, t.handle);
        }
        handleCounter_ = std::max(handleCounter_, std::min(highest / 8 + 1, 4096));
    }
    PokeDispatch();
}

void TBaseDispatcher::RecountOutputTriggersLocked() {
    outputTriggers_ = std::any_of(statuses_.begin(), statuses_.end(), [](const TStatusTrigger &t) {
        return t.active && t.kind >= skOutputFree;
    });
}

// ---- handlers ----

void TBaseDispatcher::RecomputeServiceLocked() {
    size_t windows = 0;
    size_t procs = 0;
    for (const auto &w : handlers_->windows) {
        windows += w.deleted ? 0 : 1;
    }
    for (const auto &p : handlers_->procs) {
        procs += p.deleted ? 0 : 1;
    }
    handlerServiceNeeded_ = windows > 1 || procs > 0 || portHandlerInstalled_;
}

int TBaseDispatcher::AddWindowHandler(const platform::TargetHandle &window) {
    std::lock_guard st(stateLock_);
    handlers_->windows.push_back({window, false});
    RecomputeServiceLocked();
    LogLocked(ltTrgHdAlc, lsWindow, static_cast<uint32_t>(window.id()));
    return 0;
}

int TBaseDispatcher::RemoveWindowHandler(const platform::TargetHandle &window) {
    std::lock_guard st(stateLock_);
    auto &list = handlers_->windows;
    auto it = std::find_if(list.begin(), list.end(), [&](const Handlers::Window &w) {
        return !w.deleted && w.window.id() == window.id();
    });
    if (it != list.end()) {
        if (inPass_.load()) {
            it->deleted = true;
            deletionPending_ = true;
        } else {
            list.erase(it);
        }
        LogLocked(ltTrgHdDsp, lsWindow, static_cast<uint32_t>(window.id()));
    }
    RecomputeServiceLocked();
    return 0;
}

int TBaseDispatcher::AddProcHandler(TTriggerProc proc, void *context) {
    if (proc == nullptr) {
        return kErrBadArgument;
    }
    std::lock_guard st(stateLock_);
    handlers_->procs.push_back({proc, context, false});
    RecomputeServiceLocked();
    LogLocked(ltTrgHdAlc, lsProcedure, 0);
    return 0;
}

int TBaseDispatcher::RemoveProcHandler(TTriggerProc proc, void *context) {
    std::lock_guard st(stateLock_);
    auto &list = handlers_->procs;
    auto it = std::find_if(list.begin(), list.end(), [&](const Handlers::Proc &p) {
        return !p.deleted && p.proc == proc && p.context == context;
    });
    if (it != list.end()) {
        if (inPass_.load()) {
            it->deleted = true;
            deletionPending_ = true;
        } else {
            list.erase(it);
        }
        LogLocked(ltTrgHdDsp, lsProcedure, 0);
    }
    RecomputeServiceLocked();
    return 0;
}

int TBaseDispatcher::SetHandlerMode(int mode) {
    std::lock_guard st(stateLock_);
    switch (mode) {
    case 0:
        break;
    case 1:
        portHandlerInstalled_ = true;
        break;
    case 2:
        portHandlerInstalled_ = false;
        break;
    default:
        return kErrBadArgument;
    }
    RecomputeServiceLocked();
    return 0;
}

bool TBaseDispatcher::SwapBusy(bool value) {
    std::lock_guard st(stateLock_);
    return busy_.exchange(value);
}

int TBaseDispatcher::SetUserSlot(int index, void *pointer) {
    if (index < 1 || index > 3) {
        return kErrBadArgument;
    }
    std::lock_guard st(stateLock_);
    userSlots_[static_cast<size_t>(index - 1)] = pointer;
    return 0;
}

void *TBaseDispatcher::GetUserSlot(int index) {
    if (index < 1 || index > 3) {
        return nullptr;
    }
    std::lock_guard st(stateLock_);
    return userSlots_[static_cast<size_t>(index - 1)];
}

int TBaseDispatcher::YieldSlice() {
    std::this_thread::yield();
    return 0;
}

// ---- the dispatch thread's passes ----

int TBaseDispatcher::WaitTimeoutMs() {
    std::lock_guard st(stateLock_);
    int wait = 50;
    uint32_t nowMs = NowMs();
    for (const auto &t : timers_) {
        if (!t.active) {
            continue;
        }
        // The trigger fires once the tick clock has passed start + interval.
        int64_t fireTick = (int64_t{t.startTick} + t.interval + 1) % kTickModulus;
        auto fireMs = static_cast<uint32_t>(fireTick * kMsPerTick);
        auto left = static_cast<int32_t>(fireMs - nowMs);
        wait = std::min(wait, std::max(left + 1, 1));
    }
    return wait;
}

void TBaseDispatcher::ClearHitFlags() {
    std::lock_guard st(stateLock_);
    if (statusHitThisPass_) {
        for (auto &s : statuses_) {
            s.hit = false;
        }
        statusHitThisPass_ = false;
    }
}

void TBaseDispatcher::RunStatusLoop() {
    if (busy_.load()) {
        return;
    }
    while (!closing_.load() && !killThreads_.load() && EvalStatus()) {
    }
}

void TBaseDispatcher::EventPass(uint32_t mask) {
    if (mask & kEvLost) {
        DeviceGone();
    }
    if (mask & (kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvRingTe)) {
        {
            std::lock_guard st(stateLock_);
            RefreshModemStatusLocked();
        }
        RunStatusLoop();
    }
    if (mask & (kEvBreak | kEvErr)) {
        {
            std::lock_guard st(stateLock_);
            RefreshLineErrorsLocked();
        }
        RunStatusLoop();
    }
    if (mask & kEvRxChar) {
        lastFillBytes_ = FillInputRing();
        bytesFilled_ += lastFillBytes_;
        if (!busy_.load()) {
            RunStatusLoop();
            while (!closing_.load() && !killThreads_.load() && ScanData()) {
            }
        }
    }
    ClearHitFlags();
}

void TBaseDispatcher::PollPass() {
    if (closing_.load() || busy_.load()) {
        return;
    }
    {
        std::lock_guard st(stateLock_);
        statusHitThisPass_ = false;
    }
    while (!closing_.load() && !killThreads_.load() && (EvalStatus() || EvalTimer())) {
    }
    ClearHitFlags();
}

// The device went away: its signals drop (with change bits), the break bit marks the line
// error, line-error and modem-signal triggers fire, and the window handlers are told.
void TBaseDispatcher::DeviceGone() {
    deviceLost_ = true;
    std::vector<platform::TargetHandle> windows;
    {
        std::lock_guard st(stateLock_);
        uint8_t old = modemStatus_;
        modemStatus_ = static_cast<uint8_t>((old & 0x0F) | ((old >> 4) & 0x0B));
        lineErrors_ |= platform::kLineBreak;
        for (const auto &w : handlers_->windows) {
            if (!w.deleted) {
                windows.push_back(w.window);
            }
        }
    }
    RunStatusLoop();
    auto lParam = static_cast<platform::LParam>(int64_t{handle_} * 65536);
    for (const auto &w : windows) {
        w.post(MsgDeviceLost, 0, lParam);
    }
}

bool TBaseDispatcher::EvalStatus() {
    uint32_t used = OutputUsedNoRefresh();
    uint32_t size;
    {
        std::lock_guard out(outputLock_);
        size = static_cast<uint32_t>(outRing_.size());
    }
    uint32_t free = size > used ? size - used : 0;
    int32_t handle = 0;
    uint16_t report = 0;
    {
        std::lock_guard st(stateLock_);
        TStatusTrigger *fired = nullptr;
        for (auto &s : statuses_) {
            if (!s.active || s.hit) {
                continue;
            }
            bool hold = false;
            switch (s.kind) {
            case skModemSignals: {
                auto mask = static_cast<uint8_t>(s.value >> 8);
                auto snapshot = static_cast<uint8_t>(s.value);
                hold = ((snapshot ^ modemStatus_) & mask) != 0;
                break;
            }
            case skLineErrors:
                if ((s.value & lineErrors_) != 0) {
                    hold = true;
                    s.value = static_cast<uint16_t>(lineErrors_);
                }
                break;
            case skOutputFree:
                hold = free >= s.value;
                report = static_cast<uint16_t>(std::min<uint32_t>(free, 0xFFFF));
                break;
            case skOutputUsed:
                hold = used <= s.value;
                report = static_cast<uint16_t>(std::min<uint32_t>(used, 0xFFFF));
                break;
            case skOutputSent:
                hold = outputSent_;
                if (hold) {
                    outputSent_ = false;
                }
                break;
            default:
                break;
            }
            if (hold) {
                fired = &s;
                break;
            }
            report = 0;
        }
        if (fired == nullptr) {
            return false;
        }
        if (fired->kind != skOutputFree && fired->kind != skOutputUsed) {
            report = 0;
        }
        fired->active = false;
        fired->hit = true;
        RecountOutputTriggersLocked();
        statusHitThisPass_ = true;
        handle = fired->handle;
        LogLocked(ltTrigger, lsStatus, static_cast<uint32_t>(handle));
    }
    Deliver(MsgTriggerStatus, static_cast<uint32_t>(handle), report);
    return true;
}

bool TBaseDispatcher::EvalTimer() {
    int32_t handle = 0;
    {
        std::lock_guard st(stateLock_);
        int32_t now = NowTicks();
        auto it = std::find_if(timers_.begin(), timers_.end(), [now](const TTimerTrigger &t) {
            return t.active && elapsedTicks(t.startTick, now) > t.interval;
        });
        if (it == timers_.end()) {
            return false;
        }
        it->active = false;
        handle = it->handle;
        LogLocked(ltTrigger, lsTimer, static_cast<uint32_t>(handle));
    }
    Deliver(MsgTriggerTimer, static_cast<uint32_t>(handle), 0);
    return true;
}

// One step of the data and avail scan; returns whether to scan again.
bool TBaseDispatcher::ScanData() {
    std::vector<std::pair<int32_t, int32_t>> fired; // handle, length; last in list first
    uint32_t availCount = 0;
    bool sendAvail = false;
    {
        std::lock_guard in(inputLock_);
        std::lock_guard st(stateLock_);
        if (inRing_.empty()) {
            return false;
        }
        if (pendingData_) {
            // Data triggers matched behind an avail notification are delivered now.
            pendingData_ = false;
        } else {
            bool any = false;
            int32_t longest = 0;
            uint64_t from = datas_.empty() ? writeTotal_ : std::max(lastScanned_, readTotal_);
            for (uint64_t pos = from; pos < writeTotal_; ++pos) {
                uint8_t raw = inRing_[pos % kInputRingSize];
                for (auto &d : datas_) {
                    if (d.fired || d.length == 0) {
                        continue;
                    }
                    uint8_t b = d.ignoreCase ? static_cast<uint8_t>(std::toupper(raw)) : raw;
                    // Partial matches of every length k that the new byte extends.
                    uint32_t next = 0;
                    uint32_t candidates = (d.progress << 1) | 1u;
                    for (int32_t k = 0; k < d.length; ++k) {
                        if ((candidates & (1u << k)) &&
                            static_cast<uint8_t>(d.match[static_cast<size_t>(k)]) == b) {
                            next |= 1u << k;
                        }
                    }
                    if (next & (1u << (d.length - 1))) {
                        d.fired = true;
                        d.progress = 0;
                        any = true;
                        longest = std::max(longest, d.length);
                    } else {
                        d.progress = next;
                    }
                }
                if (!any) {
                    continue;
                }
                lastScanned_ = pos + 1;
                uint64_t through = pos + 1 - readTotal_;
                if (availThreshold_ != 0 &&
                    !(lastNotifiedValid_ &&
                      lastNotified_ == pos + 1 - static_cast<uint64_t>(longest)) &&
                    through >= static_cast<uint64_t>(longest) &&
                    through - static_cast<uint64_t>(longest) >= availThreshold_) {
                    availCount = static_cast<uint32_t>(through - static_cast<uint64_t>(longest));
                    // Only the bytes before the match are reported now; the match itself is
                    // reported after the data notification if no handler read it there.
                    lastNotified_ = pos + 1 - static_cast<uint64_t>(longest);
                    lastNotifiedValid_ = true;
                    pendingData_ = true;
                    sendAvail = true;
                    LogLocked(ltTrigger, lsAvail, availCount);
                }
                break;
            }
            if (!any) {
                lastScanned_ = writeTotal_;
                auto count = static_cast<uint32_t>(writeTotal_ - readTotal_);
                if (availThreshold_ != 0 && !(lastNotifiedValid_ && lastNotified_ == writeTotal_) &&
                    count >= availThreshold_) {
                    LogLocked(ltTrigger, lsAvail, count);
                    lastNotified_ = writeTotal_;
                    lastNotifiedValid_ = true;
                    availCount = count;
                    sendAvail = true;
                } else {
                    return false;
                }
            }
        }
        if (!sendAvail) {
            for (auto it = datas_.rbegin(); it != datas_.rend(); ++it) {
                if (it->fired) {
                    it->fired = false;
                    fired.emplace_back(it->handle, it->length);
                    LogLocked(ltTrigger, lsData, static_cast<uint32_t>(it->handle));
                }
            }
        }
    }
    if (sendAvail) {
        bool all = Deliver(MsgTriggerAvail, availCount, 0);
        std::lock_guard in(inputLock_);
        // Matched data triggers are delivered even when the handler left bytes unread.
        return all || pendingData_;
    }
    bool result = false;
    for (const auto &[h, len] : fired) {
        result = Deliver(MsgTriggerData, static_cast<uint32_t>(h), static_cast<uint16_t>(len));
    }
    return result;
}

// Delivers one notification to every handler; see the class comment for peek mode.
bool TBaseDispatcher::Deliver(uint32_t msg, uint32_t first, uint16_t secondLow) {
    bool peekMode = msg == MsgTriggerAvail || msg == MsgTriggerData;
    {
        std::lock_guard st(stateLock_);
        if (!handlerServiceNeeded_) {
            return true;
        }
        if (closing_.load() || killThreads_.load()) {
            return false;
        }
        // The pass marks itself in inPass_ alone. The busy flag is the application's
        // (SwapBusy): were the pass to set and clear it too, an application thread that took
        // it during a pass would get "busy" back and, restoring that, stop every trigger
        // for good.
        inPass_ = true;
    }
    {
        std::lock_guard in(inputLock_);
        maxPeekCount_ = 0;
        peekCount_ = 0;
        inAvailNotification_ = peekMode;
    }
    auto second =
        static_cast<int32_t>(uint32_t{secondLow} + static_cast<uint32_t>(handle_) * 65536u);
    bool result = true;
    auto trackPeek = [this] {
        std::lock_guard in(inputLock_);
        maxPeekCount_ = std::max(maxPeekCount_, peekCount_);
        peekCount_ = 0;
    };
    for (size_t i = 0;; ++i) {
        Handlers::Proc p;
        {
            std::lock_guard st(stateLock_);
            if (i >= handlers_->procs.size()) {
                break;
            }
            p = handlers_->procs[i];
        }
        if (p.deleted) {
            continue;
        }
        try {
            p.proc(msg, first, second, p.context);
        } catch (const std::exception &e) {
            // Nothing may cross the thread boundary: tell the user and keep dispatching.
            platform::ShowMessageBox(e.what(), "Quillon", platform::MessageKind::Error);
        } catch (...) {
            platform::ShowMessageBox("Unknown exception in a trigger handler", "Quillon",
                                     platform::MessageKind::Error);
        }
        trackPeek();
        if (closing_.load()) {
            result = false;
            break;
        }
    }
    bool windows;
    {
        std::lock_guard st(stateLock_);
        windows = handlers_->windows.size() > 1 || portHandlerInstalled_;
    }
    for (size_t i = 0; result && windows; ++i) {
        Handlers::Window w;
        {
            std::lock_guard st(stateLock_);
            if (i >= handlers_->windows.size()) {
                break;
            }
            w = handlers_->windows[i];
            if (!w.deleted) {
                windowServed_ = w.window; // until the next window, or the end of the pass
            }
        }
        if (!w.deleted) {
            // A handler that does not answer in time is skipped for this notification.
            [[maybe_unused]] auto r = w.window.send(msg, first, second, kWindowSendTimeout);
        }
        trackPeek();
        if (closing_.load()) {
            result = false;
            break;
        }
    }
    {
        std::lock_guard in(inputLock_);
        if (peekMode) {
            uint64_t unread = writeTotal_ - readTotal_;
            uint64_t take = std::min<uint64_t>(maxPeekCount_, unread);
            bool wasFull = unread >= kInputRingSize;
            readTotal_ += take;
            if (take != 0 && wasFull) {
                roomFree_->Set();
            }
            if (msg == MsgTriggerAvail && maxPeekCount_ != first) {
                result = false;
            }
        }
        inAvailNotification_ = false;
        peekCount_ = 0;
    }
    {
        std::lock_guard st(stateLock_);
        inPass_ = false;
        windowServed_ = {};
        if (deletionPending_) {
            auto &w = handlers_->windows;
            w.erase(std::remove_if(w.begin(), w.end(), [](const auto &x) { return x.deleted; }),
                    w.end());
            auto &p = handlers_->procs;
            p.erase(std::remove_if(p.begin(), p.end(), [](const auto &x) { return x.deleted; }),
                    p.end());
            deletionPending_ = false;
            RecomputeServiceLocked();
        }
    }
    return result;
}

} // namespace quillon::comm
