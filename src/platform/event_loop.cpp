#include "platform/event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quillon::platform {

namespace {

using Clock = std::chrono::steady_clock;

// epoll data of the loop's own descriptors; watches use their id (always >= 16).
constexpr uint64_t kWakeTag = 1;
constexpr uint64_t kTimerTag = 2;
constexpr uint64_t kFirstId = 16;

[[noreturn]] void throwErrno(const char *what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

uint32_t toEpoll(uint32_t events) {
    uint32_t e = 0;
    if (events & kFdRead) {
        e |= EPOLLIN | EPOLLRDHUP;
    }
    if (events & kFdWrite) {
        e |= EPOLLOUT;
    }
    return e; // EPOLLHUP and EPOLLERR are always reported
}

uint32_t fromEpoll(uint32_t e) {
    uint32_t events = 0;
    if (e & (EPOLLIN | EPOLLPRI)) {
        events |= kFdRead;
    }
    if (e & EPOLLOUT) {
        events |= kFdWrite;
    }
    if (e & (EPOLLHUP | EPOLLRDHUP)) {
        events |= kFdHangUp;
    }
    if (e & EPOLLERR) {
        events |= kFdError;
    }
    return events;
}

std::mutex &exceptionHandlerMutex() {
    static std::mutex m;
    return m;
}

ApplicationExceptionHandler &exceptionHandlerSlot() {
    static ApplicationExceptionHandler h;
    return h;
}

void reportException(const std::exception &e) noexcept {
    ApplicationExceptionHandler h;
    {
        std::lock_guard lock(exceptionHandlerMutex());
        h = exceptionHandlerSlot();
    }
    if (!h) {
        std::fprintf(stderr, "Quillon: %s\n", e.what());
        return;
    }
    try {
        h(e);
    } catch (const std::exception &inner) {
        // The handler of last resort failed too; say both and go on.
        std::fprintf(stderr, "Quillon: %s (the exception handler failed: %s)\n", e.what(),
                     inner.what());
    } catch (...) {
        std::fprintf(stderr, "Quillon: %s (the exception handler failed)\n", e.what());
    }
}

} // namespace

ApplicationExceptionHandler SetApplicationExceptionHandler(ApplicationExceptionHandler handler) {
    std::lock_guard lock(exceptionHandlerMutex());
    auto previous = std::move(exceptionHandlerSlot());
    exceptionHandlerSlot() = std::move(handler);
    return previous;
}

void ReportCurrentException(const char *where) noexcept {
    try {
        throw;
    } catch (const std::exception &e) {
        reportException(e);
    } catch (...) {
        reportException(std::runtime_error(std::string("unknown exception in ") + where));
    }
}

namespace detail {

// Shared between a sender and the loop; whichever side finishes last frees it.
struct SendState {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool delivered = false; // a handler ran (false: the target was gone)
    bool gaveUp = false;
    LResult result = 0;
};

struct TargetRec {
    std::shared_ptr<MessageHandler> handler;
    int running = 0; // handler calls in progress (nested sends and pumps count)
};

struct WatchRec {
    int fd = -1;
    uint32_t events = 0;
    std::shared_ptr<FdCallback> callback;
    bool inCallback = false;
};

struct TimerRec {
    uint64_t targetId = 0; // window timer: deliver kWmTimer to this target
    uint32_t windowTimerId = 0;
    std::shared_ptr<std::function<void()>> callback; // callback timer
    std::chrono::milliseconds interval{0};
    Clock::time_point due;
    bool inCallback = false;
};

struct Queued {
    uint64_t seq = 0;
    uint64_t target = 0;
    Message message;
};

struct LoopCore {
    int epfd = -1;
    int wakefd = -1;
    int timerfd = -1;
    std::thread::id owner;

    mutable std::mutex mutex; // guards everything below
    bool alive = true;
    uint64_t nextId = kFirstId;
    uint64_t nextSeq = 1;
    std::deque<Queued> queue;
    std::unordered_map<uint64_t, TargetRec> targets;
    std::unordered_map<uint64_t, WatchRec> watches;
    std::map<uint64_t, TimerRec> timers;
    std::condition_variable targetIdle; // a handler call ended (for cross-thread destroy)
    EventLoop::Stats stats;

    bool quitRequested = false;
    int quitCode = 0;

    void wake() const {
        uint64_t one = 1;
        // A full eventfd counter still leaves the descriptor readable; nothing to do.
        [[maybe_unused]] ssize_t n = ::write(wakefd, &one, sizeof one);
    }

    void drainWake() const {
        uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(wakefd, &count, sizeof count);
    }

    // Arms the timerfd for the earliest due timer; called with the mutex held.
    void rearmTimerLocked() const {
        itimerspec when{};
        if (!timers.empty()) {
            auto earliest = Clock::time_point::max();
            for (const auto &[id, t] : timers) {
                if (!t.inCallback && t.due < earliest) {
                    earliest = t.due;
                }
            }
            if (earliest != Clock::time_point::max()) {
                auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              earliest.time_since_epoch())
                              .count();
                if (ns <= 0) {
                    ns = 1;
                }
                when.it_value.tv_sec = ns / 1000000000;
                when.it_value.tv_nsec = ns % 1000000000;
            }
        }
        ::timerfd_settime(timerfd, TFD_TIMER_ABSTIME, &when, nullptr);
    }

    bool enqueue(uint64_t target, Message message) {
        {
            std::lock_guard lock(mutex);
            if (!alive || !targets.contains(target)) {
                ++stats.dropped;
                return false;
            }
            if (message.isSent()) {
                ++stats.sent;
            } else {
                ++stats.posted;
            }
            queue.push_back(Queued{nextSeq++, target, std::move(message)});
        }
        wake();
        return true;
    }

    static void finishSend(const std::shared_ptr<SendState> &state, bool delivered,
                           LResult result) {
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->delivered = delivered;
        state->result = result;
        state->done.notify_all();
    }

    // Runs a handler on the owning thread. Returns nullopt when the target is gone or the
    // handler threw (the exception goes to the application's handler).
    std::optional<LResult> deliver(uint64_t target, Message &message) {
        std::shared_ptr<MessageHandler> handler;
        {
            std::lock_guard lock(mutex);
            auto it = targets.find(target);
            if (it == targets.end()) {
                ++stats.dropped;
                return std::nullopt;
            }
            handler = it->second.handler;
            ++it->second.running;
        }
        std::optional<LResult> result;
        try {
            result = (*handler)(message);
        } catch (...) {
            endCall(target, false);
            ReportCurrentException("a message handler");
            return std::nullopt;
        }
        endCall(target, !result.has_value());
        return result.value_or(0);
    }

    void endCall(uint64_t target, bool defaulted) {
        std::lock_guard lock(mutex);
        ++stats.handled;
        if (defaulted) {
            ++stats.defaulted;
        }
        auto it = targets.find(target);
        if (it != targets.end()) {
            --it->second.running;
        }
        targetIdle.notify_all();
    }

    size_t handleQueue() {
        uint64_t lastSeq;
        {
            std::lock_guard lock(mutex);
            lastSeq = nextSeq - 1;
        }
        size_t handled = 0;
        for (;;) {
            Queued item;
            {
                std::lock_guard lock(mutex);
                if (queue.empty() || queue.front().seq > lastSeq) {
                    break;
                }
                item = std::move(queue.front());
                queue.pop_front();
            }
            auto send = item.message.send_;
            auto result = deliver(item.target, item.message);
            if (send) {
                finishSend(send, result.has_value(), result.value_or(0));
            }
            if (result) {
                ++handled;
            }
        }
        return handled;
    }

    size_t handleTimers() {
        uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(timerfd, &count, sizeof count);
        std::vector<uint64_t> due;
        {
            std::lock_guard lock(mutex);
            auto now = Clock::now();
            for (const auto &[id, t] : timers) {
                if (!t.inCallback && t.due <= now) {
                    due.push_back(id);
                }
            }
        }
        size_t handled = 0;
        for (uint64_t id : due) {
            uint64_t targetId = 0;
            uint32_t windowTimerId = 0;
            std::shared_ptr<std::function<void()>> callback;
            {
                std::lock_guard lock(mutex);
                auto it = timers.find(id);
                if (it == timers.end() || it->second.inCallback) {
                    continue; // removed by an earlier callback
                }
                // A late pump fires once, not once per missed interval.
                it->second.due = Clock::now() + it->second.interval;
                it->second.inCallback = true;
                targetId = it->second.targetId;
                windowTimerId = it->second.windowTimerId;
                callback = it->second.callback;
            }
            if (callback) {
                try {
                    (*callback)();
                } catch (...) {
                    ReportCurrentException("a timer callback");
                }
            } else {
                Message m;
                m.number = kWmTimer;
                m.wParam = windowTimerId;
                deliver(targetId, m);
            }
            {
                std::lock_guard lock(mutex);
                auto it = timers.find(id);
                if (it != timers.end()) {
                    it->second.inCallback = false;
                }
            }
            ++handled;
        }
        std::lock_guard lock(mutex);
        rearmTimerLocked();
        return handled;
    }

    size_t handleWatch(uint64_t id, uint32_t events) {
        std::shared_ptr<FdCallback> callback;
        {
            std::lock_guard lock(mutex);
            auto it = watches.find(id);
            if (it == watches.end() || it->second.inCallback) {
                return 0;
            }
            it->second.inCallback = true;
            callback = it->second.callback;
        }
        try {
            (*callback)(events);
        } catch (...) {
            ReportCurrentException("a descriptor watch");
        }
        std::lock_guard lock(mutex);
        auto it = watches.find(id);
        if (it != watches.end()) {
            it->second.inCallback = false;
        }
        return 1;
    }

    size_t pump(int timeoutMs) {
        epoll_event events[32];
        int n = ::epoll_wait(epfd, events, 32, timeoutMs);
        if (n < 0) {
            n = 0; // EINTR: handle what is queued anyway
        }
        bool timerDue = false;
        std::vector<std::pair<uint64_t, uint32_t>> ready;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeTag) {
                drainWake();
            } else if (events[i].data.u64 == kTimerTag) {
                timerDue = true;
            } else {
                ready.emplace_back(uint64_t{events[i].data.u64}, fromEpoll(events[i].events));
            }
        }
        size_t handled = handleQueue();
        if (timerDue) {
            handled += handleTimers();
        }
        for (auto [id, ev] : ready) {
            handled += handleWatch(id, ev);
        }
        return handled;
    }
};

} // namespace detail

bool Message::senderGaveUp() const {
    if (!send_) {
        return false;
    }
    std::lock_guard lock(send_->mutex);
    return send_->gaveUp;
}

bool TargetHandle::post(uint32_t number, WParam wParam, LParam lParam,
                        std::shared_ptr<void> payload) const {
    if (!core_) {
        return false;
    }
    Message m;
    m.number = number;
    m.wParam = wParam;
    m.lParam = lParam;
    m.payload = std::move(payload);
    return core_->enqueue(id_, std::move(m));
}

std::optional<LResult> TargetHandle::send(uint32_t number, WParam wParam, LParam lParam,
                                          std::chrono::milliseconds timeout,
                                          std::shared_ptr<void> payload) const {
    if (!core_) {
        return std::nullopt;
    }
    Message m;
    m.number = number;
    m.wParam = wParam;
    m.lParam = lParam;
    m.payload = std::move(payload);
    if (std::this_thread::get_id() == core_->owner) {
        return core_->deliver(id_, m);
    }
    auto state = std::make_shared<detail::SendState>();
    m.send_ = state;
    if (!core_->enqueue(id_, std::move(m))) {
        return std::nullopt;
    }
    std::unique_lock lock(state->mutex);
    if (!state->done.wait_for(lock, timeout, [&] { return state->finished; })) {
        state->gaveUp = true;
        lock.unlock();
        std::lock_guard statsLock(core_->mutex);
        ++core_->stats.timedOut;
        return std::nullopt;
    }
    if (!state->delivered) {
        return std::nullopt;
    }
    return state->result;
}

bool TargetHandle::onOwnerThread() const {
    return core_ != nullptr && std::this_thread::get_id() == core_->owner;
}

bool TargetHandle::alive() const {
    if (!core_) {
        return false;
    }
    std::lock_guard lock(core_->mutex);
    return core_->alive && core_->targets.contains(id_);
}

MessageTarget::MessageTarget(EventLoop &loop, MessageHandler handler) : loop_(&loop) {
    auto &core = loop.core_;
    std::lock_guard lock(core->mutex);
    uint64_t id = core->nextId++;
    core->targets[id] = detail::TargetRec{std::make_shared<MessageHandler>(std::move(handler))};
    handle_ = TargetHandle(core, id);
}

MessageTarget::MessageTarget(MessageHandler handler)
    : MessageTarget(EventLoop::current(), std::move(handler)) {}

MessageTarget::~MessageTarget() {
    auto &core = loop_->core_;
    std::unique_lock lock(core->mutex);
    // Destroyed from another thread while its handler runs: wait for the call to end, so
    // that the handler never outlives the object it belongs to.
    if (std::this_thread::get_id() != core->owner) {
        core->targetIdle.wait(lock, [&] {
            auto it = core->targets.find(handle_.id());
            return it == core->targets.end() || it->second.running == 0;
        });
    }
    core->targets.erase(handle_.id());
    for (auto it = core->timers.begin(); it != core->timers.end();) {
        if (it->second.targetId == handle_.id()) {
            it = core->timers.erase(it);
        } else {
            ++it;
        }
    }
    // Queued messages for this target are dropped when they come up; pending senders
    // are released at once.
    for (auto &q : core->queue) {
        if (q.target == handle_.id() && q.message.send_) {
            detail::LoopCore::finishSend(q.message.send_, false, 0);
        }
    }
}

void MessageTarget::setTimer(uint32_t timerId, uint32_t intervalMs) {
    auto &core = loop_->core_;
    std::lock_guard lock(core->mutex);
    for (auto &[id, t] : core->timers) {
        if (t.targetId == handle_.id() && t.windowTimerId == timerId) {
            t.interval = std::chrono::milliseconds(intervalMs);
            t.due = Clock::now() + t.interval;
            core->rearmTimerLocked();
            return;
        }
    }
    detail::TimerRec t;
    t.targetId = handle_.id();
    t.windowTimerId = timerId;
    t.interval = std::chrono::milliseconds(intervalMs);
    t.due = Clock::now() + t.interval;
    core->timers[core->nextId++] = std::move(t);
    core->rearmTimerLocked();
}

void MessageTarget::killTimer(uint32_t timerId) {
    auto &core = loop_->core_;
    std::lock_guard lock(core->mutex);
    for (auto it = core->timers.begin(); it != core->timers.end(); ++it) {
        if (it->second.targetId == handle_.id() && it->second.windowTimerId == timerId) {
            core->timers.erase(it);
            break;
        }
    }
    core->rearmTimerLocked();
}

EventLoop::EventLoop() : core_(std::make_shared<detail::LoopCore>()) {
    core_->owner = std::this_thread::get_id();
    core_->epfd = ::epoll_create1(EPOLL_CLOEXEC);
    if (core_->epfd < 0) {
        throwErrno("epoll_create1");
    }
    core_->wakefd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    core_->timerfd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (core_->wakefd < 0 || core_->timerfd < 0) {
        throwErrno("eventfd/timerfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    ::epoll_ctl(core_->epfd, EPOLL_CTL_ADD, core_->wakefd, &ev);
    ev.data.u64 = kTimerTag;
    ::epoll_ctl(core_->epfd, EPOLL_CTL_ADD, core_->timerfd, &ev);
}

EventLoop::~EventLoop() {
    std::deque<detail::Queued> pending;
    {
        std::lock_guard lock(core_->mutex);
        core_->alive = false;
        pending.swap(core_->queue);
        core_->watches.clear();
        core_->timers.clear();
    }
    for (auto &q : pending) {
        if (q.message.send_) {
            detail::LoopCore::finishSend(q.message.send_, false, 0);
        }
    }
    ::close(core_->epfd);
    ::close(core_->wakefd);
    ::close(core_->timerfd);
}

EventLoop &EventLoop::current() {
    thread_local std::unique_ptr<EventLoop> loop;
    if (!loop) {
        loop = std::make_unique<EventLoop>();
    }
    return *loop;
}

int EventLoop::fd() const {
    return core_->epfd;
}

size_t EventLoop::pump() {
    return core_->pump(0);
}

size_t EventLoop::waitAndPump(std::chrono::milliseconds timeout) {
    return core_->pump(static_cast<int>(timeout.count()));
}

int EventLoop::run() {
    for (;;) {
        {
            std::lock_guard lock(core_->mutex);
            if (core_->quitRequested) {
                core_->quitRequested = false;
                return core_->quitCode;
            }
        }
        core_->pump(-1);
    }
}

void EventLoop::quit(int code) {
    {
        std::lock_guard lock(core_->mutex);
        core_->quitRequested = true;
        core_->quitCode = code;
    }
    core_->wake();
}

bool EventLoop::quitPending() const {
    std::lock_guard lock(core_->mutex);
    return core_->quitRequested;
}

bool EventLoop::runUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return done();
        }
        // Wake at least every 10 ms so that conditions set by other threads are seen.
        core_->pump(static_cast<int>(std::min<long long>(left.count(), 10)));
    }
    return true;
}

bool EventLoop::isOwnerThread() const {
    return std::this_thread::get_id() == core_->owner;
}

uint64_t EventLoop::watchFd(int fd, uint32_t events, FdCallback callback) {
    std::lock_guard lock(core_->mutex);
    uint64_t id = core_->nextId++;
    epoll_event ev{};
    ev.events = toEpoll(events);
    ev.data.u64 = id;
    if (::epoll_ctl(core_->epfd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        throwErrno("epoll_ctl(ADD)");
    }
    core_->watches[id] =
        detail::WatchRec{fd, events, std::make_shared<FdCallback>(std::move(callback)), false};
    return id;
}

void EventLoop::modifyWatch(uint64_t watchId, uint32_t events) {
    std::lock_guard lock(core_->mutex);
    auto it = core_->watches.find(watchId);
    if (it == core_->watches.end() || it->second.events == events) {
        return;
    }
    it->second.events = events;
    epoll_event ev{};
    ev.events = toEpoll(events);
    ev.data.u64 = watchId;
    ::epoll_ctl(core_->epfd, EPOLL_CTL_MOD, it->second.fd, &ev);
}

void EventLoop::removeWatch(uint64_t watchId) {
    std::lock_guard lock(core_->mutex);
    auto it = core_->watches.find(watchId);
    if (it == core_->watches.end()) {
        return;
    }
    // The descriptor may already be closed; EBADF is harmless here.
    ::epoll_ctl(core_->epfd, EPOLL_CTL_DEL, it->second.fd, nullptr);
    core_->watches.erase(it);
}

uint64_t EventLoop::addTimer(uint32_t intervalMs, std::function<void()> callback) {
    std::lock_guard lock(core_->mutex);
    uint64_t id = core_->nextId++;
    detail::TimerRec t;
    t.callback = std::make_shared<std::function<void()>>(std::move(callback));
    t.interval = std::chrono::milliseconds(intervalMs);
    t.due = Clock::now() + t.interval;
    core_->timers[id] = std::move(t);
    core_->rearmTimerLocked();
    return id;
}

void EventLoop::setTimerInterval(uint64_t timerId, uint32_t intervalMs) {
    std::lock_guard lock(core_->mutex);
    auto it = core_->timers.find(timerId);
    if (it != core_->timers.end()) {
        it->second.interval = std::chrono::milliseconds(intervalMs);
        it->second.due = Clock::now() + it->second.interval;
        core_->rearmTimerLocked();
    }
}

void EventLoop::removeTimer(uint64_t timerId) {
    std::lock_guard lock(core_->mutex);
    core_->timers.erase(timerId);
    core_->rearmTimerLocked();
}

EventLoop::Stats EventLoop::stats() const {
    std::lock_guard lock(core_->mutex);
    return core_->stats;
}

void Timer::setInterval(uint32_t ms) {
    interval_ = ms;
    if (id_ != 0) {
        loop_->setTimerInterval(id_, ms);
    }
}

void Timer::setEnabled(bool on) {
    if (on && id_ == 0 && interval_ > 0) {
        id_ = loop_->addTimer(interval_, [this] {
            if (onTimer) {
                onTimer();
            }
        });
    } else if (!on && id_ != 0) {
        loop_->removeTimer(id_);
        id_ = 0;
    }
}

} // namespace quillon::platform
